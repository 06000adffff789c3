// The statistics of a fit at its result: the exact or a central-difference
// Jacobian,
// factorised by QR with column pivoting (never by forming J^T*J), its rank,
// and from the leading triangle the covariance, standard errors, confidence
// intervals and correlation.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "api/api.h"
#include "solver/solver.h"

namespace nlfit {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A pivot counts towards the rank while |R_kk| > kRankTolerance * |R_00|,
// the columns scaled by the parameters' magnitudes.
constexpr double kRankTolerance = 1e-10;
// A point is stationary when the Gauss-Newton step would move no free
// parameter by more than this fraction of its magnitude.
constexpr double kStationaryStep = 1e-8;

// The scratch of one computation, in one zero-filled block.
struct StatisticsMemory {
  void* block = nullptr;
  double** columns = nullptr;  // k columns of m
  double* plus = nullptr;      // m
  double* minus = nullptr;     // m
  double* qtf = nullptr;       // m
  double* point = nullptr;     // k
  double* columnScale = nullptr;  // k
  double* rDiagonal = nullptr;    // k
  double* columnNorms = nullptr;  // k
  double* referenceNorms = nullptr;  // k
  double* inverse = nullptr;   // k*k: R^-1, column-major
  int* pivots = nullptr;       // k
  unsigned* flags = nullptr;   // k: NLFIT_PARAM_ bits of the free parameters
  int* position = nullptr;     // n: pivoted position of each parameter, -1 when held

