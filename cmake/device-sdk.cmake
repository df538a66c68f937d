# Builds the tool with a device's own SDK: its compiler, and the C library
# of its sysroot as the device has it. Point it at a Buildroot or vendor
# SDK:
#
#   cmake -S . -B build/device --toolchain cmake/device-sdk.cmake \
#     -DCMAKE_BUILD_TYPE=MinSizeRel \
#     -DKELVANE_SDK_PREFIX=/opt/sdk/bin/arm-buildroot-linux-uclibcgnueabihf- \
#     -DKELVANE_SDK_SYSROOT=/opt/sdk/arm-buildroot-linux-uclibcgnueabihf/sysroot
#
#   KELVANE_SDK_PREFIX   what the compilers' names start with (gcc and g++
#                        follow); empty for the build machine's own gcc
#   KELVANE_SDK_SYSROOT  the sysroot (Buildroot's staging directory): the C
#                        library's headers in usr/include, its start files
#                        and libraries in usr/lib or lib
#   KELVANE_SDK_LINK     static (the default) or dynamic
#   KELVANE_SDK_LOADER   dynamic only: the device's loader, such as
#                        /lib/ld-uClibc.so.0, when the compiler's own
#                        default is another (optional)
#
# Each may be given in the environment instead. The sources see the
# sysroot's C headers and the compiler's own (stddef.h, stdarg.h, ...),
# nothing of a C++ library. The program links against the sysroot's C
# library and the compiler's libgcc only, their files named one by one: a
# cross compiler searches its own C library before a sysroot it is given
# (Debian's arm-linux-gnueabihf-gcc finds glibc first), so a file missing
# from the sysroot would otherwise be quietly taken from another library.
#
# Before the build, a small program built the same way must link (the
# stack protector, flock, syslog) and, in a native static build, run.

set(kelvane_sdk_variables KELVANE_SDK_PREFIX KELVANE_SDK_SYSROOT KELVANE_SDK_LINK KELVANE_SDK_LOADER)
foreach(name IN LISTS kelvane_sdk_variables)
  if(NOT DEFINED ${name} AND DEFINED ENV{${name}})
    set(${name} "$ENV{${name}}" CACHE STRING "device SDK setting, from the environment")
  endif()
endforeach()
# The compiler checks run in projects of their own, with the same SDK.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ${kelvane_sdk_variables})

if(NOT KELVANE_SDK_LINK)
  set(KELVANE_SDK_LINK static)
endif()
if(NOT KELVANE_SDK_LINK MATCHES "^(static|dynamic)$")
  message(FATAL_ERROR "KELVANE_SDK_LINK is '${KELVANE_SDK_LINK}': static or dynamic")
endif()
if(NOT KELVANE_SDK_SYSROOT OR NOT IS_DIRECTORY "${KELVANE_SDK_SYSROOT}/usr/include")
  message(FATAL_ERROR "KELVANE_SDK_SYSROOT ('${KELVANE_SDK_SYSROOT}') must name the SDK's "
                      "sysroot, with the C library's headers in usr/include")
endif()
set(kelvane_sysroot "${KELVANE_SDK_SYSROOT}")

foreach(tool gcc g++)
  find_program(kelvane_sdk_${tool} "${KELVANE_SDK_PREFIX}${tool}" NO_CACHE)
  if(NOT kelvane_sdk_${tool})
    message(FATAL_ERROR "compiler ${KELVANE_SDK_PREFIX}${tool} not found (KELVANE_SDK_PREFIX)")
  endif()
endforeach()
set(CMAKE_C_COMPILER "${kelvane_sdk_gcc}")
set(CMAKE_CXX_COMPILER "${kelvane_sdk_g++}")

# What the compiler gives: its target, and a file of its own by name.
function(kelvane_sdk_ask result)
  execute_process(COMMAND "${kelvane_sdk_gcc}" ${ARGN} OUTPUT_VARIABLE answer
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR answer STREQUAL "")
    message(FATAL_ERROR "${kelvane_sdk_gcc} ${ARGN} failed")
  endif()
  set(${result} "${answer}" PARENT_SCOPE)
endfunction()

function(kelvane_sdk_compiler_file result name)
  kelvane_sdk_ask(path -print-file-name=${name})
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    set(path "")
  endif()
  set(${result} "${path}" PARENT_SCOPE)
endfunction()

# A file of the C library, in usr/lib or lib of the sysroot.
function(kelvane_sdk_library_file result name)
  foreach(dir usr/lib lib)
    if(EXISTS "${kelvane_sysroot}/${dir}/${name}")
      set(${result} "${kelvane_sysroot}/${dir}/${name}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${name} is in neither usr/lib nor lib of ${kelvane_sysroot}: "
                      "is KELVANE_SDK_SYSROOT the SDK's sysroot?")
endfunction()

