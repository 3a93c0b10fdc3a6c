# Included by every e2e test folder: the harness library and aurevia_add_e2e_test, which hands the
# built programs' paths to the test through the environment (in their Windows form).
include_guard(GLOBAL)

add_library(aurevia_e2e_harness STATIC ${CMAKE_CURRENT_LIST_DIR}/harness.cpp ${CMAKE_CURRENT_LIST_DIR}/file_services.cpp)
target_include_directories(aurevia_e2e_harness PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(aurevia_e2e_harness PUBLIC aurevia_test_folder aurevia_base_portable gtest ole32 windowscodecs gdi32 user32 ws2_32)

# aurevia_add_e2e_test(NAME SOURCES ... [LIBS ...] [TIMEOUT s] [DEPENDS targets...])
function(aurevia_add_e2e_test name)
  cmake_parse_arguments(E "" "TIMEOUT" "SOURCES;LIBS;DEPENDS" ${ARGN})
  if(NOT E_TIMEOUT)
    set(E_TIMEOUT 300)
  endif()
  aurevia_add_test(${name} LAYER e2e TIMEOUT ${E_TIMEOUT} SOURCES ${E_SOURCES} LIBS aurevia_e2e_harness ${E_LIBS})
  add_dependencies(${name} Aurevia demo-module ${E_DEPENDS})
  aurevia_wine_path(launcher "${CMAKE_BINARY_DIR}/launcher/Aurevia.EXE")
  aurevia_wine_path(module "${CMAKE_BINARY_DIR}/tools/demo-module/demo-module.exe")
  aurevia_wine_path(artifacts "${CMAKE_SOURCE_DIR}/artifacts")
  # The reference file service is a Linux program of the native tree (its Linux path).
  set(fileservice "${CMAKE_SOURCE_DIR}/build/native/tools/fileservice/aurevia-fileservice")
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "AUREVIA_E2E_LAUNCHER=${launcher};AUREVIA_E2E_DEMO_MODULE=${module};AUREVIA_ARTIFACTS=${artifacts};AUREVIA_E2E_FILESERVICE=${fileservice}")
endfunction()
