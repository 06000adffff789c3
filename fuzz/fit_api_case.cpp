#include "fit_api_case.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "nlfit/fit.h"
#include "nlfit/model.h"
#include "byte_reader.h"
#include "stdout_capture.h"

namespace nlfit_fuzz {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kMaxPoints = 256;
constexpr std::size_t kMaxParams = 16;
constexpr std::int64_t kMaxBudget = 5000;
// Extended cases (the newer options) are kept cheap: the nonlinearity check
// alone refits twice per free parameter.
constexpr std::size_t kMaxExtendedPoints = 64;
constexpr std::int64_t kExtendedBudget = 400;

const std::size_t kParamCounts[16] = {0, 1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 12, 16, kHuge / 2, kHuge};
const std::size_t kPointCounts[8] = {0, 1, 2, 3, 9, 10, kHuge / 2, kHuge};
const double kOddValues[16] = {0.0, -0.0, kNaN, -kNaN, kInf, -kInf, 1e308, -1e308,
                               std::numeric_limits<double>::denorm_min(), -1e-310, 1e-300,
                               std::numeric_limits<double>::max(), -1.0, 1.0, 1e-12, 10.0};

// The input as choices and values, with this harness's odd values.
class Reader : public ByteReader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : ByteReader(data, size, kOddValues) {}
};

std::size_t storageFor(std::size_t count, std::size_t cap) {
  if (count == 0) return 1;
  return count < cap ? count : cap;
}

// ---- model handles: a few formulas, then the catalogue -----------------------

const char* const kFormulas[] = {
    "a*exp(-b*x) + c", "a*x + b", "a*sin(b*x) + c", "a/(1 + (b*x)^2)", "sqrt(a*x) + b",
    "log(a) + b*x", "a*x^b",
};

// Built once (immutable, so shared by every case) and freed at exit.
struct ModelHandles {
  std::vector<nlfit_model*> handles;
  ModelHandles() {
    for (const char* f : kFormulas) handles.push_back(nlfit_model_formula(f, nullptr, 0, nullptr, 0));
    for (std::size_t i = 0; i < nlfit_model_builtin_count(); ++i) {
      handles.push_back(nlfit_model_builtin(nlfit_model_builtin_name(i)));
    }
  }
  ~ModelHandles() {
    for (nlfit_model* h : handles) nlfit_model_free(h);
  }
  ModelHandles(const ModelHandles&) = delete;
  ModelHandles& operator=(const ModelHandles&) = delete;
};

const std::vector<nlfit_model*>& modelHandles() {
  static const ModelHandles all;
  return all.handles;
}

// ---- the models: each reads only params[0 .. n-1] ---------------------------

constexpr int kApiModelCount = 6;

struct Context {
  const ApiCase* c;
  long calls = 0;      // model (or residual function) calls
  long progress = 0;   // progress callback calls
  long derivativeCalls = 0;
  bool outside = false;  // a callback saw a point outside the bounds
};

double pointValue(int model, double x, const double* p, std::size_t n) {
  const double p0 = p[0];
  const double p1 = n > 1 ? p[1] : 0.5;
  switch (model) {
    case 0: {  // polynomial in all parameters
      double v = 0.0, power = 1.0;
      for (std::size_t j = 0; j < n; ++j, power *= x) v += p[j] * power;
      return v;
    }
    case 1: {  // decay plus the sum of the remaining parameters
      double v = p0 * std::exp(-p1 * x);
      for (std::size_t j = 2; j < n; ++j) v += p[j];
      return v;
    }
    case 2:  // NaN outside |p0| <= 1
      return (p0 > 1.0 || p0 < -1.0) ? kNaN : std::exp(p0 * x) * p1;
    case 3:  // overflows for moderate arguments
      return p0 * 1e300 * std::exp(p1 * x);
    case 4:  // ignores every parameter
      return 3.0;
    default:
      return kNaN;
  }
}

// d pointValue / d p[j] for j < n.
void pointGradient(int model, double x, const double* p, std::size_t n, double* g) {
  for (std::size_t j = 0; j < n; ++j) g[j] = 0.0;
  const double p0 = p[0];
  const double p1 = n > 1 ? p[1] : 0.5;
  switch (model) {
    case 0: {
      double power = 1.0;
      for (std::size_t j = 0; j < n; ++j, power *= x) g[j] = power;
      break;
    }
    case 1:
      g[0] = std::exp(-p1 * x);
      if (n > 1) g[1] = -x * p0 * std::exp(-p1 * x);
      for (std::size_t j = 2; j < n; ++j) g[j] = 1.0;
      break;
    case 2:
      g[0] = (p0 > 1.0 || p0 < -1.0) ? kNaN : x * std::exp(p0 * x) * p1;
      if (n > 1) g[1] = std::exp(p0 * x);
      break;
    case 3:
      g[0] = 1e300 * std::exp(p1 * x);
      if (n > 1) g[1] = p0 * 1e300 * x * std::exp(p1 * x);
      break;
    case 4:
      break;
    default:
      for (std::size_t j = 0; j < n; ++j) g[j] = kNaN;
      break;
  }
}

