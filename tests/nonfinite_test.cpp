// A model or residual that is not finite ends the fit with
// NLFIT_STOPPED_NONFINITE, never with a converged status.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "nlfit/fit.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double reciprocal(double x, const double* p, void*) { return p[0] / x + p[1]; }
double rootShifted(double x, const double* p, void*) { return p[0] * std::sqrt(x - 2.0) + p[1]; }
double line(double x, const double* p, void*) { return p[0] * x + p[1]; }
// Finite at the start (a = 1) only: the Jacobian's first column meets NaN.
double finiteAtOneOnly(double x, const double* p, void*) {
  return p[0] > 1.0 ? kNaN : p[0] * x + p[1];
}

struct Case {
  const char* what;
  nlfit_point_model model;
  std::vector<double> x;
  double sigma;  // 0: unweighted
  int64_t index;
  int64_t evaluations;
};

TEST(NonFinite, StopsTheFitWithTheFirstObservationAndNeverConverges) {
  const std::vector<Case> cases = {
      {"a/x+b with x = 0", reciprocal, {1, 2, 0, 3, 4}, 0.0, 2, 1},
      {"a*sqrt(x-2)+c below 2", rootShifted, {3, 4, 1, 5, 0}, 0.0, 2, 1},
      {"sigma 1e-200: the sum of squares overflows", line, {1, 2, 3, 4, 5}, 1e-200, -1, 1},
      {"NaN in the Jacobian at the start", finiteAtOneOnly, {1, 2, 3, 4, 5}, 0.0, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<double> y = {1.5, 2.0, 2.5, 3.5, 4.0};
    const std::vector<double> sigma(y.size(), c.sigma);
    std::vector<double> params = {1.0, 1.0};
    std::vector<double> se(2, 7.0);
    nlfit_options o;
    nlfit_options_init(&o);
    o.compute_statistics = 1;
    if (c.sigma != 0.0) o.sigma = sigma.data();
    nlfit_result r;
    nlfit_result_init(&r);
    r.std_errors = se.data();
    const int status = nlfit_fit(c.model, nullptr, 2, params.data(), y.size(), c.x.data(),
                                 y.data(), &o, &r);
    EXPECT_EQ(status, NLFIT_STOPPED_NONFINITE);
    EXPECT_EQ(r.status, NLFIT_STOPPED_NONFINITE);
    EXPECT_EQ(r.converged, 0);
    EXPECT_EQ(r.nonfinite_index, c.index);
    EXPECT_EQ(r.evaluations, c.evaluations);
    EXPECT_EQ(params, (std::vector<double>{1.0, 1.0}));
    EXPECT_TRUE(std::isnan(se[0]) && std::isnan(se[1]));
  }
  EXPECT_STREQ(nlfit_status_name(NLFIT_STOPPED_NONFINITE), "stopped_nonfinite");
}

TEST(NonFinite, AFiniteFitReportsNoObservation) {
  const std::vector<double> x = {1, 2, 3}, y = {2, 4, 6.5};
  std::vector<double> params = {9.0, 0.0};
  nlfit_result r;
  nlfit_result_init(&r);
  r.nonfinite_index = 99;
  nlfit_fit(line, nullptr, 2, params.data(), 3, x.data(), y.data(), nullptr, &r);
  EXPECT_EQ(r.converged, 1);
  EXPECT_EQ(r.nonfinite_index, -1);
}

}  // namespace
