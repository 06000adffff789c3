// The fitting API's entry points: checks, the reduced problem in the free
// parameters, the run of the solver and the result.
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>

#include "api/api.h"
#include "api/struct_prefix.h"
#include "solver/solver.h"

namespace nlfit {

namespace {

constexpr double kDefaultTolerance = 1e-12;
// Automatic budget: as the plug-in's up to this many free parameters, then
// kBudgetPerParameter per free parameter and one more.
constexpr int kPluginBudgetParameters = 9;
constexpr int kBudgetPerParameter = 100;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A parameter moves onto a bound when the sum of squares rises by no more
// than this fraction.
constexpr double kSettleTolerance = 1e-12;

bool allFinite(std::size_t count, const double* v) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

bool allPositiveFinite(std::size_t count, const double* v) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!(v[i] > 0.0) || !std::isfinite(v[i])) return false;
  }
  return true;
}

// Held by the caller's flags, or by equal bounds.
bool isHeld(const nlfit_options& o, std::size_t j) {
  return (o.held != nullptr && o.held[j] != 0) || heldByBounds(o, j);
}

// Everything that can be checked before a fit; 0 or a refusal status.
int checkCall(ModelForm form, const void* model, std::size_t n, const double* params,
              std::size_t m, std::size_t d, const double* x, const double* y,
              const nlfit_options& o) {
  if (model == nullptr || params == nullptr) return NLFIT_REFUSED_NULL_POINTER;
  if (form != ModelForm::kResiduals && m > 0 && (x == nullptr || y == nullptr)) {
    return NLFIT_REFUSED_NULL_POINTER;
  }
  const int checked = checkCountsAndOptions(n, m, o, form);
  if (checked != 0) return checked;
  if (form != ModelForm::kResiduals && (!allFinite(m * d, x) || !allFinite(m, y))) {
    return NLFIT_REFUSED_NONFINITE_DATA;
  }
  if (!allFinite(n, params)) return NLFIT_REFUSED_NONFINITE_START;
  if (hasBounds(o) && !startWithinBounds(o, n, params)) return NLFIT_REFUSED_BAD_OPTION;
  if (o.sigma != nullptr && !allPositiveFinite(m, o.sigma)) return NLFIT_REFUSED_BAD_SIGMA;
  if (o.estimator == NLFIT_ESTIMATOR_POISSON) {
    for (std::size_t i = 0; i < m; ++i) {
      if (y[i] < 0.0) return NLFIT_REFUSED_NEGATIVE_DATA;
    }
  }
  return 0;
}

int budget(const nlfit_options& o, int freeCount) {
  if (o.max_evaluations > 0) {
    return o.max_evaluations > INT_MAX ? INT_MAX : static_cast<int>(o.max_evaluations);
  }
  if (freeCount <= kPluginBudgetParameters) return kMaxEvaluations;
  return kBudgetPerParameter * (freeCount + 1);
}

int statusOf(int terminationCode) {
  if (terminationCode == kNonFiniteFlag) return NLFIT_STOPPED_NONFINITE;
  if (terminationCode < 0) return NLFIT_STOPPED_BY_MODEL;
  if (terminationCode == kStoppedByProgress) return NLFIT_STOPPED_BY_CALLBACK;
  if (terminationCode >= kReductionConverged && terminationCode <= kGradientAtPrecision) {
    return terminationCode;
  }
  return NLFIT_REFUSED_BAD_OPTION;  // the solver refused what the checks let through
}

// Forwards the solver's progress report to the caller's callback with all
// n parameters.
struct ProgressRelay {
  FitProblem* problem;
  const nlfit_options* options;
};

int relayProgress(void* context, int iteration, double fnorm, const double* free, int freeCount) {
  const ProgressRelay& relay = *static_cast<const ProgressRelay*>(context);
  FitProblem& p = *relay.problem;
  (void)freeCount;
  scatterFree(p, free);
  return relay.options->progress(iteration, fnorm, p.full, static_cast<std::size_t>(p.n),
                                 relay.options->progress_user);
}

// Weighted R^2 of a curve fit; NaN when the total sum of squares is 0.
double weightedRSquared(const FitProblem& p, double rss) {
  if (p.form == ModelForm::kResiduals) return kNaN;
  double weightSum = 0.0;
  double weightedY = 0.0;
  for (int i = 0; i < p.m; ++i) {
    const double w = (p.sigma == nullptr) ? 1.0 : 1.0 / (p.sigma[i] * p.sigma[i]);
    weightSum = weightSum + w;
    weightedY = weightedY + w * p.y[i];
  }
  const double mean = weightedY / weightSum;
  double total = 0.0;
  for (int i = 0; i < p.m; ++i) {
    const double w = (p.sigma == nullptr) ? 1.0 : 1.0 / (p.sigma[i] * p.sigma[i]);
    const double d = p.y[i] - mean;
    total = total + w * (d * d);
  }
  if (!(total != 0.0)) return kNaN;
  return 1.0 - rss / total;
}

bool convergedBy(int status, const StatisticsOutcome& s, int freeCount) {
  // A Jacobian of deficient rank at the result: the data do not fix the
  // point, whatever made the solver stop there.
  if (s.available && s.rank < freeCount) return false;
  if (status >= NLFIT_CONVERGED_REDUCTION && status <= NLFIT_CONVERGED_GRADIENT) return true;
  if (status >= NLFIT_STOPPED_REDUCTION_AT_PRECISION &&
      status <= NLFIT_STOPPED_GRADIENT_AT_PRECISION) {
    return s.available && s.rank == freeCount && s.stationary;
  }
  return false;
}

// A fit that takes the Gauss-Newton step of its statistics once more, when
// the caller asks for it (gauss_newton_step): a converged least-squares fit with exact derivatives and statistics asked
// for, no free parameter bounded. Its statistics factor the Jacobian at the
// result anyway, and the step gains the last digits that a stop on the
// relative reduction leaves; fits with differences stay as the solver ends
// them.
bool polishes(const FitProblem& p, const nlfit_options& o, int status) {
  return o.gauss_newton_step != 0 && o.compute_statistics != 0 && p.exact() && p.bounds == nullptr &&
         o.estimator == NLFIT_ESTIMATOR_LEAST_SQUARES && status >= NLFIT_CONVERGED_REDUCTION &&
         status <= NLFIT_CONVERGED_GRADIENT;
}

