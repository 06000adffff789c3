# Install rules: the headers, the two shared libraries with their SONAMEs and
# version links, one CMake package with two targets (nlfit::nlfit, the
# plug-in; nlfit::nlfit_api, the fitting API) and a pkg-config file for each
# library (nlfit.pc, nlfit_api.pc).
#
# The static core nlfit_core is linked whole into the shared libraries and
# privately, so it is neither installed nor named by the exported targets.

include(CMakePackageConfigHelpers)

set(NLFIT_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/nlfit"
    CACHE STRING "Where to install nlfitConfig.cmake, relative to the prefix")
set(NLFIT_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
    CACHE STRING "Where to install nlfit.pc, relative to the prefix")
mark_as_advanced(NLFIT_INSTALL_CMAKEDIR NLFIT_INSTALL_PKGCONFIGDIR)

install(TARGETS nlfit nlfit_api
  EXPORT nlfitTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    COMPONENT nlfit_runtime
    NAMELINK_COMPONENT nlfit_development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT nlfit_development
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT nlfit_runtime)

install(FILES "${PROJECT_SOURCE_DIR}/include/nlfit.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  COMPONENT nlfit_development)
# The fitting API's headers: every nlfit/*.h and nlfit/*.hpp.
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/nlfit/"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/nlfit"
  COMPONENT nlfit_development
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

install(EXPORT nlfitTargets
  NAMESPACE nlfit::
  DESTINATION "${NLFIT_INSTALL_CMAKEDIR}"
  COMPONENT nlfit_development)

configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/nlfitConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/nlfitConfig.cmake"
  INSTALL_DESTINATION "${NLFIT_INSTALL_CMAKEDIR}")
# A 1.x build satisfies any request for 1.y with y <= x.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/nlfitConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/nlfitConfig.cmake"
  "${PROJECT_BINARY_DIR}/nlfitConfigVersion.cmake"
  DESTINATION "${NLFIT_INSTALL_CMAKEDIR}"
  COMPONENT nlfit_development)

# The .pc file finds its prefix relative to its own location, so the tree
# stays usable wherever it is installed (cmake --install --prefix, a package
# unpacked elsewhere) and not only under CMAKE_INSTALL_PREFIX.
if(IS_ABSOLUTE "${NLFIT_INSTALL_PKGCONFIGDIR}")
  set(NLFIT_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _nlfit_pc_up "/prefix/${NLFIT_INSTALL_PKGCONFIGDIR}" "/prefix")
  string(REGEX REPLACE "/$" "" _nlfit_pc_up "${_nlfit_pc_up}")
  set(NLFIT_PC_PREFIX "\${pcfiledir}/${_nlfit_pc_up}")
endif()
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(NLFIT_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(NLFIT_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/nlfit.pc.in"
  "${PROJECT_BINARY_DIR}/nlfit.pc" @ONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/nlfit_api.pc.in"
  "${PROJECT_BINARY_DIR}/nlfit_api.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/nlfit.pc" "${PROJECT_BINARY_DIR}/nlfit_api.pc"
  DESTINATION "${NLFIT_INSTALL_PKGCONFIGDIR}"
  COMPONENT nlfit_development)
