# Builds and runs the C consumer against the installed tree with the flags
# that pkg-config reports, as a Makefile user would:
#   cc consumer.c $(pkg-config --cflags --libs nlfit)
# Prints "nlfit-test-skipped" (the test's skip pattern) when pkg-config is
# not installed.
#
# cmake -DPREFIX=... -DPKGCONFIGDIR=... -DSOURCE=consumer.c -DOUTPUT_DIR=...
#       -DCC=... -DVERSION=... [-DPKG_CONFIG=...] -P pkg_config_consumer.cmake
cmake_minimum_required(VERSION 3.16)
if(PKG_CONFIG AND EXISTS "${PKG_CONFIG}")
  set(pkg_config "${PKG_CONFIG}")
else()
  find_program(pkg_config_in_path NAMES pkg-config pkgconf)
  set(pkg_config "${pkg_config_in_path}")
endif()
if(NOT pkg_config)
  message("nlfit-test-skipped: pkg-config is not installed (Debian: apt-get install pkg-config)")
  return()
endif()

include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")

# Only the freshly installed tree: no system directories.
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${PKGCONFIGDIR}")
set(ENV{PKG_CONFIG_LIBDIR} "${PREFIX}/${PKGCONFIGDIR}")

run_checked(found_version "${pkg_config}" --modversion nlfit)
if(NOT found_version STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config reports nlfit ${found_version}, expected ${VERSION}")
endif()
run_checked(cflags "${pkg_config}" --cflags nlfit)
run_checked(libs "${pkg_config}" --libs nlfit)
run_checked(libdir "${pkg_config}" --variable=libdir nlfit)
message("pkg-config nlfit ${found_version}: ${cflags} ${libs}")
separate_arguments(cflags UNIX_COMMAND "${cflags}")
separate_arguments(libs UNIX_COMMAND "${libs}")

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
set(program "${OUTPUT_DIR}/nlfit_consumer_pc")
run_checked(ignored "${CC}" -std=c99 -ffp-contract=off -Wall -Wextra -Wpedantic -Werror
  ${cflags} "${SOURCE}" -o "${program}" ${libs} "-Wl,-rpath,${libdir}")
run_checked(output "${program}")
message("${output}")
