// Bad input to the fitting API's entry points: each refusal has its own
// status and message, leaves the parameters, the caller's arrays and the
// result (all but its status) untouched, calls no model and prints nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "nlfit/fit.h"
#include "test_support.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

enum class Entry { Point, Vector, Residuals };

double pointModel(double x, const double* p, void* user) {
  ++*static_cast<int*>(user);
  return p[0] * std::exp(-p[1] * x) + p[2];
}
int vectorModel(const double* p, const double* x, std::size_t m, double* values, void* user) {
  ++*static_cast<int*>(user);
  for (std::size_t i = 0; i < m; ++i) values[i] = p[0] * std::exp(-p[1] * x[i]) + p[2];
  return 0;
}
int residualFunction(const double* p, double* r, void* user) {
  ++*static_cast<int*>(user);
  for (int i = 0; i < 8; ++i) r[i] = p[0] * std::exp(-p[1] * i) + p[2] - 1.0;
  return 0;
}

// One call: its inputs, with every array owned here. Cases change a field.
struct Call {
  Entry entry = Entry::Point;
  bool nullModel = false, nullParams = false, nullX = false, nullY = false;
  std::size_t n = 3, m = 8;
  std::vector<double> params{2.0, 0.5, 1.0};
  std::vector<double> x{0, 1, 2, 3, 4, 5, 6, 7};
  std::vector<double> y{3.0, 2.2, 1.7, 1.4, 1.3, 1.2, 1.1, 1.05};
  std::vector<double> sigma, scale, typical;
  std::vector<unsigned char> held;
  nlfit_options options;
  Call() { nlfit_options_init(&options); }
};

int run(Call& c, nlfit_result* result, int* modelCalls) {
  if (!c.sigma.empty()) c.options.sigma = c.sigma.data();
  if (!c.scale.empty()) c.options.scale = c.scale.data();
  if (!c.typical.empty()) c.options.typical = c.typical.data();
  if (!c.held.empty()) c.options.held = c.held.data();
  double* p = c.nullParams ? nullptr : c.params.data();
  const double* x = c.nullX ? nullptr : c.x.data();
  const double* y = c.nullY ? nullptr : c.y.data();
  switch (c.entry) {
    case Entry::Point:
      return nlfit_fit(c.nullModel ? nullptr : pointModel, modelCalls, c.n, p, c.m, x, y,
                       &c.options, result);
    case Entry::Vector:
      return nlfit_fit_vectorized(c.nullModel ? nullptr : vectorModel, modelCalls, c.n, p, c.m,
                                  x, y, &c.options, result);
    case Entry::Residuals:
      return nlfit_fit_residuals(c.nullModel ? nullptr : residualFunction, modelCalls, c.n, p,
                                 c.m, &c.options, result);
  }
  return 0;
}

struct Case {
  const char* name;
  int expected;
  std::function<void(Call&)> change;
};

// A result whose every field and array holds a sentinel, to see what a call
// writes.
struct SentinelResult {
  std::vector<double> covariance = std::vector<double>(9, 7.0), stdErrors = std::vector<double>(3, 7.0),
                      ciLow = std::vector<double>(3, 7.0), ciHigh = std::vector<double>(3, 7.0),
                      correlation = std::vector<double>(9, 7.0);
  std::vector<unsigned> flags = std::vector<unsigned>(3, 77u);
  nlfit_result r = [] {
    nlfit_result fresh;
    nlfit_result_init(&fresh);
    return fresh;
  }();
  SentinelResult() {
    r.status = 12345;
    r.converged = 77;
    r.rank = 77;
    r.iterations = r.evaluations = r.statistics_evaluations = r.dof = 77;
    r.residual_norm = r.rss = r.reduced_chi2 = r.r_squared = 7.0;
    r.covariance = covariance.data();
    r.std_errors = stdErrors.data();
    r.ci_low = ciLow.data();
    r.ci_high = ciHigh.data();
    r.correlation = correlation.data();
    r.parameter_flags = flags.data();
  }
  // True when nothing but the status changed.
  bool untouchedButStatus() const {
    const SentinelResult fresh;
    return r.converged == 77 && r.rank == 77 && r.iterations == 77 && r.evaluations == 77 &&
           r.statistics_evaluations == 77 && r.dof == 77 && r.residual_norm == 7.0 &&
           r.rss == 7.0 && r.reduced_chi2 == 7.0 && r.r_squared == 7.0 &&
           covariance == fresh.covariance && stdErrors == fresh.stdErrors &&
           ciLow == fresh.ciLow && ciHigh == fresh.ciHigh && correlation == fresh.correlation &&
           flags == fresh.flags;
  }
};

