# Which C library the tool links against (KELVANE_LIBC: glibc, uclibc or
# musl) and whether statically (KELVANE_STATIC). The project's toolchain
# files say so; for any other (a device SDK's, Buildroot's) the
# compiler's own headers tell the library, by a compile and never a run:
# uClibc-ng defines __UCLIBC__ (and __GLIBC__ as well), glibc only
# __GLIBC__, musl neither. A -static among the flags makes the link static.
if(NOT KELVANE_LIBC)
  include(CheckSymbolExists)
  check_symbol_exists(__UCLIBC__ features.h KELVANE_HAS_UCLIBC)
  check_symbol_exists(__GLIBC__ features.h KELVANE_HAS_GLIBC)
  if(KELVANE_HAS_UCLIBC)
    set(KELVANE_LIBC uclibc)
  elseif(KELVANE_HAS_GLIBC)
    set(KELVANE_LIBC glibc)
  else()
    set(KELVANE_LIBC musl)
  endif()
endif()
if(NOT DEFINED KELVANE_STATIC)
  string(REGEX MATCH "(^| )-static( |$)" kelvane_static_flag
         " ${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} ${CMAKE_EXE_LINKER_FLAGS} ")
  if(kelvane_static_flag)
    set(KELVANE_STATIC ON)
  else()
    set(KELVANE_STATIC OFF)
  endif()
endif()
