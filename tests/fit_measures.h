// Measures of a fit's accuracy shared by the NIST and synthetic fit tests:
// agreeing digits (log relative error) and the residual sum of squares of the
// registered model.
#ifndef NLFIT_TESTS_FIT_MEASURES_H
#define NLFIT_TESTS_FIT_MEASURES_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "nlfit.h"
#include "nlfit/report.h"
#include "test_support.h"

namespace nlfit_test {

// Agreeing digits are counted up to this many; an exact match counts as this.
constexpr double kMaxDigits = 15.0;

// The digits of value that agree with reference: the fitting API's one
// measure of it (nlfit_report_digits), at most kMaxDigits.
inline double logRelativeError(double value, double reference) {
  return nlfit_report_digits(value, reference);
}

// The smallest log relative error over the parameters.
inline double minLogRelativeError(const std::vector<double>& values,
                                  const std::vector<double>& references) {
  double digits = kMaxDigits;
  for (std::size_t j = 0; j < references.size(); ++j) {
    digits = std::min(digits, logRelativeError(values[j], references[j]));
  }
  return digits;
}

// Plain sum of squares of model minus observation, the model being the one
// that the latest findLS registered, evaluated through theModelFct. params
// holds up to 5 values; the rest of the five that theModelFct reads are 0.
inline double residualSumOfSquares(const std::vector<double>& params,
                                   const std::vector<double>& x,
                                   const std::vector<double>& y) {
  double p[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  std::copy_n(params.begin(), std::min<std::size_t>(params.size(), 5), p);
  double sum = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double r = theModelFct(x[i], p, static_cast<int>(params.size())) - y[i];
    sum += r * r;
  }
  return sum;
}

// One findLS call with its standard output captured.
struct FitRun {
  double status = -1.0;
  std::vector<double> params;  // fitted values (in: starting values)
  std::string output;          // what the fit printed
};

inline FitRun runFit(ModelFunction model, const std::vector<double>& x,
                     const std::vector<double>& y, std::vector<double> start) {
  FitRun run;
  run.params = std::move(start);
  run.output = captureStdout([&] {
    run.status = findLS(model, static_cast<int>(run.params.size()), static_cast<int>(x.size()),
                        x.data(), y.data(), run.params.data());
  });
  return run;
}

}  // namespace nlfit_test

#endif  // NLFIT_TESTS_FIT_MEASURES_H
