// Private interface of the fitting API: the residual function of one fit and
// the statistics at its result.
#ifndef NLFIT_API_H
#define NLFIT_API_H

#include <cstddef>
#include <cstdint>

#include "nlfit/fit.h"

namespace nlfit {

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
  const double* x = nullptr;
  const double* y = nullptr;
  const double* sigma = nullptr;
  int freeCount = 0;
  const int* freeIndex = nullptr;  // freeCount indices into full
  double* full = nullptr;          // n
};

// The solver's residual function over a FitProblem: full <- free, then
// fvec[i] = (model(x[i]) - y[i]) / sigma[i] (no division without sigma), or
// the caller's residuals. A nonzero return of the caller's function stores
// -1 in evalFlag.
void problemResiduals(void* problem, int m, int freeCount, const double* free, double* fvec,
                      int* evalFlag);

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
};

struct StatisticsOutcome {
  bool available = false;   // false: out of memory, or the model stopped
  int rank = 0;
  bool stationary = false;  // the Gauss-Newton step at the point is negligible
  int64_t evaluations = 0;
};

// Computes rank, stationarity and, with fill, the covariance, standard
// errors, intervals and correlation into result's arrays (all n parameters).
StatisticsOutcome computeStatistics(const StatisticsRequest& request, nlfit_result* result);

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
// with sigma), free parameters fitted; sigma may be null. The likelihood is
// the Gaussian one: an estimator with another likelihood (Poisson counts)
// supplies its own log-likelihood here and keeps the criteria below.
InformationCriteria informationCriteria(int m, int freeParameters, const double* sigma,
                                        double rss, bool absoluteSigma);

}  // namespace nlfit

#endif  // NLFIT_API_H
