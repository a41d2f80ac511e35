# Fails unless the DLL exports exactly the functions the public header marks
# QX_API, and imports system DLLs (the compiler's runtime is linked in) and
# the GPU library, from which it takes exactly the functions its header
# declares: the binding fills one slot with each.
#   cmake -DOBJDUMP=... -DDLL=qx_orb.dll -DHEADER=include/qx_orb.h
#         -DGPU_HEADER=ypu_cuda/include/qx_ypu_impl_cuda_orb.h -P dll_exports_check.cmake
# The sorted names of the functions `header` declares after `marker`.
function(declared_functions header marker name_pattern out)
  file(STRINGS "${header}" declarations REGEX "^${marker} ")
  set(names)
  foreach(line IN LISTS declarations)
    string(REGEX MATCH "(${name_pattern})\\(" name "${line}")
    list(APPEND names "${CMAKE_MATCH_1}")
  endforeach()
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

declared_functions("${HEADER}" QX_API "qx_[a-z_]+" declared)

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
# Lines "\t[   0] qx_free" after the table's heading; brackets would split
# CMake lists, so they go first.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${dump}")
string(REGEX REPLACE "[][]" " " table "${table}")
string(REGEX MATCHALL "[0-9]+ +[A-Za-z_][A-Za-z0-9_@]*" entries "${table}")
set(exported)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^[0-9]+ +" "" name "${entry}")
  list(APPEND exported "${name}")
endforeach()
list(SORT exported)
if(NOT exported STREQUAL declared)
  message(FATAL_ERROR "exported: ${exported}\ndeclared: ${declared}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(gpu_library_imported OFF)
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" import)
  if(import STREQUAL "dll name: qx_ypu_impl_cuda_orb.dll")
    set(gpu_library_imported ON)
  elseif(NOT import MATCHES "^dll name: (kernel32|msvcrt)\\.dll$")
    message(FATAL_ERROR "unexpected import: ${import}")
  endif()
endforeach()
if(NOT gpu_library_imported)
  message(FATAL_ERROR "qx_ypu_impl_cuda_orb.dll is not imported; imports: ${imports}")
endif()

# The GPU library's block: "\tvma  hint  name" lines up to the blank line.
declared_functions("${GPU_HEADER}" QX_YPU_API "taabe[0-9]+" gpu_declared)
string(REGEX MATCH "DLL Name: qx_ypu_impl_cuda_orb\\.dll\n[^\n]*\n([^\n]+\n)+" block "${dump}")
string(REGEX MATCHALL "\t[0-9a-f]+[ \t]+[0-9]+ +[A-Za-z_][A-Za-z0-9_]*" entries "${block}")
set(gpu_imported)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^.* " "" name "${entry}")
  list(APPEND gpu_imported "${name}")
endforeach()
list(SORT gpu_imported)
if(NOT gpu_imported STREQUAL gpu_declared)
  message(FATAL_ERROR "imported from the GPU library: ${gpu_imported}\ndeclared: ${gpu_declared}")
endif()

list(LENGTH exported count)
list(LENGTH gpu_imported gpu_count)
message(STATUS "${count} functions exported, ${gpu_count} imported from the GPU library; "
               "imports: ${imports}")
