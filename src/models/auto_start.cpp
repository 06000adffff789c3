// Starting values from the data for the everyday catalogue shapes.
//
// Each shape has its own first guess (peaks from the maximum above the
// baseline and the half-maximum crossings, sigmoids from their asymptotes and
// half crossing, decays from the tail and a log-linear fit, and so on). The
// shapes' amplitudes and offsets enter linearly: for given nonlinear
// parameters (a rate, a centre and width, a midpoint and steepness) they are
// solved by weighted linear least squares, which gives each candidate its
// sum of squares. The first guess competes with a coarse scan of the
// nonlinear parameters over the range the data can show, and the best
// candidate is polished by a pattern search. Everything is plain arithmetic
// in a fixed order, so the same data give the same starts everywhere.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

#include "models/model_handle.h"
#include "nlfit/model.h"

namespace nlfit {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The observations with finite x and y, in increasing x (ties in input
// order), with weights 1/sigma^2 (1 without sigma).
struct Data {
  std::vector<double> x, y, w;
  std::size_t size() const { return x.size(); }
  double xmin() const { return x.front(); }
  double xmax() const { return x.back(); }
  double span() const { return x.back() - x.front(); }
};

Data sortedData(std::size_t m, const double* x, const double* y, const double* sigma) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < m; ++i) {
    const bool goodSigma = sigma == nullptr || (std::isfinite(sigma[i]) && sigma[i] > 0.0);
    if (std::isfinite(x[i]) && std::isfinite(y[i]) && goodSigma) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [x](std::size_t a, std::size_t b) { return x[a] < x[b]; });
  Data d;
  for (std::size_t i : order) {
    d.x.push_back(x[i]);
    d.y.push_back(y[i]);
    d.w.push_back(sigma == nullptr ? 1.0 : 1.0 / (sigma[i] * sigma[i]));
  }
  return d;
}

// y smoothed by a centred moving average over about a fifteenth of the
// points (at least 1): extremes and crossings of noisy data.
std::vector<double> smoothed(const Data& d) {
  const std::size_t m = d.size();
  const std::size_t half = m / 30;
  std::vector<double> s(m);
  for (std::size_t i = 0; i < m; ++i) {
    const std::size_t lo = i >= half ? i - half : 0;
    const std::size_t hi = std::min(m - 1, i + half);
    double sum = 0.0;
    for (std::size_t k = lo; k <= hi; ++k) sum = sum + d.y[k];
    s[i] = sum / static_cast<double>(hi - lo + 1);
  }
  return s;
}

double meanOf(const std::vector<double>& v, std::size_t begin, std::size_t end) {
  double sum = 0.0;
  for (std::size_t i = begin; i < end; ++i) sum = sum + v[i];
  return end > begin ? sum / static_cast<double>(end - begin) : std::nan("");
}

