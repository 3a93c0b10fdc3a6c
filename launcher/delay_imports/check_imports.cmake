# Fails the build when the launcher imports at load time a DLL other than those its first window
# needs. One function missing from a delay-import .def is enough to make its DLL (and what that DLL
# imports) load before wWinMain again, which costs the start-up tens of milliseconds unnoticed.
#   cmake -DOBJDUMP=... -DEXE=... -DALLOWED="A.dll;B.dll" -P check_imports.cmake
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read the imports of ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
string(TOUPPER "${ALLOWED}" allowed)
set(unexpected)
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOUPPER "${dll}" upper)
  if(NOT upper IN_LIST allowed)
    list(APPEND unexpected ${dll})
  endif()
endforeach()
if(unexpected)
  message(FATAL_ERROR "${EXE} imports ${unexpected} at load time: add the functions it calls there to "
                      "launcher/delay_imports/<dll>.def, or allow the DLL in launcher/CMakeLists.txt")
endif()
