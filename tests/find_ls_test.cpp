#include <cmath>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "fit/fit.h"
#include "solver/solver.h"
#include "test_support.h"

namespace {

using nlfit::observationStore;
using nlfit_test::captureStdout;
using nlfit_test::countLinesStartingWith;

double lineModel(double x, double p0, double p1, double, double, double) { return p0 + p1 * x; }
double constantModel(double, double, double, double, double, double) { return 42.0; }

double decayModel(double x, double p0, double p1, double, double, double) {
  return p0 * std::exp(-p1 * x);
}

struct Fit {
  double status;
  std::string output;
};

// findLS, or its body with the allocations taken from allocate.
Fit runFindLS(ModelFunction model, int paramCount, int pointCount, const double* x,
              const double* y, double* params, nlfit::ZeroedAllocator allocate = nullptr) {
  Fit fit{-1.0, {}};
  fit.output = captureStdout([&] {
    fit.status = allocate == nullptr
                     ? findLS(model, paramCount, pointCount, x, y, params)
                     : nlfit::findLeastSquares(allocate, model, paramCount, pointCount, x, y, params);
  });
  return fit;
}

// Starting values that a refused call must leave as they are.
std::vector<double> sentinels() { return {0.5, -1.25, 3.0, 1e-3, -7.0, 2.5, 0.75, 11.0, -0.125, 6.0}; }

void expectSameBits(const std::vector<double>& expected, const std::vector<double>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t j = 0; j < expected.size(); ++j) EXPECT_SAME_BITS(expected[j], actual[j]) << "params[" << j << "]";
}

// Every line of a fit's output must be a progress line, "fnorm %.15e".
void expectOnlyProgressLines(const std::string& output) {
  static const std::regex line("fnorm [0-9]\\.[0-9]{15}e[+-][0-9]{2}");
  ASSERT_TRUE(output.empty() || output.back() == '\n') << output;
  std::size_t pos = 0;
  while (pos < output.size()) {
    const std::size_t end = output.find('\n', pos);
    const std::string text = output.substr(pos, end - pos);
    EXPECT_TRUE(std::regex_match(text, line)) << text;
    pos = end + 1;
  }
}

TEST(FindLS, RefusesUnusableCountsSilently) {
  const std::vector<double> x(1001, 1.0);
  const std::vector<double> y(1001, 2.0);
  struct Case {
    int paramCount;
    int pointCount;
    double status;
  };
  const Case cases[] = {
      {10, 20, 1.0}, {10, 1001, 1.0},  // the parameter count is checked first
      {2, 1001, 2.0}, {0, 5, 1.0},  {-3, 5, 1.0}, {3, 2, 1.0},
      {5, 3, 1.0},   {1, 0, 1.0},   {1, -5, 1.0}, {0, 0, 1.0}, {-2, -2, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "paramCount " << c.paramCount << ", pointCount " << c.pointCount);
    std::vector<double> params = sentinels();
    const Fit fit = runFindLS(lineModel, c.paramCount, c.pointCount, x.data(), y.data(), params.data());
    EXPECT_EQ(fit.status, c.status);
    EXPECT_EQ(fit.output, "");
    expectSameBits(sentinels(), params);
  }
}

TEST(FindLS, RefusedCallRegistersItsModelAndKeepsTheObservations) {
  const double x[] = {0.0, 1.0, 2.0, 3.0, 4.0};
  const double y[] = {1.0, 3.0, 5.0, 7.0, 9.0};
  std::vector<double> params = {0.0, 0.0};
  ASSERT_EQ(runFindLS(lineModel, 2, 5, x, y, params.data()).status, 0.0);

  const std::vector<double> other(1001, -4.0);
  std::vector<double> many = sentinels();
  EXPECT_EQ(runFindLS(constantModel, 10, 5, other.data(), other.data(), many.data()).status, 1.0);
  const double p[5] = {1.0, 2.0, 0.0, 0.0, 0.0};
  EXPECT_EQ(theModelFct(3.0, p, 2), 42.0) << "the refused call's model is registered";
  EXPECT_EQ(runFindLS(lineModel, 2, 1001, other.data(), other.data(), many.data()).status, 2.0);
  EXPECT_EQ(theModelFct(3.0, p, 2), 7.0);
  expectSameBits(sentinels(), many);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(observationStore.xData[i], x[i]);
    EXPECT_EQ(observationStore.yData[i], y[i]);
  }
  EXPECT_EQ(observationStore.paramCount, 2);
}

TEST(FindLS, RefusesMissingModelOrArraysSilently) {
  const double x[] = {0.0, 1.0, 2.0};
  const double y[] = {1.0, 3.0, 5.0};
  std::vector<double> params = sentinels();
  const Fit fits[] = {
      runFindLS(nullptr, 2, 3, x, y, params.data()),
      runFindLS(lineModel, 2, 3, nullptr, y, params.data()),
      runFindLS(lineModel, 2, 3, x, nullptr, params.data()),
      runFindLS(lineModel, 2, 3, nullptr, nullptr, params.data()),
      runFindLS(lineModel, 2, 3, x, y, nullptr),
  };
  for (const Fit& fit : fits) {
    EXPECT_EQ(fit.status, 1.0);
    EXPECT_EQ(fit.output, "");
  }
  expectSameBits(sentinels(), params);

  // The last call registered lineModel; a null model leaves nothing callable.
  EXPECT_EQ(theModelFct(1.0, params.data(), 2), 0.5 + -1.25);
  EXPECT_EQ(runFindLS(nullptr, 2, 3, x, y, params.data()).status, 1.0);
  EXPECT_TRUE(std::isnan(theModelFct(1.0, params.data(), 2)));
}

