// Damped least-squares solve on a pivoted QR factorisation by Givens
// rotations.
#include <cmath>

#include "solver.h"

namespace nlfit {

void qrDampedSolve(int n, ColumnMatrix r, const int* pivots,
                   const double* dampingDiagonal, const double* qtResidual,
                   double* x, double* sDiagonal, double* pivotedSolution) {
  double* const z = pivotedSolution;
  // Start S as R, copied transposed into the lower triangle (row j of R down
  // column j), save R's diagonal in x and the right-hand side in z.
  for (int j = 0; j < n; ++j) {
    for (int i = j; i < n; ++i) r[j][i] = r[i][j];
    x[j] = r[j][j];
    z[j] = qtResidual[j];
  }

  // Row k of S lives in A(k, k) and, right of its diagonal, in A(i, k) for
  // i > k. Eliminate each damping row against S, carrying the right-hand side.
  for (int j = 0; j < n; ++j) {
    const double d = dampingDiagonal[pivots[j]];
    if (d != 0.0) {
      for (int k = j; k < n; ++k) sDiagonal[k] = 0.0;
      sDiagonal[j] = d;
      double e = 0.0;  // right-hand-side element of the damping row

      for (int k = j; k < n; ++k) {
        if (sDiagonal[k] == 0.0) continue;
        double* colK = r[k];
        const double a = colK[k];
        const double b = sDiagonal[k];
        // Divide by the element of larger magnitude so the quotient stays in
        // [-1, 1]; a tie takes the first branch.
        double cosine;
        double sine;
        if (std::fabs(b) > std::fabs(a)) {
          const double c = a / b;
          sine = 1.0 / std::sqrt(1.0 + c * c);
          cosine = c * sine;
        } else {
          const double t = b / a;
          cosine = 1.0 / std::sqrt(1.0 + t * t);
          sine = t * cosine;
        }
        colK[k] = cosine * a + sine * b;

        const double zk = z[k];
        z[k] = cosine * zk + sine * e;
        e = cosine * e - sine * zk;

        for (int i = k + 1; i < n; ++i) {
          const double sik = colK[i];
          const double di = sDiagonal[i];
          colK[i] = cosine * sik + sine * di;
          sDiagonal[i] = cosine * di - sine * sik;
        }
      }
    }
    // Final diagonal element of S in row j; put R's diagonal element back.
    sDiagonal[j] = r[j][j];
    r[j][j] = x[j];
  }

  // Solve only the leading triangle before the first zero on S's diagonal.
  int usable = n;
  for (int j = 0; j < n; ++j) {
    if (sDiagonal[j] == 0.0 && usable == n) usable = j;
    if (usable < n) z[j] = 0.0;
  }

  for (int j = usable - 1; j >= 0; --j) {
    const double* colJ = r[j];
    double sum = 0.0;
    for (int i = j + 1; i < usable; ++i) sum = sum + colJ[i] * z[i];
    z[j] = (z[j] - sum) / sDiagonal[j];
  }

  for (int j = 0; j < n; ++j) x[pivots[j]] = z[j];
}

}  // namespace nlfit
