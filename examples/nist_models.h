/*
 * The NIST StRD nonlinear regression models with one predictor and at most
 * five parameters, as ModelFunction callbacks for nlfit.
 *
 * NIST's b1 ... bk are p0 ... p(k-1); unused parameters are ignored. The
 * functions are those of the model catalogue, each written with a fixed
 * operation order, so a host compiled without floating-point contraction
 * computes the same bits on every machine with the same libm. Defined in
 * nist_models.cpp, part of the hosts' private static library
 * (nlfit_host_support).
 */
#ifndef NLFIT_EXAMPLES_NIST_MODELS_H
#define NLFIT_EXAMPLES_NIST_MODELS_H

typedef double (*NistModelFunction)(double, double, double, double, double, double);

typedef struct {
  const char *name;
  NistModelFunction function;
  int paramCount;
} NistModel;

/* The 17 models, in the order of NIST's list. */
extern const NistModel kNistModelTable[];
enum { kNistModelCount = 17 };

/* The model of that name, or NULL. */
const NistModel *nistModelByName(const char *name);

#endif /* NLFIT_EXAMPLES_NIST_MODELS_H */
