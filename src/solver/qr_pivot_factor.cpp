// Householder QR factorisation with column pivoting, in place.
#include <cmath>

#include "solver.h"

namespace nlfit {

void qrPivotFactor(int m, int n, ColumnMatrix matrix, int usePivoting,
                   int* pivots, double* rDiagonal, double* columnNorms,
                   double* referenceNorms) {
  // Norms of the input columns; they start both the running norms (which
  // choose the pivots) and the reference values of the recomputation test.
  for (int j = 0; j < n; ++j) {
    const double c = columnTailNorm(m, j, 0, matrix);
    columnNorms[j] = c;
    rDiagonal[j] = c;
    referenceNorms[j] = c;
    if (usePivoting != 0) pivots[j] = j;
  }

  const int steps = (m < n) ? m : n;
  for (int j = 0; j < steps; ++j) {
    double* colJ = matrix[j];

    if (usePivoting != 0) {
      // Pivot on the largest remaining running norm; ties keep the lowest
      // index, and a NaN never wins.
      int kmax = j;
      for (int k = j; k < n; ++k) {
        if (rDiagonal[k] > rDiagonal[kmax]) kmax = k;
      }
      if (kmax != j) {
        double* colK = matrix[kmax];
        for (int i = 0; i < m; ++i) {
          const double t = colJ[i];
          colJ[i] = colK[i];
          colK[i] = t;
        }
        // The values at position j are not needed again.
        rDiagonal[kmax] = rDiagonal[j];
        referenceNorms[kmax] = referenceNorms[j];
        const int p = pivots[j];
        pivots[j] = pivots[kmax];
        pivots[kmax] = p;
      }
    }

    double s = columnTailNorm(m, j, j, matrix);
    if (s != 0.0) {
      // Reflect the tail of column j onto a multiple of e_j; the sign of s is
      // chosen against A(j, j) so that v_j(j) = 1 + |A(j, j)|/|s| >= 1.
      if (colJ[j] < 0.0) s = -s;
      for (int i = j; i < m; ++i) colJ[i] = colJ[i] / s;
      colJ[j] = colJ[j] + 1.0;

      // Apply the reflection I - v*v^T / v(j) to the remaining columns and
      // update their running norms.
      for (int k = j + 1; k < n; ++k) {
        double* colK = matrix[k];
        double sum = 0.0;
        for (int i = j; i < m; ++i) sum = sum + colK[i] * colJ[i];
        const double t = sum / colJ[j];
        for (int i = j; i < m; ++i) colK[i] = colK[i] - t * colJ[i];

        if (usePivoting != 0 && rDiagonal[k] != 0.0) {
          // Remove R(j, k) from the running norm of column k.
          const double q = colK[j] / rDiagonal[k];
          rDiagonal[k] = rDiagonal[k] * std::sqrt(maxOf(0.0, 1.0 - q * q));
          // Measure the norm again once cancellation has eaten too many of
          // its digits; the squared quotient cannot overflow or underflow.
          const double ratio = rDiagonal[k] / referenceNorms[k];
          if (!(0.5 * (ratio * ratio) > kMachineEpsilon)) {
            rDiagonal[k] = columnTailNorm(m, k, j + 1, matrix);
            referenceNorms[k] = rDiagonal[k];
          }
        }
      }
    }
    // R(j, j); -0.0 after a zero tail.
    rDiagonal[j] = -s;
  }
}

}  // namespace nlfit
