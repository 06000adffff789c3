/*
 * nlfit fitting API: nonlinear least-squares fits of any model size, with
 * the statistics of the fit. Reentrant: no global state, nothing printed.
 *
 * A fit minimises sum_i ((model(x_i; p) - y_i) / sigma_i)^2 (or, on request,
 * the Poisson deviance or a robust loss: options->estimator) over the free
 * parameters p with a Levenberg-Marquardt trust-region method (a forward-
 * difference Jacobian, or the caller's or the model's own derivatives where
 * there are (options->jacobian, gradient, derivatives), pivoted Householder
 * QR, safeguarded search on the damping parameter). Arithmetic is IEEE
 * double in a fixed order: the same inputs give the same bits on every
 * platform and on any thread.
 *
 * Floating-point environment: every fit runs in the default IEEE environment
 * (round to nearest, no traps, no flush-to-zero), and so does the model it
 * calls. The caller's environment, exception flags included, is restored
 * before the call returns.
 *
 * Threads: any number of fits may run at once on any threads, and a model may
 * itself run a fit. A model handle (nlfit_model) is immutable and may be
 * shared by threads.
 *
 * This header is plain C (C99) and may be included from C++; nlfit/fit.hpp
 * has a C++ interface over it.
 */
#ifndef NLFIT_FIT_H
#define NLFIT_FIT_H

#include <stddef.h>
#include <stdint.h>

#define NLFIT_FIT_VERSION_MAJOR 2
#define NLFIT_FIT_VERSION_MINOR 1
#define NLFIT_FIT_VERSION_PATCH 0
/* A version packed in one integer, ordered as the versions are:
 * major * 10000 + minor * 100 + patch (2.0.0 is 20000). */
#define NLFIT_FIT_MAKE_VERSION(major, minor, patch) ((major) * 10000 + (minor) * 100 + (patch))
/* The version of these headers; nlfit_version() gives the library's. */
#define NLFIT_FIT_VERSION_NUMBER                                             \
  NLFIT_FIT_MAKE_VERSION(NLFIT_FIT_VERSION_MAJOR, NLFIT_FIT_VERSION_MINOR, \
                         NLFIT_FIT_VERSION_PATCH)

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(NLFIT_FIT_BUILDING)
#    define NLFIT_FIT_API __declspec(dllexport)
#  else
#    define NLFIT_FIT_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define NLFIT_FIT_API __attribute__((visibility("default")))
#else
#  define NLFIT_FIT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the library loaded at run time, packed as
 * NLFIT_FIT_VERSION_NUMBER. A program may compare it with the version of the
 * headers it was compiled with: the major numbers must be equal, and a
 * library at least as new as the headers knows every field they declare. */
NLFIT_FIT_API int nlfit_version(void);

/* ------------------------------------------------------------------------
 * Growing structures. Every public structure that a caller fills or reads
 * starts with size_t struct_size: the size of the structure as the caller
 * was compiled, set by its init function (nlfit_options_init, ...). Later
 * versions of the library only append fields, so the library reads, and for
 * results writes, only the fields that lie within the caller's struct_size;
 * fields beyond it take their defaults, and a caller compiled against a
 * newer header keeps its extra fields unread. A struct_size below that of
 * the first layout (this version's) is refused with NLFIT_REFUSED_BAD_OPTION.
 *
 * The init functions are macros over nlfit_*_init_size(pointer, size), which
 * fill the first size bytes: they never write beyond the caller's structure,
 * whichever version of the library runs. A caller through a foreign-function
 * interface calls the _init_size form with its own size.
 *
 * nlfit_struct_size(kind) gives the library's own size of each structure,
 * for bindings that check their declarations when they load.
 */
typedef enum nlfit_struct_kind {
  NLFIT_STRUCT_OPTIONS = 1,
  NLFIT_STRUCT_RESULT = 2,
  NLFIT_STRUCT_BATCH_OPTIONS = 3,
  NLFIT_STRUCT_BATCH_DATA = 4,
  NLFIT_STRUCT_BATCH_OUTPUTS = 5,
  NLFIT_STRUCT_REPORT_INPUT = 6,
  NLFIT_STRUCT_DATA_SET = 7
} nlfit_struct_kind;

