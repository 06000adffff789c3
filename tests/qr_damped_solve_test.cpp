#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "data/kernels/expected_kernels.h"
#include "solver/solver.h"
#include "test_support.h"

namespace {

using nlfit::qrDampedSolve;
using nlfit_test::Columns;
using nlfit_test::kFewUlps;

constexpr double kBelowTriangle = 99.0;  // strict lower triangle on entry
constexpr double kBelowBlock = -55.0;    // rows n..m-1, never touched

// A damped solve on R given by its columns (upper triangle, diagonal
// included); the strict lower triangle starts as kBelowTriangle and two rows
// of kBelowBlock sit under the n-by-n block.
struct DampedSolve {
  Columns r;
  std::vector<double> x, sDiagonal, work;

  DampedSolve(const std::vector<std::vector<double>>& rColumns, const std::vector<int>& pivots,
              const std::vector<double>& d, const std::vector<double>& qtResidual)
      : r(static_cast<int>(rColumns.size()) + 2, static_cast<int>(rColumns.size())),
        x(rColumns.size()), sDiagonal(rColumns.size()), work(rColumns.size()) {
    const int n = static_cast<int>(rColumns.size());
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i < n + 2; ++i) {
        r(i, j) = i <= j ? rColumns[j][i] : (i < n ? kBelowTriangle : kBelowBlock);
      }
    }
    qrDampedSolve(n, r.get(), pivots.data(), d.data(), qtResidual.data(), x.data(),
                  sDiagonal.data(), work.data());
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i <= j; ++i) EXPECT_EQ(r(i, j), rColumns[j][i]) << "R(" << i << "," << j << ")";
      for (int i = n; i < n + 2; ++i) EXPECT_EQ(r(i, j), kBelowBlock);
    }
  }
};

void expectNear(const std::vector<double>& expected, const std::vector<double>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR_ULPS(expected[i], actual[i], kFewUlps) << " at " << i;
  }
}

TEST(QrDampedSolve, RotationDividesByTheLargerElementTieTakingTheFirstBranch) {
  // The new diagonal has the sign of R's element when |d| <= |R|, else of d.
  struct Case { double r, d, qtr, s, x; };
  const Case cases[] = {
      {-3, 4, 6, 5, -0.72},               // |d| > |R|: cos = -0.6, sin = 0.8
      {-4, 3, 5, -5, -0.8},               // |d| < |R|: cos = 0.8, sin = -0.6
      {-1, 1, 1, -std::sqrt(2.0), -0.5},  // tie
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.d);
    DampedSolve solve({{c.r}}, {0}, {c.d}, {c.qtr});
    EXPECT_NEAR_ULPS(c.s, solve.sDiagonal[0], kFewUlps);
    EXPECT_NEAR_ULPS(c.x, solve.x[0], kFewUlps);
    EXPECT_SAME_BITS(solve.x[0], solve.work[0]);
  }
}

TEST(QrDampedSolve, DampingWeightsAreTakenInPivotedOrder) {
  // R = [2 1; 0 1], pivots (1, 0), d = (1, 0): row 0 takes d[1] = 0 and
  // rotates nothing; row 1 takes d[0] = 1 against R(1, 1) = 1.
  DampedSolve solve({{2}, {1, 1}}, {1, 0}, {1, 0}, {3, 1});
  expectNear({2, std::sqrt(2.0)}, solve.sDiagonal);
  EXPECT_EQ(solve.r(1, 0), 1.0);  // S(0, 1), transposed
  EXPECT_EQ(solve.work, (std::vector<double>{1.25, 0.5}));
  EXPECT_EQ(solve.x, (std::vector<double>{0.5, 1.25}));
}

