// Sums formed side by side.
//
// Every sum here is a single running accumulator in increasing row order, so
// one sum costs one floating-point addition latency per row however wide the
// machine is. Sums that do not depend on each other are therefore formed in
// one pass over the rows, in groups of up to kSumGroup accumulators, each
// still added to in exactly the order of the plain loop.
#include <cmath>

#include "solver.h"

namespace nlfit {

namespace {

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

}  // namespace

// The two helpers above over any number of columns, kSumGroup at a time.
void tailNorms(int m, int firstRow, int count, double* const* cols, double* norms) {
  for (int k = 0; k < count; k += kSumGroup) {
    switch (count - k) {
      case 1: tailNormGroup<1>(m, firstRow, cols + k, norms + k); break;
      case 2: tailNormGroup<2>(m, firstRow, cols + k, norms + k); break;
      case 3: tailNormGroup<3>(m, firstRow, cols + k, norms + k); break;
      case 4: tailNormGroup<4>(m, firstRow, cols + k, norms + k); break;
      case 5: tailNormGroup<5>(m, firstRow, cols + k, norms + k); break;
      case 6: tailNormGroup<6>(m, firstRow, cols + k, norms + k); break;
      case 7: tailNormGroup<7>(m, firstRow, cols + k, norms + k); break;
      default: tailNormGroup<kSumGroup>(m, firstRow, cols + k, norms + k); break;
    }
  }
}

// One group of count <= kSumGroup products with v; lastSwapped: the last one
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
      default: dotGroupLastSwapped<kSumGroup>(m, firstRow, cols, v, sums); break;
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
      default: dotGroup<kSumGroup>(m, firstRow, cols, v, sums); break;
    }
  }
}

}  // namespace nlfit
