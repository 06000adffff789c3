# Test fixture: installs the build tree into PREFIX (emptied first), then
# checks that the tree holds the header, the library with its version links
# and SONAME, and the CMake and pkg-config files.
#
# cmake -DBUILD_DIR=... -DPREFIX=... -DCONFIG=... -DLIBDIR=... -DINCLUDEDIR=...
#       -DCMAKEDIR=... -DPKGCONFIGDIR=... -DVERSION=... -DMAJOR=...
#       [-DREADELF=...] -P install_tree.cmake
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
foreach(link "libnlfit.so" "libnlfit.so.${MAJOR}")
  if(NOT IS_SYMLINK "${lib}/${link}")
    message(FATAL_ERROR "${link} is not a symbolic link")
  endif()
endforeach()
file(READ_SYMLINK "${lib}/libnlfit.so.${MAJOR}" target)
if(NOT target STREQUAL "libnlfit.so.${VERSION}")
  message(FATAL_ERROR "libnlfit.so.${MAJOR} points to ${target}")
endif()

if(READELF)
  execute_process(COMMAND "${READELF}" -d "${lib}/libnlfit.so.${VERSION}"
    OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[libnlfit\\.so\\.${MAJOR}\\]")
    message(FATAL_ERROR "SONAME of the installed library is not libnlfit.so.${MAJOR}:\n${dynamic}")
  endif()
  message("SONAME libnlfit.so.${MAJOR}")
endif()
