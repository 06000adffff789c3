#include <algorithm>
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

// ---- Residual functions. Each records its call in probe() after writing
// the residuals, so a test can count calls and inject a flag value.

// Least squares of A x = y, A = (1 1; 1 -1; 2 1), y = (3, 1, 6): solution
// (16/7, 8/7) with a nonzero residual.
void linear(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = x[0] + x[1] - 3.0;
  f[1] = x[0] - x[1] - 1.0;
  f[2] = 2.0 * x[0] + x[1] - 6.0;
  probe().record(n, x, flag);
}

// x1 does not enter: the Jacobian's second column is zero.
void firstOnly(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = x[0] - 1.0;
  f[1] = 2.0 * x[0] - 2.5;
  f[2] = 3.0 * x[0] - 2.5;
  probe().record(n, x, flag);
}

// f_i = x_i - (i + 1): zero at (1, 2, ...), with an exact identity Jacobian.
void offsets(void*, int m, int n, const double* x, double* f, int* flag) {
  for (int i = 0; i < m; ++i) f[i] = x[i] - (i + 1.0);
  probe().record(n, x, flag);
}

// (x0, 1): near x0 = 0 the residual norm is 1 to machine precision.
void flat(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = x[0];
  f[1] = 1.0;
  probe().record(n, x, flag);
}

// Independent of x: zero Jacobian.
void constant(void*, int m, int n, const double* x, double* f, int* flag) {
  for (int i = 0; i < m; ++i) f[i] = 1.0;
  probe().record(n, x, flag);
}

// x0 + 1 for x0 >= 1, and 100 (over fifty times larger) on every point to the
// left, where every step leads.
void leftWall(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = x[0] >= 1.0 ? x[0] + 1.0 : 100.0;
  probe().record(n, x, flag);
}

// x0 - 3 below a wall at 2.5, where the residual jumps to 1000; plus a
// constant residual 50 that keeps the predicted reductions small.
void walledLine(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = x[0] < 2.5 ? x[0] - 3.0 : 1000.0;
  f[1] = 50.0;
  probe().record(n, x, flag);
}

// A peak x0 / (1 + x2*(t - x1)^2) at t = 0.5*i against 2 / (1 + 0.8*(t - 1.5)^2),
// perturbed by -0.01, 0, +0.01 in turn.
void lorentzian(void*, int m, int n, const double* x, double* f, int* flag) {
  for (int i = 0; i < m; ++i) {
    const double t = 0.5 * i;
    const double d = t - 1.5;
    const double data = 2.0 / (1.0 + 0.8 * (d * d)) + 0.01 * ((i % 3) - 1);
    const double e = t - x[1];
    f[i] = x[0] / (1.0 + x[2] * (e * e)) - data;
  }
  probe().record(n, x, flag);
}

// x0 - 1 and 2, except NaN at the Jacobian's moved points (x0 != 3).
void nanSlope(void*, int, int n, const double* x, double* f, int* flag) {
  f[0] = (*flag == 2 && x[0] != 3.0) ? std::numeric_limits<double>::quiet_NaN() : x[0] - 1.0;
  f[1] = 2.0;
  probe().record(n, x, flag);
}

// ---- Running lmIterate.

struct RunSetup {
  nlfit::ResidualFunction fcn;
  int m;
  std::vector<double> start;
  double reductionTol = 1e-10;
  double stepTol = 1e-10;
  double gradientTol = 0.0;
  int maxEvaluations = 800;
  double diffStepRel = 0.0;
  std::vector<double> scale;  // empty: zeros
  int scaleMode = 1;
  double stepFactor = 10.0;
  std::vector<int> mask;      // empty: all free
  nlfit::JacobianFunction jacobian = nullptr;
  int injectAt = 0;
  int injectValue = 0;
  int n() const { return static_cast<int>(start.size()); }
};

RunSetup problem(nlfit::ResidualFunction fcn, int m, std::vector<double> start) {
  RunSetup s;
  s.fcn = fcn;
  s.m = m;
  s.start = std::move(start);
  return s;
}

