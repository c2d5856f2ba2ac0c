# Runs one end-to-end case: the utility under the board simulator, over the boards
# the case describes, and compares what it printed and its exit code with the
# case's, byte for byte.
#
#   cmake -DCASE=<case.json> -DPROJECT_DIR=<source root> -DOUTPUT_DIR=<dir>
#         -DSIMULATOR=<vantrel-sim> -DUTILITY=<VantrelControllerInfo>
#         (-DSETSID=<setsid> | -DWINE=<wine> -DWINE_PREFIX=<prefix>) -P run_case.cmake
#
# A case file holds "description" (what vantrel-sim reads) or "description_file"
# (such a file, relative to the source root), "output" (the lines the utility
# prints, joined with "\n"; the last, the prompt, has no line break after it) and
# "exit_code". The same cases run against the Linux build (SETSID given) and the
# Windows build under Wine (WINE given).
#
# Standard input is at its end and no standard stream is a terminal: the Linux
# build runs in a session without controlling terminal and Wine gives the program
# no console, so the key wait returns at once on both.
#
# The one difference allowed between the builds: Windows' C runtime writes
# standard output in text mode, every "\n" as "\r\n". The Windows output is
# compared after every "\r\n" in it is turned back into "\n"; nothing else is
# normalised.
file(READ ${CASE} case)
get_filename_component(name ${CASE} NAME_WE)
file(MAKE_DIRECTORY ${OUTPUT_DIR})
set(boards_file ${OUTPUT_DIR}/${name}.boards.json)
set(output_file ${OUTPUT_DIR}/${name}.out)

string(JSON description_file ERROR_VARIABLE no_file GET "${case}" description_file)
if(no_file)
  string(JSON description GET "${case}" description)
  file(WRITE ${boards_file} "${description}")
else()
  set(boards_file ${PROJECT_DIR}/${description_file})
endif()

string(JSON line_count LENGTH "${case}" output)
set(expected_output "")
math(EXPR last_line "${line_count} - 1")
foreach(index RANGE ${last_line})
  string(JSON line GET "${case}" output ${index})
  if(index GREATER 0)
    string(APPEND expected_output "\n")
  endif()
  string(APPEND expected_output "${line}")
endforeach()
string(JSON expected_exit_code GET "${case}" exit_code)

if(WINE)
  # Every process gets Wine's own DLLs but for the three the simulated boards
  # need, which stand beside the utility.
  set(ENV{WINEPREFIX} ${WINE_PREFIX})
  set(ENV{WINEDEBUG} -all)
  set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=;hid,setupapi,cfgmgr32=n,b")
  # Wine shows the build machine's root as drive Z:.
  set(command ${WINE} ${SIMULATOR} Z:${boards_file} -- Z:${UTILITY})
else()
  # The named objects of this case's processes are their own, whatever runs
  # beside: the stand-in keeps them in the session's runtime directory, one
  # closed to others.
  set(session ${OUTPUT_DIR}/${name}.session)
  file(REMOVE_RECURSE ${session})
  file(MAKE_DIRECTORY ${session})
  file(CHMOD ${session} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  set(ENV{XDG_RUNTIME_DIR} ${session})
  set(command ${SETSID} --wait ${SIMULATOR} ${boards_file} -- ${UTILITY})
endif()

execute_process(
  COMMAND ${command}
  INPUT_FILE /dev/null
  OUTPUT_FILE ${output_file}
  ERROR_VARIABLE errors
  RESULT_VARIABLE exit_code
  TIMEOUT 120)
# The output file keeps the bytes as the program printed them.
file(READ ${output_file} output)
if(WINE)
  string(REPLACE "\r\n" "\n" output "${output}")
endif()

set(failures "")
if(NOT exit_code STREQUAL expected_exit_code)
  string(APPEND failures "exit code: expected ${expected_exit_code}, got \"${exit_code}\"\n")
endif()
if(NOT output STREQUAL expected_output)
  string(APPEND failures "standard output differs\n--- expected:\n${expected_output}\n--- got:\n${output}\n---\n")
endif()
if(NOT errors STREQUAL "")
  string(APPEND failures "standard error is not empty:\n${errors}\n")
endif()
if(failures)
  message(FATAL_ERROR "${name}:\n${failures}")
endif()
