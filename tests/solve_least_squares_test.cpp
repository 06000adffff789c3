#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "fit/fit.h"
#include "solver/solver.h"
#include "test_support.h"

namespace {

using nlfit_test::captureStdout;
using nlfit_test::Columns;
using nlfit_test::countLinesStartingWith;
using nlfit_test::probe;

// ---- Residual functions; each records its call in probe() after writing
// the residuals. The nonlinear ones have twins in
// tests/data/traces/generate_traces.py.

// 2 x0 - 3: one residual, one parameter, solution 1.5.
void line(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = 2.0 * x[0] - 3.0;
  probe().record(n, x, flag);
}

// (x0, 1): near x0 = 0 the residual norm is 1 to machine precision.
void flat(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = x[0];
  f[1] = 1.0;
  probe().record(n, x, flag);
}

// x0 + 1 for x0 >= 1, and 100 on every point to the left, where every step
// leads: all trials are rejected until the step bound is exhausted.
void leftWall(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = x[0] >= 1.0 ? x[0] + 1.0 : 100.0;
  probe().record(n, x, flag);
}

// x0 * x1^i against data 4 * 0.7^i, perturbed by -0.01, 0, +0.01 in turn.
void geometricDecay(void*, int m, int n, const double* x, double* f, int* flag) {
  double model = x[0];
  double data = 4.0;
  for (int i = 0; i < m; ++i) {
    f[i] = model - (data + 0.01 * ((i % 3) - 1));
    model = model * x[1];
    data = data * 0.7;
  }
  probe().record(n, x, flag);
}

void rosenbrock(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = 10.0 * (x[1] - x[0] * x[0]);
  f[1] = 1.0 - x[0];
  probe().record(n, x, flag);
}

// (x0 + x1*t) / (1 + x2*t) at t = 0.5*i against (1 + 2t) / (1 + 0.3t),
// perturbed by -0.005, 0, +0.005 in turn.
void rational(void*, int m, int n, const double* x, double* f, int* flag) {
  for (int i = 0; i < m; ++i) {
    const double t = 0.5 * i;
    const double data = (1.0 + 2.0 * t) / (1.0 + 0.3 * t) + 0.005 * ((i % 3) - 1);
    f[i] = (x[0] + x[1] * t) / (1.0 + x[2] * t) - data;
  }
  probe().record(n, x, flag);
}

// 1 / x_i: every Gauss-Newton step doubles x; the minimum is at infinity.
void reciprocal(void*, int m, int n, const double* x, double* f, int* flag) {
  for (int i = 0; i < m; ++i) f[i] = 1.0 / x[i];
  probe().record(n, x, flag);
}

// ---- Running the driver, and lmIterate with the driver's settings.

struct Problem {
  nlfit::ResidualFunction fcn;
  int m;
  std::vector<double> start;
  int injectAt = 0;
  int injectValue = 0;
};

struct Outcome {
  int result = 99;
  int code = 99;
  int evals = 99;
  std::string output;
  std::vector<double> x, fvec;
  int lines() const { return countLinesStartingWith(output, "fnorm "); }
};

constexpr double kUnsetResidual = -77.0;

Outcome prepare(const Problem& p, int n) {
  Outcome out;
  out.x = p.start;
  out.x.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  out.fvec.assign(static_cast<std::size_t>(p.m > 0 ? p.m : 1), kUnsetResidual);
  probe().reset(p.injectAt, p.injectValue);
  return out;
}

// The plug-in's solver run, with its fixed settings.
Outcome solve(const Problem& p, double tolerance, int n, nlfit::ZeroedAllocator allocate = nlfit::zeroFilledAlloc) {
  Outcome out = prepare(p, n);
  const std::vector<int> mask(out.x.size() + 1, 1);
  out.output = captureStdout([&] {
    out.result = nlfit::solveWithFixedSettings(nlfit::ResidualProblem{p.fcn, nullptr, p.m, n}, out.x.data(), mask.data(),
                                               out.fvec.data(), tolerance, allocate, &out.code, &out.evals);
  });
  return out;
}

Outcome solve(const Problem& p, double tolerance) { return solve(p, tolerance, static_cast<int>(p.start.size())); }

Outcome iterateWithDriverSettings(const Problem& p, double tolerance) {
  const int n = static_cast<int>(p.start.size());
  Outcome out = prepare(p, n);
  const std::vector<int> mask(n, 1);
  nlfit::SolverOptions options;
  options.reductionTol = tolerance;
  options.stepTol = tolerance;
  const nlfit::SolverMemory memory(p.m, n, std::calloc);
  nlfit::SolverOutcome outcome;
  out.output = captureStdout([&] {
    nlfit::lmIterate(nlfit::ResidualProblem{p.fcn, nullptr, p.m, n}, out.x.data(), mask.data(), out.fvec.data(),
                     options, nlfit::progressLineSink(), memory.workspace(), &outcome);
  });
  out.code = outcome.terminationCode;
  out.evals = outcome.evalCount;
  return out;
}

void expectSameRun(const Outcome& expected, const Outcome& actual) {
  EXPECT_EQ(expected.evals, actual.evals);
  EXPECT_EQ(expected.output, actual.output);
  for (std::size_t j = 0; j < expected.x.size(); ++j) EXPECT_SAME_BITS(expected.x[j], actual.x[j]);
  for (std::size_t i = 0; i < expected.fvec.size(); ++i) EXPECT_SAME_BITS(expected.fvec[i], actual.fvec[i]);
}

// Restores unlimited allocation however the test ends.
struct AllocationLimit {
  explicit AllocationLimit(int allowed) { nlfit_test::allocationsLeft() = allowed; }
  ~AllocationLimit() { nlfit_test::allocationsLeft() = -1; }
};

// ---- Tests.

TEST(SolveLeastSquares, RefusesUnusableProblemsWithoutEvaluating) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Problem two{rosenbrock, 2, {-1.2, 1.0}};
  struct Case {
    const char* what;
    Problem problem;
    int n;
    double tolerance;
  };
  const std::vector<Case> cases = {
      {"n = 0", two, 0, 1e-10},
      {"n = -1", two, -1, 1e-10},
      {"n = 2, m = 1", Problem{rosenbrock, 1, {-1.2, 1.0}}, 2, 1e-10},
      {"tolerance -1e-300", two, 2, -1e-300},
      {"tolerance -infinity", two, 2, -std::numeric_limits<double>::infinity()},
      {"tolerance NaN", two, 2, nan},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome out = solve(c.problem, c.tolerance, c.n);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.code, nlfit::kRefusedInput);
    EXPECT_EQ(out.evals, 99);  // untouched
    EXPECT_EQ(probe().calls, 0);
    EXPECT_EQ(out.output, "");
    for (std::size_t j = 0; j < out.x.size(); ++j) EXPECT_EQ(out.x[j], c.problem.start[j]);
    for (double v : out.fvec) EXPECT_EQ(v, kUnsetResidual);
  }
}

