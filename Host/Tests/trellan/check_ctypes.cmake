# Marks INPUT through the shared library LIBRARY with the ctypes script SCRIPT
# into OUTPUT, as Velmark -a0800C000 -x0800C000:0800C0FF would, and has
# VELCHECK check the result at the table's address; a table over checksummed
# code is refused and writes nothing.
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${PYTHON} ${SCRIPT} ${LIBRARY} ${INPUT} ${OUTPUT} 0800C000 0800C000 0800C0FF
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${VELCHECK} -a0800C000 ${OUTPUT} RESULT_VARIABLE result OUTPUT_VARIABLE report)
if(NOT result EQUAL 0 OR NOT report MATCHES "\nOK: ")
  message(FATAL_ERROR "Velcheck does not accept what the ctypes script wrote (exit ${result}):\n${report}")
endif()

file(REMOVE ${OUTPUT})
execute_process(COMMAND ${PYTHON} ${SCRIPT} ${LIBRARY} ${INPUT} ${OUTPUT} 08000100
  RESULT_VARIABLE result ERROR_VARIABLE message)
if(result EQUAL 0 OR EXISTS ${OUTPUT})
  message(FATAL_ERROR "the ctypes script put a table over checksummed code (exit ${result}): ${message}")
endif()
