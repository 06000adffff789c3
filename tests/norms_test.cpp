#include <cmath>

#include "data/kernels/expected_kernels.h"
#include "solver/solver.h"
#include "test_support.h"

namespace {

using nlfit::columnTailNorm;
using nlfit::euclidNorm;
using nlfit_test::Columns;

TEST(EuclidNorm, SmallExactCases) {
  const double one[] = {-3.0};
  const double two[] = {3.0, 4.0};
  const double zeros[] = {0.0, 0.0, 0.0};
  EXPECT_EQ(euclidNorm(1, one), 3.0);
  EXPECT_EQ(euclidNorm(2, two), 5.0);
  EXPECT_EQ(euclidNorm(3, zeros), 0.0);
  EXPECT_EQ(euclidNorm(0, two), 0.0);
}

TEST(EuclidNorm, PlainSumOverflowsAndUnderflowsWithoutScaling) {
  const double big[] = {1e200, 1e200};
  const double tiny[] = {1e-170, 1e-170};
  EXPECT_TRUE(std::isinf(euclidNorm(2, big)));
  EXPECT_EQ(euclidNorm(2, tiny), 0.0);
}

TEST(ColumnTailNorm, MeasuresFromFirstRowDown) {
  Columns a({{0.0, 0.0, 0.0, 0.0}, {9.0, 1.0, 2.0, 2.0}, {5.0, 0.0, 0.0, 0.0}});
  EXPECT_EQ(columnTailNorm(4, 1, 1, a.get()), 3.0);
  EXPECT_EQ(columnTailNorm(4, 1, 0, a.get()), std::sqrt(90.0));
  EXPECT_EQ(columnTailNorm(4, 1, 3, a.get()), 2.0);
  EXPECT_EQ(columnTailNorm(4, 2, 1, a.get()), 0.0);
  EXPECT_EQ(columnTailNorm(4, 1, 4, a.get()), 0.0);  // empty range
}

// Expected values below were computed independently in IEEE double
// arithmetic; a reordered, pairwise or scaled sum differs in the last bits.
TEST(EuclidNorm, MatchesIndependentlyComputedSums) {
  for (const auto& c : kernel_data::kEuclidNormCases) {
    EXPECT_SAME_BITS(c.norm, euclidNorm(c.n, c.x)) << "n = " << c.n;
  }
}

TEST(ColumnTailNorm, MatchesIndependentlyComputedSums) {
  for (const auto& c : kernel_data::kTailNormCases) {
    Columns a = Columns::fromColumnMajor(c.m, c.columns, c.matrix);
    EXPECT_SAME_BITS(c.norm, columnTailNorm(c.m, c.column, c.firstRow, a.get()))
        << "column " << c.column << ", first row " << c.firstRow;
  }
}

}  // namespace
