# Tests that run a script with bash: the device, fault and board suites.
#
#   kelvane_script_test(NAME SCRIPT LABELS LABEL... [SLOW] [TIMEOUT seconds]
#                       [ARGS ARG...] [ENVIRONMENT VAR=VALUE...])
#
# SLOW adds the label slow; the timeout is 300 s unless given. A script
# that exits with status 77 is reported as skipped (a missing prerequisite
# it names).
function(kelvane_script_test name script)
  cmake_parse_arguments(T "SLOW" "TIMEOUT" "LABELS;ARGS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(labels ${T_LABELS})
  if(T_SLOW)
    list(APPEND labels slow)
  endif()
  add_test(NAME ${name} COMMAND bash ${script} ${T_ARGS})
  set_tests_properties(${name} PROPERTIES
    LABELS "${labels}" TIMEOUT ${T_TIMEOUT} SKIP_RETURN_CODE 77
    ENVIRONMENT "${T_ENVIRONMENT}")
endfunction()
