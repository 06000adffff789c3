// The fit entry point.
#include <cmath>
#include <cstdlib>

#include "fit.h"

namespace {

bool allFinite(const double* v, int count) {
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

}  // namespace

namespace nlfit {

double findLeastSquares(ZeroedAllocator allocate, ModelFunction model, int paramCount,
                        int pointCount, const double* xValues, const double* yValues,
                        double* params) {
  // The fit, and the host's model with it, runs in the default
  // floating-point environment; the host's own comes back on return.
  const DefaultFloatingPointScope environment;

  const int status = setFitData(model, xValues, yValues, params, paramCount, pointCount);
  if (status > 0) return static_cast<double>(status);

  // Refuse, before allocating or printing anything, what no fit can use:
  // counts the solver would refuse (a negative count would otherwise reach
  // the allocator), a missing model or vector, and non-finite data or
  // starting values (a fit on them cannot mean anything).
  if (paramCount <= 0 || pointCount < paramCount) return 1.0;
  if (model == nullptr || params == nullptr) return 1.0;
  if (!allFinite(xValues, pointCount) || !allFinite(yValues, pointCount) ||
      !allFinite(params, paramCount)) {
    return 1.0;
  }

  double* fvec =
      static_cast<double*>(allocate(static_cast<std::size_t>(pointCount), sizeof(double)));
  int* freeMask = static_cast<int*>(allocate(static_cast<std::size_t>(paramCount), sizeof(int)));
  int result = 1;
  if (fvec != nullptr && freeMask != nullptr) {
    for (int j = 0; j < paramCount; ++j) freeMask[j] = 1;
    int terminationCode = 0;
    int evalCount = 0;
    ResidualProblem problem;
    problem.residuals = fitResiduals;
    problem.m = pointCount;
    problem.n = paramCount;
    result = solveWithFixedSettings(problem, params, freeMask, fvec, kFitTolerance, allocate,
                                    &terminationCode, &evalCount);
  }
  std::free(fvec);
  std::free(freeMask);
  return static_cast<double>(result);
}

}  // namespace nlfit

extern "C" double findLS(ModelFunction model, int paramCount, int pointCount,
                         const double* xValues, const double* yValues,
                         double* params) {
  return nlfit::findLeastSquares(nlfit::zeroFilledAlloc, model, paramCount, pointCount, xValues,
                                 yValues, params);
}
