// The fitting API's entry points: checks, the reduced problem in the free
// parameters, the run of the solver and the result.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "api/api.h"
#include "solver/solver.h"

namespace nlfit {

namespace {

constexpr double kDefaultTolerance = 1e-12;
// Automatic budget: as the plug-in's up to this many free parameters, then
// kBudgetPerParameter per free parameter and one more.
constexpr int kPluginBudgetParameters = 9;
constexpr int kBudgetPerParameter = 100;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

bool allNonNegativeFinite(std::size_t count, const double* v) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!(v[i] >= 0.0) || !std::isfinite(v[i])) return false;
  }
  return true;
}

// A tolerance is a number >= 0 (infinity allowed: it stops at once).
bool validTolerance(double t) { return t >= 0.0; }

std::size_t countFree(std::size_t n, const unsigned char* held) {
  if (held == nullptr) return n;
  std::size_t count = 0;
  for (std::size_t j = 0; j < n; ++j) {
    if (held[j] == 0) ++count;
  }
  return count;
}

// Everything that can be checked before a fit; 0 or a refusal status.
int checkCall(ModelForm form, const void* model, std::size_t n, const double* params,
              std::size_t m, const double* x, const double* y, const nlfit_options& o) {
  if (model == nullptr || params == nullptr) return NLFIT_REFUSED_NULL_POINTER;
  if (form != ModelForm::kResiduals && m > 0 && (x == nullptr || y == nullptr)) {
    return NLFIT_REFUSED_NULL_POINTER;
  }
  const std::size_t freeCount = countFree(n, o.held);
  if (n < 1 || freeCount < 1 || m < freeCount || n > static_cast<std::size_t>(INT_MAX) ||
      m > static_cast<std::size_t>(INT_MAX)) {
    return NLFIT_REFUSED_COUNTS;
  }
  if (!validTolerance(o.reduction_tolerance) || !validTolerance(o.step_tolerance) ||
      !validTolerance(o.gradient_tolerance) || !(o.step_bound_factor > 0.0) ||
      !std::isfinite(o.step_bound_factor) || !(o.relative_error >= 0.0) ||
      !std::isfinite(o.relative_error) || o.max_evaluations < 0 ||
      (o.scale != nullptr && !allPositiveFinite(n, o.scale)) ||
      (o.typical != nullptr && !allNonNegativeFinite(n, o.typical)) ||
      (form == ModelForm::kResiduals && o.sigma != nullptr)) {
    return NLFIT_REFUSED_BAD_OPTION;
  }
  if (form != ModelForm::kResiduals && (!allFinite(m, x) || !allFinite(m, y))) {
    return NLFIT_REFUSED_NONFINITE_DATA;
  }
  if (!allFinite(n, params)) return NLFIT_REFUSED_NONFINITE_START;
  if (o.sigma != nullptr && !allPositiveFinite(m, o.sigma)) return NLFIT_REFUSED_BAD_SIGMA;
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
  for (int k = 0; k < freeCount; ++k) p.full[p.freeIndex[k]] = free[k];
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
  if (status >= NLFIT_CONVERGED_REDUCTION && status <= NLFIT_CONVERGED_GRADIENT) return true;
  if (status >= NLFIT_STOPPED_REDUCTION_AT_PRECISION &&
      status <= NLFIT_STOPPED_GRADIENT_AT_PRECISION) {
    return s.available && s.rank == freeCount && s.stationary;
  }
  return false;
}

// The memory of one fit besides the solver's: the free parameters, their
// indices and the full parameter vector, in one zero-filled block.
struct FitMemory {
  void* block = nullptr;
  double* free = nullptr;
  double* full = nullptr;
  int* freeIndex = nullptr;
  FitMemory(std::size_t n) {
    block = std::calloc(2 * n * sizeof(double) + n * sizeof(int), 1);
    if (block == nullptr) return;
    free = static_cast<double*>(block);
    full = free + n;
    freeIndex = reinterpret_cast<int*>(full + n);
  }
  ~FitMemory() { std::free(block); }
  FitMemory(const FitMemory&) = delete;
  FitMemory& operator=(const FitMemory&) = delete;
};

// True when the statistics wrote the parameter flags.
bool statisticsFilled(const nlfit_options& o, const StatisticsOutcome& s) {
  return o.compute_statistics != 0 && s.available;
}

void refuse(int status, nlfit_result* result) {
  if (result != nullptr) result->status = status;
}

