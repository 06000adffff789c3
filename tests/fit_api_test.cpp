// The fitting API against the plug-in, and its statistics against NIST's
// certified standard deviations.
#include <gtest/gtest.h>

#include <cfenv>
#include <fenv.h>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "api_support.h"
#include "fit_measures.h"
#include "nist_dataset.h"
#include "nist_models.h"
#include "nlfit/fit.hpp"
#include "test_support.h"

namespace {

using nlfit_test::ApiRun;
using nlfit_test::defaultOptions;
using nlfit_test::runApiFit;

struct NistCase {
  const char* dataset;
  int start;
};

std::vector<NistCase> pluginNistCases() {
  std::vector<NistCase> cases;
  for (const char* d : {"BoxBOD", "Chwirut2", "DanWood", "Eckerle4", "Kirby2", "MGH09",
                        "Misra1a", "Misra1b", "Rat42"}) {
    cases.push_back({d, 1});
    cases.push_back({d, 2});
  }
  return cases;
}

nist::Dataset load(const char* name) {
  nist::Dataset d;
  std::string error;
  const bool ok =
      nist::readDataset(std::string(NLFIT_PROJECT_DATA_DIR) + "/nist/" + name + ".dat", &d, &error);
  EXPECT_TRUE(ok) << error;
  return d;
}

TEST(FitApi, MatchesThePluginBitForBitOnEveryShippedNistCase) {
  for (const NistCase& c : pluginNistCases()) {
    SCOPED_TRACE(std::string(c.dataset) + " start " + std::to_string(c.start));
    const nist::Dataset d = load(c.dataset);
    const NistModel* model = nistModelByName(c.dataset);
    ASSERT_NE(model, nullptr);
    const std::vector<double>& start = (c.start == 1) ? d.start1 : d.start2;
    const nlfit_test::FitRun plugin = nlfit_test::runFit(model->function, d.x, d.y, start);
    ApiRun api(start.size());
    std::string printed = nlfit_test::captureStdout(
        [&] { runApiFit(api, model->function, d.x, d.y, start, defaultOptions()); });
    EXPECT_EQ(printed, "");  // the API prints nothing
    EXPECT_GT(api.status, 0);
    EXPECT_EQ(api.progress, plugin.output);
    for (std::size_t j = 0; j < start.size(); ++j) {
      EXPECT_SAME_BITS(plugin.params[j], api.params[j]) << j;
    }
    // The plug-in makes one more model pass per outer iteration for its line.
    EXPECT_EQ(api.result.iterations,
              nlfit_test::countLinesStartingWith(plugin.output, "fnorm "));
  }
}

TEST(FitApi, StandardErrorsAgreeWithCertifiedValuesToSixDigits) {
  for (const NistCase& c : pluginNistCases()) {
    SCOPED_TRACE(std::string(c.dataset) + " start " + std::to_string(c.start));
    const nist::Dataset d = load(c.dataset);
    const NistModel* model = nistModelByName(c.dataset);
    const std::vector<double>& start = (c.start == 1) ? d.start1 : d.start2;
    ApiRun api(start.size());
    runApiFit(api, model->function, d.x, d.y, start, defaultOptions(true));
    const double paramDigits = nlfit_test::minLogRelativeError(api.params, d.certified);
    if (paramDigits < 6.0) {
      // Not solved (BoxBOD and MGH09 from start 1): never called converged.
      EXPECT_EQ(api.result.converged, 0);
      continue;
    }
    EXPECT_EQ(api.result.converged, 1) << api.status;
    EXPECT_EQ(api.result.rank, static_cast<int>(start.size()));
    EXPECT_GE(nlfit_test::minLogRelativeError(api.stdErrors, d.certifiedSd), 6.0);
    const std::size_t n = start.size();
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(api.correlation[i * n + i], 1.0);
      EXPECT_LT(api.ciLow[i], api.params[i]);
      EXPECT_GT(api.ciHigh[i], api.params[i]);
      for (std::size_t j = 0; j < n; ++j) {
        EXPECT_DOUBLE_EQ(api.covariance[i * n + j], api.covariance[j * n + i]);
      }
    }
  }
}

}  // namespace