  StatisticsMemory(int m, int k, int n) {
    const std::size_t sm = static_cast<std::size_t>(m);
    const std::size_t sk = static_cast<std::size_t>(k);
    const std::size_t doubles = sk * sm + 3 * sm + 5 * sk + sk * sk;
    block = std::calloc(sk * sizeof(double*) + doubles * sizeof(double) +
                            sk * (sizeof(int) + sizeof(unsigned)) +
                            static_cast<std::size_t>(n) * sizeof(int), 1);
    if (block == nullptr) return;
    columns = static_cast<double**>(block);
    double* d = reinterpret_cast<double*>(columns + sk);
    for (std::size_t j = 0; j < sk; ++j, d += sm) columns[j] = d;
    double** const vectors[] = {&plus, &minus, &qtf};
    for (double** v : vectors) {
      *v = d;
      d += sm;
    }
    double** const small[] = {&point, &columnScale, &rDiagonal, &columnNorms, &referenceNorms};
    for (double** v : small) {
      *v = d;
      d += sk;
    }
    inverse = d;
    d += sk * sk;
    pivots = reinterpret_cast<int*>(d);
    flags = reinterpret_cast<unsigned*>(pivots + sk);
    position = reinterpret_cast<int*>(flags + sk);
  }
  ~StatisticsMemory() { std::free(block); }
  StatisticsMemory(const StatisticsMemory&) = delete;
  StatisticsMemory& operator=(const StatisticsMemory&) = delete;
};

// max(|p|, typical), or |p| without typical magnitudes.
double magnitudeOf(double p, const double* typical, int index) {
  const double a = std::fabs(p);
  return (typical == nullptr) ? a : maxOf(a, typical[index]);
}

// Central differences of the residuals at free[], one column per free
// parameter, divided by the realised difference of the two points. With
// limits (a bounded fit's parameters) a pair that would cross a bound is
// moved inside it, so that the model never sees a point beyond its bounds.
// False when the model asked to stop.
bool centralJacobian(FitProblem& p, const double* free, const double* typical,
                     StatisticsMemory& w, int64_t* evaluations) {
  const int k = p.freeCount;
  const double relativeStep = std::cbrt(kMachineEpsilon);
  std::memcpy(w.point, free, static_cast<std::size_t>(k) * sizeof(double));
  for (int j = 0; j < k; ++j) {
    const double magnitude = magnitudeOf(free[j], typical, p.freeIndex[j]);
    const double h = (magnitude == 0.0) ? relativeStep : relativeStep * magnitude;
    double up = free[j] + h;
    double down = free[j] - h;
    if (p.limits != nullptr) {
      const double lower = p.limits[j].lower;
      const double upper = p.limits[j].upper;
      if (up > upper) {
        up = upper;
        down = maxOf(upper - 2.0 * h, lower);
      } else if (down < lower) {
        down = lower;
        up = minOf(lower + 2.0 * h, upper);
      }
    }
    int flag = 2;
    w.point[j] = up;
    problemResiduals(&p, p.m, k, w.point, w.plus, &flag);
    if (flag >= 0) {
      w.point[j] = down;
      problemResiduals(&p, p.m, k, w.point, w.minus, &flag);
    }
    w.point[j] = free[j];
    *evaluations += 2;
    if (flag < 0) return false;
    const double difference = up - down;
    double* column = w.columns[j];
    for (int i = 0; i < p.m; ++i) column[i] = (w.plus[i] - w.minus[i]) / difference;
  }
  return true;
}

// The Jacobian at free[] into w.columns: the exact one when the problem has
// it, else central differences. False when the model asked to stop.
bool statisticsJacobian(FitProblem& p, const double* free, const double* typical,
                        StatisticsMemory& w, StatisticsOutcome* out) {
  if (!p.exact()) return centralJacobian(p, free, typical, w, &out->evaluations);
  int flag = 2;
  problemJacobian(&p, p.m, p.freeCount, free, nullptr, w.columns, &flag);
  out->jacobians += 1;
  return flag >= 0;
}

bool zeroColumn(int m, const double* column) {
  for (int i = 0; i < m; ++i) {
    if (column[i] != 0.0) return false;
  }
  return true;
}

// R(i, j) of the factorisation: the diagonal apart, the strict upper
// triangle in the columns.
double rAt(const StatisticsMemory& w, int i, int j) {
  return (i == j) ? w.rDiagonal[j] : w.columns[j][i];
}

// Inverse of the leading rank-by-rank triangle of R, column by column by
// back substitution, into w.inverse (column-major, stride rank).
void invertTriangle(StatisticsMemory& w, int rank) {
  for (int j = 0; j < rank; ++j) {
    double* column = w.inverse + static_cast<std::size_t>(j) * static_cast<std::size_t>(rank);
    for (int i = j; i >= 0; --i) {
      double sum = (i == j) ? 1.0 : 0.0;
      for (int l = i + 1; l <= j; ++l) sum = sum - rAt(w, i, l) * column[l];
      column[i] = sum / rAt(w, i, i);
    }
  }
}

// The parameters within the rank that move with an undetermined one: for
// each pivoted position a beyond the rank, the direction with component 1 at
// a that leaves the leading columns' fit unchanged, z = -R11^-1 * R12(:, a),
// in the scaled coordinates. A parameter with a component above
// kDirectionComponent enters only together with it (a and b in a*b*x): its
// value is not fixed by the data either, and it is flagged undetermined.
// Parameters outside every such direction keep standard errors that do not
// depend on which member of a direction the rank left out.
constexpr double kDirectionComponent = 1e-6;

void markUndeterminedDirections(StatisticsMemory& w, int rank, int k, unsigned* columnFlags) {
  const std::size_t stride = static_cast<std::size_t>(rank);
  for (int a = rank; a < k; ++a) {
    for (int i = 0; i < rank; ++i) {
      double z = 0.0;
      for (int l = i; l < rank; ++l) {
        z = z + w.inverse[static_cast<std::size_t>(l) * stride + static_cast<std::size_t>(i)] *
                    rAt(w, l, a);
      }
      if (std::fabs(z) > kDirectionComponent) {
        columnFlags[w.pivots[i]] |= NLFIT_PARAM_UNDETERMINED;
      }
    }
  }
}

void fillArrays(const StatisticsRequest& rq, StatisticsMemory& w, int rank,
                const unsigned* freeFlags, nlfit_result* result) {
  const FitProblem& p = *rq.problem;
  const int n = p.n;
  const int k = p.freeCount;
  const int64_t dof = static_cast<int64_t>(p.m) - rank;
  double s2 = 1.0;
  if (!rq.absoluteSigma) s2 = (dof > 0) ? rq.rss / static_cast<double>(dof) : kNaN;
  const double t = studentQuantile95(dof);

  // Position in the pivoted order of each parameter: -1 held, >= rank
  // undetermined.
  for (int i = 0; i < n; ++i) w.position[i] = -1;
  for (int a = 0; a < k; ++a) w.position[p.freeIndex[w.pivots[a]]] = a;
  auto positionOf = [&](int parameter) { return w.position[parameter]; };
  auto covarianceAt = [&](int a, int b) {
    // (R^-1 R^-T)(a, b) for pivoted positions a, b < rank, scaled back.
    const std::size_t stride = static_cast<std::size_t>(rank);
    const int first = (a > b) ? a : b;
    double sum = 0.0;
    for (int l = first; l < rank; ++l) {
      sum = sum + w.inverse[static_cast<std::size_t>(l) * stride + static_cast<std::size_t>(a)] *
                      w.inverse[static_cast<std::size_t>(l) * stride + static_cast<std::size_t>(b)];
    }
    return s2 * (w.columnScale[w.pivots[a]] * w.columnScale[w.pivots[b]] * sum);
  };

  for (int i = 0; i < n; ++i) {
    const int a = positionOf(i);
    const bool held = (a < 0);
    const bool determined =
        !held && a < rank && (freeFlags[w.pivots[a]] & NLFIT_PARAM_UNDETERMINED) == 0;
    const double variance = determined ? covarianceAt(a, a) : (held ? 0.0 : kNaN);
    const double se = std::sqrt(variance);
    if (result->std_errors != nullptr) result->std_errors[i] = se;
    if (result->ci_low != nullptr) result->ci_low[i] = held ? p.full[i] : p.full[i] - t * se;
    if (result->ci_high != nullptr) result->ci_high[i] = held ? p.full[i] : p.full[i] + t * se;
    for (int j = 0; j < n; ++j) {
      const int b = positionOf(j);
      const std::size_t at = static_cast<std::size_t>(i) * static_cast<std::size_t>(n) +
                             static_cast<std::size_t>(j);
      double cov;
      if (held || b < 0) {
        cov = 0.0;
      } else if (!determined || b >= rank ||
                 (freeFlags[w.pivots[b]] & NLFIT_PARAM_UNDETERMINED) != 0) {
        cov = kNaN;
      } else {
        cov = covarianceAt(a, b);
      }
      if (result->covariance != nullptr) result->covariance[at] = cov;
      if (result->correlation != nullptr) {
        double r = kNaN;
        if (determined && b >= 0 && b < rank &&
            (freeFlags[w.pivots[b]] & NLFIT_PARAM_UNDETERMINED) == 0) {
          const double seJ = std::sqrt(covarianceAt(b, b));
          if (i == j) {
            r = (se > 0.0) ? 1.0 : kNaN;
          } else {
            r = cov / (se * seJ);
          }
        }
        result->correlation[at] = r;
      }
    }
  }
  if (result->parameter_flags != nullptr) {
    for (int i = 0; i < n; ++i) result->parameter_flags[i] = 0u;
    for (int a = 0; a < k; ++a) {
      result->parameter_flags[p.freeIndex[a]] = freeFlags[a];
    }
  }
}

}  // namespace

