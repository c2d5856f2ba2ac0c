# Runs VantrelControllerInfo under the emulator on a machine without boards and
# checks its output, byte for byte, and its exit code.
#   cmake -DEMULATOR=<command list> -DPROGRAM=<the .exe> -DOUTPUT_FILE=<file for its output>
#         -P run_utility_without_boards.cmake
#
# Standard input is at its end and no standard stream is a terminal, so Wine gives
# the program no console: _getch, which reads the console, then returns at once
# instead of waiting for a key. The time-out still ends a program that waits.
#
# The C runtime's standard output is in text mode, as on Windows: every "\n" the
# program prints reaches the pipe as "\r\n".
set(expected_output "Unable to open controllers.\r\n\r\n\r\nPress any key to exit")
set(expected_exit_code 2)

# The output goes to a file, since a captured variable would have its "\r\n" turned
# into "\n"; the file is compared as hexadecimal bytes.
execute_process(
  COMMAND ${EMULATOR} ${PROGRAM}
  INPUT_FILE /dev/null
  OUTPUT_FILE ${OUTPUT_FILE}
  ERROR_VARIABLE errors
  RESULT_VARIABLE exit_code
  TIMEOUT 120)
file(READ ${OUTPUT_FILE} output_hex HEX)
string(HEX "${expected_output}" expected_hex)

set(failures "")
if(NOT exit_code STREQUAL expected_exit_code)
  string(APPEND failures "exit code: expected ${expected_exit_code}, got \"${exit_code}\"\n")
endif()
if(NOT output_hex STREQUAL expected_hex)
  file(READ ${OUTPUT_FILE} output)
  string(APPEND failures "standard output differs\n  expected (hex): ${expected_hex}\n"
                         "  got (hex):      ${output_hex}\n  got: ${output}\n")
endif()
if(failures)
  message(FATAL_ERROR "${PROGRAM}:\n${failures}standard error: ${errors}")
endif()
