// Householder QR factorisation with column pivoting, in place.
//
// Speed: every sum here is a single running accumulator in increasing row
// order, so one sum costs one floating-point addition latency per row however
// wide the machine is. Sums that do not depend on each other (the norms of
// all input columns; the products of all remaining columns with one
// reflection vector, and with it the right-hand side that lmIterate needs as
// Q^T*fvec) are therefore formed side by side in one pass over the rows, in
// groups of up to kGroup accumulators, each still added to in exactly the
// order of the plain loop.
#include <cmath>

#include "solver.h"

namespace nlfit {

namespace {

constexpr int kGroup = 8;

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

// The same with the product taken as v[i] * cols[g][i] for the last group
// member: the operand order of the right-hand side's products, which only a
// pair of NaNs could tell apart.
template <int K>
void dotGroupLastSwapped(int m, int firstRow, double* const* cols, const double* v,
                         double* sums) {
  double s[K];
  for (int g = 0; g < K; ++g) s[g] = 0.0;
  for (int i = firstRow; i < m; ++i) {
    const double vi = v[i];
    for (int g = 0; g + 1 < K; ++g) s[g] = s[g] + cols[g][i] * vi;
    s[K - 1] = s[K - 1] + vi * cols[K - 1][i];
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
      case 4: tailNormGroup<4>(m, firstRow, cols + k, norms + k); break;
      case 5: tailNormGroup<5>(m, firstRow, cols + k, norms + k); break;
      case 6: tailNormGroup<6>(m, firstRow, cols + k, norms + k); break;
      case 7: tailNormGroup<7>(m, firstRow, cols + k, norms + k); break;
      default: tailNormGroup<kGroup>(m, firstRow, cols + k, norms + k); break;
    }
  }
}

// One group of count <= kGroup products with v; lastSwapped: the last one
// is the right-hand side's.
void dots(int m, int firstRow, int count, double* const* cols, const double* v, double* sums,
          bool lastSwapped) {
  if (lastSwapped) {
    switch (count) {
      case 1: dotGroupLastSwapped<1>(m, firstRow, cols, v, sums); break;
      case 2: dotGroupLastSwapped<2>(m, firstRow, cols, v, sums); break;
      case 3: dotGroupLastSwapped<3>(m, firstRow, cols, v, sums); break;
      case 4: dotGroupLastSwapped<4>(m, firstRow, cols, v, sums); break;
      case 5: dotGroupLastSwapped<5>(m, firstRow, cols, v, sums); break;
      case 6: dotGroupLastSwapped<6>(m, firstRow, cols, v, sums); break;
      case 7: dotGroupLastSwapped<7>(m, firstRow, cols, v, sums); break;
      default: dotGroupLastSwapped<kGroup>(m, firstRow, cols, v, sums); break;
    }
  } else {
    switch (count) {
      case 1: dotGroup<1>(m, firstRow, cols, v, sums); break;
      case 2: dotGroup<2>(m, firstRow, cols, v, sums); break;
      case 3: dotGroup<3>(m, firstRow, cols, v, sums); break;
      case 4: dotGroup<4>(m, firstRow, cols, v, sums); break;
      case 5: dotGroup<5>(m, firstRow, cols, v, sums); break;
      case 6: dotGroup<6>(m, firstRow, cols, v, sums); break;
      case 7: dotGroup<7>(m, firstRow, cols, v, sums); break;
      default: dotGroup<kGroup>(m, firstRow, cols, v, sums); break;
    }
  }
}

}  // namespace

void qrPivotFactor(int m, int n, ColumnMatrix matrix, int usePivoting,
                   int* pivots, double* rDiagonal, double* columnNorms,
                   double* referenceNorms) {
  qrPivotFactorApply(m, n, matrix, usePivoting, pivots, rDiagonal, columnNorms, referenceNorms,
                     nullptr);
}

void qrPivotFactorApply(int m, int n, ColumnMatrix matrix, int usePivoting, int* pivots,
                        double* rDiagonal, double* columnNorms, double* referenceNorms,
                        double* rhs) {
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
    for (int t0 = 0; t0 < targets; t0 += kGroup) {
      const int count = (targets - t0 < kGroup) ? targets - t0 : kGroup;
      double* group[kGroup];
      for (int g = 0; g < count; ++g) {
        group[g] = (t0 + g < columnTargets) ? matrix[j + 1 + t0 + g] : rhs;
      }
      dots(m, j, count, group, colJ, dotProducts, t0 + count > columnTargets);

      for (int g = 0; g < count; ++g) {
        if (t0 + g == columnTargets) {
          // rhs <- (I - v*v^T / v(j)) * rhs.
          const double t = -(dotProducts[g] / colJ[j]);
          addMultiple(m - j, rhs + j, t, colJ + j);
          continue;
        }
        // Apply the reflection to column k and update its running norm.
        const int k = j + 1 + t0 + g;
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