/* The library's size of a structure; 0 for an unknown kind. */
NLFIT_FIT_API size_t nlfit_struct_size(int kind);

/* ------------------------------------------------------------------------
 * Statuses. Positive: the fit ran and stopped for the reason named. Negative:
 * the call was refused before any model evaluation; nothing was changed but
 * the status (result->status and the return value).
 */
typedef enum nlfit_status {
  NLFIT_OK = 0,                    /* a call that is not one fit ran to its end (nlfit_fit_many:
                                      every curve was attempted; each has its own status) */
  NLFIT_CONVERGED_REDUCTION = 1,   /* relative reduction of the sum of squares within tolerance */
  NLFIT_CONVERGED_STEP = 2,        /* relative step within tolerance */
  NLFIT_CONVERGED_BOTH = 3,        /* both of the above */
  NLFIT_CONVERGED_GRADIENT = 4,    /* residuals orthogonal to the Jacobian within tolerance */
  NLFIT_STOPPED_EVALUATIONS = 5,   /* evaluation budget spent */
  NLFIT_STOPPED_REDUCTION_AT_PRECISION = 6, /* no further reduction possible in double precision */
  NLFIT_STOPPED_STEP_AT_PRECISION = 7,      /* no smaller step possible in double precision */
  NLFIT_STOPPED_GRADIENT_AT_PRECISION = 8,  /* residuals orthogonal to the Jacobian to double precision */
  NLFIT_STOPPED_BY_CALLBACK = 9,   /* the progress callback returned nonzero */
  NLFIT_STOPPED_BY_MODEL = 10,     /* the model or residual function returned nonzero (or threw, in C++) */
  NLFIT_STOPPED_NONFINITE = 11,    /* a model value or residual (or their sum of squares) is NaN or
                                      infinite at the start, or in the Jacobian at an accepted point */

  NLFIT_REFUSED_COUNTS = -1,           /* n < 1, m < free parameters, or counts too large */
  NLFIT_REFUSED_NULL_POINTER = -2,     /* a required pointer is null */
  NLFIT_REFUSED_NONFINITE_DATA = -3,   /* an x or y value is NaN or infinite */
  NLFIT_REFUSED_NONFINITE_START = -4,  /* a starting value is NaN or infinite */
  NLFIT_REFUSED_BAD_SIGMA = -5,        /* a sigma is zero, negative, NaN or infinite */
  NLFIT_REFUSED_BAD_OPTION = -6,       /* an option value out of its range */
  NLFIT_REFUSED_OUT_OF_MEMORY = -7,    /* workspace could not be obtained */
  NLFIT_REFUSED_BAD_MODEL = -8,        /* a model handle that cannot be used here (wrong parameter count) */
  NLFIT_REFUSED_NEGATIVE_DATA = -9     /* a y value is negative: the Poisson estimator counts events */
} nlfit_status;

/* One short English sentence for a status; "unknown status" for any other
 * value. The text is static and never freed. */
NLFIT_FIT_API const char *nlfit_status_message(int status);

/* A short stable name for a status ("converged_reduction", "refused_counts",
 * ...), for machine-readable output. */
NLFIT_FIT_API const char *nlfit_status_name(int status);

/* ------------------------------------------------------------------------
 * Models and callbacks.
 */

/* Point form: the model value at x for the n parameters params[0 .. n-1]. */
typedef double (*nlfit_point_model)(double x, const double *params, void *user);

/* Vector form: values[i] = model(x[i]; params) for i < m. Returns 0, or
 * nonzero to stop the fit (status NLFIT_STOPPED_BY_MODEL). */
typedef int (*nlfit_vector_model)(const double *params, const double *x, size_t m,
                                  double *values, void *user);

/* General residuals: residuals[i] for i < m at the n parameters. Returns 0,
 * or nonzero to stop the fit (status NLFIT_STOPPED_BY_MODEL). */
typedef int (*nlfit_residual_function)(const double *params, double *residuals, void *user);

/* Jacobian of a vector model (or of the residuals of nlfit_fit_residuals,
 * where x is NULL): jacobian[i*n + j] = d values[i] / d params[j], row-major
 * m x n over all n parameters (held ones included; their columns are not
 * used). The derivatives are those of the model values, not of the weighted
 * residuals: the fit divides by sigma itself. Returns 0, or nonzero to stop
 * the fit (status NLFIT_STOPPED_BY_MODEL). */
