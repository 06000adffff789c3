// The plug-in's solver run: fixed settings, and the progress line with the
// evaluation made for it.
#include <cstdio>
#include <cstdlib>

#include "fit.h"

namespace nlfit {

namespace {

// Evaluates the residuals at x once more into fvec, with the flag as the
// Jacobian left it, and gives their norm to the progress line.
double evaluateForProgressLine(void* /*context*/, const ResidualProblem& problem, const double* x,
                               double* fvec, int* evalFlag) {
  evaluateResiduals(problem, x, fvec, evalFlag);
  return euclidNorm(problem.m, fvec);
}

// Writes the progress line to standard output.
int printProgressLine(void* /*context*/, int /*iteration*/, double fnorm, const double* /*x*/,
                      int /*n*/) {
  char line[kProgressLineCapacity];
  const int lineLength = formatProgressLine(fnorm, line);
  std::fwrite(line, 1, static_cast<std::size_t>(lineLength), stdout);
  return 0;
}

}  // namespace

ProgressSink progressLineSink() {
  ProgressSink sink;
  sink.beforeReport = evaluateForProgressLine;
  sink.report = printProgressLine;
  return sink;
}

void* zeroFilledAlloc(std::size_t count, std::size_t size) {
  // Ask for at least one byte so that a successful call never returns null.
  return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

int solveWithFixedSettings(const ResidualProblem& problem, double* x, const int* freeMask,
                           double* fvec, double tolerance, ZeroedAllocator allocate,
                           int* terminationCode, int* evalCount) {
  SolverOptions options;
  options.reductionTol = tolerance;
  options.stepTol = tolerance;
  options.gradientTol = 0.0;
  options.maxEvaluations = kMaxEvaluations;
  options.diffStepRel = 0.0;  // the difference step rests on machine precision
  options.stepFactor = kStepFactor;
  SolverOutcome outcome;
  const SolveResult result = solveLeastSquares(problem, x, freeMask, fvec, options,
                                               progressLineSink(), allocate, &outcome);
  *terminationCode = outcome.terminationCode;
  if (result != kSolveRan) return 1;  // the count is left as it was
  *evalCount = outcome.evalCount;
  if (*terminationCode == kGradientAtPrecision) *terminationCode = kGradientConverged;
  return 0;
}

}  // namespace nlfit