// Weighted linear least squares of y on the columns (m values each) by
// modified Gram-Schmidt, twice orthogonalised. A column that adds no new
// direction gets coefficient 0. Returns the weighted sum of squares, or
// infinity when a column is not finite.
double linearFit(const Data& d, const std::vector<std::vector<double>>& columns,
                 std::vector<double>* coefficients) {
  const std::size_t m = d.size();
  const std::size_t q = columns.size();
  std::vector<double> sw(m), b(m);
  for (std::size_t i = 0; i < m; ++i) {
    sw[i] = std::sqrt(d.w[i]);
    b[i] = sw[i] * d.y[i];
  }
  std::vector<std::vector<double>> basis;  // orthonormal, kept columns
  std::vector<std::size_t> kept;
  std::vector<std::vector<double>> r(q, std::vector<double>(q, 0.0));
  for (std::size_t j = 0; j < q; ++j) {
    std::vector<double> v(m);
    double norm0 = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      if (!std::isfinite(columns[j][i])) return kInf;
      v[i] = sw[i] * columns[j][i];
      norm0 = norm0 + v[i] * v[i];
    }
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t k = 0; k < basis.size(); ++k) {
        double dot = 0.0;
        for (std::size_t i = 0; i < m; ++i) dot = dot + basis[k][i] * v[i];
        r[k][j] = r[k][j] + dot;
        for (std::size_t i = 0; i < m; ++i) v[i] = v[i] - dot * basis[k][i];
      }
    }
    double norm = 0.0;
    for (std::size_t i = 0; i < m; ++i) norm = norm + v[i] * v[i];
    if (!(norm > 1e-24 * norm0) || norm0 == 0.0) continue;
    norm = std::sqrt(norm);
    for (std::size_t i = 0; i < m; ++i) v[i] = v[i] / norm;
    r[basis.size()][j] = norm;
    basis.push_back(v);
    kept.push_back(j);
  }
  // Coefficients of the kept columns: R c = Q^T b, by back substitution.
  std::vector<double> qtb(basis.size());
  for (std::size_t k = 0; k < basis.size(); ++k) {
    double dot = 0.0;
    for (std::size_t i = 0; i < m; ++i) dot = dot + basis[k][i] * b[i];
    qtb[k] = dot;
  }
  coefficients->assign(q, 0.0);
  for (std::size_t kk = basis.size(); kk-- > 0;) {
    double sum = qtb[kk];
    for (std::size_t l = kk + 1; l < basis.size(); ++l) {
      sum = sum - r[kk][kept[l]] * (*coefficients)[kept[l]];
    }
    (*coefficients)[kept[kk]] = sum / r[kk][kept[kk]];
  }
  double rss = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    double model = 0.0;
    for (std::size_t j = 0; j < q; ++j) model = model + (*coefficients)[j] * columns[j][i];
    const double e = sw[i] * (d.y[i] - model);
    rss = rss + e * e;
  }
  return std::isfinite(rss) ? rss : kInf;
}

// A shape with nonlinear parameters theta (in the search's coordinates) and
// linear coefficients: columns(theta) gives the columns the coefficients
// multiply, or an empty list when theta is outside the shape's domain.
using Columns = std::function<std::vector<std::vector<double>>(const std::vector<double>&)>;

struct Candidate {
  std::vector<double> theta;
  std::vector<double> coefficients;
  double rss = kInf;
};

Candidate evaluate(const Data& d, const Columns& columns, const std::vector<double>& theta) {
  Candidate c;
  c.theta = theta;
  for (double t : theta) {
    if (!std::isfinite(t)) return c;
  }
  const std::vector<std::vector<double>> cols = columns(theta);
  if (cols.empty()) return c;
  c.rss = linearFit(d, cols, &c.coefficients);
  return c;
}

// The best of the candidates, then a pattern search from it: each
// coordinate in turn tries a step either way; a step that lowers the sum of
// squares is kept and grown, otherwise it shrinks; until every step is below
// a thousandth of its first size or the budget is spent. The start is left
// that coarse on purpose: the fit itself takes it the rest of the way, and
// ends by its own convergence tests rather than at the precision limit.
constexpr double kPolish = 1e-3;

Candidate bestOf(const Data& d, const Columns& columns,
                 const std::vector<std::vector<double>>& candidates,
                 const std::vector<double>& steps) {
  Candidate best;
  for (const auto& theta : candidates) {
    Candidate c = evaluate(d, columns, theta);
    if (c.rss < best.rss) best = c;
  }
  if (!std::isfinite(best.rss)) return best;
  std::vector<double> step = steps;
  for (int round = 0; round < 200; ++round) {
    bool moved = false, active = false;
    for (std::size_t j = 0; j < step.size(); ++j) {
      if (step[j] < kPolish * steps[j]) continue;
      active = true;
      bool improved = false;
      for (double sign : {1.0, -1.0}) {
        std::vector<double> theta = best.theta;
        theta[j] = theta[j] + sign * step[j];
        Candidate c = evaluate(d, columns, theta);
        if (c.rss < best.rss) {
          best = c;
          improved = true;
          break;
        }
      }
      step[j] = improved ? step[j] * 1.5 : step[j] * 0.5;
      moved = moved || improved;
    }
    if (!active) break;
  }
  return best;
}

