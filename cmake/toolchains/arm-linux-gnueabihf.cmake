# 32-bit ARM, hard float (Debian armhf): g++-arm-linux-gnueabihf, tests under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triplet arm-linux-gnueabihf)
set(cross_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
