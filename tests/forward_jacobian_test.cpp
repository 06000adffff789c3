#include <algorithm>
#include <cmath>
#include <vector>

#include "data/kernels/expected_kernels.h"
#include "solver/solver.h"
#include "test_support.h"

namespace {

using nlfit::forwardJacobian;
using nlfit_test::Columns;

constexpr double kUntouched = 777.0;  // prefilled Jacobian entries
constexpr double kStep = 0x1p-26;     // sqrt(2^-52), the default relative step

// f_i(x) = i + sum_j kSlopes[i][j] * x[j]. With small integer slopes and the
// components used below, every moved residual and every difference is exact,
// so each Jacobian column reproduces its slopes exactly.
constexpr int kMaxSize = 4;
constexpr double kSlopes[kMaxSize][kMaxSize] = {
    {1, -2, 3, 1}, {0, 5, -1, 2}, {4, 0, 2, -3}, {-3, 1, 0, 4}};

// What the residual function saw, and how it answers.
struct CallLog {
  std::vector<std::vector<double>> points;
  std::vector<int> flagsSeen;
  int stopAtCall = -1;   // store -1 in evalFlag on this call (0-based)
  bool leaveFlag = false;
  int flagToLeave = 0;   // stored in evalFlag on the first call when leaveFlag
};
CallLog gLog;

void linearResiduals(void*, int m, int n, const double* x, double* fvec, int* evalFlag) {
  gLog.points.emplace_back(x, x + n);
  gLog.flagsSeen.push_back(*evalFlag);
  for (int i = 0; i < m; ++i) {
    double sum = i;
    for (int j = 0; j < n; ++j) sum = sum + kSlopes[i][j] * x[j];
    fvec[i] = sum;
  }
  const int call = static_cast<int>(gLog.flagsSeen.size()) - 1;
  if (call == 0 && gLog.leaveFlag) *evalFlag = gLog.flagToLeave;
  if (call == gLog.stopAtCall) *evalFlag = -1;
}

// Runs forwardJacobian on linearResiduals at x with a fresh log and a Jacobian
// prefilled with kUntouched.
struct JacobianRun {
  std::vector<double> x;
  std::vector<double> fvec;
  std::vector<double> work;
  Columns jacobian;
  int evalFlag = 2;

  JacobianRun(int m, std::vector<double> start, double diffStepRel = 0.0,
      CallLog log = CallLog())
      : x(std::move(start)), fvec(static_cast<std::size_t>(m)),
        work(static_cast<std::size_t>(m)), jacobian(m, static_cast<int>(x.size())) {
    const int n = static_cast<int>(x.size());
    for (auto& c : jacobian.cols) std::fill(c.begin(), c.end(), kUntouched);
    gLog = CallLog();
    linearResiduals(nullptr, m, n, x.data(), fvec.data(), &evalFlag);
    gLog = std::move(log);
    forwardJacobian(nlfit::ResidualProblem{linearResiduals, nullptr, m, n}, x.data(), fvec.data(),
                    jacobian.get(), &evalFlag, diffStepRel, nullptr, work.data());
  }
};

TEST(ForwardJacobian, RelativeStepIsRootOfDiffStepRelNeverBelowRootEpsilon) {
  struct Case { double diffStepRel; double step; };
  const Case cases[] = {{0.0, kStep}, {1e-20, kStep}, {0x1p-52, kStep},
                        {1e-6, 0.001}, {0x1p-50, 0x1p-25}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.diffStepRel);
    JacobianRun run(1, {0.0}, c.diffStepRel);  // a zero component moves by the bare step
    ASSERT_EQ(gLog.points.size(), 1u);
    EXPECT_SAME_BITS(c.step, gLog.points[0][0]);
    EXPECT_EQ(run.jacobian(0, 0), kSlopes[0][0]);
  }
}

TEST(ForwardJacobian, MovesOneComponentAtATimeByItsStep) {
  // Steps: 2^-26 for 0 (and -0), 2^-26*|x| otherwise, always upwards.
  const std::vector<double> start = {-0.0, -2.0, 3.0};
  const double moved[] = {1.4901161193847656e-08, -1.9999999701976776,
                          3.0000000447034836};
  JacobianRun run(4, start);
  ASSERT_EQ(gLog.points.size(), 3u);
  for (int call = 0; call < 3; ++call) {
    for (int j = 0; j < 3; ++j) {
      EXPECT_SAME_BITS(j == call ? moved[j] : start[j], gLog.points[call][j])
          << "call " << call << ", component " << j;
    }
    EXPECT_EQ(gLog.flagsSeen[call], 2);
  }
  for (int j = 0; j < 3; ++j) {
    EXPECT_SAME_BITS(start[j], run.x[j]);  // -0.0 comes back as -0.0
    for (int i = 0; i < 4; ++i) EXPECT_EQ(run.jacobian(i, j), kSlopes[i][j]) << i << "," << j;
  }
  // work holds the residuals at the last moved point.
  std::vector<double> last(4);
  int flag = 2;
  linearResiduals(nullptr, 4, 3, gLog.points[2].data(), last.data(), &flag);
  for (int i = 0; i < 4; ++i) EXPECT_SAME_BITS(last[i], run.work[i]);
}

