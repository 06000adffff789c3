// The solver's entry: checks and workspace.
#include <cstdint>
#include <cstdlib>

#include "solver.h"

namespace nlfit {

namespace {

constexpr std::size_t kVectorsOfN = 14;
constexpr std::size_t kVectorsOfM = 4;

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
  LmParameterScratch& scratch = work_.parameterScratch;
  double** const vectorsOfN[kVectorsOfN] = {
      &work_.scaleFactors,   &work_.qtResidual,       &work_.qr.rDiagonal,
      &work_.qr.columnNorms, &work_.qr.referenceNorms, &work_.step,
      &work_.trialPoint,     &scratch.sDiagonal,       &work_.scaled,
      &scratch.pivotedVector, &scratch.dampingDiagonal, &scratch.scaledStep,
      &scratch.pivotedSolution, &work_.modelChange};
  for (double** v : vectorsOfN) {
    *v = d;
    d += sn;
  }
  double** const vectorsOfM[kVectorsOfM] = {&work_.movedResiduals, &work_.qtf,
                                            &work_.trialResiduals, &fvec_};
  for (double** v : vectorsOfM) {
    *v = d;
    d += sm;
  }
  work_.qr.pivots = reinterpret_cast<int*>(d);
}

SolverMemory::~SolverMemory() { std::free(block_); }

SolveResult solveLeastSquares(const ResidualProblem& problem, double* x, const int* freeMask,
                              double* fvec, const SolverOptions& options,
                              const ProgressSink& progress, ZeroedAllocator allocate,
                              SolverOutcome* outcome) {
  *outcome = SolverOutcome{};
  // -0.0 passes (it is not negative); NaN does not.
  if (problem.n <= 0 || problem.m < problem.n || !(options.reductionTol >= 0.0) ||
      !(options.stepTol >= 0.0)) {
    return kSolveRefused;
  }
  SolverMemory memory(problem.m, problem.n, allocate);
  if (!memory.ok()) return kSolveOutOfMemory;
  lmIterate(problem, x, freeMask, fvec, options, progress, memory.workspace(), outcome);
  return kSolveRan;
}

}  // namespace nlfit
