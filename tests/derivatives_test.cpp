// Exact derivatives in fits: the caller's Jacobian in every model form, its
// check against differences, and the options that go with them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "nlfit/fit.h"

namespace {

// y = a*exp(-k*x) + c on 30 points with a fixed ripple for noise.
struct DecayData {
  std::vector<double> x, y, sigma;
  DecayData() {
    for (int i = 0; i < 30; ++i) {
      const double t = 0.2 * i;
      x.push_back(t);
      y.push_back(5.0 * std::exp(-0.7 * t) + 1.0 + 0.02 * std::sin(3.0 * i));
      sigma.push_back(0.05 + 0.01 * (i % 4));
    }
  }
};

double decay(double x, const double* p, void*) { return p[0] * std::exp(-p[1] * x) + p[2]; }

// wrongColumn >= 0 doubles that column of every derivative.
struct Derivatives {
  int wrongColumn = -1;
  const DecayData* data = nullptr;
  void gradientAt(double x, const double* p, double* g) const {
    const double e = std::exp(-p[1] * x);
    g[0] = e;
    g[1] = -p[0] * x * e;
    g[2] = 1.0;
    if (wrongColumn >= 0) g[wrongColumn] *= 2.0;
  }
};

void decayGradient(double x, const double* p, double* g, void* user) {
  static_cast<const Derivatives*>(user)->gradientAt(x, p, g);
}

int decayVector(const double* p, const double* x, size_t m, double* v, void*) {
  for (size_t i = 0; i < m; ++i) v[i] = decay(x[i], p, nullptr);
  return 0;
}

int decayJacobian(const double* p, const double* x, size_t m, size_t n, double* jac, void* user) {
  for (size_t i = 0; i < m; ++i) static_cast<const Derivatives*>(user)->gradientAt(x[i], p, jac + i * n);
  return 0;
}

// The weighted residuals and their Jacobian, for nlfit_fit_residuals.
int decayResiduals(const double* p, double* r, void* user) {
  const DecayData& d = *static_cast<const Derivatives*>(user)->data;
  for (size_t i = 0; i < d.x.size(); ++i) r[i] = (decay(d.x[i], p, nullptr) - d.y[i]) / d.sigma[i];
  return 0;
}

int decayResidualJacobian(const double* p, const double*, size_t m, size_t n, double* jac, void* user) {
  const Derivatives& u = *static_cast<const Derivatives*>(user);
  for (size_t i = 0; i < m; ++i) {
    u.gradientAt(u.data->x[i], p, jac + i * n);
    for (size_t j = 0; j < n; ++j) jac[i * n + j] /= u.data->sigma[i];
  }
  return 0;
}

int refusingJacobian(const double*, const double*, size_t, size_t, double*, void*) { return 1; }

enum class Form { kPoint, kVector, kResiduals };

struct DecayFit {
  int status = 0;
  nlfit_result result;
  std::vector<double> params{4.0, 0.5, 0.5};
  std::vector<double> stdErrors = std::vector<double>(3);
  DecayFit() { nlfit_result_init(&result); }
};

// A fit of DecayData in the given form, exact derivatives when exact.
DecayFit fitDecay(Form form, bool exact, Derivatives u, nlfit_options o) {
  static const DecayData data;
  u.data = &data;
  DecayFit run;
  run.result.std_errors = run.stdErrors.data();
  o.compute_statistics = 1;
  if (form != Form::kResiduals) o.sigma = data.sigma.data();
  if (exact && form == Form::kPoint) o.gradient = decayGradient;
  if (exact && form != Form::kPoint) o.jacobian = (form == Form::kVector) ? decayJacobian : decayResidualJacobian;
  const size_t m = data.x.size();
  switch (form) {
    case Form::kPoint:
      run.status = nlfit_fit(decay, &u, 3, run.params.data(), m, data.x.data(), data.y.data(), &o, &run.result);
      break;
    case Form::kVector:
      run.status = nlfit_fit_vectorized(decayVector, &u, 3, run.params.data(), m, data.x.data(), data.y.data(), &o,
                                        &run.result);
      break;
    case Form::kResiduals:
      run.status = nlfit_fit_residuals(decayResiduals, &u, 3, run.params.data(), m, &o, &run.result);
      break;
  }
  return run;
}

nlfit_options defaults() {
  nlfit_options o;
  nlfit_options_init(&o);
  return o;
}

TEST(CallerJacobian, EveryFormReachesTheDifferenceResultAndCountsJacobiansApart) {
  for (Form form : {Form::kPoint, Form::kVector, Form::kResiduals}) {
    for (int variant : {0, 1, 2}) {
      SCOPED_TRACE(static_cast<int>(form) * 10 + variant);
      nlfit_options o = defaults();
      // 1: the offset held; 2: bounds on two parameters, through their maps.
      const unsigned char held[3] = {0, 0, 1};
      const double lower[3] = {0.0, 0.1, -INFINITY}, upper[3] = {10.0, INFINITY, INFINITY};
      if (variant == 1) o.held = held;
      if (variant == 2) {
        o.lower = lower;
        o.upper = upper;
      }
      const DecayFit numeric = fitDecay(form, false, Derivatives{}, o);
      const DecayFit exact = fitDecay(form, true, Derivatives{}, o);
      ASSERT_TRUE(numeric.result.converged);
      ASSERT_TRUE(exact.result.converged);
      for (int j = 0; j < 3; ++j) {
        EXPECT_NEAR(exact.params[j], numeric.params[j], 1e-7 * std::fabs(numeric.params[j]));
        EXPECT_NEAR(exact.stdErrors[j], numeric.stdErrors[j], 1e-5 * numeric.stdErrors[j]);
      }
      EXPECT_EQ(numeric.result.jacobian_evaluations, 0);
      // One Jacobian per iteration and one for the statistics, which then
      // evaluate nothing, and one more where the fit kept the statistics'
      // Gauss-Newton step (never with bounds); every residual evaluation is
      // a start, a trial or that step.
      EXPECT_GE(exact.result.jacobian_evaluations, exact.result.iterations + 1);
      EXPECT_LE(exact.result.jacobian_evaluations,
                exact.result.iterations + (variant == 2 ? 1 : 2));
      EXPECT_EQ(exact.result.statistics_evaluations, 0);
      EXPECT_GE(exact.result.evaluations, exact.result.iterations);
      EXPECT_LT(exact.result.evaluations, numeric.result.evaluations);
    }
  }
}

TEST(CallerJacobian, TheCheckNamesTheWorstColumn) {
  for (Form form : {Form::kPoint, Form::kVector, Form::kResiduals}) {
    for (int wrong : {-1, 0, 1, 2}) {
      SCOPED_TRACE(static_cast<int>(form) * 10 + wrong);
      nlfit_options o = defaults();
      o.check_jacobian = 1;
      const DecayFit run = fitDecay(form, true, Derivatives{wrong, nullptr}, o);
      if (wrong < 0) {
        EXPECT_LT(run.result.jacobian_check_error, 1e-7);
      } else {
        EXPECT_EQ(run.result.jacobian_check_column, wrong);
        EXPECT_GT(run.result.jacobian_check_error, 0.3);
      }
      EXPECT_EQ(run.result.statistics_evaluations, 2 * 3);  // the check's differences
    }
  }
  // No check without an exact Jacobian, or without the option.
  nlfit_options o = defaults();
  o.check_jacobian = 1;
  for (const DecayFit& run : {fitDecay(Form::kPoint, false, Derivatives{}, o),
                         fitDecay(Form::kPoint, true, Derivatives{}, defaults())}) {
    EXPECT_TRUE(std::isnan(run.result.jacobian_check_error));
    EXPECT_EQ(run.result.jacobian_check_column, -1);
  }
}

TEST(CallerJacobian, RefusesDerivativesACallCannotUseAndStopsWhenTheJacobianAsks) {
  const double x[3] = {0, 1, 2}, y[3] = {1, 2, 3};
  double p[3] = {1, 1, 1};
  nlfit_result r;
  nlfit_result_init(&r);
  nlfit_options both = defaults();
  both.jacobian = decayJacobian;
  both.gradient = decayGradient;
  nlfit_options vectorOnPoint = defaults();
  vectorOnPoint.jacobian = decayJacobian;
  nlfit_options gradientOnVector = defaults();
  gradientOnVector.gradient = decayGradient;
  nlfit_options badChoice = defaults();
  badChoice.derivatives = 7;
  Derivatives u;
  EXPECT_EQ(nlfit_fit(decay, &u, 3, p, 3, x, y, &both, &r), NLFIT_REFUSED_BAD_OPTION);
  EXPECT_EQ(nlfit_fit(decay, &u, 3, p, 3, x, y, &vectorOnPoint, &r), NLFIT_REFUSED_BAD_OPTION);
  EXPECT_EQ(nlfit_fit_vectorized(decayVector, &u, 3, p, 3, x, y, &gradientOnVector, &r), NLFIT_REFUSED_BAD_OPTION);
  EXPECT_EQ(nlfit_fit(decay, &u, 3, p, 3, x, y, &badChoice, &r), NLFIT_REFUSED_BAD_OPTION);
  nlfit_model* line = nlfit_model_builtin("line");
  double q[2] = {1, 1};
  EXPECT_EQ(nlfit_fit_model(line, 2, q, 3, x, y, &vectorOnPoint, &r), NLFIT_REFUSED_BAD_OPTION);
  nlfit_model_free(line);

  nlfit_options refusing = defaults();
  refusing.jacobian = refusingJacobian;
  EXPECT_EQ(nlfit_fit_vectorized(decayVector, &u, 3, p, 3, x, y, &refusing, &r), NLFIT_STOPPED_BY_MODEL);
  EXPECT_EQ(r.evaluations, 1);
  EXPECT_EQ(r.jacobian_evaluations, 1);
}

}  // namespace

