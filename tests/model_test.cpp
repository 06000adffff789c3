// Model handles: formula compilation (names, order, errors), evaluation in
// the written order, the catalogue against its own formula texts, and
// handles shared by threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "models/builtin_models.h"
#include "models/formula.h"
#include "nist_dataset.h"
#include "models/model_instance.h"
#include "nlfit/fit.h"

namespace {

struct ModelDeleter {
  void operator()(nlfit_model* m) const { nlfit_model_free(m); }
};
using Model = std::unique_ptr<nlfit_model, ModelDeleter>;

Model formula(const char* text, std::vector<const char*> names = {}, std::string* error = nullptr) {
  char buffer[256] = "";
  Model m(nlfit_model_formula(text, names.empty() ? nullptr : names.data(), names.size(), buffer,
                              sizeof buffer));
  if (error != nullptr) *error = buffer;
  return m;
}

std::vector<std::string> parameterNames(const nlfit_model* m) {
  std::vector<std::string> names;
  for (std::size_t j = 0; j < nlfit_model_parameter_count(m); ++j)
    names.emplace_back(nlfit_model_parameter_name(m, j));
  return names;
}

// x holds rows of the model's d predictors.
std::vector<double> evaluate(const nlfit_model* m, const std::vector<double>& params,
                             const std::vector<double>& x) {
  const std::size_t d = nlfit_model_predictor_count(m);
  std::vector<double> values(x.size() / d);
  EXPECT_EQ(nlfit_model_evaluate_multi(m, params.data(), x.data(), values.size(), d,
                                       values.data()),
            0);
  return values;
}

std::vector<double> grid(double low, double high, std::size_t count) {
  std::vector<double> x(count);
  for (std::size_t i = 0; i < count; ++i)
    x[i] = low + (high - low) * static_cast<double>(i) / static_cast<double>(count - 1);
  return x;
}

// Distance in units in the last place (0 for two NaNs).
std::uint64_t ulps(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return 0;
  if (std::isnan(a) || std::isnan(b)) return UINT64_MAX;
  auto key = [](double v) {
    std::int64_t i;
    std::memcpy(&i, &v, sizeof i);
    return i < 0 ? INT64_MIN - i : i;
  };
  const std::int64_t ka = key(a), kb = key(b);
  return ka > kb ? static_cast<std::uint64_t>(ka - kb) : static_cast<std::uint64_t>(kb - ka);
}

TEST(FormulaModel, FindsParametersInOrderOfFirstAppearanceOrAsNamed) {
  struct Case {
    const char* text;
    std::vector<const char*> names;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"a*exp(-b*x)+c", {}, {"a", "b", "c"}},
      {"c + b*x + a*x^2 + b", {}, {"c", "b", "a"}},
      {"e*x + pi", {}, {"e"}},  // e is a parameter, pi is not
      {"b1*x**b2 + 1e-3 + 2.5E+2*x", {}, {"b1", "b2"}},  // exponents of numbers are not names
      {"sin(w*x + phi) * amp_1", {}, {"w", "phi", "amp_1"}},
      {"a*exp(-b*x)+c", {"c", "b", "a"}, {"c", "b", "a"}},
  };
  for (const Case& c : cases) {
    std::string error;
    Model m = formula(c.text, c.names, &error);
    ASSERT_TRUE(m) << c.text << ": " << error;
    EXPECT_EQ(parameterNames(m.get()), c.expected) << c.text;
    EXPECT_STREQ(nlfit_model_formula_text(m.get()), c.text);
    EXPECT_STREQ(nlfit_model_name(m.get()), "formula");
  }
}

TEST(FormulaModel, EvaluatesAsWrittenWithPiAndBothPowers) {
  const std::vector<double> x = grid(-3.7, 5.3, 997);
  struct Case {
    const char* text;
    std::vector<double> params;
    double (*expected)(double, const double*);
  };
  const Case cases[] = {
      // Without the optimiser's reassociation: (x*0.1)*3, not x*0.3.
      {"x*0.1*3*k", {1.0}, [](double v, const double* p) { return v * 0.1 * 3 * p[0]; }},
      {"a*x**2 + pi", {1.3},
       [](double v, const double* p) { return p[0] * std::pow(v, 2.0) + 3.14159265358979323846; }},
      {"a*x^3 - 2/3*x*e", {0.7, 1.1},
       [](double v, const double* p) { return p[0] * std::pow(v, 3.0) - 2.0 / 3.0 * v * p[1]; }},
      {"2**-a*x", {0.5}, [](double v, const double* p) { return std::pow(2.0, -p[0]) * v; }},
  };
  for (const Case& c : cases) {
    Model m = formula(c.text);
    ASSERT_TRUE(m) << c.text;
    const std::vector<double> values = evaluate(m.get(), c.params, x);
    for (std::size_t i = 0; i < x.size(); ++i)
      ASSERT_EQ(values[i], c.expected(x[i], c.params.data())) << c.text << " at x = " << x[i];
  }
}