std::vector<Case> refusals() {
  const auto vec = [](Call& c) { c.entry = Entry::Vector; };
  const auto res = [](Call& c) { c.entry = Entry::Residuals; };
  return {
      {"null model", NLFIT_REFUSED_NULL_POINTER, [](Call& c) { c.nullModel = true; }},
      {"null params", NLFIT_REFUSED_NULL_POINTER, [](Call& c) { c.nullParams = true; }},
      {"null x", NLFIT_REFUSED_NULL_POINTER, [](Call& c) { c.nullX = true; }},
      {"null y", NLFIT_REFUSED_NULL_POINTER, [](Call& c) { c.nullY = true; }},
      {"n = 0", NLFIT_REFUSED_COUNTS, [](Call& c) { c.n = 0; }},
      {"m = 0", NLFIT_REFUSED_COUNTS, [](Call& c) { c.m = 0; }},
      {"m < free parameters", NLFIT_REFUSED_COUNTS, [](Call& c) { c.m = 2; }},
      {"n = SIZE_MAX", NLFIT_REFUSED_COUNTS, [](Call& c) { c.n = kHuge; }},
      {"n = SIZE_MAX with a held mask", NLFIT_REFUSED_COUNTS,
       [](Call& c) { c.n = kHuge; c.held = {0, 1, 0}; }},
      {"every parameter held", NLFIT_REFUSED_COUNTS, [](Call& c) { c.held = {1, 1, 1}; }},
      {"m = SIZE_MAX", NLFIT_REFUSED_COUNTS, [](Call& c) { c.m = kHuge; }},
      {"NaN in x", NLFIT_REFUSED_NONFINITE_DATA, [](Call& c) { c.x[7] = kNaN; }},
      {"-inf in x", NLFIT_REFUSED_NONFINITE_DATA, [](Call& c) { c.x[0] = -kInf; }},
      {"NaN in y", NLFIT_REFUSED_NONFINITE_DATA, [](Call& c) { c.y[3] = -kNaN; }},
      {"inf in y", NLFIT_REFUSED_NONFINITE_DATA, [](Call& c) { c.y[7] = kInf; }},
      {"NaN start", NLFIT_REFUSED_NONFINITE_START, [](Call& c) { c.params[1] = kNaN; }},
      {"inf start", NLFIT_REFUSED_NONFINITE_START, [](Call& c) { c.params[0] = kInf; }},
      {"-inf start of a held parameter", NLFIT_REFUSED_NONFINITE_START,
       [](Call& c) { c.params[2] = -kInf; c.held = {0, 0, 1}; }},
      {"sigma 0", NLFIT_REFUSED_BAD_SIGMA, [](Call& c) { c.sigma.assign(8, 1.0); c.sigma[4] = 0.0; }},
      {"sigma -0", NLFIT_REFUSED_BAD_SIGMA, [](Call& c) { c.sigma.assign(8, 1.0); c.sigma[4] = -0.0; }},
      {"sigma negative", NLFIT_REFUSED_BAD_SIGMA, [](Call& c) { c.sigma.assign(8, 1.0); c.sigma[0] = -1.0; }},
      {"sigma NaN", NLFIT_REFUSED_BAD_SIGMA, [](Call& c) { c.sigma.assign(8, 1.0); c.sigma[7] = kNaN; }},
      {"sigma inf", NLFIT_REFUSED_BAD_SIGMA, [](Call& c) { c.sigma.assign(8, 1.0); c.sigma[7] = kInf; }},
      {"negative reduction tolerance", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.reduction_tolerance = -1e-12; }},
      {"NaN reduction tolerance", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.reduction_tolerance = kNaN; }},
      {"negative step tolerance", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.step_tolerance = -1.0; }},
      {"NaN gradient tolerance", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.gradient_tolerance = kNaN; }},
      {"negative gradient tolerance", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.gradient_tolerance = -1.0; }},
      {"step bound factor 0", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.step_bound_factor = 0.0; }},
      {"negative step bound factor", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.step_bound_factor = -10.0; }},
      {"NaN step bound factor", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.step_bound_factor = kNaN; }},
      {"inf step bound factor", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.step_bound_factor = kInf; }},
      {"negative relative error", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.relative_error = -1e-10; }},
      {"NaN relative error", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.relative_error = kNaN; }},
      {"negative evaluation budget", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.options.max_evaluations = -1; }},
      {"scale 0", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.scale = {1.0, 0.0, 1.0}; }},
      {"negative scale", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.scale = {1.0, 1.0, -2.0}; }},
      {"NaN scale", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.scale = {kNaN, 1.0, 1.0}; }},
      {"inf scale", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.scale = {1.0, kInf, 1.0}; }},
      {"negative typical", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.typical = {0.0, -1.0, 0.0}; }},
      {"NaN typical", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.typical = {0.0, 0.0, kNaN}; }},
      {"inf typical", NLFIT_REFUSED_BAD_OPTION, [](Call& c) { c.typical = {kInf, 0.0, 0.0}; }},
      // The vector form validates the same way.
      {"vector: null model", NLFIT_REFUSED_NULL_POINTER, [=](Call& c) { vec(c); c.nullModel = true; }},
      {"vector: null x", NLFIT_REFUSED_NULL_POINTER, [=](Call& c) { vec(c); c.nullX = true; }},
      {"vector: m < free", NLFIT_REFUSED_COUNTS, [=](Call& c) { vec(c); c.m = 1; }},
      {"vector: inf in y", NLFIT_REFUSED_NONFINITE_DATA, [=](Call& c) { vec(c); c.y[2] = kInf; }},
      {"vector: NaN start", NLFIT_REFUSED_NONFINITE_START, [=](Call& c) { vec(c); c.params[0] = kNaN; }},
      {"vector: sigma negative", NLFIT_REFUSED_BAD_SIGMA,
       [=](Call& c) { vec(c); c.sigma.assign(8, 1.0); c.sigma[1] = -1.0; }},
      {"vector: NaN step tolerance", NLFIT_REFUSED_BAD_OPTION, [=](Call& c) { vec(c); c.options.step_tolerance = kNaN; }},
      // The residual form: no x, y or sigma.
      {"residuals: null function", NLFIT_REFUSED_NULL_POINTER, [=](Call& c) { res(c); c.nullModel = true; }},
      {"residuals: null params", NLFIT_REFUSED_NULL_POINTER, [=](Call& c) { res(c); c.nullParams = true; }},
      {"residuals: n = 0", NLFIT_REFUSED_COUNTS, [=](Call& c) { res(c); c.n = 0; }},
      {"residuals: m < free", NLFIT_REFUSED_COUNTS, [=](Call& c) { res(c); c.m = 2; }},
      {"residuals: inf start", NLFIT_REFUSED_NONFINITE_START, [=](Call& c) { res(c); c.params[2] = kInf; }},
      {"residuals: sigma given", NLFIT_REFUSED_BAD_OPTION, [=](Call& c) { res(c); c.sigma.assign(8, 1.0); }},
      {"residuals: negative evaluation budget", NLFIT_REFUSED_BAD_OPTION,
       [=](Call& c) { res(c); c.options.max_evaluations = -5; }},
  };
}

