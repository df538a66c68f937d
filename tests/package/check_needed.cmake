# Fails unless BINARY needs nothing but the C library. A dynamic build may
# list libc itself (glibc's, musl's or uClibc-ng's) and, where the C
# library keeps its stack-protector canary there (armhf), its dynamic
# loader; never libstdc++ or libgcc_s.
# With STATIC set, it must list nothing and name no loader at all.
execute_process(COMMAND readelf -d -l ${BINARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${BINARY}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
if(STATIC)
  if(needed OR dynamic MATCHES "INTERP")
    message(FATAL_ERROR "${BINARY} is not static: ${needed}")
  endif()
  message(STATUS "${BINARY}: static, no NEEDED entry, no loader")
  return()
endif()
if(NOT needed)
  message(FATAL_ERROR "${BINARY} is not dynamically linked against the C library")
endif()
foreach(library IN LISTS needed)
  if(NOT library MATCHES "\\[(libc\\.so(\\.[0-9]+)?|ld-(linux[-a-z0-9_]*|uClibc)\\.so\\.[0-9]+)\\]$")
    message(FATAL_ERROR "${BINARY} needs ${library}; only the C library is allowed")
  endif()
endforeach()
message(STATUS "${BINARY}: ${needed}")