int runFit(FitProblem problem, double* params, const nlfit_options* given,
           nlfit_result* result) {
  // The whole call runs in the default floating-point environment: even the
  // checks compare NaNs, which a host's traps would turn into signals.
  const DefaultFloatingPointScope environment;
  nlfit_options o;
  nlfit_options_init(&o);
  if (given != nullptr) o = *given;
  const void* model = (problem.form == ModelForm::kPoint)    ? reinterpret_cast<const void*>(problem.point)
                      : (problem.form == ModelForm::kVector) ? reinterpret_cast<const void*>(problem.vector)
                                                             : reinterpret_cast<const void*>(problem.residuals);
  const std::size_t n = static_cast<std::size_t>(problem.n);
  const std::size_t m = static_cast<std::size_t>(problem.m);
  int status = checkCall(problem.form, model, n, params, m, problem.x, problem.y, o);
  if (status != 0) {
    refuse(status, result);
    return status;
  }
  problem.sigma = o.sigma;

  FitMemory memory(n);
  if (memory.block == nullptr) {
    refuse(NLFIT_REFUSED_OUT_OF_MEMORY, result);
    return NLFIT_REFUSED_OUT_OF_MEMORY;
  }
  int freeCount = 0;
  for (std::size_t j = 0; j < n; ++j) {
    memory.full[j] = params[j];
    if (o.held == nullptr || o.held[j] == 0) {
      memory.freeIndex[freeCount] = static_cast<int>(j);
      memory.free[freeCount] = params[j];
      ++freeCount;
    }
  }
  problem.freeCount = freeCount;
  problem.freeIndex = memory.freeIndex;
  problem.full = memory.full;

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
    if (o.scale != nullptr) work.scaleFactors[k] = o.scale[j];
    if (freeTypical != nullptr) freeTypical[k] = o.typical[j];
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

  double* const fvec = solverMemory.fvec();
  SolverOutcome outcome;
  lmIterate(ResidualProblem{problemResiduals, &problem, problem.m, freeCount}, memory.free,
            nullptr, fvec, settings, sink, work, &outcome);
  status = statusOf(outcome.terminationCode);

  // The last accepted point, all n parameters.
  for (int k = 0; k < freeCount; ++k) memory.full[memory.freeIndex[k]] = memory.free[k];
  // A model that stopped in its very first evaluation left no residuals.
  const bool noResiduals = status == NLFIT_STOPPED_BY_MODEL && outcome.evalCount == 1;
  const double rss = noResiduals ? kNaN : sumOfSquares(problem.m, fvec);
  const double residualNorm = noResiduals ? kNaN : outcome.fnorm;

  StatisticsOutcome statistics;
  const bool atPrecision = status >= NLFIT_STOPPED_REDUCTION_AT_PRECISION &&
                           status <= NLFIT_STOPPED_GRADIENT_AT_PRECISION;
  if (result != nullptr && !noResiduals && (o.compute_statistics != 0 || atPrecision)) {
    StatisticsRequest request;
    request.problem = &problem;
    request.free = memory.free;
    request.fvec = fvec;
    request.typical = o.typical;
    request.rss = rss;
    request.absoluteSigma = (o.absolute_sigma != 0);
    request.fill = (o.compute_statistics != 0);
    statistics = computeStatistics(request, result);
  }
  std::free(freeTypical);
  if (result != nullptr && o.compute_statistics != 0 && !statistics.available) {
    // Asked for, but the model stopped them (or memory ran out): no numbers.
    fillUnavailableStatistics(problem, result);
  }

  if (result != nullptr && result->parameter_flags != nullptr) {
    // The statistics set the rank and column flags; add held and unmoved.
    for (std::size_t j = 0; j < n; ++j) {
      unsigned flags = statisticsFilled(o, statistics) ? result->parameter_flags[j] : 0u;
      if (o.held != nullptr && o.held[j] != 0) {
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
  result->converged = convergedBy(status, statistics, freeCount) ? 1 : 0;
  result->iterations = outcome.iterations;
  result->evaluations = outcome.evalCount;
  result->statistics_evaluations = statistics.evaluations;
  result->residual_norm = residualNorm;
  result->rss = rss;
  const int rank = statistics.available ? statistics.rank : freeCount;
  result->rank = rank;
  result->dof = static_cast<int64_t>(problem.m) - rank;
  result->reduced_chi2 = (result->dof > 0) ? rss / static_cast<double>(result->dof) : kNaN;
  result->r_squared = weightedRSquared(problem, rss);
  const InformationCriteria criteria =
      informationCriteria(problem.m, freeCount, problem.sigma, rss, o.absolute_sigma != 0);
  result->log_likelihood = criteria.logLikelihood;
  result->aic = criteria.aic;
  result->aicc = criteria.aicc;
  result->bic = criteria.bic;
  return status;
}

// runFit with the counts checked against the solver's int range.
int startFit(FitProblem problem, std::size_t n, std::size_t m, double* params,
             const nlfit_options* options, nlfit_result* result) {
  if (n > static_cast<std::size_t>(INT_MAX) || m > static_cast<std::size_t>(INT_MAX)) {
    refuse(NLFIT_REFUSED_COUNTS, result);
    return NLFIT_REFUSED_COUNTS;
  }
  problem.n = static_cast<int>(n);
  problem.m = static_cast<int>(m);
  return runFit(problem, params, options, result);
}

}  // namespace

double sumOfSquares(int count, const double* v) {
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum = sum + v[i] * v[i];
  return sum;
}

void problemResiduals(void* context, int m, int freeCount, const double* free, double* fvec,
                      int* evalFlag) {
  FitProblem& p = *static_cast<FitProblem*>(context);
  for (int k = 0; k < freeCount; ++k) p.full[p.freeIndex[k]] = free[k];
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
  if (p.sigma != nullptr) {
    for (int i = 0; i < m; ++i) fvec[i] = fvec[i] / p.sigma[i];
  }
}

}  // namespace nlfit

extern "C" {

void nlfit_options_init(nlfit_options* options) {
  if (options == nullptr) return;
  *options = nlfit_options{};
  options->reduction_tolerance = nlfit::kDefaultTolerance;
  options->step_tolerance = nlfit::kDefaultTolerance;
  options->gradient_tolerance = 0.0;
  options->step_bound_factor = nlfit::kStepFactor;
  options->relative_error = 0.0;
  options->max_evaluations = 0;
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
