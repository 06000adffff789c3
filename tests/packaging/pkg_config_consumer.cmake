# Builds and runs a consumer against the installed tree with the flags that
# pkg-config reports for MODULE, as a Makefile user would:
#   cc consumer.c $(pkg-config --cflags --libs ${MODULE})
#   c++ -std=c++17 api_consumer.cpp $(pkg-config --cflags --libs nlfit_api)
# Prints "nlfit-test-skipped" (the test's skip pattern) when pkg-config is
# not installed.
#
# cmake -DPREFIX=... -DPKGCONFIGDIR=... -DSOURCE=consumer.c -DOUTPUT_DIR=...
#       -DCC=... -DVERSION=... [-DMODULE=nlfit] [-DSTD=c99]
#       [-DPKG_CONFIG=...] -P pkg_config_consumer.cmake
# The program links -lm too, as the README's command does. CC is the compiler
# (a C++ one for a C++ SOURCE); VERSION the version that
# pkg-config must report for MODULE.
cmake_minimum_required(VERSION 3.16)
if(PKG_CONFIG AND EXISTS "${PKG_CONFIG}")
  set(pkg_config "${PKG_CONFIG}")
else()
  find_program(pkg_config_in_path NAMES pkg-config pkgconf)
  set(pkg_config "${pkg_config_in_path}")
endif()
if(NOT pkg_config AND "$ENV{CI}" STREQUAL "true")
  message(FATAL_ERROR "pkg-config is not installed (CI=true: no test is skipped; tools/setup-deps)")
elseif(NOT pkg_config)
  message("nlfit-test-skipped: pkg-config is not installed (Debian: apt-get install pkg-config)")
  return()
endif()

include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")
if(NOT MODULE)
  set(MODULE nlfit)
endif()
if(NOT STD)
  set(STD c99)
endif()

# Only the freshly installed tree: no system directories.
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${PKGCONFIGDIR}")
set(ENV{PKG_CONFIG_LIBDIR} "${PREFIX}/${PKGCONFIGDIR}")

run_checked(found_version "${pkg_config}" --modversion ${MODULE})
if(NOT found_version STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config reports ${MODULE} ${found_version}, expected ${VERSION}")
endif()
run_checked(cflags "${pkg_config}" --cflags ${MODULE})
run_checked(libs "${pkg_config}" --libs ${MODULE})
run_checked(libdir "${pkg_config}" --variable=libdir ${MODULE})
message("pkg-config ${MODULE} ${found_version}: ${cflags} ${libs}")
separate_arguments(cflags UNIX_COMMAND "${cflags}")
separate_arguments(libs UNIX_COMMAND "${libs}")

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
get_filename_component(stem "${SOURCE}" NAME_WE)
set(program "${OUTPUT_DIR}/${stem}_pc")
run_checked(ignored "${CC}" -std=${STD} -ffp-contract=off -Wall -Wextra -Wpedantic -Werror
  ${cflags} "${SOURCE}" -o "${program}" ${libs} -lm "-Wl,-rpath,${libdir}")
run_checked(output "${program}")
message("${output}")