// The memory of one fit besides the solver's: the free parameters, the
// full parameter vector, the rows of an exact Jacobian (rows doubles, 0
// without one) and the free parameters' indices, in one zero-filled block.
struct FitMemory {
  ZeroedBlock block;
  double* free = nullptr;
  double* full = nullptr;
  double* rows = nullptr;
  int* freeIndex = nullptr;
  FitMemory(std::size_t n, std::size_t rowDoubles) {
    if (rowDoubles > SIZE_MAX / sizeof(double) - 2 * n - n) return;
    if (block.allocate((2 * n + rowDoubles) * sizeof(double) + n * sizeof(int), 1) == nullptr) {
      return;
    }
    free = static_cast<double*>(block.data());
    full = free + n;
    rows = full + n;
    freeIndex = reinterpret_cast<int*>(rows + rowDoubles);
  }
};

// The maps of the bounded free parameters, and the statistics' view of the
// problem: the caller's parameters, those on a bound treated as held.
struct BoundedFit {
  std::unique_ptr<ParameterBound[]> bounds;
  std::unique_ptr<int[]> statisticsIndex;  // free parameters not on a bound
  std::unique_ptr<double[]> statisticsFree;
  std::unique_ptr<ParameterBound[]> statisticsLimits;
  std::unique_ptr<bool[]> onBound;         // n
  int statisticsCount = 0;

  // False when memory ran out. Leaves bounds empty when no free parameter
  // has a bound.
  bool prepare(const nlfit_options& o, const FitProblem& p, const double* params,
               double* free) {
    if (!hasBounds(o)) return true;
    const std::size_t n = static_cast<std::size_t>(p.n);
    bounds.reset(new (std::nothrow) ParameterBound[n]);
    statisticsIndex.reset(new (std::nothrow) int[n]);
    statisticsFree.reset(new (std::nothrow) double[n]);
    statisticsLimits.reset(new (std::nothrow) ParameterBound[n]);
    onBound.reset(new (std::nothrow) bool[n]());
    if (!bounds || !statisticsIndex || !statisticsFree || !statisticsLimits || !onBound) {
      return false;
    }
    bool any = false;
    for (int k = 0; k < p.freeCount; ++k) {
      const std::size_t j = static_cast<std::size_t>(p.freeIndex[k]);
      bounds[k] = boundOf(o, j, params[j]);
      any = any || bounds[k].kind != BoundKind::kNone;
      free[k] = internalStart(bounds[k], params[j]);
    }
    if (!any) bounds.reset();
    return true;
  }

  // After the fit: each parameter within nearestBound's reach of a bound
  // moves onto it when that does not raise the sum of squares (by more than
  // rounding), one parameter and one evaluation at a time; full and fvec
  // follow. Returns the evaluations spent.
  int settleOnBounds(FitProblem& p, double* fvec, double* trial) {
    FitProblem direct = p;
    direct.bounds = nullptr;
    direct.checkFinite = false;
    double* values = statisticsFree.get();
    for (int k = 0; k < p.freeCount; ++k) values[k] = p.full[p.freeIndex[k]];
    double rss = sumOfSquares(p.m, fvec);
    int evaluations = 0;
    for (int k = 0; k < p.freeCount && std::isfinite(rss); ++k) {
      const double bound = nearestBound(bounds[k], values[k]);
      if (std::isnan(bound) || bound == values[k]) continue;
      const double kept = values[k];
      values[k] = bound;
      int flag = 1;
      problemResiduals(&direct, p.m, p.freeCount, values, trial, &flag);
      ++evaluations;
      const double moved = flag >= 0 ? sumOfSquares(p.m, trial) : kNaN;
      if (moved <= rss * (1.0 + kSettleTolerance)) {
        std::memcpy(fvec, trial, static_cast<std::size_t>(p.m) * sizeof(double));
        rss = moved;
      } else {
        values[k] = kept;
      }
    }
    for (int k = 0; k < p.freeCount; ++k) p.full[p.freeIndex[k]] = values[k];
    return evaluations;
  }

  // After the fit (full holds the result): the statistics' problem.
  FitProblem statisticsProblem(const FitProblem& p) {
    FitProblem s = p;
    s.bounds = nullptr;
    statisticsCount = 0;
    for (int k = 0; k < p.freeCount; ++k) {
      const int j = p.freeIndex[k];
      if (atBound(bounds[k], p.full[j])) {
        onBound[j] = true;
      } else {
        statisticsIndex[statisticsCount] = j;
        statisticsFree[statisticsCount] = p.full[j];
        statisticsLimits[statisticsCount] = bounds[k];
        ++statisticsCount;
      }
    }
    s.freeIndex = statisticsIndex.get();
    s.limits = statisticsLimits.get();
    s.freeCount = statisticsCount;
    return s;
  }
};

// A parameter on a bound has no standard error, interval, covariance or
// correlation: the statistics have treated it as held.
void clearAtBound(const bool* onBound, std::size_t n, nlfit_result* result) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!onBound[i]) continue;
    if (result->std_errors != nullptr) result->std_errors[i] = kNaN;
    if (result->ci_low != nullptr) result->ci_low[i] = kNaN;
    if (result->ci_high != nullptr) result->ci_high[i] = kNaN;
    for (std::size_t j = 0; j < n; ++j) {
      if (result->covariance != nullptr) result->covariance[i * n + j] = kNaN;
      if (result->covariance != nullptr) result->covariance[j * n + i] = kNaN;
      if (result->correlation != nullptr) result->correlation[i * n + j] = kNaN;
      if (result->correlation != nullptr) result->correlation[j * n + i] = kNaN;
    }
  }
}

// True when the statistics wrote the parameter flags.
bool statisticsFilled(const nlfit_options& o, const StatisticsOutcome& s) {
  return o.compute_statistics != 0 && s.available;
}

void refuse(int status, nlfit_result* result) {
  if (result != nullptr) result->status = status;
}

int runFit(FitProblem problem, double* params, const nlfit_options& o, nlfit_result* result);

