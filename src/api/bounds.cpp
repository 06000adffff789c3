// Bounds on parameters: the checks of the caller's bounds, and the smooth
// maps between a bounded parameter and the unbounded variable the solver
// moves in its place.
#include <cmath>
#include <limits>

#include "api/api.h"

namespace nlfit {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kLargest = std::numeric_limits<double>::max();
// A start exactly on a bound would sit where the map's slope is zero, and
// the solver could never move it: the fit starts this far inside instead
// (in the internal variable; a relative 5e-5 of the scale one-sided, 2.5e-5
// of the width two-sided).
constexpr double kInsideStart = 0.01;
constexpr double kHalfPi = 1.5707963267948966;
// A fitted parameter within this fraction of its map's scale (the width
// between two bounds, the scale of a one-sided map) of a bound is tried on
// that bound.
constexpr double kNearBoundFraction = 1e-4;

double lowerOf(const double* lower, std::size_t j) {
  return lower != nullptr ? lower[j] : -kInfinity;
}
double upperOf(const double* upper, std::size_t j) {
  return upper != nullptr ? upper[j] : kInfinity;
}

}  // namespace

bool hasBounds(const nlfit_options& o) { return o.lower != nullptr || o.upper != nullptr; }

bool heldByBounds(const nlfit_options& o, std::size_t j) {
  return hasBounds(o) && lowerOf(o.lower, j) == upperOf(o.upper, j);
}

bool boundsValid(const nlfit_options& o, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    const double lo = lowerOf(o.lower, j);
    const double hi = upperOf(o.upper, j);
    // No NaN, no lower bound of +inf or upper bound of -inf, lower <= upper.
    if (!(lo <= hi) || lo == kInfinity || hi == -kInfinity) return false;
  }
  return true;
}

bool startWithinBounds(const nlfit_options& o, std::size_t n, const double* params) {
  for (std::size_t j = 0; j < n; ++j) {
    if (!(params[j] >= lowerOf(o.lower, j) && params[j] <= upperOf(o.upper, j))) return false;
  }
  return true;
}

ParameterBound boundOf(const nlfit_options& o, std::size_t j, double start) {
  ParameterBound b;
  b.lower = lowerOf(o.lower, j);
  b.upper = upperOf(o.upper, j);
  const bool low = b.lower != -kInfinity;
  const bool high = b.upper != kInfinity;
  if (low && high) {
    // Halves first: the width of two finite bounds may overflow.
    b.kind = BoundKind::kBoth;
    b.middle = 0.5 * b.lower + 0.5 * b.upper;
    b.scale = 0.5 * b.upper - 0.5 * b.lower;
  } else if (low || high) {
    b.kind = low ? BoundKind::kLower : BoundKind::kUpper;
    // The start's distance from its bound; on the bound, the bound's or the
    // typical magnitude, or 1.
    const double bound = low ? b.lower : b.upper;
    double scale = std::fabs(start - bound);
    if (!(scale > 0.0) || !std::isfinite(scale)) {
      scale = std::fabs(bound);
      if (o.typical != nullptr && o.typical[j] > scale) scale = o.typical[j];
    }
    b.scale = (scale > 0.0 && std::isfinite(scale)) ? scale : 1.0;
  }
  return b;
}

double boundedSlope(const ParameterBound& b, double t) {
  switch (b.kind) {
    case BoundKind::kNone:
      return 1.0;
    case BoundKind::kLower:
      return b.scale * (t / std::sqrt(1.0 + t * t));
    case BoundKind::kUpper:
      return -(b.scale * (t / std::sqrt(1.0 + t * t)));
    case BoundKind::kBoth: {
      const double p = b.middle + b.scale * std::sin(t);
      return (p < b.lower || p > b.upper) ? 0.0 : b.scale * std::cos(t);
    }
  }
  return 1.0;
}

double boundedValue(const ParameterBound& b, double t) {
  switch (b.kind) {
    case BoundKind::kNone:
      return t;
    // A one-sided map overflows for a far t or a huge scale (a start on a
    // bound near the largest double): it stops at the largest finite value.
    case BoundKind::kLower: {
      const double p = b.lower + b.scale * (std::sqrt(1.0 + t * t) - 1.0);
      return p > kLargest ? kLargest : p;
    }
    case BoundKind::kUpper: {
      const double p = b.upper - b.scale * (std::sqrt(1.0 + t * t) - 1.0);
      return p < -kLargest ? -kLargest : p;
    }
    case BoundKind::kBoth: {
      double p = b.middle + b.scale * std::sin(t);
      if (p < b.lower) p = b.lower;
      if (p > b.upper) p = b.upper;
      return p;
    }
  }
  return t;
}

double internalStart(const ParameterBound& b, double p) {
  switch (b.kind) {
    case BoundKind::kNone:
      return p;
    case BoundKind::kLower:
    case BoundKind::kUpper: {
      const double q = std::fabs(p - (b.kind == BoundKind::kLower ? b.lower : b.upper)) / b.scale;
      const double t = std::sqrt(q * (q + 2.0));
      return t > kInsideStart ? t : kInsideStart;
    }
    case BoundKind::kBoth: {
      // Bounds closer than the smallest double's double have a half-width of
      // 0: the map is then constant.
      const double s = b.scale > 0.0 ? (p - b.middle) / b.scale : 0.0;
      double t = std::asin(s > 1.0 ? 1.0 : (s < -1.0 ? -1.0 : s));
      if (t > kHalfPi - kInsideStart) t = kHalfPi - kInsideStart;
      if (t < kInsideStart - kHalfPi) t = kInsideStart - kHalfPi;
      return t;
    }
  }
  return p;
}

double nearestBound(const ParameterBound& b, double p) {
  if (b.kind == BoundKind::kNone) return std::numeric_limits<double>::quiet_NaN();
  const double window =
      kNearBoundFraction * (b.kind == BoundKind::kBoth ? 2.0 * b.scale : b.scale);
  if (b.kind != BoundKind::kUpper && p - b.lower <= window) return b.lower;
  if (b.kind != BoundKind::kLower && b.upper - p <= window) return b.upper;
  return std::numeric_limits<double>::quiet_NaN();
}

bool atBound(const ParameterBound& b, double p) {
  return (b.kind != BoundKind::kNone && b.kind != BoundKind::kUpper && p == b.lower) ||
         (b.kind != BoundKind::kNone && b.kind != BoundKind::kLower && p == b.upper);
}

}  // namespace nlfit
