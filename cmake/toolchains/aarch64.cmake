# SPDX-License-Identifier: MIT
# 64-bit ARM (Debian arm64): cmake --preset aarch64, or
# cmake -B build -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZODM_TARGET aarch64-linux-gnu)
set(ZODM_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
