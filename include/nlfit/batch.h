/*
 * nlfit batch fits: many curves with one model, on every core.
 * Part of the fitting API library; included by nlfit/fit.h.
 */
#ifndef NLFIT_BATCH_H
#define NLFIT_BATCH_H

#include "nlfit/fit.h"
#include "nlfit/model.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Called with the number of curves done and the total, from one thread at a
 * time, with a count that only grows: after a chunk of curves, at most about
 * a thousand times per batch, and always when the last curve is done. Return
 * nonzero to stop: curves not yet started get NLFIT_STOPPED_BY_CALLBACK
 * (those being fitted finish), and the callback is not called again. */
typedef int (*nlfit_batch_progress_callback)(size_t done, size_t total, void *user);

/* The largest thread count accepted. */
#define NLFIT_BATCH_MAX_THREADS 1024

typedef struct nlfit_batch_options {
  size_t struct_size;  /* sizeof(nlfit_batch_options), set by nlfit_batch_options_init */
  const nlfit_options *fit; /* per-curve options, NULL for the defaults (their sigma and
                          progress are ignored). A pointer, not a member, so that
                          each structure grows on its own: the fit options are
                          read by their own struct_size. */
  int threads;         /* worker threads, the calling one included; 0 = all cores
                          (std::thread::hardware_concurrency); never more than
                          there are chunks of curves. 0 .. NLFIT_BATCH_MAX_THREADS */
  nlfit_batch_progress_callback progress; /* NULL: none */
  void *progress_user;
} nlfit_batch_options;

/* Defaults (fit NULL, threads 0, no callback); struct_size = size. */
NLFIT_FIT_API void nlfit_batch_options_init_size(nlfit_batch_options *options, size_t size);
#define nlfit_batch_options_init(options) \
  nlfit_batch_options_init_size((options), sizeof *(options))

/* The data of a batch: K curves of m points, n parameters, d predictors. */
typedef struct nlfit_batch_data {
  size_t struct_size;       /* sizeof(nlfit_batch_data), set by nlfit_batch_data_init */
  size_t curves;            /* K */
  size_t points;            /* m */
  const double *x;          /* m*d values shared by all curves (row-major: point i at
                               x[i*d .. i*d+d-1]), or K*m*d with x_per_curve */
  int x_per_curve;
  const double *y;          /* K*m, row-major */
  const double *sigma;      /* K*m, or NULL */
  const double *start;      /* n values shared by all curves, or K*n with start_per_curve */
  int start_per_curve;
  size_t predictors;        /* d, the model's predictor count; 0 means 1. With d > 1 the
                               model must be a handle of d predictors */
} nlfit_batch_data;

/* Zero counts and NULL arrays, one predictor; struct_size = size. */
NLFIT_FIT_API void nlfit_batch_data_init_size(nlfit_batch_data *data, size_t size);
#define nlfit_batch_data_init(data) nlfit_batch_data_init_size((data), sizeof *(data))

/* Per-curve outputs; each array may be NULL except params. A curve that was
 * refused or not started keeps its start in params, converged 0, rss NaN,
 * evaluations and jacobian_evaluations 0 and NaN standard errors. */
typedef struct nlfit_batch_outputs {
  size_t struct_size;       /* sizeof(nlfit_batch_outputs), set by nlfit_batch_outputs_init */
  double *params;           /* K*n fitted parameters */
  int *status;              /* K statuses */
  unsigned char *converged; /* K flags */
  double *rss;              /* K */
  int64_t *evaluations;     /* K */
  double *std_errors;       /* K*n; filled only when fit->compute_statistics is nonzero */
  int64_t *jacobian_evaluations; /* K, may be NULL: calls of the exact Jacobian of each fit
                               (nlfit_result's jacobian_evaluations); 0 with differences */
} nlfit_batch_outputs;

/* All arrays NULL; struct_size = size. */
NLFIT_FIT_API void nlfit_batch_outputs_init_size(nlfit_batch_outputs *outputs, size_t size);
#define nlfit_batch_outputs_init(outputs) \
  nlfit_batch_outputs_init_size((outputs), sizeof *(outputs))

/* Fits every curve: each curve's result is bit for bit that of nlfit_fit_model
 * (or nlfit_fit with point_model) on that curve alone, whatever the thread
 * count. Give either model (a handle) or point_model (with user; it must be
 * safe to call from several threads at once), n parameters. A bad curve
 * (NaN in its row, say) gets its own refusal status; the others are fitted.
 * options NULL means the defaults. Memory beyond the caller's arrays: one
 * model instance per thread and each running fit's workspace, nothing that
 * grows with the number of curves.
 * Returns NLFIT_OK (0) when every curve was attempted, NLFIT_STOPPED_BY_CALLBACK when
 * the progress callback stopped the batch, or a negative status when the
 * whole call is refused (then no output is written):
 *   NLFIT_REFUSED_NULL_POINTER  data, outputs, or (with curves > 0) x, y,
 *                               start or params NULL; neither model given
 *   NLFIT_REFUSED_BAD_MODEL     both models given; n not the handle's count;
 *                               predictors not the handle's (or > 1 with
 *                               point_model)
 *   NLFIT_REFUSED_COUNTS        n = 0, points = 0, points < free parameters,
 *                               or arrays too large to address
 *   NLFIT_REFUSED_BAD_OPTION    threads out of range, a tolerance, factor,
 *                               budget, scale or typical value out of range,
 *                               or bounds that are NaN or lower > upper (the
 *                               same checks as nlfit_fit's, counts first), a
 *                               struct_size below the first layout
 *                               (fit->lower and fit->upper are shared by every
 *                               curve; a curve whose start lies outside them
 *                               gets NLFIT_REFUSED_BAD_OPTION alone)
 *   NLFIT_REFUSED_OUT_OF_MEMORY the calling thread's model instance
 * curves = 0 is no error: nothing to do, 0 is returned and no data pointer is
 * read. */
NLFIT_FIT_API int nlfit_fit_many(const nlfit_model *model, nlfit_point_model point_model,
                                 void *user, size_t n, const nlfit_batch_data *data,
                                 const nlfit_batch_options *options,
                                 const nlfit_batch_outputs *outputs);

#ifdef __cplusplus
}
#endif

#endif /* NLFIT_BATCH_H */
