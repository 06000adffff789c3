#include <gtest/gtest.h>

#include "solver/solver.h"

TEST(Smoke, NormOfThreeFour) {
  const double v[2] = {3.0, 4.0};
  EXPECT_EQ(nlfit::euclidNorm(2, v), 5.0);
}
