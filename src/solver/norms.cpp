// Euclidean norms: the square root of a plain running sum of squares, in
// increasing index order, with no scaling against overflow or underflow.
#include <cmath>

#include "solver.h"

namespace nlfit {

double euclidNorm(int n, const double* x) {
  if (n < 1) return 0.0;
  double sum = x[0] * x[0];
  for (int i = 1; i < n; ++i) sum = sum + x[i] * x[i];
  return std::sqrt(sum);
}

double columnTailNorm(int m, int column, int firstRow, ColumnMatrix matrix) {
  if (firstRow < 0 || firstRow >= m) return 0.0;
  const double* a = matrix[column];
  double sum = a[firstRow] * a[firstRow];
  for (int i = firstRow + 1; i < m; ++i) sum = sum + a[i] * a[i];
  return std::sqrt(sum);
}

}  // namespace nlfit
