// Private interface of the fitting API: the residual function of one fit and
// the statistics at its result.
#ifndef NLFIT_API_H
#define NLFIT_API_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "nlfit/fit.h"

namespace nlfit {

// One zero-filled block from calloc, freed with its owner; data() is
// nullptr before allocate() and when calloc fails.
class ZeroedBlock {
 public:
  ZeroedBlock() = default;
  ~ZeroedBlock() { std::free(data_); }
  ZeroedBlock(const ZeroedBlock&) = delete;
  ZeroedBlock& operator=(const ZeroedBlock&) = delete;
  void* allocate(std::size_t count, std::size_t size) {
    data_ = std::calloc(count, size);
    return data_;
  }
  void* data() const { return data_; }

 private:
  void* data_ = nullptr;
};

// A bounded free parameter p is fitted through an unbounded variable t:
//   lower only   p = lower + scale * (sqrt(1 + t^2) - 1)
//   upper only   p = upper - scale * (sqrt(1 + t^2) - 1)
//   both         p = middle + scale * sin(t), clamped to [lower, upper]
// (scale: the start's distance from a lone bound, else that bound's or the
// typical magnitude, else 1; half the width between two bounds).
enum class BoundKind : unsigned char { kNone, kLower, kUpper, kBoth };
struct ParameterBound {
  BoundKind kind = BoundKind::kNone;
  double lower = 0.0, upper = 0.0, middle = 0.0, scale = 1.0;
};

// The caller's bounds (options lower and upper, either may be null).
bool hasBounds(const nlfit_options& o);
// Every bound a number, no lower bound of +inf or upper of -inf, lower <= upper.
bool boundsValid(const nlfit_options& o, std::size_t n);
bool startWithinBounds(const nlfit_options& o, std::size_t n, const double* params);
// Equal lower and upper bounds hold the parameter.
bool heldByBounds(const nlfit_options& o, std::size_t j);
// The map of parameter j, which starts at start.
ParameterBound boundOf(const nlfit_options& o, std::size_t j, double start);
double boundedValue(const ParameterBound& b, double t);
// dp/dt of boundedValue (0 where it clamps).
double boundedSlope(const ParameterBound& b, double t);
// t for a start within the bounds; a start on a bound begins a little inside.
double internalStart(const ParameterBound& b, double p);
// The bound within 1e-4 of the map's scale of p, or NaN: where a fitted
// parameter is tried.
double nearestBound(const ParameterBound& b, double p);
// p is one of its bounds.
bool atBound(const ParameterBound& b, double p);

// How the caller's model is called.
enum class ModelForm { kPoint, kVector, kResiduals };

// One fit's problem in the free parameters: the solver moves free[], the
// caller's model sees all n parameters in full[] (held ones at their start).
struct FitProblem {
  ModelForm form = ModelForm::kPoint;
  nlfit_point_model point = nullptr;
  nlfit_vector_model vector = nullptr;
  nlfit_residual_function residuals = nullptr;
  void* user = nullptr;
  int n = 0;             // all parameters
  int m = 0;             // observations (residuals)
  std::size_t predictors = 1;  // d: x holds m*d values, row-major
  const double* x = nullptr;
  const double* y = nullptr;
  const double* sigma = nullptr;
  int freeCount = 0;
  const int* freeIndex = nullptr;  // freeCount indices into full
  double* full = nullptr;          // n
  // freeCount maps of the free parameters, or null when none is bounded:
  // then full gets free[] as it is.
  const ParameterBound* bounds = nullptr;
  // The statistics' problem of a bounded fit, in the caller's parameters:
  // freeCount bounds that its central differences keep within, or null.
  const ParameterBound* limits = nullptr;
  // Non-finite checks: on the first evaluation (the starting point) and on
  // every evaluation of the solver's Jacobian. Off for the statistics.
  bool checkFinite = false;
  bool startSeen = false;
  int64_t nonfiniteIndex = -1;     // the first non-finite residual found
  // The exact derivatives, when there are: jacobian (vector and residual
  // forms) fills jacobianRows (m*n, row-major), gradient (point form) fills
  // gradientRow (n) at each x.
  nlfit_jacobian_function jacobian = nullptr;
  nlfit_point_gradient gradient = nullptr;
  double* jacobianRows = nullptr;
  double* gradientRow = nullptr;
  bool exact() const { return jacobian != nullptr || gradient != nullptr; }
  // The Poisson estimator: residuals are signed deviance residuals. means
  // (m) keeps the model values of the last evaluation, at the free
  // parameters meansAt (freeCount), for the exact Jacobian's chain rule.
  bool poisson = false;
  // A robust loss (an NLFIT_ESTIMATOR_ value above Poisson's, 0 for none)
  // and its scale: the residuals are transformed after weighting, and means
  // keeps the weighted residuals before the transformation.
  int loss = 0;
  double lossScale = 1.0;
  double* means = nullptr;
  double* meansAt = nullptr;
  bool meansValid = false;
};

// The value problemResiduals stores in evalFlag when it stops the solver on
// a non-finite residual (the caller's model stopping stores -1).
constexpr int kNonFiniteFlag = -2;

// The solver's residual function over a FitProblem: full <- free, then
// fvec[i] = (model(x[i]) - y[i]) / sigma[i] (no division without sigma), or
// the caller's residuals. A nonzero return of the caller's function stores
// -1 in evalFlag; with checkFinite, a non-finite residual at the start or in
// a Jacobian stores kNonFiniteFlag.
void problemResiduals(void* problem, int m, int freeCount, const double* free, double* fvec,
                      int* evalFlag);

// The one check of counts and options, shared by every entry point (single
// fits, model handles, batches): the counts first, before any per-parameter
// array is read (n in 1 .. INT_MAX, m <= INT_MAX, at least one free
// parameter and no more free parameters than points), then every option's
// range. 0 or a refusal status.
int checkCountsAndOptions(std::size_t n, std::size_t m, const nlfit_options& options,
                          ModelForm form);

// For a refusal before the fit: stores status in result (when there is one
// with a valid struct_size) and returns it; a result whose struct_size is
// below the first layout is not touched and gets NLFIT_REFUSED_BAD_OPTION.
int refuseInto(nlfit_result* result, int status);

// The Student t quantile of the two-sided 95 % interval with dof degrees of
// freedom; NaN for dof <= 0.
double studentQuantile95(int64_t dof);

// The standard normal distribution's lower tail P(Z <= z); NaN for NaN.
double normalLowerTail(double z);

// full <- free: the caller's parameters at the solver's point.
void scatterFree(FitProblem& p, const double* free);
// The solver's Jacobian hook over a FitProblem with exact derivatives: the
// free columns of the caller's Jacobian, divided by sigma. A nonzero return
// of the caller's function stores -1 in evalFlag.
void problemJacobian(void* problem, int m, int freeCount, const double* free,
                     const double* fvec, double* const* jacobian, int* evalFlag);

// The Jacobian check at the free parameters free[]: see
// nlfit_result.jacobian_check_error.
struct JacobianCheck {
  bool ran = false;
  double error = 0.0;
  int column = -1;           // parameter index
  int64_t evaluations = 0;   // residual evaluations
};
JacobianCheck checkJacobian(FitProblem& problem, const double* free, const double* typical);

// The signed deviance residual of a count y >= 0 with mean mu, and its
// derivative with respect to mu; NaN unless mu > 0.
double devianceResidual(double mu, double y);
double devianceSlope(double mu, double y, double residual);

// A robust loss's transformed residual sign(r)*s*sqrt(rho((r/s)^2)) and its
// derivative with respect to r.
double robustResidual(int loss, double scale, double r);
double robustSlope(int loss, double scale, double r);

// The model values at p.full into values (m); false when the model asked to
// stop. Not for the residual form.
bool modelValues(FitProblem& p, double* values);

// Sum of squares of v[0 .. count-1], one accumulator in index order.
double sumOfSquares(int count, const double* v);

// Statistics of a fit at the free parameters free[] with residuals fvec.
struct StatisticsRequest {
  FitProblem* problem = nullptr;
  const double* free = nullptr;     // freeCount values
  const double* fvec = nullptr;     // m residuals at free
  const double* typical = nullptr;  // n typical magnitudes, or null
  double rss = 0.0;
  bool absoluteSigma = false;
  bool fill = false;                // fill the caller's arrays of result
  // freeCount values, or null: the Gauss-Newton step from free at full rank
  // (outcome.stepped), to be added to free.
  double* step = nullptr;
};

struct StatisticsOutcome {
  bool available = false;   // false: out of memory, or the model stopped
  int rank = 0;
  bool stationary = false;  // the Gauss-Newton step at the point is negligible
  bool stepped = false;     // request.step holds the Gauss-Newton step
  int64_t evaluations = 0;
  int64_t jacobians = 0;    // calls of the exact Jacobian
};

// Computes rank, stationarity and, with fill, the covariance, standard
// errors, intervals and correlation into result's arrays (all n parameters).
StatisticsOutcome computeStatistics(const StatisticsRequest& request, nlfit_result* result);

// The probability that a chi-square with dof degrees of freedom exceeds rss;
// NaN when dof <= 0 or rss is not a finite number >= 0.
double chiSquarePValue(double rss, int64_t dof);

// Fills result's statistics arrays for statistics that could not be had: NaN,
// but zero standard error, covariance and interval width for held parameters.
void fillUnavailableStatistics(const FitProblem& problem, nlfit_result* result);

// The maximised log-likelihood of a fit and the information criteria from
// it (AIC, AICc, BIC); see nlfit_result in nlfit/fit.h for the formulas.
struct InformationCriteria {
  double logLikelihood;
  double aic;
  double aicc;
  double bic;
};

// The criteria of m observations with residual sum of squares rss (chi-square
// with sigma; the deviance for Poisson), free parameters fitted; sigma may be
// null. The likelihood is the Gaussian one, or Poisson's for counts y; a
// robust loss has no likelihood here (all NaN).
struct LikelihoodOf {
  int m = 0;
  int freeParameters = 0;
  const double* y = nullptr;
  const double* sigma = nullptr;
  double rss = 0.0;
  bool absoluteSigma = false;
  bool poisson = false;
  bool robust = false;
};
InformationCriteria informationCriteria(const LikelihoodOf& fit);

}  // namespace nlfit

#endif  // NLFIT_API_H
