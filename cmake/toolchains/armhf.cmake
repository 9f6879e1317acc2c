# SPDX-License-Identifier: MIT
# 32-bit ARM, hard float (Debian armhf): cmake --preset armhf, or
# cmake -B build -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZODM_TARGET arm-linux-gnueabihf)
set(ZODM_FLOAT_ABI hard)
set(ZODM_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
