/*
 * The model catalogue: every named model as a C function of x and the
 * parameter array, with its parameter names, its formula text and a one-line
 * description. Header-only C (C99 and C++), so that the host program
 * nlfit-fit, which does not link the API library, evaluates the same
 * functions (examples/nist_models.h wraps the NIST ones).
 *
 * Each function is written with a fixed operation order. The formula text is
 * the same expression in the formula language; evaluated by the formula layer
 * it agrees with the function to within a few ulps (bit for bit where the
 * function uses pow where the text says ^; x*x against x^2 may differ in the
 * last bit).
 */
#ifndef NLFIT_MODELS_BUILTIN_MODELS_H
#define NLFIT_MODELS_BUILTIN_MODELS_H

#include <math.h>
#include <stddef.h>

/* The double nearest pi. */
#define NLFIT_MODEL_PI 3.14159265358979323846

/* ---- NIST StRD nonlinear regression, one predictor ---------------------- */

/* Misra1a and BoxBOD. */
static double nlfitModelMisra1a(double x, const double *b) {
  return b[0] * (1.0 - exp(-b[1] * x));
}

static double nlfitModelMisra1b(double x, const double *b) {
  return b[0] * (1.0 - pow(1.0 + b[1] * x / 2.0, -2.0));
}

static double nlfitModelMisra1c(double x, const double *b) {
  return b[0] * (1.0 - pow(1.0 + 2.0 * b[1] * x, -0.5));
}

static double nlfitModelMisra1d(double x, const double *b) {
  return b[0] * b[1] * x * pow(1.0 + b[1] * x, -1.0);
}

/* Chwirut1 and Chwirut2. */
static double nlfitModelChwirut(double x, const double *b) {
  return exp(-b[0] * x) / (b[1] + b[2] * x);
}

static double nlfitModelDanWood(double x, const double *b) {
  return b[0] * pow(x, b[1]);
}

static double nlfitModelKirby2(double x, const double *b) {
  return (b[0] + b[1] * x + b[2] * (x * x)) / (1.0 + b[3] * x + b[4] * (x * x));
}

static double nlfitModelMGH09(double x, const double *b) {
  return b[0] * (x * x + x * b[1]) / (x * x + x * b[2] + b[3]);
}

static double nlfitModelMGH10(double x, const double *b) {
  return b[0] * exp(b[1] / (x + b[2]));
}

static double nlfitModelMGH17(double x, const double *b) {
  return b[0] + b[1] * exp(-x * b[3]) + b[2] * exp(-x * b[4]);
}

static double nlfitModelRoszman1(double x, const double *b) {
  return b[0] - b[1] * x - atan(b[2] / (x - b[3])) / NLFIT_MODEL_PI;
}

static double nlfitModelRat42(double x, const double *b) {
  return b[0] / (1.0 + exp(b[1] - b[2] * x));
}

static double nlfitModelRat43(double x, const double *b) {
  return b[0] / pow(1.0 + exp(b[1] - b[2] * x), 1.0 / b[3]);
}

static double nlfitModelEckerle4(double x, const double *b) {
  const double u = (x - b[2]) / b[1];
  return (b[0] / b[1]) * exp(-0.5 * (u * u));
}

static double nlfitModelBennett5(double x, const double *b) {
  return b[0] * pow(b[1] + x, -1.0 / b[2]);
}

/* Lanczos1, Lanczos2 and Lanczos3. */
static double nlfitModelLanczos(double x, const double *b) {
  return b[0] * exp(-b[1] * x) + b[2] * exp(-b[3] * x) + b[4] * exp(-b[5] * x);
}

/* Gauss1, Gauss2 and Gauss3. */
static double nlfitModelGauss(double x, const double *b) {
  return b[0] * exp(-b[1] * x) + b[2] * exp(-pow(x - b[3], 2.0) / pow(b[4], 2.0)) +
         b[5] * exp(-pow(x - b[6], 2.0) / pow(b[7], 2.0));
}

/* Hahn1 and Thurber: cubic over cubic. */
static double nlfitModelCubicRational(double x, const double *b) {
  return (b[0] + b[1] * x + b[2] * pow(x, 2.0) + b[3] * pow(x, 3.0)) /
         (1.0 + b[4] * x + b[5] * pow(x, 2.0) + b[6] * pow(x, 3.0));
}

