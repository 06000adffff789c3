// Forward-difference approximation of the Jacobian of a residual function.
#include <cmath>

#include "solver.h"

namespace nlfit {

void forwardJacobian(const ResidualProblem& problem, double* x, const double* fvec,
                     ColumnMatrix jacobian, int* evalFlag, double diffStepRel,
                     const double* typical, double* movedResiduals) {
  const int m = problem.m;
  const int n = problem.n;
  // The relative step rests on the assumed relative error of the residuals,
  // never below machine precision; sqrt(2^-52) is exactly 2^-26.
  const double relativeStep =
      std::sqrt(diffStepRel > kMachineEpsilon ? diffStepRel : kMachineEpsilon);

  for (int j = 0; j < n; ++j) {
    const double saved = x[j];
    // The step scales with the component's magnitude (or its typical
    // magnitude, when larger) and gets the bare relative step at zero; it may
    // round to 0 for tiny components.
    const double magnitude =
        (typical == nullptr) ? std::fabs(saved) : maxOf(std::fabs(saved), typical[j]);
    const double h = (magnitude == 0.0) ? relativeStep : relativeStep * magnitude;
    x[j] = saved + h;
    evaluateResiduals(problem, x, movedResiduals, evalFlag);
    x[j] = saved;
    if (*evalFlag < 0) return;  // the caller stops the run
    double* column = jacobian[j];
    // Divide by h itself, not by the realised difference (saved + h) - saved.
    differenceQuotients(m, movedResiduals, fvec, h, column);
  }
}

}  // namespace nlfit
