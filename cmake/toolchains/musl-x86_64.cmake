# SPDX-License-Identifier: MIT
# x86-64 Linux with musl instead of glibc, from Debian's musl-tools: builds
# the library against musl's headers and links it as a musl shared object.
#   cmake -B build/musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/musl-x86_64.cmake \
#     -DZODM_TOOLS=OFF -DZODM_TESTS=OFF -DZODM_FUZZ=OFF -DZODM_MAN=OFF
# scripts/check-musl does that and runs a C program against the result.
#
# musl brings no C++ standard library, and the library needs none at run
# time: it uses the C++ headers only for inline code (std::array,
# std::string_view, std::to_chars, std::atomic). So g++ compiles it with
# its own C++ headers in front of musl's C headers, and musl-gcc links it.
# libstdc++'s configuration header asks glibc's __GLIBC_PREREQ, which musl
# does not define; 0 answers it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER musl-gcc)
set(CMAKE_CXX_COMPILER g++)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE zodm_gxx_version
                OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -print-file-name=include
                OUTPUT_VARIABLE zodm_gcc_include
                OUTPUT_STRIP_TRAILING_WHITESPACE)
string(JOIN " " CMAKE_CXX_FLAGS_INIT
  -nostdinc
  -isystem /usr/include/c++/${zodm_gxx_version}
  -isystem /usr/include/x86_64-linux-gnu/c++/${zodm_gxx_version}
  -isystem ${zodm_gcc_include}
  -isystem /usr/include/x86_64-linux-musl
  "'-D__GLIBC_PREREQ(major,minor)=0'")

# Checks compile only: a C++ program linked here would need a C++ runtime
# built for musl.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
