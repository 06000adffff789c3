// The solver's entry: checks, workspace, settings.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "solver.h"

namespace nlfit {

namespace {

constexpr std::size_t kVectorsOfN = 11;
constexpr std::size_t kVectorsOfM = 4;

// Writes the plug-in's progress line to standard output.
int printProgressLine(void* /*context*/, int /*iteration*/, double fnorm, const double* /*x*/,
                      int /*n*/) {
  char line[kProgressLineCapacity];
  const int lineLength = formatProgressLine(fnorm, line);
  std::fwrite(line, 1, static_cast<std::size_t>(lineLength), stdout);
  return 0;
}

}  // namespace

// The workspace of one run, carved out of a single zero-filled block: the
// column pointers, the n Jacobian columns of m doubles one after another in
// column order, the vectors of n doubles, those of m doubles, then the
// pivots. One allocation instead of many keeps the cost of a small fit's
// set-up down, and the columns sit next to each other in memory.
SolverMemory::SolverMemory(int m, int n, ZeroedAllocator allocate) {
  if (m < 0 || n < 0) return;
  const std::size_t sm = static_cast<std::size_t>(m);
  const std::size_t sn = static_cast<std::size_t>(n);
  // Refuse sizes whose byte count would not fit in a size_t.
  constexpr std::size_t kMaxDoubles = SIZE_MAX / (2 * sizeof(double));
  if (sm + kVectorsOfN > kMaxDoubles / (sn + kVectorsOfM)) return;
  const std::size_t doubles = sn * sm + kVectorsOfN * sn + kVectorsOfM * sm;
  const std::size_t bytes = sn * sizeof(double*) + doubles * sizeof(double) + sn * sizeof(int);
  block_ = allocate(bytes, 1);
  if (block_ == nullptr) return;

  char* next = static_cast<char*>(block_);
  double** columns = reinterpret_cast<double**>(next);
  double* d = reinterpret_cast<double*>(next + sn * sizeof(double*));
  for (std::size_t j = 0; j < sn; ++j, d += sm) columns[j] = d;
  work_.jacobian = columns;
  double** const vectorsOfN[kVectorsOfN] = {
      &work_.scaleFactors, &work_.qtResidual, &work_.rDiagonal,  &work_.columnNorms,
      &work_.referenceNorms, &work_.step,     &work_.trialPoint, &work_.sDiagonal,
      &work_.scaled,       &work_.parameterWork, &work_.parameterWork2};
  for (double** v : vectorsOfN) {
    *v = d;
    d += sn;
  }
  double** const vectorsOfM[kVectorsOfM] = {&work_.jacobianWork, &work_.qtf,
                                            &work_.trialResiduals, &fvec_};
  for (double** v : vectorsOfM) {
    *v = d;
    d += sm;
  }
  work_.pivots = reinterpret_cast<int*>(d);
}

SolverMemory::~SolverMemory() { std::free(block_); }

SolveResult solveLeastSquares(ResidualFunction fcn, void* context, int m, int n, double* x,
                              const int* freeMask, double* fvec, const SolverOptions& options,
                              const ProgressSink& progress, SolverOutcome* outcome) {
  *outcome = SolverOutcome{};
  // -0.0 passes (it is not negative); NaN does not.
  if (n <= 0 || m < n || !(options.reductionTol >= 0.0) || !(options.stepTol >= 0.0)) {
    return kSolveRefused;
  }
  SolverMemory memory(m, n, zeroFilledAlloc);
  if (!memory.ok()) return kSolveOutOfMemory;
  lmIterate(fcn, context, m, n, x, freeMask, fvec, options, progress, memory.workspace(),
            outcome);
  return kSolveRan;
}

int solveLeastSquares(ResidualFunction fcn, void* context, int m, int n, double* x,
                      const int* freeMask, double* fvec, double tolerance,
                      int* terminationCode, int* evalCount) {
  SolverOptions options;
  options.reductionTol = tolerance;
  options.stepTol = tolerance;
  options.gradientTol = 0.0;
  options.maxEvaluations = kMaxEvaluations;
  options.diffStepRel = 0.0;  // the difference step rests on machine precision
  options.stepFactor = kStepFactor;
  options.progressEvaluation = true;
  ProgressSink sink;
  sink.report = printProgressLine;
  SolverOutcome outcome;
  const SolveResult result =
      solveLeastSquares(fcn, context, m, n, x, freeMask, fvec, options, sink, &outcome);
  *terminationCode = outcome.terminationCode;
  if (result != kSolveRan) return 1;  // the count is left as it was
  *evalCount = outcome.evalCount;
  if (*terminationCode == kGradientAtPrecision) *terminationCode = kGradientConverged;
  return 0;
}

}  // namespace nlfit
