# The include check of common/ on a copy with one planted include of the launcher's side: it must
# fail, naming the file and the include.
#   cmake -DROOT=<source folder> -DWORK=<scratch folder> -P planted_include.cmake
file(REMOVE_RECURSE ${WORK})
file(COPY ${ROOT}/common DESTINATION ${WORK})
file(APPEND ${WORK}/common/hex.cpp "#include \"base/paths.h\"\n")
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${WORK} -P ${ROOT}/cmake/check_common.cmake
                RESULT_VARIABLE result ERROR_VARIABLE output)
file(REMOVE_RECURSE ${WORK})
if(result EQUAL 0)
  message(FATAL_ERROR "the check passed a planted include")
endif()
if(NOT output MATCHES "common/hex.cpp includes base/paths.h")
  message(FATAL_ERROR "the check failed without naming the planted include:\n${output}")
endif()