TEST(FormulaModel, RefusesWithOneMessageAndItsPosition) {
  struct Case {
    const char* text;
    std::vector<const char*> names;
    const char* message;
  };
  const Case cases[] = {
      {"a*foo(x) + b", {}, "unknown function 'foo' at position 3"},
      {"a*x +* b", {}, "syntax error: unexpected operator '*' at position 6"},
      {"a*(x + b", {}, "syntax error: missing closing parenthesis at position 9"},
      {"a*x +", {}, "syntax error: the formula ends too early at position 6"},
      {"a*x, b", {}, "syntax error: unexpected ',' at position 4"},
      {"a = x", {}, "syntax error: unexpected '=' at position 3"},
      {"sin*a", {}, "function 'sin' without its arguments at position 1"},
      {"2*x + pi", {}, "the formula has no parameters"},
      {"a*exp(-b*t)+c", {}, "does not use x: a, b, t and c would all be fitted as constants"},
      {"a*exp(-b*X)+c", {}, "does not use x (X is not x: names are case-sensitive): a, b, X and c"},
      {"c*1", {}, "c would be fitted as a constant (every name but x, pi and the functions is a "
                  "parameter); fit a constant as c + 0*x"},
      {"   ", {}, "empty formula"},
      {"a*x + b", {"a"}, "'b' at position 7 is not one of the parameter names"},
      {"a*x", {"a", "b"}, "parameter 'b' does not occur in the formula"},
      {"a*x", {"x"}, "invalid parameter name 'x'"},
      {"a*1e999", {}, "number '1e999' out of range at position 3"},
  };
  for (const Case& c : cases) {
    std::string error;
    Model m = formula(c.text, c.names, &error);
    EXPECT_FALSE(m) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
  }
  // A short buffer gets a truncated, terminated message; none is fine too.
  char tiny[8];
  EXPECT_EQ(nlfit_model_formula("a*foo(x)", nullptr, 0, tiny, sizeof tiny), nullptr);
  EXPECT_STREQ(tiny, "unknown");
  EXPECT_EQ(nlfit_model_formula("a*foo(x)", nullptr, 0, nullptr, 0), nullptr);
  EXPECT_EQ(nlfit_model_formula(nullptr, nullptr, 0, nullptr, 0), nullptr);
}

// The layer's own loop over muparser's program against muparser's evaluator.
TEST(FormulaModel, OwnLoopGivesMuparsersBitsAndFallsBackForConditionals) {
  const char* const texts[] = {
      "a*exp(-b*x) + c*exp(-d*x) + f",
      "-a^2*x/(b - x) + sqrt(abs(c*x)) - log(1 + x^2)*d",
      "atan2(a, x) + min(b, x)*max(c, -x) + pow(d, x/7) + sign(x)*erf(x)",
      "a*cos(2*pi*x/b) + (x < c ? d : -d)",  // conditional: muparser's own evaluator
      "-a - -x*b + +c",
  };
  const std::vector<double> x = grid(-4.2, 6.1, 301);
  const std::vector<double> params = {1.3, -0.45, 2.2, 0.8, -1.7};
  for (const char* text : texts) {
    Model m = formula(text);
    ASSERT_TRUE(m) << text;
    const std::size_t n = nlfit_model_parameter_count(m.get());
    auto own = nlfit::newFormulaInstance(*m);
    auto reference = nlfit::newFormulaInstanceParserOnly(*m);
    std::vector<double> a(x.size()), b(x.size());
    own->evaluate(params.data(), x.data(), x.size(), a.data());
    reference->evaluate(params.data(), x.data(), x.size(), b.data());
    ASSERT_LE(n, params.size());
    for (std::size_t i = 0; i < x.size(); ++i)
      ASSERT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << text << " at x = " << x[i];
  }
}

