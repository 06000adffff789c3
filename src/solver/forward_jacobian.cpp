// Forward-difference approximation of the Jacobian of a residual function.
#include <cmath>

#include "solver.h"

namespace nlfit {

void forwardJacobian(ResidualFunction fcn, int m, int n, double* x,
                     const double* fvec, ColumnMatrix jacobian, int* evalFlag,
                     double diffStepRel, double* work) {
  // The relative step rests on the assumed relative error of the residuals,
  // never below machine precision; sqrt(2^-52) is exactly 2^-26.
  const double relativeStep =
      std::sqrt(diffStepRel > kMachineEpsilon ? diffStepRel : kMachineEpsilon);

  for (int j = 0; j < n; ++j) {
    const double saved = x[j];
    // A zero component gets the bare relative step; otherwise the step scales
    // with |x[j]| and may round to 0 for tiny components.
    const double h = (saved == 0.0) ? relativeStep : relativeStep * std::fabs(saved);
    x[j] = saved + h;
    fcn(m, n, x, work, evalFlag);
    if (*evalFlag < 0) return;  // x[j] stays moved: the caller stops the run
    x[j] = saved;
    double* column = jacobian[j];
    // Divide by h itself, not by the realised difference (saved + h) - saved.
    differenceQuotients(m, work, fvec, h, column);
  }
}

}  // namespace nlfit
