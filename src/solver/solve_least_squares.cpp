// The solver's entry: checks, workspace, fixed settings.
#include <cstdlib>

#include "solver.h"

namespace nlfit {

namespace {

// The workspace of one run, obtained in a fixed order and released in the
// reverse order.
struct Workspace {
  int* pivots = nullptr;
  double* scaleFactors = nullptr;
  double* qtResidual = nullptr;
  double* work1 = nullptr;
  double* work2 = nullptr;
  double* work3 = nullptr;
  double* work4 = nullptr;
  double** columns = nullptr;
};

double* allocDoubles(int count) {
  return static_cast<double*>(zeroFilledAlloc(static_cast<std::size_t>(count), sizeof(double)));
}

void release(Workspace& w, int n) {
  if (w.columns != nullptr) {
    for (int j = 0; j < n; ++j) std::free(w.columns[j]);
  }
  std::free(w.columns);
  std::free(w.work4);
  std::free(w.work3);
  std::free(w.work2);
  std::free(w.work1);
  std::free(w.qtResidual);
  std::free(w.scaleFactors);
  std::free(w.pivots);
}

// False when any piece could not be obtained; what was obtained stays in w.
bool acquire(Workspace& w, int m, int n) {
  w.pivots = static_cast<int*>(zeroFilledAlloc(static_cast<std::size_t>(n), sizeof(int)));
  if (w.pivots == nullptr) return false;
  if ((w.scaleFactors = allocDoubles(n)) == nullptr) return false;
  if ((w.qtResidual = allocDoubles(n)) == nullptr) return false;
  if ((w.work1 = allocDoubles(n)) == nullptr) return false;
  if ((w.work2 = allocDoubles(n)) == nullptr) return false;
  if ((w.work3 = allocDoubles(n)) == nullptr) return false;
  if ((w.work4 = allocDoubles(m)) == nullptr) return false;
  // Zero-filled pointer array: columns not yet obtained are null and freeing
  // them is harmless.
  w.columns = static_cast<double**>(zeroFilledAlloc(static_cast<std::size_t>(n), sizeof(double*)));
  if (w.columns == nullptr) return false;
  for (int j = 0; j < n; ++j) {
    if ((w.columns[j] = allocDoubles(m)) == nullptr) return false;
  }
  return true;
}

}  // namespace

int solveLeastSquares(ResidualFunction fcn, int m, int n, double* x,
                      const int* freeMask, double* fvec, double tolerance,
                      int* terminationCode, int* evalCount) {
  // -0.0 passes (it is not negative); NaN does not.
  if (n <= 0 || m < n || !(tolerance >= 0.0)) {
    *terminationCode = kRefusedInput;
    return 1;
  }

  Workspace w;
  if (!acquire(w, m, n)) {
    release(w, n);
    *terminationCode = kRefusedInput;
    return 1;
  }

  *evalCount = 0;
  constexpr double kGradientTol = 0.0;
  constexpr double kDiffStepRel = 0.0;  // the difference step rests on machine precision
  constexpr int kAutomaticScaling = 1;
  lmIterate(fcn, m, n, x, freeMask, fvec, tolerance, tolerance, kGradientTol,
            kMaxEvaluations, kDiffStepRel, w.scaleFactors, kAutomaticScaling,
            kStepFactor, terminationCode, evalCount, w.columns, w.pivots,
            w.qtResidual, w.work1, w.work2, w.work3, w.work4);
  if (*terminationCode == kGradientAtPrecision) *terminationCode = kGradientConverged;

  release(w, n);
  return 0;
}

}  // namespace nlfit
