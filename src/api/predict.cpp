// Predictions of a fitted model at new points, with the confidence band of
// the curve by the delta method and the prediction band of a new
// observation.
#include <boost/math/distributions/students_t.hpp>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "api/api.h"
#include "nlfit/fit.h"
#include "solver/solver.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The two-sided quantile of Student's t with dof degrees at level; NaN when
// dof <= 0.
double twoSidedQuantile(int64_t dof, double level) {
  if (dof <= 0) return kNaN;
  try {
    const boost::math::students_t distribution(static_cast<double>(dof));
    return boost::math::quantile(distribution, 0.5 + 0.5 * level);
  } catch (...) {
    return kNaN;
  }
}

bool allFinite(std::size_t count, const double* v) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

// The scratch of one prediction in one block: a parameter vector, the two
// evaluations of a central difference and the gradients (n rows of k).
struct PredictionMemory {
  nlfit::ZeroedBlock block;
  double* point = nullptr;
  double* plus = nullptr;
  double* minus = nullptr;
  double* gradients = nullptr;
  PredictionMemory(std::size_t n, std::size_t k) {
    // n + 2k + nk <= (n + 2)(k + 1) doubles.
    const std::size_t limit = SIZE_MAX / sizeof(double);
    if (k + 1 == 0 || n + 2 > limit / (k + 1)) return;
    if (block.allocate(n + 2 * k + n * k, sizeof(double)) == nullptr) return;
    point = static_cast<double*>(block.data());
    plus = point + n;
    minus = plus + k;
    gradients = minus + k;
  }
};

int predict(nlfit_vector_model model, void* user, std::size_t predictors, std::size_t n,
            const double* params, const double* covariance, double residualVariance, int64_t dof,
            double level, std::size_t k, const double* x, const double* sigma, double* values,
            double* confidence, double* prediction) {
  const bool bands = confidence != nullptr || prediction != nullptr;
  if (model == nullptr || params == nullptr || (k > 0 && (x == nullptr || values == nullptr)) ||
      (bands && covariance == nullptr)) {
    return NLFIT_REFUSED_NULL_POINTER;
  }
  if (n < 1 || predictors < 1 || k > SIZE_MAX / predictors) return NLFIT_REFUSED_COUNTS;
  if (bands && (!(level > 0.0 && level < 1.0) || !(residualVariance >= 0.0))) {
    return NLFIT_REFUSED_BAD_OPTION;
  }
  if (!allFinite(k * predictors, x)) return NLFIT_REFUSED_NONFINITE_DATA;
  if (!allFinite(n, params)) return NLFIT_REFUSED_NONFINITE_START;
  if (sigma != nullptr && prediction != nullptr) {
    for (std::size_t i = 0; i < k; ++i) {
      if (!(sigma[i] > 0.0) || !std::isfinite(sigma[i])) return NLFIT_REFUSED_BAD_SIGMA;
    }
  }
  if (k == 0) return 0;
  PredictionMemory w(n, bands ? k : 0);
  if (w.block.data() == nullptr) return NLFIT_REFUSED_OUT_OF_MEMORY;
  std::memcpy(w.point, params, n * sizeof(double));
  if (model(w.point, x, k, values, user) != 0) return NLFIT_STOPPED_BY_MODEL;
  if (!bands) return 0;

  // Central differences of the model in each parameter with a variance;
  // held parameters (zero variance) add nothing to the band.
  const double relativeStep = std::cbrt(nlfit::kMachineEpsilon);
  for (std::size_t j = 0; j < n; ++j) {
    double* g = w.gradients + j * k;
    const double variance = covariance[j * n + j];
    if (variance == 0.0) continue;
    double magnitude = std::fabs(params[j]);
    const double spread = std::sqrt(variance);
    if (std::isfinite(spread) && spread > magnitude) magnitude = spread;
    const double h = (magnitude == 0.0) ? relativeStep : relativeStep * magnitude;
    const double up = params[j] + h;
    const double down = params[j] - h;
    w.point[j] = up;
    const int failedUp = model(w.point, x, k, w.plus, user);
    w.point[j] = down;
    const int failedDown = failedUp != 0 ? 1 : model(w.point, x, k, w.minus, user);
    w.point[j] = params[j];
    if (failedUp != 0 || failedDown != 0) return NLFIT_STOPPED_BY_MODEL;
    const double difference = up - down;
    for (std::size_t i = 0; i < k; ++i) g[i] = (w.plus[i] - w.minus[i]) / difference;
  }
  const double t = twoSidedQuantile(dof, level);
  for (std::size_t i = 0; i < k; ++i) {
    double variance = 0.0;
    for (std::size_t a = 0; a < n; ++a) {
      if (covariance[a * n + a] == 0.0) continue;
      double row = 0.0;
      for (std::size_t b = 0; b < n; ++b) {
        if (covariance[b * n + b] == 0.0) continue;
        row = row + covariance[a * n + b] * w.gradients[b * k + i];
      }
      variance = variance + w.gradients[a * k + i] * row;
    }
    if (confidence != nullptr) confidence[i] = t * std::sqrt(variance);
    if (prediction != nullptr) {
      const double scale = (sigma != nullptr) ? sigma[i] * sigma[i] : 1.0;
      prediction[i] = t * std::sqrt(variance + residualVariance * scale);
    }
  }
  return 0;
}

}  // namespace

extern "C" {

int nlfit_predict(nlfit_vector_model model, void* user, size_t predictors, size_t n,
                  const double* params, const double* covariance, double residual_variance,
                  int64_t dof, double level, size_t k, const double* x, const double* sigma,
                  double* values, double* confidence, double* prediction) {
  const nlfit::DefaultFloatingPointScope environment;
  try {
    return predict(model, user, predictors, n, params, covariance, residual_variance, dof, level,
                   k, x, sigma, values, confidence, prediction);
  } catch (...) {
    return NLFIT_STOPPED_BY_MODEL;
  }
}

}  // extern "C"