static double nlfitModelENSO(double x, const double *b) {
  return b[0] + b[1] * cos(2.0 * NLFIT_MODEL_PI * x / 12.0) +
         b[2] * sin(2.0 * NLFIT_MODEL_PI * x / 12.0) +
         b[4] * cos(2.0 * NLFIT_MODEL_PI * x / b[3]) +
         b[5] * sin(2.0 * NLFIT_MODEL_PI * x / b[3]) +
         b[7] * cos(2.0 * NLFIT_MODEL_PI * x / b[6]) +
         b[8] * sin(2.0 * NLFIT_MODEL_PI * x / b[6]);
}

/* ---- Everyday shapes ---------------------------------------------------- */

static double nlfitModelLine(double x, const double *p) { return p[0] + p[1] * x; }

static double nlfitModelQuadratic(double x, const double *p) {
  return p[0] + p[1] * x + p[2] * pow(x, 2.0);
}

static double nlfitModelExpDecay(double x, const double *p) {
  return p[0] * exp(-p[1] * x) + p[2];
}

static double nlfitModelTwoExp(double x, const double *p) {
  return p[0] * exp(-p[1] * x) + p[2] * exp(-p[3] * x) + p[4];
}

static double nlfitModelGaussian(double x, const double *p) {
  return p[0] * exp(-pow(x - p[1], 2.0) / (2.0 * pow(p[2], 2.0))) + p[3];
}

static double nlfitModelLorentzian(double x, const double *p) {
  return p[0] / (1.0 + pow((x - p[1]) / p[2], 2.0)) + p[3];
}

static double nlfitModelLogistic4(double x, const double *p) {
  return p[0] + (p[1] - p[0]) / (1.0 + exp(-p[2] * (x - p[3])));
}

static double nlfitModelHill(double x, const double *p) {
  return p[0] * pow(x, p[2]) / (pow(p[1], p[2]) + pow(x, p[2]));
}

static double nlfitModelMichaelisMenten(double x, const double *p) {
  return p[0] * x / (p[1] + x);
}

static double nlfitModelPowerLaw(double x, const double *p) { return p[0] * pow(x, p[1]); }

/* ---- Two predictors: x points at (x1, x2) ------------------------------- */

/* Round spot: height a, centre (x0, y0), width sigma, offset c. */
static double nlfitModelGaussian2d(const double *x, const double *p) {
  const double u = x[0] - p[1];
  const double v = x[1] - p[2];
  return p[0] * exp(-(pow(u, 2.0) + pow(v, 2.0)) / (2.0 * pow(p[3], 2.0))) + p[4];
}

/* Elliptic spot: widths sx along the axis at angle theta (radians, from the
 * x1 axis) and sy across it. */
static double nlfitModelGaussian2dElliptic(const double *x, const double *p) {
  const double u = x[0] - p[1];
  const double v = x[1] - p[2];
  const double along = u * cos(p[5]) + v * sin(p[5]);
  const double across = v * cos(p[5]) - u * sin(p[5]);
  return p[0] * exp(-(pow(along, 2.0) / (2.0 * pow(p[3], 2.0)) +
                      pow(across, 2.0) / (2.0 * pow(p[4], 2.0)))) +
         p[6];
}

/* ---- Automatic starts of the spots ---------------------------------------
 * From the data alone (m rows of 2 predictors, row-major): the offset c is
 * the smallest y, the height a the largest y less c, the centre the mean of
 * the predictors weighted by y - c over the points above half the height, and
 * the widths from the second moments of the same points. Always finite: a
 * width that comes out 0 or not finite is replaced by a tenth of the spread
 * of the predictors (1 when that is 0 too). */
typedef struct {
  double low, high;            /* smallest and largest y */
  double centre[2];            /* weighted mean of (x1, x2) */
  double var[2], cov;          /* weighted second central moments */
  double spread[2];            /* range of x1 and of x2 */
} NlfitSpotMoments;

