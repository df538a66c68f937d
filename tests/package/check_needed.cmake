# Fails unless BINARY needs nothing but the C library: libc itself and,
# where the C library keeps its stack-protector canary there (armhf), its
# dynamic loader. Never libstdc++ or libgcc_s.
execute_process(COMMAND readelf -d ${BINARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${BINARY}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
if(NOT needed)
  message(FATAL_ERROR "${BINARY} is not dynamically linked against the C library")
endif()
foreach(library IN LISTS needed)
  if(NOT library MATCHES "\\[(libc\\.so\\.6|ld-linux[-a-z0-9_]*\\.so\\.[0-9]+)\\]$")
    message(FATAL_ERROR "${BINARY} needs ${library}; only the C library is allowed")
  endif()
endforeach()
message(STATUS "${BINARY}: ${needed}")
