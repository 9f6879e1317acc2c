# SPDX-License-Identifier: MIT
# GoogleTest for the suites: the target's own, found by find_package, or else
# built here from GoogleTest's sources with the target's compiler. Debian's
# googletest package (which libgtest-dev brings) keeps them in
# /usr/src/googletest, so a cross build needs no GoogleTest of the target's
# architecture, and a device SDK without GoogleTest can still run the suite.
# Either way the suites link GTest::gtest and GTest::gtest_main.
set(ZODM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, built when the target has no GoogleTest of its own")
if(NOT TARGET GTest::gtest)
  find_package(GTest 1.12 QUIET)
endif()
if(NOT TARGET GTest::gtest)
  if(NOT EXISTS ${ZODM_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "The test suite needs GoogleTest 1.12 or later: "
      "none was found for this target, and ZODM_GTEST_SOURCE_DIR "
      "(${ZODM_GTEST_SOURCE_DIR}) holds no GoogleTest sources to build. "
      "Install googletest (Debian) or pass -DZODM_GTEST_SOURCE_DIR=DIR, or "
      "configure with -DZODM_TESTS=OFF.")
  endif()
  message(STATUS "GoogleTest: built from ${ZODM_GTEST_SOURCE_DIR}")
  add_subdirectory(${PROJECT_SOURCE_DIR}/cmake/googletest
                   ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
