# GoogleTest built in-tree from Debian's sources (so that both trees, sanitised and cross-built, get
# a matching build), and RapidJSON exposed through a folder that holds only rapidjson/: the cross
# compiler must never see the host's /usr/include.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

set(AUREVIA_RAPIDJSON_DIR ${CMAKE_BINARY_DIR}/rapidjson-include)
if(NOT EXISTS ${AUREVIA_RAPIDJSON_DIR}/rapidjson)
  file(MAKE_DIRECTORY ${AUREVIA_RAPIDJSON_DIR})
  file(CREATE_LINK /usr/include/rapidjson ${AUREVIA_RAPIDJSON_DIR}/rapidjson SYMBOLIC)
endif()
add_library(rapidjson INTERFACE)
target_include_directories(rapidjson SYSTEM INTERFACE ${AUREVIA_RAPIDJSON_DIR})
if(NOT WIN32)
  target_compile_options(rapidjson INTERFACE -fsanitize-ignorelist=${CMAKE_CURRENT_LIST_DIR}/sanitizer-ignorelist.txt)
endif()

# zlib: the workstation inflates deflated objects, the publisher deflates them. The Windows programs
# link the static archive by its file name (find_library would take libz.dll.a first, and a
# zlib1.dll beside the launcher is one more file to ship and one Wine resolves to its own copy).
add_library(aurevia_zlib INTERFACE)
if(WIN32)
  find_library(AUREVIA_ZLIB_STATIC NAMES libz.a REQUIRED)
  target_link_libraries(aurevia_zlib INTERFACE ${AUREVIA_ZLIB_STATIC})
else()
  find_package(ZLIB REQUIRED)
  target_link_libraries(aurevia_zlib INTERFACE ZLIB::ZLIB)
endif()
