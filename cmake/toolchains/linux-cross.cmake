# SPDX-License-Identifier: MIT
# Shared part of the Debian cross toolchains: set ZODM_TARGET (a GNU triplet
# such as arm-linux-gnueabihf), ZODM_QEMU (the qemu-user program) and
# CMAKE_SYSTEM_PROCESSOR (and, to have qemu emulate a given CPU, the
# ZODM_QEMU_CPU cache variable), then include this file.
#
# Compilers:  g++-${ZODM_TARGET}, from Debian's cross packages.
# Sysroot:    /usr/${ZODM_TARGET}, the C library those packages bring.
# Libraries:  Debian multiarch, /usr/lib/${ZODM_TARGET}, where present
#             (libpcap-dev:ARCH, libmicrohttpd-dev:ARCH); none is needed.
#             The suites build GoogleTest from its sources when the target
#             has none of its own.
# Tests:      run through qemu-user with the sysroot, so ctest works here.
#             The sysroot's libraries come first (LD_LIBRARY_PATH): its
#             loader works only with its own C library, while the system's
#             cache points at the multiarch one (libc6:ARCH, which packages
#             such as libmicrohttpd-dev:ARCH bring), often of another build;
#             mixing the two crashes as soon as a thread starts.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${ZODM_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${ZODM_TARGET}-g++)
# find_package looks in /usr/lib/${ZODM_TARGET}/cmake, where multiarch
# packages keep their CMake files, and not in the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${ZODM_TARGET})
set(CMAKE_FIND_ROOT_PATH /usr/${ZODM_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config answers for the target only, never with the build machine's
# libraries.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/${ZODM_TARGET}/pkgconfig:/usr/share/pkgconfig")

# The target's dynamic loader comes from the sysroot, so its C library must
# too: the loader searches the multiarch directories first, where Debian's
# libc6:ARCH (pulled in by libpcap-dev:ARCH) may be another build of glibc,
# and a loader with another build's libc.so.6 crashes threaded programs.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(ZODM_QEMU_PROGRAM ${ZODM_QEMU})
  set(zodm_qemu_cpu "")
  if(ZODM_QEMU_CPU)
    set(zodm_qemu_cpu -cpu ${ZODM_QEMU_CPU})
  endif()
  if(ZODM_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${ZODM_QEMU_PROGRAM} ${zodm_qemu_cpu} -L /usr/${ZODM_TARGET}
        -E LD_LIBRARY_PATH=/usr/${ZODM_TARGET}/lib
        CACHE STRING "Runs the target's programs on this machine")
  endif()
endif()