TEST(FindLS, RefusesNonFiniteObservationsAndStartingValues) {
  const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()};
  for (double value : bad) {
    for (int where = 0; where < 3; ++where) {
      for (int position : {0, 3}) {
        SCOPED_TRACE(testing::Message() << "value " << value << " in array " << where << " at " << position);
        std::vector<double> x = {0.0, 1.0, 2.0, 3.0};
        std::vector<double> y = {1.0, 3.0, 5.0, 7.0};
        std::vector<double> params = {0.5, 0.25, 0.0, -1.0};
        std::vector<double>& target = where == 0 ? x : (where == 1 ? y : params);
        target[static_cast<std::size_t>(position)] = value;
        const std::vector<double> before = params;
        const Fit fit = runFindLS(lineModel, 4, 4, x.data(), y.data(), params.data());
        EXPECT_EQ(fit.status, 1.0);
        EXPECT_EQ(fit.output, "");
        expectSameBits(before, params);
      }
    }
  }
}

TEST(FindLS, RefusesWhenMemoryRunsOutAtAnyAllocation) {
  const double x[] = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0};
  const double y[] = {2.0, 1.2, 0.75, 0.45, 0.27, 0.16};
  std::vector<double> reference = {1.0, 0.1};
  const Fit full = runFindLS(decayModel, 2, 6, x, y, reference.data());
  ASSERT_EQ(full.status, 0.0);

  int failing = 0;
  for (int allowed = 0; allowed < 1000; ++allowed) {
    std::vector<double> params = {1.0, 0.1};
    nlfit_test::allocationsLeft() = allowed;
    const Fit fit = runFindLS(decayModel, 2, 6, x, y, params.data(), nlfit_test::limitedAllocation);
    nlfit_test::allocationsLeft() = -1;
    if (fit.status == 0.0) {
      EXPECT_EQ(fit.output, full.output);
      expectSameBits(reference, params);
      break;
    }
    SCOPED_TRACE(testing::Message() << "allocations allowed: " << allowed);
    ++failing;
    EXPECT_EQ(fit.status, 1.0);
    EXPECT_EQ(fit.output, "");
    expectSameBits({1.0, 0.1}, params);
  }
  EXPECT_GT(failing, 0);
}

TEST(FindLS, RefusesTheThreePointLineWithFiveParameters) {
  const double x[] = {0.0, 1.0, 2.0};
  const double y[] = {1.0, 3.0, 5.0};
  std::vector<double> params(5, 0.0);
  const Fit fit = runFindLS(lineModel, 5, 3, x, y, params.data());
  EXPECT_EQ(fit.status, 1.0);
  EXPECT_EQ(fit.output, "");
  expectSameBits(std::vector<double>(5, 0.0), params);
}

TEST(FindLS, FitsALineWithFiveParametersLeavingTheIgnoredOnesExact) {
  const double x[] = {0.0, 1.0, 2.0, 3.0, 4.0};
  const double y[] = {1.0, 3.0, 5.0, 7.0, 9.0};
  const std::vector<double> starts[] = {{0.0, 0.0, 0.0, 0.0, 0.0}, {-3.0, 0.5, 0.1, -2.5, 1e10}};
  for (const std::vector<double>& start : starts) {
    std::vector<double> params = start;
    const Fit fit = runFindLS(lineModel, 5, 5, x, y, params.data());
    EXPECT_EQ(fit.status, 0.0);
    EXPECT_GE(countLinesStartingWith(fit.output, "fnorm "), 1);
    expectOnlyProgressLines(fit.output);
    EXPECT_NEAR(params[0], 1.0, 1e-12);
    EXPECT_NEAR(params[1], 2.0, 1e-12);
    for (std::size_t j = 2; j < 5; ++j) EXPECT_SAME_BITS(start[j], params[j]) << "params[" << j << "]";
    // The fitted model stays registered.
    EXPECT_NEAR(theModelFct(10.0, params.data(), 5), 21.0, 1e-10);
  }
}

TEST(FindLS, FitsAtTheLargestAcceptedSize) {
  std::vector<double> x(1000);
  std::vector<double> y(1000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<double>(i) / 100.0;
    y[i] = 2.0 * std::exp(-0.5 * x[i]);
  }
  std::vector<double> params = {1.0, 1.0, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75};
  const std::vector<double> start = params;
  const Fit fit = runFindLS(decayModel, 9, 1000, x.data(), y.data(), params.data());
  EXPECT_EQ(fit.status, 0.0);
  EXPECT_GE(countLinesStartingWith(fit.output, "fnorm "), 1);
  expectOnlyProgressLines(fit.output);
  EXPECT_NEAR(params[0], 2.0, 1e-9);
  EXPECT_NEAR(params[1], 0.5, 1e-9);
  for (std::size_t j = 2; j < 9; ++j) EXPECT_SAME_BITS(start[j], params[j]) << "params[" << j << "]";
}

}  // namespace
