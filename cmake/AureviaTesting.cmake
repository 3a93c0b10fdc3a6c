# aurevia_add_test(NAME LAYER native|windows|e2e SOURCES ... [LIBS ...] [TIMEOUT s] [ARGS ...])
# One GoogleTest program is one ctest entry, labelled with its layer. In the Windows tree ctest runs
# it through the cross-compiling emulator (scripts/wine-run).
function(aurevia_add_test name)
  cmake_parse_arguments(T "" "LAYER;TIMEOUT" "SOURCES;LIBS;ARGS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gmock gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS ${T_LAYER})
  if(T_LAYER STREQUAL "e2e")
    # End-to-end tests drive the mouse and the focus of one display: one at a time.
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()

# The Windows form of a Linux path as Wine sees it (Z: is /).
function(aurevia_wine_path out linux_path)
  string(REPLACE "/" "\\" p "${linux_path}")
  set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()