static NlfitSpotMoments nlfitSpotMoments(const double *x, size_t m, const double *y) {
  NlfitSpotMoments s = {0.0, 0.0, {0.0, 0.0}, {0.0, 0.0}, 0.0, {0.0, 0.0}};
  double lo[2] = {0.0, 0.0}, hi[2] = {0.0, 0.0};
  double w = 0.0, sx = 0.0, sy = 0.0, sxx = 0.0, syy = 0.0, sxy = 0.0;
  size_t i;
  if (m == 0) return s;
  s.low = s.high = y[0];
  lo[0] = hi[0] = x[0];
  lo[1] = hi[1] = x[1];
  for (i = 0; i < m; ++i) {
    if (y[i] < s.low) s.low = y[i];
    if (y[i] > s.high) s.high = y[i];
    if (x[2 * i] < lo[0]) lo[0] = x[2 * i];
    if (x[2 * i] > hi[0]) hi[0] = x[2 * i];
    if (x[2 * i + 1] < lo[1]) lo[1] = x[2 * i + 1];
    if (x[2 * i + 1] > hi[1]) hi[1] = x[2 * i + 1];
  }
  s.spread[0] = hi[0] - lo[0];
  s.spread[1] = hi[1] - lo[1];
  for (i = 0; i < m; ++i) {
    const double h = y[i] - s.low;
    if (!(h >= 0.5 * (s.high - s.low)) || !(h > 0.0)) continue;
    w += h;
    sx += h * x[2 * i];
    sy += h * x[2 * i + 1];
  }
  if (w > 0.0) {
    s.centre[0] = sx / w;
    s.centre[1] = sy / w;
    for (i = 0; i < m; ++i) {
      const double h = y[i] - s.low;
      const double u = x[2 * i] - s.centre[0];
      const double v = x[2 * i + 1] - s.centre[1];
      if (!(h >= 0.5 * (s.high - s.low)) || !(h > 0.0)) continue;
      sxx += h * u * u;
      syy += h * v * v;
      sxy += h * u * v;
    }
    s.var[0] = sxx / w;
    s.var[1] = syy / w;
    s.cov = sxy / w;
  } else {
    s.centre[0] = 0.5 * (lo[0] + hi[0]);
    s.centre[1] = 0.5 * (lo[1] + hi[1]);
  }
  return s;
}

/* The cap of a 2-D Gaussian above half its height, weighted by its height,
 * has the second moment sigma^2 (1 - ln 2) along each principal axis. */
static double nlfitSpotWidth(double moment, double spread) {
  const double width = sqrt(moment / (1.0 - log(2.0)));
  if (width > 0.0 && isfinite(width)) return width;
  return spread > 0.0 ? 0.1 * spread : 1.0;
}

static void nlfitStartGaussian2d(const double *x, size_t m, const double *y, double *p) {
  const NlfitSpotMoments s = nlfitSpotMoments(x, m, y);
  p[0] = s.high - s.low;
  p[1] = s.centre[0];
  p[2] = s.centre[1];
  p[3] = nlfitSpotWidth(0.5 * (s.var[0] + s.var[1]), 0.5 * (s.spread[0] + s.spread[1]));
  p[4] = s.low;
}

static void nlfitStartGaussian2dElliptic(const double *x, size_t m, const double *y, double *p) {
  const NlfitSpotMoments s = nlfitSpotMoments(x, m, y);
  /* The principal axes of the moment matrix. */
  const double theta = 0.5 * atan2(2.0 * s.cov, s.var[0] - s.var[1]);
  const double c = cos(theta), sn = sin(theta);
  const double along = c * c * s.var[0] + 2.0 * c * sn * s.cov + sn * sn * s.var[1];
  const double across = sn * sn * s.var[0] - 2.0 * c * sn * s.cov + c * c * s.var[1];
  p[0] = s.high - s.low;
  p[1] = s.centre[0];
  p[2] = s.centre[1];
  p[3] = nlfitSpotWidth(along, s.spread[0]);
  p[4] = nlfitSpotWidth(across, s.spread[1]);
  p[5] = theta;
  p[6] = s.low;
}

/* ---- The table ---------------------------------------------------------- */

typedef double (*NlfitBuiltinFunction)(double x, const double *params);

enum { NLFIT_BUILTIN_MAX_PARAMETERS = 9 };