typedef int (*nlfit_jacobian_function)(const double *params, const double *x, size_t m,
                                       size_t n, double *jacobian, void *user);

/* Gradient of a point model at one x: gradient[j] = d model(x; params) /
 * d params[j] for j < n. */
typedef void (*nlfit_point_gradient)(double x, const double *params, double *gradient,
                                     void *user);

/* Values of nlfit_options.estimator. */
#define NLFIT_ESTIMATOR_LEAST_SQUARES 0 /* minimise the (weighted) sum of squares (default) */
#define NLFIT_ESTIMATOR_POISSON 1       /* maximum likelihood for counts: minimise the Poisson
                                           deviance 2*sum(mu - y + y*ln(y/mu)) */
/* Robust losses for data with outliers: minimise sum s^2 * rho((r/s)^2) over
 * the weighted residuals r, s = options->loss_scale. */
#define NLFIT_ESTIMATOR_SOFT_L1 2       /* rho(z) = 2*(sqrt(1 + z) - 1) */
#define NLFIT_ESTIMATOR_HUBER 3         /* rho(z) = z for z <= 1, 2*sqrt(z) - 1 above */
#define NLFIT_ESTIMATOR_CAUCHY 4        /* rho(z) = ln(1 + z) */

/* Values of nlfit_options.derivatives. */
#define NLFIT_DERIVATIVES_EXACT 0   /* a model handle's own derivatives (default) */
#define NLFIT_DERIVATIVES_NUMERIC 1 /* forward differences, for every model */

/* Called once per outer iteration, after the Jacobian at the current point:
 * iteration counts from 1, residual_norm is the Euclidean norm of the
 * (weighted) residuals at params, the n current parameters (held ones
 * included). Return nonzero to stop the fit (NLFIT_STOPPED_BY_CALLBACK). */
typedef int (*nlfit_progress_callback)(int64_t iteration, double residual_norm,
                                       const double *params, size_t n, void *user);

/* ------------------------------------------------------------------------
 * Options. Always start from nlfit_options_init(); a null options pointer
 * means the defaults.
 */
typedef struct nlfit_options {
  size_t struct_size;          /* sizeof(nlfit_options), set by nlfit_options_init */
  double reduction_tolerance;  /* relative reduction of the sum of squares; default 1e-12, >= 0 */
  double step_tolerance;       /* relative step; default 1e-12, >= 0 */
  double gradient_tolerance;   /* scaled gradient (cosine); default 0, >= 0 */
  double step_bound_factor;    /* initial trust region = factor * |D*p0|; default 10, > 0 */
  double relative_error;       /* relative error of the model values; the difference
                                  step is sqrt(max(this, machine epsilon)); default 0 */
  int64_t max_evaluations;     /* residual evaluations of the fit; 0 = automatic:
                                  800 up to 9 free parameters, 100*(free+1) above */
  const double *scale;         /* n positive scale factors, or NULL for automatic
                                  scaling by the Jacobian's column norms (default) */
  const unsigned char *held;   /* n flags, nonzero = held at its starting value; NULL = all free */
  const double *sigma;         /* m standard deviations of y (weights 1/sigma^2); NULL = unweighted.
                                  Not used by nlfit_fit_residuals. */
  int absolute_sigma;          /* nonzero: sigma is absolute, the covariance is not
                                  rescaled by the reduced chi-square */
  const double *typical;       /* n typical magnitudes (>= 0, finite), or NULL. The difference step
                                  of parameter j is h * max(|p_j|, typical[j]) instead of
                                  h * |p_j|, which keeps it usable for a parameter near 0 */
  int compute_statistics;      /* nonzero: fill the statistics of the result; default 0 */
  nlfit_progress_callback progress; /* NULL: no progress report (default) */
  void *progress_user;
  const double *lower;         /* n lower bounds, or NULL for none; -INFINITY: none for that
                                  parameter. See "Bounds" below */
  const double *upper;         /* n upper bounds, or NULL for none; +INFINITY: none */
  /* The caller's derivatives, called with the model's user pointer; NULL for
   * forward differences (default). jacobian serves nlfit_fit_vectorized and
   * nlfit_fit_residuals, gradient nlfit_fit; setting both, or one a call
   * cannot use, is refused (NLFIT_REFUSED_BAD_OPTION). Model handles bring
   * their own (see derivatives) and refuse both. */
  nlfit_jacobian_function jacobian;
  nlfit_point_gradient gradient;
  int check_jacobian;          /* nonzero: compare the caller's Jacobian once with central
                                  differences at the start (result->jacobian_check_*) */
  int derivatives;             /* NLFIT_DERIVATIVES_EXACT (default) or _NUMERIC: how a fit with a
                                  model handle forms its Jacobian */
  int estimator;               /* NLFIT_ESTIMATOR_LEAST_SQUARES (default), _POISSON, or a robust
                                  loss _SOFT_L1, _HUBER, _CAUCHY; see below */
  double loss_scale;           /* a robust loss's scale s, in units of the weighted residuals:
                                  residuals well below s count as in least squares; default 1,
                                  > 0 and finite */
  int check_nonlinearity;      /* nonzero, with compute_statistics and least squares: check each
                                  finite standard error of a converged fit against the profile of
                                  the sum of squares, and widen it where the fit is strongly
                                  nonlinear (NLFIT_PARAM_NONLINEAR; see "Nonlinearity check"
                                  below); default 0 */
  int gauss_newton_step;       /* nonzero: a converged least-squares fit with exact derivatives
                                  and statistics takes the Gauss-Newton step of its statistics
                                  once, kept when it lowers the sum of squares (see "The
                                  Gauss-Newton step at the result" in the manual); default 0 */
} nlfit_options;

