# qx_orb.dll imports the GPU library by name, so a program linked with the
# DLL starts only where qx_ypu_impl_cuda_orb.dll can be found: copied into
# a folder of their own, it runs with the library beside it and the loader
# refuses it without.
#   cmake -DEMULATOR=wine -DPROGRAM=c_api_test.exe -DDLL=qx_orb.dll
#         -DGPU_DLL=qx_ypu_impl_cuda_orb.dll -DFOLDER=scratch -P dll_import_check.cmake
get_filename_component(program "${PROGRAM}" NAME)
foreach(beside IN ITEMS with without)
  file(REMOVE_RECURSE "${FOLDER}")
  file(MAKE_DIRECTORY "${FOLDER}")
  file(COPY "${PROGRAM}" "${DLL}" DESTINATION "${FOLDER}")
  if(beside STREQUAL "with")
    file(COPY "${GPU_DLL}" DESTINATION "${FOLDER}")
  endif()
  execute_process(COMMAND ${EMULATOR} "${FOLDER}/${program}" WORKING_DIRECTORY "${FOLDER}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(beside STREQUAL "with" AND NOT result EQUAL 0)
    message(FATAL_ERROR "${program} failed with the GPU library beside it (${result}):\n${output}")
  endif()
  if(beside STREQUAL "without" AND result EQUAL 0)
    message(FATAL_ERROR "${program} ran without the GPU library beside it:\n${output}")
  endif()
  message(STATUS "${beside} the GPU library: exit status ${result}")
endforeach()
file(REMOVE_RECURSE "${FOLDER}")
