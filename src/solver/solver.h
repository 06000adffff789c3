// Private interface of the least-squares solver: shared types, constants and
// the routines of the Levenberg-Marquardt method. Nothing here is exported,
// and nothing here knows of models, observations or standard output.
//
// Conventions: the problem or the sizes come first, then the arrays, then the
// caller's scratch vectors (grouped in a struct where a routine needs
// several). No routine below solveLeastSquares allocates memory. Every sum is
// a single double accumulator taken in increasing index order.
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

// The Jacobian of the residuals at x (whose residuals are fvec) into the m x n
// matrix jacobian, with the calling rules of ResidualFunction: column j holds
// the derivatives of the m residuals with respect to x[j], the quantity the
// forward differences approximate. It may not change x.
using JacobianFunction = void (*)(void* context, int m, int n, const double* x,
                                  const double* fvec, ColumnMatrix jacobian, int* evalFlag);

// What the solver minimises: m residuals in n parameters from one callback
// and its context.
struct ResidualProblem {
  ResidualFunction residuals = nullptr;
  void* context = nullptr;
  int m = 0;
  int n = 0;
  // The caller's own Jacobian, called with the same context, or null for
  // forward differences of the residuals.
  JacobianFunction jacobian = nullptr;
};

// Calls the problem's residual function at x.
inline void evaluateResiduals(const ResidualProblem& problem, const double* x, double* fvec,
                              int* evalFlag) {
  problem.residuals(problem.context, problem.m, problem.n, x, fvec, evalFlag);
}

// 2^-52, the spacing of doubles at 1.
constexpr double kMachineEpsilon = 2.220446049250313e-16;
// Smallest positive normal double.
constexpr double kSmallestNormal = 2.2250738585072014e-308;
// Defaults of SolverOptions: the evaluation budget and the factor of the
// first trust region.
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

// Forward-difference Jacobian of the problem's residuals at x, whose
// residuals are fvec. Column j moves x[j] by h = relativeStep*|x[j]|
// (relativeStep when x[j] is 0), with relativeStep = sqrt(max(diffStepRel,
// eps)); with typical magnitudes t (not null), h = relativeStep*max(|x[j]|,
// t[j]) instead, relativeStep when both are 0. movedResiduals (m doubles)
// receives the residuals at the moved point. Returns early when the residual
// function stores a negative evalFlag, with x[j] restored.
void forwardJacobian(const ResidualProblem& problem, double* x, const double* fvec,
                     ColumnMatrix jacobian, int* evalFlag, double diffStepRel,
                     const double* typical, double* movedResiduals);

// The vectors of a pivoted QR factorisation of an m-by-n matrix, n entries
// each.
struct QrVectors {
  int* pivots = nullptr;             // out: the input column placed at j
  double* rDiagonal = nullptr;       // out: R's diagonal
  double* columnNorms = nullptr;     // out: the norms of the input columns
  double* referenceNorms = nullptr;  // scratch: the norms against which the
                                     // running norms are checked for cancellation
};

// Householder QR of the m-by-n matrix (n <= m) in place, with column pivoting
// when usePivoting is nonzero: A*P = Q*R. On return the strict upper triangle
// holds R, rows j..m-1 of column j hold reflection vector v_j (v_j(j) in
// [1, 2], or 0 where the column tail was zero), and the vectors hold what
// QrVectors says; pivots is written only with pivoting.
void qrPivotFactor(int m, int n, ColumnMatrix matrix, int usePivoting, const QrVectors& qr);

// qrPivotFactor that also applies every reflection to rhs (m doubles, when
// not null) as soon as it is final: on return rhs holds Q^T*rhs, reflection j
// applied as rhs + t*v_j with t = -(v_j^T*rhs / v_j(j)), and skipped where
// v_j(j) is zero, the same arithmetic as applying them one after another to
// the finished factorisation.
void qrPivotFactorApply(int m, int n, ColumnMatrix matrix, int usePivoting, const QrVectors& qr,
                        double* rhs);

// Solves min |A*x - b|^2 + |D*x|^2 given A*P = Q*R (R in the upper triangle of
// r), D = diag(dampingDiagonal) and qtResidual = first n entries of Q^T*b. The
// damped triangle S (S^T*S = R^T*R + P^T*D^2*P) comes back with its diagonal
// in sDiagonal and its strict upper part transposed into r's strict lower
// triangle; R is left unchanged. pivotedSolution receives z = P^T*x.
void qrDampedSolve(int n, ColumnMatrix r, const int* pivots,
                   const double* dampingDiagonal, const double* qtResidual,
                   double* x, double* sDiagonal, double* pivotedSolution);

// The trust-region subproblem of one outer iteration, n parameters: R*P^T
// from the factorisation (R in the upper triangle of r, whose strict lower
// triangle is scratch for the damped triangle), the scaling D and the first n
// entries of Q^T*fvec.
struct TrustRegionSystem {
  ColumnMatrix r = nullptr;
  const int* pivots = nullptr;
  const double* scaleFactors = nullptr;
  const double* qtResidual = nullptr;
};

