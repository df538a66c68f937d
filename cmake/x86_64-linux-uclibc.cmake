# Static host build against uClibc-ng, built here from Debian's
# uclibc-source (uclibc-ng.cmake): the device and fault suites run it on
# the sandboxed device as they run the glibc and musl builds.
include(${CMAKE_CURRENT_LIST_DIR}/uclibc-ng.cmake)
kelvane_uclibc_ng(x86_64 "" g++ linux-libc-dev
                  /usr/include/linux /usr/include/asm-generic /usr/include/mtd
                  /usr/include/x86_64-linux-gnu/asm)
include(${CMAKE_CURRENT_LIST_DIR}/device-sdk.cmake)
