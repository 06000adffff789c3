// Model comparison and predictions of a fit: the information criteria
// against the Gaussian log-density summed point by point, and the
// delta-method bands of a straight line against linear regression's closed
// form.
#include <gtest/gtest.h>

#include <boost/math/distributions/students_t.hpp>

#include <cmath>
#include <vector>

#include "nlfit/fit.h"

namespace {

struct LineFit {
  std::vector<double> x, y, sigma, params, covariance;
  nlfit_result result;
  LineFit() { nlfit_result_init(&result); }
};

// a + b*x fitted through a formula handle, with the covariance.
LineFit fitLine(bool weighted, bool absolute) {
  LineFit f;
  for (int i = 0; i < 12; ++i) {
    const double x = 0.5 * i;
    f.x.push_back(x);
    f.y.push_back(1.5 - 0.7 * x + 0.3 * std::sin(3.1 * i));
    f.sigma.push_back(0.2 + 0.05 * (i % 4));
  }
  nlfit_model* model = nlfit_model_formula("a+b*x", nullptr, 0, nullptr, 0);
  f.params = {1.0, 1.0};
  f.covariance.assign(4, 0.0);
  f.result.covariance = f.covariance.data();
  nlfit_options o;
  nlfit_options_init(&o);
  o.compute_statistics = 1;
  o.sigma = weighted ? f.sigma.data() : nullptr;
  o.absolute_sigma = absolute ? 1 : 0;
  EXPECT_GT(nlfit_fit_model(model, 2, f.params.data(), f.x.size(), f.x.data(), f.y.data(), &o,
                            &f.result),
            0);
  nlfit_model_free(model);
  return f;
}

TEST(InformationCriteria, FollowTheGaussianLikelihoodOfEachWeighting) {
  const double pi = 3.14159265358979323846;
  for (int form = 0; form < 3; ++form) {
    SCOPED_TRACE(form);
    const bool weighted = form > 0, absolute = form == 2;
    const LineFit f = fitLine(weighted, absolute);
    const double m = static_cast<double>(f.x.size());
    // The variance of point i: sigma_i^2 times the scale, estimated at its
    // maximum rss/m unless sigma is absolute.
    const double scale = absolute ? 1.0 : f.result.rss / m;
    double logLikelihood = 0.0;
    for (std::size_t i = 0; i < f.x.size(); ++i) {
      const double s = weighted ? f.sigma[i] : 1.0;
      const double variance = s * s * scale;
      const double r = f.y[i] - (f.params[0] + f.params[1] * f.x[i]);
      logLikelihood += -0.5 * std::log(2.0 * pi * variance) - r * r / (2.0 * variance);
    }
    const double k = absolute ? 2.0 : 3.0;
    EXPECT_NEAR(f.result.log_likelihood, logLikelihood, 1e-10 * std::fabs(logLikelihood));
    EXPECT_NEAR(f.result.aic, 2 * k - 2 * logLikelihood, 1e-9);
    EXPECT_NEAR(f.result.aicc, 2 * k - 2 * logLikelihood + 2 * k * (k + 1) / (m - k - 1), 1e-9);
    EXPECT_NEAR(f.result.bic, k * std::log(m) - 2 * logLikelihood, 1e-9);
  }
}

// Poisson counts: the log-likelihood is the sum of the log-probabilities of
// the counts at the fitted means, k the free parameters; a robust loss has
// no criteria.
TEST(InformationCriteria, PoissonSumsTheCountsLogProbabilitiesAndRobustLossesHaveNone) {
  std::vector<double> x, y;
  for (int i = 0; i < 15; ++i) {
    x.push_back(i);
    y.push_back(static_cast<double>((i * 7) % 5 + 10 - i / 2));
  }
  nlfit_model* model = nlfit_model_formula("a*exp(-b*x)", nullptr, 0, nullptr, 0);
  for (int estimator : {NLFIT_ESTIMATOR_POISSON, NLFIT_ESTIMATOR_HUBER}) {
    std::vector<double> p = {10.0, 0.01};
    nlfit_options o;
    nlfit_options_init(&o);
    o.estimator = estimator;
    nlfit_result r;
    nlfit_result_init(&r);
    ASSERT_GT(nlfit_fit_model(model, 2, p.data(), x.size(), x.data(), y.data(), &o, &r), 0);
    if (estimator != NLFIT_ESTIMATOR_POISSON) {
      EXPECT_TRUE(std::isnan(r.aic) && std::isnan(r.bic) && std::isnan(r.log_likelihood));
      continue;
    }
    double logLikelihood = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double mu = p[0] * std::exp(-p[1] * x[i]);
      logLikelihood += y[i] * std::log(mu) - mu - std::lgamma(y[i] + 1.0);
    }
    EXPECT_NEAR(r.log_likelihood, logLikelihood, 1e-9 * std::fabs(logLikelihood));
    EXPECT_NEAR(r.aic, 4.0 - 2.0 * logLikelihood, 1e-8);
  }
  nlfit_model_free(model);
}

