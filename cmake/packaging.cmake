# CPack: `cpack -G DEB` and `cpack -G TGZ`, run in the build directory, pack
# what `cmake --install` installs (library, header, CMake and pkg-config
# files) into one package.

set(NLFIT_PACKAGE_CONTACT
    "nlfit maintainers <maintainers@users.noreply.c-seed-993db4f4.example>"
    CACHE STRING "Maintainer named in the packages (Name <address>)")

set(CPACK_PACKAGE_NAME "nlfit")
set(CPACK_PACKAGE_VENDOR "nlfit maintainers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${NLFIT_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Nonlinear least-squares fitting of a five-parameter model curve")
set(CPACK_PACKAGE_DESCRIPTION
"nlfit fits up to 9 parameters of a host-supplied five-parameter model
y = model(x; p0 ... p4) to up to 1000 observations by a Levenberg-Marquardt
trust-region method. This package holds the shared library with its plain C
interface (findLS, theModelFct), the header nlfit.h, a CMake package
(find_package(nlfit), target nlfit::nlfit) and a pkg-config file (nlfit).")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES OFF)
set(CPACK_SOURCE_GENERATOR "")

# Debian: one package holding the library and its development files.
set(CPACK_DEBIAN_PACKAGE_NAME "libnlfit")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Architecture from `dpkg --print-architecture` where dpkg exists (CPack's
# default); the runtime dependencies from dpkg-shlibdeps where dpkg-dev is
# installed, otherwise the C library and muparser (the fitting API library's
# formula models), which is all the shared objects need.
find_program(NLFIT_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(NLFIT_DPKG_SHLIBDEPS)
if(NLFIT_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libmuparser2v5")
endif()

set(CPACK_GENERATOR "TGZ")
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND CPACK_GENERATOR "DEB")
endif()

include(CPack)
