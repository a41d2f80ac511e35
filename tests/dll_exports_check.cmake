# Fails unless the DLL exports exactly the functions the public header marks
# QX_API, and imports from system DLLs only (the compiler's runtime is
# linked in).
#   cmake -DOBJDUMP=... -DDLL=qx_orb.dll -DHEADER=include/qx_orb.h -P dll_exports_check.cmake
file(STRINGS "${HEADER}" declarations REGEX "^QX_API ")
set(declared)
foreach(line IN LISTS declarations)
  string(REGEX MATCH "(qx_[a-z_]+)\\(" name "${line}")
  list(APPEND declared "${CMAKE_MATCH_1}")
endforeach()
list(SORT declared)

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
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" import)
  if(NOT import MATCHES "^dll name: (kernel32|msvcrt)\\.dll$")
    message(FATAL_ERROR "unexpected import: ${import}")
  endif()
endforeach()
list(LENGTH exported count)
message(STATUS "${count} functions exported, imports: ${imports}")
