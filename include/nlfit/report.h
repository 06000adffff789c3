/*
 * nlfit report: the text report of a fit, as the nlfit command prints it.
 * Part of the fitting API library; include it directly (nlfit/fit.h does
 * not).
 *
 * Plain C (C99), callable through any foreign-function interface: one input
 * structure of plain pointers and counts, one output buffer.
 */
#ifndef NLFIT_REPORT_H
#define NLFIT_REPORT_H

#include <stddef.h>

#include "nlfit/fit.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nlfit_report_input {
  size_t struct_size;          /* sizeof(nlfit_report_input), set by nlfit_report_input_init */
  const char *model_name;      /* e.g. "Misra1a" or "formula"; NULL: not shown */
  const char *formula;         /* the model's formula text; NULL: not shown */
  const char *data_file;       /* NULL: not shown */
  size_t points;               /* observations used in the fit (m) */
  size_t skipped_points;       /* rows dropped before the fit (shown when > 0) */
  int weighted;                /* nonzero: sigma was given (chi-square, not RSS) */
  int absolute_sigma;          /* nonzero: the covariance is not rescaled */
  size_t n;                    /* parameters, held ones included */
  const char *const *parameter_names; /* n names */
  const double *params;        /* n fitted values */
  const double *start;         /* n starting values, or NULL */
  const nlfit_result *result;  /* the fit's result with its statistics arrays
                                  (std_errors, ci_low, ci_high, correlation,
                                  parameter_flags) filled; any may be NULL */
  const double *certified;     /* n certified values, or NULL */
  const double *certified_std_dev; /* n certified standard deviations, or NULL */
  double certified_rss;        /* shown with certified; NaN: not shown */
  /* Appended fields; zero (NULL) means not shown. */
  const unsigned char *start_origin; /* n NLFIT_START_* values (nlfit_model_auto_start):
                                        the report names the automatic starts and warns of
                                        those left at 1 */
  const double *x;             /* points abscissae and, with residuals, */
  const double *residuals;     /* points residuals (weighted or not: only their signs
                                  count) for the runs test of structured residuals */
  int x_is_fitted;             /* nonzero: x holds the fitted values, the order the runs
                                  test takes for a model of several predictors (the
                                  warning then says so); default 0 */
} nlfit_report_input;

/* Everything NULL or 0, certified_rss NaN; struct_size = size. */
NLFIT_FIT_API void nlfit_report_input_init_size(nlfit_report_input *input, size_t size);
#define nlfit_report_input_init(input) nlfit_report_input_init_size((input), sizeof *(input))

/* Writes the report into buffer (size bytes, NUL-terminated, cut short when
 * it does not fit; buffer may be NULL when size is 0) and returns the length
 * of the whole report without its NUL, as snprintf does: call once with size
 * 0 to learn the size. Returns 0 when input, its result or its arrays are
 * missing, or when the struct_size of input or of its result is below the
 * first layout. */
NLFIT_FIT_API size_t nlfit_report_format(const nlfit_report_input *input, char *buffer,
                                         size_t size);

/* The warnings of the report, the same list nlfit_report_format prints, one
 * per line as "code<TAB>message<LF>", written into buffer and returned as
 * nlfit_report_format does. A code is a stable lowercase name, the message
 * one English sentence without a line break. The codes:
 *   not_converged          the fit did not converge
 *   start_default          parameters without a start value started at 1
 *   no_effect              a parameter does not change the residuals
 *   undetermined           parameters the data do not fix apart from each other
 *                          ("a and b enter only together"); their standard
 *                          errors are withheld
 *   at_start               a free parameter did not move from its start
 *   at_bound               a parameter on one of its bounds (no standard error)
 *   correlated             two parameters correlated beyond +-0.99
 *   chi2_low               absolute sigma: chi-square p-value below 0.001
 *                          (sigma too small, or the model does not fit)
 *   chi2_high              absolute sigma: chi-square p-value above 0.999
 *                          (sigma too large)
 *   structured_residuals   the residuals' signs in the order of x form too few
 *                          runs (runs test, p < 0.001): the model misses the shape
 * Warnings never change the fit's numbers. */
NLFIT_FIT_API size_t nlfit_report_warnings(const nlfit_report_input *input, char *buffer,
                                           size_t size);

/* One-sided p-value of the runs test on the signs of the m residuals taken
 * in the order of x (ties in x in index order; zero residuals left out): the
 * probability of as few runs or fewer for random signs, by the normal
 * approximation. NaN when there are fewer than 10 signs or only one sign. */
NLFIT_FIT_API double nlfit_report_runs_p_value(size_t m, const double *x, const double *residuals);

/* Digits of agreement of a value with a reference: -log10(|v - ref| / |ref|)
 * (|v - ref| alone when ref is 0), 15 when equal, capped to [0, 15]; 0 when v
 * is not finite. */
NLFIT_FIT_API double nlfit_report_digits(double value, double reference);

#ifdef __cplusplus
}
#endif

#endif /* NLFIT_REPORT_H */
