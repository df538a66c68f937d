# Install rules and the Debian package of the tool.
#
# The tool lives in a device's root file system as /usr/sbin/app_kelvane
# with its manual page, and nothing else:
#   DESTDIR=/path/to/rootfs cmake --install <build> --prefix /usr
# or, as a package for the build's architecture (amd64, armhf):
#   cpack --config <build>/CPackConfig.cmake

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Where the tool is installed" FORCE)
endif()
include(GNUInstallDirs)

option(KELVANE_STRIP_ON_INSTALL "Strip the installed tool, as a device needs it" ON)

install(TARGETS app_kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT tool)
install(FILES ${PROJECT_SOURCE_DIR}/doc/app_kelvane.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT tool)

# Stripping at install time, with the build's own strip, serves a plain
# "cmake --install" into a root file system as well as the package.
if(KELVANE_STRIP_ON_INSTALL AND CMAKE_STRIP)
  install(CODE "
    set(kelvane_installed \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/app_kelvane\")
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-all \"\${kelvane_installed}\"
                    RESULT_VARIABLE kelvane_strip_result)
    if(NOT kelvane_strip_result EQUAL 0)
      message(FATAL_ERROR \"cannot strip \${kelvane_installed}\")
    endif()" COMPONENT tool)
endif()

# Debian names the architecture of the code, not of the build machine,
# so a cross build must say it: dpkg would answer for the host.
function(kelvane_debian_architecture result)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" processor)
  if(processor MATCHES "^(x86_64|amd64)$")
    set(arch amd64)
  elseif(processor MATCHES "^(aarch64|arm64)$")
    set(arch arm64)
  elseif(processor MATCHES "^arm")
    if(CMAKE_CXX_COMPILER MATCHES "gnueabihf" OR CMAKE_LIBRARY_ARCHITECTURE MATCHES "gnueabihf")
      set(arch armhf)
    else()
      set(arch armel)
    endif()
  elseif(processor MATCHES "^i[3-6]86$")
    set(arch i386)
  else()
    message(FATAL_ERROR "no Debian architecture known for processor '${CMAKE_SYSTEM_PROCESSOR}'")
  endif()
  set(${result} ${arch} PARENT_SCOPE)
endfunction()

kelvane_debian_architecture(KELVANE_DEBIAN_ARCHITECTURE)

set(CPACK_GENERATOR DEB)
# Debian package names allow no underscore. A static build runs on any
# device whatever its C library, so it depends on nothing; the two install
# the same file and stand in for each other. A dynamic build against
# another C library than glibc needs the device's own, which no Debian
# package provides.
if(KELVANE_STATIC)
  set(CPACK_PACKAGE_NAME app-kelvane-static)
  set(kelvane_other_package app-kelvane)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  set(CPACK_DEBIAN_PACKAGE_PROVIDES app-kelvane)
else()
  set(CPACK_PACKAGE_NAME app-kelvane)
  set(kelvane_other_package app-kelvane-static)
  if(KELVANE_LIBC STREQUAL "glibc")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS libc6)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${kelvane_other_package})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${kelvane_other_package})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "app_kelvane")
set(CPACK_PACKAGE_CONTACT "app_kelvane maintainers <maintainers@app-kelvane.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "register programs with init as respawn entries of /etc/inittab")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "app_kelvane lets software on an embedded device add programs to the list\n\
that init keeps running (respawn entries of /etc/inittab) and take them off\n\
it again. Each run edits the inittab as one locked transaction, replaces it\n\
atomically and tells init to re-read it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KELVANE_DEBIAN_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Only the tool's own component, whatever a subproject may install.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};tool;/")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)

include(CPack)