bool stopNow(const Context& ctx, long count) { return ctx.c->stop && count >= ctx.c->stopAfter; }

// Notes a point outside the bounds; every point a callback sees lies within them.
void watchBounds(Context& ctx, const double* p) {
  const ApiCase& c = *ctx.c;
  for (std::size_t j = 0; j < c.n && (c.useLower || c.useUpper); ++j) {
    if ((c.useLower && p[j] < c.lower[j]) || (c.useUpper && p[j] > c.upper[j])) ctx.outside = true;
  }
}

void derivativeRow(Context& ctx, double x, const double* p, double* g) {
  const ApiCase& c = *ctx.c;
  pointGradient(c.model, x, p, c.n, g);
  for (std::size_t j = 0; j < c.n; ++j) {
    if (c.wrongDerivatives) g[j] *= 1.5;
    if (c.nanDerivatives && ctx.derivativeCalls >= c.stopAfter) g[j] = kNaN;
  }
}

void gradientCallback(double x, const double* p, double* g, void* user) {
  Context& ctx = *static_cast<Context*>(user);
  ++ctx.derivativeCalls;
  watchBounds(ctx, p);
  derivativeRow(ctx, x, p, g);
}

int jacobianCallback(const double* p, const double* x, std::size_t m, std::size_t n, double* J,
                     void* user) {
  Context& ctx = *static_cast<Context*>(user);
  ++ctx.derivativeCalls;
  watchBounds(ctx, p);
  if (n != ctx.c->n || m != ctx.c->m) {
    ctx.outside = true;  // reported as a wrong call below
    return 1;
  }
  for (std::size_t i = 0; i < m; ++i) {
    derivativeRow(ctx, x != nullptr ? x[i] : static_cast<double>(i), p, J + i * n);
  }
  return stopNow(ctx, ctx.derivativeCalls) ? 1 : 0;
}

double pointModel(double x, const double* p, void* user) {
  Context& ctx = *static_cast<Context*>(user);
  ++ctx.calls;
  watchBounds(ctx, p);
  return pointValue(ctx.c->model, x, p, ctx.c->n);
}

int vectorModel(const double* p, const double* x, std::size_t m, double* values, void* user) {
  Context& ctx = *static_cast<Context*>(user);
  ++ctx.calls;
  watchBounds(ctx, p);
  for (std::size_t i = 0; i < m; ++i) values[i] = pointValue(ctx.c->model, x[i], p, ctx.c->n);
  return stopNow(ctx, ctx.calls) ? 1 : 0;
}

int residualFunction(const double* p, double* residuals, void* user) {
  Context& ctx = *static_cast<Context*>(user);
  ++ctx.calls;
  watchBounds(ctx, p);
  for (std::size_t i = 0; i < ctx.c->m; ++i) {
    residuals[i] = pointValue(ctx.c->model, static_cast<double>(i), p, ctx.c->n) - ctx.c->y[i];
  }
  return stopNow(ctx, ctx.calls) ? 1 : 0;
}

int progressCallback(std::int64_t, double, const double*, std::size_t, void* user) {
  Context& ctx = *static_cast<Context*>(user);
  ++ctx.progress;
  return stopNow(ctx, ctx.progress) ? 1 : 0;
}

// ---- the contract -----------------------------------------------------------

// The evaluation budget a value token stands for; at most kMaxBudget, which
// keeps every input quick.
std::int64_t budgetOf(double v) {
  if (std::isnan(v)) return -1;
  if (v >= static_cast<double>(kMaxBudget)) return kMaxBudget;
  if (v <= -1e15) return -std::int64_t{1000000000000000};
  return static_cast<std::int64_t>(v);
}

enum class Verdict { Refused, Fits, Either };