kelvane_sdk_ask(kelvane_machine -dumpmachine)
string(REGEX MATCH "^[^-]+" kelvane_processor "${kelvane_machine}")
set(kelvane_cross OFF)
if(NOT kelvane_processor STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(kelvane_cross ON)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${kelvane_processor})
  # Tests of a cross build run under qemu's user mode, where it is there.
  string(REGEX REPLACE "^arm.*" "arm" kelvane_qemu "${kelvane_processor}")
  string(REGEX REPLACE "^i[3-6]86$" "i386" kelvane_qemu "${kelvane_qemu}")
  find_program(kelvane_sdk_qemu qemu-${kelvane_qemu}-static NO_CACHE)
  if(kelvane_sdk_qemu)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${kelvane_sdk_qemu})
    if(KELVANE_SDK_LINK STREQUAL "dynamic")
      list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L ${kelvane_sysroot})
    endif()
  endif()
endif()

# Which C library the sysroot holds: the tests and the package need to know.
if(EXISTS "${kelvane_sysroot}/usr/include/bits/uClibc_config.h")
  set(KELVANE_LIBC uclibc)
elseif(EXISTS "${kelvane_sysroot}/usr/include/gnu/libc-version.h")
  set(KELVANE_LIBC glibc)
elseif(EXISTS "${kelvane_sysroot}/usr/include/bits/alltypes.h")
  set(KELVANE_LIBC musl)
else()
  message(FATAL_ERROR "no uClibc-ng, glibc or musl headers in ${kelvane_sysroot}/usr/include")
endif()
if(KELVANE_SDK_LINK STREQUAL "static")
  set(KELVANE_STATIC ON)
else()
  set(KELVANE_STATIC OFF)
endif()

kelvane_sdk_compiler_file(kelvane_cc_include include)
set(kelvane_compile -nostdinc -isystem "${kelvane_sysroot}/usr/include" -isystem "${kelvane_cc_include}")
# x86 compilers read the stack protector's canary through the thread
# pointer, which a uClibc-ng without threads never sets up; it keeps the
# canary in __stack_chk_guard instead, where ARM compilers look anyway.
if(KELVANE_LIBC STREQUAL "uclibc" AND kelvane_processor MATCHES "^(x86_64|i[3-6]86)$")
  file(STRINGS "${kelvane_sysroot}/usr/include/bits/uClibc_config.h" kelvane_tls
       REGEX "^#define __UCLIBC_HAS_TLS__ 1")
  if(NOT kelvane_tls)
    list(APPEND kelvane_compile -mstack-protector-guard=global)
  endif()
endif()

# Start files around the objects, the C library and libgcc after them.
kelvane_sdk_library_file(kelvane_crti crti.o)
kelvane_sdk_library_file(kelvane_crtn crtn.o)
kelvane_sdk_ask(kelvane_libgcc -print-libgcc-file-name)
if(KELVANE_STATIC)
  kelvane_sdk_library_file(kelvane_crt1 crt1.o)
  kelvane_sdk_library_file(kelvane_libc libc.a)
  kelvane_sdk_compiler_file(kelvane_crtbegin crtbeginT.o)
  kelvane_sdk_compiler_file(kelvane_crtend crtend.o)
  # The unwinder, where the C library's signal return code names it.
  kelvane_sdk_compiler_file(kelvane_libgcc_eh libgcc_eh.a)
  set(kelvane_link -static)
else()
  kelvane_sdk_library_file(kelvane_crt1 Scrt1.o)
  kelvane_sdk_library_file(kelvane_libc libc.so)
  kelvane_sdk_compiler_file(kelvane_crtbegin crtbeginS.o)
  kelvane_sdk_compiler_file(kelvane_crtend crtendS.o)
  set(kelvane_libgcc_eh "")
  list(APPEND kelvane_compile -fPIE)
  # The sysroot resolves the paths in the C library's linker script.
  set(kelvane_link -pie "--sysroot=${kelvane_sysroot}")
  if(KELVANE_SDK_LOADER)
    list(APPEND kelvane_link "-Wl,-dynamic-linker,${KELVANE_SDK_LOADER}")
  endif()
endif()
if(NOT kelvane_crtbegin OR NOT kelvane_crtend)
  message(FATAL_ERROR "${kelvane_sdk_gcc} has no crtbegin/crtend files for a ${KELVANE_SDK_LINK} link")
endif()
list(APPEND kelvane_link -nostdlib)
set(kelvane_start "${kelvane_crt1}" "${kelvane_crti}" "${kelvane_crtbegin}")
set(kelvane_end -Wl,--start-group "${kelvane_libc}" "${kelvane_libgcc}" ${kelvane_libgcc_eh}
    -Wl,--end-group "${kelvane_crtend}" "${kelvane_crtn}")

list(JOIN kelvane_compile " " CMAKE_C_FLAGS_INIT)
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -nostdinc++")
list(JOIN kelvane_link " " CMAKE_EXE_LINKER_FLAGS_INIT)
list(JOIN kelvane_start " " kelvane_start_text)
list(JOIN kelvane_end " " kelvane_end_text)
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE
      "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> ${kelvane_start_text} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${kelvane_end_text}")
endforeach()
# The compiler checks would link libstdc++, which the sysroot need not have.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH "${kelvane_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

include(${CMAKE_CURRENT_LIST_DIR}/sdk-probe.cmake)