RunSetup tolerances(RunSetup s, double reduction, double step, double gradient = 0.0, int maxEvaluations = 800) {
  s.reductionTol = reduction;
  s.stepTol = step;
  s.gradientTol = gradient;
  s.maxEvaluations = maxEvaluations;
  return s;
}

RunSetup injecting(RunSetup s, int atCall, int value) {
  s.injectAt = atCall;
  s.injectValue = value;
  return s;
}

struct Outcome {
  int code = 99;
  int evals = 99;
  int jacobians = 99;
  std::string output;
  std::vector<double> x, fvec, scale;
  int lines() const { return countLinesStartingWith(output, "fnorm "); }
};

constexpr double kUnsetResidual = -77.0;

Outcome run(const RunSetup& s, int n) {
  const int m = s.m;
  Outcome out;
  out.x = s.start;
  out.x.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  out.fvec.assign(static_cast<std::size_t>(m > 0 ? m : 1), kUnsetResidual);
  out.scale = s.scale;
  out.scale.resize(out.x.size(), 0.0);
  std::vector<int> mask = s.mask;
  mask.resize(out.x.size(), 1);
  nlfit::SolverOptions options;
  options.reductionTol = s.reductionTol;
  options.stepTol = s.stepTol;
  options.gradientTol = s.gradientTol;
  options.maxEvaluations = s.maxEvaluations;
  options.diffStepRel = s.diffStepRel;
  options.callerScaling = (s.scaleMode == 2);
  options.stepFactor = s.stepFactor;
  const nlfit::SolverMemory memory(m > 0 ? m + 1 : 1, static_cast<int>(out.x.size()) + 1, std::calloc);
  const nlfit::SolverWorkspace& work = memory.workspace();
  std::copy(out.scale.begin(), out.scale.end(), work.scaleFactors);
  // The plug-in's progress line, with the residuals evaluated again for it.
  const nlfit::ProgressSink sink = nlfit::progressLineSink();
  nlfit::ResidualProblem problem{s.fcn, nullptr, m, n};
  problem.jacobian = s.jacobian;
  probe().reset(s.injectAt, s.injectValue);
  nlfit::SolverOutcome outcome;
  out.output = captureStdout([&] {
    nlfit::lmIterate(problem, out.x.data(), mask.data(), out.fvec.data(), options, sink, work, &outcome);
  });
  out.code = outcome.terminationCode;
  out.evals = outcome.evalCount;
  out.jacobians = outcome.jacobianCount;
  std::copy(work.scaleFactors, work.scaleFactors + out.scale.size(), out.scale.begin());
  return out;
}

Outcome run(const RunSetup& s) { return run(s, s.n()); }

void expectSameOutcome(const Outcome& expected, const Outcome& actual) {
  EXPECT_EQ(expected.code, actual.code);
  EXPECT_EQ(expected.evals, actual.evals);
  EXPECT_EQ(expected.output, actual.output);
  for (std::size_t j = 0; j < expected.x.size(); ++j) EXPECT_SAME_BITS(expected.x[j], actual.x[j]);
  for (std::size_t i = 0; i < expected.fvec.size(); ++i) EXPECT_SAME_BITS(expected.fvec[i], actual.fvec[i]);
}

// ---- Tests.

TEST(LmIterate, RefusesUnusableInputWithoutEvaluating) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    RunSetup setup;
    int n;
  };
  RunSetup base = problem(linear, 3, {0.5, 0.25});
  std::vector<Case> cases = {{"n = 0", base, 0}, {"n = -1", base, -1}, {"m < n", problem(linear, 1, {0.5, 0.25}), 2}};
  for (int maxEvaluations : {0, -5}) {
    cases.push_back({"maxEvaluations <= 0", tolerances(base, 1e-10, 1e-10, 0.0, maxEvaluations), 2});
  }
  for (double stepFactor : {0.0, -1.0, nan}) {
    RunSetup s = base;
    s.stepFactor = stepFactor;
    cases.push_back({"stepFactor not positive", s, 2});
  }
  for (double factor : {0.0, -1.0, nan}) {
    RunSetup s = base;
    s.scaleMode = 2;
    s.scale = {1.0, factor};
    cases.push_back({"scaleMode 2 with a factor not positive", s, 2});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome out = run(c.setup, c.n);
    EXPECT_EQ(out.code, nlfit::kRefusedInput);
    EXPECT_EQ(out.evals, 0);
    EXPECT_EQ(probe().calls, 0);
    EXPECT_EQ(out.output, "");
    for (std::size_t j = 0; j < out.x.size(); ++j) EXPECT_EQ(out.x[j], c.setup.start[j]);
    for (double v : out.fvec) EXPECT_EQ(v, kUnsetResidual);
  }
}

