// The Student t quantile of the confidence intervals, from Boost.Math: the
// only translation unit that includes it.
#include <boost/math/distributions/students_t.hpp>

#include <limits>

#include "api/api.h"

namespace nlfit {

double studentQuantile95(int64_t dof) {
  constexpr double kConfidence = 0.975;  // two-sided 95 %
  if (dof <= 0) return std::numeric_limits<double>::quiet_NaN();
  try {
    const boost::math::students_t distribution(static_cast<double>(dof));
    return boost::math::quantile(distribution, kConfidence);
  } catch (...) {
    return std::numeric_limits<double>::quiet_NaN();
  }
}

}  // namespace nlfit
