# Static 32-bit ARM build against uClibc-ng, the C library of most
# devices, built here from Debian's uclibc-source (uclibc-ng.cmake) with
# Debian's arm-linux-gnueabihf compilers; the binary runs under
# qemu-arm-static, and on the emulated board.
include(${CMAKE_CURRENT_LIST_DIR}/uclibc-ng.cmake)
kelvane_uclibc_ng(arm arm-linux-gnueabihf- g++-arm-linux-gnueabihf linux-libc-dev-armhf-cross
                  /usr/arm-linux-gnueabihf/include/linux /usr/arm-linux-gnueabihf/include/asm-generic
                  /usr/arm-linux-gnueabihf/include/mtd /usr/arm-linux-gnueabihf/include/asm)
include(${CMAKE_CURRENT_LIST_DIR}/device-sdk.cmake)
