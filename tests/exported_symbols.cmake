# Compares what a shared library exports with its list in abi/, so that a change of the ABI shows
# in review: cmake -DLIBRARY=lib.so -DLIST=abi/NAME.symbols [-DUPDATE=ON] -P exported_symbols.cmake
# UPDATE=ON writes the list anew. Left out are weak objects (type information and vtables of vague
# linkage, which a sanitizer's checks add) and weak instantiations of the standard library's
# templates: they follow the compiler's choices, and no host links against them.
execute_process(COMMAND nm -D -C --defined-only ${LIBRARY} OUTPUT_VARIABLE output COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" lines "${output}")
set(symbols "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-f]+ ([A-Za-z]) (.*)$")
    set(kind ${CMAKE_MATCH_1})
    set(name "${CMAKE_MATCH_2}")
    if(NOT kind MATCHES "[Vu]" AND NOT (kind STREQUAL "W" AND name MATCHES "^([^ (]+ )?std::"))
      list(APPEND symbols "${kind} ${name}")
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES symbols)
list(SORT symbols)
list(JOIN symbols "\n" built)
set(built "${built}\n")

# Nothing of the layers beneath the API may appear, whatever the list says.
foreach(internal IN ITEMS "XResourceEmergencyHandlerInstance" "XBasicRefCountCritSection" "cominc::" "agent::" "GetProcessMemoryInfo"
                          "transport::ToWire" "transport::FromWire" "transport::Invoke" "XLoadMonitorTask" "CoCreateInstanceEx" "grpc::" "google::")
  string(FIND "${built}" "${internal}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${LIBRARY}: internal symbol exported: ${internal}")
  endif()
endforeach()

if(UPDATE)
  file(WRITE ${LIST} "${built}")
  return()
endif()
file(READ ${LIST} listed)
if(NOT built STREQUAL listed)
  file(WRITE ${LIBRARY}.symbols "${built}")
  execute_process(COMMAND diff -u ${LIST} ${LIBRARY}.symbols)
  message(FATAL_ERROR "${LIBRARY} exports other symbols than ${LIST} (diff above); if the change is meant, run with -DUPDATE=ON")
endif()
message(STATUS "${LIBRARY}: exports as listed")
