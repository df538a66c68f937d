# uClibc-ng, the C library of most devices, built from Debian's
# uclibc-source into a sysroot laid out like a Buildroot staging directory
# (usr/include, usr/lib, lib), for the uClibc-ng toolchain files, which
# build the tool against it through device-sdk.cmake. Nothing is
# installed into the machine.
#
#   kelvane_uclibc_ng(ARCH PREFIX COMPILER_PACKAGE HEADERS_PACKAGE DIR...)
#
# ARCH is uClibc-ng's name of the processor (arm, x86_64), PREFIX the
# compilers' prefix (empty for the build machine's gcc), DIR... the kernel
# headers to build against (linux first, then asm, asm-generic, ...), each
# copied under its own name; the packages are what to install when the
# compiler or the headers are missing.
#
# The library is built once: in KELVANE_UCLIBC_CACHE (default: uclibc-ng
# in the build tree; the presets and the benchmark share build/uclibc-ng)
# a stamp records what it was built from, and a later configuration with
# the same compiler, kernel headers and options uses it as it is. The
# options are those of uclibc-ng.config and uclibc-ng-ARCH.config.

set(KELVANE_UCLIBC_VERSION 1.0.35)
set(KELVANE_UCLIBC_TARBALL /usr/src/uClibc-ng-${KELVANE_UCLIBC_VERSION}.tar.xz)

macro(kelvane_uclibc_ng arch prefix compiler_package headers_package)
  if(NOT KELVANE_UCLIBC_CACHE)
    set(KELVANE_UCLIBC_CACHE "${CMAKE_BINARY_DIR}/uclibc-ng")
  endif()
  set(KELVANE_UCLIBC_CACHE "${KELVANE_UCLIBC_CACHE}" CACHE PATH "where uClibc-ng is built, once")
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVANE_UCLIBC_CACHE)
  set(KELVANE_SDK_PREFIX "${prefix}")
  set(KELVANE_SDK_SYSROOT "${KELVANE_UCLIBC_CACHE}/${arch}/sysroot")
  set(KELVANE_SDK_LINK static)
  # The compiler checks configure projects of their own: the library is
  # there by then.
  get_property(kelvane_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
  if(NOT kelvane_in_try_compile)
    kelvane_uclibc_prepare(${arch} "${prefix}" ${compiler_package} ${headers_package} ${ARGN})
  endif()
endmacro()

# Checks what the build needs, and builds the library unless its stamp
# says it was built from the same.
function(kelvane_uclibc_prepare arch prefix compiler_package headers_package)
  if(NOT EXISTS "${KELVANE_UCLIBC_TARBALL}")
    message(FATAL_ERROR "uClibc-ng's source ${KELVANE_UCLIBC_TARBALL} is missing: install uclibc-source")
  endif()
  find_program(compiler "${prefix}gcc" NO_CACHE)
  if(NOT compiler)
    message(FATAL_ERROR "compiler ${prefix}gcc not found: install ${compiler_package}")
  endif()
  find_program(make_program make NO_CACHE)
  if(NOT make_program)
    message(FATAL_ERROR "make not found, which builds uClibc-ng: install make")
  endif()
  foreach(source IN LISTS ARGN)
    if(NOT IS_DIRECTORY "${source}")
      message(FATAL_ERROR "kernel headers ${source} are missing: install ${headers_package}")
    endif()
  endforeach()
  list(GET ARGN 0 linux)
  file(SHA256 "${linux}/version.h" headers_version)
  execute_process(COMMAND "${compiler}" --version OUTPUT_VARIABLE compiler_version)
  kelvane_uclibc_options(options ${arch})

  set(dir "${KELVANE_UCLIBC_CACHE}/${arch}")
  string(SHA256 key "${KELVANE_UCLIBC_VERSION};${compiler};${compiler_version};${headers_version};${options}")
  file(MAKE_DIRECTORY "${dir}")
  # One configuration builds it; another one waits for it, then uses it.
  file(LOCK "${dir}.lock" GUARD FUNCTION TIMEOUT 3600)
  if(EXISTS "${dir}/stamp")
    file(READ "${dir}/stamp" built)
    if(built STREQUAL key)
      return()
    endif()
  endif()
  kelvane_uclibc_build(${arch} "${dir}" "${prefix}" "${options}" ${ARGN})
  file(WRITE "${dir}/stamp" "${key}")
endfunction()

# The options: the lines of the two .config files that set one.
function(kelvane_uclibc_options result arch)
  set(options "")
  foreach(file uclibc-ng.config uclibc-ng-${arch}.config)
    file(STRINGS "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${file}" lines
         REGEX "^([A-Z][A-Z0-9_]*=|# [A-Z][A-Z0-9_]* is not set$)")
    list(APPEND options ${lines})
  endforeach()
  set(${result} "${options}" PARENT_SCOPE)
endfunction()

function(kelvane_uclibc_build arch dir prefix options)
  set(src "${dir}/uClibc-ng-${KELVANE_UCLIBC_VERSION}")
  set(sysroot "${dir}/sysroot")
  set(log "${dir}/build.log")
  file(REMOVE_RECURSE "${dir}/stamp" "${src}" "${sysroot}" "${dir}/kernel-headers")
  file(WRITE "${log}" "")
  message(STATUS "Building uClibc-ng ${KELVANE_UCLIBC_VERSION} for ${arch}, once "
                 "(a few minutes; log: ${log})")
  kelvane_uclibc_step("unpacking ${KELVANE_UCLIBC_TARBALL}" "${dir}"
                      "${CMAKE_COMMAND}" -E tar xf "${KELVANE_UCLIBC_TARBALL}")
  kelvane_uclibc_headers("${dir}/kernel-headers" ${ARGN})
  list(APPEND options "KERNEL_HEADERS=\"${dir}/kernel-headers\"" "CROSS_COMPILER_PREFIX=\"${prefix}\"")
  kelvane_uclibc_configure("${src}" "${options}")
  cmake_host_system_information(RESULT jobs QUERY NUMBER_OF_LOGICAL_CORES)
  kelvane_uclibc_step("make" "${src}" make ARCH=${arch} -j${jobs})
  kelvane_uclibc_step("make install" "${src}" make ARCH=${arch} PREFIX=${sysroot} install)
  # As in an SDK's sysroot, the kernel headers beside the library's.
  kelvane_uclibc_headers("${sysroot}/usr/include" ${ARGN})
  file(REMOVE_RECURSE "${src}" "${dir}/kernel-headers")
endfunction()

# kelvane_uclibc_step(NAME DIR COMMAND...): one step, its output appended
# to the log; a step that fails stops the configuration.
function(kelvane_uclibc_step name dir)
  file(APPEND "${log}" "== ${name}\n")
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${dir}" RESULT_VARIABLE status
                  INPUT_FILE /dev/null OUTPUT_FILE "${log}.step" ERROR_FILE "${log}.step")
  file(READ "${log}.step" output)
  file(APPEND "${log}" "${output}")
  file(REMOVE "${log}.step")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "uClibc-ng ${KELVANE_UCLIBC_VERSION} for ${arch}: ${name} failed "
                        "(${status}); see ${log}")
  endif()