TEST(ForwardJacobian, DividesByTheNominalStepNotTheRealisedOne) {
  // For x = 0.1, (x + h) - x differs from h in the last bits; f(x) = x turns
  // the quotient into ((x + h) - x) / h, which is not 1.
  const double x = 0.1;
  const double h = kStep * x;
  const double expected = ((x + h) - x) / h;
  ASSERT_NE(expected, 1.0);
  JacobianRun run(1, {x});
  EXPECT_SAME_BITS(expected, run.jacobian(0, 0));
  EXPECT_SAME_BITS(x, run.x[0]);
}

TEST(ForwardJacobian, TinyComponentWhoseStepRoundsToZeroIsNotMoved) {
  // 2^-26 * 1e-320 underflows to 0: the residuals are evaluated at the
  // unchanged point and every quotient is 0/0.
  JacobianRun run(4, {1e-320});
  ASSERT_EQ(gLog.points.size(), 1u);
  EXPECT_SAME_BITS(1e-320, gLog.points[0][0]);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isnan(run.jacobian(i, 0))) << i;
}

TEST(ForwardJacobian, NegativeFlagStopsAtOnceWithThatComponentRestored) {
  const std::vector<double> start = {1.0, 2.0, -3.0, 4.0};
  for (int stop = 0; stop < 4; ++stop) {
    SCOPED_TRACE(stop);
    CallLog log;
    log.stopAtCall = stop;
    JacobianRun run(4, start, 0.0, log);
    EXPECT_EQ(gLog.points.size(), static_cast<std::size_t>(stop + 1));
    EXPECT_EQ(run.evalFlag, -1);
    for (int j = 0; j < 4; ++j) {
      EXPECT_SAME_BITS(start[j], run.x[j]) << j;
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(run.jacobian(i, j), j < stop ? kSlopes[i][j] : kUntouched) << i << "," << j;
      }
    }
  }
}

TEST(ForwardJacobian, FlagLeftByTheResidualFunctionReachesLaterColumns) {
  // A nonnegative value, zero included, is passed on and does not stop.
  for (int left : {5, 0}) {
    SCOPED_TRACE(left);
    CallLog log;
    log.leaveFlag = true;
    log.flagToLeave = left;
    JacobianRun run(4, {1.0, 2.0, -3.0, 4.0}, 0.0, log);
    EXPECT_EQ(gLog.flagsSeen, (std::vector<int>{2, left, left, left}));
    EXPECT_EQ(run.evalFlag, left);
    for (int j = 0; j < 4; ++j) {
      for (int i = 0; i < 4; ++i) EXPECT_EQ(run.jacobian(i, j), kSlopes[i][j]);
    }
  }
}

TEST(ForwardJacobian, NoColumnsMeansNoEvaluations) {
  double x = 1.0;
  double fvec = 0.0;
  double work = 0.0;
  double* columns[] = {nullptr};
  int flag = 2;
  gLog = CallLog();
  forwardJacobian(nlfit::ResidualProblem{linearResiduals, nullptr, 1, 0}, &x, &fvec, columns, &flag, 0.0,
                  nullptr, &work);
  EXPECT_TRUE(gLog.points.empty());
}

// A rational residual in four parameters; its expected differences were
// computed independently in IEEE double arithmetic with the same operation
// order.
const kernel_data::JacobianCase* gCase = nullptr;

void rationalResiduals(void*, int m, int, const double* x, double* fvec, int*) {
  for (int i = 0; i < m; ++i) {
    const double t = gCase->t[i];
    fvec[i] = (x[0] + x[1] * t) / (1.0 + x[2] * t + x[3] * t * t) - gCase->y[i];
  }
}

TEST(ForwardJacobian, MatchesIndependentlyComputedDifferences) {
  for (const auto& c : kernel_data::kJacobianCases) {
    SCOPED_TRACE(c.diffStepRel);
    gCase = &c;
    std::vector<double> x(c.x, c.x + c.n), fvec(c.m), work(c.m);
    int flag = 1;
    rationalResiduals(nullptr, c.m, c.n, x.data(), fvec.data(), &flag);
    for (int i = 0; i < c.m; ++i) ASSERT_EQ(nlfit_test::bits(c.fvec[i]), nlfit_test::bits(fvec[i]));
    Columns jacobian(c.m, c.n);
    forwardJacobian(nlfit::ResidualProblem{rationalResiduals, nullptr, c.m, c.n}, x.data(), fvec.data(),
                    jacobian.get(), &flag, c.diffStepRel, nullptr, work.data());
    for (int j = 0; j < c.n; ++j) {
      for (int i = 0; i < c.m; ++i) EXPECT_SAME_BITS(c.jacobian[j * c.m + i], jacobian(i, j));
    }
  }
}

}  // namespace