void fillUnavailableStatistics(const FitProblem& p, nlfit_result* result) {
  const std::size_t n = static_cast<std::size_t>(p.n);
  // freeIndex is increasing: a parameter is held when it is not listed.
  auto isHeld = [&p](std::size_t j) {
    for (int k = 0; k < p.freeCount; ++k) {
      if (static_cast<std::size_t>(p.freeIndex[k]) == j) return false;
    }
    return true;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const bool held = isHeld(i);
    if (result->std_errors != nullptr) result->std_errors[i] = held ? 0.0 : kNaN;
    if (result->ci_low != nullptr) result->ci_low[i] = held ? p.full[i] : kNaN;
    if (result->ci_high != nullptr) result->ci_high[i] = held ? p.full[i] : kNaN;
    for (std::size_t j = 0; j < n; ++j) {
      const bool zero = held || isHeld(j);
      if (result->covariance != nullptr) result->covariance[i * n + j] = zero ? 0.0 : kNaN;
      if (result->correlation != nullptr) result->correlation[i * n + j] = kNaN;
    }
  }
}

InformationCriteria informationCriteria(const LikelihoodOf& fit) {
  const int m = fit.m;
  const double count = static_cast<double>(m);
  double logLikelihood;
  int k = fit.freeParameters;
  InformationCriteria c{kNaN, kNaN, kNaN, kNaN};
  if (fit.robust) return c;
  if (fit.poisson) {
    // ln L = sum (y ln mu - mu - ln y!) = the saturated model's
    // sum (y ln y - y - ln y!) less half the deviance (0 ln 0 = 0).
    double saturated = 0.0;
    for (int i = 0; i < m; ++i) {
      const double y = fit.y[i];
      int sign = 0;
      saturated = saturated + ((y > 0.0) ? y * std::log(y) : 0.0) - y - ::lgamma_r(y + 1.0, &sign);
    }
    logLikelihood = saturated - 0.5 * fit.rss;
  } else {
    double logSigma = 0.0;
    if (fit.sigma != nullptr) {
      for (int i = 0; i < m; ++i) logSigma = logSigma + std::log(fit.sigma[i]);
    }
    const double log2Pi = std::log(2.0 * 3.14159265358979323846);
    // Gaussian: with absolute sigma the variances are known; otherwise their
    // common scale is estimated too, at its maximum rss / m.
    if (fit.absoluteSigma) {
      logLikelihood = -0.5 * (count * log2Pi + 2.0 * logSigma + fit.rss);
    } else {
      logLikelihood =
          -0.5 * (count * log2Pi + 2.0 * logSigma + count * std::log(fit.rss / count) + count);
      k = k + 1;
    }
  }
  const double kk = static_cast<double>(k);
  c.logLikelihood = logLikelihood;
  c.aic = 2.0 * kk - 2.0 * logLikelihood;
  c.aicc = (m - k - 1 > 0) ? c.aic + 2.0 * kk * (kk + 1.0) / (count - kk - 1.0) : kNaN;
  c.bic = kk * std::log(count) - 2.0 * logLikelihood;
  return c;
}

