#include <cmath>
#include <limits>
#include <vector>

#include "solver/solver.h"
#include "test_support.h"

namespace {

using nlfit::kSmallestNormal;
using nlfit_test::Columns;

constexpr double kUnwritten = 123.25;  // marks storage a call must not touch

// One lmParameter problem: R given by its rows (entries below the diagonal
// are ignored and preset to kUnwritten), the permutation, D and Q^T*f.
struct Problem {
  std::vector<std::vector<double>> rows;
  std::vector<int> pivots;
  std::vector<double> scale;
  std::vector<double> qtf;
};

struct Result {
  double lmPar;
  std::vector<double> step;
  std::vector<double> sDiagonal;
  Columns r;
};

Result solve(const Problem& p, double stepBound, double lmPar) {
  const int n = static_cast<int>(p.scale.size());
  Result out{lmPar, std::vector<double>(n, 0.0), std::vector<double>(n, kUnwritten), Columns(n, n)};
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) out.r(i, j) = (i <= j) ? p.rows[i][j] : kUnwritten;
  }
  std::vector<double> pivoted(n), damping(n), scaledStep(n), pivotedSolution(n);
  nlfit::lmParameter(n, {out.r.get(), p.pivots.data(), p.scale.data(), p.qtf.data()}, stepBound, &out.lmPar,
                     out.step.data(),
                     {out.sDiagonal.data(), pivoted.data(), damping.data(), scaledStep.data(), pivotedSolution.data()});
  for (int i = 0; i < n; ++i) {
    for (int j = i; j < n; ++j) EXPECT_EQ(out.r(i, j), p.rows[i][j]) << "R(" << i << ", " << j << ")";
  }
  return out;
}

double scaledLength(const Problem& p, const std::vector<double>& step) {
  double sum = 0.0;
  for (std::size_t j = 0; j < step.size(); ++j) sum += (p.scale[j] * step[j]) * (p.scale[j] * step[j]);
  return std::sqrt(sum);
}

bool writesLowerTriangleOrDiagonal(const Result& res) {
  const int n = static_cast<int>(res.sDiagonal.size());
  for (int j = 0; j < n; ++j) {
    if (res.sDiagonal[j] != kUnwritten) return true;
    for (int i = j + 1; i < n; ++i) {
      if (res.r.cols[j][i] != kUnwritten) return true;
    }
  }
  return false;
}

void expectSameResult(const Result& a, const Result& b, double incomingA, double incomingB) {
  SCOPED_TRACE(testing::Message() << "incoming lmPar " << incomingA << " vs " << incomingB);
  EXPECT_SAME_BITS(a.lmPar, b.lmPar);
  for (std::size_t j = 0; j < a.step.size(); ++j) EXPECT_SAME_BITS(a.step[j], b.step[j]);
}

TEST(LmParameter, ShortGaussNewtonStepIsReturnedWithZeroParameterAndNoDampedSolve) {
  // R z = qtf gives z = (1, 2), so x = (2, 1) under pivots (1, 0); |D x| = sqrt(5).
  const Problem p{{{2.0, 1.0}, {0.0, 4.0}}, {1, 0}, {1.0, 1.0}, {4.0, 8.0}};
  Result res = solve(p, 10.0, 0.7);
  EXPECT_EQ(res.lmPar, 0.0);
  EXPECT_EQ(res.step, (std::vector<double>{2.0, 1.0}));
  EXPECT_FALSE(writesLowerTriangleOrDiagonal(res));

  // Accepted up to 1.1 * stepBound inclusive: |D x| = 11 against 10, not 9.99.
  const Problem edge{{{1.0, 0.0}, {0.0, 1.0}}, {0, 1}, {1.0, 1.0}, {0.0, 11.0}};
  EXPECT_EQ(solve(edge, 10.0, 0.7).lmPar, 0.0);
  Result longer = solve(edge, 9.99, 0.7);
  EXPECT_GT(longer.lmPar, 0.0);
  EXPECT_TRUE(writesLowerTriangleOrDiagonal(longer));
}

TEST(LmParameter, ZeroOnDiagonalZeroesLaterComponentsAndLowerBound) {
  // R(1, 1) = 0 while R(2, 2) = 4: the Gauss-Newton components from position
  // 1 on are zero, so x = (0, 0, 2) under pivots (2, 0, 1).
  Problem p{{{2.0, 1.0, 1.0}, {0.0, 0.0, 1.0}, {0.0, 0.0, 4.0}}, {2, 0, 1}, {1.0, 1.0, 1.0}, {4.0, 3.0, 8.0}};
  Result gaussNewton = solve(p, 10.0, 0.7);
  EXPECT_EQ(gaussNewton.lmPar, 0.0);
  EXPECT_EQ(gaussNewton.step, (std::vector<double>{0.0, 0.0, 2.0}));

  // With stepBound 1 (Gauss-Newton length 2) and no lower bound, the first
  // damped step no longer than the Gauss-Newton one ends the search: the
  // incoming lmPar comes back unchanged, the length far from the bound.
  for (double incoming : {30.0, 3.0}) {
    SCOPED_TRACE(incoming);
    Result res = solve(p, 1.0, incoming);
    EXPECT_EQ(res.lmPar, incoming);
    const double length = scaledLength(p, res.step);
    EXPECT_TRUE(length < 0.9 || length > 1.1) << length;
    EXPECT_LT(length, 2.0);
  }

  // The same with full rank: the search goes on until the length fits.
  p.rows[1][1] = 0.5;
  Result full = solve(p, 1.0, 30.0);
  EXPECT_NE(full.lmPar, 30.0);
  EXPECT_NEAR(scaledLength(p, full.step), 1.0, 0.1);
}

