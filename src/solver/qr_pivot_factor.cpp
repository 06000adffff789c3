// Householder QR factorisation with column pivoting, in place. Sums that do
// not depend on each other (the norms of all input columns; the products of
// all remaining columns with one reflection vector, and with it the
// right-hand side) are formed side by side by tailNorms and dots.
#include <cmath>

#include "solver.h"

namespace nlfit {

void qrPivotFactor(int m, int n, ColumnMatrix matrix, int usePivoting, const QrVectors& qr) {
  qrPivotFactorApply(m, n, matrix, usePivoting, qr, nullptr);
}

void qrPivotFactorApply(int m, int n, ColumnMatrix matrix, int usePivoting, const QrVectors& qr,
                        double* rhs) {
  int* const pivots = qr.pivots;
  double* const rDiagonal = qr.rDiagonal;
  double* const columnNorms = qr.columnNorms;
  double* const referenceNorms = qr.referenceNorms;
  // Norms of the input columns; they start both the running norms (which
  // choose the pivots) and the reference values of the recomputation test.
  if (m >= 1) {
    tailNorms(m, 0, n, matrix, columnNorms);
  } else {
    for (int j = 0; j < n; ++j) columnNorms[j] = 0.0;
  }
  for (int j = 0; j < n; ++j) {
    const double c = columnNorms[j];
    rDiagonal[j] = c;
    referenceNorms[j] = c;
    if (usePivoting != 0) pivots[j] = j;
  }

  // Products of one group of targets with the current reflection vector.
  double dotProducts[kSumGroup];

  const int steps = (m < n) ? m : n;
  for (int j = 0; j < steps; ++j) {
    double* colJ = matrix[j];
    // The running norm of the column that comes to position j; before the
    // first step it is the exact norm of that column from row 0.
    double pivotNorm = rDiagonal[j];

    if (usePivoting != 0) {
      // Pivot on the largest remaining running norm; ties keep the lowest
      // index, and a NaN never wins.
      int kmax = j;
      for (int k = j; k < n; ++k) {
        if (rDiagonal[k] > rDiagonal[kmax]) kmax = k;
      }
      if (kmax != j) {
        pivotNorm = rDiagonal[kmax];
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

    // Norm of column j from row j down. At the first step that is the input
    // norm measured above, bit for bit the same sum.
    double s = (j == 0) ? pivotNorm : columnTailNorm(m, j, j, matrix);
    const bool reflect = (s != 0.0);
    if (reflect) {
      // Reflect the tail of column j onto a multiple of e_j; the sign of s is
      // chosen against A(j, j) so that v_j(j) = 1 + |A(j, j)|/|s| >= 1.
      if (colJ[j] < 0.0) s = -s;
      divideElements(m - j, colJ + j, s);
      colJ[j] = colJ[j] + 1.0;
    }

    // Targets of reflection j: the remaining columns when it was formed, then
    // the right-hand side whenever v_j(j) = A(j, j) is not zero (column j is
    // final from here on). Their products with v_j are formed a group at a
    // time.
    const int columnTargets = reflect ? n - j - 1 : 0;
    const bool rhsTarget = rhs != nullptr && colJ[j] != 0.0;
    const int targets = columnTargets + (rhsTarget ? 1 : 0);
    for (int groupStart = 0; groupStart < targets; groupStart += kSumGroup) {
      const int count = (targets - groupStart < kSumGroup) ? targets - groupStart : kSumGroup;
      double* group[kSumGroup];
      for (int g = 0; g < count; ++g) {
        group[g] = (groupStart + g < columnTargets) ? matrix[j + 1 + groupStart + g] : rhs;
      }
      dots(m, j, count, group, colJ, dotProducts, groupStart + count > columnTargets);

      for (int g = 0; g < count; ++g) {
        if (groupStart + g == columnTargets) {
          // rhs <- (I - v*v^T / v(j)) * rhs.
          const double t = -(dotProducts[g] / colJ[j]);
          addMultiple(m - j, rhs + j, t, colJ + j);
          continue;
        }
        // Apply the reflection to column k and update its running norm.
        const int k = j + 1 + groupStart + g;
        double* colK = matrix[k];
        const double t = dotProducts[g] / colJ[j];
        subtractMultiple(m - j, colK + j, t, colJ + j);

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
