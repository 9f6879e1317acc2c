# SPDX-License-Identifier: MIT
# Installation: the library and its header, a CMake package and a pkg-config
# file. Installed files find the tree relative to their own location, so an
# installed prefix can be moved or packaged as it is.
include(CMakePackageConfigHelpers)

set(ZODM_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zodm)

# lib/libzodm.so.2, the lib/libzodm.so link and include/zodm.h.
install(TARGETS zodm EXPORT zodmTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# find_package(zodm 2 CONFIG) gives the imported target zodm::zodm; any 2.x
# is accepted, since the major version follows the soname.
install(EXPORT zodmTargets NAMESPACE zodm::
        DESTINATION ${ZODM_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/zodmConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zodmConfig.cmake
  INSTALL_DESTINATION ${ZODM_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zodmConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zodmConfig.cmake
              ${PROJECT_BINARY_DIR}/zodmConfigVersion.cmake
        DESTINATION ${ZODM_INSTALL_CMAKEDIR})

# pkg-config: the prefix is derived from the .pc file's own directory.
file(RELATIVE_PATH ZODM_PC_TO_PREFIX
     ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZODM_PC_TO_PREFIX "${ZODM_PC_TO_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ZODM_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ZODM_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(cmake/zodm.pc.in ${PROJECT_BINARY_DIR}/zodm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zodm.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
