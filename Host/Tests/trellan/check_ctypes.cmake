# Marks INPUT through the shared library LIBRARY with the ctypes script SCRIPT
# into OUTPUT, as Velmark -a0800C000 -x0800C000:0800C0FF would, and has
# VELCHECK check the result at the table's address.
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${PYTHON} ${SCRIPT} ${LIBRARY} ${INPUT} ${OUTPUT} 0800C000 0800C000 0800C0FF
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${VELCHECK} -a0800C000 ${OUTPUT} RESULT_VARIABLE result OUTPUT_VARIABLE report)
if(NOT result EQUAL 0 OR NOT report MATCHES "\nOK: ")
  message(FATAL_ERROR "Velcheck does not accept what the ctypes script wrote (exit ${result}):\n${report}")
endif()
