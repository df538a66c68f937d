# Part of device-sdk.cmake: sdk-probe.c, compiled and linked as the tool
# will be, must link against the sysroot's C library (the stack protector,
# flock, syslog) and, in a native static build, run. A cross build never
# runs a program while it configures or builds: its tests run the tool
# under the emulator. A library that lacks them stops the configuration
# rather than the tool on the device. Done once for each set of flags.
get_property(kelvane_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(kelvane_in_try_compile)
  return()
endif()

set(kelvane_probe_dir "${CMAKE_BINARY_DIR}/CMakeFiles/kelvane-sdk-probe")
set(kelvane_probe "${kelvane_probe_dir}/probe")
set(kelvane_probe_log "${kelvane_probe_dir}/probe.log")
set(kelvane_probe_compile "${kelvane_sdk_gcc}" ${kelvane_compile} -fstack-protector-strong -Os
    -Wall -Werror -c "${CMAKE_CURRENT_LIST_DIR}/sdk-probe.c" -o "${kelvane_probe}.o")
set(kelvane_probe_link "${kelvane_sdk_gcc}" ${kelvane_link} ${kelvane_start} "${kelvane_probe}.o"
    -o "${kelvane_probe}" ${kelvane_end})
set(kelvane_probe_run "")
if(NOT kelvane_cross AND KELVANE_STATIC)
  set(kelvane_probe_run "${kelvane_probe}")
endif()

set(kelvane_probe_key "${kelvane_probe_compile};${kelvane_probe_link};${kelvane_probe_run}")
if(KELVANE_SDK_PROBED STREQUAL kelvane_probe_key AND EXISTS "${kelvane_probe}")
  return()
endif()

file(REMOVE_RECURSE "${kelvane_probe_dir}")
file(MAKE_DIRECTORY "${kelvane_probe_dir}")
foreach(step compile link run)
  if(NOT kelvane_probe_${step})
    file(APPEND "${kelvane_probe_log}" "== ${step}: not here (a cross build, or a loader the build machine lacks)\n")
    continue()
  endif()
  execute_process(COMMAND ${kelvane_probe_${step}} RESULT_VARIABLE kelvane_status
                  OUTPUT_VARIABLE kelvane_output ERROR_VARIABLE kelvane_output)
  string(REPLACE ";" " " kelvane_command "${kelvane_probe_${step}}")
  file(APPEND "${kelvane_probe_log}" "== ${step}: ${kelvane_command}\n${kelvane_output}\n")
  if(NOT kelvane_status EQUAL 0)
    string(REGEX MATCHALL "undefined reference to `[^']+'" kelvane_missing "${kelvane_output}")
    list(REMOVE_DUPLICATES kelvane_missing)
    list(JOIN kelvane_missing ", " kelvane_missing)
    if(kelvane_missing)
      set(kelvane_missing ": ${kelvane_missing}")
    endif()
    message(FATAL_ERROR "The C library of ${kelvane_sysroot} cannot build the tool: a small "
                        "program built like it failed to ${step} (${kelvane_status})"
                        "${kelvane_missing}; see ${kelvane_probe_log}")
  endif()
endforeach()
set(KELVANE_SDK_PROBED "${kelvane_probe_key}" CACHE INTERNAL "what the C library was checked with")