TEST(FitApiBadInput, EveryRefusalHasItsStatusAndTouchesNothing) {
  for (const Case& tc : refusals()) {
    SCOPED_TRACE(tc.name);
    for (const bool withResult : {true, false}) {
      Call c;
      tc.change(c);
      const Call before = c;
      SentinelResult sentinel;
      int modelCalls = 0;
      int status = 0;
      const std::string printed = nlfit_test::captureStdout(
          [&] { status = run(c, withResult ? &sentinel.r : nullptr, &modelCalls); });
      EXPECT_EQ(printed, "");
      EXPECT_EQ(status, tc.expected) << nlfit_status_message(status);
      EXPECT_EQ(modelCalls, 0);
      if (withResult) {
        EXPECT_EQ(sentinel.r.status, tc.expected);
        EXPECT_TRUE(sentinel.untouchedButStatus());
      }
      EXPECT_TRUE(sameBits(c.params, before.params));
      EXPECT_TRUE(sameBits(c.x, before.x) && sameBits(c.y, before.y) &&
                  sameBits(c.sigma, before.sigma) && sameBits(c.scale, before.scale) &&
                  sameBits(c.typical, before.typical) && c.held == before.held);
    }
  }
}

TEST(FitApiBadInput, EveryStatusHasItsOwnMessageAndName) {
  std::set<std::string> messages, names;
  int statuses = 0;
  for (int s = NLFIT_REFUSED_BAD_MODEL; s <= NLFIT_STOPPED_BY_MODEL; ++s) {
    ++statuses;
    const std::string message = nlfit_status_message(s);
    const std::string name = nlfit_status_name(s);
    EXPECT_FALSE(message.empty()) << s;
    EXPECT_FALSE(name.empty()) << s;
    messages.insert(message);
    names.insert(name);
  }
  EXPECT_EQ(messages.size(), static_cast<std::size_t>(statuses));
  EXPECT_EQ(names.size(), static_cast<std::size_t>(statuses));
  for (const int unknown : {11, -9, 1000, -1000}) {
    EXPECT_EQ(messages.count(nlfit_status_message(unknown)), 0u) << unknown;
  }
}

}  // namespace