// The nonlinearity check: each parameter is held 2 standard errors from the
// result on either side while the others are refitted; the profile's
// standard error 2*SE*sqrt(v/dS) replaces the linearised one where it is
// larger by more than kNonlinearFactor.
constexpr double kProfileStep = 2.0;
constexpr double kNonlinearFactor = 1.5;

// A refit starts near its optimum: a budget of its own keeps one that
// wanders from costing as much as a fit. One stopped short only overstates
// its rise, which understates the profile's standard error.
constexpr int64_t kRefitEvaluations = 200;
// A refit whose rise exceeds its linear prediction this many times is tried
// again from the result (the profile's error below 1/1.5 of the linearised).
constexpr double kRetryRise = 2.25;

struct NonlinearityOutcome {
  int64_t evaluations = 0;
  int64_t jacobians = 0;
  bool lower = false;  // a refit found a smaller sum of squares
};

NonlinearityOutcome checkNonlinearity(const FitProblem& original, const nlfit_options& o,
                                      const double* fitted, nlfit_result* result) {
  NonlinearityOutcome out;
  const std::size_t n = static_cast<std::size_t>(original.n);
  const double rss = result->rss;
  const double variance = (o.absolute_sigma != 0) ? 1.0 : result->reduced_chi2;
  if (!(variance > 0.0) || !std::isfinite(variance) || !std::isfinite(rss)) return out;
  std::unique_ptr<unsigned char[]> held(new (std::nothrow) unsigned char[n]);
  std::unique_ptr<double[]> start(new (std::nothrow) double[n]);
  std::unique_ptr<double[]> ratio(new (std::nothrow) double[n]);
  std::unique_ptr<double[]> retry(new (std::nothrow) double[n]);
  if (!held || !start || !ratio || !retry) return out;
  const double* se = result->std_errors;
  const double* covariance = result->covariance;
  nlfit_options refit = o;
  refit.held = held.get();
  refit.compute_statistics = 0;
  refit.check_nonlinearity = 0;
  refit.check_jacobian = 0;
  refit.progress = nullptr;
  if (refit.max_evaluations <= 0 || refit.max_evaluations > kRefitEvaluations) {
    refit.max_evaluations = kRefitEvaluations;
  }
  for (std::size_t j = 0; j < n; ++j) {
    ratio[j] = 1.0;
    if (isHeld(o, j) || !(se[j] > 0.0) || !std::isfinite(se[j])) continue;
    for (std::size_t i = 0; i < n; ++i) held[i] = (i == j || isHeld(o, i)) ? 1 : 0;
    for (double side : {-1.0, 1.0}) {
      const double step = side * kProfileStep;
      start[j] = fitted[j] + step * se[j];
      if ((o.lower != nullptr && start[j] < o.lower[j]) ||
          (o.upper != nullptr && start[j] > o.upper[j])) {
        continue;  // beyond a bound: no profile on that side
      }
      for (std::size_t i = 0; i < n; ++i) {
        if (i == j) continue;
        const double c = covariance[i * n + j];
        double v = fitted[i] + (std::isfinite(c) ? step * c / se[j] : 0.0);
        if (o.lower != nullptr) v = maxOf(v, o.lower[i]);
        if (o.upper != nullptr) v = minOf(v, o.upper[i]);
        start[i] = held[i] ? fitted[i] : v;
      }
      nlfit_result profile;
      nlfit_result_init(&profile);
      if (runFit(original, start.get(), refit, &profile) < 0) continue;
      out.evaluations += profile.evaluations + profile.statistics_evaluations;
      out.jacobians += profile.jacobian_evaluations;
      // Far from linear, the conditional point may lie in a valley of its
      // own: a refit that does not converge, or rises much faster than the
      // linearisation says, is tried again from the result itself with only
      // the held parameter moved, and the lower of the two counts.
      const double predicted = step * step * variance;
      if (profile.converged == 0 || !(profile.rss - rss <= kRetryRise * predicted)) {
        for (std::size_t i = 0; i < n; ++i) retry[i] = (i == j) ? start[j] : fitted[i];
        nlfit_result again;
        nlfit_result_init(&again);
        if (runFit(original, retry.get(), refit, &again) >= 0) {
          out.evaluations += again.evaluations + again.statistics_evaluations;
          out.jacobians += again.jacobian_evaluations;
          if (again.rss < profile.rss || std::isnan(profile.rss)) profile.rss = again.rss;
        }
      }
      const double rise = profile.rss - rss;
      if (std::isnan(rise)) continue;
      if (rise <= 0.0) {
        out.lower = true;
        continue;
      }
      // The profile's standard error |step|*SE*sqrt(v/dS), as a ratio to SE.
      ratio[j] = maxOf(ratio[j], std::fabs(step) * std::sqrt(variance / rise));
    }
  }
  if (out.lower) return out;
  // Widen after all the refits: they start from the linearised covariance.
  const double quantile = studentQuantile95(result->dof);
  for (std::size_t j = 0; j < n; ++j) {
    if (!(ratio[j] > kNonlinearFactor)) continue;
    result->std_errors[j] = se[j] * ratio[j];
    if (result->ci_low != nullptr) result->ci_low[j] = fitted[j] - quantile * result->std_errors[j];
    if (result->ci_high != nullptr) result->ci_high[j] = fitted[j] + quantile * result->std_errors[j];
    for (std::size_t i = 0; i < n; ++i) {
      result->covariance[i * n + j] = result->covariance[i * n + j] * ratio[j];
      result->covariance[j * n + i] = result->covariance[j * n + i] * ratio[j];
    }
    if (result->parameter_flags != nullptr) result->parameter_flags[j] |= NLFIT_PARAM_NONLINEAR;
  }
  return out;
}