// Scratch of lmParameter, n doubles each.
struct LmParameterScratch {
  double* sDiagonal = nullptr;        // diagonal of the damped triangle S
  double* pivotedVector = nullptr;    // a vector in pivoted order: in turn the
                                      // Gauss-Newton solution, the scaled
                                      // gradient and the solutions behind the
                                      // lower bound and the Newton correction
  double* dampingDiagonal = nullptr;  // sqrt(lmPar) * D for a damped solve
  double* scaledStep = nullptr;       // D*x of the current step
  double* pivotedSolution = nullptr;  // z = P^T*x of a damped solve
};

// Finds lmPar >= 0 and the step x minimising |R*z - qtResidual|^2 +
// lmPar*|D*x|^2 (z = P^T*x) whose scaled length |D*x| is within 0.1*stepBound
// of stepBound, or lmPar = 0 when the Gauss-Newton step is short enough. At
// most ten damped solves.
void lmParameter(int n, const TrustRegionSystem& system, double stepBound, double* lmPar,
                 double* step, const LmParameterScratch& scratch);

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
};

// Receives one report per outer iteration, after the Jacobian and before the
// factorisation. Both hooks are optional and share context.
struct ProgressSink {
  // Called first, at the current point x with its residuals fvec (m doubles)
  // and the evaluation flag as the Jacobian left it. It may write fvec, which
  // the factorisation then takes as the residuals at x, and evalFlag, which
  // the solver examines only when the gradient test that follows ends the
  // run. It returns the norm handed to report. Without it the report gets
  // the norm of the stored residuals.
  double (*beforeReport)(void* context, const ResidualProblem& problem, const double* x,
                         double* fvec, int* evalFlag) = nullptr;
  // The iteration number (from 1), the residual norm and the n current
  // parameters. A nonzero return stops the run with kStoppedByProgress.
  int (*report)(void* context, int iteration, double fnorm, const double* x, int n) = nullptr;
  void* context = nullptr;
};

// The vectors of one run, each with a single role; all belong to the caller.
struct SolverWorkspace {
  ColumnMatrix jacobian = nullptr;  // m x n; R in its upper triangle after each factorisation
  QrVectors qr;                     // n each: the factorisation of the Jacobian
  double* scaleFactors = nullptr;   // n: diagonal D of the scaled norms
  double* qtResidual = nullptr;     // n: first n entries of Q^T*fvec
  double* step = nullptr;           // n: step from lmParameter, negated into the trial step p
  double* trialPoint = nullptr;     // n: x + p
  double* scaled = nullptr;         // n: D*x, then D*p of a trial step
  double* modelChange = nullptr;    // n: R*(P^T*p), the linear model's change
  LmParameterScratch parameterScratch;  // n each: scratch of lmParameter
  double* movedResiduals = nullptr; // m: residuals at the Jacobian's moved points
  double* qtf = nullptr;            // m: copy of fvec that becomes Q^T*fvec
  double* trialResiduals = nullptr; // m: residuals at the trial point
};

// What a run of lmIterate ended with.
struct SolverOutcome {
  int terminationCode = kRefusedInput;  // a TerminationCode, or the negative flag of fcn
  int evalCount = 0;      // residual evaluations: the first, n per difference
                          // Jacobian, one per trial
  int iterations = 0;     // outer iterations (progress reports)
  double fnorm = 0.0;     // residual norm at x on return (see lmIterate on a zero flag)
  int jacobianCount = 0;  // calls of the problem's Jacobian hook
};

// The Levenberg-Marquardt trust-region iteration. Minimises |fvec(x)|^2 from
// the starting point in x (n doubles); fvec has m. On return x is the last
// accepted point and fvec its residuals, whatever ended the run, when
// freeMask is null or all its n flags are nonzero, as every caller passes it.
// A zero flag j keeps x[j] at its value through every accepted step, but the
// trial points move it, and fvec and the norm are those of the last accepted
// trial point (or of the progress sink's beforeReport): they do not belong
// to x then. With a Jacobian hook in the problem, each outer iteration calls
// it (counted in jacobianCount) in place of the forward differences, and
// evalCount counts residual evaluations only. Refuses (code kRefusedInput,
// nothing evaluated) n <= 0, m < n, maxEvaluations <= 0, stepFactor <= 0 and caller scale
// factors that are not positive. Allocates nothing.
void lmIterate(const ResidualProblem& problem, double* x, const int* freeMask, double* fvec,
               const SolverOptions& options, const ProgressSink& progress,
               const SolverWorkspace& work, SolverOutcome* outcome);

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

// Checks the problem, obtains the zero-filled workspace from allocate, runs
// lmIterate and releases everything. Refuses n <= 0, m < n and tolerances that are negative or NaN.
SolveResult solveLeastSquares(const ResidualProblem& problem, double* x, const int* freeMask,
                              double* fvec, const SolverOptions& options,
                              const ProgressSink& progress, ZeroedAllocator allocate,
                              SolverOutcome* outcome);

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

}  // namespace nlfit

#endif  // NLFIT_SOLVER_H