typedef struct {
  const char *name;
  NlfitBuiltinFunction function;
  int parameterCount;
  const char *parameters[NLFIT_BUILTIN_MAX_PARAMETERS];
  const char *formula;
  const char *description;
  int nist; /* 1: a NIST StRD nonlinear regression model */
} NlfitBuiltinModel;

#define NLFIT_B2 {"b1", "b2"}
#define NLFIT_B3 {"b1", "b2", "b3"}
#define NLFIT_B4 {"b1", "b2", "b3", "b4"}
#define NLFIT_B5 {"b1", "b2", "b3", "b4", "b5"}
#define NLFIT_B6 {"b1", "b2", "b3", "b4", "b5", "b6"}
#define NLFIT_B7 {"b1", "b2", "b3", "b4", "b5", "b6", "b7"}
#define NLFIT_B8 {"b1", "b2", "b3", "b4", "b5", "b6", "b7", "b8"}
#define NLFIT_B9 {"b1", "b2", "b3", "b4", "b5", "b6", "b7", "b8", "b9"}
#define NLFIT_LANCZOS_FORMULA "b1*exp(-b2*x) + b3*exp(-b4*x) + b5*exp(-b6*x)"
#define NLFIT_GAUSS_FORMULA \
  "b1*exp(-b2*x) + b3*exp(-(x-b4)^2 / b5^2) + b6*exp(-(x-b7)^2 / b8^2)"
#define NLFIT_CUBIC_FORMULA "(b1 + b2*x + b3*x^2 + b4*x^3) / (1 + b5*x + b6*x^2 + b7*x^3)"
#define NLFIT_CHWIRUT_FORMULA "exp(-b1*x) / (b2 + b3*x)"

/* NIST's datasets in their order of difficulty (lower, average, higher),
 * then the everyday shapes. */