JacobianCheck checkJacobian(FitProblem& p, const double* free, const double* typical) {
  JacobianCheck check;
  const int m = p.m;
  const int k = p.freeCount;
  StatisticsMemory w(m, k, p.n);
  StatisticsMemory exact(m, k, p.n);
  if (w.block == nullptr || exact.block == nullptr) return check;
  // The check is no part of the fit: its evaluations neither count as the
  // fit's start nor stop it on a non-finite value.
  const bool checkFinite = p.checkFinite;
  p.checkFinite = false;
  const bool differenced = centralJacobian(p, free, typical, w, &check.evaluations);
  int flag = 2;
  if (differenced) problemJacobian(&p, m, k, free, nullptr, exact.columns, &flag);
  p.checkFinite = checkFinite;
  scatterFree(p, free);
  if (!differenced || flag < 0) return check;
  check.ran = true;
  for (int j = 0; j < k; ++j) {
    const double* c = w.columns[j];
    const double* e = exact.columns[j];
    double scale = 0.0;
    double worst = 0.0;
    bool nonfinite = false;
    for (int i = 0; i < m; ++i) {
      const double d = std::fabs(e[i] - c[i]);
      if (!std::isfinite(d)) nonfinite = true;
      scale = maxOf(scale, maxOf(std::fabs(c[i]), std::fabs(e[i])));
      worst = maxOf(worst, d);
    }
    // A column with a non-finite entry is the worst of all.
    const double error = nonfinite ? kNaN : (scale > 0.0 ? worst / scale : 0.0);
    const bool worse = check.column < 0 || (std::isnan(error) && !std::isnan(check.error)) ||
                       error > check.error;
    if (worse) {
      check.error = error;
      check.column = p.freeIndex[j];
    }
  }
  return check;
}

StatisticsOutcome computeStatistics(const StatisticsRequest& rq, nlfit_result* result) {
  StatisticsOutcome out;
  FitProblem& p = *rq.problem;
  const int m = p.m;
  const int k = p.freeCount;
  StatisticsMemory w(m, k, p.n);
  if (w.block == nullptr) return out;

  const bool complete = statisticsJacobian(p, rq.free, rq.typical, w, &out);
  // The model's view of the parameters back at the result.
  for (int j = 0; j < k; ++j) p.full[p.freeIndex[j]] = rq.free[j];
  if (!complete) return out;

  // Flags of the free parameters, and columns scaled by the parameters'
  // magnitudes so that the rank does not depend on their units.
  for (int j = 0; j < k; ++j) {
    const double magnitude = magnitudeOf(rq.free[j], rq.typical, p.freeIndex[j]);
    w.columnScale[j] = (magnitude == 0.0) ? 1.0 : magnitude;
  }
  std::memcpy(w.qtf, rq.fvec, static_cast<std::size_t>(m) * sizeof(double));
  // Zero columns are recorded before the factorisation moves them.
  unsigned* const columnFlags = w.flags;
  for (int j = 0; j < k; ++j) {
    if (zeroColumn(m, w.columns[j])) columnFlags[j] |= NLFIT_PARAM_NO_EFFECT;
    for (int i = 0; i < m; ++i) w.columns[j][i] = w.columns[j][i] * w.columnScale[j];
  }
  qrPivotFactorApply(m, k, w.columns, 1,
                     QrVectors{w.pivots, w.rDiagonal, w.columnNorms, w.referenceNorms}, w.qtf);

  const double largest = std::fabs(w.rDiagonal[0]);
  int rank = 0;
  while (rank < k && std::fabs(w.rDiagonal[rank]) > kRankTolerance * largest) ++rank;
  for (int a = rank; a < k; ++a) columnFlags[w.pivots[a]] |= NLFIT_PARAM_UNDETERMINED;

  // Gauss-Newton step in the scaled, pivoted coordinates: R * z = Q^T * fvec;
  // free parameter pivots[a] moves by -z_a times its column's scale.
  invertTriangle(w, rank);
  markUndeterminedDirections(w, rank, k, columnFlags);
  bool stationary = (rank == k);
  for (int a = 0; a < rank; ++a) {
    double z = 0.0;
    for (int l = a; l < rank; ++l) {
      z = z + w.inverse[static_cast<std::size_t>(l) * static_cast<std::size_t>(rank) +
                        static_cast<std::size_t>(a)] * w.qtf[l];
    }
    if (!(std::fabs(z) <= kStationaryStep)) stationary = false;
    if (rq.step != nullptr) rq.step[w.pivots[a]] = -z * w.columnScale[w.pivots[a]];
  }

  out.available = true;
  out.rank = rank;
  out.stationary = stationary;
  out.stepped = rq.step != nullptr && rank == k;
  if (rq.fill) fillArrays(rq, w, rank, columnFlags, result);
  return out;
}

}  // namespace nlfit