// A fit with the options and the result in the library's own layout.
int runFit(FitProblem problem, double* params, const nlfit_options& o, nlfit_result* result) {
  // The whole call runs in the default floating-point environment: even the
  // checks compare NaNs, which a host's traps would turn into signals.
  const DefaultFloatingPointScope environment;
  const void* model = (problem.form == ModelForm::kPoint)    ? reinterpret_cast<const void*>(problem.point)
                      : (problem.form == ModelForm::kVector) ? reinterpret_cast<const void*>(problem.vector)
                                                             : reinterpret_cast<const void*>(problem.residuals);
  const std::size_t n = static_cast<std::size_t>(problem.n);
  const std::size_t m = static_cast<std::size_t>(problem.m);
  int status = checkCall(problem.form, model, n, params, m, problem.predictors, problem.x,
                         problem.y, o);
  if (status != 0) {
    refuse(status, result);
    return status;
  }
  // The nonlinearity check refits from the caller's problem as it came.
  const FitProblem original = problem;
  problem.sigma = o.sigma;
  problem.jacobian = o.jacobian;
  problem.gradient = o.gradient;

  // Rows for the caller's Jacobian: m*n, or n for a gradient.
  std::size_t rowDoubles = 0;
  if (o.gradient != nullptr) rowDoubles = n;
  if (o.jacobian != nullptr) rowDoubles = (m <= SIZE_MAX / n) ? m * n : SIZE_MAX;
  FitMemory memory(n, rowDoubles);
  if (memory.block.data() == nullptr) {
    refuse(NLFIT_REFUSED_OUT_OF_MEMORY, result);
    return NLFIT_REFUSED_OUT_OF_MEMORY;
  }
  int freeCount = 0;
  for (std::size_t j = 0; j < n; ++j) {
    memory.full[j] = params[j];
    if (!isHeld(o, j)) {
      memory.freeIndex[freeCount] = static_cast<int>(j);
      memory.free[freeCount] = params[j];
      ++freeCount;
    }
  }
  problem.freeCount = freeCount;
  problem.freeIndex = memory.freeIndex;
  problem.full = memory.full;
  problem.jacobianRows = (o.jacobian != nullptr) ? memory.rows : nullptr;
  problem.gradientRow = (o.gradient != nullptr) ? memory.rows : nullptr;
  problem.checkFinite = true;
  // Poisson: the means of the last evaluation and their parameters, then
  // the statistics' square roots of the means and Pearson residuals.
  std::unique_ptr<double[]> poissonMemory;
  if (o.estimator != NLFIT_ESTIMATOR_LEAST_SQUARES) {
    poissonMemory.reset(new (std::nothrow) double[3 * m + n]);
    if (!poissonMemory) {
      refuse(NLFIT_REFUSED_OUT_OF_MEMORY, result);
      return NLFIT_REFUSED_OUT_OF_MEMORY;
    }
    problem.poisson = (o.estimator == NLFIT_ESTIMATOR_POISSON);
    problem.loss = (o.estimator > NLFIT_ESTIMATOR_POISSON) ? o.estimator : 0;
    problem.lossScale = o.loss_scale;
    problem.means = poissonMemory.get();
    problem.meansAt = problem.means + m;
  }
  // The check reads the standard errors and the covariance: the library's
  // own arrays where the caller asked for none.
  const bool checkAsked = result != nullptr && o.check_nonlinearity != 0 &&
                          o.compute_statistics != 0 &&
                          o.estimator == NLFIT_ESTIMATOR_LEAST_SQUARES;
  std::unique_ptr<double[]> checkArrays;
  double* const callerErrors = result != nullptr ? result->std_errors : nullptr;
  double* const callerCovariance = result != nullptr ? result->covariance : nullptr;
  // The caller's pointers go back into its result on every return.
  struct RestoreArrays {
    nlfit_result* result;
    double* errors;
    double* covariance;
    ~RestoreArrays() {
      if (result == nullptr) return;
      result->std_errors = errors;
      result->covariance = covariance;
    }
  } restoreArrays{result, callerErrors, callerCovariance};
  if (checkAsked && (callerErrors == nullptr || callerCovariance == nullptr)) {
    checkArrays.reset(new (std::nothrow) double[n + n * n]);
    if (!checkArrays) {
      refuse(NLFIT_REFUSED_OUT_OF_MEMORY, result);
      return NLFIT_REFUSED_OUT_OF_MEMORY;
    }
    if (callerErrors == nullptr) result->std_errors = checkArrays.get();
    if (callerCovariance == nullptr) result->covariance = checkArrays.get() + n;
  }
  BoundedFit bounded;
  if (!bounded.prepare(o, problem, params, memory.free)) {
    refuse(NLFIT_REFUSED_OUT_OF_MEMORY, result);
    return NLFIT_REFUSED_OUT_OF_MEMORY;
  }
  problem.bounds = bounded.bounds.get();

  // The solver's workspace takes the caller's scale factors of the free
  // parameters; their typical magnitudes go to an array of their own.
  SolverMemory solverMemory(problem.m, freeCount, std::calloc);
  double* freeTypical = nullptr;
  if (o.typical != nullptr) freeTypical = static_cast<double*>(std::calloc(n, sizeof(double)));
  if (!solverMemory.ok() || (o.typical != nullptr && freeTypical == nullptr)) {
    std::free(freeTypical);
    refuse(NLFIT_REFUSED_OUT_OF_MEMORY, result);
    return NLFIT_REFUSED_OUT_OF_MEMORY;
  }
  const SolverWorkspace& work = solverMemory.workspace();
  for (int k = 0; k < freeCount; ++k) {
    const int j = memory.freeIndex[k];
    // A bounded parameter's variable has no units: scale 1, no typical size.
    const bool mapped = problem.bounds != nullptr && problem.bounds[k].kind != BoundKind::kNone;
    if (o.scale != nullptr) work.scaleFactors[k] = mapped ? 1.0 : o.scale[j];
    if (freeTypical != nullptr) freeTypical[k] = mapped ? 0.0 : o.typical[j];
  }

  SolverOptions settings;
  settings.reductionTol = o.reduction_tolerance;
  settings.stepTol = o.step_tolerance;
  settings.gradientTol = o.gradient_tolerance;
  settings.maxEvaluations = budget(o, freeCount);
  settings.diffStepRel = o.relative_error;
  settings.callerScaling = (o.scale != nullptr);
  settings.stepFactor = o.step_bound_factor;
  settings.typical = freeTypical;
  ProgressRelay relay{&problem, &o};
  ProgressSink sink;
  if (o.progress != nullptr) {
    sink.report = relayProgress;
    sink.context = &relay;
  }

  JacobianCheck check;
  if (problem.exact() && o.check_jacobian != 0) check = checkJacobian(problem, memory.free, o.typical);

  double* const fvec = solverMemory.fvec();
  SolverOutcome outcome;
  ResidualProblem residualProblem{problemResiduals, &problem, problem.m, freeCount};
  if (problem.exact()) residualProblem.jacobian = problemJacobian;
  lmIterate(residualProblem, memory.free, nullptr, fvec, settings, sink, work, &outcome);
  status = statusOf(outcome.terminationCode);
  problem.checkFinite = false;

  // The last accepted point, all n parameters.
  scatterFree(problem, memory.free);
  // A bounded parameter that ended next to its bound is tried on it.
  int settleEvaluations = 0;
  if (problem.bounds != nullptr && status != NLFIT_STOPPED_BY_MODEL &&
      status != NLFIT_STOPPED_NONFINITE) {
    settleEvaluations = bounded.settleOnBounds(problem, fvec, work.trialResiduals);
  }
  // A model that stopped in its very first evaluation left no residuals.
  const bool noResiduals = status == NLFIT_STOPPED_BY_MODEL && outcome.evalCount == 1;
  double rss = noResiduals ? kNaN : sumOfSquares(problem.m, fvec);
  double residualNorm = noResiduals         ? kNaN
                        : settleEvaluations ? euclidNorm(problem.m, fvec)
                                            : outcome.fnorm;
  // A sum of squares that overflowed on the way is no fit either.
  if (status >= NLFIT_CONVERGED_REDUCTION && status <= NLFIT_STOPPED_GRADIENT_AT_PRECISION &&
      !(std::isfinite(rss) && std::isfinite(residualNorm))) {
    status = NLFIT_STOPPED_NONFINITE;
  }
  const bool nonfinite = status == NLFIT_STOPPED_NONFINITE;

  StatisticsOutcome statistics;
  int polishEvaluations = 0;
  const bool atPrecision = status >= NLFIT_STOPPED_REDUCTION_AT_PRECISION &&
                           status <= NLFIT_STOPPED_GRADIENT_AT_PRECISION;
  // With bounds, the statistics are those of the caller's parameters.
  FitProblem statisticsProblem = problem.bounds != nullptr ? bounded.statisticsProblem(problem)
                                                           : problem;
  const double* statisticsFree =
      problem.bounds != nullptr ? bounded.statisticsFree.get() : memory.free;
  // Poisson: the Fisher information at the result is the least-squares
  // statistics of the model values weighted by 1/mu, never rescaled, with
  // the Pearson residuals (mu - y)/sqrt(mu) for the stationarity test.
  double pearsonChi2 = kNaN;
  const double* statisticsResiduals = fvec;
  bool poissonStatistics = true;
  int64_t meanEvaluations = 0;
  if (problem.poisson && result != nullptr && !noResiduals && !nonfinite) {
    double* const rootMeans = problem.meansAt + n;
    double* const pearson = rootMeans + m;
    meanEvaluations = 1;
    poissonStatistics = modelValues(statisticsProblem, problem.means);
    for (std::size_t i = 0; i < m && poissonStatistics; ++i) {
      const double mu = problem.means[i];
      if (!(mu > 0.0) || !std::isfinite(mu)) poissonStatistics = false;
      rootMeans[i] = std::sqrt(mu);
      pearson[i] = (mu - problem.y[i]) / rootMeans[i];
    }
    if (poissonStatistics) pearsonChi2 = sumOfSquares(problem.m, pearson);
    statisticsProblem.poisson = false;
    statisticsProblem.sigma = rootMeans;
    statisticsResiduals = pearson;
  }
  if (!poissonStatistics) {
    // The model stopped, or a mean is not positive: no statistics.
  } else if (result != nullptr && !noResiduals && !nonfinite && statisticsProblem.freeCount == 0) {
    // Every free parameter on a bound: nothing left to estimate.
    statistics.available = true;
    statistics.stationary = true;
    if (o.compute_statistics != 0) {
      fillUnavailableStatistics(statisticsProblem, result);
      if (result->parameter_flags != nullptr) {
        for (std::size_t j = 0; j < n; ++j) result->parameter_flags[j] = 0u;
      }
    }
  } else if (result != nullptr && !noResiduals && !nonfinite &&
             (o.compute_statistics != 0 || atPrecision)) {
    StatisticsRequest request;
    request.problem = &statisticsProblem;
    request.free = statisticsFree;
    request.fvec = statisticsResiduals;
    request.typical = o.typical;
    request.rss = rss;
    request.absoluteSigma = (o.absolute_sigma != 0) || problem.poisson;
    request.fill = (o.compute_statistics != 0);
    std::unique_ptr<double[]> polish;
    if (polishes(problem, o, status)) {
      polish.reset(new (std::nothrow) double[2 * static_cast<std::size_t>(freeCount)]);
    }
    request.step = polish.get();
    statistics = computeStatistics(request, result);
    if (statistics.stepped) {
      // The Gauss-Newton step at the result, kept when it lowers the sum of
      // squares; the statistics then move with it.
      double* const trial = polish.get() + freeCount;
      bool moves = false;
      for (int k = 0; k < freeCount; ++k) {
        trial[k] = memory.free[k] + request.step[k];
        moves = moves || trial[k] != memory.free[k];
      }
      if (moves) {
        int flag = 1;
        problemResiduals(&problem, problem.m, freeCount, trial, work.trialResiduals, &flag);
        ++polishEvaluations;
        const double polished = flag >= 0 ? sumOfSquares(problem.m, work.trialResiduals) : kNaN;
        if (std::isfinite(polished) && polished < rss) {
          std::memcpy(memory.free, trial, static_cast<std::size_t>(freeCount) * sizeof(double));
          std::memcpy(fvec, work.trialResiduals, m * sizeof(double));
          rss = polished;
          residualNorm = euclidNorm(problem.m, fvec);
          request.rss = rss;
          request.step = nullptr;
          const StatisticsOutcome before = statistics;
          statistics = computeStatistics(request, result);
          statistics.evaluations += before.evaluations;
          statistics.jacobians += before.jacobians;
        }
        scatterFree(problem, memory.free);
      }
    }
  }
  std::free(freeTypical);
  if (result != nullptr && o.compute_statistics != 0 && !statistics.available) {
    // Asked for, but the model stopped them (or memory ran out): no numbers.
    fillUnavailableStatistics(problem, result);
  }
  if (result != nullptr && o.compute_statistics != 0 && problem.bounds != nullptr) {
    clearAtBound(bounded.onBound.get(), n, result);
  }

  if (result != nullptr && result->parameter_flags != nullptr) {
    // The statistics set the rank and column flags; add held and unmoved.
    for (std::size_t j = 0; j < n; ++j) {
      unsigned flags = statisticsFilled(o, statistics) ? result->parameter_flags[j] : 0u;
      if (problem.bounds != nullptr && bounded.onBound[j]) flags |= NLFIT_PARAM_AT_BOUND;
      if (isHeld(o, j)) {
        flags |= NLFIT_PARAM_HELD;
      } else if (std::memcmp(&memory.full[j], &params[j], sizeof(double)) == 0) {
        flags |= NLFIT_PARAM_AT_START;
      }
      result->parameter_flags[j] = flags;
    }
  }
  for (std::size_t j = 0; j < n; ++j) params[j] = memory.full[j];
  if (result == nullptr) return status;

  result->status = status;
  result->converged = convergedBy(status, statistics, statisticsProblem.freeCount) ? 1 : 0;
  result->iterations = outcome.iterations;
  result->evaluations = outcome.evalCount + settleEvaluations + polishEvaluations;
  result->statistics_evaluations = statistics.evaluations + check.evaluations + meanEvaluations;
  result->jacobian_evaluations =
      outcome.jacobianCount + statistics.jacobians + (check.ran ? 1 : 0);
  result->jacobian_check_error = check.ran ? check.error : kNaN;
  result->jacobian_check_column = check.ran ? check.column : -1;
  result->residual_norm = residualNorm;
  result->rss = rss;
  const int rank = statistics.available ? statistics.rank : statisticsProblem.freeCount;
  result->rank = rank;
  result->dof = static_cast<int64_t>(problem.m) - rank;
  result->reduced_chi2 = (result->dof > 0) ? rss / static_cast<double>(result->dof) : kNaN;
  result->r_squared = problem.poisson ? kNaN : weightedRSquared(problem, rss);
  result->rms_residual = problem.m > 0 ? std::sqrt(rss / static_cast<double>(problem.m)) : kNaN;
  result->deviance = problem.poisson ? rss : kNaN;
  result->pearson_chi2 = pearsonChi2;
  result->nonfinite_index = nonfinite ? problem.nonfiniteIndex : -1;
  // Only absolute sigma makes the sum of squares a chi-square to test.
  result->chi2_p_value = (problem.sigma != nullptr && o.absolute_sigma != 0 &&
                          o.estimator == NLFIT_ESTIMATOR_LEAST_SQUARES)
                             ? chiSquarePValue(rss, result->dof)
                             : kNaN;
  LikelihoodOf likelihood;
  likelihood.m = problem.m;
  likelihood.freeParameters = freeCount;
  likelihood.y = problem.y;
  likelihood.sigma = problem.sigma;
  likelihood.rss = rss;
  likelihood.absoluteSigma = o.absolute_sigma != 0;
  likelihood.poisson = problem.poisson;
  likelihood.robust = problem.loss != 0;
  const InformationCriteria criteria = informationCriteria(likelihood);
  result->log_likelihood = criteria.logLikelihood;
  result->aic = criteria.aic;
  result->aicc = criteria.aicc;
  result->bic = criteria.bic;
  result->check_evaluations = 0;
  result->check_jacobian_evaluations = 0;
  if (result->linear_std_errors != nullptr && result->std_errors != nullptr &&
      o.compute_statistics != 0) {
    std::memcpy(result->linear_std_errors, result->std_errors, n * sizeof(double));
  }
  if (checkAsked && result->converged != 0 && statisticsFilled(o, statistics)) {
    const NonlinearityOutcome check = checkNonlinearity(original, o, params, result);
    result->check_evaluations = check.evaluations;
    result->check_jacobian_evaluations = check.jacobians;
    // A lower sum of squares so near the result: it is not the optimum, and
    // its statistics describe no minimum. (A restart from there was tried: on
    // sums of exponentials it mostly finds a spurious component fitted to a
    // point or two, a lower sum of squares but no better answer.)
    if (check.lower) result->converged = 0;
  }
  return status;
}

