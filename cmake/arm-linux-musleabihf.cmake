# Static 32-bit ARM build against musl, for any ARM device whatever C
# library its root file system has: Debian's arm-linux-gnueabihf compilers
# with musl-dev:armhf (after dpkg --add-architecture armhf). A static
# binary runs under qemu-arm-static without a sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
kelvane_use_musl(/usr/lib/arm-linux-musleabihf/musl-gcc.specs
                 "musl-dev:armhf (after dpkg --add-architecture armhf)" g++-arm-linux-gnueabihf)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
