// The distributions of the statistics, from Boost.Math: the Student t
// quantile of the confidence intervals, the chi-square p-value of an absolute
// sigma and the normal tail of the report's runs test. The only translation
// unit that includes it.
#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>

#include <cmath>
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

double chiSquarePValue(double rss, int64_t dof) {
  if (dof <= 0 || !std::isfinite(rss) || rss < 0.0) return std::numeric_limits<double>::quiet_NaN();
  try {
    const boost::math::chi_squared distribution(static_cast<double>(dof));
    return boost::math::cdf(boost::math::complement(distribution, rss));
  } catch (...) {
    return std::numeric_limits<double>::quiet_NaN();
  }
}

double normalLowerTail(double z) {
  if (std::isnan(z)) return z;
  try {
    return boost::math::cdf(boost::math::normal(), z);
  } catch (...) {
    return std::numeric_limits<double>::quiet_NaN();
  }
}

}  // namespace nlfit
