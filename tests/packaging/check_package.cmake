# Builds the Debian and tar.gz packages with CPack into OUTPUT_DIR (emptied
# first), lists their contents and checks that both hold the two libraries,
# the headers and the CMake and pkg-config files, and that the .deb's control
# fields name the package, its version and maintainer, and describe both
# libraries.
#
# cmake -DBUILD_DIR=... -DOUTPUT_DIR=... -DCONFIG=... -DCPACK=... -DDEB_NAME=...
#       -DLIBDIR=... -DINCLUDEDIR=... -DCMAKEDIR=... -DPKGCONFIGDIR=...
#       -DVERSION=... -DMAJOR=... -DAPI_VERSION=... -DAPI_MAJOR=...
#       [-DDPKG_DEB=...] -P check_package.cmake
cmake_minimum_required(VERSION 3.16)
include("${CMAKE_CURRENT_LIST_DIR}/expected_files.cmake")

include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")

# Entries of a listing (one path per line, any leading "./" or top folder
# removed up to and including STRIP) as a CMake list.
function(paths_after out_var text strip)
  string(REPLACE "\n" ";" lines "${text}")
  set(paths "")
  foreach(line IN LISTS lines)
    if(line MATCHES "${strip}(.*)$")
      list(APPEND paths "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out_var} "${paths}" PARENT_SCOPE)
endfunction()

set(generators "TGZ")
if(DPKG_DEB)
  set(generators "DEB;TGZ")
else()
  message("dpkg-deb not found: building and checking the .tar.gz only")
endif()

file(REMOVE_RECURSE "${OUTPUT_DIR}")
set(config_args "")
if(CONFIG)
  set(config_args -C "${CONFIG}")
endif()
foreach(generator IN LISTS generators)
  run_checked(log "${CPACK}" --config "${BUILD_DIR}/CPackConfig.cmake"
    -G "${generator}" -B "${OUTPUT_DIR}" ${config_args})
  message("${log}")
endforeach()

# tar.gz: one top folder, then the install tree.
file(GLOB tgz "${OUTPUT_DIR}/*.tar.gz")
list(LENGTH tgz count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .tar.gz in ${OUTPUT_DIR}, found: ${tgz}")
endif()
run_checked(tgz_listing "${CMAKE_COMMAND}" -E tar tf "${tgz}")
message("Contents of ${tgz}:\n${tgz_listing}")
paths_after(tgz_paths "${tgz_listing}" "^[^/]+/")
nlfit_require_files("the .tar.gz" "${tgz_paths}")

if(NOT DPKG_DEB)
  if("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "dpkg-deb not found: the .deb is not checked (CI=true; tools/setup-deps)")
  endif()
  return()
endif()

file(GLOB deb "${OUTPUT_DIR}/*.deb")
list(LENGTH deb count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${OUTPUT_DIR}, found: ${deb}")
endif()
run_checked(deb_listing "${DPKG_DEB}" -c "${deb}")
message("dpkg-deb -c ${deb}:\n${deb_listing}")
# Lines end in "./usr/<path>" or "./usr/<link> -> <target>".
string(REGEX REPLACE " -> [^\n]*" "" deb_listing "${deb_listing}")
paths_after(deb_paths "${deb_listing}" " \\./usr/")
nlfit_require_files("the .deb" "${deb_paths}")

run_checked(fields "${DPKG_DEB}" --field "${deb}" Package Version Architecture Maintainer Depends Description)
message("Control fields:\n${fields}")
if(NOT fields MATCHES "Package: ${DEB_NAME}\n")
  message(FATAL_ERROR "the .deb is not named ${DEB_NAME}")
endif()
if(NOT fields MATCHES "Version: ${VERSION}\n")
  message(FATAL_ERROR "the .deb does not carry version ${VERSION}")
endif()
if(NOT fields MATCHES "Maintainer: [^\n]+<[^\n]+@[^\n]+>" OR NOT fields MATCHES "Architecture: [a-z0-9]+")
  message(FATAL_ERROR "the .deb lacks a maintainer address or an architecture")
endif()
if(NOT fields MATCHES "libnlfit_api" OR NOT fields MATCHES "nlfit/fit\\.h")
  message(FATAL_ERROR "the .deb's description does not mention the fitting API library")
endif()
