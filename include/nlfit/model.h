/*
 * nlfit model handles: models by formula or by name from the catalogue.
 * Part of the fitting API library; included by nlfit/fit.h.
 */
#ifndef NLFIT_MODEL_H
#define NLFIT_MODEL_H

/* An immutable model: its parameter names, its formula text and a way to
 * evaluate it. May be shared by threads; free it with nlfit_model_free.
 * Declared before nlfit/fit.h, whose nlfit/batch.h uses it, so that either
 * header may be included first. */
typedef struct nlfit_model nlfit_model;

#include "nlfit/fit.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Compiles a formula in x, e.g. "a*exp(-b*x)+c". x is the abscissa, pi the
 * constant; every other identifier that is not a function is a parameter
 * (e included), ordered by first appearance, or by parameter_names when that
 * is not NULL (name_count names, each of which must occur). A formula that
 * does not use x is refused (fit a constant as "c + 0*x"). ^ and ** both
 * mean power. The formula is evaluated in the order it is written.
 * Returns NULL on error, with a message (and the position, counted from 1)
 * in error (error_size bytes, NUL-terminated; error may be NULL). */
NLFIT_FIT_API nlfit_model *nlfit_model_formula(const char *expression,
                                               const char *const *parameter_names,
                                               size_t name_count, char *error,
                                               size_t error_size);

/* A formula of d = predictor_count predictors named by the caller, e.g.
 * "a*exp(-((u-u0)^2 + (v-v0)^2)/(2*s^2)) + c" with the predictors u and v.
 * Each predictor name must be an identifier that is not pi nor a function,
 * given once, and must occur in the formula. Every other name is a
 * parameter, as in nlfit_model_formula. predictor_count 0 (predictor_names
 * may then be NULL) means the one predictor x: nlfit_model_formula itself.
 * An observation's x is then its d predictor values: data of m observations
 * hold x as m*d values, row-major (observation i at x[i*d .. i*d+d-1]). */
NLFIT_FIT_API nlfit_model *nlfit_model_formula_predictors(
    const char *expression, const char *const *predictor_names, size_t predictor_count,
    const char *const *parameter_names, size_t name_count, char *error, size_t error_size);

/* A model of the catalogue by name (case-insensitive), or NULL. The
 * catalogue's models of two predictors (gaussian2d, gaussian2d_elliptic)
 * name them x1 and x2. */
NLFIT_FIT_API nlfit_model *nlfit_model_builtin(const char *name);

/* The catalogue: its size and the name of entry index (NULL past the end). */
NLFIT_FIT_API size_t nlfit_model_builtin_count(void);
NLFIT_FIT_API const char *nlfit_model_builtin_name(size_t index);

/* Frees a handle; NULL is ignored. */
NLFIT_FIT_API void nlfit_model_free(nlfit_model *model);

/* Accessors. Strings belong to the handle and live as long as it does. */
NLFIT_FIT_API size_t nlfit_model_parameter_count(const nlfit_model *model);
NLFIT_FIT_API const char *nlfit_model_parameter_name(const nlfit_model *model, size_t index);
NLFIT_FIT_API const char *nlfit_model_formula_text(const nlfit_model *model);
/* The number d of predictors (1 for a formula in x and the one-predictor
 * catalogue models), and the name of predictor index (NULL past the end). */
NLFIT_FIT_API size_t nlfit_model_predictor_count(const nlfit_model *model);
NLFIT_FIT_API const char *nlfit_model_predictor_name(const nlfit_model *model, size_t index);
/* The catalogue name, or "formula" for a formula model. */
NLFIT_FIT_API const char *nlfit_model_name(const nlfit_model *model);
/* One line for a catalogue model; the formula for a formula model. */
NLFIT_FIT_API const char *nlfit_model_description(const nlfit_model *model);

/* values[i] = model(x[i]; params) for i < m, params holding
 * nlfit_model_parameter_count values. Returns 0, or a negative nlfit_status
 * on a null pointer or memory that could not be obtained. A model of more
 * than one predictor is refused (NLFIT_REFUSED_BAD_MODEL): use
 * nlfit_model_evaluate_multi. */
NLFIT_FIT_API int nlfit_model_evaluate(const nlfit_model *model, const double *params,
                                       const double *x, size_t m, double *values);

/* values[i] = model(x_i; params) for i < m, with x_i = x[i*d .. i*d+d-1]
 * (x holds m*d values, row-major). d must be the model's predictor count
 * (NLFIT_REFUSED_BAD_MODEL otherwise); d = 1 is nlfit_model_evaluate. */
NLFIT_FIT_API int nlfit_model_evaluate_multi(const nlfit_model *model, const double *params,
                                             const double *x, size_t m, size_t d,
                                             double *values);

/* Where a starting value came from (nlfit_model_auto_start's origin). */
#define NLFIT_START_GIVEN 0     /* the caller's value, kept */
#define NLFIT_START_AUTOMATIC 1 /* from the data, by the shape's own method */
#define NLFIT_START_DEFAULT 2   /* 1: the model has no method, or it failed on these data */

/* Nonzero when the model has a method for starting values from the data:
 * the catalogue's everyday shapes (line, quadratic, exp_decay, two_exp,
 * gaussian, lorentzian, logistic4, hill, michaelis_menten, power_law) and its
 * 2-D spots (gaussian2d, gaussian2d_elliptic). NIST
 * models and formula models have none. */