/* Fills the first size bytes of *options with the defaults and sets
 * struct_size to size. Null is ignored. */
NLFIT_FIT_API void nlfit_options_init_size(nlfit_options *options, size_t size);
/* nlfit_options_init(&options): the defaults, struct_size = sizeof(options). */
#define nlfit_options_init(options) nlfit_options_init_size((options), sizeof *(options))

/* ------------------------------------------------------------------------
 * Results.
 */

/* Bits of result->parameter_flags[j]. */
#define NLFIT_PARAM_HELD 1u         /* held at its starting value */
#define NLFIT_PARAM_UNDETERMINED 2u /* in a direction the data do not fix: beyond the numerical
                                       rank of the Jacobian, or entering that direction with
                                       one that is (e.g. a and b in a*b*x) */
#define NLFIT_PARAM_NO_EFFECT 4u    /* its Jacobian column is exactly zero: it does not change
                                       the residuals (consider holding it) */
#define NLFIT_PARAM_AT_START 8u     /* free, but its fitted value equals its start bit for bit */
#define NLFIT_PARAM_AT_BOUND 16u    /* on one of its bounds at the result: NaN standard error */
#define NLFIT_PARAM_NONLINEAR 32u   /* check_nonlinearity: the profile of the sum of squares rises
                                       more slowly than the linearised statistics say; its standard
                                       error, interval and covariance are the profile's, wider */