// runFit on the library's copies of the caller's options and result (read
// and written back by their struct_size), with the counts checked against
// the solver's int range.
int startFit(FitProblem problem, std::size_t n, std::size_t m, double* params,
             const nlfit_options* options, nlfit_result* result) {
  nlfit_result own;
  if (!readPrefix(result, &own)) return NLFIT_REFUSED_BAD_OPTION;
  nlfit_result* const ownResult = result != nullptr ? &own : nullptr;
  nlfit_options o;
  int status = 0;
  if (!readPrefix(options, &o)) {
    status = NLFIT_REFUSED_BAD_OPTION;
  } else if (n > static_cast<std::size_t>(INT_MAX) || m > static_cast<std::size_t>(INT_MAX) ||
             problem.predictors == 0 || m > SIZE_MAX / problem.predictors) {
    status = NLFIT_REFUSED_COUNTS;
  }
  if (status != 0) {
    refuse(status, ownResult);
  } else {
    problem.n = static_cast<int>(n);
    problem.m = static_cast<int>(m);
    status = runFit(problem, params, o, ownResult);
  }
  if (result != nullptr) writePrefix(own, result);
  return status;
}

}  // namespace

double sumOfSquares(int count, const double* v) {
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum = sum + v[i] * v[i];
  return sum;
}

