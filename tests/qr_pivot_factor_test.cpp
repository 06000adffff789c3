#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "data/kernels/expected_kernels.h"
#include "solver/solver.h"
#include "test_support.h"

namespace {

using nlfit::qrPivotFactor;
using nlfit_test::Columns;
using nlfit_test::kFewUlps;

constexpr int kUnwritten = -7;  // prefilled pivots

struct Factors {
  std::vector<int> pivots;
  std::vector<double> rDiagonal, columnNorms, referenceNorms;
};

Factors factor(Columns& a, bool pivoting) {
  const int m = static_cast<int>(a.cols[0].size());
  const int n = static_cast<int>(a.cols.size());
  Factors f{std::vector<int>(n, kUnwritten), std::vector<double>(n),
            std::vector<double>(n), std::vector<double>(n)};
  qrPivotFactor(m, n, a.get(), pivoting ? 1 : 0,
                {f.pivots.data(), f.rDiagonal.data(), f.columnNorms.data(), f.referenceNorms.data()});
  return f;
}

void expectColumnNear(const std::vector<double>& expected, const std::vector<double>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR_ULPS(expected[i], actual[i], kFewUlps) << " row " << i;
  }
}

TEST(QrPivotFactor, ReflectionSignIsOppositeToTheDiagonalEntry) {
  struct Case { std::vector<double> in, out; double rDiagonal, norm; };
  const Case cases[] = {{{3, 4}, {1.6, 0.8}, -5, 5},
                        {{-3, 4}, {1.6, -0.8}, 5, 5},
                        {{0.0, 2}, {1, 1}, -2, 2},
                        {{-0.0, 2}, {1, 1}, -2, 2}};  // -0 counts as non-negative
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in[0]);
    Columns a({c.in});
    const Factors f = factor(a, true);
    EXPECT_EQ(a.cols[0], c.out);
    EXPECT_EQ(f.rDiagonal[0], c.rDiagonal);
    EXPECT_EQ(f.columnNorms[0], c.norm);
    EXPECT_EQ(f.pivots[0], 0);
  }
}

TEST(QrPivotFactor, LargestColumnMovesFirstByContent) {
  Columns a({{1, 0, 0}, {1, 1, 1}});
  const double* storage0 = a.cols[0].data();
  const Factors f = factor(a, true);
  const double r3 = std::sqrt(3.0);
  const double r2 = std::sqrt(2.0);
  EXPECT_EQ(a.ptrs[0], storage0);
  EXPECT_EQ(f.pivots, (std::vector<int>{1, 0}));
  EXPECT_EQ(f.columnNorms, (std::vector<double>{1, r3}));  // input order
  expectColumnNear({1 + 1 / r3, 1 / r3, 1 / r3}, a.cols[0]);
  expectColumnNear({-1 / r3, 1 + 1 / r2, 1 / r2}, a.cols[1]);
  expectColumnNear({-r3, std::sqrt(2.0 / 3.0)}, f.rDiagonal);
}

TEST(QrPivotFactor, WithoutPivotingKeepsOrderAndLeavesPivotsAlone) {
  Columns a({{1, 0, 0}, {1, 1, 1}});
  const Factors f = factor(a, false);
  const double r2 = std::sqrt(2.0);
  EXPECT_EQ(f.pivots, (std::vector<int>{kUnwritten, kUnwritten}));
  EXPECT_EQ(f.columnNorms, (std::vector<double>{1, std::sqrt(3.0)}));
  EXPECT_EQ(a.cols[0], (std::vector<double>{2, 0, 0}));
  expectColumnNear({-1, 1 + 1 / r2, 1 / r2}, a.cols[1]);
  expectColumnNear({-1, -r2}, f.rDiagonal);
}