namespace {

// Misra1a's model with a third parameter added: b1*(1 - exp(-b2*x)) + c.
double misraWithOffset(double x, const double* p, void*) {
  return p[0] * (1.0 - std::exp(-p[1] * x)) + p[2];
}

// Misra1a's model that also takes an ignored third parameter.
double misraIgnoringThird(double x, const double* p, void*) {
  return p[0] * (1.0 - std::exp(-p[1] * x));
}

struct Misra {
  nist::Dataset d = load("Misra1a");
};

TEST(FitApi, HeldParametersKeepTheirBitsAndCostNothing) {
  const Misra misra;
  const nist::Dataset& d = misra.d;
  ApiRun twoParameters(2);
  runApiFit(twoParameters, nistModelByName("Misra1a")->function, d.x, d.y, d.start1,
            defaultOptions(true));

  const unsigned char held[3] = {0, 0, 1};
  nlfit_options o = defaultOptions(true);
  o.held = held;
  std::vector<double> p = {d.start1[0], d.start1[1], 0.0};
  ApiRun withHeld(3);
  withHeld.params = p;
  o.progress = ApiRun::record;
  o.progress_user = &withHeld;
  withHeld.status = nlfit_fit(misraWithOffset, nullptr, 3, withHeld.params.data(), d.x.size(),
                              d.x.data(), d.y.data(), &o, &withHeld.result);
  EXPECT_EQ(withHeld.status, twoParameters.status);
  EXPECT_SAME_BITS(twoParameters.params[0], withHeld.params[0]);
  EXPECT_SAME_BITS(twoParameters.params[1], withHeld.params[1]);
  EXPECT_SAME_BITS(0.0, withHeld.params[2]);
  EXPECT_EQ(withHeld.result.evaluations, twoParameters.result.evaluations);
  EXPECT_EQ(withHeld.result.dof, twoParameters.result.dof);
  EXPECT_EQ(withHeld.flags[2], NLFIT_PARAM_HELD);
  EXPECT_EQ(withHeld.stdErrors[2], 0.0);
  EXPECT_SAME_BITS(twoParameters.stdErrors[1], withHeld.stdErrors[1]);
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(withHeld.covariance[2 * 3 + j], 0.0);
    EXPECT_TRUE(std::isnan(withHeld.correlation[2 * 3 + j]));
  }
}

TEST(FitApi, AParameterWithoutEffectIsFlaggedAndUndetermined) {
  // Free and ignored, with a large start: it has no Jacobian column and no
  // standard error; the other two still get theirs.
  const Misra misra;
  const nist::Dataset& d = misra.d;
  ApiRun run(3);
  run.params = {d.start2[0], d.start2[1], 1e12};
  nlfit_options o = defaultOptions(true);
  run.status = nlfit_fit(misraIgnoringThird, nullptr, 3, run.params.data(), d.x.size(),
                         d.x.data(), d.y.data(), &o, &run.result);
  EXPECT_EQ(run.flags[2] & (NLFIT_PARAM_NO_EFFECT | NLFIT_PARAM_UNDETERMINED),
            NLFIT_PARAM_NO_EFFECT | NLFIT_PARAM_UNDETERMINED);
  EXPECT_EQ(run.result.rank, 2);
  EXPECT_TRUE(std::isnan(run.stdErrors[2]));
  EXPECT_TRUE(std::isfinite(run.stdErrors[0]));
}

