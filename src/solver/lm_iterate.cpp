// The Levenberg-Marquardt trust-region iteration.
//
// Roles of the caller's work vectors:
//   work1 (n)  rDiagonal of the factorisation; then the step from lmParameter,
//              negated in place into the trial step p
//   work2 (n)  columnNorms of the factorisation; then lmParameter's sDiagonal;
//              then the trial point x + p; after an accepted step, D*x
//   work3 (n)  scratch of the factorisation; D*x in the first outer iteration;
//              scratch of lmParameter; D*p; then R*(P^T*p) for the predicted
//              reduction
//   work4 (m)  scratch of the Jacobian; the copy of fvec that becomes
//              Q^T*fvec; scratch of lmParameter; residuals at the trial point
#include <cmath>
#include <cstdio>
#include <cstring>

#include "solver.h"

namespace nlfit {

namespace {

constexpr double kAcceptRatio = 1e-4;
constexpr double kPoorRatio = 0.25;
constexpr double kGoodRatio = 0.75;
constexpr int kCallerScaling = 2;

}  // namespace

void lmIterate(ResidualFunction fcn, int m, int n, double* x,
               const int* freeMask, double* fvec, double reductionTol,
               double stepTol, double gradientTol, int maxEvaluations,
               double diffStepRel, double* scaleFactors, int scaleMode,
               double stepFactor, int* terminationCode, int* evalCount,
               ColumnMatrix jacobian, int* pivots, double* qtResidual,
               double* work1, double* work2, double* work3, double* work4) {
  *terminationCode = kRefusedInput;
  *evalCount = 0;
  if (n <= 0 || m < n || maxEvaluations <= 0 || !(stepFactor > 0.0)) return;
  if (scaleMode == kCallerScaling) {
    for (int j = 0; j < n; ++j) {
      if (!(scaleFactors[j] > 0.0)) return;
    }
  }

  int evalFlag = 1;
  fcn(m, n, x, fvec, &evalFlag);
  *evalCount = 1;
  if (evalFlag < 0) {
    *terminationCode = evalFlag;
    return;
  }
  double fnorm = euclidNorm(m, fvec);
  double lmPar = 0.0;
  int iterationCount = 1;
  double stepBound = 0.0;
  double scaledXNorm = 0.0;

  double* const rDiagonal = work1;
  double* const columnNorms = work2;

  for (;;) {
    // Jacobian at the current point, against the residuals in fvec.
    evalFlag = 2;
    forwardJacobian(fcn, m, n, x, fvec, jacobian, &evalFlag, diffStepRel, work4);
    *evalCount += n;
    if (evalFlag < 0) {
      *terminationCode = evalFlag;
      return;
    }

    // Progress: re-evaluate at x (not counted, flag not examined) and report.
    fcn(m, n, x, fvec, &evalFlag);
    char line[kProgressLineCapacity];
    const int lineLength = formatProgressLine(euclidNorm(m, fvec), line);
    std::fwrite(line, 1, static_cast<std::size_t>(lineLength), stdout);

    // Factorise, and form Q^T*fvec in work4 on the way: each reflection is
    // applied to a copy of fvec as soon as it is final, with the arithmetic
    // of applying them in turn afterwards.
    std::memcpy(work4, fvec, static_cast<std::size_t>(m) * sizeof(double));
    qrPivotFactorApply(m, n, jacobian, 1, pivots, rDiagonal, columnNorms, work3, work4);

    if (iterationCount == 1) {
      // Scale by the Jacobian's column norms (1 for a zero column), and size
      // the first trust region from the scaled starting point.
      if (scaleMode != kCallerScaling) {
        for (int j = 0; j < n; ++j) {
          scaleFactors[j] = (columnNorms[j] == 0.0) ? 1.0 : columnNorms[j];
        }
      }
      for (int j = 0; j < n; ++j) work3[j] = scaleFactors[j] * x[j];
      scaledXNorm = euclidNorm(n, work3);
      stepBound = stepFactor * scaledXNorm;
      if (stepBound == 0.0) stepBound = stepFactor;
    }

    // Complete R by storing its diagonal over the reflection vectors' leading
    // entries; keep the first n components of Q^T*fvec.
    for (int j = 0; j < n; ++j) {
      jacobian[j][j] = rDiagonal[j];
      qtResidual[j] = work4[j];
    }

    // Largest scaled cosine between the residual vector and a Jacobian column.
    double gradientMeasure = 0.0;
    if (fnorm != 0.0) {
      for (int j = 0; j < n; ++j) {
        const int l = pivots[j];
        if (columnNorms[l] != 0.0) {
          const double* colJ = jacobian[j];
          double s = 0.0;
          for (int i = 0; i <= j; ++i) s = s + (colJ[i] * qtResidual[i]) / fnorm;
          gradientMeasure = maxOf(gradientMeasure, std::fabs(s / columnNorms[l]));
        }
      }
    }
    if (gradientMeasure <= gradientTol) {
      *terminationCode = (evalFlag < 0) ? evalFlag : kGradientConverged;
      return;
    }

    // Automatic scale factors never decrease.
    if (scaleMode != kCallerScaling) {
      for (int j = 0; j < n; ++j) scaleFactors[j] = maxOf(scaleFactors[j], columnNorms[j]);
    }

    // Inner iteration on this factorisation, until a step is accepted or a
    // test ends the run.
    for (;;) {
      lmParameter(n, jacobian, pivots, scaleFactors, qtResidual, stepBound,
                  &lmPar, work1, work2, work3, work4);

      for (int j = 0; j < n; ++j) {
        work1[j] = -work1[j];
        work2[j] = x[j] + work1[j];
        work3[j] = scaleFactors[j] * work1[j];
      }
      const double scaledStepNorm = euclidNorm(n, work3);
      if (iterationCount == 1) stepBound = minOf(stepBound, scaledStepNorm);

      evalFlag = 1;
      fcn(m, n, work2, work4, &evalFlag);
      *evalCount += 1;
      if (evalFlag < 0) {
        *terminationCode = evalFlag;
        return;
      }
      const double trialNorm = euclidNorm(m, work4);

      // Relative reductions of the sum of squares: actual, and predicted by
      // the linear model.
      double actualReduction = -1.0;
      if (0.1 * trialNorm < fnorm) {
        actualReduction = 1.0 - (trialNorm * trialNorm) / (fnorm * fnorm);
      }
      for (int j = 0; j < n; ++j) {
        work3[j] = 0.0;
        const double t = work1[pivots[j]];
        const double* colJ = jacobian[j];
        for (int i = 0; i <= j; ++i) work3[i] = t * colJ[i] + work3[i];
      }
      const double t1 = euclidNorm(n, work3) / fnorm;
      const double t2 = (std::sqrt(lmPar) * scaledStepNorm) / fnorm;
      const double predictedReduction = t1 * t1 + 2.0 * (t2 * t2);
      const double directionalDerivative = -(t1 * t1 + t2 * t2);
      double reductionRatio = 0.0;
      if (predictedReduction != 0.0) reductionRatio = actualReduction / predictedReduction;

      // Update the trust region and the damping parameter.
      if (reductionRatio <= kPoorRatio) {
        const double shrink =
            (actualReduction >= 0.0)
                ? 0.5
                : (0.5 * directionalDerivative) /
                      (directionalDerivative + 0.5 * actualReduction);
        stepBound = shrink * minOf(stepBound, 10.0 * scaledStepNorm);
        lmPar = lmPar / shrink;
      } else if (lmPar == 0.0 || reductionRatio >= kGoodRatio) {
        stepBound = 2.0 * scaledStepNorm;
        lmPar = 0.5 * lmPar;
      }

      const bool accepted = reductionRatio >= kAcceptRatio;
      if (accepted) {
        for (int j = 0; j < n; ++j) {
          if (freeMask[j] != 0) x[j] = work2[j];
          work2[j] = scaleFactors[j] * x[j];
        }
        std::memcpy(fvec, work4, static_cast<std::size_t>(m) * sizeof(double));
        scaledXNorm = euclidNorm(n, work2);
        fnorm = trialNorm;
        ++iterationCount;
      }

      // Termination tests, in order; a later one that holds overrides.
      int code = 0;
      const bool reductionSmall = std::fabs(actualReduction) <= reductionTol &&
                                  predictedReduction <= reductionTol &&
                                  0.5 * reductionRatio <= 1.0;
      if (reductionSmall) code = kReductionConverged;
      if (stepBound <= stepTol * scaledXNorm) code = kStepConverged;
      if (reductionSmall && code == kStepConverged) code = kReductionAndStepConverged;
      if (*evalCount >= maxEvaluations) code = kEvaluationLimit;
      if (std::fabs(actualReduction) <= kMachineEpsilon &&
          predictedReduction <= kMachineEpsilon && 0.5 * reductionRatio <= 1.0) {
        code = kReductionAtPrecision;
      }
      if (stepBound <= kMachineEpsilon * scaledXNorm) code = kStepAtPrecision;
      if (gradientMeasure <= kMachineEpsilon) code = kGradientAtPrecision;
      if (code != 0) {
        *terminationCode = code;
        return;
      }
      if (accepted) break;
    }
  }
}

}  // namespace nlfit
