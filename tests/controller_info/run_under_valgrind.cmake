# Runs the utility under valgrind beneath the simulator; fails on any error or leak.
# A new session has no controlling terminal, so the utility's key wait ends at once.
execute_process(
  COMMAND ${SETSID} --wait ${SIMULATOR} ${BOARDS} -- ${VALGRIND} --quiet --error-exitcode=99 --leak-check=full
          --errors-for-leak-kinds=definite,indirect ${UTILITY}
  INPUT_FILE /dev/null
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "exit code ${result}\n${output}\n${errors}")
endif()
if(NOT output MATCHES "Press any key to exit$")
  message(FATAL_ERROR "unexpected output:\n${output}")
endif()