// ---- The catalogue's hand-written derivatives.

#include <random>
#include <string>

#include "models/builtin_gradients.h"

namespace {

TEST(CatalogueDerivatives, AgreeWithCentralDifferencesAtRandomPoints) {
  std::mt19937_64 random(20261209);
  std::uniform_real_distribution<double> abscissa(0.5, 3.0), parameter(0.5, 2.0);
  for (const NlfitBuiltinModel& model : kNlfitBuiltinModels) {
    SCOPED_TRACE(model.name);
    const nlfit::BuiltinGradient gradient = nlfit::builtinGradient(model.function);
    ASSERT_NE(gradient, nullptr);
    const int n = model.parameterCount;
    double worst = 0.0;
    for (int trial = 0; trial < 50; ++trial) {
      double b[NLFIT_BUILTIN_MAX_PARAMETERS], g[NLFIT_BUILTIN_MAX_PARAMETERS];
      for (int j = 0; j < n; ++j) b[j] = parameter(random);
      const double x = abscissa(random);
      gradient(x, b, g);
      const double f = model.function(x, b);
      for (int j = 0; j < n; ++j) {
        const double saved = b[j];
        const double h = 2e-6 * saved;
        b[j] = saved + h;
        const double up = model.function(x, b);
        b[j] = saved - h;
        const double down = model.function(x, b);
        b[j] = saved;
        const double central = (up - down) / (2.0 * h);
        // Relative to the derivative, or to f / b_j where it nearly vanishes.
        const double scale = std::max({std::fabs(central), std::fabs(g[j]), 1e-3 * std::fabs(f / saved)});
        worst = std::max(worst, std::fabs(g[j] - central) / scale);
      }
    }
    EXPECT_LT(worst, 1e-7);
  }
}

}  // namespace

