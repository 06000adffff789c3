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
 * time. Return nonzero to stop: curves not yet started get
 * NLFIT_STOPPED_BY_CALLBACK. */
typedef int (*nlfit_batch_progress_callback)(size_t done, size_t total, void *user);

typedef struct nlfit_batch_options {
  nlfit_options fit;   /* per-curve options (fit.sigma and fit.progress are ignored) */
  int threads;         /* worker threads; 0 = all cores */
  nlfit_batch_progress_callback progress; /* NULL: none */
  void *progress_user;
} nlfit_batch_options;

NLFIT_FIT_API void nlfit_batch_options_init(nlfit_batch_options *options);

/* The data of a batch: K curves of m points, n parameters. */
typedef struct nlfit_batch_data {
  size_t curves;            /* K */
  size_t points;            /* m */
  const double *x;          /* m values shared by all curves, or K*m with x_per_curve */
  int x_per_curve;
  const double *y;          /* K*m, row-major */
  const double *sigma;      /* K*m, or NULL */
  const double *start;      /* n values shared by all curves, or K*n with start_per_curve */
  int start_per_curve;
} nlfit_batch_data;

/* Per-curve outputs; each array may be NULL except params. */
typedef struct nlfit_batch_outputs {
  double *params;           /* K*n fitted parameters */
  int *status;              /* K statuses */
  unsigned char *converged; /* K flags */
  double *rss;              /* K */
  int64_t *evaluations;     /* K */
  double *std_errors;       /* K*n; filled only when fit.compute_statistics is nonzero */
} nlfit_batch_outputs;

/* Fits every curve: each curve's result is bit for bit that of nlfit_fit_model
 * (or nlfit_fit with point_model) on that curve alone, whatever the thread
 * count. Give either model (a handle) or point_model (with user; it must be
 * safe to call from several threads at once), n parameters. A bad curve
 * (NaN in its row, say) gets its own refusal status; the others are fitted.
 * Returns 0 when every curve was attempted, NLFIT_STOPPED_BY_CALLBACK when
 * the progress callback stopped the batch, or a negative status when the
 * whole call is refused (then no output is written). */
NLFIT_FIT_API int nlfit_fit_many(const nlfit_model *model, nlfit_point_model point_model,
                                 void *user, size_t n, const nlfit_batch_data *data,
                                 const nlfit_batch_options *options,
                                 const nlfit_batch_outputs *outputs);

#ifdef __cplusplus
}
#endif

#endif /* NLFIT_BATCH_H */
