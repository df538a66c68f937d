# Static host build against musl (Debian's musl-tools): the device and
# fault suites run it on the sandboxed device as they run the glibc build.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
kelvane_use_musl(/usr/lib/x86_64-linux-musl/musl-gcc.specs musl-tools g++)
