/*
 * The NIST StRD nonlinear regression models with one predictor and at most
 * five parameters, as ModelFunction callbacks for nlfit.
 *
 * NIST's b1 ... bk are p0 ... p(k-1); unused parameters are ignored. The
 * functions are those of the model catalogue (src/models/builtin_models.h),
 * each written with a fixed operation order, so a host compiled without
 * floating-point contraction computes the same bits on every machine with the
 * same libm.
 */
#ifndef NLFIT_EXAMPLES_NIST_MODELS_H
#define NLFIT_EXAMPLES_NIST_MODELS_H

#include <math.h>
#include <string.h>

#include "../src/models/builtin_models.h"

/* The double nearest pi. */
#define NIST_MODEL_PI NLFIT_MODEL_PI

/* The catalogue's functions (src/models/builtin_models.h) with the five
 * parameters as arguments. */
#define NIST_MODEL_WRAPPER(wrapper, function)                                            \
  static double wrapper(double x, double b1, double b2, double b3, double b4, double b5) { \
    const double b[5] = {b1, b2, b3, b4, b5};                                           \
    return function(x, b);                                                              \
  }
NIST_MODEL_WRAPPER(nistMisra1a, nlfitModelMisra1a)
NIST_MODEL_WRAPPER(nistMisra1b, nlfitModelMisra1b)
NIST_MODEL_WRAPPER(nistMisra1c, nlfitModelMisra1c)
NIST_MODEL_WRAPPER(nistMisra1d, nlfitModelMisra1d)
NIST_MODEL_WRAPPER(nistChwirut, nlfitModelChwirut)
NIST_MODEL_WRAPPER(nistDanWood, nlfitModelDanWood)
NIST_MODEL_WRAPPER(nistKirby2, nlfitModelKirby2)
NIST_MODEL_WRAPPER(nistMGH09, nlfitModelMGH09)
NIST_MODEL_WRAPPER(nistMGH10, nlfitModelMGH10)
NIST_MODEL_WRAPPER(nistMGH17, nlfitModelMGH17)
NIST_MODEL_WRAPPER(nistRoszman1, nlfitModelRoszman1)
NIST_MODEL_WRAPPER(nistBoxBOD, nlfitModelMisra1a)
NIST_MODEL_WRAPPER(nistRat42, nlfitModelRat42)
NIST_MODEL_WRAPPER(nistRat43, nlfitModelRat43)
NIST_MODEL_WRAPPER(nistEckerle4, nlfitModelEckerle4)
NIST_MODEL_WRAPPER(nistBennett5, nlfitModelBennett5)
#undef NIST_MODEL_WRAPPER

typedef double (*NistModelFunction)(double, double, double, double, double, double);

typedef struct {
  const char *name;
  NistModelFunction function;
  int paramCount;
} NistModel;

static const NistModel kNistModelTable[] = {
    {"Misra1a", nistMisra1a, 2},   {"Misra1b", nistMisra1b, 2},
    {"Misra1c", nistMisra1c, 2},   {"Misra1d", nistMisra1d, 2},
    {"Chwirut1", nistChwirut, 3},  {"Chwirut2", nistChwirut, 3},
    {"DanWood", nistDanWood, 2},   {"Kirby2", nistKirby2, 5},
    {"MGH09", nistMGH09, 4},       {"MGH10", nistMGH10, 3},
    {"MGH17", nistMGH17, 5},       {"Roszman1", nistRoszman1, 4},
    {"BoxBOD", nistBoxBOD, 2},     {"Rat42", nistRat42, 3},
    {"Rat43", nistRat43, 4},       {"Eckerle4", nistEckerle4, 3},
    {"Bennett5", nistBennett5, 3},
};

enum { kNistModelCount = (int)(sizeof kNistModelTable / sizeof kNistModelTable[0]) };

/* The model of that name, or NULL. */
static const NistModel *nistModelByName(const char *name) {
  int i;
  for (i = 0; i < kNistModelCount; ++i) {
    if (strcmp(kNistModelTable[i].name, name) == 0) return &kNistModelTable[i];
  }
  return NULL;
}

#endif /* NLFIT_EXAMPLES_NIST_MODELS_H */
