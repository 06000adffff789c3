/* The fitting API library's own translation unit: the library's content is
 * the static core linked whole; only the nlfit_ functions are visible. */
#include "nlfit/fit.h"

typedef int nlfit_api_shared_library_unit;