// The exact Jacobian of linear(); asks to stop anywhere but at the start.
void linearJacobian(void*, int, int, const double* x, const double*, nlfit::ColumnMatrix j, int* flag) {
  const double a[3][2] = {{1, 1}, {1, -1}, {2, 1}};
  for (int i = 0; i < 3; ++i) {
    j[0][i] = a[i][0];
    j[1][i] = a[i][1];
  }
  if (x[0] != 0.5) *flag = -3;
}

TEST(LmIterate, TakesTheJacobianFromAHookAndCountsItApart) {
  RunSetup s = tolerances(problem(linear, 3, {0.5, 0.25}), 0.0, 0.0, 0.0, 800);
  s.jacobian = linearJacobian;
  const Outcome out = run(s);
  // The second Jacobian asks to stop: one Jacobian, no difference column.
  EXPECT_EQ(out.code, -3);
  EXPECT_EQ(out.jacobians, 2);
  EXPECT_EQ(out.evals, 2);  // the start and one trial, nothing for the Jacobian
  // One Gauss-Newton step from the exact Jacobian solves the linear problem.
  EXPECT_NEAR(out.x[0], 16.0 / 7.0, 1e-14);
  EXPECT_NEAR(out.x[1], 8.0 / 7.0, 1e-14);
}