TEST(Prediction, StraightLineBandsMatchLinearRegressionsClosedForm) {
  const LineFit f = fitLine(false, false);
  const double m = static_cast<double>(f.x.size());
  double mean = 0.0;
  for (double x : f.x) mean += x / m;
  double sxx = 0.0;
  for (double x : f.x) sxx += (x - mean) * (x - mean);
  const double s2 = f.result.reduced_chi2;
  nlfit_model* model = nlfit_model_formula("a+b*x", nullptr, 0, nullptr, 0);
  const std::vector<double> at = {-3.0, 0.0, 2.75, 5.5, 40.0};
  for (double level : {0.95, 0.683}) {
    const double t = boost::math::quantile(boost::math::students_t(m - 2), 0.5 + 0.5 * level);
    std::vector<double> value(at.size()), conf(at.size()), pred(at.size());
    ASSERT_EQ(nlfit_predict_model(model, 1, 2, f.params.data(), f.covariance.data(), s2,
                                  f.result.dof, level, at.size(), at.data(), nullptr,
                                  value.data(), conf.data(), pred.data()),
              0);
    for (std::size_t i = 0; i < at.size(); ++i) {
      const double lever = 1.0 / m + (at[i] - mean) * (at[i] - mean) / sxx;
      EXPECT_DOUBLE_EQ(value[i], f.params[0] + f.params[1] * at[i]);
      EXPECT_NEAR(conf[i], t * std::sqrt(s2 * lever), 1e-6 * conf[i]) << at[i];
      EXPECT_NEAR(pred[i], t * std::sqrt(s2 * (1.0 + lever)), 1e-6 * pred[i]) << at[i];
    }
  }
  // Refusals: a level outside (0, 1), a NaN abscissa, a handle of another size.
  double v = 0.0, c = 0.0;
  const double bad = std::nan("");
  EXPECT_EQ(nlfit_predict_model(model, 1, 2, f.params.data(), f.covariance.data(), s2, 10, 1.0,
                                1, at.data(), nullptr, &v, &c, nullptr),
            NLFIT_REFUSED_BAD_OPTION);
  EXPECT_EQ(nlfit_predict_model(model, 1, 2, f.params.data(), f.covariance.data(), s2, 10, 0.9,
                                1, &bad, nullptr, &v, &c, nullptr),
            NLFIT_REFUSED_NONFINITE_DATA);
  EXPECT_EQ(nlfit_predict_model(model, 1, 3, f.params.data(), f.covariance.data(), s2, 10, 0.9,
                                1, at.data(), nullptr, &v, &c, nullptr),
            NLFIT_REFUSED_BAD_MODEL);
  nlfit_model_free(model);
}

}  // namespace

namespace {

// Three decays a_s exp(-k x) + c_s with one rate k = 0.7 and noise of a
// fixed pattern; globals a1 a2 a3 k c1 c2 c3.
TEST(GlobalFit, SharedRateIsRecoveredMoreTightlyThanByAnySingleFit) {
  const double amplitude[] = {3.0, 1.5, 5.0}, offset[] = {0.2, -0.4, 1.0};
  std::vector<std::vector<double>> xs(3), ys(3);
  unsigned state = 12345u;
  auto noise = [&state]() {
    double sum = 0.0;  // Irwin-Hall: roughly Gaussian, sd 1
    for (int i = 0; i < 12; ++i) {
      state = state * 1664525u + 1013904223u;
      sum += static_cast<double>(state >> 8) / 16777216.0;
    }
    return sum - 6.0;
  };
  for (int s = 0; s < 3; ++s) {
    for (int i = 0; i < 25 + 5 * s; ++i) {
      const double x = 0.25 * i;
      xs[s].push_back(x);
      ys[s].push_back(amplitude[s] * std::exp(-0.7 * x) + offset[s] + 0.05 * noise());
    }
  }
  nlfit_model* model = nlfit_model_formula("a*exp(-k*x)+c", nullptr, 0, nullptr, 0);
  const std::size_t maps[3][3] = {{0, 3, 4}, {1, 3, 5}, {2, 3, 6}};
  std::vector<nlfit_data_set> sets(3);
  for (int s = 0; s < 3; ++s) {
    nlfit_data_set_init(&sets[s]);
    sets[s].model = model;
    sets[s].n = 3;
    sets[s].map = maps[s];
    sets[s].m = xs[s].size();
    sets[s].x = xs[s].data();
    sets[s].y = ys[s].data();
  }
  nlfit_options o;
  nlfit_options_init(&o);
  o.compute_statistics = 1;
  std::vector<double> params = {1, 1, 1, 1, 0, 0, 0}, errors(7);
  nlfit_result result;
  nlfit_result_init(&result);
  result.std_errors = errors.data();
  ASSERT_GT(nlfit_fit_global(sets.data(), 3, 7, params.data(), &o, &result), 0);
  EXPECT_TRUE(result.converged);
  EXPECT_EQ(result.dof, 25 + 30 + 35 - 7);
  EXPECT_LT(std::fabs(params[3] - 0.7), 3 * errors[3]);
  for (int s = 0; s < 3; ++s) {
    std::vector<double> single = {1, 1, 0}, singleErrors(3);
    nlfit_result r;
    nlfit_result_init(&r);
    r.std_errors = singleErrors.data();
    ASSERT_GT(nlfit_fit_model(model, 3, single.data(), xs[s].size(), xs[s].data(), ys[s].data(),
                              &o, &r),
              0);
    EXPECT_LT(errors[3], singleErrors[1]) << s;
    EXPECT_NEAR(params[s], single[0], 4 * singleErrors[0]) << s;
  }
  // A map past the global parameters, sigma given by one set only, and a
  // struct_size below the first layout.
  const std::size_t bad[3] = {0, 3, 7};
  sets[0].map = bad;
  EXPECT_EQ(nlfit_fit_global(sets.data(), 3, 7, params.data(), &o, nullptr),
            NLFIT_REFUSED_BAD_MODEL);
  sets[0].map = maps[0];
  sets[1].sigma = ys[1].data();
  EXPECT_EQ(nlfit_fit_global(sets.data(), 3, 7, params.data(), &o, nullptr),
            NLFIT_REFUSED_BAD_SIGMA);
  sets[1].sigma = nullptr;
  sets[2].struct_size = 8;
  EXPECT_EQ(nlfit_fit_global(sets.data(), 3, 7, params.data(), &o, nullptr),
            NLFIT_REFUSED_BAD_OPTION);
  nlfit_model_free(model);
}

}  // namespace
