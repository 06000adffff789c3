// Bounds on parameters: kept by the result, flagged where active, with the
// statistics of the caller's parameters; refusals; no change without them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "nlfit/fit.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// y = a*exp(-b*x) + c, noisy, true (3, 1.2, 0.5).
double decay(double x, const double* p, void*) { return p[0] * std::exp(-p[1] * x) + p[2]; }

struct Fit {
  int status = 0;
  std::vector<double> params, se, covariance;
  std::vector<unsigned> flags;
  nlfit_result result = [] {
    nlfit_result fresh;
    nlfit_result_init(&fresh);
    return fresh;
  }();
};

Fit runFit(std::vector<double> start, const std::vector<double>& lower,
           const std::vector<double>& upper, const unsigned char* held = nullptr) {
  static const std::vector<double> x = [] {
    std::vector<double> v;
    for (int i = 0; i < 30; ++i) v.push_back(0.2 * i);
    return v;
  }();
  static const std::vector<double> y = [] {
    std::vector<double> v;
    for (std::size_t i = 0; i < x.size(); ++i) {
      v.push_back(3.0 * std::exp(-1.2 * x[i]) + 0.5 + 0.02 * std::sin(7.0 * static_cast<double>(i)));
    }
    return v;
  }();
  Fit f;
  f.params = std::move(start);
  const std::size_t n = f.params.size();
  f.se.assign(n, 0.0);
  f.covariance.assign(n * n, 0.0);
  f.flags.assign(n, 0u);
  nlfit_options o;
  nlfit_options_init(&o);
  o.compute_statistics = 1;
  o.held = held;
  o.lower = lower.empty() ? nullptr : lower.data();
  o.upper = upper.empty() ? nullptr : upper.data();
  f.result.std_errors = f.se.data();
  f.result.covariance = f.covariance.data();
  f.result.parameter_flags = f.flags.data();
  f.status = nlfit_fit(decay, nullptr, n, f.params.data(), x.size(), x.data(), y.data(), &o,
                       &f.result);
  return f;
}

TEST(Bounds, TheResultKeepsEveryBoundAndFlagsTheActiveOnes) {
  const Fit free = runFit({1, 1, 0}, {}, {});
  ASSERT_EQ(free.result.converged, 1);
  struct Case {
    const char* what;
    std::vector<double> start, lower, upper;
    int active;    // the parameter expected on its bound, or -1
    double bound;  // and that bound
  };
  const std::vector<Case> cases = {
      {"inactive two-sided", {1, 1, 0}, {0, 0.5, -1}, {10, 5, 1}, -1, 0},
      {"inactive one-sided, start on the bound", {1, 0.1, 0}, {-kInf, 0.1, -kInf}, {}, -1, 0},
      {"active upper bound on the rate", {1, 0.5, 0}, {}, {kInf, 1.0, kInf}, 1, 1.0},
      {"active lower bound on the offset", {1, 1, 0.7}, {-kInf, -kInf, 0.6}, {}, 2, 0.6},
      {"active two-sided bound, start on it", {2.5, 1, 0}, {2.5, 0, -1}, {2.8, 5, 1}, 0, 2.8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Fit f = runFit(c.start, c.lower, c.upper);
    ASSERT_GT(f.status, 0);
    EXPECT_EQ(f.result.converged, 1);
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_TRUE(c.lower.empty() || f.params[j] >= c.lower[j]) << j;
      EXPECT_TRUE(c.upper.empty() || f.params[j] <= c.upper[j]) << j;
      const bool active = static_cast<int>(j) == c.active;
      EXPECT_EQ((f.flags[j] & NLFIT_PARAM_AT_BOUND) != 0, active) << j;
      EXPECT_TRUE(active || std::isfinite(f.se[j])) << j;
    }
    if (c.active < 0) {
      // The unbounded optimum, and its statistics in the caller's parameters.
      for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_NEAR(f.params[j], free.params[j], 1e-7 * std::fabs(free.params[j]));
        EXPECT_NEAR(f.se[j], free.se[j], 1e-5 * free.se[j]);
      }
      continue;
    }
    // On the bound exactly; the others as in a fit with it held there.
    const std::size_t a = static_cast<std::size_t>(c.active);
    EXPECT_EQ(f.params[a], c.bound);
    EXPECT_TRUE(std::isnan(f.se[a]) && std::isnan(f.covariance[a * 3 + (a + 1) % 3]));
    std::vector<double> start = f.params;
    unsigned char held[3] = {0, 0, 0};
    held[a] = 1;
    const Fit h = runFit(start, {}, {}, held);
    ASSERT_EQ(h.result.converged, 1);
    for (std::size_t j = 0; j < 3; ++j) {
      if (j == a) continue;
      EXPECT_NEAR(f.params[j], h.params[j], 1e-6 * std::fabs(h.params[j]));
      EXPECT_NEAR(f.se[j], h.se[j], 1e-4 * h.se[j]);
    }
    EXPECT_EQ(f.result.dof, h.result.dof);
  }
}

TEST(Bounds, RefusesBadBoundsAndStartsOutsideThemAndHoldsEqualOnes) {
  struct Case {
    const char* what;
    std::vector<double> start, lower, upper;
  };
  const std::vector<Case> refused = {
      {"start below its lower bound", {1, 1, 0}, {0, 1.5, -1}, {}},
      {"start above its upper bound", {1, 1, 0}, {}, {kInf, kInf, -0.1}},
      {"lower above upper", {1, 1, 0}, {0, 2, 0}, {2, 1, 1}},
      {"NaN bound", {1, 1, 0}, {kNaN, 0, 0}, {}},
      {"lower bound of +inf", {1, 1, 0}, {kInf, 0, 0}, {}},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.what);
    const Fit f = runFit(c.start, c.lower, c.upper);
    EXPECT_EQ(f.status, NLFIT_REFUSED_BAD_OPTION);
    EXPECT_EQ(f.params, c.start);
  }
  const Fit held = runFit({1, 1.2, 0}, {-kInf, 1.2, -kInf}, {kInf, 1.2, kInf});
  ASSERT_GT(held.status, 0);
  EXPECT_EQ(held.params[1], 1.2);
  EXPECT_EQ(held.flags[1], NLFIT_PARAM_HELD);
  EXPECT_EQ(held.se[1], 0.0);
}

TEST(Bounds, InfiniteBoundsChangeNoBit) {
  const Fit none = runFit({1, 1, 0}, {}, {});
  const Fit infinite = runFit({1, 1, 0}, {-kInf, -kInf, -kInf}, {kInf, kInf, kInf});
  EXPECT_EQ(std::memcmp(none.params.data(), infinite.params.data(), 3 * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(none.se.data(), infinite.se.data(), 3 * sizeof(double)), 0);
  EXPECT_EQ(none.result.evaluations, infinite.result.evaluations);
}

}  // namespace
