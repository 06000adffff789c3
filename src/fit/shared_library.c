/* The shared library's own translation unit: the library's content is the
 * static core linked whole; only findLS and theModelFct are visible. */
#include "nlfit.h"

typedef int nlfit_shared_library_unit;
