// The Levenberg-Marquardt parameter for a given trust-region radius.
//
// r holds R (upper triangle of the leading n-by-n block, from the pivoted QR
// factorisation); its strict lower triangle is scratch for the damped
// triangle S. The scratch vectors are described with LmParameterScratch.
#include <cmath>

#include "solver.h"

namespace nlfit {

namespace {

constexpr double kRelativeLengthTol = 0.1;  // accept |D*x| within 10 % of the bound
constexpr double kUpperBoundFraction = 0.001;
constexpr int kMaxDampedSolves = 10;

// direction[j] = (D[l] * scaledStep[l]) / scaledStepNorm with l = pivots[j]:
// the normalised scaled step D^2*x/|D*x| in pivoted order.
void pivotedScaledDirection(int n, const int* pivots, const double* scaleFactors,
                            const double* scaledStep, double scaledStepNorm,
                            double* direction) {
  for (int j = 0; j < n; ++j) {
    const int l = pivots[j];
    direction[j] = (scaleFactors[l] * scaledStep[l]) / scaledStepNorm;
  }
}

// scaledStep = D*step; returns |D*step|.
double scaledNorm(int n, const double* scaleFactors, const double* step,
                  double* scaledStep) {
  for (int j = 0; j < n; ++j) scaledStep[j] = scaleFactors[j] * step[j];
  return euclidNorm(n, scaledStep);
}

}  // namespace

void lmParameter(int n, const TrustRegionSystem& system, double stepBound, double* lmPar,
                 double* step, const LmParameterScratch& scratch) {
  const ColumnMatrix r = system.r;
  const int* const pivots = system.pivots;
  const double* const scaleFactors = system.scaleFactors;
  const double* const qtResidual = system.qtResidual;
  double* const sDiagonal = scratch.sDiagonal;
  double* const pivotedVector = scratch.pivotedVector;
  double* const scaledStep = scratch.scaledStep;
  // Gauss-Newton solution of R*z = qtResidual; from the first zero on R's
  // diagonal on, z is set to zero (a least-squares solution when R is
  // singular).
  int usableRank = n;
  for (int j = 0; j < n; ++j) {
    pivotedVector[j] = qtResidual[j];
    if (r[j][j] == 0.0 && usableRank == n) usableRank = j;
    if (usableRank < n) pivotedVector[j] = 0.0;
  }
  for (int j = usableRank - 1; j >= 0; --j) {
    const double* colJ = r[j];
    pivotedVector[j] = pivotedVector[j] / colJ[j];
    const double zj = pivotedVector[j];
    for (int i = 0; i < j; ++i) pivotedVector[i] = pivotedVector[i] - colJ[i] * zj;
  }
  for (int j = 0; j < n; ++j) step[pivots[j]] = pivotedVector[j];

  // Accept the Gauss-Newton step when it is not too long.
  double scaledStepNorm = scaledNorm(n, scaleFactors, step, scaledStep);
  double stepExcess = scaledStepNorm - stepBound;
  if (stepExcess <= kRelativeLengthTol * stepBound) {
    *lmPar = 0.0;
    return;
  }

  // Lower bound from the Newton step at lmPar = 0, available only when R has
  // full rank: solve R^T*y = P^T*D^2*x/|D*x|.
  double lowerBound = 0.0;
  if (usableRank == n) {
    pivotedScaledDirection(n, pivots, scaleFactors, scaledStep, scaledStepNorm, pivotedVector);
    for (int j = 0; j < n; ++j) {
      const double* colJ = r[j];
      double sum = 0.0;
      for (int i = 0; i < j; ++i) sum = sum + colJ[i] * pivotedVector[i];
      pivotedVector[j] = (pivotedVector[j] - sum) / colJ[j];
    }
    const double t = euclidNorm(n, pivotedVector);
    lowerBound = ((stepExcess / stepBound) / t) / t;
  }

  // Upper bound from the scaled gradient D^-1 * P * R^T * qtResidual.
  for (int j = 0; j < n; ++j) {
    const double* colJ = r[j];
    double sum = 0.0;
    for (int i = 0; i <= j; ++i) sum = sum + colJ[i] * qtResidual[i];
    pivotedVector[j] = sum / scaleFactors[pivots[j]];
  }
  const double gradientNorm = euclidNorm(n, pivotedVector);
  double upperBound = gradientNorm / stepBound;
  if (upperBound == 0.0) upperBound = kSmallestNormal / minOf(stepBound, 0.1);

  // Start from the caller's value, clamped into the bracket.
  *lmPar = maxOf(*lmPar, lowerBound);
  *lmPar = minOf(*lmPar, upperBound);
  if (*lmPar == 0.0) *lmPar = gradientNorm / scaledStepNorm;

  // Safeguarded Newton iteration on lmPar.
  for (int solveCount = 1;; ++solveCount) {
    if (*lmPar == 0.0) *lmPar = maxOf(kSmallestNormal, kUpperBoundFraction * upperBound);

    const double rootPar = std::sqrt(*lmPar);
    for (int j = 0; j < n; ++j) scratch.dampingDiagonal[j] = rootPar * scaleFactors[j];
    qrDampedSolve(n, r, pivots, scratch.dampingDiagonal, qtResidual, step, sDiagonal,
                  scratch.pivotedSolution);

    scaledStepNorm = scaledNorm(n, scaleFactors, step, scaledStep);
    const double previousExcess = stepExcess;
    stepExcess = scaledStepNorm - stepBound;

    if (std::fabs(stepExcess) <= kRelativeLengthTol * stepBound ||
        (lowerBound == 0.0 && stepExcess <= previousExcess && previousExcess > 0.0) ||
        solveCount == kMaxDampedSolves) {
      return;
    }

    // Newton correction from S^T*y = P^T*D^2*x/|D*x|; S's strict upper part
    // sits transposed below R's diagonal.
    pivotedScaledDirection(n, pivots, scaleFactors, scaledStep, scaledStepNorm, pivotedVector);
    for (int j = 0; j < n; ++j) {
      const double* colJ = r[j];
      pivotedVector[j] = pivotedVector[j] / sDiagonal[j];
      const double yj = pivotedVector[j];
      for (int i = j + 1; i < n; ++i) pivotedVector[i] = pivotedVector[i] - colJ[i] * yj;
    }
    const double t = euclidNorm(n, pivotedVector);
    const double newtonCorrection = ((stepExcess / stepBound) / t) / t;

    // Tighten the bracket with the lmPar of this pass, then step.
    if (stepExcess > 0.0) lowerBound = maxOf(lowerBound, *lmPar);
    if (stepExcess < 0.0) upperBound = minOf(upperBound, *lmPar);
    *lmPar = maxOf(lowerBound, *lmPar + newtonCorrection);
  }
}

}  // namespace nlfit
