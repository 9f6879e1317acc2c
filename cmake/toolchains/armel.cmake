# SPDX-License-Identifier: MIT
# 32-bit ARM, soft-float ABI (Debian armel's g++-arm-linux-gnueabi): the
# loader is ld-linux.so.3, as on Kindle before firmware 5.16.3, PocketBook and
# Bookeen. cmake --preset armel, or
#   cmake -B build -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armel.cmake
#
# ZODM_ARM_FLAGS holds the CPU flags. The default is what the Kindle
# (kindle5, kindlepw2) and PocketBook toolchains build for: ARMv7-A with
# NEON, floating point in VFP registers inside functions but passed in
# integer registers (softfp), Thumb-2. For the legacy Kindle (ARM1136) pass
#   -DZODM_ARM_FLAGS="-march=armv6 -mfpu=vfp -mfloat-abi=softfp -marm"
# ARMv5, Debian armel's own default, lacks the lock-free atomics that the
# library needs, and is refused at compile time.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZODM_TARGET arm-linux-gnueabi)
set(ZODM_QEMU qemu-arm)
set(ZODM_ARM_FLAGS "-march=armv7-a -mfpu=neon -mfloat-abi=softfp -mthumb"
    CACHE STRING "CPU flags of the soft-float ARM target")
# try_compile projects read this file again; they get the builder's flags,
# not the default above.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZODM_ARM_FLAGS)
set(CMAKE_C_FLAGS_INIT "${ZODM_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ZODM_ARM_FLAGS}")
# The CPU that qemu-arm emulates for the tests: a Cortex-A9 as in the
# Kindles, or arm1136 for ARMv6.
set(ZODM_QEMU_CPU cortex-a9 CACHE STRING "CPU that qemu-arm emulates")
# What the library may ask of the C library and how it passes floating
# point: the suite's exported_symbols test holds the build to both.
set(ZODM_GLIBC_FLOOR 2.12)
set(ZODM_FLOAT_ABI soft)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
