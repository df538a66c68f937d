# Static builds against musl, shared by the musl toolchain files: the
# compilers of a glibc toolchain pointed at musl's headers, start files and
# libc.a through the specs file that Debian's musl packages ship. The
# binary needs no C library on the device at all.
#
#   kelvane_use_musl(SPECS PACKAGE COMPILER_PACKAGE): SPECS is musl's specs
#   file for the target; the packages are what to install when musl or the
#   compiler is missing.

macro(kelvane_use_musl specs package compiler_package)
  if(NOT EXISTS ${specs})
    message(FATAL_ERROR "musl for this target is missing (${specs}): install ${package}")
  endif()
  find_program(kelvane_musl_cxx ${CMAKE_CXX_COMPILER})
  if(NOT kelvane_musl_cxx)
    message(FATAL_ERROR "compiler ${CMAKE_CXX_COMPILER} not found: install ${compiler_package}")
  endif()
  set(KELVANE_LIBC musl)
  set(KELVANE_STATIC ON)
  # C++ sources see musl's C headers only, never libstdc++'s wrappers.
  set(CMAKE_C_FLAGS_INIT "-specs=${specs}")
  set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -nostdinc++")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
  # The compiler checks would link libstdc++, which exists for glibc only.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
endmacro()