bool finite(const std::vector<double>& v, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

bool usesHandle(const ApiCase& c) { return c.extended && c.derivatives == 2; }

double lowerOf(const ApiCase& c, std::size_t j) { return c.useLower ? c.lower[j] : -kInf; }
double upperOf(const ApiCase& c, std::size_t j) { return c.useUpper ? c.upper[j] : kInf; }
bool heldByBounds(const ApiCase& c, std::size_t j) {
  return (c.useLower || c.useUpper) && lowerOf(c, j) == upperOf(c, j);
}
bool isHeld(const ApiCase& c, std::size_t j) {
  return (c.useHeld && (c.held[j] & 1u)) || heldByBounds(c, j);
}

// The model handle's parameter count, or 0 when it cannot serve nlfit_fit_model.
std::size_t handleCount(const ApiCase& c) {
  const nlfit_model* h = modelHandles()[static_cast<std::size_t>(c.handle)];
  if (h == nullptr || nlfit_model_predictor_count(h) != 1) return 0;
  return nlfit_model_parameter_count(h);
}

Verdict verdictOf(const ApiCase& c) {
  const bool curve = c.entry != 2 || usesHandle(c);
  if (c.nullModel || c.nullParams || (curve && (c.nullX || c.nullY))) return Verdict::Refused;
  if (usesHandle(c) && (handleCount(c) == 0 || c.handleWrongCount)) return Verdict::Refused;
  if (c.n == 0 || c.n > kMaxParams || c.m > kMaxPoints) return Verdict::Refused;
  for (std::size_t j = 0; j < c.n; ++j) {
    const double lo = lowerOf(c, j), hi = upperOf(c, j);
    if (!(lo <= hi) || lo == kInf || hi == -kInf) return Verdict::Refused;
  }
  if (c.extended) {
    if (c.derivatives == 3 || c.badDerivatives) return Verdict::Refused;
    if (c.estimator < 0 || c.estimator > NLFIT_ESTIMATOR_CAUCHY) return Verdict::Refused;
    if (c.estimator > NLFIT_ESTIMATOR_POISSON && !(c.lossScale > 0.0 && std::isfinite(c.lossScale))) {
      return Verdict::Refused;
    }
    if (c.estimator == NLFIT_ESTIMATOR_POISSON && (!curve || c.useSigma)) return Verdict::Refused;
  }
  std::size_t free = c.n;
  for (std::size_t j = 0; j < c.n; ++j) free -= isHeld(c, j) ? 1 : 0;
  // Nothing to fit when every parameter is held: refused as a bad count.
  if (free == 0 || c.m < free) return Verdict::Refused;
  if (curve && (!finite(c.x, c.m) || !finite(c.y, c.m))) return Verdict::Refused;
  if (!finite(c.start, c.n)) return Verdict::Refused;
  for (std::size_t j = 0; j < c.n; ++j) {
    if (!(c.start[j] >= lowerOf(c, j) && c.start[j] <= upperOf(c, j))) return Verdict::Refused;
  }
  if (c.useSigma) {
    if (!curve) return Verdict::Refused;
    for (std::size_t i = 0; i < c.m; ++i) {
      if (!(c.sigma[i] > 0.0) || !std::isfinite(c.sigma[i])) return Verdict::Refused;
    }
  }
  for (std::size_t i = 0; c.estimator == NLFIT_ESTIMATOR_POISSON && i < c.m; ++i) {
    if (c.y[i] < 0.0) return Verdict::Refused;
  }
  for (std::size_t j = 0; c.useScale && j < c.n; ++j) {
    if (!(c.scale[j] > 0.0) || !std::isfinite(c.scale[j])) return Verdict::Refused;
  }
  for (std::size_t j = 0; c.useTypical && j < c.n; ++j) {
    if (!(c.typical[j] >= 0.0) || !std::isfinite(c.typical[j])) return Verdict::Refused;
  }
  const double v = c.oddValue;
  switch (c.oddOption) {
    case 1: case 2: case 3: case 5:  // tolerances and the relative error: >= 0
      if (std::isnan(v) || v < 0.0) return Verdict::Refused;
      if (std::isinf(v)) return Verdict::Either;
      break;
    case 4:  // step-bound factor: > 0
      if (!(v > 0.0) || std::isinf(v)) return Verdict::Refused;
      break;
    case 6:  // evaluation budget: >= 0
      if (budgetOf(v) < 0) return Verdict::Refused;
      break;
    default:
      break;
  }
  return Verdict::Fits;
}

// ---- running ----------------------------------------------------------------

StdoutCapture capture;

struct Run {
  int status = 0;
  std::vector<double> params, stdErrors, linearStdErrors, covariance;
  std::vector<unsigned> flags;
  nlfit_result result = [] {
    nlfit_result r;
    nlfit_result_init(&r);
    return r;
  }();
  long calls = 0;
  bool outside = false;
  std::string out;
};

Run runOnce(const ApiCase& c) {
  Run r;
  r.params = c.start;
  const std::size_t stored = r.params.size();
  r.stdErrors.assign(stored, 7.0);
  r.linearStdErrors.assign(stored, 7.0);
  r.covariance.assign(stored * stored, 7.0);
  r.flags.assign(stored, 77u);
  r.result.status = 12345;
  r.result.residual_norm = 7.0;
  r.result.evaluations = 77;
  if (c.statistics && c.n <= kMaxParams) {
    r.result.std_errors = r.stdErrors.data();
    r.result.covariance = r.covariance.data();
    r.result.parameter_flags = r.flags.data();
    r.result.linear_std_errors = r.linearStdErrors.data();
  }

  nlfit_options options;
  nlfit_options_init(&options);
  if (c.useSigma) options.sigma = c.sigma.data();
  if (c.useHeld) options.held = c.held.data();
  if (c.useScale) options.scale = c.scale.data();
  if (c.useTypical) options.typical = c.typical.data();
  options.compute_statistics = c.statistics ? 1 : 0;
  options.absolute_sigma = c.absoluteSigma ? 1 : 0;
  Context ctx{&c};
  if (c.progress) {
    options.progress = progressCallback;
    options.progress_user = &ctx;
  }
  if (c.extended) {
    options.max_evaluations = kExtendedBudget;
    if (c.useLower) options.lower = c.lower.data();
    if (c.useUpper) options.upper = c.upper.data();
    options.estimator = c.estimator;
    options.loss_scale = c.lossScale;
    if (c.derivatives == 1 || c.derivatives == 3) {
      if (c.entry == 0 || c.derivatives == 3) options.gradient = gradientCallback;
      if (c.entry != 0 || c.derivatives == 3) options.jacobian = jacobianCallback;
    }
    if (c.numeric) options.derivatives = NLFIT_DERIVATIVES_NUMERIC;
    if (c.badDerivatives) options.derivatives = 2;
    options.check_jacobian = c.checkJacobian ? 1 : 0;
    options.check_nonlinearity = c.checkNonlinearity ? 1 : 0;
    options.gauss_newton_step = c.gaussNewton ? 1 : 0;
  }
  const double v = c.oddValue;
  switch (c.oddOption) {
    case 1: options.reduction_tolerance = v; break;
    case 2: options.step_tolerance = v; break;
    case 3: options.gradient_tolerance = v; break;
    case 4: options.step_bound_factor = v; break;
    case 5: options.relative_error = v; break;
    case 6: options.max_evaluations = budgetOf(v); break;
    default: break;
  }

  double* p = c.nullParams ? nullptr : r.params.data();
  const double* x = c.nullX ? nullptr : c.x.data();
  const double* y = c.nullY ? nullptr : c.y.data();
  nlfit_result* result = c.nullResult ? nullptr : &r.result;
  capture.start();
  const nlfit_model* handle = modelHandles()[static_cast<std::size_t>(c.handle)];
  if (usesHandle(c)) {
    r.status = nlfit_fit_model(c.nullModel ? nullptr : handle, c.n, p, c.m, x, y, &options, result);
  } else if (c.entry == 0) {
    r.status = nlfit_fit(c.nullModel ? nullptr : pointModel, &ctx, c.n, p, c.m, x, y, &options,
                         result);
  } else if (c.entry == 1) {
    r.status = nlfit_fit_vectorized(c.nullModel ? nullptr : vectorModel, &ctx, c.n, p, c.m, x, y,
                                    &options, result);
  } else {
    r.status = nlfit_fit_residuals(c.nullModel ? nullptr : residualFunction, &ctx, c.n, p, c.m,
                                   &options, result);
  }
  r.out = capture.stop();
  r.calls = ctx.calls + ctx.progress + ctx.derivativeCalls;
  r.outside = ctx.outside;
  return r;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string describe(const ApiCase& c) {
  char buf[400];
  std::snprintf(buf, sizeof buf,
                " (entry %d, model %d, n %zu, m %zu, null model/params/x/y/result %d%d%d%d%d, "
                "sigma %d, held %d, statistics %d, option %d = %g, stop %d after %d; "
                "bounds %d%d, estimator %d, loss scale %g, derivatives %d (nan %d, wrong %d, "
                "numeric %d, bad %d), handle %d, checks jacobian %d nonlinearity %d, "
                "gauss-newton %d)",
                c.entry, c.model, c.n, c.m, c.nullModel, c.nullParams, c.nullX, c.nullY,
                c.nullResult, c.useSigma, c.useHeld, c.statistics, c.oddOption, c.oddValue,
                c.stop, c.stopAfter, c.useLower, c.useUpper, c.estimator, c.lossScale,
                c.derivatives, c.nanDerivatives, c.wrongDerivatives, c.numeric, c.badDerivatives,
                c.handle, c.checkJacobian, c.checkNonlinearity, c.gaussNewton);
  return buf;
}

// The properties of a fit that ran with the newer options.
std::string checkExtended(const ApiCase& c, const Run& r) {
  for (std::size_t j = 0; j < c.n; ++j) {
    if (!(r.params[j] >= lowerOf(c, j) && r.params[j] <= upperOf(c, j))) {
      return "a fit left the bounds of parameter " + std::to_string(j);
    }
    if (heldByBounds(c, j) && !sameBits(r.params[j], c.start[j])) {
      return "a fit moved a parameter held by equal bounds";
    }
  }
  if (c.nullResult) return "";
  const nlfit_result& res = r.result;
  const bool exact = c.extended && ((c.derivatives == 1) || (c.derivatives == 2 && !c.numeric));
  if (!exact && res.jacobian_evaluations != 0) return "Jacobian calls without exact derivatives";
  if ((!exact || !c.checkJacobian) &&
      (!std::isnan(res.jacobian_check_error) || res.jacobian_check_column != -1)) {
    return "a Jacobian check reported without one";
  }
  if (res.jacobian_check_column < -1 || res.jacobian_check_column >= static_cast<std::int64_t>(c.n)) {
    return "the Jacobian check names no parameter";
  }
  if (!c.checkNonlinearity && (res.check_evaluations != 0 || res.check_jacobian_evaluations != 0)) {
    return "nonlinearity check evaluations without the check";
  }
  if (c.estimator == NLFIT_ESTIMATOR_POISSON) {
    if (!sameBits(res.deviance, res.rss)) return "the Poisson deviance is not the sum of squares";
  } else if (!std::isnan(res.deviance) || !std::isnan(res.pearson_chi2)) {
    return "a deviance without the Poisson estimator";
  }
  if (c.estimator > NLFIT_ESTIMATOR_POISSON &&
      (!std::isnan(res.log_likelihood) || !std::isnan(res.aic) || !std::isnan(res.bic))) {
    return "a robust loss with a log-likelihood";
  }
  if (!(res.residual_norm >= 0.0) && !std::isnan(res.residual_norm)) {
    return "a negative residual norm";
  }
  if (!c.statistics || c.n > kMaxParams) return "";
  for (std::size_t j = 0; j < c.n; ++j) {
    const unsigned f = r.flags[j];
    if ((f & NLFIT_PARAM_NONLINEAR) && !c.checkNonlinearity) return "flagged nonlinear without the check";
    if ((f & NLFIT_PARAM_AT_BOUND) && !(c.useLower || c.useUpper)) return "flagged at a bound without bounds";
    if ((f & NLFIT_PARAM_AT_BOUND) && !std::isnan(r.stdErrors[j])) {
      return "a parameter on a bound has a standard error";
    }
    if (isHeld(c, j) && !(f & NLFIT_PARAM_HELD)) return "a held parameter not flagged held";
    if (r.stdErrors[j] < r.linearStdErrors[j]) {
      return "a standard error below its linearised one (parameter " + std::to_string(j) + ")";
    }
    if (!(f & NLFIT_PARAM_NONLINEAR) && !sameBits(r.stdErrors[j], r.linearStdErrors[j])) {
      return "a standard error differs from its linearised one without the nonlinear flag";
    }
  }
  return "";
}

}  // namespace

ApiCase decodeApiCase(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  ApiCase c;
  const std::uint8_t entryByte = in.byte(0);
  c.entry = entryByte % 3;
  c.model = (entryByte / 3) % kApiModelCount;
  c.n = kParamCounts[in.byte(5) % 16];
  const std::uint8_t pointByte = in.byte(27);
  c.m = pointByte < 8 ? kPointCounts[pointByte] : static_cast<std::size_t>(pointByte - 7);
  const std::uint8_t nulls = in.byte(0);
  if (nulls & 0x80) {
    c.nullModel = nulls & 1;
    c.nullParams = nulls & 2;
    c.nullX = nulls & 4;
    c.nullY = nulls & 8;
    c.nullResult = nulls & 16;
  }
  const std::uint8_t uses = in.byte(0);
  c.useSigma = uses & 1;
  c.useHeld = uses & 2;
  c.statistics = uses & 4;
  c.absoluteSigma = uses & 8;
  c.useScale = uses & 16;
  c.useTypical = uses & 32;
  c.progress = uses & 64;
  c.stop = uses & 128;
  const std::uint8_t optionByte = in.byte(0);
  c.oddOption = optionByte % 8;
  c.stopAfter = optionByte / 8;
  const std::uint8_t heldBits = in.byte(0);
  c.extended = nulls & 0x40;
  std::vector<std::uint8_t> boundKinds;
  if (c.extended) {
    const std::uint8_t bounds = in.byte(0);
    c.useLower = bounds & 1;
    c.useUpper = bounds & 2;
    static const int kEstimators[8] = {0, 1, 2, 3, 4, 0, -1, 5};
    c.estimator = kEstimators[in.byte(0) & 7];
    const std::uint8_t derivatives = in.byte(0);
    c.derivatives = derivatives & 3;
    c.nanDerivatives = derivatives & 4;
    c.wrongDerivatives = derivatives & 8;
    c.numeric = derivatives & 16;
    c.badDerivatives = derivatives & 32;
    c.handleWrongCount = derivatives & 64;
    const std::uint8_t checks = in.byte(0);
    c.checkJacobian = checks & 1;
    c.checkNonlinearity = checks & 2;
    c.gaussNewton = checks & 4;
    c.handle = (checks >> 3) % static_cast<int>(modelHandles().size());
    if (c.derivatives == 2) {
      const std::size_t count = handleCount(c);
      if (count > 0) c.n = count + (c.handleWrongCount ? 1 : 0);
    }
    if (c.m <= kMaxPoints && c.m > kMaxExtendedPoints) c.m = kMaxExtendedPoints;
    for (std::size_t j = 0; j < storageFor(c.n, kMaxParams); ++j) boundKinds.push_back(in.byte(0));
  }
  c.oddValue = in.value(1.0);
  std::vector<double> boundValues;
  if (c.extended) {
    c.lossScale = in.value(1.0);
    for (std::size_t k = 0; k < 2 * boundKinds.size(); ++k) boundValues.push_back(in.value(1.0));
  }

  const std::size_t params = storageFor(c.n, kMaxParams);
  const std::size_t points = storageFor(c.m, kMaxPoints);
  c.start.resize(params);
  for (std::size_t j = 0; j < params; ++j) c.start[j] = in.value(1.0 - 0.25 * static_cast<double>(j));
  c.x.resize(points);
  c.y.resize(points);
  for (std::size_t i = 0; i < points; ++i) {
    c.x[i] = in.value(0.5 * static_cast<double>(i));
    c.y[i] = in.value(2.0 * std::exp(-0.3 * static_cast<double>(i)) + 0.1 * static_cast<double>((7 * i) % 5));
  }
  c.sigma.resize(points);
  for (std::size_t i = 0; i < points; ++i) c.sigma[i] = in.value(1.0);
  c.scale.resize(params);
  for (std::size_t j = 0; j < params; ++j) c.scale[j] = in.value(1.0);
  c.typical.resize(params);
  for (std::size_t j = 0; j < params; ++j) c.typical[j] = in.value(0.0);
  c.held.resize(params);
  for (std::size_t j = 0; j < params; ++j) c.held[j] = (heldBits >> (j % 8)) & 1u;
  if (!c.extended) return c;
  c.lower.resize(params);
  c.upper.resize(params);
  for (std::size_t j = 0; j < params; ++j) {
    const double lowValue = boundValues[2 * j], highValue = boundValues[2 * j + 1];
    const double start = c.start[j];
    switch (boundKinds[j] & 3) {
      case 0: c.lower[j] = -kInf; break;
      case 1: c.lower[j] = start; break;
      case 2: c.lower[j] = start - std::fabs(lowValue); break;
      default: c.lower[j] = lowValue; break;
    }
    switch ((boundKinds[j] >> 4) & 3) {
      case 0: c.upper[j] = kInf; break;
      case 1: c.upper[j] = start; break;
      case 2: c.upper[j] = start + std::fabs(highValue); break;
      default: c.upper[j] = highValue; break;
    }
  }
  return c;
}

std::string checkApiCase(const ApiCase& c, int* status) {
  const Run first = runOnce(c);
  *status = first.status;
  const std::string where = describe(c);
  const bool known = (first.status >= NLFIT_REFUSED_NEGATIVE_DATA && first.status < 0) ||
                     (first.status >= NLFIT_CONVERGED_REDUCTION && first.status <= NLFIT_STOPPED_NONFINITE);
  if (!known) return "status " + std::to_string(first.status) + " is not an nlfit_status" + where;
  if (!first.out.empty()) return "the call printed \"" + first.out + "\"" + where;
  if (!c.nullResult && first.result.status != first.status) {
    return "result.status differs from the returned status" + where;
  }

  const Verdict verdict = verdictOf(c);
  if (verdict == Verdict::Refused && first.status > 0) return "a defective call was not refused" + where;
  if (verdict == Verdict::Fits && first.status < 0 && first.status != NLFIT_REFUSED_OUT_OF_MEMORY) {
    return std::string("a clean call was refused: ") + nlfit_status_message(first.status) + where;
  }

  if (first.status < 0) {
    if (first.calls != 0) return "a refused call called the model or the callback" + where;
    if (!sameBits(first.params, c.start)) return "a refused call changed the parameters" + where;
    if (!c.nullResult && (!sameBits(first.result.residual_norm, 7.0) ||
                          first.result.evaluations != 77 ||
                          first.stdErrors != std::vector<double>(first.stdErrors.size(), 7.0))) {
      return "a refused call wrote the result beyond its status" + where;
    }
  } else {
    for (std::size_t j = 0; j < c.n; ++j) {
      if (!std::isfinite(first.params[j])) return "a fit returned a non-finite parameter" + where;
      if (c.useHeld && (c.held[j] & 1u) && !sameBits(first.params[j], c.start[j])) {
        return "a fit moved a held parameter" + where;
      }
    }
    if (!c.nullResult && first.result.converged != 0 && first.result.converged != 1) {
      return "converged is neither 0 nor 1" + where;
    }
    if (!c.nullResult && first.result.converged &&
        !(first.status <= NLFIT_CONVERGED_GRADIENT ||
          (first.status >= NLFIT_STOPPED_REDUCTION_AT_PRECISION &&
           first.status <= NLFIT_STOPPED_GRADIENT_AT_PRECISION))) {
      return "converged with a status that never converges" + where;
    }
    if (!c.nullResult && first.result.converged && !std::isfinite(first.result.rss)) {
      return "converged with a sum of squares that is not finite" + where;
    }
    const std::string extended = checkExtended(c, first);
    if (!extended.empty()) return extended + where;
  }
  if (first.outside) return "a callback saw a point outside the bounds (or a wrong count)" + where;

  const Run second = runOnce(c);
  if (second.status != first.status || !sameBits(second.params, first.params) ||
      !sameBits(second.stdErrors, first.stdErrors) ||
      !sameBits(second.linearStdErrors, first.linearStdErrors) ||
      !sameBits(second.covariance, first.covariance) || second.flags != first.flags ||
      second.calls != first.calls) {
    return "the second run differs from the first" + where;
  }
  return "";
}

// ---- seeds ------------------------------------------------------------------

std::vector<Seed> apiSeedInputs() {
  // The six head bytes (entry and model, n, m, nulls, uses, option), the
  // held mask, then value tokens (the option value, the starting values,
  // the (x, y) pairs, ...).
  const auto seed = [](std::string name, std::vector<std::uint8_t> head, std::uint8_t held,
                       std::vector<std::uint8_t> tokens) {
    head.push_back(held);
    head.insert(head.end(), tokens.begin(), tokens.end());
    return Seed{std::move(name), std::move(head)};
  };
  // An extended case: the head, a zero held mask, the extension bytes, then tokens.
  const auto ext = [&seed](std::string name, std::vector<std::uint8_t> head,
                           const std::vector<std::uint8_t>& extension,
                           std::vector<std::uint8_t> tokens = {}) {
    tokens.insert(tokens.begin(), extension.begin(), extension.end());
    return seed(std::move(name), std::move(head), 0, std::move(tokens));
  };
  const std::uint8_t decay = 3 * 1;
  return {
      seed("point_decay", {decay, 4, 27, 0, 0, 0}, 0, {}),
      seed("point_decay_statistics_sigma", {decay, 4, 27, 0, 1 | 4, 0}, 0, {}),
      seed("vector_polynomial_held", {1, 5, 20, 0, 2 | 4, 0}, 0x4, {144, 160, 150, 140, 170}),
      seed("residuals_decay", {2 + decay, 4, 30, 0, 4, 0}, 0, {}),
      seed("residuals_with_sigma", {2 + decay, 4, 30, 0, 1, 0}, 0, {}),
      seed("vector_stop_by_model", {1 + decay, 4, 27, 0, 128, 8 * 3}, 0, {}),
      seed("point_stop_by_callback", {decay, 4, 27, 0, 64 | 128, 8 * 2}, 0, {}),
      seed("point_null_everything", {0, 4, 27, 0x80 | 31, 0, 0}, 0, {}),
      seed("point_nan_model", {3 * 5, 4, 27, 0, 4, 0}, 0, {}),
      seed("point_constant_model_statistics", {3 * 4, 4, 27, 0, 4, 0}, 0, {}),
      seed("point_overflow_model", {3 * 3, 3, 20, 0, 0, 0}, 0, {}),
      seed("point_nan_outside", {3 * 2, 3, 20, 0, 0, 0}, 0, {}),
      seed("huge_n", {0, 15, 27, 0, 0, 0}, 0, {}),
      seed("huge_m", {1, 4, 7, 0, 0, 0}, 0, {}),
      seed("zero_n", {0, 0, 27, 0, 0, 0}, 0, {}),
      seed("m_below_free", {0, 12, 10, 0, 0, 0}, 0, {}),
      seed("m_equal_free_with_held", {0, 4, 10, 0, 2, 0}, 0x1, {}),
      seed("bad_step_bound", {decay, 4, 27, 0, 0, 4}, 0, {1}),
      seed("nan_tolerance", {decay, 4, 27, 0, 0, 1}, 0, {2}),
      seed("negative_budget", {decay, 4, 27, 0, 0, 6}, 0, {12}),
      seed("budget_one", {decay, 4, 27, 0, 0, 6}, 0, {13}),
      // n = 3, m = 3; sigma[1] = 0.
      seed("zero_sigma", {decay, 3, 3, 0, 1, 0}, 0,
           {144, 160, 152, 140, 144, 160, 160, 152, 176, 148, 160, 0, 160}),
      seed("nan_start", {decay, 4, 27, 0, 0, 0}, 0, {144, 2}),
      seed("inf_abscissa", {1 + decay, 4, 27, 0, 0, 0}, 0, {144, 144, 144, 144, 4}),
      seed("scale_and_typical", {decay, 4, 27, 0, 16 | 32, 0}, 0, {}),
      seed("all_held_statistics", {decay, 4, 27, 0, 2 | 4, 0}, 0x7, {}),
      // Found by the fuzzer: an infinite budget on a rank-deficient decay
      // (n = 8, m = 9) ran for minutes before the budget was capped.
      seed("infinite_budget_rank_deficient", {0xff, 0xf9, 0x04, 0x2a, 0xa1, 0xde}, 0x00,
           {0x04, 0x00, 0x00, 0x00, 0x00, 0x7d, 0x2c, 0x08, 0x00, 0x00}),
      // The extension block (byte 3 = 0x40): bounds, estimator, derivatives,
      // checks, then one bound-kind byte per parameter (n = 3, m = 20 here).
      ext("bounded_start_on_upper", {decay, 4, 27, 0x40, 4, 0}, {3, 0, 0, 0, 0x22, 0x21, 0x00}),
      ext("equal_bounds_hold", {decay, 4, 27, 0x40, 4, 0}, {3, 0, 0, 0, 0x02, 0x11, 0x20}),
      ext("bounds_outside_start", {decay, 4, 27, 0x40, 0, 0}, {1, 0, 0, 0, 0x03, 0, 0},
          {144, 144, 176}),
      ext("poisson_decay_statistics", {decay, 4, 27, 0x40, 4, 0}, {0, 1, 0, 0, 0, 0, 0}),
      ext("poisson_negative_y_refused", {decay, 4, 27, 0x40, 0, 0}, {0, 1, 0, 0, 0, 0, 0},
          {144, 160, 144, 144, 144, 144, 144, 144, 160, 160, 160, 144, 128}),
      ext("poisson_residuals_refused", {2 + decay, 4, 27, 0x40, 0, 0}, {0, 1, 0, 0, 0, 0, 0}),
      ext("huber_half_scale", {decay, 4, 27, 0x40, 4, 0}, {0, 3, 0, 0, 0, 0, 0}, {144, 152}),
      ext("cauchy_zero_scale_refused", {decay, 4, 27, 0x40, 0, 0}, {0, 4, 0, 0, 0, 0, 0}, {144, 0}),
      ext("gradient_checked_gauss_newton", {decay, 4, 27, 0x40, 4, 0}, {0, 0, 1, 1 | 4, 0, 0, 0}),
      ext("jacobian_nan_after_two", {1 + decay, 4, 27, 0x40, 4, 8 * 2}, {0, 0, 1 | 4, 1, 0, 0, 0}),
      ext("residuals_wrong_jacobian_checked", {2 + decay, 4, 27, 0x40, 4, 0},
          {0, 0, 1 | 8, 1, 0, 0, 0}),
      ext("both_callbacks_refused", {1 + decay, 4, 27, 0x40, 0, 0}, {0, 0, 3, 0, 0, 0, 0}),
      ext("formula_nonlinearity_gauss_newton", {decay, 4, 27, 0x40, 4, 0},
          {0, 0, 2, 2 | 4, 0, 0, 0}),
      ext("formula_bounded_nonlinearity", {decay, 4, 27, 0x40, 4, 0},
          {3, 0, 2, 1 | 2, 0x22, 0x20, 0x02}),
      ext("catalogue_numeric_nonlinearity", {decay, 4, 27, 0x40, 4, 0},
          {0, 0, 2 | 16, 2 | (9 << 3), 0, 0, 0, 0, 0, 0, 0, 0}),
      ext("catalogue_wrong_count_refused", {decay, 4, 27, 0x40, 0, 0},
          {0, 0, 2 | 64, 8 << 3, 0, 0, 0, 0, 0, 0, 0, 0}),
      ext("decay_nonlinearity_held", {1 + decay, 4, 27, 0x40, 2 | 4, 0}, {0, 0, 0, 2, 0, 0, 0}),
      // Found by the fuzzer: the statistics' central differences of a
      // parameter that ended just above its lower bound (b, started on it)
      // evaluated the model below the bound.
      // Found by the fuzzer: a start on a lower bound of the largest double
      // (a catalogue model) began at +inf, and the fit returned it.
      seed("start_on_largest_lower_bound", {0xdc, 0x5d, 0x2d, 0x62, 0x62, 0x62}, 0x00,
           {0x09, 0x00, 0x0a, 0x6f, 0xb1, 0x00, 0x00, 0x00, 0xf7, 0x06, 0x0f, 0x00, 0x0b, 0x00}),
      // Found by the fuzzer: bounds [0, the smallest subnormal] have a
      // half-width of 0, and the start's map gave NaN.
      ext("subnormal_width_bounds", {decay, 4, 27, 0x40, 4, 0}, {3, 0, 0, 0, 0x31, 0, 0},
          {144, 144, 144, 8, 144, 144, 144, 144, 144}),
      seed("statistics_differences_cross_bound", {0x04, 0x04, 0x1b, 0x40, 0x2d, 0x62}, 0x04,
           {0x55, 0x10, 0x00, 0x00, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00}),
  };
}

}  // namespace nlfit_fuzz
