// The default floating-point environment for the length of a fit.
#include <cfenv>

#include "solver.h"

namespace nlfit {

// fegetenv saves the rounding mode, the enabled traps, the flags and, on
// x86-64, the flush-to-zero and denormals-are-zero bits of MXCSR; FE_DFL_ENV
// is round to nearest with every trap masked and both bits clear.
DefaultFloatingPointScope::DefaultFloatingPointScope() {
  std::fegetenv(&saved_);
  std::fesetenv(FE_DFL_ENV);
}

DefaultFloatingPointScope::~DefaultFloatingPointScope() { std::fesetenv(&saved_); }

}  // namespace nlfit