void scatterFree(FitProblem& p, const double* free) {
  if (p.bounds == nullptr) {
    for (int k = 0; k < p.freeCount; ++k) p.full[p.freeIndex[k]] = free[k];
  } else {
    for (int k = 0; k < p.freeCount; ++k) p.full[p.freeIndex[k]] = boundedValue(p.bounds[k], free[k]);
  }
}

bool modelValues(FitProblem& p, double* values) {
  if (p.form == ModelForm::kPoint) {
    for (int i = 0; i < p.m; ++i) values[i] = p.point(p.x[i], p.full, p.user);
    return true;
  }
  return p.vector(p.full, p.x, static_cast<std::size_t>(p.m), values, p.user) == 0;
}

double devianceResidual(double mu, double y) {
  if (!(mu > 0.0) || !std::isfinite(mu)) return kNaN;
  if (y == 0.0) return std::sqrt(2.0 * mu);
  // mu - y + y*ln(y/mu) = y*(u - ln(1 + u)) with u = (mu - y)/y; near u = 0
  // from its series, which the logarithm would lose to cancellation.
  const double u = (mu - y) / y;
  double half = 0.0;  // u - ln(1 + u)
  if (std::fabs(u) < 0.1) {
    double power = u * u;
    for (int k = 2; k < 24; ++k) {
      half = half + ((k % 2 == 0) ? power : -power) / k;
      power = power * u;
    }
  } else {
    half = u - std::log1p(u);
  }
  const double r = std::sqrt(2.0 * y * maxOf(half, 0.0));
  return (mu < y) ? -r : r;
}