// count values from lo to hi, evenly spaced, both ends included.
std::vector<double> grid(double lo, double hi, int count) {
  std::vector<double> g;
  for (int i = 0; i < count; ++i) {
    g.push_back(count == 1 ? lo : lo + (hi - lo) * static_cast<double>(i) / (count - 1));
  }
  return g;
}

// Slope and intercept of the unweighted line through (u, v).
bool lineThrough(const std::vector<double>& u, const std::vector<double>& v, double* slope,
                 double* intercept) {
  const std::size_t m = u.size();
  if (m < 2) return false;
  const double um = meanOf(u, 0, m), vm = meanOf(v, 0, m);
  double suu = 0.0, suv = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    suu = suu + (u[i] - um) * (u[i] - um);
    suv = suv + (u[i] - um) * (v[i] - vm);
  }
  if (!(suu > 0.0)) return false;
  *slope = suv / suu;
  *intercept = vm - *slope * um;
  return std::isfinite(*slope) && std::isfinite(*intercept);
}

// The abscissa where the smoothed curve s first crosses level, walking from
// index from in direction dir (+1 or -1), interpolated linearly; NaN when it
// does not.
double crossing(const Data& d, const std::vector<double>& s, std::size_t from, int dir,
                double level) {
  const bool above = s[from] > level;
  std::size_t i = from;
  for (;;) {
    if ((dir < 0 && i == 0) || (dir > 0 && i + 1 >= s.size())) return std::nan("");
    const std::size_t next = dir > 0 ? i + 1 : i - 1;
    if ((s[next] > level) != above) {
      const double t = (level - s[i]) / (s[next] - s[i]);
      return d.x[i] + t * (d.x[next] - d.x[i]);
    }
    i = next;
  }
}

// ---- Shapes -----------------------------------------------------------

// Polynomials in t = (x - centre)/scale, mapped back to powers of x.
bool polynomialStart(const Data& d, int degree, double* p) {
  const std::size_t m = d.size();
  const double centre = meanOf(d.x, 0, m);
  double scale = 0.0;
  for (double v : d.x) scale = std::max(scale, std::fabs(v - centre));
  if (!(scale > 0.0)) scale = 1.0;
  std::vector<std::vector<double>> cols(static_cast<std::size_t>(degree) + 1,
                                        std::vector<double>(m));
  for (std::size_t i = 0; i < m; ++i) {
    const double t = (d.x[i] - centre) / scale;
    cols[0][i] = 1.0;
    cols[1][i] = t;
    if (degree == 2) cols[2][i] = t * t;
  }
  std::vector<double> c;
  if (!std::isfinite(linearFit(d, cols, &c))) return false;
  if (degree == 1) {
    p[1] = c[1] / scale;
    p[0] = c[0] - p[1] * centre;
  } else {
    p[2] = c[2] / (scale * scale);
    p[1] = c[1] / scale - 2.0 * p[2] * centre;
    p[0] = c[0] - c[1] * centre / scale + p[2] * centre * centre;
  }
  return true;
}

// a*exp(-k*x) + c; theta = (signed log10 of k*span). Columns in x - xmin, so
// that a growth does not overflow; a is mapped back.
double rateOf(double theta, double span) {
  return (theta >= 0.0 ? 1.0 : -1.0) * std::pow(10.0, std::fabs(theta) - 3.0) / span;
}
double thetaOfRate(double k, double span) {
  const double v = std::log10(std::fabs(k) * span) + 3.0;
  return (k >= 0.0 ? 1.0 : -1.0) * std::max(v, 0.0);
}

