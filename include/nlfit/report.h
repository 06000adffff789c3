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

/* Digits of agreement of a value with a reference: -log10(|v - ref| / |ref|)
 * (|v - ref| alone when ref is 0), 15 when equal, capped to [0, 15]; 0 when v
 * is not finite. */
NLFIT_FIT_API double nlfit_report_digits(double value, double reference);

#ifdef __cplusplus
}
#endif

#endif /* NLFIT_REPORT_H */
