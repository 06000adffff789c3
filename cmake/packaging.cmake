# CPack: `cpack -G DEB` and `cpack -G TGZ`, run in the build directory, pack
# what `cmake --install` installs (both libraries, the headers, the CMake and
# pkg-config files) into one package.

set(NLFIT_PACKAGE_CONTACT
    "nlfit maintainers <maintainers@users.noreply.c-seed-993db4f4.example>"
    CACHE STRING "Maintainer named in the packages (Name <address>)")

set(CPACK_PACKAGE_NAME "nlfit")
set(CPACK_PACKAGE_VENDOR "nlfit maintainers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${NLFIT_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Nonlinear least-squares curve fitting: plug-in and fitting API libraries")
set(CPACK_PACKAGE_DESCRIPTION
"nlfit fits the parameters of a model curve to observations by a
Levenberg-Marquardt trust-region method. This package holds two shared
libraries. libnlfit is the plug-in: a host-supplied five-parameter model
y = model(x; p0 ... p4), up to 9 parameters and 1000 observations, through
the plain C interface findLS and theModelFct (header nlfit.h). libnlfit_api is
the fitting API: any number of parameters and observations, reentrant and
thread-safe, silent, with held parameters, weights, and the statistics of
the fit (covariance, standard errors, confidence intervals, correlation,
R-squared), through the C header nlfit/fit.h and its C++ interface. The
nlfit command fits data files from the shell with it. Also a CMake package (find_package(nlfit), targets nlfit::nlfit and
nlfit::nlfit_api) and pkg-config files (nlfit, nlfit_api).")
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
# installed, otherwise the C and C++ runtime libraries and muparser (the
# fitting API library's formula models), which is all the shared objects need.
find_program(NLFIT_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(NLFIT_DPKG_SHLIBDEPS)
if(NLFIT_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libmuparser2v5")
endif()

set(CPACK_GENERATOR "TGZ")
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND CPACK_GENERATOR "DEB")
endif()

include(CPack)