endfunction()

# defconfig, every option as the .config files set it, then olddefconfig
# to settle what depends on them. An option that does not hold afterwards
# (one it depends on is off) stops the build.
function(kelvane_uclibc_configure src options)
  kelvane_uclibc_step("make defconfig" "${src}" make ARCH=${arch} defconfig)
  file(STRINGS "${src}/.config" config)
  foreach(option IN LISTS options)
    kelvane_uclibc_option_name(name "${option}")
    list(FILTER config EXCLUDE REGEX "^${name}=|^# ${name} is not set$")
  endforeach()
  list(APPEND config ${options})
  list(JOIN config "\n" text)
  file(WRITE "${src}/.config" "${text}\n")
  kelvane_uclibc_step("make olddefconfig" "${src}" make ARCH=${arch} olddefconfig)
  file(STRINGS "${src}/.config" config)
  foreach(option IN LISTS options)
    # An option whose dependencies are off is not written at all: off too.
    kelvane_uclibc_option_name(name "${option}")
    set(value "${config}")
    list(FILTER value INCLUDE REGEX "^${name}=")
    if(NOT option IN_LIST config AND (value OR NOT option MATCHES "is not set$"))
      message(FATAL_ERROR "uClibc-ng for ${arch}: '${option}' does not hold in ${src}/.config")
    endif()
  endforeach()
endfunction()

function(kelvane_uclibc_option_name result option)
  string(REGEX MATCH "^# ([A-Z0-9_]+) is not set$|^([A-Z0-9_]+)=" match "${option}")
  set(${result} "${CMAKE_MATCH_1}${CMAKE_MATCH_2}" PARENT_SCOPE)
endfunction()

function(kelvane_uclibc_headers target)
  file(MAKE_DIRECTORY "${target}")
  foreach(source IN LISTS ARGN)
    get_filename_component(name "${source}" NAME)
    file(REMOVE_RECURSE "${target}/${name}")
    file(COPY "${source}/" DESTINATION "${target}/${name}")
  endforeach()
endfunction()
