# Compares the library's defined dynamic symbols with the expected list,
# checks the soname, and checks that the library needs no newer C library
# than the one the README names. Run with -DNM= -DLIBRARY= -DEXPECTED=
# -DMAX_GLIBC=.
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

# The newest glibc symbol version the library refers to: devices must have
# at least that glibc (pthread_rwlock_* live in libc itself from 2.34 on).
execute_process(COMMAND ${NM} -D --undefined-only --format=posix ${LIBRARY}
                OUTPUT_VARIABLE undefined RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "@GLIBC_[0-9.]+" versions "${undefined}")
set(newest 0)
foreach(version IN LISTS versions)
  string(REPLACE "@GLIBC_" "" version "${version}")
  if(version VERSION_GREATER newest)
    set(newest ${version})
  endif()
endforeach()
if(newest VERSION_GREATER MAX_GLIBC)
  message(FATAL_ERROR "the library needs glibc ${newest}, more than ${MAX_GLIBC}")
endif()
