# aurevia_copy_library(LIB SUFFIX [OPTIONS ...] [LIBS ...])
# A copy of a portable library built from the same sources with other compile options (coverage for
# the fuzzers, optimisation for the benchmarks), named <LIB><SUFFIX> and left out of `all`. The copy
# is kept out of the compile database: the product sources are linted once, through their own targets.
function(aurevia_copy_library lib suffix)
  cmake_parse_arguments(C "" "" "OPTIONS;LIBS" ${ARGN})
  get_target_property(sources ${lib} SOURCES)
  get_target_property(source_dir ${lib} SOURCE_DIR)
  list(TRANSFORM sources PREPEND ${source_dir}/ REGEX "^[^/]")
  add_library(${lib}${suffix} STATIC EXCLUDE_FROM_ALL ${sources})
  target_include_directories(${lib}${suffix} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(${lib}${suffix} PRIVATE ${C_OPTIONS})
  target_link_libraries(${lib}${suffix} PUBLIC ${C_LIBS})
  set_target_properties(${lib}${suffix} PROPERTIES EXPORT_COMPILE_COMMANDS OFF)
endfunction()