// ---- Formulas in dual numbers.

#include "models/model_handle.h"
#include "models/model_instance.h"

namespace {

// The worst relative difference between a formula's exact Jacobian and
// reference(x, params, column) at m points x in [lo, hi] and parameters in
// [0.5, 1.5]; -1 when the formula has no exact Jacobian.
template <typename Reference>
double worstFormulaError(const char* formula, const char* const* names, std::size_t count, double lo,
                         double hi, Reference reference) {
  nlfit_model* model = nlfit_model_formula(formula, names, count, nullptr, 0);
  EXPECT_NE(model, nullptr) << formula;
  if (model == nullptr) return 1.0;
  std::unique_ptr<nlfit::ModelInstance> instance = nlfit::newModelInstance(*model);
  const std::size_t n = nlfit_model_parameter_count(model);
  nlfit_model_free(model);
  if (!instance->hasJacobian()) return -1.0;
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> abscissa(lo, hi), parameter(0.5, 1.5);
  const std::size_t m = 300;  // more than one block
  std::vector<double> x(m), p(n), rows(m * n), g(n);
  for (double& v : x) v = abscissa(random);
  for (double& v : p) v = parameter(random);
  instance->jacobian(p.data(), x.data(), m, rows.data());
  double worst = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    reference(x[i], p, g.data(), *instance);
    for (std::size_t j = 0; j < n; ++j) {
      const double exact = rows[i * n + j];
      worst = std::max(worst, std::fabs(exact - g[j]) / std::max({std::fabs(g[j]), std::fabs(exact), 1e-6}));
    }
  }
  return worst;
}

TEST(FormulaDerivatives, MatchTheCatalogueFunctionByFunction) {
  for (const NlfitBuiltinModel& entry : kNlfitBuiltinModels) {
    SCOPED_TRACE(entry.name);
    const nlfit::BuiltinGradient gradient = nlfit::builtinGradient(entry.function);
    const double worst = worstFormulaError(
        entry.formula, entry.parameters, static_cast<std::size_t>(entry.parameterCount), 0.5, 3.0,
        [&](double x, const std::vector<double>& p, double* g, nlfit::ModelInstance&) { gradient(x, p.data(), g); });
    EXPECT_GE(worst, 0.0);
    EXPECT_LT(worst, 1e-12);
  }
}