typedef struct nlfit_result {
  size_t struct_size;      /* sizeof(nlfit_result), set by nlfit_result_init */
  /* Written by every call. */
  int status;              /* an nlfit_status */
  int converged;           /* see nlfit_fit */
  int rank;                /* numerical rank of the statistics Jacobian (free parameters) */
  int64_t iterations;      /* outer iterations (progress reports) */
  int64_t evaluations;     /* residual evaluations of the fit */
  int64_t statistics_evaluations; /* residual evaluations for the statistics, counted apart */
  int64_t dof;             /* degrees of freedom m - rank (m - free without statistics) */
  double residual_norm;    /* Euclidean norm of the weighted residuals at the result */
  double rss;              /* its square: chi-square when sigma is given */
  double reduced_chi2;     /* rss / dof; NaN when dof = 0 */
  double r_squared;        /* weighted coefficient of determination; NaN when undefined */
  double rms_residual;     /* sqrt(rss / m), the root mean square (weighted) residual */

  /* Caller-owned arrays, filled when not NULL and the statistics are asked
   * for (n = all parameters, held ones included; matrices row-major). */
  double *covariance;      /* n*n */
  double *std_errors;      /* n */
  double *ci_low;          /* n: 95 % confidence interval, Student t with dof degrees */
  double *ci_high;         /* n */
  double *correlation;     /* n*n */
  unsigned *parameter_flags; /* n: NLFIT_PARAM_* bits; filled whenever not NULL */

  /* Written by every fit that ran. */
  int64_t nonfinite_index; /* with NLFIT_STOPPED_NONFINITE, the first observation (from 0) whose
                              residual was not finite; -1 otherwise, and when only the sum of
                              squares overflowed */
  int64_t jacobian_evaluations; /* calls of an exact Jacobian (fit, statistics and the
                                   Jacobian check); 0 with differences */
  /* The Jacobian check (check_jacobian): the largest relative difference
   * max_i |J_ij - C_ij| / max(max_i |J_ij|, max_i |C_ij|) over the free
   * columns j between the exact Jacobian J and central differences C at the
   * start, and the parameter index of that column. A correct Jacobian gives
   * about 1e-8 or less, a wrong one a sizeable fraction of 1. NaN and -1
   * when no check ran (no exact Jacobian, or the model stopped it). The
   * check's 2 evaluations per free parameter count in statistics_evaluations. */
  double jacobian_check_error;
  int64_t jacobian_check_column;
  /* The Poisson estimator's measures at the result: the deviance (= rss)
   * and Pearson's chi-square sum (y - mu)^2 / mu. NaN for least squares. */
  double deviance;
  double pearson_chi2;
  double chi2_p_value;     /* least squares with sigma and absolute_sigma: the probability that a
                              chi-square with dof degrees of freedom exceeds rss (near 0:
                              sigma too small or the model does not fit; near 1: sigma too
                              large); NaN otherwise, or when dof = 0 or rss is not finite */

  /* Model comparison, written by every fit that ran (NaN when it left no
   * residuals): the maximised Gaussian log-likelihood and the information
   * criteria from it, with k = free parameters (+ 1 when the variance scale
   * is estimated, i.e. without absolute sigma):
   *   log_likelihood = -(m ln 2pi + 2 sum ln sigma_i + chi2) / 2       absolute sigma
   *                  = -(m ln 2pi + 2 sum ln sigma_i + m ln(rss/m) + m) / 2  otherwise
   *                    (sigma_i = 1 without sigma)
   *   aic = 2k - 2 log_likelihood;  bic = k ln m - 2 log_likelihood;
   *   aicc = aic + 2k(k+1)/(m-k-1), NaN when m - k - 1 <= 0.
   * The Poisson estimator uses Poisson's log-likelihood (k = free
   * parameters); a robust loss leaves all four NaN. */
  double log_likelihood;
  double aic;
  double aicc;
  double bic;

  /* Appended fields (NULL, 0 by default). */
  double *linear_std_errors; /* n, caller-owned, filled when not NULL and the statistics are
                                asked for: the linearised standard errors, which std_errors
                                equals except for parameters flagged NLFIT_PARAM_NONLINEAR */
  int64_t check_evaluations; /* residual evaluations of the nonlinearity check (its refits),
                                counted apart from evaluations and statistics_evaluations */
  int64_t check_jacobian_evaluations; /* calls of an exact Jacobian by the nonlinearity
                                         check's refits, counted apart from
                                         jacobian_evaluations */
} nlfit_result;

/* Fills the first size bytes of *result with the defaults (no arrays,
 * statistics NaN) and sets struct_size to size. Null is ignored. */
NLFIT_FIT_API void nlfit_result_init_size(nlfit_result *result, size_t size);
/* nlfit_result_init(&result): struct_size = sizeof(result), no arrays. */
#define nlfit_result_init(result) nlfit_result_init_size((result), sizeof *(result))