// A vector model that asks to stop at its stopAt-th call.
struct CountingModel {
  int calls = 0;
  int stopAt = 0;
  static int call(const double* p, const double* x, std::size_t m, double* values, void* user) {
    CountingModel& self = *static_cast<CountingModel*>(user);
    if (++self.calls == self.stopAt) return 1;
    for (std::size_t i = 0; i < m; ++i) values[i] = p[0] * (1.0 - std::exp(-p[1] * x[i]));
    return 0;
  }
};

TEST(FitApi, EveryStopReturnsTheLastAcceptedPoint) {
  const Misra misra;
  const nist::Dataset& d = misra.d;
  // The accepted points of the whole fit: the start, each reported point and
  // the result.
  CountingModel full;
  ApiRun whole(2);
  whole.params = d.start1;
  nlfit_options o = defaultOptions();
  o.progress = ApiRun::record;
  o.progress_user = &whole;
  nlfit_fit_vectorized(CountingModel::call, &full, 2, whole.params.data(), d.x.size(), d.x.data(),
                       d.y.data(), &o, &whole.result);
  std::vector<std::vector<double>> accepted = whole.points;
  accepted.push_back(d.start1);
  accepted.push_back(whole.params);
  for (int stopAt = 1; stopAt <= full.calls; ++stopAt) {
    SCOPED_TRACE(stopAt);
    CountingModel model;
    model.stopAt = stopAt;
    std::vector<double> p = d.start1;
    nlfit_result r;
    nlfit_result_init(&r);
    const int status = nlfit_fit_vectorized(CountingModel::call, &model, 2, p.data(), d.x.size(),
                                            d.x.data(), d.y.data(), nullptr, &r);
    EXPECT_EQ(status, NLFIT_STOPPED_BY_MODEL);
    EXPECT_EQ(r.converged, 0);
    bool found = false;
    for (const auto& a : accepted) found = found || (std::memcmp(a.data(), p.data(), 16) == 0);
    EXPECT_TRUE(found) << p[0] << " " << p[1];
  }
  // Stopped in the very first evaluation: nothing known, nothing invented.
  {
    CountingModel model;
    model.stopAt = 1;
    std::vector<double> p = d.start1;
    std::vector<double> se(2, -1.0);
    nlfit_result r;
    nlfit_result_init(&r);
    r.std_errors = se.data();
    nlfit_options withStatistics = defaultOptions(true);
    nlfit_fit_vectorized(CountingModel::call, &model, 2, p.data(), d.x.size(), d.x.data(),
                         d.y.data(), &withStatistics, &r);
    EXPECT_TRUE(std::isnan(r.rss));
    EXPECT_TRUE(std::isnan(se[0]) && std::isnan(se[1]));
  }
  // The progress callback stops at the point it was shown.
  ApiRun stopped(2);
  stopped.stopAtIteration = 3;
  runApiFit(stopped, nistModelByName("Misra1a")->function, d.x, d.y, d.start1, defaultOptions());
  EXPECT_EQ(stopped.status, NLFIT_STOPPED_BY_CALLBACK);
  EXPECT_EQ(stopped.result.iterations, 3);
  EXPECT_EQ(stopped.params, stopped.points.back());
  // The budget.
  ApiRun budget(2);
  nlfit_options small = defaultOptions();
  small.max_evaluations = 10;
  runApiFit(budget, nistModelByName("Misra1a")->function, d.x, d.y, d.start1, small);
  EXPECT_EQ(budget.status, NLFIT_STOPPED_EVALUATIONS);
  EXPECT_GE(budget.result.evaluations, 10);
}

int misraResiduals(const double* p, double* r, void* user) {
  const nist::Dataset& d = *static_cast<const nist::Dataset*>(user);
  for (std::size_t i = 0; i < d.x.size(); ++i) {
    r[i] = p[0] * (1.0 - std::exp(-p[1] * d.x[i])) - d.y[i];
  }
  return 0;
}