bool expDecayStart(const Data& d, double* p) {
  const std::size_t m = d.size();
  const double span = d.span(), x0 = d.xmin();
  if (!(span > 0.0)) return false;
  Columns columns = [&](const std::vector<double>& th) {
    const double k = rateOf(th[0], span);
    if (std::fabs(k) * span > 60.0) return std::vector<std::vector<double>>();
    std::vector<std::vector<double>> cols(2, std::vector<double>(m, 1.0));
    for (std::size_t i = 0; i < m; ++i) cols[0][i] = std::exp(-k * (d.x[i] - x0));
    return cols;
  };
  std::vector<std::vector<double>> candidates;
  // Offset from the tail, rate from a log-linear fit of what stands above it.
  const std::vector<double> s = smoothed(d);
  const std::size_t tail = std::max<std::size_t>(1, m / 8);
  const double offset = meanOf(s, m - tail, m);
  const double sign = s[0] >= offset ? 1.0 : -1.0;
  double top = 0.0;
  for (double v : s) top = std::max(top, sign * (v - offset));
  std::vector<double> u, v;
  for (std::size_t i = 0; i < m; ++i) {
    const double h = sign * (s[i] - offset);
    if (h > 0.1 * top) {
      u.push_back(d.x[i]);
      v.push_back(std::log(h));
    }
  }
  double slope, intercept;
  if (lineThrough(u, v, &slope, &intercept)) candidates.push_back({thetaOfRate(-slope, span)});
  // A scan of k*span from 1e-2 to 1e3 (and growths to 30).
  for (double t : grid(1.0, 6.0, 26)) candidates.push_back({t});
  for (double t : grid(-1.0, -4.5, 8)) candidates.push_back({t});
  const Candidate best = bestOf(d, columns, candidates, {0.1});
  if (!std::isfinite(best.rss)) return false;
  const double k = rateOf(best.theta[0], span);
  p[0] = best.coefficients[0] * std::exp(k * x0);
  p[1] = k;
  p[2] = best.coefficients[1];
  return true;
}

// a1*exp(-k1*x) + a2*exp(-k2*x) + c with k1 > k2; theta = the log10 of both
// rates times the span, offset by 3 as above.
bool twoExpStart(const Data& d, double* p) {
  const std::size_t m = d.size();
  const double span = d.span(), x0 = d.xmin();
  if (!(span > 0.0) || m < 5) return false;
  auto rate = [span](double th) { return std::pow(10.0, th - 3.0) / span; };
  Columns columns = [&](const std::vector<double>& th) {
    std::vector<std::vector<double>> cols;
    if (th[0] < 0.0 || th[1] < 0.0 || th[0] > 6.5 || th[1] > 6.5) return cols;
    if (!(th[0] > th[1] + 0.05)) return cols;  // distinct, the faster first
    cols.assign(3, std::vector<double>(m, 1.0));
    for (std::size_t i = 0; i < m; ++i) {
      cols[0][i] = std::exp(-rate(th[0]) * (d.x[i] - x0));
      cols[1][i] = std::exp(-rate(th[1]) * (d.x[i] - x0));
    }
    return cols;
  };
  std::vector<std::vector<double>> candidates;
  // Peeling: the slow component from the later half, the fast one from what
  // the slow one leaves in the earlier half.
  {
    Data late;
    for (std::size_t i = m / 2; i < m; ++i) {
      late.x.push_back(d.x[i]);
      late.y.push_back(d.y[i]);
      late.w.push_back(d.w[i]);
    }
    double slow[3];
    if (expDecayStart(late, slow) && slow[1] > 0.0) {
      std::vector<double> u, v;
      const std::vector<double> s = smoothed(d);
      double top = 0.0;
      std::vector<double> rest(m);
      for (std::size_t i = 0; i < m; ++i) {
        rest[i] = s[i] - (slow[0] * std::exp(-slow[1] * d.x[i]) + slow[2]);
      }
      const double sign = rest[0] >= 0.0 ? 1.0 : -1.0;
      for (std::size_t i = 0; i < m / 2; ++i) top = std::max(top, sign * rest[i]);
      for (std::size_t i = 0; i < m / 2; ++i) {
        if (sign * rest[i] > 0.1 * top) {
          u.push_back(d.x[i]);
          v.push_back(std::log(sign * rest[i]));
        }
      }
      double slope, intercept;
      const double thSlow = std::log10(slow[1] * span) + 3.0;
      if (lineThrough(u, v, &slope, &intercept) && -slope > slow[1]) {
        candidates.push_back({std::log10(-slope * span) + 3.0, thSlow});
      }
      candidates.push_back({thSlow + 1.0, thSlow});
    }
  }
  // A scan of both rates, k*span from 1e-1.5 to 1e3.
  const std::vector<double> g = grid(1.5, 6.0, 19);
  for (double a : g) {
    for (double b : g) {
      if (a > b + 0.2) candidates.push_back({a, b});
    }
  }
  const Candidate best = bestOf(d, columns, candidates, {0.1, 0.1});
  if (!std::isfinite(best.rss)) return false;
  const double k1 = rate(best.theta[0]), k2 = rate(best.theta[1]);
  p[0] = best.coefficients[0] * std::exp(k1 * x0);
  p[1] = k1;
  p[2] = best.coefficients[1] * std::exp(k2 * x0);
  p[3] = k2;
  p[4] = best.coefficients[2];
  return true;
}

