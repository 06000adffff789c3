// The Poisson estimator: its bias at low counts against least squares, its
// Fisher standard errors against the spread of the fits, and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "nlfit/fit.h"

namespace {

struct Spread {
  double meanAmplitude = 0.0, sdAmplitude = 0.0, meanError = 0.0;
  int converged = 0;
};

// 2000 simulated peaks of 25 points, amplitude 50 counts over a background
// of 2, width 1, each fitted from a start 10 % off the truth.
Spread fitPeaks(int estimator) {
  nlfit_model* gaussian = nlfit_model_builtin("gaussian");
  const double truth[4] = {50.0, 0.0, 1.0, 2.0};
  std::mt19937_64 random(1234);
  std::vector<double> x, mu;
  for (int i = 0; i <= 24; ++i) {
    x.push_back(-3.0 + 0.25 * i);
    mu.push_back(truth[0] * std::exp(-x.back() * x.back() / 2.0) + truth[3]);
  }
  nlfit_options o;
  nlfit_options_init(&o);
  o.estimator = estimator;
  o.compute_statistics = 1;
  std::vector<double> amplitudes, errors;
  for (int k = 0; k < 2000; ++k) {
    std::vector<double> y;
    for (double m : mu) y.push_back(static_cast<double>(std::poisson_distribution<int>(m)(random)));
    double p[4] = {truth[0] * 1.1, 0.1, truth[2] * 0.9, truth[3] * 1.1};
    double se[4];
    nlfit_result r;
    nlfit_result_init(&r);
    r.std_errors = se;
    nlfit_fit_model(gaussian, 4, p, y.size(), x.data(), y.data(), &o, &r);
    if (!r.converged) continue;
    amplitudes.push_back(p[0]);
    errors.push_back(se[0]);
  }
  nlfit_model_free(gaussian);
  Spread s;
  s.converged = static_cast<int>(amplitudes.size());
  for (std::size_t k = 0; k < amplitudes.size(); ++k) {
    s.meanAmplitude += amplitudes[k] / amplitudes.size();
    s.meanError += errors[k] / amplitudes.size();
  }
  for (double a : amplitudes) s.sdAmplitude += (a - s.meanAmplitude) * (a - s.meanAmplitude);
  s.sdAmplitude = std::sqrt(s.sdAmplitude / (amplitudes.size() - 1));
  return s;
}

TEST(PoissonEstimator, HasNoAmplitudeBiasAtLowCountsAndHonestStandardErrors) {
  const Spread poisson = fitPeaks(NLFIT_ESTIMATOR_POISSON);
  const Spread leastSquares = fitPeaks(NLFIT_ESTIMATOR_LEAST_SQUARES);
  std::printf("amplitude 50 over background 2, 25 points, 2000 peaks: Poisson mean %.4f (sd %.3f, mean se %.3f, "
              "%d converged); least squares mean %.4f (sd %.3f, mean se %.3f, %d converged)\n",
              poisson.meanAmplitude, poisson.sdAmplitude, poisson.meanError, poisson.converged,
              leastSquares.meanAmplitude, leastSquares.sdAmplitude, leastSquares.meanError,
              leastSquares.converged);
  EXPECT_GT(poisson.converged, 1900);
  EXPECT_NEAR(poisson.meanAmplitude, 50.0, 0.5);  // within 1 %
  EXPECT_NEAR(poisson.meanError / poisson.sdAmplitude, 1.0, 0.15);
}

double peak(double x, const double* p, void*) { return p[0] * std::exp(-x * x) + p[1]; }

TEST(PoissonEstimator, RefusesWhatItCannotFitAndStopsOnANonPositiveMean) {
  const double x[4] = {-1, 0, 1, 2}, y[4] = {1, 5, 2, 0}, negative[4] = {1, 5, -2, 0};
  const double sigma[4] = {1, 1, 1, 1};
  nlfit_options o;
  nlfit_options_init(&o);
  o.estimator = NLFIT_ESTIMATOR_POISSON;
  nlfit_result r;
  nlfit_result_init(&r);
  double p[2] = {4.0, 1.0};
  EXPECT_EQ(nlfit_fit(peak, nullptr, 2, p, 4, x, negative, &o, &r), NLFIT_REFUSED_NEGATIVE_DATA);
  nlfit_options weighted = o;
  weighted.sigma = sigma;
  EXPECT_EQ(nlfit_fit(peak, nullptr, 2, p, 4, x, y, &weighted, &r), NLFIT_REFUSED_BAD_OPTION);
  nlfit_options unknown = o;
  unknown.estimator = 7;
  EXPECT_EQ(nlfit_fit(peak, nullptr, 2, p, 4, x, y, &unknown, &r), NLFIT_REFUSED_BAD_OPTION);
  auto residuals = [](const double*, double* f, void*) {
    f[0] = f[1] = 1.0;
    return 0;
  };
  EXPECT_EQ(nlfit_fit_residuals(residuals, nullptr, 2, p, 2, &o, &r), NLFIT_REFUSED_BAD_OPTION);
  double below[2] = {4.0, -10.0};  // every mean negative at the start
  EXPECT_EQ(nlfit_fit(peak, nullptr, 2, below, 4, x, y, &o, &r), NLFIT_STOPPED_NONFINITE);
  // A fit that runs reports its deviance and Pearson's sum.
  o.compute_statistics = 1;
  ASSERT_GT(nlfit_fit(peak, nullptr, 2, p, 4, x, y, &o, &r), 0);
  EXPECT_EQ(r.deviance, r.rss);
  EXPECT_GT(r.pearson_chi2, 0.0);
  EXPECT_TRUE(std::isnan(r.r_squared));
}

}  // namespace