TEST(LmIterate, ReachesEveryTerminationCodeAndLaterTestsWin) {
  struct Case {
    const char* what;
    RunSetup setup;
    int code;
    int evals;
  };
  const RunSetup lin = problem(linear, 3, {0.5, 0.25});
  const RunSetup nearlyFlat = problem(flat, 2, {1e-9});
  const RunSetup flatter = problem(flat, 2, {1e-17});
  const std::vector<Case> cases = {
      {"test 1 alone", tolerances(lin, 10.0, -1.0), 1, 4},
      {"test 2 alone", tolerances(lin, -1.0, 1e300), 2, 4},
      {"tests 1 and 2", tolerances(lin, 10.0, 1e300), 3, 4},
      {"gradient test", tolerances(lin, 1e-10, 1e-10, 1.5), 4, 3},
      {"zero residuals at the start", problem(offsets, 2, {1.0, 2.0}), 4, 3},
      {"budget of one evaluation", tolerances(lin, 1e-10, 1e-10, 0.0, 1), 5, 4},
      {"test 2 and the budget", tolerances(lin, -1.0, 1e300, 0.0, 1), 5, 4},
      {"test 5", tolerances(nearlyFlat, -1.0, -1.0), 6, 3},
      {"tests 1 and 5", tolerances(nearlyFlat, 1.0, -1.0), 6, 3},
      {"test 6 after rejected steps", tolerances(problem(leftWall, 1, {1.0}), -1.0, -1.0), 7, 8},
      {"tests 1, 5 and 7", tolerances(flatter, 1.0, -1.0), 8, 3},
      {"test 7 and the budget", tolerances(flatter, -1.0, -1.0, 0.0, 1), 8, 3},
      {"tests 1, 2, 3, 5, 6 and 7", tolerances(problem(constant, 2, {1.0, 2.0}), 0.0, 0.0, -1.0), 8, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome out = run(c.setup);
    EXPECT_EQ(out.code, c.code);
    EXPECT_EQ(out.evals, c.evals);
  }
  // Zero residuals at the start: one line with the value 0, x unchanged.
  Outcome zero = run(problem(offsets, 2, {1.0, 2.0}));
  EXPECT_EQ(zero.output, "fnorm 0.000000000000000e+00\n");
  EXPECT_EQ(zero.x, (std::vector<double>{1.0, 2.0}));
}

TEST(LmIterate, CountsEvaluationsCallsAndProgressLines) {
  const std::vector<RunSetup> setups = {
      problem(linear, 3, {0.5, 0.25}),       problem(firstOnly, 3, {0.0, 7.0}),
      problem(offsets, 2, {1.0, 2.0}),       tolerances(problem(leftWall, 1, {1.0}), -1.0, -1.0),
      problem(walledLine, 2, {1.0}),         problem(lorentzian, 9, {1.5, 1.0, 0.5}),
      tolerances(problem(linear, 3, {0.5, 0.25}), 1e-10, 1e-10, 0.0, 1),
  };
  for (std::size_t k = 0; k < setups.size(); ++k) {
    SCOPED_TRACE(k);
    const int n = setups[k].n();
    Outcome out = run(setups[k]);
    const int jacobians = out.lines();
    const int trials = probe().callsWithFlag(1) - 1;  // the first call is the start
    EXPECT_GE(jacobians, 1);
    EXPECT_EQ(out.evals, 1 + n * jacobians + trials);
    EXPECT_EQ(probe().calls, out.evals + jacobians);  // progress evaluations are not counted
    EXPECT_EQ(probe().callsWithFlag(2), (n + 1) * jacobians);
    EXPECT_EQ(probe().flagsSeen.front(), 1);
    EXPECT_LE(out.evals, std::max(setups[k].maxEvaluations, 1 + n) + n);
  }
}

TEST(LmIterate, NegativeFlagStopsTheRunWhereItIsStored) {
  // linear with n = 2: call 1 is the start, calls 2-3 the Jacobian, call 4
  // the progress evaluation, call 5 the first trial.
  const RunSetup lin = problem(linear, 3, {0.5, 0.25});
  const Outcome plain = run(lin);
  std::vector<int> progressCalls;  // the last of each group of n + 1 calls flagged 2
  for (int call = 1, twos = 0; call <= probe().calls; ++call) {
    twos = (probe().flagsSeen[call - 1] == 2) ? twos + 1 : 0;
    if (twos == 3) progressCalls.push_back(call);
  }
  const std::vector<double> startResiduals = {0.5 + 0.25 - 3.0, 0.5 - 0.25 - 1.0, 2.0 * 0.5 + 0.25 - 6.0};

  Outcome atStart = run(injecting(lin, 1, -3));
  EXPECT_EQ(atStart.code, -3);
  EXPECT_EQ(atStart.evals, 1);
  EXPECT_EQ(probe().calls, 1);
  EXPECT_EQ(atStart.output, "");
  EXPECT_EQ(atStart.x, lin.start);
  EXPECT_EQ(atStart.fvec, startResiduals);

  Outcome inJacobian = run(injecting(lin, 3, -3));
  EXPECT_EQ(inJacobian.code, -3);
  EXPECT_EQ(inJacobian.evals, 3);  // the Jacobian counts n even when cut short
  EXPECT_EQ(probe().calls, 3);
  EXPECT_EQ(inJacobian.output, "");
  EXPECT_EQ(inJacobian.x[0], 0.5);
  EXPECT_EQ(inJacobian.x[1], 0.25);  // the moved component restored: the last accepted point

  Outcome atTrial = run(injecting(lin, 5, -3));
  EXPECT_EQ(atTrial.code, -3);
  EXPECT_EQ(atTrial.evals, 4);
  EXPECT_EQ(probe().calls, 5);
  EXPECT_EQ(atTrial.lines(), 1);
  EXPECT_EQ(atTrial.x, lin.start);
  EXPECT_EQ(atTrial.fvec, startResiduals);  // from the progress evaluation

  // Only at a progress evaluation: ignored while a step follows ...
  ASSERT_GE(progressCalls.size(), 2u);
  ASSERT_NE(plain.code, nlfit::kGradientConverged);
  for (int call : progressCalls) {
    SCOPED_TRACE(call);
    expectSameOutcome(plain, run(injecting(lin, call, -3)));
  }
  // ... but reported when the gradient test ends that outer iteration.
  Outcome zeroStart = run(injecting(problem(offsets, 2, {1.0, 2.0}), 4, -3));
  EXPECT_EQ(zeroStart.code, -3);
  EXPECT_EQ(zeroStart.evals, 3);
  EXPECT_EQ(zeroStart.output, "fnorm 0.000000000000000e+00\n");
}

TEST(LmIterate, PositiveFlagChangesNothing) {
  const RunSetup lin = problem(linear, 3, {0.5, 0.25});
  const Outcome plain = run(lin);
  const int calls = probe().calls;
  for (int call = 1; call <= calls; ++call) {
    SCOPED_TRACE(call);
    expectSameOutcome(plain, run(injecting(lin, call, 7)));
  }
  // A value stored in the Jacobian's first column reaches the second column
  // and the progress evaluation.
  run(injecting(lin, 2, 7));
  EXPECT_EQ(probe().flagsSeen[2], 7);
  EXPECT_EQ(probe().flagsSeen[3], 7);
  EXPECT_EQ(probe().flagsSeen[4], 1);
}

TEST(LmIterate, ScaleFactors) {
  // scaleMode 2: the caller's factors are used and left as they are.
  RunSetup fixed = problem(linear, 3, {0.5, 0.25});
  fixed.scaleMode = 2;
  fixed.scale = {3.0, 0.125};
  Outcome out = run(fixed);
  EXPECT_EQ(out.scale, fixed.scale);
  EXPECT_GT(out.lines(), 0);

  // Any other mode ignores what the factors held on entry.
  RunSetup automatic = problem(linear, 3, {0.5, 0.25});
  const Outcome fromZeros = run(automatic);
  for (int mode : {1, 0, 7}) {
    SCOPED_TRACE(mode);
    automatic.scaleMode = mode;
    automatic.scale = {1e300, -5.0};
    Outcome other = run(automatic);
    expectSameOutcome(fromZeros, other);
    EXPECT_EQ(other.scale, fromZeros.scale);
  }
  // The columns of linear have norms sqrt(6) and sqrt(3), up to the rounding
  // of the differences.
  EXPECT_NEAR(fromZeros.scale[0], std::sqrt(6.0), 1e-6);
  EXPECT_NEAR(fromZeros.scale[1], std::sqrt(3.0), 1e-6);

  // A zero Jacobian column gets the factor 1; its parameter never moves.
  Outcome deficient = run(problem(firstOnly, 3, {0.0, 7.0}));
  EXPECT_EQ(deficient.scale[1], 1.0);
  EXPECT_EQ(deficient.x[1], 7.0);
  EXPECT_NEAR(deficient.x[0], 13.5 / 14.0, 1e-9);
}

TEST(LmIterate, ConvergesOnLinearProblem) {
  Outcome out = run(problem(linear, 3, {0.5, 0.25}));
  EXPECT_GE(out.code, 1);
  EXPECT_NEAR(out.x[0], 16.0 / 7.0, 1e-9);
  EXPECT_NEAR(out.x[1], 8.0 / 7.0, 1e-9);
}

TEST(LmIterate, StepBoundShrinksWithoutFloorAfterResidualsGrowTenfold) {
  // The Gauss-Newton step goes from 1 to 3, beyond the wall: the trial norm
  // is far above ten times fnorm, so the actual reduction is -1 and the
  // shrink factor 0.5 d / (d - 0.5), with d = -(2 / fnorm)^2, about 0.0016.
  // The next step must fit the bound 2 * that factor.
  Outcome out = run(tolerances(problem(walledLine, 2, {1.0}), -1.0, -1.0, 0.0, 4));
  EXPECT_EQ(out.code, nlfit::kEvaluationLimit);
  ASSERT_EQ(probe().calls, 5);
  EXPECT_EQ(probe().points[3][0], 3.0);
  const double fnorm = std::sqrt(4.0 + 2500.0);
  const double d = -(2.0 / fnorm) * (2.0 / fnorm);
  const double bound = 2.0 * (0.5 * d / (d - 0.5));
  const double step = probe().points[4][0] - 1.0;
  EXPECT_NEAR(step, bound, 0.1 * bound);
  EXPECT_EQ(out.x[0], 1.0 + step);  // accepted
}

TEST(LmIterate, NanJacobianGivesRejectedStepAndZeroGradientMeasure) {
  // The NaN column gives a NaN step and trial point, hence a NaN reduction
  // ratio: the step is rejected and x keeps its value. The gradient measure is
  // max(0, NaN) = 0, so test 7 ends the run after that trial.
  Outcome out = run(tolerances(problem(nanSlope, 2, {3.0}), 1e-10, 1e-10, -1.0, 10));
  EXPECT_EQ(out.code, nlfit::kGradientAtPrecision);
  EXPECT_EQ(out.evals, 3);
  EXPECT_EQ(out.x[0], 3.0);
  EXPECT_EQ(out.fvec, (std::vector<double>{2.0, 2.0}));
  EXPECT_TRUE(std::isnan(probe().points.back()[0]));
}

// ---- Runs recorded independently (tests/data/traces).

class LmIterateTrace : public testing::TestWithParam<const char*> {};

nlfit::ResidualFunction traceProblem(const std::string& name) {
  if (name == "walled_line") return walledLine;
  if (name == "lorentzian") return lorentzian;
  return nullptr;
}

TEST_P(LmIterateTrace, MatchesRecordedRun) {
  const nlfit_test::Trace t = nlfit_test::readTrace(std::string(NLFIT_TEST_DATA_DIR "/traces/") + GetParam() + ".trace");
  ASSERT_TRUE(t.found);
  ASSERT_EQ(t["entry"], "iterate");
  RunSetup s = problem(traceProblem(t["problem"]), t.integer("m"), t.reals("start"));
  ASSERT_NE(s.fcn, nullptr);
  ASSERT_EQ(s.n(), t.integer("n"));
  s = tolerances(s, t.real("reductionTol"), t.real("stepTol"), t.real("gradientTol"), t.integer("maxEvaluations"));
  s.diffStepRel = t.real("diffStepRel");
  s.scale = t.reals("scale");
  s.scaleMode = t.integer("scaleMode");
  s.stepFactor = t.real("stepFactor");
  for (double v : nlfit_test::parseDoubles(t["mask"])) s.mask.push_back(static_cast<int>(v));
  const std::vector<double> inject = t.reals("inject");
  s = injecting(s, static_cast<int>(inject.at(0)), static_cast<int>(inject.at(1)));

  Outcome out = run(s);
  EXPECT_EQ(out.output, t.progress);
  EXPECT_EQ(out.code, t.integer("code"));
  EXPECT_EQ(out.evals, t.integer("evals"));
  const std::vector<double> x = t.reals("x"), fvec = t.reals("fvec"), scale = t.reals("scaleOut");
  ASSERT_EQ(x.size(), out.x.size());
  ASSERT_EQ(fvec.size(), out.fvec.size());
  ASSERT_EQ(scale.size(), out.scale.size());
  for (std::size_t j = 0; j < x.size(); ++j) EXPECT_SAME_BITS(x[j], out.x[j]);
  for (std::size_t i = 0; i < fvec.size(); ++i) EXPECT_SAME_BITS(fvec[i], out.fvec[i]);
  for (std::size_t j = 0; j < scale.size(); ++j) EXPECT_SAME_BITS(scale[j], out.scale[j]);
}

INSTANTIATE_TEST_SUITE_P(Recorded, LmIterateTrace,
                         testing::Values("walled_line", "lorentzian_masked", "lorentzian_far", "lorentzian_flag7"));

}  // namespace