// Gaussian and Lorentzian peaks on a constant: theta = (centre, log10 of the
// width over the span); height and offset linear.
bool peakStart(const Data& d, bool gaussian, double* p) {
  const std::size_t m = d.size();
  const double span = d.span();
  if (!(span > 0.0) || m < 4) return false;
  auto widthOf = [span](double th) { return std::pow(10.0, th) * span; };
  Columns columns = [&](const std::vector<double>& th) {
    std::vector<std::vector<double>> cols;
    const double w = widthOf(th[1]);
    if (th[1] < -4.0 || th[1] > 1.5) return cols;
    cols.assign(2, std::vector<double>(m, 1.0));
    for (std::size_t i = 0; i < m; ++i) {
      const double u = (d.x[i] - th[0]) / w;
      cols[0][i] = gaussian ? std::exp(-0.5 * (u * u)) : 1.0 / (1.0 + u * u);
    }
    return cols;
  };
  // The first guess: the baseline from the outer tenth on each side, the
  // peak (or dip) where the smoothed data stand farthest from it, the width
  // from the half-maximum crossings on either side.
  const std::vector<double> s = smoothed(d);
  const std::size_t edge = std::max<std::size_t>(1, m / 10);
  const double base = 0.5 * (meanOf(s, 0, edge) + meanOf(s, m - edge, m));
  std::size_t top = 0;
  for (std::size_t i = 1; i < m; ++i) {
    if (std::fabs(s[i] - base) > std::fabs(s[top] - base)) top = i;
  }
  const double half = base + 0.5 * (s[top] - base);
  const double left = crossing(d, s, top, -1, half), right = crossing(d, s, top, +1, half);
  double hwhm = std::isnan(left) ? right - d.x[top]
                : std::isnan(right) ? d.x[top] - left
                                    : 0.5 * (right - left);
  if (!(hwhm > 0.0)) hwhm = 0.1 * span;
  // Half width at half maximum: sigma*sqrt(2 ln 2) for a Gaussian, w itself
  // for a Lorentzian.
  const double width = gaussian ? hwhm / std::sqrt(2.0 * std::log(2.0)) : hwhm;
  std::vector<std::vector<double>> candidates;
  candidates.push_back({d.x[top], std::log10(width / span)});
  // A scan of centres over the data and widths from 1/200 to 1/2 of the span.
  for (double c : grid(d.xmin(), d.xmax(), 25)) {
    for (double t : grid(-2.3, -0.3, 9)) candidates.push_back({c, t});
  }
  const Candidate best = bestOf(d, columns, candidates, {0.02 * span, 0.05});
  if (!std::isfinite(best.rss)) return false;
  p[0] = best.coefficients[0];
  p[1] = best.theta[0];
  p[2] = widthOf(best.theta[1]);
  p[3] = best.coefficients[1];
  return true;
}