TEST(Catalogue, EveryModelAgreesWithItsFormulaText) {
  const std::size_t count = nlfit_model_builtin_count();
  EXPECT_EQ(count, 38u);
  EXPECT_EQ(nlfit_model_builtin_name(count), nullptr);
  std::size_t nist = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const char* name = nlfit_model_builtin_name(k);
    Model builtin(nlfit_model_builtin(name));
    ASSERT_TRUE(builtin) << name;
    EXPECT_STREQ(nlfit_model_name(builtin.get()), name);
    if (std::strncmp(nlfit_model_description(builtin.get()), "NIST ", 5) == 0) ++nist;
    const std::vector<std::string> names = parameterNames(builtin.get());
    std::vector<const char*> given;
    for (const std::string& s : names) given.push_back(s.c_str());
    std::vector<const char*> predictors;
    const std::size_t d = nlfit_model_predictor_count(builtin.get());
    for (std::size_t k = 0; d > 1 && k < d; ++k)
      predictors.push_back(nlfit_model_predictor_name(builtin.get(), k));
    char error[256] = "";
    Model text(nlfit_model_formula_predictors(nlfit_model_formula_text(builtin.get()),
                                              predictors.data(), predictors.size(), given.data(),
                                              given.size(), error, sizeof error));
    ASSERT_TRUE(text) << name << ": " << error;
    EXPECT_EQ(nlfit_model_predictor_count(text.get()), d) << name;

    // Two parameter sets of moderate values, x on both sides of 0.
    for (double shift : {0.0, 0.37}) {
      std::vector<double> params(names.size());
      for (std::size_t j = 0; j < params.size(); ++j)
        params[j] = 0.6 + shift + 0.23 * static_cast<double>(j);
      // d predictors: the grid, then its reverse, then its reverse shifted.
      std::vector<double> x = grid(-2.5, 14.0, 211 * d);
      for (std::size_t k = 1; k < d; ++k)
        for (std::size_t i = 0; i < 211; ++i) x[i * d + k] = x[(210 - i) * d] * 0.1 + 0.5 * k;
      const std::vector<double> a = evaluate(builtin.get(), params, x);
      const std::vector<double> b = evaluate(text.get(), params, x);
      std::size_t finite = 0;
      for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_LE(ulps(a[i], b[i]), 4u) << name << " at row " << i << ": " << a[i] << " vs "
                                        << b[i];
        finite += std::isfinite(a[i]) ? 1 : 0;
      }
      EXPECT_GT(finite, a.size() / 3) << name;  // the comparison is not all NaN
    }
  }
  EXPECT_EQ(nist, 26u);
  // Names are case-insensitive; unknown names give NULL.
  Model misra(nlfit_model_builtin("mIsRa1A"));
  ASSERT_TRUE(misra);
  EXPECT_STREQ(nlfit_model_name(misra.get()), "Misra1a");
  EXPECT_EQ(nlfit_model_builtin("Nelson"), nullptr);
  EXPECT_EQ(nlfit_model_builtin(nullptr), nullptr);
}

