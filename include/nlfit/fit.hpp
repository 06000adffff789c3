// nlfit fitting API for C++: fit any callable model to std::vector or
// pointer-and-size data, with std::vector results.
//
//   auto r = nlfit::fit([k](double x, const double* p) { return p[0] * std::exp(-p[1] * x) + k; },
//                       x, y, {1.0, 0.1});
//   if (r.converged) use(r.params, r.std_errors);
//
// The model runs through nlfit_fit_vectorized. An exception thrown by the
// model stops the fit and is rethrown from nlfit::fit once the C call has
// returned; it never unwinds through the library's frames. A refused call
// does not throw: the result's status says why (see nlfit_status_message).
#ifndef NLFIT_FIT_HPP
#define NLFIT_FIT_HPP

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "nlfit/fit.h"

namespace nlfit {

namespace detail {

// The library's defaults, from nlfit_options_init.
inline nlfit_options defaultOptions() {
  nlfit_options o;
  nlfit_options_init(&o);
  return o;
}

}  // namespace detail

// The options of nlfit_options with owned arrays (empty = not given); the
// numbers start at the library's defaults.
struct FitOptions {
  double reduction_tolerance = detail::defaultOptions().reduction_tolerance;
  double step_tolerance = detail::defaultOptions().step_tolerance;
  double gradient_tolerance = detail::defaultOptions().gradient_tolerance;
  double step_bound_factor = detail::defaultOptions().step_bound_factor;
  double relative_error = detail::defaultOptions().relative_error;
  std::int64_t max_evaluations = detail::defaultOptions().max_evaluations;  // 0: automatic
  std::vector<double> scale;         // n positive factors, or empty for automatic
  std::vector<bool> held;            // n flags, or empty: all free
  std::vector<double> sigma;         // m standard deviations, or empty
  bool absolute_sigma = false;
  std::vector<double> typical;       // n typical magnitudes, or empty
  bool statistics = true;
  // Called once per outer iteration; return true to stop the fit.
  std::function<bool(std::int64_t iteration, double residual_norm,
                     const std::vector<double>& params)>
      progress;
  std::vector<double> lower, upper;  // n bounds each (+-infinity: none), or empty: none
};

struct FitResult {
  int status = 0;
  bool converged = false;
  std::string message;
  std::vector<double> params;
  std::vector<double> std_errors, ci_low, ci_high;
  std::vector<double> covariance, correlation;  // n*n, row-major
  std::vector<unsigned> parameter_flags;        // NLFIT_PARAM_* bits
  int rank = 0;
  std::int64_t iterations = 0, evaluations = 0, statistics_evaluations = 0, dof = 0;
  double residual_norm = 0.0, rss = 0.0, reduced_chi2 = 0.0, r_squared = 0.0;
  double rms_residual = 0.0;
  std::int64_t nonfinite_index = -1;  // see nlfit_result
  double chi2_p_value = 0.0;  // with sigma and absolute_sigma; NaN otherwise
  double log_likelihood = 0.0, aic = 0.0, aicc = 0.0, bic = 0.0;  // see nlfit_result
};

namespace detail {

template <class Model>
struct VectorModel {
  Model* model;
  std::exception_ptr error;

  static int call(const double* p, const double* x, std::size_t m, double* values, void* user) {
    VectorModel& self = *static_cast<VectorModel*>(user);
    try {
      for (std::size_t i = 0; i < m; ++i) values[i] = (*self.model)(x[i], p);
      return 0;
    } catch (...) {
      self.error = std::current_exception();
      return 1;
    }
  }
};

struct Progress {
  const FitOptions* options;
  std::vector<double> params;
  std::exception_ptr error;

