// Statistics that do not claim more than the data give: parameters that
// enter only together are all undetermined, and the chi-square p-value of an
// absolute sigma.
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
