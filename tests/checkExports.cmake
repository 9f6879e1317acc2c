# SPDX-License-Identifier: MIT
# Checks what libzodm.so.2 offers and what it needs on a device:
#   - its defined dynamic symbols are exactly the expected list, and its file
#     name is libzodm.so.2;
#   - it needs no library but the C library (NEEDED libc.so.6 only: no
#     libstdc++, libgcc_s or libpthread) and no glibc symbol version newer
#     than MAX_GLIBC, so that it loads on the devices' older glibc.
#   - on 32-bit ARM, with FLOAT_ABI "soft" or "hard", that its ELF header
#     says it passes floating point that way: a soft-float device's loader
#     refuses a hard-float object.
# Run with -DNM= -DOBJDUMP= -DREADELF= -DLIBRARY= -DEXPECTED= -DMAX_GLIBC=
# [-DFLOAT_ABI=]; NM, OBJDUMP and READELF are the target toolchain's own, so
# cross builds are read right. An empty MAX_GLIBC (a sanitizer build) leaves
# out the second check.
execute_process(COMMAND ${NM} -D --defined-only --format=posix ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(actual "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ]+) [A-Za-z] ")
    list(APPEND actual "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT actual)
file(STRINGS ${EXPECTED} expected)
list(SORT expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  actual:   ${actual}")
endif()
get_filename_component(name ${LIBRARY} NAME)
if(NOT name STREQUAL "libzodm.so.2")
  message(FATAL_ERROR "library file is ${name}, expected libzodm.so.2")
endif()

if(FLOAT_ABI)
  execute_process(COMMAND ${READELF} -h ${LIBRARY}
                  OUTPUT_VARIABLE header RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT header MATCHES "Flags:[^\n]*(soft|hard)-float ABI")
    message(FATAL_ERROR "readelf -h ${LIBRARY} names no float ABI:\n${header}")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL FLOAT_ABI)
    message(FATAL_ERROR "${LIBRARY} has the ${CMAKE_MATCH_1}-float ABI; this "
                        "target needs the ${FLOAT_ABI}-float one")
  endif()
  message(STATUS "${FLOAT_ABI}-float ABI")
endif()

if(MAX_GLIBC STREQUAL "")
  return()
endif()

# objdump -p lists the NEEDED entries of the dynamic section and, under
# "Version References", every symbol version the library requires.
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY}
                OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "NEEDED +[^\n]+" needed "${headers}")
string(REGEX REPLACE "NEEDED +" "" needed "${needed}")
if(NOT needed STREQUAL "libc.so.6")
  message(FATAL_ERROR "the library needs ${needed}; it may need libc.so.6 only")
endif()
string(REGEX MATCHALL "required from [^\n]+" sources "${headers}")
if(NOT sources STREQUAL "required from libc.so.6:")
  message(FATAL_ERROR "symbol versions required: ${sources}; only libc.so.6's may be")
endif()
string(REGEX MATCHALL " GLIBC_[0-9.]+" versions "${headers}")
set(newer "")
foreach(version IN LISTS versions)
  string(REPLACE " GLIBC_" "" version "${version}")
  if(version VERSION_GREATER MAX_GLIBC)
    list(APPEND newer "GLIBC_${version}")
  endif()
endforeach()
if(newer)
  message(FATAL_ERROR "the library needs ${newer}: newer than glibc ${MAX_GLIBC}")
endif()
list(LENGTH versions count)
message(STATUS "needs libc.so.6 only, ${count} glibc symbol versions, none newer than ${MAX_GLIBC}")
