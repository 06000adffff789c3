// Automatic starting values (nlfit_model_auto_start): every everyday shape,
// started from its own noisy curve, fits back to the truth; the caller's
// values win; models without a method start at 1.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "nlfit/fit.h"

namespace {

struct ModelFree {
  void operator()(nlfit_model* m) const { nlfit_model_free(m); }
};
using Model = std::unique_ptr<nlfit_model, ModelFree>;

struct Shape {
  const char* name;
  std::vector<double> truth;
  double lo, hi;  // the abscissae
};

// m points over [lo, hi] with deterministic noise of 1 % of the curve's range.
void curve(const nlfit_model* model, const Shape& s, int m, std::vector<double>* x,
           std::vector<double>* y) {
  x->resize(m);
  y->resize(m);
  for (int i = 0; i < m; ++i) (*x)[i] = s.lo + (s.hi - s.lo) * i / (m - 1);
  nlfit_model_evaluate(model, s.truth.data(), x->data(), m, y->data());
  double lo = (*y)[0], hi = (*y)[0];
  for (double v : *y) lo = std::fmin(lo, v), hi = std::fmax(hi, v);
  for (int i = 0; i < m; ++i) (*y)[i] += 0.01 * (hi - lo) * std::sin(12.9898 * i + 0.5);
}

TEST(AutoStart, EveryShapeFitsItsOwnCurveBackFromTheData) {
  const Shape shapes[] = {
      {"line", {1.5, -0.3}, 0, 10},
      {"quadratic", {2, -1, 0.25}, 1000, 1010},
      {"exp_decay", {40, 0.05, -3}, 0, 80},
      {"two_exp", {5, 2.0, 3, 0.2, 1}, 0, 20},
      {"gaussian", {-4, 130, 6, 2}, 100, 200},
      {"lorentzian", {3, 0.4, 0.05, -1}, 0, 1},
      {"logistic4", {1, 9, -0.8, 15}, 0, 30},
      {"hill", {50, 2e-3, 1.7}, 1e-4, 4e-2},
      {"michaelis_menten", {12, 30}, 1, 200},
      {"power_law", {-3, 1.6}, 0.5, 50},
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.name);
    Model model(nlfit_model_builtin(s.name));
    ASSERT_TRUE(model);
    EXPECT_EQ(nlfit_model_has_auto_start(model.get()), 1);
    const std::size_t n = s.truth.size();
    std::vector<double> x, y;
    curve(model.get(), s, 60, &x, &y);
    std::vector<double> start(n, 0.0);
    std::vector<unsigned char> origin(n, 9);
    ASSERT_EQ(nlfit_model_auto_start(model.get(), n, start.data(), nullptr, x.size(), x.data(),
                                     y.data(), nullptr, origin.data()),
              0);
    for (unsigned char o : origin) EXPECT_EQ(o, NLFIT_START_AUTOMATIC);

    // The same rows in another order give the same bits.
    std::vector<double> rx(x.rbegin(), x.rend()), ry(y.rbegin(), y.rend()), again(n, 0.0);
    nlfit_model_auto_start(model.get(), n, again.data(), nullptr, rx.size(), rx.data(),
                           ry.data(), nullptr, nullptr);
    EXPECT_EQ(std::memcmp(again.data(), start.data(), n * sizeof(double)), 0);

    std::vector<double> params = start, se(n);
    nlfit_options options;
    nlfit_options_init(&options);
    options.compute_statistics = 1;
    nlfit_result result;
    nlfit_result_init(&result);
    result.std_errors = se.data();
    nlfit_fit_model(model.get(), n, params.data(), x.size(), x.data(), y.data(), &options,
                    &result);
    EXPECT_TRUE(result.converged) << nlfit_status_name(result.status);
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_NEAR(params[j], s.truth[j], 5.0 * se[j] + 1e-6 * std::fabs(s.truth[j]))
          << nlfit_model_parameter_name(model.get(), j) << " from " << start[j];
    }
  }
}

TEST(AutoStart, GivenValuesWinAndModelsWithoutAMethodStartAtOne) {
  const std::vector<double> x = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<double> y = {0.1, 0.5, 2.0, 4.1, 2.1, 0.4, 0.2, 0.1};
  Model gaussian(nlfit_model_builtin("gaussian"));
  double p[4] = {0, 3.75, 0, 0};
  const unsigned char given[4] = {0, 1, 0, 0};
  unsigned char origin[4];
  ASSERT_EQ(nlfit_model_auto_start(gaussian.get(), 4, p, given, x.size(), x.data(), y.data(),
                                   nullptr, origin),
            0);
  EXPECT_EQ(p[1], 3.75);
  EXPECT_EQ(origin[1], NLFIT_START_GIVEN);
  EXPECT_EQ(origin[0], NLFIT_START_AUTOMATIC);
  EXPECT_NEAR(p[0], 4.0, 1.0);

  char error[128];
  Model formula(nlfit_model_formula("a*exp(-b*x)", nullptr, 0, error, sizeof error));
  Model nist(nlfit_model_builtin("Misra1a"));
  for (const nlfit_model* m : {formula.get(), nist.get()}) {
    EXPECT_EQ(nlfit_model_has_auto_start(m), 0);
    double q[2] = {7, 7};
    unsigned char o[2];
    ASSERT_EQ(nlfit_model_auto_start(m, 2, q, nullptr, x.size(), x.data(), y.data(), nullptr, o),
              0);
    EXPECT_EQ(q[0], 1.0);
    EXPECT_EQ(o[1], NLFIT_START_DEFAULT);
  }
  // Too few points for the shape's method: 1, said so.
  EXPECT_EQ(nlfit_model_auto_start(gaussian.get(), 4, p, nullptr, 1, x.data(), y.data(), nullptr,
                                   origin),
            0);
  EXPECT_EQ(origin[2], NLFIT_START_DEFAULT);
  EXPECT_EQ(nlfit_model_auto_start(gaussian.get(), 3, p, nullptr, 8, x.data(), y.data(), nullptr,
                                   nullptr),
            NLFIT_REFUSED_BAD_MODEL);
  EXPECT_EQ(nlfit_model_auto_start(gaussian.get(), 4, p, nullptr, 8, nullptr, y.data(), nullptr,
                                   nullptr),
            NLFIT_REFUSED_NULL_POINTER);
}

}  // namespace
