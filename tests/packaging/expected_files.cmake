# The files an installed nlfit consists of, relative to the install prefix.
# Shared by the install-tree and the package checks.
function(nlfit_expected_files out_var)
  set(lib "${LIBDIR}")
  set(${out_var}
    "${BINDIR}/nlfit"
    "${MANDIR}/man1/nlfit.1"
    "${INCLUDEDIR}/nlfit.h"
    "${INCLUDEDIR}/nlfit/fit.h"
    "${INCLUDEDIR}/nlfit/model.h"
    "${INCLUDEDIR}/nlfit/batch.h"
    "${INCLUDEDIR}/nlfit/report.h"
    "${INCLUDEDIR}/nlfit/fit.hpp"
    "${lib}/libnlfit.so.${VERSION}"
    "${lib}/libnlfit.so.${MAJOR}"
    "${lib}/libnlfit.so"
    "${lib}/libnlfit_api.so.${API_VERSION}"
    "${lib}/libnlfit_api.so.${API_MAJOR}"
    "${lib}/libnlfit_api.so"
    "${CMAKEDIR}/nlfitConfig.cmake"
    "${CMAKEDIR}/nlfitConfigVersion.cmake"
    "${CMAKEDIR}/nlfitTargets.cmake"
    "${PKGCONFIGDIR}/nlfit.pc"
    "${PKGCONFIGDIR}/nlfit_api.pc"
    PARENT_SCOPE)
endfunction()

# Fails, naming every missing file, unless each expected file is in listing.
function(nlfit_require_files what listing)
  nlfit_expected_files(expected)
  set(missing "")
  foreach(path IN LISTS expected)
    if(NOT path IN_LIST listing)
      list(APPEND missing "${path}")
    endif()
  endforeach()
  if(missing)
    string(REPLACE ";" "\n  " missing "${missing}")
    message(FATAL_ERROR "${what} lacks:\n  ${missing}")
  endif()
  # The static core is linked into the shared library, never shipped.
  foreach(path IN LISTS listing)
    if(path MATCHES "nlfit_core")
      message(FATAL_ERROR "${what} contains the internal core: ${path}")
    endif()
  endforeach()
endfunction()