TEST(QrDampedSolve, DampingRowReachesLaterColumnsPastZeros) {
  const double tiny = 4 * nlfit::kMachineEpsilon;
  {  // R = [1 1; 0 1], d = (1, 0): row 1 has no weight but is rotated
    DampedSolve solve({{1}, {1, 1}}, {0, 1}, {1, 0}, {1, 1});
    expectNear({std::sqrt(2.0), std::sqrt(1.5)}, solve.sDiagonal);
    EXPECT_NEAR(solve.x[0], 0.0, tiny);
    EXPECT_NEAR_ULPS(1.0, solve.x[1], kFewUlps);
  }
  {  // R(0, 1) = 0: the eliminated row is zero at column 1, not at column 2
    DampedSolve solve({{1}, {0, 1}, {1, 0, 1}}, {0, 1, 2}, {1, 0, 0}, {1, 1, 1});
    expectNear({std::sqrt(2.0), 1, std::sqrt(1.5)}, solve.sDiagonal);
    EXPECT_NEAR(solve.x[0], 0.0, tiny);
    EXPECT_NEAR_ULPS(1.0, solve.x[1], kFewUlps);
    EXPECT_NEAR_ULPS(1.0, solve.x[2], kFewUlps);
  }
}

TEST(QrDampedSolve, WithoutDampingSolvesTheTriangleAndPermutesBack) {
  // R z = qtr has z = (1, -1, 2); x[pivots[j]] = z[j].
  DampedSolve solve({{2}, {1, 4}, {-1, 2, -1}}, {2, 0, 1}, {0, 0, 0}, {-1, 0, -2});
  EXPECT_EQ(solve.sDiagonal, (std::vector<double>{2, 4, -1}));
  EXPECT_EQ(solve.r(1, 0), 1.0);
  EXPECT_EQ(solve.r(2, 0), -1.0);
  EXPECT_EQ(solve.r(2, 1), 2.0);
  EXPECT_EQ(solve.work, (std::vector<double>{1, -1, 2}));
  EXPECT_EQ(solve.x, (std::vector<double>{-1, 2, 1}));
}

TEST(QrDampedSolve, SolvesOnlyUpToTheFirstZeroOnTheDiagonal) {
  {
    DampedSolve solve({{2}, {1, 0}}, {0, 1}, {0, 0}, {3, 1});
    EXPECT_EQ(solve.sDiagonal, (std::vector<double>{2, 0}));
    EXPECT_EQ(solve.work, (std::vector<double>{1.5, 0}));
    EXPECT_EQ(solve.x, (std::vector<double>{1.5, 0}));
  }
  {  // a nonzero diagonal after the first zero is not used either
    DampedSolve solve({{2}, {1, 0}, {1, 1, 4}}, {2, 0, 1}, {0, 0, 0}, {3, 1, 8});
    EXPECT_EQ(solve.sDiagonal, (std::vector<double>{2, 0, 4}));
    EXPECT_EQ(solve.work, (std::vector<double>{1.5, 0, 0}));
    EXPECT_EQ(solve.x, (std::vector<double>{0, 0, 1.5}));
  }
}

TEST(QrDampedSolve, MatchesIndependentlyComputedSolutions) {
  // Expected outputs computed independently in IEEE double arithmetic; one
  // triangle has a zero diagonal element that no damping row reaches.
  for (const auto& c : kernel_data::kDampedSolveCases) {
    SCOPED_TRACE(c.n);
    const int n = c.n;
    Columns r = Columns::fromColumnMajor(n, n, c.r);
    std::vector<double> x(n), s(n), work(n);
    qrDampedSolve(n, r.get(), c.pivots, c.d, c.qtResidual, x.data(), s.data(), work.data());
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i < n; ++i) EXPECT_SAME_BITS(c.rOut[j * n + i], r(i, j));
      EXPECT_SAME_BITS(c.x[j], x[j]);
      EXPECT_SAME_BITS(c.sDiagonal[j], s[j]);
      EXPECT_SAME_BITS(c.work[j], work[j]);
    }
  }
}

// Randomized problems min |A x - b|^2 + |D x|^2, set up as the solver does:
// factor A with pivoting, apply Q^T to b, put R's diagonal in place.
class QrDampedSolveRandom : public testing::TestWithParam<int> {};

