# Written by CMake from NLFIT_FIT_VERSION_* in include/nlfit/fit.h: edit the
# header, not this file.
__version__ = "2.1.0"