TEST(SolveLeastSquares, AcceptsSmallestProblemAndNegativeZeroTolerance) {
  for (double tolerance : {-0.0, 0.0, 1e-10}) {
    SCOPED_TRACE(tolerance);
    Outcome out = solve(Problem{line, 1, {0.0}}, tolerance);
    EXPECT_EQ(out.result, 0);
    EXPECT_GT(out.code, 0);
    EXPECT_NEAR(out.x[0], 1.5, 1e-12);
    EXPECT_NEAR(out.fvec[0], 0.0, 1e-12);
  }
}

TEST(SolveLeastSquares, RunsTheIterationWithItsFixedSettingsAndReportsCodeEightAsFour) {
  struct Case {
    const char* what;
    Problem problem;
    double tolerance;
    int iterationCode;
    int driverCode;
  };
  const std::vector<Case> cases = {
      {"reduction", Problem{geometricDecay, 10, {1.0, 0.9}}, 1e-12, 1, 1},
      {"step bound", Problem{rosenbrock, 2, {-1.2, 1.0}}, 1e-10, 2, 2},
      {"budget", Problem{reciprocal, 4, {1.0, 2.0, 3.0, 4.0}}, 1e-10, 5, 5},
      {"reduction at precision", Problem{flat, 2, {1e-9}}, 0.0, 6, 6},
      {"step bound at precision", Problem{leftWall, 1, {1.0}}, 0.0, 7, 7},
      {"gradient at precision", Problem{flat, 2, {1e-17}}, 0.0, 8, 4},
      {"stopped at a trial", Problem{geometricDecay, 10, {1.0, 0.9}, 5, -3}, 1e-12, -3, -3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome direct = iterateWithDriverSettings(c.problem, c.tolerance);
    EXPECT_EQ(direct.code, c.iterationCode);
    const Outcome driven = solve(c.problem, c.tolerance);
    EXPECT_EQ(driven.result, 0);
    EXPECT_EQ(driven.code, c.driverCode);
    expectSameRun(direct, driven);
  }
}

TEST(SolveLeastSquares, AllocationFailureRefusesWithoutEvaluating) {
  const Problem p{rational, 8, {0.5, 1.0, 0.1}};
  const Outcome unlimited = solve(p, 1e-10);
  int allowed = 0;
  for (; allowed < 1000; ++allowed) {
    SCOPED_TRACE(allowed);
    Outcome out;
    {
      AllocationLimit limit(allowed);
      out = solve(p, 1e-10, static_cast<int>(p.start.size()), nlfit_test::limitedAllocation);
    }
    if (out.result == 0) {
      expectSameRun(unlimited, out);
      break;
    }
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.code, nlfit::kRefusedInput);
    EXPECT_EQ(out.evals, 99);
    EXPECT_EQ(probe().calls, 0);
    EXPECT_EQ(out.output, "");
    EXPECT_EQ(out.x, p.start);
  }
  EXPECT_GT(allowed, 0);
  EXPECT_LT(allowed, 1000);
}

