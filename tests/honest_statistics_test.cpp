// Statistics that do not claim more than the data give: parameters that
// enter only together are all undetermined and the fit is not converged, the
// standard errors of a strongly nonlinear fit come from the profile of the
// sum of squares, and the chi-square p-value of an absolute sigma.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "nlfit/fit.h"

namespace {

struct Fit {
  Fit() { nlfit_result_init(&result); }
  std::vector<double> params, se;
  std::vector<unsigned> flags;
  nlfit_result result;
};

Fit fitFormula(const char* formula, std::vector<double> start, const std::vector<double>& x,
               const std::vector<double>& y) {
  char error[128];
  nlfit_model* model = nlfit_model_formula(formula, nullptr, 0, error, sizeof error);
  Fit f;
  const std::size_t n = start.size();
  f.params = start;
  f.se.resize(n);
  f.flags.resize(n);
  f.result.std_errors = f.se.data();
  f.result.parameter_flags = f.flags.data();
  nlfit_options options;
  nlfit_options_init(&options);
  options.compute_statistics = 1;
  nlfit_fit_model(model, n, f.params.data(), x.size(), x.data(), y.data(), &options, &f.result);
  nlfit_model_free(model);
  return f;
}

TEST(HonestStatistics, ParametersThatEnterOnlyTogetherAreAllUndetermined) {
  std::vector<double> x, y;
  for (int i = 0; i < 33; ++i) {
    x.push_back(0.25 * i);
    y.push_back(4.2 * std::exp(-0.73 * x.back()) + 0.51 + 0.05 * std::sin(7.1 * i));
  }
  const Fit together = fitFormula("a*b*exp(-k*x)+c", {2, 2, 1, 0}, x, y);
  const Fit alone = fitFormula("a*exp(-k*x)+c", {4, 1, 0}, x, y);
  EXPECT_EQ(together.result.rank, 3);
  // Not a success, whatever made the solver stop; the status is the solver's.
  EXPECT_EQ(together.result.converged, 0);
  EXPECT_GE(together.result.status, NLFIT_CONVERGED_REDUCTION);
  EXPECT_LE(together.result.status, NLFIT_CONVERGED_GRADIENT);
  EXPECT_EQ(alone.result.converged, 1);
  EXPECT_TRUE(together.flags[0] & NLFIT_PARAM_UNDETERMINED);
  EXPECT_TRUE(together.flags[1] & NLFIT_PARAM_UNDETERMINED);
  EXPECT_TRUE(std::isnan(together.se[0]) && std::isnan(together.se[1]));
  // k and c are outside the direction: their errors are those of the model
  // without the redundant factor.
  for (int j = 0; j < 2; ++j) {
    EXPECT_FALSE(together.flags[2 + j] & NLFIT_PARAM_UNDETERMINED);
    EXPECT_NEAR(together.se[2 + j], alone.se[1 + j], 1e-6 * alone.se[1 + j]);
  }
}

// A fit with its statistics, the nonlinearity check on or off.
struct CheckedFit {
  std::vector<double> params, se, linear, low, high, covariance;
  std::vector<unsigned> flags;
  nlfit_result result;
};

CheckedFit fitChecked(const char* formula, std::vector<double> start, const std::vector<double>& x,
                      const std::vector<double>& y, int check) {
  char error[128];
  nlfit_model* model = nlfit_model_formula(formula, nullptr, 0, error, sizeof error);
  const std::size_t n = start.size();
  CheckedFit f;
  f.params = start;
  f.se.resize(n);
  f.linear.resize(n);
  f.low.resize(n);
  f.high.resize(n);
  f.covariance.resize(n * n);
  f.flags.resize(n);
  nlfit_result_init(&f.result);
  f.result.std_errors = f.se.data();
  f.result.linear_std_errors = f.linear.data();
  f.result.ci_low = f.low.data();
  f.result.ci_high = f.high.data();
  f.result.covariance = f.covariance.data();
  f.result.parameter_flags = f.flags.data();
  nlfit_options options;
  nlfit_options_init(&options);
  options.compute_statistics = 1;
  options.check_nonlinearity = check;
  nlfit_fit_model(model, n, f.params.data(), x.size(), x.data(), y.data(), &options, &f.result);
  nlfit_model_free(model);
  return f;
}

TEST(HonestStatistics, StronglyNonlinearStandardErrorsComeFromTheProfile) {
  // A power law on 6 points with noise as large as the curve: the sum of
  // squares rises far more slowly than its quadratic approximation says
  // (profile errors about 3 and 1.8 times the linearised ones).
  const std::vector<double> x = {1, 2, 3, 4, 5, 6};
  std::vector<double> y;
  const double noise[] = {1.04, 2.46, 0.99, -3.91, 2.72, 1.34};
  for (int i = 0; i < 6; ++i) y.push_back(0.2 * x[i] * x[i] + noise[i]);
  const CheckedFit plain = fitChecked("a*x^b", {1, 1}, x, y, 0);
  const CheckedFit checked = fitChecked("a*x^b", {1, 1}, x, y, 1);
  ASSERT_EQ(checked.result.converged, 1);
  EXPECT_EQ(plain.result.check_evaluations, 0);
  EXPECT_GT(checked.result.check_evaluations, 0);
  int tripped = 0;
  for (std::size_t j = 0; j < 2; ++j) {
    // Same fit and linearised statistics; a standard error is only widened.
    EXPECT_EQ(checked.params[j], plain.params[j]);
    EXPECT_EQ(checked.linear[j], plain.se[j]);
    EXPECT_GE(checked.se[j], plain.se[j]);
    const bool nonlinear = (checked.flags[j] & NLFIT_PARAM_NONLINEAR) != 0;
    tripped += nonlinear ? 1 : 0;
    if (!nonlinear) {
      EXPECT_EQ(checked.se[j], plain.se[j]);
      continue;
    }
    const double ratio = checked.se[j] / plain.se[j];
    EXPECT_GT(ratio, 1.5);
    EXPECT_NEAR(checked.high[j] - checked.low[j], ratio * (plain.high[j] - plain.low[j]),
                1e-9 * checked.se[j]);
    EXPECT_NEAR(checked.covariance[j * 2 + j], checked.se[j] * checked.se[j],
                1e-9 * checked.se[j] * checked.se[j]);
  }
  EXPECT_EQ(tripped, 2);

  // A model linear in its parameters never trips, whatever the noise.
  std::vector<double> line;
  for (int i = 0; i < 6; ++i) line.push_back(3.0 - 0.7 * x[i] + 4.0 * noise[i]);
  const CheckedFit linear = fitChecked("a + b*x", {1, 1}, x, line, 1);
  const CheckedFit linearPlain = fitChecked("a + b*x", {1, 1}, x, line, 0);
  ASSERT_EQ(linear.result.converged, 1);
  for (std::size_t j = 0; j < 2; ++j) {
    EXPECT_FALSE(linear.flags[j] & NLFIT_PARAM_NONLINEAR);
    EXPECT_EQ(linear.se[j], linearPlain.se[j]);
  }
}

double constant(double, const double* p, void*) { return p[0]; }

TEST(HonestStatistics, ChiSquarePValueOnlyForAnAbsoluteSigma) {
  // Mean 1, chi-square 2 with 2 degrees of freedom: p = exp(-1).
  const double x[] = {0, 1, 2}, y[] = {0, 1, 2}, sigma[] = {1, 1, 1};
  for (int absolute : {1, 0}) {
    double p = 0.0;
    nlfit_options options;
    nlfit_options_init(&options);
    options.sigma = sigma;
    options.absolute_sigma = absolute;
    nlfit_result result;
    nlfit_result_init(&result);
    nlfit_fit(constant, nullptr, 1, &p, 3, x, y, &options, &result);
    if (absolute) {
      EXPECT_NEAR(result.chi2_p_value, std::exp(-1.0), 1e-12);
    } else {
      EXPECT_TRUE(std::isnan(result.chi2_p_value));
    }
  }
}

}  // namespace