TEST(ModelHandle, SharedByThreadsGivesTheSameBits) {
  Model m = formula("a1*exp(-k1*x) + a2*exp(-k2*x) + c");
  ASSERT_TRUE(m);
  const std::vector<double> params = {2.0, 0.7, -1.1, 0.05, 0.3};
  const std::vector<double> x = grid(0.0, 40.0, 1000);
  const std::vector<double> expected = evaluate(m.get(), params, x);
  std::vector<std::vector<double>> got(4);
  std::vector<std::thread> threads;
  for (std::vector<double>& values : got) {
    threads.emplace_back([&m, &params, &x, &values] {
      for (int round = 0; round < 20; ++round) values = evaluate(m.get(), params, x);
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::vector<double>& values : got)
    EXPECT_EQ(std::memcmp(values.data(), expected.data(), x.size() * sizeof(double)), 0);
}

TEST(ModelHandle, FitRefusesNullHandleAndWrongParameterCount) {
  Model m(nlfit_model_builtin("exp_decay"));
  double params[4] = {1, 1, 0, 0};
  const double x[3] = {0, 1, 2}, y[3] = {1, 0.5, 0.25};
  nlfit_result result;
  nlfit_result_init(&result);
  EXPECT_EQ(nlfit_fit_model(nullptr, 3, params, 3, x, y, nullptr, &result),
            NLFIT_REFUSED_NULL_POINTER);
  EXPECT_EQ(result.status, NLFIT_REFUSED_NULL_POINTER);
  EXPECT_EQ(nlfit_fit_model(m.get(), 4, params, 3, x, y, nullptr, &result),
            NLFIT_REFUSED_BAD_MODEL);
  EXPECT_EQ(result.status, NLFIT_REFUSED_BAD_MODEL);
  EXPECT_EQ(nlfit_model_evaluate(m.get(), nullptr, x, 3, params), NLFIT_REFUSED_NULL_POINTER);
}

// A fit with a catalogue handle, with a formula handle of the same text and
// with the C function in point form: the same model values, so the same fit
// when the handles take difference derivatives too.
TEST(ModelHandle, FitsLikeTheSameModelInPointForm) {
  nlfit_options numeric;
  nlfit_options_init(&numeric);
  numeric.derivatives = NLFIT_DERIVATIVES_NUMERIC;
  for (const char* name : {"Misra1a", "Thurber"}) {
    nist::Dataset data;
    std::string error;
    ASSERT_TRUE(nist::readDataset(std::string(NLFIT_PROJECT_DATA_DIR) + "/nist/" + name + ".dat",
                                  &data, &error))
        << error;
    Model builtin(nlfit_model_builtin(name));
    ASSERT_TRUE(builtin);
    Model text = formula(nlfit_model_formula_text(builtin.get()));
    ASSERT_TRUE(text);
    const std::size_t n = data.start1.size(), m = data.x.size();
    std::vector<double> pBuiltin = data.start1, pText = data.start1, pPoint = data.start1;
    nlfit_result rBuiltin, rText, rPoint;
    nlfit_result_init(&rBuiltin);
    rText = rPoint = rBuiltin;
    ASSERT_GT(nlfit_fit_model(builtin.get(), n, pBuiltin.data(), m, data.x.data(),
                              data.y.data(), &numeric, &rBuiltin), 0);
    ASSERT_GT(nlfit_fit_model(text.get(), n, pText.data(), m, data.x.data(), data.y.data(),
                              &numeric, &rText), 0);
    NlfitBuiltinFunction function =
        std::strcmp(name, "Misra1a") == 0 ? nlfitModelMisra1a : nlfitModelCubicRational;
    auto point = [](double x, const double* p, void* user) {
      return (*static_cast<NlfitBuiltinFunction*>(user))(x, p);
    };
    ASSERT_GT(nlfit_fit(point, &function, n, pPoint.data(), m,
                        data.x.data(), data.y.data(), nullptr, &rPoint), 0);
    EXPECT_TRUE(rBuiltin.converged) << name;
    EXPECT_EQ(rBuiltin.evaluations, rPoint.evaluations) << name;
    EXPECT_EQ(rText.evaluations, rPoint.evaluations) << name;
    EXPECT_EQ(std::memcmp(pBuiltin.data(), pPoint.data(), n * sizeof(double)), 0) << name;
    EXPECT_EQ(std::memcmp(pText.data(), pPoint.data(), n * sizeof(double)), 0) << name;
  }
}

// Asked for, a converged fit with exact derivatives and statistics takes
// the statistics' Gauss-Newton step once: Thurber's standard errors reach 6
// digits from both starts (5.99 and 5.94 where the fit stops), the sum of
// squares only falls, and the step costs one evaluation and, kept, one more
// Jacobian. Not asked for, or without statistics, the fit ends where the
// solver stops.
TEST(ModelHandle, ExactFitWithStatisticsTakesTheGaussNewtonStepOnce) {
  nist::Dataset data;
  std::string error;
  ASSERT_TRUE(nist::readDataset(std::string(NLFIT_PROJECT_DATA_DIR) + "/nist/Thurber.dat", &data,
                                &error))
      << error;
  Model thurber(nlfit_model_builtin("Thurber"));
  ASSERT_TRUE(thurber);
  const std::size_t n = data.start1.size(), m = data.x.size();
  for (const std::vector<double>* start : {&data.start1, &data.start2}) {
    nlfit_options o;
    nlfit_options_init(&o);
    std::vector<double> plain = *start, polished = *start, errors(n);
    nlfit_result rPlain, rPolished;
    nlfit_result_init(&rPlain);
    rPolished = rPlain;
    ASSERT_EQ(nlfit_fit_model(thurber.get(), n, plain.data(), m, data.x.data(), data.y.data(), &o,
                              &rPlain),
              NLFIT_CONVERGED_REDUCTION);
    o.compute_statistics = 1;
    std::vector<double> unstepped = *start;
    nlfit_result rUnstepped = rPolished;
    ASSERT_EQ(nlfit_fit_model(thurber.get(), n, unstepped.data(), m, data.x.data(),
                              data.y.data(), &o, &rUnstepped),
              NLFIT_CONVERGED_REDUCTION);
    EXPECT_EQ(std::memcmp(unstepped.data(), plain.data(), n * sizeof(double)), 0);
    o.gauss_newton_step = 1;
    rPolished.std_errors = errors.data();
    ASSERT_EQ(nlfit_fit_model(thurber.get(), n, polished.data(), m, data.x.data(),
                              data.y.data(), &o, &rPolished),
              NLFIT_CONVERGED_REDUCTION);
    EXPECT_LT(rPolished.rss, rPlain.rss);
    EXPECT_EQ(rPolished.iterations, rPlain.iterations);
    EXPECT_EQ(rPolished.evaluations, rPlain.evaluations + 1);
    EXPECT_EQ(rPolished.jacobian_evaluations, rPlain.jacobian_evaluations + 2);
    for (std::size_t j = 0; j < n; ++j) {
      const double digits = -std::log10(std::fabs(errors[j] - data.certifiedSd[j]) /
                                        data.certifiedSd[j]);
      EXPECT_GE(digits, 6.0) << "b" << j + 1;
    }
  }
}

}  // namespace

namespace {

// A 2-D Gaussian spot on a 21 x 21 grid with fixed pseudo-random noise:
// x as 441 rows of (u, v).
struct Spot {
  std::vector<double> x, y;
  const double truth[5] = {5.0, 0.4, 1.1, 0.8, 0.5};
  Spot() {
    std::uint64_t state = 12345;
    for (int i = 0; i < 21; ++i) {
      for (int j = 0; j < 21; ++j) {
        const double u = -3.0 + 0.3 * i, v = -2.0 + 0.3 * j;
        x.push_back(u);
        x.push_back(v);
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = (static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5) * 0.1;
        y.push_back(nlfitModelGaussian2d(&x[x.size() - 2], truth) + noise);
      }
    }
  }
};

Model formulaIn(const char* text, std::vector<const char*> predictors, std::string* error = nullptr) {
  char buffer[256] = "";
  Model m(nlfit_model_formula_predictors(text, predictors.data(), predictors.size(), nullptr, 0,
                                         buffer, sizeof buffer));
  if (error != nullptr) *error = buffer;
  return m;
}

TEST(SeveralPredictors, FormulaNamesAreCheckedAndEveryPredictorMustOccur) {
  std::string error;
  for (const auto& bad : std::vector<std::pair<std::vector<const char*>, const char*>>{
           {{"u", "v"}, "predictor 'v' does not occur"},
           {{"u", "u"}, "predictor name 'u' given twice"},
           {{"u", "pi"}, "invalid predictor name 'pi'"},
           {{"u", "exp"}, "invalid predictor name 'exp'"},
           {{"u", "2v"}, "invalid predictor name '2v'"}}) {
    EXPECT_FALSE(formulaIn("a*exp(-b*u) + c", bad.first, &error));
    EXPECT_NE(error.find(bad.second), std::string::npos) << error;
  }
  // x is an ordinary parameter name once the predictors are named.
  Model m = formulaIn("x*u + b*v", {"u", "v"}, &error);
  ASSERT_TRUE(m) << error;
  EXPECT_EQ(parameterNames(m.get()), (std::vector<std::string>{"x", "b"}));
  EXPECT_EQ(nlfit_model_predictor_count(m.get()), 2u);
  EXPECT_STREQ(nlfit_model_predictor_name(m.get(), 1), "v");
  EXPECT_EQ(nlfit_model_predictor_name(m.get(), 2), nullptr);
}

// The formula layer's own loop (blocks of 128 rows) and muparser's evaluator
// agree bit for bit with several predictors, and with the catalogue's C
// function to a few ulps.
TEST(SeveralPredictors, EvaluationAgreesAcrossEvaluatorsAndRefusesAMismatchedCount) {
  const Spot spot;
  Model text = formulaIn("a*exp(-((u - x0)^2 + (v - y0)^2) / (2*sigma^2)) + c", {"u", "v"});
  Model builtin(nlfit_model_builtin("gaussian2d"));
  ASSERT_TRUE(text && builtin);
  const std::size_t m = spot.y.size();
  std::vector<double> a(m), b(m), c(m);
  nlfit::newFormulaInstance(*text)->evaluate(spot.truth, spot.x.data(), m, a.data());
  nlfit::newFormulaInstanceParserOnly(*text)->evaluate(spot.truth, spot.x.data(), m, b.data());
  ASSERT_EQ(nlfit_model_evaluate_multi(builtin.get(), spot.truth, spot.x.data(), m, 2, c.data()), 0);
  for (std::size_t i = 0; i < m; ++i) {
    ASSERT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << i;
    ASSERT_LE(ulps(a[i], c[i]), 4u) << i;
  }
  double params[5] = {1, 1, 1, 1, 1}, y[3] = {1, 2, 3};
  EXPECT_EQ(nlfit_model_evaluate(builtin.get(), spot.truth, spot.x.data(), 3, c.data()),
            NLFIT_REFUSED_BAD_MODEL);
  EXPECT_EQ(nlfit_model_evaluate_multi(builtin.get(), spot.truth, spot.x.data(), 3, 3, c.data()),
            NLFIT_REFUSED_BAD_MODEL);
  EXPECT_EQ(nlfit_fit_model(builtin.get(), 5, params, 3, spot.x.data(), y, nullptr, nullptr),
            NLFIT_REFUSED_BAD_MODEL);
}

// Both spots from their automatic starts recover the truth within 5
// standard errors; a batch of them is bit for bit the single fits; the
// batch refuses a point model with two predictors.
TEST(SeveralPredictors, SpotsFitFromAutomaticStartsAloneAndInABatch) {
  const Spot spot;
  const std::size_t m = spot.y.size();
  for (const char* name : {"gaussian2d", "gaussian2d_elliptic"}) {
    Model model(nlfit_model_builtin(name));
    const std::size_t n = nlfit_model_parameter_count(model.get());
    std::vector<double> p(n), errors(n);
    std::vector<unsigned char> origin(n);
    ASSERT_EQ(nlfit_model_auto_start(model.get(), n, p.data(), nullptr, m, spot.x.data(),
                                     spot.y.data(), nullptr, origin.data()), 0);
    EXPECT_EQ(origin, std::vector<unsigned char>(n, NLFIT_START_AUTOMATIC));
    nlfit_options options;
    nlfit_options_init(&options);
    options.compute_statistics = 1;
    nlfit_result result;
    nlfit_result_init(&result);
    result.std_errors = errors.data();
    ASSERT_GT(nlfit_fit_model_multi(model.get(), n, p.data(), m, 2, spot.x.data(), spot.y.data(),
                                    &options, &result), 0);
    EXPECT_TRUE(result.converged) << name;
    const int same[] = {0, 1, 2, static_cast<int>(n) - 1};  // a, x0, y0, c
    const int truth[] = {0, 1, 2, 4};
    for (int k = 0; k < 4; ++k)
      EXPECT_LT(std::fabs(p[same[k]] - spot.truth[truth[k]]), 5 * errors[same[k]]) << name << k;
    if (n == 5) {
      EXPECT_LT(std::fabs(p[3] - spot.truth[3]), 5 * errors[3]);
    }

    // Two curves: the spot and the spot doubled, sharing x.
    std::vector<double> Y = spot.y;
    for (double v : spot.y) Y.push_back(2 * v);
    std::vector<double> start(n), out(2 * n);
    start = p;  // the fit's result as the batch's shared start

    nlfit_batch_data data;
    nlfit_batch_data_init(&data);
    data.curves = 2;
    data.points = m;
    data.x = spot.x.data();
    data.y = Y.data();
    data.start = start.data();
    data.predictors = 2;
    nlfit_batch_outputs outputs;
    nlfit_batch_outputs_init(&outputs);
    outputs.params = out.data();
    ASSERT_EQ(nlfit_fit_many(model.get(), nullptr, nullptr, n, &data, nullptr, &outputs), 0);
    for (std::size_t k = 0; k < 2; ++k) {
      std::vector<double> single = start;
      nlfit_fit_model_multi(model.get(), n, single.data(), m, 2, spot.x.data(), Y.data() + k * m,
                            nullptr, nullptr);
      EXPECT_EQ(std::memcmp(single.data(), out.data() + k * n, n * sizeof(double)), 0) << name;
    }
    data.predictors = 1;
    EXPECT_EQ(nlfit_fit_many(model.get(), nullptr, nullptr, n, &data, nullptr, &outputs),
              NLFIT_REFUSED_BAD_MODEL);
    data.predictors = 2;
    auto point = [](double, const double*, void*) { return 0.0; };
    EXPECT_EQ(nlfit_fit_many(nullptr, point, nullptr, n, &data, nullptr, &outputs),
              NLFIT_REFUSED_BAD_MODEL);
  }
}

}  // namespace
