// The solver's entry: checks, workspace, fixed settings.
#include <cstdint>
#include <cstdlib>

#include "solver.h"

namespace nlfit {

namespace {

// The workspace of one run, carved out of a single zero-filled block: the
// column pointers, the n Jacobian columns of m doubles one after another in
// column order, the vectors of doubles, then the pivots. One allocation
// instead of n + 8 keeps the cost of a small fit's set-up down, and the
// columns sit next to each other in memory.
struct Workspace {
  void* block = nullptr;
  int* pivots = nullptr;
  double* scaleFactors = nullptr;
  double* qtResidual = nullptr;
  double* work1 = nullptr;
  double* work2 = nullptr;
  double* work3 = nullptr;
  double* work4 = nullptr;
  double** columns = nullptr;
};

// False when the block could not be obtained.
bool acquire(Workspace& w, int m, int n) {
  const std::size_t sm = static_cast<std::size_t>(m);
  const std::size_t sn = static_cast<std::size_t>(n);
  // Refuse sizes whose byte count would not fit in a size_t.
  constexpr std::size_t kMaxDoubles = SIZE_MAX / (2 * sizeof(double));
  if (sm + 5 > kMaxDoubles / (sn + 1)) return false;
  const std::size_t doubles = sn * sm + 5 * sn + sm;
  const std::size_t bytes =
      sn * sizeof(double*) + doubles * sizeof(double) + sn * sizeof(int);
  w.block = zeroFilledAlloc(bytes, 1);
  if (w.block == nullptr) return false;

  char* next = static_cast<char*>(w.block);
  w.columns = reinterpret_cast<double**>(next);
  double* d = reinterpret_cast<double*>(next + sn * sizeof(double*));
  for (std::size_t j = 0; j < sn; ++j, d += sm) w.columns[j] = d;
  w.scaleFactors = d;
  w.qtResidual = d + sn;
  w.work1 = d + 2 * sn;
  w.work2 = d + 3 * sn;
  w.work3 = d + 4 * sn;
  w.work4 = d + 5 * sn;
  w.pivots = reinterpret_cast<int*>(w.work4 + sm);
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

  std::free(w.block);
  return 0;
}

}  // namespace nlfit