double devianceSlope(double mu, double y, double residual) {
  // d r / d mu = (1 - y/mu) / r, 1/sqrt(mu) in the limit r = 0.
  if (residual == 0.0) return 1.0 / std::sqrt(mu);
  return ((mu - y) / mu) / residual;
}

namespace {

// rho(z) and rho'(z) of a robust loss.
double lossRho(int loss, double z) {
  switch (loss) {
    case NLFIT_ESTIMATOR_SOFT_L1: return 2.0 * (std::sqrt(1.0 + z) - 1.0);
    case NLFIT_ESTIMATOR_HUBER: return z <= 1.0 ? z : 2.0 * std::sqrt(z) - 1.0;
    default: return std::log1p(z);
  }
}
double lossSlope(int loss, double z) {
  switch (loss) {
    case NLFIT_ESTIMATOR_SOFT_L1: return 1.0 / std::sqrt(1.0 + z);
    case NLFIT_ESTIMATOR_HUBER: return z <= 1.0 ? 1.0 : 1.0 / std::sqrt(z);
    default: return 1.0 / (1.0 + z);
  }
}

}  // namespace

double robustResidual(int loss, double scale, double r) {
  const double t = r / scale;
  const double root = scale * std::sqrt(lossRho(loss, t * t));
  return r < 0.0 ? -root : root;
}

double robustSlope(int loss, double scale, double r) {
  const double t = r / scale;
  const double z = t * t;
  const double rho = lossRho(loss, z);
  // d/dr of s*sqrt(rho(z)) = rho'(z) * t / sqrt(rho(z)); 1 in the limit r = 0.
  if (!(rho > 0.0)) return 1.0;
  return lossSlope(loss, z) * (std::fabs(t) / std::sqrt(rho));
}

void problemResiduals(void* context, int m, int freeCount, const double* free, double* fvec,
                      int* evalFlag) {
  FitProblem& p = *static_cast<FitProblem*>(context);
  scatterFree(p, free);
  if (p.poisson) {
    p.meansValid = false;
    if (!modelValues(p, p.means)) {
      *evalFlag = -1;
      return;
    }
    std::memcpy(p.meansAt, free, static_cast<std::size_t>(freeCount) * sizeof(double));
    p.meansValid = true;
    for (int i = 0; i < m; ++i) fvec[i] = devianceResidual(p.means[i], p.y[i]);
  } else {
  switch (p.form) {
    case ModelForm::kPoint:
      for (int i = 0; i < m; ++i) fvec[i] = p.point(p.x[i], p.full, p.user) - p.y[i];
      break;
    case ModelForm::kVector:
      if (p.vector(p.full, p.x, static_cast<std::size_t>(m), fvec, p.user) != 0) {
        *evalFlag = -1;
        return;
      }
      for (int i = 0; i < m; ++i) fvec[i] = fvec[i] - p.y[i];
      break;
    case ModelForm::kResiduals:
      if (p.residuals(p.full, fvec, p.user) != 0) {
        *evalFlag = -1;
        return;
      }
      break;
  }
  }
  if (p.sigma != nullptr) {
    for (int i = 0; i < m; ++i) fvec[i] = fvec[i] / p.sigma[i];
  }
  if (p.loss != 0) {
    std::memcpy(p.means, fvec, static_cast<std::size_t>(m) * sizeof(double));
    std::memcpy(p.meansAt, free, static_cast<std::size_t>(freeCount) * sizeof(double));
    p.meansValid = true;
    for (int i = 0; i < m; ++i) fvec[i] = robustResidual(p.loss, p.lossScale, fvec[i]);
  }
  if (!p.checkFinite) return;
  const bool atStart = !p.startSeen;
  p.startSeen = true;
  if (!atStart && *evalFlag != 2) return;  // a trial point: the solver rejects it
  for (int i = 0; i < m; ++i) {
    if (!std::isfinite(fvec[i])) {
      p.nonfiniteIndex = i;
      *evalFlag = kNonFiniteFlag;
      return;
    }
  }
  // Finite residuals whose norm overflows leave the solver nothing to compare.
  if (atStart && !std::isfinite(euclidNorm(m, fvec))) *evalFlag = kNonFiniteFlag;
}

