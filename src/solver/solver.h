// Private interface of the least-squares solver: shared types, constants and
// the routines of the Levenberg-Marquardt method. Nothing here is exported.
//
// Conventions: sizes come first (m residuals, n parameters), then the arrays,
// then the caller's scratch vectors. No routine below solveLeastSquares
// allocates memory. Every sum is a single double accumulator taken in
// increasing index order.
#ifndef NLFIT_SOLVER_H
#define NLFIT_SOLVER_H

#include <cfenv>
#include <cstddef>

namespace nlfit {

// Writes the m residuals at the n parameters x into fvec. context is the
// caller's, passed through unchanged. evalFlag is 1 for a starting or trial
// evaluation and 2 during a Jacobian; storing a negative value there asks the
// solver to stop.
using ResidualFunction = void (*)(void* context, int m, int n, const double* x,
                                  double* fvec, int* evalFlag);

// An m-by-n matrix held as n pointers, each to one column of m doubles:
// A(i, j) is matrix[j][i]. Column exchanges move the contents of columns; the
// pointer array itself is never reordered.
using ColumnMatrix = double* const*;

// 2^-52, the spacing of doubles at 1.
constexpr double kMachineEpsilon = 2.220446049250313e-16;
// Smallest positive normal double.
constexpr double kSmallestNormal = 2.2250738585072014e-308;
// Fixed settings of solveLeastSquares.
constexpr int kMaxEvaluations = 800;
constexpr double kStepFactor = 10.0;

// Termination codes of lmIterate; a negative code is the value that the
// residual function stored in evalFlag.
enum TerminationCode : int {
  kRefusedInput = 0,
  kReductionConverged = 1,       // relative reduction within reductionTol
  kStepConverged = 2,            // step bound within stepTol
  kReductionAndStepConverged = 3,
  kGradientConverged = 4,        // gradient measure within gradientTol
  kEvaluationLimit = 5,          // maxEvaluations reached
  kReductionAtPrecision = 6,     // code 1 at machine precision
  kStepAtPrecision = 7,          // code 2 at machine precision
  kGradientAtPrecision = 8,      // code 4 at machine precision
  kStoppedByProgress = 9,        // the progress sink asked to stop
};

// max and min of two values; with a NaN operand they return the first.
inline double maxOf(double a, double b) { return (a < b) ? b : a; }
inline double minOf(double a, double b) { return (b < a) ? b : a; }

// sqrt(x[0]^2 + ... + x[n-1]^2), unscaled. Returns 0 for n < 1.
double euclidNorm(int n, const double* x);

// sqrt(sum of A(i, column)^2 for i = firstRow ... m-1), unscaled. Returns 0
// when the range of rows is empty.
double columnTailNorm(int m, int column, int firstRow, ColumnMatrix matrix);

// Forward-difference Jacobian of fcn at x, whose residuals are fvec. Column j
// moves x[j] by h = relativeStep*|x[j]| (relativeStep when x[j] is 0), with
// relativeStep = sqrt(max(diffStepRel, eps)); with typical magnitudes t (not
// null), h = relativeStep*max(|x[j]|, t[j]) instead, relativeStep when both
// are 0. work (m doubles) receives the moved residuals. Returns early when fcn
// stores a negative evalFlag, with x[j] restored.
void forwardJacobian(ResidualFunction fcn, void* context, int m, int n, double* x,
                     const double* fvec, ColumnMatrix jacobian, int* evalFlag,
                     double diffStepRel, const double* typical, double* work);

// Householder QR of the m-by-n matrix (n <= m) in place, with column pivoting
// when usePivoting is nonzero: A*P = Q*R. On return the strict upper triangle
// holds R, rows j..m-1 of column j hold reflection vector v_j (v_j(j) in
// [1, 2], or 0 where the column tail was zero), rDiagonal holds R's diagonal,
// columnNorms the norms of the input columns and pivots[j] the input column
// placed at j. referenceNorms is scratch.
void qrPivotFactor(int m, int n, ColumnMatrix matrix, int usePivoting,
                   int* pivots, double* rDiagonal, double* columnNorms,
                   double* referenceNorms);

// qrPivotFactor that also applies every reflection to rhs (m doubles, when
// not null) as soon as it is final: on return rhs holds Q^T*rhs, reflection j
// applied as rhs + t*v_j with t = -(v_j^T*rhs / v_j(j)), and skipped where
// v_j(j) is zero, the same arithmetic as applying them one after another to
// the finished factorisation.
void qrPivotFactorApply(int m, int n, ColumnMatrix matrix, int usePivoting,
                        int* pivots, double* rDiagonal, double* columnNorms,
                        double* referenceNorms, double* rhs);

// Solves min |A*x - b|^2 + |D*x|^2 given A*P = Q*R (R in the upper triangle of
// r), D = diag(dampingDiagonal) and qtResidual = first n entries of Q^T*b. The
// damped triangle S (S^T*S = R^T*R + P^T*D^2*P) comes back with its diagonal
// in sDiagonal and its strict upper part transposed into r's strict lower
// triangle; R is left unchanged. work receives z = P^T*x.
void qrDampedSolve(int n, ColumnMatrix r, const int* pivots,
                   const double* dampingDiagonal, const double* qtResidual,
                   double* x, double* sDiagonal, double* work);

// Finds lmPar >= 0 and the step x minimising |R*z - qtResidual|^2 +
// lmPar*|D*x|^2 (z = P^T*x) whose scaled length |D*x| is within 0.1*stepBound
// of stepBound, or lmPar = 0 when the Gauss-Newton step is short enough. At
// most ten damped solves.
void lmParameter(int n, ColumnMatrix r, const int* pivots,
                 const double* scaleFactors, const double* qtResidual,
                 double stepBound, double* lmPar, double* step,
                 double* sDiagonal, double* work3, double* work4);

// Settings of one run of lmIterate.
struct SolverOptions {
  double reductionTol = 0.0;   // relative reduction of the sum of squares
  double stepTol = 0.0;        // relative trust-region size
  double gradientTol = 0.0;    // largest scaled cosine of residuals and columns
  int maxEvaluations = kMaxEvaluations;
  double diffStepRel = 0.0;    // assumed relative error of the residuals
  bool callerScaling = false;  // scale factors given by the caller, else the
                               // Jacobian's column norms, never decreasing
  double stepFactor = kStepFactor;  // first trust region: factor * |D*x0|
  const double* typical = nullptr;  // typical magnitudes for the difference steps
  // Evaluate the residuals at x once more before each progress report, and
  // report their norm (not counted as an evaluation; its flag is examined
  // only at the gradient test). Otherwise the report gets the stored norm.
  bool progressEvaluation = false;
};

// Receives one report per outer iteration, after the Jacobian: the iteration
// number (from 1), the residual norm and the n current parameters. A nonzero
// return stops the run with kStoppedByProgress.
struct ProgressSink {
  int (*report)(void* context, int iteration, double fnorm, const double* x, int n) = nullptr;
  void* context = nullptr;
};

// The vectors of one run, each with a single role; all belong to the caller.
struct SolverWorkspace {
  ColumnMatrix jacobian = nullptr;  // m x n; R in its upper triangle after each factorisation
  int* pivots = nullptr;            // n: input column placed at position j
  double* scaleFactors = nullptr;   // n: diagonal D of the scaled norms
  double* qtResidual = nullptr;     // n: first n entries of Q^T*fvec
  double* rDiagonal = nullptr;      // n: R's diagonal from the factorisation
  double* columnNorms = nullptr;    // n: the Jacobian's column norms
  double* referenceNorms = nullptr; // n: scratch of the factorisation
  double* step = nullptr;           // n: step from lmParameter, negated into the trial step p
  double* trialPoint = nullptr;     // n: x + p
  double* sDiagonal = nullptr;      // n: diagonal of the damped triangle
  double* scaled = nullptr;         // n: D*x, D*p, then R*(P^T*p)
  double* parameterWork = nullptr;  // n: scratch of lmParameter
  double* parameterWork2 = nullptr; // n: scratch of lmParameter
  double* jacobianWork = nullptr;   // m: moved residuals of the Jacobian
  double* qtf = nullptr;            // m: copy of fvec that becomes Q^T*fvec
  double* trialResiduals = nullptr; // m: residuals at the trial point
};

// What a run of lmIterate ended with.
struct SolverOutcome {
  int terminationCode = kRefusedInput;  // a TerminationCode, or the negative flag of fcn
  int evalCount = 0;      // evaluations: the first, n per Jacobian, one per trial
  int iterations = 0;     // outer iterations (progress reports)
  double fnorm = 0.0;     // residual norm at x on return
};

// The Levenberg-Marquardt trust-region iteration. Minimises |fvec(x)|^2 from
// the starting point in x; on return x is the last accepted point and fvec
// its residuals, whatever ended the run. freeMask (n flags, null for all
// free): an accepted step moves only the components whose flag is nonzero.
// Refuses (code kRefusedInput, nothing evaluated) n <= 0, m < n,
// maxEvaluations <= 0, stepFactor <= 0 and caller scale factors that are not
// positive. Allocates nothing.
void lmIterate(ResidualFunction fcn, void* context, int m, int n, double* x,
               const int* freeMask, double* fvec, const SolverOptions& options,
               const ProgressSink& progress, const SolverWorkspace& work,
               SolverOutcome* outcome);

// Zero-filled allocation of count objects of size bytes; null on failure.
using ZeroedAllocator = void* (*)(std::size_t count, std::size_t size);

// Holds a zero-filled workspace for an m x n run (and a fvec of m doubles) in
// one allocation from allocate (released with std::free); empty (ok() false)
// when it cannot be had.
class SolverMemory {
 public:
  SolverMemory(int m, int n, ZeroedAllocator allocate);
  ~SolverMemory();
  SolverMemory(const SolverMemory&) = delete;
  SolverMemory& operator=(const SolverMemory&) = delete;
  bool ok() const { return block_ != nullptr; }
  const SolverWorkspace& workspace() const { return work_; }
  double* fvec() const { return fvec_; }

