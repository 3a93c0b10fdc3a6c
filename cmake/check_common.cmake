# Fails the build when a file of common/ includes anything of the project outside common/ or a
# platform header: the core is shared by the launcher, the tools and the fuzzers, and builds in both
# trees, so it may lean on nothing of theirs. zlib is the one library it may use: it is portable and
# both trees have it.
#   cmake -DROOT=<source folder> -P check_common.cmake
cmake_minimum_required(VERSION 3.20)
if(NOT ROOT)
  message(FATAL_ERROR "check_common.cmake needs -DROOT=<source folder>")
endif()
file(GLOB files RELATIVE ${ROOT} ${ROOT}/common/*.h ${ROOT}/common/*.cpp)
list(SORT files)
set(problems)
foreach(file IN LISTS files)
  file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]+)[\">].*" "\\1" target "${line}")
    if(line MATCHES "\"" AND NOT target MATCHES "^common/")
      list(APPEND problems "${file} includes ${target}: common/ includes only common/")
    elseif(target MATCHES "^(windows|winhttp|bcrypt|unistd|sys/)" OR target MATCHES "^[a-z0-9_]+\\.h$"
           AND NOT target MATCHES "^(assert|stdint|stddef|string|zlib)\\.h$")
      list(APPEND problems "${file} includes <${target}>: common/ is portable")
    endif()
  endforeach()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "common/ leans on something outside it:\n  ${text}")
endif()
