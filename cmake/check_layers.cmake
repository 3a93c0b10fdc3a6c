# Fails the build when a file of the update core includes a layer above its own, includes the
# launcher, or when two files include each other. The layers, lowest first; a file may include its
# own layer and those before it:
#   cmake -DROOT=<source folder> -P check_layers.cmake
# Keeping the direction one way is what lets trust decide on bytes alone and lets the launcher's
# concerns (the window, the fleet sender) stay out of the core.
cmake_minimum_required(VERSION 3.20)
set(layers records stream disk transport source trust state plan updater report)
# Includes that break the order today, each with the work that removes it. Nothing may be added.
set(known_upward_includes
  "update/source/source_manifest.h>update/trust/manifest_acceptance.h"   # source hands bytes to trust
  "update/trust/manifest_acceptance.h>update/state/accepted_serial.h"    # state records, trust decides
  "update/updater/files_updater.cpp>update/report/update_report.h")      # the updater takes an observer

if(NOT ROOT)
  message(FATAL_ERROR "check_layers.cmake needs -DROOT=<source folder>")
endif()
file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/update/*.h ${ROOT}/update/*.cpp)
list(SORT files)
set(problems)
set(edges)
foreach(file IN LISTS files)
  string(REGEX MATCH "^update/([a-z_]+)/" _ "${file}")
  set(own ${CMAKE_MATCH_1})
  list(FIND layers "${own}" own_rank)
  if(own_rank EQUAL -1)
    list(APPEND problems "${file} is in no layer: add its folder to cmake/check_layers.cmake")
    continue()
  endif()
  file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" target "${line}")
    if("${file}>${target}" IN_LIST known_upward_includes)
      continue()
    endif()
    if(target MATCHES "^(launcher|app|dialogs)/")
      list(APPEND problems "${file} includes ${target}: the update core does not include the launcher")
      continue()
    endif()
    if(NOT target MATCHES "^update/([a-z_]+)/")
      continue()
    endif()
    set(theirs ${CMAKE_MATCH_1})
    list(APPEND edges "${file}>${target}")
    list(FIND layers "${theirs}" their_rank)
    if(their_rank GREATER own_rank)
      list(APPEND problems "${file} includes ${target}: layer ${own} may not include ${theirs}, which is above it")
    endif()
  endforeach()
endforeach()
foreach(edge IN LISTS edges)
  string(REPLACE ">" ";" pair "${edge}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  if("${to}>${from}" IN_LIST edges AND from STRLESS to)
    list(APPEND problems "${from} and ${to} include each other")
  endif()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "update/ breaks its layers (${layers}):\n  ${text}")
endif()