// bottom + (top - bottom)/(1 + exp(-k*(x - x0))): theta = (x0, signed log10
// of |k|*span); bottom and top linear. Returned with bottom <= top.
bool logisticStart(const Data& d, double* p) {
  const std::size_t m = d.size();
  const double span = d.span();
  if (!(span > 0.0) || m < 4) return false;
  auto steepness = [span](double th) {
    return (th >= 0.0 ? 1.0 : -1.0) * std::pow(10.0, std::fabs(th) - 2.0) / span;
  };
  Columns columns = [&](const std::vector<double>& th) {
    std::vector<std::vector<double>> cols;
    if (std::fabs(th[1]) > 6.0 || std::fabs(th[1]) < 1.0) return cols;
    const double k = steepness(th[1]);
    cols.assign(2, std::vector<double>(m));
    for (std::size_t i = 0; i < m; ++i) {
      const double sg = 1.0 / (1.0 + std::exp(-k * (d.x[i] - th[0])));
      cols[0][i] = 1.0 - sg;
      cols[1][i] = sg;
    }
    return cols;
  };
  // The first guess: asymptotes from the ends, the midpoint where the
  // smoothed data cross half-way, the steepness from the slope there.
  const std::vector<double> s = smoothed(d);
  const std::size_t edge = std::max<std::size_t>(1, m / 10);
  const double first = meanOf(s, 0, edge), last = meanOf(s, m - edge, m);
  const double half = 0.5 * (first + last);
  const double mid = crossing(d, s, 0, +1, half);
  std::vector<std::vector<double>> candidates;
  if (!std::isnan(mid)) {
    std::vector<double> u, v;
    for (std::size_t i = 0; i < m; ++i) {
      if (std::fabs(d.x[i] - mid) <= 0.1 * span) {
        u.push_back(d.x[i]);
        v.push_back(d.y[i]);
      }
    }
    double slope, intercept;
    if (lineThrough(u, v, &slope, &intercept) && last != first) {
      const double k = 4.0 * slope / (last - first);
      if (k > 0.0) candidates.push_back({mid, std::log10(k * span) + 2.0});
    }
  }
  // A scan of midpoints over the data and steepness from 1/span to 1e4/span,
  // both directions (the sign is then fixed by bottom <= top).
  for (double c : grid(d.xmin(), d.xmax(), 21)) {
    for (double t : grid(1.5, 4.5, 7)) {
      candidates.push_back({c, t});
      candidates.push_back({c, -t});
    }
  }
  const Candidate best =
      bestOf(d, columns, candidates, {0.02 * span, 0.05});
  if (!std::isfinite(best.rss)) return false;
  double bottom = best.coefficients[0], top = best.coefficients[1];
  double k = steepness(best.theta[1]);
  if (bottom > top) {
    std::swap(bottom, top);
    k = -k;
  }
  p[0] = bottom;
  p[1] = top;
  p[2] = k;
  p[3] = best.theta[0];
  return true;
}

// Positive abscissae only (the shapes below take powers of x).
Data positivePart(const Data& d) {
  Data out;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (d.x[i] > 0.0) {
      out.x.push_back(d.x[i]);
      out.y.push_back(d.y[i]);
      out.w.push_back(d.w[i]);
    }
  }
  return out;
}

// top*x^n/(k^n + x^n): theta = (log10 k, n); top linear. The first guess: k
// where the data reach half their maximum, n from the linearised form
// log(y/(top - y)) = n*log(x) - n*log(k). A falling curve has n < 0.
bool hillStart(const Data& all, double* p) {
  const Data d = positivePart(all);
  const std::size_t m = d.size();
  if (m < 3 || !(d.xmax() > d.xmin())) return false;
  Columns columns = [&](const std::vector<double>& th) {
    std::vector<std::vector<double>> cols;
    if (std::fabs(th[1]) < 0.05 || std::fabs(th[1]) > 20.0) return cols;
    const double k = std::pow(10.0, th[0]);
    cols.assign(1, std::vector<double>(m));
    for (std::size_t i = 0; i < m; ++i) {
      const double r = std::pow(d.x[i] / k, th[1]);
      cols[0][i] = r / (1.0 + r);
    }
    return cols;
  };
  const double lo = std::log10(d.xmin()), hi = std::log10(d.xmax());
  std::vector<std::vector<double>> candidates;
  const std::vector<double> s = smoothed(d);
  double peak = s[0];
  for (double v : s) peak = std::fabs(v) > std::fabs(peak) ? v : peak;
  const double top = 1.05 * peak;
  std::vector<double> u, v;
  for (std::size_t i = 0; i < m; ++i) {
    const double f = d.y[i] / top;
    if (f > 0.1 && f < 0.9) {
      u.push_back(std::log(d.x[i]));
      v.push_back(std::log(f / (1.0 - f)));
    }
  }
  double slope, intercept;
  if (lineThrough(u, v, &slope, &intercept) && slope != 0.0) {
    candidates.push_back({-intercept / slope / std::log(10.0), slope});
  }
  const double halfX = crossing(d, s, 0, +1, 0.5 * peak);
  if (halfX > 0.0) candidates.push_back({std::log10(halfX), s.back() > s.front() ? 1.0 : -1.0});
  // Rising curves (n > 0) and falling ones (n < 0, the same shape mirrored).
  for (double t : grid(lo - 1.0, hi + 1.0, 17)) {
    for (double n : {0.5, 0.8, 1.2, 1.8, 2.7, 4.0, 6.0}) {
      candidates.push_back({t, n});
      candidates.push_back({t, -n});
    }
  }
  const Candidate best = bestOf(d, columns, candidates, {0.05, 0.1});
  if (!std::isfinite(best.rss)) return false;
  p[0] = best.coefficients[0];
  p[1] = std::pow(10.0, best.theta[0]);
  p[2] = best.theta[1];
  return true;
}