void problemJacobian(void* context, int m, int freeCount, const double* free, const double*,
                     double* const* jacobian, int* evalFlag) {
  FitProblem& p = *static_cast<FitProblem*>(context);
  scatterFree(p, free);
  const std::size_t n = static_cast<std::size_t>(p.n);
  if (p.gradient != nullptr) {
    for (int i = 0; i < m; ++i) {
      p.gradient(p.x[i], p.full, p.gradientRow, p.user);
      for (int k = 0; k < freeCount; ++k) jacobian[k][i] = p.gradientRow[p.freeIndex[k]];
    }
  } else {
    const double* x = (p.form == ModelForm::kResiduals) ? nullptr : p.x;
    if (p.jacobian(p.full, x, static_cast<std::size_t>(m), n, p.jacobianRows, p.user) != 0) {
      *evalFlag = -1;
      return;
    }
    for (int k = 0; k < freeCount; ++k) {
      const std::size_t j = static_cast<std::size_t>(p.freeIndex[k]);
      double* column = jacobian[k];
      for (int i = 0; i < m; ++i) column[i] = p.jacobianRows[static_cast<std::size_t>(i) * n + j];
    }
  }
  // Deviance residuals: times d r / d mu at the point's means.
  if (p.poisson) {
    const bool cached = p.meansValid && std::memcmp(p.meansAt, free, static_cast<std::size_t>(freeCount) *
                                                                         sizeof(double)) == 0;
    if (!cached && !modelValues(p, p.means)) {
      p.meansValid = false;
      *evalFlag = -1;
      return;
    }
    for (int i = 0; i < m; ++i) {
      const double mu = p.means[i];
      const double slope = devianceSlope(mu, p.y[i], devianceResidual(mu, p.y[i]));
      for (int k = 0; k < freeCount; ++k) jacobian[k][i] = jacobian[k][i] * slope;
    }
  }
  // The solver moves a bounded parameter's variable t: times dp/dt.
  for (int k = 0; k < freeCount && p.bounds != nullptr; ++k) {
    const double slope = boundedSlope(p.bounds[k], free[k]);
    if (slope == 1.0) continue;
    for (int i = 0; i < m; ++i) jacobian[k][i] = jacobian[k][i] * slope;
  }
  if (p.sigma != nullptr) {
    for (int k = 0; k < freeCount; ++k) {
      for (int i = 0; i < m; ++i) jacobian[k][i] = jacobian[k][i] / p.sigma[i];
    }
  }
  // A robust loss: times d(transformed)/d r at the point's residuals.
  if (p.loss != 0) {
    const bool cached = p.meansValid && std::memcmp(p.meansAt, free, static_cast<std::size_t>(freeCount) *
                                                                         sizeof(double)) == 0;
    if (!cached) {
      double* const scratch = p.meansAt + p.n;
      int flag = *evalFlag;
      problemResiduals(&p, m, freeCount, free, scratch, &flag);
      if (flag < 0) {
        *evalFlag = flag;
        return;
      }
    }
    for (int i = 0; i < m; ++i) {
      const double slope = robustSlope(p.loss, p.lossScale, p.means[i]);
      for (int k = 0; k < freeCount; ++k) jacobian[k][i] = jacobian[k][i] * slope;
    }
  }
  // A non-finite derivative stops the fit as a non-finite residual does.
  if (!p.checkFinite) return;
  for (int k = 0; k < freeCount; ++k) {
    for (int i = 0; i < m; ++i) {
      if (!std::isfinite(jacobian[k][i])) {
        p.nonfiniteIndex = i;
        *evalFlag = kNonFiniteFlag;
        return;
      }
    }
  }
}

}  // namespace nlfit

extern "C" {

void nlfit_options_init_size(nlfit_options* options, size_t size) {
  nlfit::initPrefix(options, size, [](nlfit_options& o) {
    o.reduction_tolerance = nlfit::kDefaultTolerance;
    o.step_tolerance = nlfit::kDefaultTolerance;
    o.gradient_tolerance = 0.0;
    o.step_bound_factor = nlfit::kStepFactor;
    o.relative_error = 0.0;
    o.max_evaluations = 0;
    o.derivatives = NLFIT_DERIVATIVES_EXACT;
    o.estimator = NLFIT_ESTIMATOR_LEAST_SQUARES;
    o.loss_scale = 1.0;
  });
}

void nlfit_result_init_size(nlfit_result* result, size_t size) {
  nlfit::initPrefix(result, size, [](nlfit_result& r) {
    r.residual_norm = nlfit::kNaN;
    r.rss = nlfit::kNaN;
    r.reduced_chi2 = nlfit::kNaN;
    r.r_squared = nlfit::kNaN;
    r.rms_residual = nlfit::kNaN;
    r.nonfinite_index = -1;
    r.jacobian_check_error = nlfit::kNaN;
    r.jacobian_check_column = -1;
    r.deviance = nlfit::kNaN;
    r.pearson_chi2 = nlfit::kNaN;
    r.chi2_p_value = nlfit::kNaN;
    r.log_likelihood = nlfit::kNaN;
    r.aic = nlfit::kNaN;
    r.aicc = nlfit::kNaN;
    r.bic = nlfit::kNaN;
  });
}

int nlfit_fit(nlfit_point_model model, void* user, size_t n, double* params, size_t m,
              const double* x, const double* y, const nlfit_options* options,
              nlfit_result* result) {
  nlfit::FitProblem problem;
  problem.form = nlfit::ModelForm::kPoint;
  problem.point = model;
  problem.user = user;
  problem.x = x;
  problem.y = y;
  return nlfit::startFit(problem, n, m, params, options, result);
}

int nlfit_fit_vectorized(nlfit_vector_model model, void* user, size_t n, double* params,
                         size_t m, const double* x, const double* y,
                         const nlfit_options* options, nlfit_result* result) {
  nlfit::FitProblem problem;
  problem.form = nlfit::ModelForm::kVector;
  problem.vector = model;
  problem.user = user;
  problem.x = x;
  problem.y = y;
  return nlfit::startFit(problem, n, m, params, options, result);
}

int nlfit_fit_vectorized_multi(nlfit_vector_model model, void* user, size_t n, double* params,
                               size_t m, size_t d, const double* x, const double* y,
                               const nlfit_options* options, nlfit_result* result) {
  nlfit::FitProblem problem;
  problem.form = nlfit::ModelForm::kVector;
  problem.vector = model;
  problem.user = user;
  problem.predictors = d;
  problem.x = x;
  problem.y = y;
  return nlfit::startFit(problem, n, m, params, options, result);
}

int nlfit_fit_residuals(nlfit_residual_function residuals, void* user, size_t n,
                        double* params, size_t m, const nlfit_options* options,
                        nlfit_result* result) {
  nlfit::FitProblem problem;
  problem.form = nlfit::ModelForm::kResiduals;
  problem.residuals = residuals;
  problem.user = user;
  return nlfit::startFit(problem, n, m, params, options, result);
}

}  // extern "C"