TEST(QrPivotFactor, ZeroTailIsLeftUnreflected) {
  {  // pivoted: the zero column goes last and stays all zero
    Columns a({{0, 0, 0}, {1, 2, 2}});
    const Factors f = factor(a, true);
    EXPECT_EQ(f.pivots, (std::vector<int>{1, 0}));
    EXPECT_EQ(f.columnNorms, (std::vector<double>{0, 3}));
    EXPECT_EQ(a.cols[0], (std::vector<double>{4.0 / 3, 2.0 / 3, 2.0 / 3}));
    EXPECT_EQ(a.cols[1], (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(f.rDiagonal[0], -3.0);
    EXPECT_EQ(f.rDiagonal[1], 0.0);
    EXPECT_TRUE(std::signbit(f.rDiagonal[1]));
  }
  {  // unpivoted: the skipped first step changes no other column
    Columns a({{0, 0, 0}, {1, 2, 2}});
    const Factors f = factor(a, false);
    const double s = std::sqrt(8.0);
    EXPECT_EQ(a.cols[0], (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(a.cols[1], (std::vector<double>{1, 2 / s + 1, 2 / s}));
    EXPECT_TRUE(std::signbit(f.rDiagonal[0]));
    EXPECT_EQ(f.rDiagonal[1], -s);
  }
}

TEST(QrPivotFactor, EqualNormsKeepTheLowerIndex) {
  Columns a({{1, 0}, {0, 1}});
  const Factors f = factor(a, true);
  EXPECT_EQ(f.pivots, (std::vector<int>{0, 1}));
  EXPECT_EQ(a.cols[0], (std::vector<double>{2, 0}));
  EXPECT_EQ(a.cols[1], (std::vector<double>{0, 2}));
  EXPECT_EQ(f.rDiagonal, (std::vector<double>{-1, -1}));
}

TEST(QrPivotFactor, RunningNormThatCancelsToZeroIsMeasuredAgain) {
  // Both columns have norm exactly 1.0; step 0 leaves column 1 a running norm
  // of exactly 0, and its true tail is 1e-9.
  Columns a({{1, 0}, {1, 1e-9}});
  const Factors f = factor(a, true);
  EXPECT_EQ(f.pivots, (std::vector<int>{0, 1}));
  EXPECT_EQ(a.cols[0], (std::vector<double>{2, 0}));
  EXPECT_EQ(a.cols[1], (std::vector<double>{-1, 2}));
  EXPECT_EQ(f.rDiagonal, (std::vector<double>{-1, -1e-9}));
  EXPECT_EQ(f.referenceNorms[1], 1e-9);

  // The measured 1e-9 beats a third column of norm 1e-10 for step 1; the
  // cancelled estimate of 0 would not.
  Columns b({{1, 0, 0}, {1, 1e-9, 0}, {0, 0, 1e-10}});
  EXPECT_EQ(factor(b, true).pivots, (std::vector<int>{0, 1, 2}));
}

TEST(QrPivotFactor, RunningNormIsMeasuredAgainOnlyBelowTheThreshold) {
  // Column 1 = (c, tau, 0) against column 0 = e_0. Step 0 updates its running
  // norm to N*sqrt(1 - (c/N)^2), N = |(c, tau)|, which is off from tau by
  // several percent; it is measured again (giving tau) only when the ratio to
  // N falls to sqrt(2*eps) ~ 2.1e-8 or below. Column 2 = (0, 0, sigma), sigma
  // between the estimate and tau, shows which value chose the pivot of step 1.
  struct Case { double c, tau, sigma; std::vector<int> pivots; };
  const Case cases[] = {
      // ratio 4.94e-8: estimate 2.817e-8 > sigma > tau, kept
      {0.57, 2.6391e-08, 2.72e-8, {0, 1, 2}},
      // ratio 1.49e-8: estimate 9.98e-9 > sigma > tau, measured again
      {0.67, 6.7e-09, 8.2e-9, {0, 2, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.c);
    Columns a({{1, 0, 0}, {c.c, c.tau, 0}, {0, 0, c.sigma}});
    EXPECT_EQ(factor(a, true).pivots, c.pivots);
  }
}

TEST(QrPivotFactor, MatchesIndependentlyComputedFactors) {
  // Expected factors computed independently in IEEE double arithmetic; one
  // case has nearly dependent columns whose running norms are measured again.
  for (const auto& c : kernel_data::kQrCases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.n);
    Columns a = Columns::fromColumnMajor(c.m, c.n, c.a);
    const Factors f = factor(a, c.usePivoting != 0);
    for (int j = 0; j < c.n; ++j) {
      for (int i = 0; i < c.m; ++i) EXPECT_SAME_BITS(c.factored[j * c.m + i], a(i, j));
      EXPECT_SAME_BITS(c.rDiagonal[j], f.rDiagonal[j]);
      EXPECT_SAME_BITS(c.columnNorms[j], f.columnNorms[j]);
      EXPECT_EQ(c.usePivoting ? c.pivots[j] : kUnwritten, f.pivots[j]);
    }
  }
}

// Randomized factorisations: A*P must equal Q*R to rounding, with Q rebuilt
// from the stored reflections H_j = I - v_j v_j^T / v_j(j).
enum class Shape { kPlain, kZeroColumn, kNearlyDependent };

class QrPivotFactorRandom
    : public testing::TestWithParam<std::tuple<std::tuple<int, int>, Shape, bool>> {};

TEST_P(QrPivotFactorRandom, FactorsReproduceThePermutedMatrix) {
  const auto [size, shape, pivoting] = GetParam();
  const auto [m, n] = size;
  std::mt19937_64 rng(0x5eed0000u + 131u * m + n);
  Columns a(m, n);
  for (auto& col : a.cols) {
    for (double& v : col) v = nlfit_test::uniform(rng, -1, 1);
  }
  if (shape == Shape::kZeroColumn) std::fill(a.cols[n / 2].begin(), a.cols[n / 2].end(), 0.0);
  if (shape == Shape::kNearlyDependent && n >= 3) {
    // Columns that cancel to ~1e-9 of their size, forcing re-measured norms.
    for (int i = 0; i < m; ++i) {
      a(i, n - 1) = 2 * a(i, 0) - a(i, 1) + 1e-9 * nlfit_test::uniform(rng, -1, 1);
      a(i, 1) = a(i, 0) + 1e-12 * nlfit_test::uniform(rng, -1, 1);
    }
  }
  const Columns input = a;
  const Factors f = factor(a, pivoting);

  std::vector<int> perm(n);
  for (int j = 0; j < n; ++j) perm[j] = pivoting ? f.pivots[j] : j;
  if (!pivoting) {
    EXPECT_EQ(f.pivots, std::vector<int>(n, kUnwritten));
  }
  std::vector<int> sorted = perm;
  std::sort(sorted.begin(), sorted.end());
  for (int j = 0; j < n; ++j) ASSERT_EQ(sorted[j], j) << "not a permutation";

  double largest = 0.0;
  for (int j = 0; j < n; ++j) {
    EXPECT_SAME_BITS(nlfit::euclidNorm(m, input.cols[j].data()), f.columnNorms[j]);
    largest = std::max(largest, f.columnNorms[j]);
  }
  const double tolerance = 4.0 * (m + n) * nlfit::kMachineEpsilon * largest;

  for (int j = 0; j < n; ++j) {
    const double vjj = a(j, j);
    EXPECT_TRUE(vjj == 0.0 ? f.rDiagonal[j] == 0.0 : (vjj >= 1.0 && vjj <= 2.0)) << j;
    // Column j of R, then Q*R_j = H_0 (H_1 (... H_{n-1} R_j)).
    std::vector<double> y(m, 0.0);
    for (int i = 0; i < j; ++i) y[i] = a(i, j);
    y[j] = f.rDiagonal[j];
    for (int k = n - 1; k >= 0; --k) {
      if (a(k, k) == 0.0) continue;
      double dot = 0.0;
      for (int i = k; i < m; ++i) dot += a(i, k) * y[i];
      const double t = dot / a(k, k);
      for (int i = k; i < m; ++i) y[i] -= t * a(i, k);
    }
    for (int i = 0; i < m; ++i) {
      EXPECT_NEAR(y[i], input.cols[perm[j]][i], tolerance) << "row " << i << ", column " << j;
    }
    // With pivoting, |R(j, j)| dominates the rest of each later column of R
    // from row j down (slack for the estimated running norms).
    for (int k = j + 1; pivoting && k < n; ++k) {
      double tail = 0.0;
      for (int i = j; i < k; ++i) tail += a(i, k) * a(i, k);
      tail += f.rDiagonal[k] * f.rDiagonal[k];
      EXPECT_GE(std::fabs(f.rDiagonal[j]) * (1 + 1e-6), std::sqrt(tail)) << j << "," << k;
    }
  }
}

std::string caseName(const testing::TestParamInfo<QrPivotFactorRandom::ParamType>& info) {
  const auto& [size, shape, pivoting] = info.param;
  const char* shapes[] = {"Plain", "ZeroColumn", "NearlyDependent"};
  return std::to_string(std::get<0>(size)) + "x" + std::to_string(std::get<1>(size)) +
         shapes[static_cast<int>(shape)] + (pivoting ? "Pivoted" : "Unpivoted");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, QrPivotFactorRandom,
    testing::Combine(testing::Values(std::make_tuple(1, 1), std::make_tuple(4, 4),
                                     std::make_tuple(7, 3), std::make_tuple(12, 5),
                                     std::make_tuple(40, 9)),
                     testing::Values(Shape::kPlain, Shape::kZeroColumn, Shape::kNearlyDependent),
                     testing::Bool()),
    caseName);

}  // namespace