static const NlfitBuiltinModel kNlfitBuiltinModels[] = {
    {"Misra1a", nlfitModelMisra1a, 2, NLFIT_B2, "b1*(1 - exp(-b2*x))",
     "NIST Misra1a: dental research monomolecular adsorption (exponential)", 1},
    {"Chwirut2", nlfitModelChwirut, 3, NLFIT_B3, NLFIT_CHWIRUT_FORMULA,
     "NIST Chwirut2: ultrasonic response against metal distance", 1},
    {"Chwirut1", nlfitModelChwirut, 3, NLFIT_B3, NLFIT_CHWIRUT_FORMULA,
     "NIST Chwirut1: ultrasonic response against metal distance", 1},
    {"Lanczos3", nlfitModelLanczos, 6, NLFIT_B6, NLFIT_LANCZOS_FORMULA,
     "NIST Lanczos3: sum of three exponentials, data to 5 digits", 1},
    {"Gauss1", nlfitModelGauss, 8, NLFIT_B8, NLFIT_GAUSS_FORMULA,
     "NIST Gauss1: two well-separated Gaussian peaks on a decaying baseline", 1},
    {"Gauss2", nlfitModelGauss, 8, NLFIT_B8, NLFIT_GAUSS_FORMULA,
     "NIST Gauss2: two slightly overlapping Gaussian peaks on a decaying baseline", 1},
    {"DanWood", nlfitModelDanWood, 2, NLFIT_B2, "b1*x^b2",
     "NIST DanWood: radiated energy against temperature (power law)", 1},
    {"Misra1b", nlfitModelMisra1b, 2, NLFIT_B2, "b1*(1 - (1 + b2*x/2)^(-2))",
     "NIST Misra1b: dental research monomolecular adsorption", 1},
    {"Kirby2", nlfitModelKirby2, 5, NLFIT_B5, "(b1 + b2*x + b3*x^2) / (1 + b4*x + b5*x^2)",
     "NIST Kirby2: scanning electron microscope line width standards (quadratic/quadratic)", 1},
    {"Hahn1", nlfitModelCubicRational, 7, NLFIT_B7, NLFIT_CUBIC_FORMULA,
     "NIST Hahn1: thermal expansion of copper (cubic/cubic)", 1},
    {"MGH17", nlfitModelMGH17, 5, NLFIT_B5, "b1 + b2*exp(-x*b4) + b3*exp(-x*b5)",
     "NIST MGH17: Osborne's sum of two exponentials with offset", 1},
    {"Lanczos1", nlfitModelLanczos, 6, NLFIT_B6, NLFIT_LANCZOS_FORMULA,
     "NIST Lanczos1: sum of three exponentials, data to 13 digits", 1},
    {"Lanczos2", nlfitModelLanczos, 6, NLFIT_B6, NLFIT_LANCZOS_FORMULA,
     "NIST Lanczos2: sum of three exponentials, data to 6 digits", 1},
    {"Gauss3", nlfitModelGauss, 8, NLFIT_B8, NLFIT_GAUSS_FORMULA,
     "NIST Gauss3: two overlapping Gaussian peaks on a decaying baseline", 1},
    {"Misra1c", nlfitModelMisra1c, 2, NLFIT_B2, "b1*(1 - (1 + 2*b2*x)^(-0.5))",
     "NIST Misra1c: dental research monomolecular adsorption", 1},
    {"Misra1d", nlfitModelMisra1d, 2, NLFIT_B2, "b1*b2*x*((1 + b2*x)^(-1))",
     "NIST Misra1d: dental research monomolecular adsorption", 1},
    {"Roszman1", nlfitModelRoszman1, 4, NLFIT_B4, "b1 - b2*x - atan(b3/(x - b4))/pi",
     "NIST Roszman1: quantum defects in iodine atoms", 1},
    {"ENSO", nlfitModelENSO, 9, NLFIT_B9,
     "b1 + b2*cos(2*pi*x/12) + b3*sin(2*pi*x/12) + b5*cos(2*pi*x/b4) + b6*sin(2*pi*x/b4)"
     " + b8*cos(2*pi*x/b7) + b9*sin(2*pi*x/b7)",
     "NIST ENSO: monthly atmospheric pressure differences, three cycles", 1},
    {"MGH09", nlfitModelMGH09, 4, NLFIT_B4, "b1*(x^2 + x*b2) / (x^2 + x*b3 + b4)",
     "NIST MGH09: Kowalik and Osborne's enzyme reaction (linear/quadratic)", 1},
    {"Thurber", nlfitModelCubicRational, 7, NLFIT_B7, NLFIT_CUBIC_FORMULA,
     "NIST Thurber: semiconductor electron mobility against density (cubic/cubic)", 1},
    {"BoxBOD", nlfitModelMisra1a, 2, NLFIT_B2, "b1*(1 - exp(-b2*x))",
     "NIST BoxBOD: biochemical oxygen demand against incubation time", 1},
    {"Rat42", nlfitModelRat42, 3, NLFIT_B3, "b1 / (1 + exp(b2 - b3*x))",
     "NIST Rat42: pasture yield against growing time (logistic)", 1},
    {"MGH10", nlfitModelMGH10, 3, NLFIT_B3, "b1*exp(b2/(x + b3))",
     "NIST MGH10: Meyer's thermistor resistance against temperature", 1},
    {"Eckerle4", nlfitModelEckerle4, 3, NLFIT_B3, "(b1/b2)*exp(-0.5*((x - b3)/b2)^2)",
     "NIST Eckerle4: circular interference transmittance (Gaussian)", 1},
    {"Rat43", nlfitModelRat43, 4, NLFIT_B4, "b1 / ((1 + exp(b2 - b3*x))^(1/b4))",
     "NIST Rat43: dry weight of onion bulbs against growing time", 1},
    {"Bennett5", nlfitModelBennett5, 3, NLFIT_B3, "b1*(b2 + x)^(-1/b3)",
     "NIST Bennett5: magnetisation of a superconductor against log time", 1},

    {"line", nlfitModelLine, 2, {"a", "b"}, "a + b*x", "straight line: intercept a, slope b", 0},
    {"quadratic", nlfitModelQuadratic, 3, {"a", "b", "c"}, "a + b*x + c*x^2",
     "quadratic polynomial", 0},
    {"exp_decay", nlfitModelExpDecay, 3, {"a", "k", "c"}, "a*exp(-k*x) + c",
     "exponential decay: amplitude a, rate k, offset c", 0},
    {"two_exp", nlfitModelTwoExp, 5, {"a1", "k1", "a2", "k2", "c"},
     "a1*exp(-k1*x) + a2*exp(-k2*x) + c",
     "two exponentials: amplitudes a1, a2, rates k1, k2, offset c", 0},
    {"gaussian", nlfitModelGaussian, 4, {"a", "mu", "sigma", "c"},
     "a*exp(-(x - mu)^2 / (2*sigma^2)) + c",
     "Gaussian peak: height a, centre mu, standard width sigma, offset c", 0},
    {"lorentzian", nlfitModelLorentzian, 4, {"a", "x0", "w", "c"},
     "a / (1 + ((x - x0)/w)^2) + c",
     "Lorentzian peak: height a, centre x0, half width at half maximum w, offset c", 0},
    {"logistic4", nlfitModelLogistic4, 4, {"bottom", "top", "k", "x0"},
     "bottom + (top - bottom) / (1 + exp(-k*(x - x0)))",
     "four-parameter logistic: asymptotes bottom and top, steepness k, midpoint x0", 0},
    {"hill", nlfitModelHill, 3, {"top", "k", "n"}, "top*x^n / (k^n + x^n)",
     "Hill equation: maximum top, half-saturation k, Hill coefficient n", 0},
    {"michaelis_menten", nlfitModelMichaelisMenten, 2, {"vmax", "km"}, "vmax*x / (km + x)",
     "Michaelis-Menten kinetics: maximum rate vmax, Michaelis constant km", 0},
    {"power_law", nlfitModelPowerLaw, 2, {"a", "b"}, "a*x^b", "power law: prefactor a, exponent b",
     0},

};

