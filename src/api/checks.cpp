// The check of counts and options that every fitting entry point shares.
#include <climits>
#include <cmath>

#include "api/api.h"
#include "api/struct_prefix.h"

namespace nlfit {

namespace {

bool allPositiveFinite(std::size_t count, const double* v) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!(v[i] > 0.0) || !std::isfinite(v[i])) return false;
  }
  return true;
}

bool allNonNegativeFinite(std::size_t count, const double* v) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!(v[i] >= 0.0) || !std::isfinite(v[i])) return false;
  }
  return true;
}

// A tolerance is a number >= 0 (infinity allowed: it stops at once).
bool validTolerance(double t) { return t >= 0.0; }

// Free: neither held by the caller's flags nor by equal bounds.
std::size_t countFree(std::size_t n, const nlfit_options& o) {
  if (o.held == nullptr && !hasBounds(o)) return n;
  std::size_t count = 0;
  for (std::size_t j = 0; j < n; ++j) {
    if ((o.held == nullptr || o.held[j] == 0) && !heldByBounds(o, j)) ++count;
  }
  return count;
}

}  // namespace

int checkCountsAndOptions(std::size_t n, std::size_t m, const nlfit_options& o, ModelForm form) {
  if (n < 1 || n > static_cast<std::size_t>(INT_MAX) || m > static_cast<std::size_t>(INT_MAX)) {
    return NLFIT_REFUSED_COUNTS;
  }
  const std::size_t freeCount = countFree(n, o);
  if (freeCount < 1 || m < freeCount) return NLFIT_REFUSED_COUNTS;
  if (!validTolerance(o.reduction_tolerance) || !validTolerance(o.step_tolerance) ||
      !validTolerance(o.gradient_tolerance) || !(o.step_bound_factor > 0.0) ||
      !std::isfinite(o.step_bound_factor) || !(o.relative_error >= 0.0) ||
      !std::isfinite(o.relative_error) || o.max_evaluations < 0 ||
      (o.scale != nullptr && !allPositiveFinite(n, o.scale)) ||
      (o.typical != nullptr && !allNonNegativeFinite(n, o.typical)) ||
      (form == ModelForm::kResiduals && o.sigma != nullptr) ||
      (hasBounds(o) && !boundsValid(o, n)) ||
      (o.jacobian != nullptr && (o.gradient != nullptr || form == ModelForm::kPoint)) ||
      (o.gradient != nullptr && form != ModelForm::kPoint) ||
      (o.derivatives != NLFIT_DERIVATIVES_EXACT && o.derivatives != NLFIT_DERIVATIVES_NUMERIC) ||
      o.estimator < NLFIT_ESTIMATOR_LEAST_SQUARES || o.estimator > NLFIT_ESTIMATOR_CAUCHY ||
      (o.estimator > NLFIT_ESTIMATOR_POISSON &&
       !(o.loss_scale > 0.0 && std::isfinite(o.loss_scale))) ||
      (o.estimator == NLFIT_ESTIMATOR_POISSON &&
       (form == ModelForm::kResiduals || o.sigma != nullptr))) {
    return NLFIT_REFUSED_BAD_OPTION;
  }
  return 0;
}

int refuseInto(nlfit_result* result, int status) {
  if (result == nullptr) return status;
  if (!validSize(result)) return NLFIT_REFUSED_BAD_OPTION;
  result->status = status;
  return status;
}

}  // namespace nlfit