 private:
  void* block_ = nullptr;
  SolverWorkspace work_;
  double* fvec_ = nullptr;
};

// Result of solveLeastSquares.
enum SolveResult : int { kSolveRan = 0, kSolveRefused = 1, kSolveOutOfMemory = 2 };

// Checks the problem, allocates the zero-filled workspace, runs lmIterate and
// releases everything. Refuses n <= 0, m < n and tolerances that are negative
// or NaN. The workspace comes from zeroFilledAlloc.
SolveResult solveLeastSquares(ResidualFunction fcn, void* context, int m, int n, double* x,
                              const int* freeMask, double* fvec, const SolverOptions& options,
                              const ProgressSink& progress, SolverOutcome* outcome);

// The fixed settings of the plug-in: both tolerances equal to tolerance, the
// residuals evaluated once more for each progress line, and the line
// "fnorm %.15e\n" written to standard output. Returns 0 when the iteration
// ran and 1 when the problem was refused (terminationCode 0); a stop at the
// gradient test at machine precision is reported as kGradientConverged.
int solveLeastSquares(ResidualFunction fcn, void* context, int m, int n, double* x,
                      const int* freeMask, double* fvec, double tolerance,
                      int* terminationCode, int* evalCount);

// Sums formed side by side, each a single running accumulator in increasing
// row order, so that independent sums share one pass over the rows:
//   tailNorms  norms[g] = sqrt(sum of cols[g][i]^2, i = firstRow .. m-1),
//              each started with the square at firstRow as columnTailNorm does
//   dots       sums[g] = sum of cols[g][i] * v[i], i = firstRow .. m-1, each
//              from 0.0; with lastSwapped the last product is taken as
//              v[i] * cols[g][i]
// for g < count; dots takes count <= kSumGroup.
constexpr int kSumGroup = 8;
void tailNorms(int m, int firstRow, int count, double* const* cols, double* norms);
void dots(int m, int firstRow, int count, double* const* cols, const double* v, double* sums,
          bool lastSwapped);

// Element-wise loops, each element one IEEE operation after another (no
// fused multiply-add), in the widest vector registers the processor offers:
//   divideElements       v[i] = v[i] / divisor
//   differenceQuotients  out[i] = (moved[i] - base[i]) / h
//   subtractMultiple     v[i] = v[i] - t * u[i]
//   addMultiple          v[i] = t * u[i] + v[i]
// for i = 0 ... count-1. The arrays must not overlap.
void divideElements(int count, double* v, double divisor);
void differenceQuotients(int count, const double* moved, const double* base, double h,
                         double* out);
void subtractMultiple(int count, double* v, double t, const double* u);
void addMultiple(int count, double* v, double t, const double* u);

// Writes the progress line "fnorm %.15e\n" for fnorm into out (at least
// kProgressLineCapacity chars), byte for byte what printf writes, and returns
// its length.
constexpr int kProgressLineCapacity = 64;
int formatProgressLine(double fnorm, char* out);

// Runs the enclosing scope in the default floating-point environment (round
// to nearest, no traps, no flush-to-zero, flags clear) and gives the caller's
// environment, flags included, back on leaving it.
class DefaultFloatingPointScope {
 public:
  DefaultFloatingPointScope();
  ~DefaultFloatingPointScope();
  DefaultFloatingPointScope(const DefaultFloatingPointScope&) = delete;
  DefaultFloatingPointScope& operator=(const DefaultFloatingPointScope&) = delete;

 private:
  std::fenv_t saved_;
};

// Zero-filled allocation used by the plug-in's allocating routines; null when
// the memory cannot be obtained, or when a test's failure switch says so.
void* zeroFilledAlloc(std::size_t count, std::size_t size);

// For tests: make every allocation after the next `allowed` ones fail;
// a negative value lets every allocation through again.
void failAllocationsAfter(int allowed);

}  // namespace nlfit

#endif  // NLFIT_SOLVER_H