// ---- Runs recorded independently (tests/data/traces).

class SolveLeastSquaresTrace : public testing::TestWithParam<const char*> {};

nlfit::ResidualFunction traceProblem(const std::string& name) {
  if (name == "geometric_decay") return geometricDecay;
  if (name == "rosenbrock") return rosenbrock;
  if (name == "rational") return rational;
  if (name == "reciprocal") return reciprocal;
  return nullptr;
}

TEST_P(SolveLeastSquaresTrace, MatchesRecordedRun) {
  const nlfit_test::Trace t =
      nlfit_test::readTrace(std::string(NLFIT_TEST_DATA_DIR "/traces/") + GetParam() + ".trace");
  ASSERT_TRUE(t.found);
  ASSERT_EQ(t["entry"], "driver");
  const std::vector<double> inject = t.reals("inject");
  const Problem p{traceProblem(t["problem"]), t.integer("m"), t.reals("start"), static_cast<int>(inject.at(0)),
                  static_cast<int>(inject.at(1))};
  ASSERT_NE(p.fcn, nullptr);
  const int n = t.integer("n");
  ASSERT_EQ(static_cast<int>(p.start.size()), n);

  Outcome out = solve(p, t.real("tolerance"));
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.output, t.progress);
  EXPECT_EQ(out.code, t.integer("code"));
  EXPECT_EQ(out.evals, t.integer("evals"));
  const std::vector<double> x = t.reals("x"), fvec = t.reals("fvec");
  ASSERT_EQ(x.size(), out.x.size());
  ASSERT_EQ(fvec.size(), out.fvec.size());
  for (std::size_t j = 0; j < x.size(); ++j) EXPECT_SAME_BITS(x[j], out.x[j]);
  for (std::size_t i = 0; i < fvec.size(); ++i) EXPECT_SAME_BITS(fvec[i], out.fvec[i]);

  // Counting: the start, n per Jacobian (one per progress line), one per
  // trial; the progress evaluations are not counted.
  const int trials = probe().callsWithFlag(1) - 1;
  EXPECT_EQ(out.evals, 1 + n * out.lines() + trials);
  EXPECT_EQ(probe().calls, out.evals + out.lines());
}

INSTANTIATE_TEST_SUITE_P(Recorded, SolveLeastSquaresTrace,
                         testing::Values("geometric_decay", "geometric_decay_small_start", "rosenbrock", "rational", "geometric_decay_abort",
                                         "reciprocal"));

}  // namespace
