# 32-bit ARM boards with hardware floating point (Debian armhf):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(CROSS_TRIPLET arm-linux-gnueabihf)
set(CROSS_PROCESSOR armv7l)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
