// Private interface of the least-squares solver: shared types, constants and
// the routines of the Levenberg-Marquardt method. Nothing here is exported.
//
// Conventions: sizes come first (m residuals, n parameters), then the arrays,
// then the caller's scratch vectors. No routine below solveLeastSquares
// allocates memory. Every sum is a single double accumulator taken in
// increasing index order.
#ifndef NLFIT_SOLVER_H
#define NLFIT_SOLVER_H

#include <cstddef>

namespace nlfit {

// Writes the m residuals at the n parameters x into fvec. evalFlag is 1 for a
// starting or trial evaluation and 2 during a Jacobian; storing a negative
// value there asks the solver to stop.
using ResidualFunction = void (*)(int m, int n, const double* x, double* fvec,
                                  int* evalFlag);

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
// relativeStep = sqrt(max(diffStepRel, eps)). work (m doubles) receives the
// moved residuals. Returns early, leaving x[j] moved, when fcn stores a
// negative evalFlag.
void forwardJacobian(ResidualFunction fcn, int m, int n, double* x,
                     const double* fvec, ColumnMatrix jacobian, int* evalFlag,
                     double diffStepRel, double* work);

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

// The Levenberg-Marquardt trust-region iteration. All arrays belong to the
// caller; see lm_iterate.cpp for the roles of the work vectors.
void lmIterate(ResidualFunction fcn, int m, int n, double* x,
               const int* freeMask, double* fvec, double reductionTol,
               double stepTol, double gradientTol, int maxEvaluations,
               double diffStepRel, double* scaleFactors, int scaleMode,
               double stepFactor, int* terminationCode, int* evalCount,
               ColumnMatrix jacobian, int* pivots, double* qtResidual,
               double* work1, double* work2, double* work3, double* work4);

// Checks the problem, allocates the zero-filled workspace, runs lmIterate with
// the fixed settings and releases everything. Returns 0 when the iteration ran
// and 1 when the problem was refused (n <= 0, m < n, tolerance negative or
// NaN, or workspace that could not be obtained; terminationCode 0).
int solveLeastSquares(ResidualFunction fcn, int m, int n, double* x,
                      const int* freeMask, double* fvec, double tolerance,
                      int* terminationCode, int* evalCount);

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

// Zero-filled allocation used by every allocating routine of the library;
// null when the memory cannot be obtained.
void* zeroFilledAlloc(std::size_t count, std::size_t size);

// For tests: make every allocation after the next `allowed` ones fail;
// a negative value lets every allocation through again.
void failAllocationsAfter(int allowed);

}  // namespace nlfit

#endif  // NLFIT_SOLVER_H