NLFIT_FIT_API int nlfit_model_has_auto_start(const nlfit_model *model);

/* Starting values from the data (m observations x, y, with sigma NULL or m
 * standard deviations used as weights; for a model of d > 1 predictors x holds
 * m*d values, row-major, and sigma is not used). params holds n values (n the
 * model's parameter count); params[j] is kept where given[j] is nonzero
 * (given may be NULL: none), every other one is replaced by the shape's
 * automatic start, or by 1 when the model has no method or the method cannot
 * make finite values from these data (too few points, say). origin, when not
 * NULL, receives n NLFIT_START_* values. Non-finite observations are ignored.
 * Each shape's method is in docs/cli.md; the shapes' linear parameters are
 * solved by weighted linear least squares for the best of a first guess and a
 * coarse scan of the others, so the start is close for data the shape fits.
 * Deterministic; no model evaluation of the caller. Returns 0, or a negative
 * nlfit_status: NLFIT_REFUSED_NULL_POINTER, NLFIT_REFUSED_BAD_MODEL (n is not
 * the parameter count), NLFIT_REFUSED_COUNTS (m*d too large),
 * NLFIT_REFUSED_OUT_OF_MEMORY. */
NLFIT_FIT_API int nlfit_model_auto_start(const nlfit_model *model, size_t n, double *params,
                                         const unsigned char *given, size_t m, const double *x,
                                         const double *y, const double *sigma,
                                         unsigned char *origin);

/* nlfit_fit with a model handle; n must equal its parameter count and the
 * model must have one predictor (NLFIT_REFUSED_BAD_MODEL otherwise). */
NLFIT_FIT_API int nlfit_fit_model(const nlfit_model *model, size_t n, double *params, size_t m,
                                  const double *x, const double *y,
                                  const nlfit_options *options, nlfit_result *result);

/* The same for a model of d predictors: x holds m*d values, row-major
 * (observation i at x[i*d .. i*d+d-1]); d must be the model's predictor
 * count (NLFIT_REFUSED_BAD_MODEL otherwise). d = 1 is nlfit_fit_model. */
NLFIT_FIT_API int nlfit_fit_model_multi(const nlfit_model *model, size_t n, double *params,
                                        size_t m, size_t d, const double *x, const double *y,
                                        const nlfit_options *options, nlfit_result *result);

/* nlfit_predict with a model handle; n must equal its parameter count and
 * predictors its number of predictors (1), NLFIT_REFUSED_BAD_MODEL
 * otherwise. */
NLFIT_FIT_API int nlfit_predict_model(const nlfit_model *model, size_t predictors, size_t n,
                                      const double *params, const double *covariance,
                                      double residual_variance, int64_t dof, double level,
                                      size_t k, const double *x, const double *sigma,
                                      double *values, double *confidence, double *prediction);

/* ------------------------------------------------------------------------
 * Global fits: several data sets fitted at once, each with its own model, x,
 * y and sigma, their parameters drawn from one vector of global parameters
 * (shared by several sets, or each set's own). */
typedef struct nlfit_data_set {
  size_t struct_size;           /* sizeof(nlfit_data_set), set by nlfit_data_set_init */
  const nlfit_model *model;     /* a model handle, or NULL to use function */
  nlfit_vector_model function;  /* the set's model when model is NULL */
  void *user;                   /* passed to function */
  size_t n;                     /* the set's parameters (the handle's count) */
  const size_t *map;            /* n indices into the global parameters */
  size_t m;                     /* observations, >= 1 */
  const double *x;              /* m rows of `predictors` values */
  const double *y;              /* m */
  const double *sigma;          /* m standard deviations, or NULL; every set or none */
  size_t predictors;            /* predictors per observation: 1 (0 is taken as 1) */
} nlfit_data_set;

/* Zeroes *set (predictors 1) and sets struct_size to size. Null is ignored.
 * Every element of the array given to nlfit_fit_global carries its own
 * struct_size, and the array's stride is that of its first element. */
NLFIT_FIT_API void nlfit_data_set_init_size(nlfit_data_set *set, size_t size);
#define nlfit_data_set_init(set) nlfit_data_set_init_size((set), sizeof *(set))

/* Fits the count sets jointly in the n global parameters params (in: the
 * start, out: the result). The residuals of all sets, in set order, make one
 * least-squares problem: the statistics (covariance, standard errors, R^2,
 * the information criteria, nonfinite_index counted over the sets in
 * order) are those of the joint fit. options apply to the global parameters
 * (held, bounds, scale, typical, tolerances); options->sigma must be NULL
 * (sigma is given per set). Refusals as nlfit_fit, plus NLFIT_REFUSED_BAD_MODEL
 * for a set whose n differs from its handle's parameter count or whose map
 * points past n, NLFIT_REFUSED_BAD_SIGMA when some sets give sigma and
 * others do not, and NLFIT_REFUSED_BAD_OPTION for a struct_size below the
 * first layout. */
NLFIT_FIT_API int nlfit_fit_global(const nlfit_data_set *sets, size_t count, size_t n,
                                   double *params, const nlfit_options *options,
                                   nlfit_result *result);

#ifdef __cplusplus
}
#endif

#endif /* NLFIT_MODEL_H */