// vmax*x/(km + x): theta = log10 km; vmax linear. The first guess from the
// linearised form x/y = x/vmax + km/vmax.
bool michaelisMentenStart(const Data& all, double* p) {
  const Data d = positivePart(all);
  const std::size_t m = d.size();
  if (m < 2 || !(d.xmax() > d.xmin())) return false;
  Columns columns = [&](const std::vector<double>& th) {
    const double km = std::pow(10.0, th[0]);
    std::vector<std::vector<double>> cols(1, std::vector<double>(m));
    for (std::size_t i = 0; i < m; ++i) cols[0][i] = d.x[i] / (km + d.x[i]);
    return cols;
  };
  const double lo = std::log10(d.xmin()), hi = std::log10(d.xmax());
  std::vector<std::vector<double>> candidates;
  std::vector<double> u, v;
  for (std::size_t i = 0; i < m; ++i) {
    if (d.y[i] != 0.0) {
      u.push_back(d.x[i]);
      v.push_back(d.x[i] / d.y[i]);
    }
  }
  double slope, intercept;
  if (lineThrough(u, v, &slope, &intercept) && intercept / slope > 0.0) {
    candidates.push_back({std::log10(intercept / slope)});
  }
  for (double t : grid(lo - 2.0, hi + 2.0, 25)) candidates.push_back({t});
  const Candidate best = bestOf(d, columns, candidates, {0.05});
  if (!std::isfinite(best.rss)) return false;
  p[0] = best.coefficients[0];
  p[1] = std::pow(10.0, best.theta[0]);
  return true;
}

// a*x^b: theta = b; a linear. The first guess from the line through
// (log x, log |y|).
bool powerLawStart(const Data& all, double* p) {
  const Data d = positivePart(all);
  const std::size_t m = d.size();
  if (m < 2 || !(d.xmax() > d.xmin())) return false;
  Columns columns = [&](const std::vector<double>& th) {
    std::vector<std::vector<double>> cols(1, std::vector<double>(m));
    for (std::size_t i = 0; i < m; ++i) cols[0][i] = std::pow(d.x[i], th[0]);
    return cols;
  };
  std::vector<std::vector<double>> candidates;
  std::vector<double> u, v;
  for (std::size_t i = 0; i < m; ++i) {
    if (d.y[i] != 0.0) {
      u.push_back(std::log(d.x[i]));
      v.push_back(std::log(std::fabs(d.y[i])));
    }
  }
  double slope, intercept;
  if (lineThrough(u, v, &slope, &intercept)) candidates.push_back({slope});
  for (double b : grid(-4.0, 4.0, 33)) candidates.push_back({b});
  const Candidate best = bestOf(d, columns, candidates, {0.05});
  if (!std::isfinite(best.rss)) return false;
  p[0] = best.coefficients[0];
  p[1] = best.theta[0];
  return true;
}

