# Fails unless the archive LIBRARY defines no global symbol outside the Trl API,
# the shared library SHARED, built on it, exports that API, and libtrellan's
# own shared library LIBTRELLAN (where built) exports nothing else.
execute_process(COMMAND ${NM} -g --defined-only ${LIBRARY}
  OUTPUT_VARIABLE archiveSymbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+ [A-Za-z] [^\n]+" definitions "${archiveSymbols}")
set(public 0)
set(leaked "")
foreach(definition IN LISTS definitions)
  string(REGEX REPLACE ".* [A-Za-z] " "" name "${definition}")
  if(name MATCHES "^Trl")
    math(EXPR public "${public} + 1")
  else()
    string(APPEND leaked "\n  ${name}")
  endif()
endforeach()
if(leaked)
  message(FATAL_ERROR "${LIBRARY} defines global names outside the Trl API:${leaked}")
endif()
if(public EQUAL 0)
  message(FATAL_ERROR "${LIBRARY} defines no Trl function at all")
endif()
execute_process(COMMAND ${NM} -D --defined-only ${SHARED}
  OUTPUT_VARIABLE sharedSymbols COMMAND_ERROR_IS_FATAL ANY)
if(NOT sharedSymbols MATCHES " T TrlUtilCrc16Calculate\n")
  message(FATAL_ERROR "${SHARED} does not export TrlUtilCrc16Calculate:\n${sharedSymbols}")
endif()
if(LIBTRELLAN)
  execute_process(COMMAND ${NM} -D --defined-only ${LIBTRELLAN}
    OUTPUT_VARIABLE exports COMMAND_ERROR_IS_FATAL ANY)
  # Version nodes (type A) name no code.
  string(REGEX REPLACE "[^\n]* A [^\n]*\n" "" exports "${exports}")
  string(REGEX REPLACE "[^\n]* [A-Za-z] Trl[A-Za-z0-9_]*@@TRELLAN_[0-9]+\n" "" exports "${exports}")
  if(NOT exports STREQUAL "")
    message(FATAL_ERROR "${LIBTRELLAN} exports more than the Trl API:\n${exports}")
  endif()
endif()
message(STATUS "${public} Trl functions, no other global name")