#undef NLFIT_B2
#undef NLFIT_B3
#undef NLFIT_B4
#undef NLFIT_B5
#undef NLFIT_B6
#undef NLFIT_B7
#undef NLFIT_B8
#undef NLFIT_B9
#undef NLFIT_LANCZOS_FORMULA
#undef NLFIT_GAUSS_FORMULA
#undef NLFIT_CUBIC_FORMULA
#undef NLFIT_CHWIRUT_FORMULA

enum {
  kNlfitBuiltinModelCount = (int)(sizeof kNlfitBuiltinModels / sizeof kNlfitBuiltinModels[0])
};

/* ---- Models of several predictors --------------------------------------- */

/* x points at the observation's d predictor values. */
typedef double (*NlfitBuiltinFunctionMulti)(const double *x, const double *params);
/* Starting values from the data: m observations of d predictors (x, m*d
 * row-major) and y; writes every parameter, all finite. */
typedef void (*NlfitBuiltinStartMulti)(const double *x, size_t m, const double *y,
                                       double *params);

typedef struct {
  const char *name;
  NlfitBuiltinFunctionMulti function;
  int parameterCount;
  const char *parameters[NLFIT_BUILTIN_MAX_PARAMETERS];
  const char *formula; /* in the predictors x1 .. xd */
  const char *description;
  int predictorCount;  /* d */
  NlfitBuiltinStartMulti start; /* automatic starts */
} NlfitBuiltinMultiModel;

/* Listed after the one-predictor catalogue. */
static const NlfitBuiltinMultiModel kNlfitBuiltinMultiModels[] = {
    {"gaussian2d", nlfitModelGaussian2d, 5, {"a", "x0", "y0", "sigma", "c"},
     "a*exp(-((x1 - x0)^2 + (x2 - y0)^2) / (2*sigma^2)) + c",
     "round 2-D Gaussian spot: height a, centre (x0, y0), standard width sigma, offset c", 2,
     nlfitStartGaussian2d},
    {"gaussian2d_elliptic", nlfitModelGaussian2dElliptic, 7,
     {"a", "x0", "y0", "sx", "sy", "theta", "c"},
     "a*exp(-(((x1 - x0)*cos(theta) + (x2 - y0)*sin(theta))^2 / (2*sx^2)"
     " + ((x2 - y0)*cos(theta) - (x1 - x0)*sin(theta))^2 / (2*sy^2))) + c",
     "elliptic 2-D Gaussian spot: height a, centre (x0, y0), widths sx along the axis at angle "
     "theta (radians) and sy across it, offset c",
     2, nlfitStartGaussian2dElliptic},
};

enum {
  kNlfitBuiltinMultiModelCount =
      (int)(sizeof kNlfitBuiltinMultiModels / sizeof kNlfitBuiltinMultiModels[0])
};

#endif /* NLFIT_MODELS_BUILTIN_MODELS_H */