// The shape's method by catalogue name; false when it has none or it could
// not make finite values.
bool shapeStart(const char* name, const Data& d, double* p) {
  if (d.size() < 2) return false;
  if (std::strcmp(name, "line") == 0) return polynomialStart(d, 1, p);
  if (std::strcmp(name, "quadratic") == 0) return d.size() >= 3 && polynomialStart(d, 2, p);
  if (std::strcmp(name, "exp_decay") == 0) return d.size() >= 3 && expDecayStart(d, p);
  if (std::strcmp(name, "two_exp") == 0) return twoExpStart(d, p);
  if (std::strcmp(name, "gaussian") == 0) return peakStart(d, true, p);
  if (std::strcmp(name, "lorentzian") == 0) return peakStart(d, false, p);
  if (std::strcmp(name, "logistic4") == 0) return logisticStart(d, p);
  if (std::strcmp(name, "hill") == 0) return hillStart(d, p);
  if (std::strcmp(name, "michaelis_menten") == 0) return michaelisMentenStart(d, p);
  if (std::strcmp(name, "power_law") == 0) return powerLawStart(d, p);
  return false;
}

const char* const kShapesWithMethod[] = {"line",      "quadratic",  "exp_decay", "two_exp",
                                          "gaussian",  "lorentzian", "logistic4", "hill",
                                          "michaelis_menten", "power_law"};

bool hasMethod(const nlfit_model& model) {
  if (model.builtinMulti != nullptr) return true;  // the 2-D spots
  if (model.builtin == nullptr) return false;
  for (const char* name : kShapesWithMethod) {
    if (std::strcmp(name, model.builtin->name) == 0) return true;
  }
  return false;
}

}  // namespace
}  // namespace nlfit

extern "C" {

int nlfit_model_has_auto_start(const nlfit_model* model) {
  return model != nullptr && nlfit::hasMethod(*model) ? 1 : 0;
}

int nlfit_model_auto_start(const nlfit_model* model, size_t n, double* params,
                           const unsigned char* given, size_t m, const double* x,
                           const double* y, const double* sigma, unsigned char* origin) {
  if (model == nullptr || params == nullptr || ((x == nullptr || y == nullptr) && m > 0)) {
    return NLFIT_REFUSED_NULL_POINTER;
  }
  if (n != model->parameters.size()) return NLFIT_REFUSED_BAD_MODEL;
  const std::size_t d = model->predictors.size();
  if (m > SIZE_MAX / d) return NLFIT_REFUSED_COUNTS;
  try {
    std::vector<double> automatic(n, 1.0);
    bool found = false;
    if (model->builtinMulti != nullptr) {
      // Several predictors: x is m rows of d; the rows with a non-finite
      // value are left out.
      std::vector<double> rows, ys;
      for (std::size_t i = 0; i < m; ++i) {
        bool finite = std::isfinite(y[i]);
        for (std::size_t k = 0; k < d; ++k) finite = finite && std::isfinite(x[i * d + k]);
        if (!finite) continue;
        rows.insert(rows.end(), x + i * d, x + i * d + d);
        ys.push_back(y[i]);
      }
      found = !ys.empty();
      if (found) model->builtinMulti->start(rows.data(), ys.size(), ys.data(), automatic.data());
      for (double v : automatic) found = found && std::isfinite(v);
    } else if (nlfit::hasMethod(*model)) {
      const nlfit::Data d = nlfit::sortedData(m, x, y, sigma);
      found = nlfit::shapeStart(model->builtin->name, d, automatic.data());
      for (double v : automatic) found = found && std::isfinite(v);
    }
    for (std::size_t j = 0; j < n; ++j) {
      const bool keep = given != nullptr && given[j] != 0;
      if (!keep) params[j] = found ? automatic[j] : 1.0;
      if (origin != nullptr) {
        origin[j] = keep ? NLFIT_START_GIVEN : found ? NLFIT_START_AUTOMATIC : NLFIT_START_DEFAULT;
      }
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return NLFIT_REFUSED_OUT_OF_MEMORY;
  } catch (...) {
    return NLFIT_REFUSED_OUT_OF_MEMORY;
  }
}

}  // extern "C"
