// findLS on bad and extreme input: refusals, misbehaving models, extreme
// scales and one fit after another. docs/robustness.md lists every case with
// the test that covers it.
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "fit/fit.h"
#include "nlfit.h"
#include "test_support.h"

namespace {

using nlfit_test::bits;
using nlfit_test::captureStdout;
using nlfit_test::countLinesStartingWith;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Fit {
  double status = -1.0;
  std::vector<double> params;
  std::string out;
};

// One findLS call with standard output captured. params may be longer than
// paramCount; the whole vector comes back. With allocate, findLS's body runs
// with its allocations taken from there.
Fit runFit(ModelFunction model, int paramCount, int pointCount, const double* x,
           const double* y, std::vector<double> params, nlfit::ZeroedAllocator allocate = nullptr) {
  Fit f;
  f.params = std::move(params);
  double* const p = f.params.empty() ? nullptr : f.params.data();
  f.out = captureStdout([&] {
    f.status = allocate == nullptr ? findLS(model, paramCount, pointCount, x, y, p)
                                   : nlfit::findLeastSquares(allocate, model, paramCount, pointCount, x, y, p);
  });
  return f;
}

Fit runFit(ModelFunction model, int paramCount, const std::vector<double>& x,
           const std::vector<double>& y, std::vector<double> params, nlfit::ZeroedAllocator allocate = nullptr) {
  return runFit(model, paramCount, static_cast<int>(x.size()), x.data(), y.data(), std::move(params), allocate);
}

std::vector<std::uint64_t> bitsOf(const std::vector<double>& v) {
  std::vector<std::uint64_t> b;
  for (double d : v) b.push_back(bits(d));
  return b;
}

// Refused: the status, silence, and params bit for bit as they went in.
void expectRefused(const Fit& f, double status, const std::vector<double>& start) {
  EXPECT_EQ(f.status, status);
  EXPECT_EQ(f.out, "");
  EXPECT_EQ(bitsOf(f.params), bitsOf(start));
}

void expectSameBits(const Fit& a, const Fit& b) {
  EXPECT_EQ(bits(a.status), bits(b.status));
  EXPECT_EQ(bitsOf(a.params), bitsOf(b.params));
  EXPECT_EQ(a.out, b.out);
}

double line(double x, double p0, double p1, double, double, double) { return p0 + p1 * x; }
double proportional(double x, double p0, double, double, double, double) { return p0 * x; }
double constant(double, double, double, double, double, double) { return 3.0; }

// Observations of a line y = a + b*x at x = 0, 1, ..., count-1, times scale.
std::vector<double> abscissae(int count, double scale = 1.0) {
  std::vector<double> x;
  for (int i = 0; i < count; ++i) x.push_back(i * scale);
  return x;
}
std::vector<double> lineValues(const std::vector<double>& x, double a, double b) {
  std::vector<double> y;
  for (double xi : x) y.push_back(a + b * xi);
  return y;
}

// ---- refusals -------------------------------------------------------------

TEST(RobustnessRefusal, NullPointers) {
  const std::vector<double> x = abscissae(5);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  const std::vector<double> start = {0.5, 0.5};
  expectRefused(runFit(nullptr, 2, x, y, start), 1.0, start);
  expectRefused(runFit(line, 2, 5, nullptr, y.data(), start), 1.0, start);
  expectRefused(runFit(line, 2, 5, x.data(), nullptr, start), 1.0, start);
  expectRefused(runFit(line, 2, 5, nullptr, nullptr, start), 1.0, start);
  EXPECT_EQ(findLS(line, 2, 5, x.data(), y.data(), nullptr), 1.0);
  // Null arrays with no points are refused by the count.
  expectRefused(runFit(line, 2, 0, nullptr, nullptr, start), 1.0, start);
}

TEST(RobustnessRefusal, TheLatestModelIsRegisteredEvenWhenRefused) {
  const std::vector<double> x = abscissae(5);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  const double p[5] = {1.0, 2.0, 0.0, 0.0, 0.0};
  runFit(line, 10, x, y, {0.0, 0.0});
  EXPECT_EQ(theModelFct(3.0, p, 2), 7.0);
  runFit(nullptr, 2, x, y, {0.0, 0.0});
  EXPECT_TRUE(std::isnan(theModelFct(3.0, p, 2)));
  runFit(constant, 2, 1001, x.data(), y.data(), {0.0, 0.0});
  EXPECT_EQ(theModelFct(3.0, p, 2), 3.0);
  EXPECT_TRUE(std::isnan(theModelFct(3.0, nullptr, 2)));
}

TEST(RobustnessRefusal, ParamCountOutsideOneToNine) {
  const std::vector<double> x = abscissae(20);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  const std::vector<double> start(12, 0.25);
  for (int n : {INT_MIN, -1, 0, 10, 11, 1000, INT_MAX}) {
    SCOPED_TRACE(n);
    expectRefused(runFit(line, n, x, y, start), 1.0, start);
  }
}

TEST(RobustnessRefusal, PointCountBoundaries) {
  const std::vector<double> x = abscissae(1001);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  const std::vector<double> start = {0.25, 0.25, 0.25};
  for (int m : {INT_MIN, -1000, -1, 0}) {
    SCOPED_TRACE(m);
    expectRefused(runFit(line, 2, m, x.data(), y.data(), start), 1.0, start);
  }
  for (int m : {1001, 1002, INT_MAX}) {
    SCOPED_TRACE(m);
    expectRefused(runFit(line, 2, m, x.data(), y.data(), start), 2.0, start);
  }
  // Fewer points than parameters; and the parameter count is judged first.
  expectRefused(runFit(line, 3, 2, x.data(), y.data(), start), 1.0, start);
  expectRefused(runFit(line, 10, 1001, x.data(), y.data(), start), 1.0, start);
}

TEST(RobustnessRefusal, NonFiniteObservationOrStart) {
  const std::vector<double> x = abscissae(6);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  const std::vector<double> start = {0.25, 0.25};
  for (double bad : {kNaN, -kNaN, kInf, -kInf}) {
    for (std::size_t at : {std::size_t{0}, std::size_t{3}, std::size_t{5}}) {
      SCOPED_TRACE(testing::Message() << bad << " at " << at);
      std::vector<double> badX = x;
      badX[at] = bad;
      expectRefused(runFit(line, 2, badX, y, start), 1.0, start);
      std::vector<double> badY = y;
      badY[at] = bad;
      expectRefused(runFit(line, 2, x, badY, start), 1.0, start);
      std::vector<double> badStart = start;
      badStart[at % 2] = bad;
      expectRefused(runFit(line, 2, x, y, badStart), 1.0, badStart);
    }
  }
}

TEST(RobustnessRefusal, EveryAllocationFailureIsASilentRefusal) {
  const std::vector<double> x = abscissae(6);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  const std::vector<double> start = {0.25, 0.25};
  const Fit reference = runFit(line, 2, x, y, start);
  ASSERT_EQ(reference.status, 0.0);
  // Fail each allocation in turn, however many a fit makes (findLS's two and
  // at least one of the driver's), until the fit gets all it asks for.
  for (int allowed = 0;; ++allowed) {
    SCOPED_TRACE(allowed);
    nlfit_test::allocationsLeft() = allowed;
    const Fit f = runFit(line, 2, x, y, start, nlfit_test::limitedAllocation);
    nlfit_test::allocationsLeft() = -1;
    if (f.status == 0.0) {
      EXPECT_GE(allowed, 3);
      expectSameBits(f, reference);
      break;
    }
    expectRefused(f, 1.0, start);
    ASSERT_LT(allowed, 100);
  }
}

// ---- accepted extremes ----------------------------------------------------

TEST(RobustnessAccepted, CountBoundariesFit) {
  // 1 parameter on 1 point, 9 on 9, 2 on 1000.
  const std::vector<double> one = {2.0};
  Fit f = runFit(proportional, 1, one, {6.0}, {1.0});
  EXPECT_EQ(f.status, 0.0);
  EXPECT_NEAR(f.params[0], 3.0, 1e-12);

  const std::vector<double> x9 = abscissae(9);
  f = runFit(line, 9, x9, lineValues(x9, 1.0, 2.0), std::vector<double>(9, 0.5));
  EXPECT_EQ(f.status, 0.0);
  EXPECT_NEAR(f.params[0], 1.0, 1e-9);
  EXPECT_NEAR(f.params[1], 2.0, 1e-9);

  const std::vector<double> x1000 = abscissae(1000, 0.001);
  f = runFit(line, 2, x1000, lineValues(x1000, -1.0, 4.0), {0.0, 0.0});
  EXPECT_EQ(f.status, 0.0);
  EXPECT_NEAR(f.params[0], -1.0, 1e-9);
  EXPECT_NEAR(f.params[1], 4.0, 1e-9);
}

TEST(RobustnessAccepted, ValuesPastTheCountsAreNotRead) {
  const std::vector<double> x = abscissae(5);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  const Fit clean = runFit(line, 2, x, y, {0.0, 0.0});
  std::vector<double> longX = x;
  std::vector<double> longY = y;
  longX.push_back(kNaN);
  longY.push_back(kInf);
  Fit f = runFit(line, 2, 5, longX.data(), longY.data(), {0.0, 0.0, kNaN});
  EXPECT_EQ(bits(f.params[2]), bits(kNaN));
  f.params.pop_back();
  expectSameBits(f, clean);
}

TEST(RobustnessAccepted, SignedZeroAndSubnormalValues) {
  const std::vector<double> x = abscissae(6);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  const Fit zero = runFit(line, 2, x, y, {0.0, 0.0});
  EXPECT_NEAR(zero.params[1], 2.0, 1e-12);
  // -0 starts exactly as +0 does: the difference step of a zero is the same.
  const Fit negZero = runFit(line, 2, x, y, {-0.0, -0.0});
  EXPECT_EQ(negZero.out, zero.out);
  EXPECT_EQ(negZero.params, zero.params);
  // Subnormal observations fit like zeros.
  std::vector<double> subnormalY = y;
  subnormalY[0] = std::numeric_limits<double>::denorm_min();
  std::vector<double> zeroY = y;
  zeroY[0] = 0.0;
  expectSameBits(runFit(line, 2, x, subnormalY, {0.0, 0.0}), runFit(line, 2, x, zeroY, {0.0, 0.0}));
  // A subnormal start: its difference step rounds to 0, its Jacobian column
  // is 0/0, and the fit ends where it started.
  const double d = std::numeric_limits<double>::denorm_min();
  const Fit sub = runFit(line, 2, x, y, {d, -d});
  EXPECT_EQ(sub.status, 0.0);
  EXPECT_EQ(countLinesStartingWith(sub.out, "fnorm "), 1);
  EXPECT_EQ(bitsOf(sub.params), bitsOf({d, -d}));
}

TEST(RobustnessAccepted, ResidualNormOverflowStopsAtTheStart) {
  // Squares beyond the double range make the residual norm infinite: the fit
  // runs, prints "fnorm inf" and keeps its start.
  const std::vector<double> x = abscissae(6);
  std::vector<double> y = lineValues(x, 1.0, 2.0);
  y[3] = 1e308;
  Fit f = runFit(line, 2, x, y, {0.0, 0.0});
  EXPECT_EQ(f.status, 0.0);
  EXPECT_EQ(f.out, "fnorm inf\n");
  EXPECT_EQ(f.params, (std::vector<double>{0.0, 0.0}));

  f = runFit(line, 2, x, lineValues(x, 1.0, 2.0), {-1e308, 1e308});
  EXPECT_EQ(f.status, 0.0);
  EXPECT_EQ(f.out, "fnorm inf\n");
  EXPECT_EQ(f.params, (std::vector<double>{-1e308, 1e308}));
}

// ---- misbehaving models ---------------------------------------------------

// decay() with p1 > 0 replaced by NaN or +inf: the trial steps from a far
// start overshoot into that region.
int badValues = 0;
int modelCalls = 0;
double decayNaNAbove(double x, double p0, double p1, double, double, double) {
  ++modelCalls;
  if (p1 > 0.0) {
    ++badValues;
    return kNaN;
  }
  return p0 * std::exp(p1 * x);
}
double decayInfAbove(double x, double p0, double p1, double, double, double) {
  if (p1 > 0.0) {
    ++badValues;
    return kInf;
  }
  return p0 * std::exp(p1 * x);
}
int visitsAbove = 0;
double decayCounting(double x, double p0, double p1, double, double, double) {
  if (p1 > 0.0) ++visitsAbove;
  return p0 * std::exp(p1 * x);
}

TEST(RobustnessModel, NaNOrInfAtTrialPointsReachesTheSameMinimum) {
  std::vector<double> x;
  std::vector<double> y;
  for (int i = 0; i < 10; ++i) {
    x.push_back(0.5 * i);
    y.push_back(2.0 * std::exp(-0.7 * x.back()));
  }
  for (double start : {-5.0, -3.0}) {
    SCOPED_TRACE(start);
    visitsAbove = 0;
    const Fit finite = runFit(decayCounting, 2, x, y, {1.0, start});
    ASSERT_GT(visitsAbove, 0) << "the finite fit never visits p1 > 0";
    EXPECT_NEAR(finite.params[0], 2.0, 1e-10);
    EXPECT_NEAR(finite.params[1], -0.7, 1e-10);

    // A NaN or infinite trial is rejected like any trial whose residual norm
    // grows tenfold; the path may differ from the finite model's (which can
    // see a smaller growth there), the minimum does not.
    for (ModelFunction model : {decayNaNAbove, decayInfAbove}) {
      badValues = 0;
      const Fit f = runFit(model, 2, x, y, {1.0, start});
      EXPECT_GT(badValues, 0);
      EXPECT_EQ(f.status, 0.0);
      EXPECT_NEAR(f.params[0], finite.params[0], 1e-12);
      EXPECT_NEAR(f.params[1], finite.params[1], 1e-12);
    }
  }
}

TEST(RobustnessModel, NaNAtOrBesideTheStartKeepsTheStart) {
  // At p1 = 0 the difference step for p1 lands in the NaN region: that
  // Jacobian column is NaN, every step comes out NaN and is rejected, and
  // the run spends its budget (1 + 2 + 797 counted evaluations and one
  // progress evaluation). Inside the region the residuals themselves are
  // NaN and the first gradient test ends the run (1 + 2 + 1).
  std::vector<double> x = abscissae(10, 0.5);
  std::vector<double> y;
  for (double xi : x) y.push_back(2.0 * std::exp(-0.7 * xi));
  struct Case {
    double start;
    int vectorEvaluations;
  };
  for (const Case& c : {Case{0.0, 801}, Case{0.5, 4}}) {
    SCOPED_TRACE(c.start);
    modelCalls = 0;
    const Fit f = runFit(decayNaNAbove, 2, x, y, {1.0, c.start});
    EXPECT_EQ(f.status, 0.0);
    EXPECT_EQ(countLinesStartingWith(f.out, "fnorm "), 1);
    EXPECT_EQ(f.params, (std::vector<double>{1.0, c.start}));
    EXPECT_EQ(modelCalls, c.vectorEvaluations * 10);
  }
}

double nanEverywhere(double, double, double, double, double, double) {
  ++modelCalls;
  return kNaN;
}
double infEverywhere(double, double, double, double, double, double) {
  ++modelCalls;
  return kInf;
}
double negInfEverywhere(double, double, double, double, double, double) {
  ++modelCalls;
  return -kInf;
}
double nanAtNegativeX(double x, double p0, double p1, double, double, double) {
  ++modelCalls;
  return x < 0.0 ? kNaN : p0 + p1 * x;
}

TEST(RobustnessModel, NonFiniteResidualsEverywhereEndAfterOneJacobian) {
  // A residual vector that is NaN or infinite at every point makes the
  // gradient test end the run after the first Jacobian: the fit ran (0.0),
  // params keep their start, one progress line. Evaluations: start, two
  // Jacobian columns, progress line, each over the 6 points.
  const std::vector<double> x = abscissae(6, -0.5);
  const std::vector<double> y = lineValues(x, 1.0, 2.0);
  struct Case {
    ModelFunction model;
    const char* line;
  };
  for (const Case& c : {Case{nanEverywhere, "fnorm nan\n"}, Case{infEverywhere, "fnorm inf\n"},
                        Case{negInfEverywhere, "fnorm inf\n"}, Case{nanAtNegativeX, "fnorm nan\n"}}) {
    SCOPED_TRACE(c.line);
    modelCalls = 0;
    const Fit f = runFit(c.model, 2, x, y, {0.5, 0.5});
    EXPECT_EQ(f.status, 0.0);
    EXPECT_EQ(f.out, c.line);
    EXPECT_EQ(f.params, (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(modelCalls, 4 * 6);
  }
}

double p0AndP2Only(double x, double p0, double, double p2, double, double) {
  return p0 + p2 * x;
}
double lastCall[5];
double recordingLine(double x, double p0, double p1, double p2, double p3, double p4) {
  const double p[5] = {p0, p1, p2, p3, p4};
  for (int j = 0; j < 5; ++j) lastCall[j] = p[j];
  return p0 + p1 * x;
}

TEST(RobustnessModel, IgnoredParametersKeepTheirStartExactly) {
  const std::vector<double> x = abscissae(8);
  const std::vector<double> y = lineValues(x, -3.0, 0.5);
  const Fit f = runFit(p0AndP2Only, 4, x, y, {0.1, 0.7, 0.1, -1.3});
  EXPECT_EQ(f.status, 0.0);
  EXPECT_NEAR(f.params[0], -3.0, 1e-10);
  EXPECT_NEAR(f.params[2], 0.5, 1e-10);
  EXPECT_EQ(bits(f.params[1]), bits(0.7));
  EXPECT_EQ(bits(f.params[3]), bits(-1.3));

  // A constant model ignores all of them: one line, params unchanged.
  const Fit c = runFit(constant, 3, x, y, {0.1, 0.7, -1.3});
  EXPECT_EQ(c.status, 0.0);
  EXPECT_EQ(countLinesStartingWith(c.out, "fnorm "), 1);
  EXPECT_EQ(c.params, (std::vector<double>{0.1, 0.7, -1.3}));

  // Positions past paramCount reach the model as 0.0.
  for (double& v : lastCall) v = kNaN;
  runFit(recordingLine, 2, x, y, {0.0, 0.0, 9.0, 9.0, 9.0});
  EXPECT_EQ(bits(lastCall[2]), bits(0.0));
  EXPECT_EQ(bits(lastCall[3]), bits(0.0));
  EXPECT_EQ(bits(lastCall[4]), bits(0.0));
}

// ---- scales ---------------------------------------------------------------

TEST(RobustnessScale, LargeAndSmallAbscissae) {
  // y = 1 + (2/s)*(s*i): the slope scales inversely. Large x fits; a slope
  // starting at 0 for x of 1e-20 or smaller has a difference quotient lost to
  // rounding, so it keeps its start and the fit ends at the mean of y.
  for (double s : {1e20, 1e150}) {
    SCOPED_TRACE(s);
    const std::vector<double> x = abscissae(6, s);
    const Fit f = runFit(line, 2, x, lineValues(abscissae(6), 1.0, 2.0), {0.0, 0.0});
    EXPECT_EQ(f.status, 0.0);
    EXPECT_NEAR(f.params[0], 1.0, 1e-9);
    EXPECT_NEAR(f.params[1] * s, 2.0, 1e-9);
  }
  for (double s : {1e-20, 1e-300}) {
    SCOPED_TRACE(s);
    const Fit f = runFit(line, 2, abscissae(6, s), lineValues(abscissae(6), 1.0, 2.0), {0.0, 0.0});
    EXPECT_EQ(f.status, 0.0);
    EXPECT_NEAR(f.params[0], 6.0, 1e-9);
    EXPECT_EQ(f.params[1], 0.0);
  }
}

TEST(RobustnessScale, LargeAndSmallObservationsAndParameters) {
  const std::vector<double> x = abscissae(6);
  // Started at their own scale, fits of y from 1e-150 to 1e150 find the line.
  for (double s : {1e-150, 1e-20, 1e20, 1e150}) {
    SCOPED_TRACE(s);
    const Fit f = runFit(line, 2, x, lineValues(x, 1.0 * s, 2.0 * s), {s, s});
    EXPECT_EQ(f.status, 0.0);
    EXPECT_NEAR(f.params[0] / s, 1.0, 1e-9);
    EXPECT_NEAR(f.params[1] / s, 2.0, 1e-9);
  }
  // Started at 0, y of 1e20 is out of reach: the difference step of a zero
  // start (2^-26) is lost against residuals of 1e20, the Jacobian is zero
  // and the gradient test ends the run at the start.
  Fit f = runFit(line, 2, x, lineValues(x, 1e20, 2e20), {0.0, 0.0});
  EXPECT_EQ(f.status, 0.0);
  EXPECT_EQ(countLinesStartingWith(f.out, "fnorm "), 1);
  EXPECT_EQ(f.params, (std::vector<double>{0.0, 0.0}));
  // y of 1e-300: the squares underflow, the residual norm is 0 and the fit
  // ends at the start as if it were exact.
  f = runFit(line, 2, x, lineValues(x, 1e-300, 2e-300), {0.0, 0.0});
  EXPECT_EQ(f.status, 0.0);
  EXPECT_EQ(f.out, "fnorm 0.000000000000000e+00\n");
  EXPECT_EQ(f.params, (std::vector<double>{0.0, 0.0}));
  // A parameter of 1e100 or 1e-100 fits from a start at its own scale.
  for (double s : {1e-100, 1e100}) {
    SCOPED_TRACE(s);
    std::vector<double> xs = abscissae(6);
    std::vector<double> ys;
    for (double xi : xs) ys.push_back(3.0 * s * (xi + 1.0));
    for (double& xi : xs) xi += 1.0;
    f = runFit(proportional, 1, xs, ys, {s});
    EXPECT_EQ(f.status, 0.0);
    EXPECT_NEAR(f.params[0] / s, 3.0, 1e-12);
  }
}

// ---- one fit after another ------------------------------------------------

struct Problem {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> start;
};

Problem lineProblem(int points, double a, double b) {
  Problem p;
  p.x = abscissae(points, 0.01);
  p.y = lineValues(p.x, a, b);
  for (std::size_t i = 0; i < p.y.size(); ++i) p.y[i] += (i % 3 == 0) ? 0.01 : -0.005;
  p.start = {0.0, 0.0};
  return p;
}

TEST(RobustnessSequence, FitsOfDifferentSizesDoNotAffectEachOther) {
  const std::vector<Problem> problems = {lineProblem(1000, 1.0, 2.0), lineProblem(3, -1.0, 5.0),
                                         lineProblem(500, 0.5, 0.5), lineProblem(2, 4.0, -4.0),
                                         lineProblem(999, 3.0, 1.0)};
  std::vector<Fit> forward;
  for (const Problem& p : problems) forward.push_back(runFit(line, 2, p.x, p.y, p.start));
  for (std::size_t k = problems.size(); k-- > 0;) {
    SCOPED_TRACE(k);
    const Problem& p = problems[k];
    EXPECT_EQ(forward[k].status, 0.0);
    expectSameBits(runFit(line, 2, p.x, p.y, p.start), forward[k]);
  }
}

TEST(RobustnessSequence, LeftoversOfALargerFitAreNeverRead) {
  const Problem small = lineProblem(5, 1.0, 2.0);
  const Fit first = runFit(line, 2, small.x, small.y, small.start);
  // Fill all 1000 stored observations: with a fit, then with junk through a
  // refused call (null model) that stores its data before refusing.
  const Problem large = lineProblem(1000, 7.0, -3.0);
  runFit(line, 2, large.x, large.y, large.start);
  expectSameBits(runFit(line, 2, small.x, small.y, small.start), first);
  const std::vector<double> junk(1000, kNaN);
  EXPECT_EQ(runFit(nullptr, 1, junk, junk, {0.0}).status, 1.0);
  expectSameBits(runFit(line, 2, small.x, small.y, small.start), first);
  // Refused calls in between change nothing either.
  runFit(line, 2, 1001, large.x.data(), large.y.data(), {0.0, 0.0});
  runFit(line, 10, large.x, large.y, {0.0, 0.0});
  expectSameBits(runFit(line, 2, small.x, small.y, small.start), first);
}

}  // namespace
