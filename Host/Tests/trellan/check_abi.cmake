# Reads the ABI of the shared library LIBRARY with abigail's abidw (the types
# of what the header folder HEADERS declares, from the debug information) and
# either stores it as BASELINE (UPDATE set) or fails on whatever abidiff finds
# changed or removed against BASELINE: programs linked to an older
# libtrellan.so.1 must keep working. Additions pass.
execute_process(COMMAND abidw --no-corpus-path --no-show-locs --no-comp-dir-path
    --exported-interfaces-only --drop-private-types --type-id-style hash
    --headers-dir ${HEADERS} ${LIBRARY}
  OUTPUT_VARIABLE abi COMMAND_ERROR_IS_FATAL ANY)
# The sources' folder differs from one checkout to the next.
string(REPLACE "${SOURCE_DIR}/" "" abi "${abi}")
if(UPDATE)
  file(WRITE ${BASELINE} "${abi}")
  message(STATUS "Stored the ABI of ${LIBRARY} in ${BASELINE}")
  return()
endif()
get_filename_component(current ${LIBRARY}.abi ABSOLUTE)
file(WRITE ${current} "${abi}")
execute_process(COMMAND abidiff --no-added-syms ${BASELINE} ${current}
  RESULT_VARIABLE result OUTPUT_VARIABLE report ERROR_VARIABLE report)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${LIBRARY} breaks the ABI stored in ${BASELINE} "
    "(abidiff exit ${result}):\n${report}")
endif()