TEST_P(QrDampedSolveRandom, SolutionSatisfiesTheDampedNormalEquations) {
  const int n = GetParam();
  const int m = n + 3;
  std::mt19937_64 rng(0xda3bedu + n);
  for (double scale : {0.0, 1e-3, 1.0, 1e3}) {  // mixes both rotation branches
    SCOPED_TRACE(scale);
    Columns a(m, n);
    std::vector<double> b(m), d(n);
    for (auto& col : a.cols) {
      for (double& v : col) v = nlfit_test::uniform(rng, -1, 1);
    }
    for (double& v : b) v = nlfit_test::uniform(rng, -1, 1);
    for (int j = 0; j < n; ++j) d[j] = (j % 3 == 1) ? 0.0 : scale * nlfit_test::uniform(rng, 0.5, 2);
    const Columns input = a;

    std::vector<int> pivots(n);
    std::vector<double> rDiagonal(n), norms(n), scratch(n);
    nlfit::qrPivotFactor(m, n, a.get(), 1, {pivots.data(), rDiagonal.data(), norms.data(), scratch.data()});
    std::vector<double> qtb = b;
    for (int j = 0; j < n; ++j) {
      double dot = 0.0;
      for (int i = j; i < m; ++i) dot += a(i, j) * qtb[i];
      const double t = dot / a(j, j);
      for (int i = j; i < m; ++i) qtb[i] -= t * a(i, j);
      a(j, j) = rDiagonal[j];
    }
    qtb.resize(n);
    const Columns factored = a;

    std::vector<double> x(n), s(n), z(n);
    qrDampedSolve(n, a.get(), pivots.data(), d.data(), qtb.data(), x.data(), s.data(), z.data());

    double big = 0.0;  // scale of the entries of A^T A + D^2
    for (int j = 0; j < n; ++j) big = std::max(big, norms[j] * norms[j] + d[j] * d[j]);
    const double tolerance = 8.0 * m * nlfit::kMachineEpsilon * big;
    for (int j = 0; j < n; ++j) {
      EXPECT_SAME_BITS(x[pivots[j]], z[j]);
      for (int i = 0; i < m; ++i) {
        if (i <= j || i >= n) {
          EXPECT_SAME_BITS(factored.cols[j][i], a(i, j));
        }
      }
    }
    // S^T S = R^T R + P^T D^2 P, with S(k, i) = a(i, k) for k < i.
    auto sAt = [&](int k, int i) { return k == i ? s[k] : (k < i ? a(i, k) : 0.0); };
    auto rAt = [&](int k, int i) { return k <= i ? a(k, i) : 0.0; };
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        double sts = 0.0, rtr = (i == j) ? d[pivots[j]] * d[pivots[j]] : 0.0;
        for (int k = 0; k < n; ++k) {
          sts += sAt(k, i) * sAt(k, j);
          rtr += rAt(k, i) * rAt(k, j);
        }
        EXPECT_NEAR(sts, rtr, tolerance) << i << "," << j;
      }
    }
    // (A^T A + D^2) x = A^T b, to rounding relative to the size of its terms.
    const double kNormalSlack = 8.0 * m * n * nlfit::kMachineEpsilon;
    double xNorm = 0.0, bNorm = 0.0;
    for (double v : x) xNorm = std::max(xNorm, std::fabs(v));
    for (double v : b) bNorm = std::max(bNorm, std::fabs(v));
    std::vector<double> ax(m, 0.0);
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i < m; ++i) ax[i] += input.cols[j][i] * x[j];
    }
    for (int j = 0; j < n; ++j) {
      double lhs = d[j] * d[j] * x[j], rhs = 0.0;
      for (int i = 0; i < m; ++i) {
        lhs += input.cols[j][i] * ax[i];
        rhs += input.cols[j][i] * b[i];
      }
      EXPECT_NEAR(lhs, rhs, kNormalSlack * (big * xNorm + std::sqrt(big) * bNorm)) << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, QrDampedSolveRandom, testing::Values(1, 2, 3, 5, 9));

}  // namespace