TEST(FitApi, EveryModelFormGivesTheSameBits) {
  Misra misra;
  nist::Dataset& d = misra.d;
  ApiRun point(2);
  runApiFit(point, nistModelByName("Misra1a")->function, d.x, d.y, d.start1, defaultOptions());
  std::vector<double> vector = d.start1, residual = d.start1;
  CountingModel model;
  nlfit_result rv, rr;
  nlfit_result_init(&rv);
  nlfit_result_init(&rr);
  nlfit_fit_vectorized(CountingModel::call, &model, 2, vector.data(), d.x.size(), d.x.data(),
                       d.y.data(), nullptr, &rv);
  nlfit_fit_residuals(misraResiduals, &d, 2, residual.data(), d.x.size(), nullptr, &rr);
  EXPECT_EQ(point.params, vector);
  EXPECT_EQ(point.params, residual);
  EXPECT_SAME_BITS(point.result.rss, rr.rss);
  EXPECT_TRUE(std::isnan(rr.r_squared));
  EXPECT_GT(rv.r_squared, 0.99);
  // sigma = 2 everywhere: the same parameters, chi-square a quarter of the
  // sum of squares, and the same standard errors unless sigma is absolute.
  const std::vector<double> sigma(d.x.size(), 2.0);
  for (int absolute : {0, 1}) {
    ApiRun weighted(2);
    nlfit_options o = defaultOptions(true);
    o.sigma = sigma.data();
    o.absolute_sigma = absolute;
    runApiFit(weighted, nistModelByName("Misra1a")->function, d.x, d.y, d.start1, o);
    ApiRun plain(2);
    runApiFit(plain, nistModelByName("Misra1a")->function, d.x, d.y, d.start1, defaultOptions(true));
    EXPECT_EQ(weighted.params, plain.params);
    EXPECT_EQ(weighted.result.rss, plain.result.rss / 4.0);
    if (absolute == 0) {
      EXPECT_NEAR(weighted.stdErrors[0] / plain.stdErrors[0], 1.0, 1e-12);
    }
  }
}

double nanAboveZero(double x, const double* p, void*) {
  // log of a negative number: NaN, raising the invalid exception.
  return std::log(p[0] - x) + p[1] * 0.0;
}

TEST(FitApi, RunsInTheDefaultFloatingPointEnvironmentAndRestoresTheCallers) {
  Misra misra;
  nist::Dataset& d = misra.d;
  ApiRun reference(2);
  runApiFit(reference, nistModelByName("Misra1a")->function, d.x, d.y, d.start1, defaultOptions());
  const nlfit_test::FitRun pluginReference =
      nlfit_test::runFit(nistModelByName("Misra1a")->function, d.x, d.y, d.start1);

  std::fenv_t saved;
  std::fegetenv(&saved);
  std::feclearexcept(FE_ALL_EXCEPT);
  std::fesetround(FE_UPWARD);
#if defined(__GLIBC__)
  feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
#endif
  std::feraiseexcept(FE_INEXACT);
  ApiRun api(2);
  runApiFit(api, nistModelByName("Misra1a")->function, d.x, d.y, d.start1, defaultOptions());
  const nlfit_test::FitRun plugin =
      nlfit_test::runFit(nistModelByName("Misra1a")->function, d.x, d.y, d.start1);
  // A model that is NaN at the start, under traps.
  std::vector<double> p = {10.0, 1.0};
  nlfit_result r;
  nlfit_result_init(&r);
  const int status = nlfit_fit(nanAboveZero, nullptr, 2, p.data(), d.x.size(), d.x.data(),
                               d.y.data(), nullptr, &r);
  const int round = std::fegetround();
  const int flags = std::fetestexcept(FE_ALL_EXCEPT);
  std::fesetenv(&saved);

  EXPECT_EQ(round, FE_UPWARD);
  EXPECT_EQ(flags, FE_INEXACT);  // the caller's flag kept, none of the fit's
  EXPECT_EQ(api.params, reference.params);
  EXPECT_EQ(api.progress, reference.progress);
  EXPECT_EQ(plugin.params, pluginReference.params);
  EXPECT_EQ(plugin.output, pluginReference.output);
  EXPECT_GT(status, 0);
  EXPECT_TRUE(std::isnan(r.residual_norm));
}

}  // namespace


