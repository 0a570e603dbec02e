# Finds the two C++ libraries Zarvex is built on, CRoaring and Abseil, and
# stops with a message naming what to install when one of them is missing
# (CMake's own text only names the config file it looked for).
#
# Defines ROARING_INCLUDE_DIR, ROARING_LIBRARY and the absl:: targets.

set(_zarvex_install_hint
  "Install the development packages and configure again:\n"
  "  Debian/Ubuntu:  apt-get install libroaring-dev libabsl-dev\n"
  "  from source:    CRoaring (the RoaringBitmap project) and Abseil (abseil-cpp),\n"
  "                  then pass their install prefixes in CMAKE_PREFIX_PATH.\n"
  "Prebuilt wheels carry both libraries inside and need neither.")
string(CONCAT _zarvex_install_hint ${_zarvex_install_hint})

find_path(ROARING_INCLUDE_DIR roaring/roaring.h)
find_library(ROARING_LIBRARY roaring)
if(NOT ROARING_INCLUDE_DIR OR NOT ROARING_LIBRARY)
  message(FATAL_ERROR
    "Zarvex needs the CRoaring library (Roaring bitmaps, header roaring/roaring.h and libroaring), "
    "which was not found (Debian package: libroaring-dev; upstream project: CRoaring).\n"
    "${_zarvex_install_hint}")
endif()

find_package(absl CONFIG QUIET)
if(NOT absl_FOUND)
  message(FATAL_ERROR
    "Zarvex needs the Abseil C++ library (abslConfig.cmake), which was not found "
    "(Debian package: libabsl-dev; upstream project: Abseil, abseil-cpp).\n"
    "${_zarvex_install_hint}")
endif()