TEST(FormulaDerivatives, CoverEveryFunctionOfTheLanguageAndOnlyThoseOfTheOwnLoop) {
  // Central differences of the formula itself.
  auto central = [](double x, const std::vector<double>& p, double* g, nlfit::ModelInstance& f) {
    std::vector<double> q = p;
    for (std::size_t j = 0; j < p.size(); ++j) {
      const double h = 1e-6 * p[j];
      double up = 0, down = 0;
      q[j] = p[j] + h;
      f.evaluate(q.data(), &x, 1, &up);
      q[j] = p[j] - h;
      f.evaluate(q.data(), &x, 1, &down);
      q[j] = p[j];
      g[j] = (up - down) / (2.0 * h);
    }
  };
  const char* formulas[] = {
      "a*sin(b*x) + cos(c*x) - tan(a*x/4) + -b",
      "asin(a*x/4) + acos(b*x/4) * atan(c*x) + +a",
      "sinh(a*x) / cosh(b*x) + tanh(c*x) + asinh(a*x)",
      "acosh(1 + a*x) + atanh(b*x/4) + exp(-c*x)",
      "log(a*x) + ln(b + x) + log10(c*x) * log2(a + x)",
      "sqrt(a*x) + abs(b - x) + sign(c)*a + erf(a*x) - erfc(b*x)",
      "atan2(a, b*x) + pow(x, c) + min(a*x, 5) + max(-5, c*x)",
      "a^b + (b*x)^2 + x**c",
  };
  for (const char* formula : formulas) {
    SCOPED_TRACE(formula);
    EXPECT_LT(worstFormulaError(formula, nullptr, 0, 0.2, 1.9, central), 1e-6);
  }
  // Comparisons and ?: run in muparser's own evaluator: no exact Jacobian.
  EXPECT_EQ(worstFormulaError("x < a ? b*x : c", nullptr, 0, 0.2, 1.9, central), -1.0);
}

}  // namespace

namespace {

// The catalogue's models of two predictors: their hand-written gradients
// against central differences, and their formula texts' dual-number
// Jacobians (predictors x1, x2; 300 rows, more than one block) against those.
TEST(CatalogueDerivatives, TwoPredictorModelsAgreeWithDifferencesAndTheirFormulas) {
  std::mt19937_64 random(20261209);
  std::uniform_real_distribution<double> abscissa(-1.5, 1.5), parameter(0.5, 2.0);
  for (const NlfitBuiltinMultiModel& model : kNlfitBuiltinMultiModels) {
    SCOPED_TRACE(model.name);
    const nlfit::BuiltinMultiGradient gradient = nlfit::builtinMultiGradient(model.function);
    ASSERT_NE(gradient, nullptr);
    const std::size_t n = static_cast<std::size_t>(model.parameterCount), m = 300;
    const char* predictors[] = {"x1", "x2"};
    nlfit_model* text = nlfit_model_formula_predictors(model.formula, predictors, 2,
                                                       model.parameters, n, nullptr, 0);
    ASSERT_NE(text, nullptr);
    std::unique_ptr<nlfit::ModelInstance> instance = nlfit::newModelInstance(*text);
    nlfit_model_free(text);
    ASSERT_TRUE(instance->hasJacobian());
    std::vector<double> x(2 * m), b(n), rows(m * n), g(n);
    for (double& v : x) v = abscissa(random);
    for (double& v : b) v = parameter(random);
    instance->jacobian(b.data(), x.data(), m, rows.data());
    double worstDifference = 0.0, worstFormula = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      const double* xi = x.data() + 2 * i;
      gradient(xi, b.data(), g.data());
      const double f = model.function(xi, b.data());
      for (std::size_t j = 0; j < n; ++j) {
        const double saved = b[j], h = 2e-6 * saved;
        b[j] = saved + h;
        const double up = model.function(xi, b.data());
        b[j] = saved - h;
        const double down = model.function(xi, b.data());
        b[j] = saved;
        const double central = (up - down) / (2.0 * h);
        const double scale = std::max({std::fabs(central), std::fabs(g[j]), 1e-3 * std::fabs(f / saved)});
        worstDifference = std::max(worstDifference, std::fabs(g[j] - central) / scale);
        const double exact = rows[i * n + j];
        worstFormula = std::max(worstFormula, std::fabs(exact - g[j]) /
                                                  std::max({std::fabs(g[j]), std::fabs(exact), 1e-6}));
      }
    }
    EXPECT_LT(worstDifference, 1e-7);
    EXPECT_LT(worstFormula, 1e-12);
  }
}

}  // namespace
