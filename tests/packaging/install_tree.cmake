# Test fixture: installs the build tree into PREFIX (emptied first), then
# checks that the tree holds the headers, both libraries with their version
# links and SONAMEs, and the CMake and pkg-config files.
#
# cmake -DBUILD_DIR=... -DPREFIX=... -DCONFIG=... -DLIBDIR=... -DINCLUDEDIR=...
#       -DCMAKEDIR=... -DPKGCONFIGDIR=... -DVERSION=... -DMAJOR=...
#       -DAPI_VERSION=... -DAPI_MAJOR=... [-DREADELF=...] -P install_tree.cmake
cmake_minimum_required(VERSION 3.16)
include("${CMAKE_CURRENT_LIST_DIR}/expected_files.cmake")

file(REMOVE_RECURSE "${PREFIX}")
set(config_args "")
if(CONFIG)
  set(config_args --config "${CONFIG}")
endif()
execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" ${config_args}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

file(GLOB_RECURSE listing LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT listing)
string(REPLACE ";" "\n  " shown "${listing}")
message("Installed tree ${PREFIX}:\n  ${shown}")
nlfit_require_files("the install tree" "${listing}")

set(lib "${PREFIX}/${LIBDIR}")
# check_library(NAME VERSION MAJOR): NAME.so -> NAME.so.MAJOR -> NAME.so.VERSION,
# and the SONAME NAME.so.MAJOR.
function(check_library name version major)
  foreach(link "${name}.so" "${name}.so.${major}")
    if(NOT IS_SYMLINK "${lib}/${link}")
      message(FATAL_ERROR "${link} is not a symbolic link")
    endif()
  endforeach()
  file(READ_SYMLINK "${lib}/${name}.so.${major}" target)
  if(NOT target STREQUAL "${name}.so.${version}")
    message(FATAL_ERROR "${name}.so.${major} points to ${target}")
  endif()
  if(READELF)
    execute_process(COMMAND "${READELF}" -d "${lib}/${name}.so.${version}"
      OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
    string(REPLACE "." "\\." soname_pattern "${name}.so.${major}")
    if(NOT rc EQUAL 0 OR NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[${soname_pattern}\\]")
      message(FATAL_ERROR "SONAME of the installed ${name} is not ${name}.so.${major}:\n${dynamic}")
    endif()
    message("SONAME ${name}.so.${major}")
  endif()
endfunction()
check_library(libnlfit "${VERSION}" "${MAJOR}")
check_library(libnlfit_api "${API_VERSION}" "${API_MAJOR}")

# The installed command finds the installed fitting API library through its
# RPATH, relative to its own location, with no search path set.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH
    "${PREFIX}/${BINDIR}/nlfit" --list-models
  OUTPUT_VARIABLE models ERROR_VARIABLE error RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT models MATCHES "exp_decay")
  message(FATAL_ERROR "the installed nlfit does not run (${rc}):\n${error}")
endif()
message("installed nlfit runs")