/* ------------------------------------------------------------------------
 * Fits. All take the model, n parameters (params: in, the starting values;
 * out, the result), m observations, options (NULL for the defaults) and a
 * result (NULL when only the status is wanted; else start it from
 * nlfit_result_init and set the arrays wanted), and return the status.
 *
 * Converged: statuses 1-4 are converged. A stop at machine precision
 * (6, 7, 8) counts as converged only when the Jacobian at the returned point
 * has full rank and the Gauss-Newton step there is negligible (each free
 * parameter would move by at most 1e-8 of max(|p_j|, typical_j), or 1e-8
 * absolutely where both are 0): a stationary point, not a plateau. Any other
 * status is not converged. With the statistics (compute_statistics, or a stop
 * at machine precision), a Jacobian of rank below the number of free
 * parameters at the result (parameters flagged NLFIT_PARAM_UNDETERMINED) is
 * not converged either, whatever the status: the data do not fix the point.
 * The status is the solver's.
 *
 * Non-finite values: a NaN or infinite residual (or a sum of squares that
 * overflows) at the starting point stops the fit at once with
 * NLFIT_STOPPED_NONFINITE, and so does a NaN or infinite residual met while
 * forming the Jacobian at an accepted point; nonfinite_index names the first
 * such observation. A trial point with non-finite residuals is simply
 * rejected, as any step that does not reduce the sum of squares. A result
 * whose sum of squares is not finite is never converged.
 *
 * Statistics (compute_statistics nonzero), at the returned point whatever the
 * status: the exact Jacobian when there is one (no evaluation), else a
 * central-difference Jacobian (2 evaluations per free parameter, counted in
 * statistics_evaluations), factorised by QR with column pivoting
 * on its columns scaled by max(|p_j|, typical_j) (1 where both are 0). The
 * rank is the number of leading pivots whose |R_kk| exceeds 1e-10 * |R_00|;
 * the parameters beyond it are undetermined: NaN standard error, covariance
 * and correlation, and the others are computed as if they were held.
 * covariance = s^2 * (R^T R)^-1 mapped back through the pivots, with
 * s^2 = rss / dof, or 1 with absolute_sigma. dof = m - rank; dof = 0 gives
 * NaN for s^2, the reduced chi-square, the standard errors and the intervals.
 * Held parameters get zero covariance rows and columns, a zero standard
 * error, an interval of zero width and NaN correlation.
 * R^2 = 1 - sum w r^2 / sum w (y - ybar_w)^2 with w = 1/sigma^2 (1 without
 * sigma) and ybar_w the weighted mean; NaN when the denominator is 0.
 *
 * After any stop the parameters are the last accepted point, or the
 * Gauss-Newton step from it when the fit takes and keeps one: with
 * gauss_newton_step and statistics asked for and exact derivatives, after
 * status 1-4, least squares, no free parameter bounded and the statistics'
 * Jacobian of full rank, the fit evaluates the residuals once at the Gauss-Newton step from
 * its result (counted in evaluations) and keeps that point only when its sum
 * of squares is finite and strictly lower; the statistics are then those of
 * the kept point (one more Jacobian). Without gauss_newton_step or
 * statistics, or with differences, the fit ends where the solver stops.
 *
 * Nonlinearity check (check_nonlinearity, least squares with the statistics,
 * a converged fit): the standard errors are linearised, exact only where the
 * model is linear in its parameters near the result. For each free parameter
 * j with a finite standard error SE_j, the check holds p_j at
 * p_j + s*2*SE_j for s = -1 and +1 (a side beyond a bound of p_j is skipped),
 * refits the other free parameters from the linear conditional point
 * p + s*2*cov[:,j]/SE_j (moved into their bounds) with the fit's own options
 * (no statistics, a budget of at most 200 evaluations; a refit that does not
 * converge or rises more than 2.25 times its prediction is tried again from
 * the result with only p_j moved, and the lower one counts),
 * and compares the rise dS of the sum of squares with its linear prediction
 * 4*v (v = reduced_chi2, 1 with absolute_sigma). The profile's standard
 * error is 2*SE_j*sqrt(v/dS); a refit that does not converge gives a dS
 * too high, hence a profile error too small, never too large. When the larger
 * profile error of the two sides exceeds 1.5*SE_j, the parameter is flagged
 * NLFIT_PARAM_NONLINEAR and takes it as its standard error: its interval
 * widens in proportion and its covariance row and column are scaled by the
 * same ratio (correlations unchanged); linear_std_errors keeps the
 * linearised one. A standard error is never made smaller. A refit that ends
 * below the result's sum of squares shows that the fit has not reached its
 * optimum: the fit is then not converged (its parameters and statistics are
 * left as they were). The refits cost about 2 small fits per free parameter,
 * counted in check_evaluations. Other estimators skip the check.
 *
 * Bounds (options lower, upper): a start outside its bounds, a NaN bound,
 * lower > upper, a lower bound of +inf or an upper one of -inf is refused
 * (NLFIT_REFUSED_BAD_OPTION); a start exactly on a bound is accepted (the
 * fit begins a little inside it). lower = upper holds the parameter. A
 * bounded parameter is fitted through a smooth map of an unbounded variable
 * (sqrt(1 + t^2) one-sided, sin t two-sided), so the result lies within its
 * bounds; scale and typical apply to the unbounded parameters only. The
 * statistics are those of the caller's parameters at the returned point. A
 * parameter that ends next to a bound (within 1e-4 of the width, or of its
 * start's distance from a lone bound) is moved onto it when that does not
 * raise the sum of squares (one evaluation each, counted in evaluations). A
 * parameter on a bound is flagged NLFIT_PARAM_AT_BOUND, has NaN standard
 * error, interval, covariance and correlation, and the others are computed
 * as if it were held. Bounds of +-INFINITY alone leave a fit bit for bit
 * what it is with both arrays NULL.
 */

