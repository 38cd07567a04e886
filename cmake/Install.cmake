# Installs the public headers under include/nb/... (internal/ folders hold the
# library's own headers and are not installed), the library, a CMake package (nb::nb)
# and a pkg-config file, so that applications build against an installed copy.
include(CMakePackageConfigHelpers)

install(TARGETS nb EXPORT nbTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/nb/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nb
  FILES_MATCHING PATTERN "*.h"
  PATTERN "internal" EXCLUDE)
install(EXPORT nbTargets NAMESPACE nb:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nb)

get_property(NB_CMAKE_DEPENDENCIES GLOBAL PROPERTY NB_CMAKE_DEPENDENCIES)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nbConfig.cmake.in
  ${PROJECT_BINARY_DIR}/nbConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nb)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nbConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/nbConfig.cmake ${PROJECT_BINARY_DIR}/nbConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nb)

# The library is static, so its dependencies go into Requires (not .private).
set(NB_PC_REQUIRES "libcrypto")
get_property(NB_PC_EXTRA GLOBAL PROPERTY NB_PC_REQUIRES)
if(NB_PC_EXTRA)
  list(JOIN NB_PC_EXTRA " " NB_PC_EXTRA_TEXT)
  string(APPEND NB_PC_REQUIRES " ${NB_PC_EXTRA_TEXT}")
endif()
# Relocatable: the prefix is found from where nb.pc is installed.
file(RELATIVE_PATH NB_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${PROJECT_SOURCE_DIR}/cmake/nb.pc.in ${PROJECT_BINARY_DIR}/nb.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