namespace {

TEST(FitApi, TypicalMagnitudesKeepTheDifferenceStepOfAVanishingParameterUsable) {
  // a + b*x on constant data from (0, 0): b goes to 0 and its relative
  // difference step with it, unless a typical magnitude holds the step up.
  std::vector<double> x, y;
  for (int i = 0; i < 1000; ++i) {
    x.push_back(0.001 * i);
    y.push_back(5.0);
  }
  auto line = [](double t, const double* p, void*) { return p[0] + p[1] * t; };
  const double typical[2] = {1.0, 1.0};
  nlfit_options o = defaultOptions(true);
  o.typical = typical;
  std::vector<double> p = {0.0, 0.0};
  nlfit_result r;
  nlfit_result_init(&r);
  const int status = nlfit_fit(line, nullptr, 2, p.data(), x.size(), x.data(), y.data(), &o, &r);
  EXPECT_EQ(r.converged, 1) << nlfit_status_name(status);
  EXPECT_LT(r.evaluations, 50);
  EXPECT_NEAR(p[0], 5.0, 1e-12);
  EXPECT_NEAR(p[1], 0.0, 1e-12);
}

TEST(FitApi, CppWrapperTakesCapturingLambdasAndRethrowsTheirExceptions) {
  const Misra misra;
  const nist::Dataset& d = misra.d;
  ApiRun c(2);
  runApiFit(c, nistModelByName("Misra1a")->function, d.x, d.y, d.start1, defaultOptions(true));
  const double one = 1.0;
  const nlfit::FitResult r = nlfit::fit(
      [&one](double t, const double* p) { return p[0] * (one - std::exp(-p[1] * t)); }, d.x, d.y,
      d.start1);
  EXPECT_EQ(r.params, c.params);
  EXPECT_EQ(r.std_errors, c.stdErrors);
  EXPECT_TRUE(r.converged);

  int calls = 0;
  auto throwing = [&calls](double t, const double* p) -> double {
    if (++calls > 20 * 14) throw std::runtime_error("model failed");
    return p[0] * (1.0 - std::exp(-p[1] * t));
  };
  nlfit::FitOptions o;
  std::vector<double> seen;
  o.progress = [&seen](std::int64_t, double, const std::vector<double>& p) {
    seen = p;
    return false;
  };
  EXPECT_THROW(nlfit::fit(throwing, d.x, d.y, d.start1, o), std::runtime_error);
  EXPECT_FALSE(seen.empty());
}

}  // namespace

namespace {

// A model whose value comes from a fit of its own: the mean of three
// numbers scaled by p[0], found by fitting a constant.
double modelRunningAFit(double x, const double* p, void*) {
  const double xs[3] = {0.0, 1.0, 2.0};
  const double ys[3] = {x, 2.0 * x, 3.0 * x};
  double c = 1.0;
  nlfit_fit([](double, const double* q, void*) { return q[0]; }, nullptr, 1, &c, 3, xs, ys,
            nullptr, nullptr);
  return p[0] * c;
}

TEST(FitApi, AModelMayRunAFitOfItsOwn) {
  std::vector<double> x, y;
  for (int i = 1; i <= 10; ++i) {
    x.push_back(i);
    y.push_back(3.0 * 2.0 * i);
  }
  double p = 1.0;
  nlfit_result r;
  nlfit_result_init(&r);
  nlfit_fit(modelRunningAFit, nullptr, 1, &p, x.size(), x.data(), y.data(), nullptr, &r);
  EXPECT_EQ(r.converged, 1);
  EXPECT_NEAR(p, 3.0, 1e-9);
}

}  // namespace