/* Point form: the model is called once per observation. */
NLFIT_FIT_API int nlfit_fit(nlfit_point_model model, void *user, size_t n, double *params,
                            size_t m, const double *x, const double *y,
                            const nlfit_options *options, nlfit_result *result);

/* Vector form: the model fills all m values for one parameter vector. */
NLFIT_FIT_API int nlfit_fit_vectorized(nlfit_vector_model model, void *user, size_t n,
                                       double *params, size_t m, const double *x,
                                       const double *y, const nlfit_options *options,
                                       nlfit_result *result);

/* Vector form with d predictors per observation: x holds m*d values,
 * row-major (observation i at x[i*d .. i*d+d-1]), and the model receives that
 * array with m. Every x value must be finite. d = 1 is nlfit_fit_vectorized;
 * d = 0 is refused (NLFIT_REFUSED_COUNTS). */
NLFIT_FIT_API int nlfit_fit_vectorized_multi(nlfit_vector_model model, void *user, size_t n,
                                             double *params, size_t m, size_t d,
                                             const double *x, const double *y,
                                             const nlfit_options *options, nlfit_result *result);

/* General residuals, for problems that are not curves. There is no y: sigma
 * does not apply (it must be NULL) and r_squared is NaN. */
NLFIT_FIT_API int nlfit_fit_residuals(nlfit_residual_function residuals, void *user, size_t n,
                                      double *params, size_t m, const nlfit_options *options,
                                      nlfit_result *result);

/* ------------------------------------------------------------------------
 * Predictions. The model's values at k new points x (k rows of `predictors`
 * values, row-major; the model is called with x and k as a vector-form
 * model), for the n fitted params, with the half-widths of two bands at the
 * two-sided level (0 < level < 1):
 *   confidence[i] = t * sqrt(g_i^T C g_i)                 the fitted curve's band
 *   prediction[i] = t * sqrt(g_i^T C g_i + v * sigma_i^2)  a new observation's band
 * where g_i is the gradient of the model at x_i in the parameters (central
 * differences, 2 model calls per parameter of nonzero variance), C the n*n
 * covariance of the fit (result->covariance), t the quantile of Student's t
 * with dof degrees (NaN bands when dof <= 0), v the residual variance
 * (reduced_chi2, or 1 with absolute sigma) and sigma_i the standard deviation
 * of y at x_i (sigma NULL: 1). A band is value -/+ its half-width.
 * confidence and prediction may each be NULL (then covariance may be NULL
 * when both are). Returns 0, a negative nlfit_status when refused, or
 * NLFIT_STOPPED_BY_MODEL when the model returned nonzero. */
NLFIT_FIT_API int nlfit_predict(nlfit_vector_model model, void *user, size_t predictors,
                                size_t n, const double *params, const double *covariance,
                                double residual_variance, int64_t dof, double level, size_t k,
                                const double *x, const double *sigma, double *values,
                                double *confidence, double *prediction);

#ifdef __cplusplus
}
#endif

#include "nlfit/model.h"
#include "nlfit/batch.h"

#endif /* NLFIT_FIT_H */
