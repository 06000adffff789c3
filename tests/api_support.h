// Helpers for tests of the fitting API: a plug-in model as a point-form
// model, and a fit through nlfit_fit that records its progress reports.
#ifndef NLFIT_TESTS_API_SUPPORT_H
#define NLFIT_TESTS_API_SUPPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include "nlfit.h"
#include "nlfit/fit.h"
#include "fit/fit.h"

namespace nlfit_test {

// A five-parameter plug-in model called with n <= 5 parameters, the others 0.
struct PluginModel {
  ModelFunction function;
  std::size_t n;
};

inline double pluginModelAt(double x, const double* p, void* user) {
  const PluginModel& m = *static_cast<const PluginModel*>(user);
  double q[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::size_t j = 0; j < m.n; ++j) q[j] = p[j];
  return m.function(x, q[0], q[1], q[2], q[3], q[4]);
}

// One nlfit_fit run with every statistics array attached.
struct ApiRun {
  int status = 0;
  nlfit_result result = [] {
    nlfit_result fresh;
    nlfit_result_init(&fresh);
    return fresh;
  }();
  std::vector<double> params, covariance, stdErrors, ciLow, ciHigh, correlation;
  std::vector<unsigned> flags;
  std::string progress;                     // the reports as progress lines
  std::vector<std::vector<double>> points;  // the parameters of each report
  int stopAtIteration = 0;                  // nonzero: the callback stops there

  explicit ApiRun(std::size_t n)
      : covariance(n * n), stdErrors(n), ciLow(n), ciHigh(n), correlation(n * n), flags(n) {
    result.covariance = covariance.data();
    result.std_errors = stdErrors.data();
    result.ci_low = ciLow.data();
    result.ci_high = ciHigh.data();
    result.correlation = correlation.data();
    result.parameter_flags = flags.data();
  }
  ApiRun(const ApiRun&) = delete;
  ApiRun& operator=(const ApiRun&) = delete;

  static int record(int64_t iteration, double norm, const double* p, std::size_t n, void* user) {
    ApiRun& run = *static_cast<ApiRun*>(user);
    char line[nlfit::kProgressLineCapacity];
    run.progress.append(line, static_cast<std::size_t>(nlfit::formatProgressLine(norm, line)));
    run.points.emplace_back(p, p + n);
    return (run.stopAtIteration != 0 && iteration == run.stopAtIteration) ? 1 : 0;
  }
};

// Fits a plug-in model through nlfit_fit; options may be adjusted by the
// caller beforehand (progress is set here).
inline void runApiFit(ApiRun& run, ModelFunction function, const std::vector<double>& x,
                      const std::vector<double>& y, std::vector<double> start,
                      nlfit_options options) {
  PluginModel model{function, start.size()};
  run.params = std::move(start);
  options.progress = ApiRun::record;
  options.progress_user = &run;
  run.status = nlfit_fit(pluginModelAt, &model, run.params.size(), run.params.data(), x.size(),
                         x.data(), y.data(), &options, &run.result);
}

inline nlfit_options defaultOptions(bool statistics = false) {
  nlfit_options o;
  nlfit_options_init(&o);
  o.compute_statistics = statistics ? 1 : 0;
  return o;
}

}  // namespace nlfit_test

#endif  // NLFIT_TESTS_API_SUPPORT_H
