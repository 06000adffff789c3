/*
 * The NIST StRD nonlinear regression models with one predictor and at most
 * five parameters, as ModelFunction callbacks for nlfit.
 *
 * NIST's b1 ... bk are p0 ... p(k-1); unused parameters are ignored. Each
 * expression is written with a fixed operation order (parenthesised where it
 * matters), so a host compiled without floating-point contraction computes
 * the same bits on every machine with the same libm.
 */
#ifndef NLFIT_EXAMPLES_NIST_MODELS_H
#define NLFIT_EXAMPLES_NIST_MODELS_H

#include <math.h>
#include <string.h>

/* The double nearest pi. */
#define NIST_MODEL_PI 3.14159265358979323846

static double nistMisra1a(double x, double b1, double b2, double p2, double p3, double p4) {
  (void)p2; (void)p3; (void)p4;
  return b1 * (1.0 - exp(-b2 * x));
}

static double nistMisra1b(double x, double b1, double b2, double p2, double p3, double p4) {
  (void)p2; (void)p3; (void)p4;
  return b1 * (1.0 - pow(1.0 + b2 * x / 2.0, -2.0));
}

static double nistMisra1c(double x, double b1, double b2, double p2, double p3, double p4) {
  (void)p2; (void)p3; (void)p4;
  return b1 * (1.0 - pow(1.0 + 2.0 * b2 * x, -0.5));
}

static double nistMisra1d(double x, double b1, double b2, double p2, double p3, double p4) {
  (void)p2; (void)p3; (void)p4;
  return b1 * b2 * x * pow(1.0 + b2 * x, -1.0);
}

/* Chwirut1 and Chwirut2 share one model. */
static double nistChwirut(double x, double b1, double b2, double b3, double p3, double p4) {
  (void)p3; (void)p4;
  return exp(-b1 * x) / (b2 + b3 * x);
}

static double nistDanWood(double x, double b1, double b2, double p2, double p3, double p4) {
  (void)p2; (void)p3; (void)p4;
  return b1 * pow(x, b2);
}

static double nistKirby2(double x, double b1, double b2, double b3, double b4, double b5) {
  return (b1 + b2 * x + b3 * (x * x)) / (1.0 + b4 * x + b5 * (x * x));
}

static double nistMGH09(double x, double b1, double b2, double b3, double b4, double p4) {
  (void)p4;
  return b1 * (x * x + x * b2) / (x * x + x * b3 + b4);
}

static double nistMGH10(double x, double b1, double b2, double b3, double p3, double p4) {
  (void)p3; (void)p4;
  return b1 * exp(b2 / (x + b3));
}

static double nistMGH17(double x, double b1, double b2, double b3, double b4, double b5) {
  return b1 + b2 * exp(-x * b4) + b3 * exp(-x * b5);
}

static double nistRoszman1(double x, double b1, double b2, double b3, double b4, double p4) {
  (void)p4;
  return b1 - b2 * x - atan(b3 / (x - b4)) / NIST_MODEL_PI;
}

/* BoxBOD has the same form as Misra1a. */
static double nistBoxBOD(double x, double b1, double b2, double p2, double p3, double p4) {
  (void)p2; (void)p3; (void)p4;
  return b1 * (1.0 - exp(-b2 * x));
}

static double nistRat42(double x, double b1, double b2, double b3, double p3, double p4) {
  (void)p3; (void)p4;
  return b1 / (1.0 + exp(b2 - b3 * x));
}

static double nistRat43(double x, double b1, double b2, double b3, double b4, double p4) {
  (void)p4;
  return b1 / pow(1.0 + exp(b2 - b3 * x), 1.0 / b4);
}

static double nistEckerle4(double x, double b1, double b2, double b3, double p3, double p4) {
  (void)p3; (void)p4;
  const double u = (x - b3) / b2;
  return (b1 / b2) * exp(-0.5 * (u * u));
}

static double nistBennett5(double x, double b1, double b2, double b3, double p3, double p4) {
  (void)p3; (void)p4;
  return b1 * pow(b2 + x, -1.0 / b3);
}

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