  static int call(std::int64_t iteration, double norm, const double* p, std::size_t n,
                  void* user) {
    Progress& self = *static_cast<Progress*>(user);
    try {
      self.params.assign(p, p + n);
      return self.options->progress(iteration, norm, self.params) ? 1 : 0;
    } catch (...) {
      self.error = std::current_exception();
      return 1;
    }
  }
};

}  // namespace detail

// Fits model(x, params) -> double to the m points (x[i], y[i]) from start.
template <class Model>
FitResult fit(Model&& model, const double* x, const double* y, std::size_t m,
              std::vector<double> start, const FitOptions& options = FitOptions()) {
  const std::size_t n = start.size();
  nlfit_options o;
  nlfit_options_init(&o);
  o.reduction_tolerance = options.reduction_tolerance;
  o.step_tolerance = options.step_tolerance;
  o.gradient_tolerance = options.gradient_tolerance;
  o.step_bound_factor = options.step_bound_factor;
  o.relative_error = options.relative_error;
  o.max_evaluations = options.max_evaluations;
  std::vector<unsigned char> held(options.held.begin(), options.held.end());
  // A wrong-sized array is refused as a bad option rather than read past.
  const bool badSize = (!options.scale.empty() && options.scale.size() != n) ||
                       (!held.empty() && held.size() != n) ||
                       (!options.sigma.empty() && options.sigma.size() != m) ||
                       (!options.typical.empty() && options.typical.size() != n) ||
                       (!options.lower.empty() && options.lower.size() != n) ||
                       (!options.upper.empty() && options.upper.size() != n);
  o.scale = options.scale.empty() ? nullptr : options.scale.data();
  o.held = held.empty() ? nullptr : held.data();
  o.sigma = options.sigma.empty() ? nullptr : options.sigma.data();
  o.absolute_sigma = options.absolute_sigma ? 1 : 0;
  o.typical = options.typical.empty() ? nullptr : options.typical.data();
  o.compute_statistics = options.statistics ? 1 : 0;
  o.lower = options.lower.empty() ? nullptr : options.lower.data();
  o.upper = options.upper.empty() ? nullptr : options.upper.data();
  detail::Progress progress{&options, {}, nullptr};
  if (options.progress) {
    o.progress = detail::Progress::call;
    o.progress_user = &progress;
  }

  FitResult r;
  r.params = std::move(start);
  r.std_errors.resize(n);
  r.ci_low.resize(n);
  r.ci_high.resize(n);
  r.covariance.resize(n * n);
  r.correlation.resize(n * n);
  r.parameter_flags.resize(n);
  nlfit_result c;
  nlfit_result_init(&c);
  c.std_errors = r.std_errors.data();
  c.ci_low = r.ci_low.data();
  c.ci_high = r.ci_high.data();
  c.covariance = r.covariance.data();
  c.correlation = r.correlation.data();
  c.parameter_flags = r.parameter_flags.data();

  using Callable = typename std::remove_reference<Model>::type;
  detail::VectorModel<Callable> vector{&model, nullptr};
  if (badSize) {
    c.status = NLFIT_REFUSED_BAD_OPTION;
  } else {
    nlfit_fit_vectorized(detail::VectorModel<Callable>::call, &vector, n, r.params.data(), m, x,
                         y, &o, &c);
  }
  if (vector.error) std::rethrow_exception(vector.error);
  if (progress.error) std::rethrow_exception(progress.error);

  r.status = c.status;
  r.message = nlfit_status_message(c.status);
  r.converged = c.converged != 0;
  r.rank = c.rank;
  r.iterations = c.iterations;
  r.evaluations = c.evaluations;
  r.statistics_evaluations = c.statistics_evaluations;
  r.dof = c.dof;
  r.residual_norm = c.residual_norm;
  r.rss = c.rss;
  r.reduced_chi2 = c.reduced_chi2;
  r.r_squared = c.r_squared;
  r.rms_residual = c.rms_residual;
  r.nonfinite_index = c.status > 0 ? c.nonfinite_index : -1;
  r.chi2_p_value = c.chi2_p_value;
  r.log_likelihood = c.log_likelihood;
  r.aic = c.aic;
  r.aicc = c.aicc;
  r.bic = c.bic;
  return r;
}

template <class Model>
FitResult fit(Model&& model, const std::vector<double>& x, const std::vector<double>& y,
              std::vector<double> start, const FitOptions& options = FitOptions()) {
  if (x.size() != y.size()) {
    FitResult r;
    r.params = std::move(start);
    r.status = NLFIT_REFUSED_COUNTS;
    r.message = nlfit_status_message(r.status);
    return r;
  }
  return fit(std::forward<Model>(model), x.data(), y.data(), x.size(), std::move(start), options);
}

}  // namespace nlfit

#endif  // NLFIT_FIT_HPP
