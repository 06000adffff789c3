// Householder QR factorisation with column pivoting, in place.
//
// Speed: every sum here is a single running accumulator in increasing row
// order, so one sum costs one floating-point addition latency per row however
// wide the machine is. Sums that do not depend on each other (the norms of
// all input columns; the products of all remaining columns with one
// reflection vector) are therefore formed side by side in one pass over the
// rows, in groups of up to kGroup accumulators, each still added to in exactly
// the order of the plain loop.
#include <cmath>

#include "solver.h"

namespace nlfit {

namespace {

constexpr int kGroup = 4;

// norms[g] = sqrt(sum of cols[g][i]^2 for i = firstRow .. m-1) for g < K,
// each sum started with the square at firstRow, as columnTailNorm forms it.
template <int K>
void tailNormGroup(int m, int firstRow, double* const* cols, double* norms) {
  double s[K];
  for (int g = 0; g < K; ++g) s[g] = cols[g][firstRow] * cols[g][firstRow];
  for (int i = firstRow + 1; i < m; ++i) {
    for (int g = 0; g < K; ++g) s[g] = s[g] + cols[g][i] * cols[g][i];
  }
  for (int g = 0; g < K; ++g) norms[g] = std::sqrt(s[g]);
}

// sums[g] = sum of cols[g][i] * v[i] for i = firstRow .. m-1 for g < K, each
// from 0.0.
template <int K>
void dotGroup(int m, int firstRow, double* const* cols, const double* v, double* sums) {
  double s[K];
  for (int g = 0; g < K; ++g) s[g] = 0.0;
  for (int i = firstRow; i < m; ++i) {
    const double vi = v[i];
    for (int g = 0; g < K; ++g) s[g] = s[g] + cols[g][i] * vi;
  }
  for (int g = 0; g < K; ++g) sums[g] = s[g];
}

// The two helpers above over any number of columns, kGroup at a time.
void tailNorms(int m, int firstRow, int count, double* const* cols, double* norms) {
  for (int k = 0; k < count; k += kGroup) {
    switch (count - k) {
      case 1: tailNormGroup<1>(m, firstRow, cols + k, norms + k); break;
      case 2: tailNormGroup<2>(m, firstRow, cols + k, norms + k); break;
      case 3: tailNormGroup<3>(m, firstRow, cols + k, norms + k); break;
      default: tailNormGroup<kGroup>(m, firstRow, cols + k, norms + k); break;
    }
  }
}

void dots(int m, int firstRow, int count, double* const* cols, const double* v, double* sums) {
  for (int k = 0; k < count; k += kGroup) {
    switch (count - k) {
      case 1: dotGroup<1>(m, firstRow, cols + k, v, sums + k); break;
      case 2: dotGroup<2>(m, firstRow, cols + k, v, sums + k); break;
      case 3: dotGroup<3>(m, firstRow, cols + k, v, sums + k); break;
      default: dotGroup<kGroup>(m, firstRow, cols + k, v, sums + k); break;
    }
  }
}

}  // namespace

void qrPivotFactor(int m, int n, ColumnMatrix matrix, int usePivoting,
                   int* pivots, double* rDiagonal, double* columnNorms,
                   double* referenceNorms) {
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

  // Products of the remaining columns with the current reflection vector;
  // dotProducts[k] belongs to column k.
  double dotProducts[kGroup];

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
    if (s != 0.0) {
      // Reflect the tail of column j onto a multiple of e_j; the sign of s is
      // chosen against A(j, j) so that v_j(j) = 1 + |A(j, j)|/|s| >= 1.
      if (colJ[j] < 0.0) s = -s;
      for (int i = j; i < m; ++i) colJ[i] = colJ[i] / s;
      colJ[j] = colJ[j] + 1.0;

      // Apply the reflection I - v*v^T / v(j) to the remaining columns, a
      // group at a time, and update their running norms.
      for (int k0 = j + 1; k0 < n; k0 += kGroup) {
        const int count = (n - k0 < kGroup) ? n - k0 : kGroup;
        dots(m, j, count, matrix + k0, colJ, dotProducts);
        for (int g = 0; g < count; ++g) {
          const int k = k0 + g;
          double* colK = matrix[k];
          const double t = dotProducts[g] / colJ[j];
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
    }
    // R(j, j); -0.0 after a zero tail.
    rDiagonal[j] = -s;
  }
}

}  // namespace nlfit