namespace {

// A line 1 + 2x with Gaussian noise of 0.1 on 50 points, the last five
// (10 %) pushed down by 3: gross outliers that tilt the line.
TEST(RobustLosses, KeepTheSlopeWhereLeastSquaresIsPulledOff) {
  std::mt19937_64 random(99);
  std::normal_distribution<double> noise(0.0, 0.1);
  std::vector<double> x, y, sigma(50, 0.1);
  for (int i = 0; i < 50; ++i) {
    x.push_back(0.1 * i);
    y.push_back(1.0 + 2.0 * x.back() + noise(random) + (i >= 45 ? -3.0 : 0.0));
  }
  nlfit_model* line = nlfit_model_builtin("line");
  auto fitWith = [&](int estimator, int derivatives, double* se) {
    nlfit_options o;
    nlfit_options_init(&o);
    o.estimator = estimator;
    o.loss_scale = 2.0;  // in units of sigma
    o.sigma = sigma.data();
    o.derivatives = derivatives;
    o.compute_statistics = 1;
    double p[2] = {0.0, 1.0};
    nlfit_result r;
    nlfit_result_init(&r);
    r.std_errors = se;
    EXPECT_GT(nlfit_fit_model(line, 2, p, 50, x.data(), y.data(), &o, &r), 0);
    EXPECT_TRUE(r.converged);
    return p[1];
  };
  double se[2];
  const double plain = fitWith(NLFIT_ESTIMATOR_LEAST_SQUARES, NLFIT_DERIVATIVES_EXACT, se);
  EXPECT_GT(std::fabs(plain - 2.0), 3.0 * se[1]) << plain;
  for (int loss : {NLFIT_ESTIMATOR_SOFT_L1, NLFIT_ESTIMATOR_HUBER, NLFIT_ESTIMATOR_CAUCHY}) {
    SCOPED_TRACE(loss);
    const double slope = fitWith(loss, NLFIT_DERIVATIVES_EXACT, se);
    EXPECT_LT(std::fabs(slope - 2.0), 3.0 * se[1]) << slope << " +- " << se[1];
    double seNumeric[2];
    EXPECT_NEAR(fitWith(loss, NLFIT_DERIVATIVES_NUMERIC, seNumeric), slope, 1e-7);
    EXPECT_NEAR(seNumeric[1], se[1], 1e-5 * se[1]);
  }
  nlfit_model_free(line);
}

}  // namespace
