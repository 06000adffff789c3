// The Levenberg-Marquardt trust-region iteration.
#include <cmath>
#include <cstring>

#include "solver.h"

namespace nlfit {

namespace {

// A trial step is accepted when it achieves this fraction of the reduction
// the linear model predicts.
constexpr double kAcceptRatio = 1e-4;
// Below this ratio the trust region shrinks; at or above kGoodRatio (or with
// no damping) it grows to twice the step.
constexpr double kPoorRatio = 0.25;
constexpr double kGoodRatio = 0.75;
// The shrink factor when the sum of squares did not increase.
constexpr double kHalving = 0.5;
// A step more than this many times as long as its predecessor's scaled
// length never sets the new trust region above it.
constexpr double kShrinkCap = 10.0;
// The actual reduction counts as -1 (a failure) unless kGrowthGuard times
// the trial norm is below fnorm, which keeps its square from overflowing.
constexpr double kGrowthGuard = 0.1;

bool anyNonPositive(int n, const double* v) {
  for (int j = 0; j < n; ++j) {
    if (!(v[j] > 0.0)) return true;
  }
  return false;
}

// Largest scaled cosine between the residual vector and a column of the
// Jacobian, from the factorisation: |(R*P^T)^T*Q^T*fvec| column by column,
// over |fvec| and the column's norm. Zero when fnorm is zero.
double gradientMeasure(int n, ColumnMatrix r, const int* pivots, const double* columnNorms,
                       const double* qtResidual, double fnorm) {
  double measure = 0.0;
  if (fnorm == 0.0) return measure;
  for (int j = 0; j < n; ++j) {
    const int l = pivots[j];
    if (columnNorms[l] != 0.0) {
      const double* colJ = r[j];
      double s = 0.0;
      for (int i = 0; i <= j; ++i) s = s + (colJ[i] * qtResidual[i]) / fnorm;
      measure = maxOf(measure, std::fabs(s / columnNorms[l]));
    }
  }
  return measure;
}

// out = R*(P^T*p), the first n components of the linear model's change.
void triangularTimesPivoted(int n, ColumnMatrix r, const int* pivots, const double* p,
                            double* out) {
  for (int j = 0; j < n; ++j) {
    out[j] = 0.0;
    const double t = p[pivots[j]];
    const double* colJ = r[j];
    for (int i = 0; i <= j; ++i) out[i] = t * colJ[i] + out[i];
  }
}

}  // namespace

void lmIterate(const ResidualProblem& problem, double* x, const int* freeMask, double* fvec,
               const SolverOptions& options, const ProgressSink& progress,
               const SolverWorkspace& work, SolverOutcome* outcome) {
  SolverOutcome& out = *outcome;
  out = SolverOutcome{};
  const int m = problem.m;
  const int n = problem.n;
  if (n <= 0 || m < n || options.maxEvaluations <= 0 ||
      !(options.stepFactor > 0.0)) {
    return;
  }
  if (options.callerScaling && anyNonPositive(n, work.scaleFactors)) return;

  ColumnMatrix jacobian = work.jacobian;
  int* const pivots = work.qr.pivots;
  double* const scaleFactors = work.scaleFactors;
  double* const qtResidual = work.qtResidual;
  double* const columnNorms = work.qr.columnNorms;
  const TrustRegionSystem system{jacobian, pivots, scaleFactors, qtResidual};

  int evalFlag = 1;
  evaluateResiduals(problem, x, fvec, &evalFlag);
  out.evalCount = 1;
  if (evalFlag < 0) {
    out.terminationCode = evalFlag;
    out.fnorm = euclidNorm(m, fvec);
    return;
  }
  double fnorm = euclidNorm(m, fvec);
  out.fnorm = fnorm;
  double lmPar = 0.0;
  int iterationCount = 1;
  double stepBound = 0.0;
  double scaledXNorm = 0.0;

  for (;;) {
    // Jacobian at the current point: the caller's, or differences against
    // the residuals in fvec.
    evalFlag = 2;
    if (problem.jacobian != nullptr) {
      problem.jacobian(problem.context, m, n, x, fvec, jacobian, &evalFlag);
      out.jacobianCount += 1;
    } else {
      forwardJacobian(problem, x, fvec, jacobian, &evalFlag, options.diffStepRel,
                      options.typical, work.movedResiduals);
      out.evalCount += n;
    }
    if (evalFlag < 0) {
      out.terminationCode = evalFlag;
      return;
    }

    // Progress: the sink may rewrite fvec and evalFlag (examined only at the
    // gradient test below), then reports.
    out.iterations = iterationCount;
    double reportedNorm = fnorm;
    if (progress.beforeReport != nullptr) {
      reportedNorm = progress.beforeReport(progress.context, problem, x, fvec, &evalFlag);
    }
    if (progress.report != nullptr &&
        progress.report(progress.context, iterationCount, reportedNorm, x, n) != 0) {
      out.terminationCode = kStoppedByProgress;
      return;
    }

    // Factorise, and form Q^T*fvec on the way: each reflection is applied to
    // a copy of fvec as soon as it is final, with the arithmetic of applying
    // them in turn afterwards.
    std::memcpy(work.qtf, fvec, static_cast<std::size_t>(m) * sizeof(double));
    qrPivotFactorApply(m, n, jacobian, 1, work.qr, work.qtf);

    if (iterationCount == 1) {
      // Scale by the Jacobian's column norms (1 for a zero column), and size
      // the first trust region from the scaled starting point.
      if (!options.callerScaling) {
        for (int j = 0; j < n; ++j) {
          scaleFactors[j] = (columnNorms[j] == 0.0) ? 1.0 : columnNorms[j];
        }
      }
      for (int j = 0; j < n; ++j) work.scaled[j] = scaleFactors[j] * x[j];
      scaledXNorm = euclidNorm(n, work.scaled);
      stepBound = options.stepFactor * scaledXNorm;
      if (stepBound == 0.0) stepBound = options.stepFactor;
    }

    // Complete R by storing its diagonal over the reflection vectors' leading
    // entries; keep the first n components of Q^T*fvec.
    for (int j = 0; j < n; ++j) {
      jacobian[j][j] = work.qr.rDiagonal[j];
      qtResidual[j] = work.qtf[j];
    }

    const double gradient =
        gradientMeasure(n, jacobian, pivots, columnNorms, qtResidual, fnorm);
    if (gradient <= options.gradientTol) {
      out.terminationCode = (evalFlag < 0) ? evalFlag : kGradientConverged;
      return;
    }

    // Automatic scale factors never decrease.
    if (!options.callerScaling) {
      for (int j = 0; j < n; ++j) scaleFactors[j] = maxOf(scaleFactors[j], columnNorms[j]);
    }

    // Inner iteration on this factorisation, until a step is accepted or a
    // test ends the run.
    for (;;) {
      lmParameter(n, system, stepBound, &lmPar, work.step, work.parameterScratch);

      double* const p = work.step;
      for (int j = 0; j < n; ++j) {
        p[j] = -p[j];
        work.trialPoint[j] = x[j] + p[j];
        work.scaled[j] = scaleFactors[j] * p[j];
      }
      const double scaledStepNorm = euclidNorm(n, work.scaled);
      if (iterationCount == 1) stepBound = minOf(stepBound, scaledStepNorm);

      evalFlag = 1;
      evaluateResiduals(problem, work.trialPoint, work.trialResiduals, &evalFlag);
      out.evalCount += 1;
      if (evalFlag < 0) {
        out.terminationCode = evalFlag;
        return;
      }
      const double trialNorm = euclidNorm(m, work.trialResiduals);

      // Relative reductions of the sum of squares: actual, and predicted by
      // the linear model.
      double actualReduction = -1.0;
      if (kGrowthGuard * trialNorm < fnorm) {
        actualReduction = 1.0 - (trialNorm * trialNorm) / (fnorm * fnorm);
      }
      triangularTimesPivoted(n, jacobian, pivots, p, work.modelChange);
      // The linear model's term and the damping term, each relative to fnorm.
      const double modelTerm = euclidNorm(n, work.modelChange) / fnorm;
      const double dampingTerm = (std::sqrt(lmPar) * scaledStepNorm) / fnorm;
      const double predictedReduction = modelTerm * modelTerm + 2.0 * (dampingTerm * dampingTerm);
      const double directionalDerivative = -(modelTerm * modelTerm + dampingTerm * dampingTerm);
      double reductionRatio = 0.0;
      if (predictedReduction != 0.0) reductionRatio = actualReduction / predictedReduction;

      // Update the trust region and the damping parameter.
      if (reductionRatio <= kPoorRatio) {
        const double shrink =
            (actualReduction >= 0.0)
                ? kHalving
                : (0.5 * directionalDerivative) /
                      (directionalDerivative + 0.5 * actualReduction);
        stepBound = shrink * minOf(stepBound, kShrinkCap * scaledStepNorm);
        lmPar = lmPar / shrink;
      } else if (lmPar == 0.0 || reductionRatio >= kGoodRatio) {
        stepBound = 2.0 * scaledStepNorm;
        lmPar = 0.5 * lmPar;
      }

      const bool accepted = reductionRatio >= kAcceptRatio;
      if (accepted) {
        for (int j = 0; j < n; ++j) {
          if (freeMask == nullptr || freeMask[j] != 0) x[j] = work.trialPoint[j];
          work.scaled[j] = scaleFactors[j] * x[j];
        }
        std::memcpy(fvec, work.trialResiduals, static_cast<std::size_t>(m) * sizeof(double));
        scaledXNorm = euclidNorm(n, work.scaled);
        fnorm = trialNorm;
        out.fnorm = fnorm;
        ++iterationCount;
      }

      // Termination tests, in order; a later one that holds overrides.
      int code = 0;
      const bool reductionSmall = std::fabs(actualReduction) <= options.reductionTol &&
                                  predictedReduction <= options.reductionTol &&
                                  0.5 * reductionRatio <= 1.0;
      if (reductionSmall) code = kReductionConverged;
      if (stepBound <= options.stepTol * scaledXNorm) code = kStepConverged;
      if (reductionSmall && code == kStepConverged) code = kReductionAndStepConverged;
      if (out.evalCount >= options.maxEvaluations) code = kEvaluationLimit;
      if (std::fabs(actualReduction) <= kMachineEpsilon &&
          predictedReduction <= kMachineEpsilon && 0.5 * reductionRatio <= 1.0) {
        code = kReductionAtPrecision;
      }
      if (stepBound <= kMachineEpsilon * scaledXNorm) code = kStepAtPrecision;
      if (gradient <= kMachineEpsilon) code = kGradientAtPrecision;
      if (code != 0) {
        out.terminationCode = code;
        return;
      }
      if (accepted) break;
    }
  }
}

}  // namespace nlfit
