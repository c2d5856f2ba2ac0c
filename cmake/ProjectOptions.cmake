# Warnings are errors in the project's own code; third-party code is built as it comes.
function(vantrel_project_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Every test gets a bound, so that a hang fails the run instead of stalling it.
set(VANTREL_TEST_TIMEOUT 300 CACHE STRING "Seconds a single test may run")