TEST(LmParameter, IncomingValueIsClampedIntoTheBracket) {
  const Problem p{{{3.0, 1.0}, {0.0, 0.5}}, {1, 0}, {2.0, 1.0}, {4.0, 2.0}};
  const double stepBound = 0.5;
  // Every value at or below the lower bound starts the search at the lower
  // bound, every value at or above the upper bound at the upper bound.
  const std::vector<std::vector<double>> groups = {
      {0.0, 1e-300, 1e-3}, {1e10, 1e300, std::numeric_limits<double>::infinity()}};
  std::vector<double> firstPars;
  for (const auto& group : groups) {
    Result first = solve(p, stepBound, group[0]);
    for (std::size_t k = 1; k < group.size(); ++k) {
      expectSameResult(first, solve(p, stepBound, group[k]), group[0], group[k]);
    }
    EXPECT_NEAR(scaledLength(p, first.step), stepBound, 0.1 * stepBound);
    firstPars.push_back(first.lmPar);
  }
  // A value inside the bracket starts elsewhere.
  Result inside = solve(p, stepBound, 1.0);
  EXPECT_NE(inside.lmPar, firstPars[0]);
  EXPECT_NE(inside.lmPar, firstPars[1]);

  // Incoming 0 with lower bound 0 (singular R) starts at |gradient| / |D x_GN|
  // = 8 / 2, which the single damped solve keeps.
  const Problem singular{{{2.0, 0.0}, {0.0, 0.0}}, {0, 1}, {1.0, 1.0}, {4.0, 3.0}};
  EXPECT_EQ(solve(singular, 1.0, 0.0).lmPar, 4.0);
}

TEST(LmParameter, UpperBoundFallsBackWhenGradientVanishes) {
  // R = 1e-200: the Gauss-Newton step qtf / R is long, but the gradient
  // R * qtf underflows to 0. The upper bound is then kSmallestNormal divided
  // by min(stepBound, 0.1), and an incoming lmPar of 1 is clamped to it.
  struct Case {
    double qtf, stepBound, expected;
  };
  for (const Case& c : {Case{1e-100, 1e50, kSmallestNormal / 0.1},
                        Case{1e-200, 0.02, kSmallestNormal / 0.02}}) {
    SCOPED_TRACE(c.stepBound);
    const Problem p{{{1e-200}}, {0}, {1.0}, {c.qtf}};
    EXPECT_SAME_BITS(c.expected, solve(p, c.stepBound, 1.0).lmPar);
  }
}

TEST(LmParameter, SearchEndsAfterTenDampedSolves) {
  // A nearly singular R on which the Newton search on lmPar is still short
  // of the bound after ten solves. Expected outputs computed independently
  // in IEEE double arithmetic.
  struct Case {
    std::vector<int> pivots;
    double lmPar;
    std::vector<double> step;
  };
  const std::vector<Case> cases = {
      {{0, 1, 2}, 0x1.0c98c3bd097b6p-84, {-0x1.30624fcc57f24p-2, -0x1.2e7ddcf2cae7cp-18, 0x1.f81f81f81f819p-4}},
      {{2, 0, 1}, 0x1.ecf75163eddd8p-86, {-0x1.4e69c3674a040p-18, 0x1.f81f81f81f816p-4, 0x1.600ec2ecd7a27p-15}},
  };
  for (const Case& c : cases) {
    const Problem p{{{-8e-4, -500.0, -0.02}, {0.0, -1.7e-8, 650.0}, {0.0, 0.0, -5.6e-7}},
                    c.pivots, {0.22, 0.26, 0.25}, {3e-5, 80.0, -1.6e-5}};
    Result res = solve(p, 0.06, 0.0);
    EXPECT_SAME_BITS(c.lmPar, res.lmPar);
    for (std::size_t j = 0; j < c.step.size(); ++j) EXPECT_SAME_BITS(c.step[j], res.step[j]);
    EXPECT_GT(std::fabs(scaledLength(p, res.step) - 0.06), 0.006);  // not converged
  }
}

}  // namespace
