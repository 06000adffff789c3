// Private: the exact derivatives of the catalogue's models, written out by
// hand. g[j] = d f(x; b) / d b[j], each next to the model it derives (see
// builtin_models.h for the models themselves).
#ifndef NLFIT_MODELS_BUILTIN_GRADIENTS_H
#define NLFIT_MODELS_BUILTIN_GRADIENTS_H

#include <cmath>

#include "models/builtin_models.h"

namespace nlfit {

using BuiltinGradient = void (*)(double x, const double* b, double* g);

namespace gradients {

constexpr double kPi = NLFIT_MODEL_PI;

// x^p * ln(x), 0 where x^p is 0 (x = 0 with p > 0).
inline double powerTimesLog(double power, double x) {
  return power == 0.0 ? 0.0 : power * std::log(x);
}

inline void misra1a(double x, const double* b, double* g) {
  const double e = std::exp(-b[1] * x);
  g[0] = 1.0 - e;
  g[1] = b[0] * x * e;
}

inline void misra1b(double x, const double* b, double* g) {
  const double u = 1.0 + b[1] * x / 2.0;
  g[0] = 1.0 - std::pow(u, -2.0);
  g[1] = b[0] * x * std::pow(u, -3.0);
}

inline void misra1c(double x, const double* b, double* g) {
  const double u = 1.0 + 2.0 * b[1] * x;
  g[0] = 1.0 - std::pow(u, -0.5);
  g[1] = b[0] * x * std::pow(u, -1.5);
}

inline void misra1d(double x, const double* b, double* g) {
  const double d = 1.0 + b[1] * x;
  g[0] = b[1] * x / d;
  g[1] = b[0] * x / (d * d);
}

inline void chwirut(double x, const double* b, double* g) {
  const double e = std::exp(-b[0] * x);
  const double d = b[1] + b[2] * x;
  g[0] = -x * e / d;
  g[1] = -e / (d * d);
  g[2] = -x * e / (d * d);
}

inline void danWood(double x, const double* b, double* g) {
  const double p = std::pow(x, b[1]);
  g[0] = p;
  g[1] = b[0] * powerTimesLog(p, x);
}

inline void kirby2(double x, const double* b, double* g) {
  const double x2 = x * x;
  const double num = b[0] + b[1] * x + b[2] * x2;
  const double den = 1.0 + b[3] * x + b[4] * x2;
  g[0] = 1.0 / den;
  g[1] = x / den;
  g[2] = x2 / den;
  g[3] = -num * x / (den * den);
  g[4] = -num * x2 / (den * den);
}

inline void mgh09(double x, const double* b, double* g) {
  const double num = x * x + x * b[1];
  const double den = x * x + x * b[2] + b[3];
  g[0] = num / den;
  g[1] = b[0] * x / den;
  g[2] = -b[0] * num * x / (den * den);
  g[3] = -b[0] * num / (den * den);
}

inline void mgh10(double x, const double* b, double* g) {
  const double d = x + b[2];
  const double e = std::exp(b[1] / d);
  g[0] = e;
  g[1] = b[0] * e / d;
  g[2] = -b[0] * e * b[1] / (d * d);
}

inline void mgh17(double x, const double* b, double* g) {
  const double e3 = std::exp(-x * b[3]);
  const double e4 = std::exp(-x * b[4]);
  g[0] = 1.0;
  g[1] = e3;
  g[2] = e4;
  g[3] = -b[1] * x * e3;
  g[4] = -b[2] * x * e4;
}

inline void roszman1(double x, const double* b, double* g) {
  const double d = x - b[3];
  const double t = b[2] / d;
  const double slope = 1.0 / (1.0 + t * t) / kPi;
  g[0] = 1.0;
  g[1] = -x;
  g[2] = -slope / d;
  g[3] = -slope * b[2] / (d * d);
}

inline void rat42(double x, const double* b, double* g) {
  const double e = std::exp(b[1] - b[2] * x);
  const double u = 1.0 + e;
  g[0] = 1.0 / u;
  g[1] = -b[0] * e / (u * u);
  g[2] = b[0] * x * e / (u * u);
}

inline void rat43(double x, const double* b, double* g) {
  const double e = std::exp(b[1] - b[2] * x);
  const double u = 1.0 + e;
  const double p = std::pow(u, -1.0 / b[3]);
  const double inner = b[0] * p / u / b[3];  // b0 * u^(-1/b3 - 1) / b3
  g[0] = p;
  g[1] = -inner * e;
  g[2] = inner * x * e;
  g[3] = b[0] * p * std::log(u) / (b[3] * b[3]);
}

inline void eckerle4(double x, const double* b, double* g) {
  const double u = (x - b[2]) / b[1];
  const double e = std::exp(-0.5 * (u * u));
  g[0] = e / b[1];
  g[1] = b[0] * e * (u * u - 1.0) / (b[1] * b[1]);
  g[2] = b[0] * e * u / (b[1] * b[1]);
}

inline void bennett5(double x, const double* b, double* g) {
  const double w = b[1] + x;
  const double p = std::pow(w, -1.0 / b[2]);
  g[0] = p;
  g[1] = -b[0] * p / w / b[2];
  g[2] = b[0] * p * std::log(w) / (b[2] * b[2]);
}

inline void lanczos(double x, const double* b, double* g) {
  for (int k = 0; k < 3; ++k) {
    const double e = std::exp(-b[2 * k + 1] * x);
    g[2 * k] = e;
    g[2 * k + 1] = -b[2 * k] * x * e;
  }
}

inline void gauss(double x, const double* b, double* g) {
  const double e = std::exp(-b[1] * x);
  g[0] = e;
  g[1] = -b[0] * x * e;
  for (int k = 0; k < 2; ++k) {
    const double a = b[2 + 3 * k], c = b[3 + 3 * k], w = b[4 + 3 * k];
    const double d = x - c;
    const double peak = std::exp(-(d * d) / (w * w));
    g[2 + 3 * k] = peak;
    g[3 + 3 * k] = a * peak * 2.0 * d / (w * w);
    g[4 + 3 * k] = a * peak * 2.0 * (d * d) / (w * w * w);
  }
}

inline void cubicRational(double x, const double* b, double* g) {
  const double x2 = x * x, x3 = x2 * x;
  const double num = b[0] + b[1] * x + b[2] * x2 + b[3] * x3;
  const double den = 1.0 + b[4] * x + b[5] * x2 + b[6] * x3;
  const double q = num / (den * den);
  g[0] = 1.0 / den;
  g[1] = x / den;
  g[2] = x2 / den;
  g[3] = x3 / den;
  g[4] = -q * x;
  g[5] = -q * x2;
  g[6] = -q * x3;
}

inline void enso(double x, const double* b, double* g) {
  const double a = 2.0 * kPi * x / 12.0;
  g[0] = 1.0;
  g[1] = std::cos(a);
  g[2] = std::sin(a);
  for (int k = 0; k < 2; ++k) {
    const double period = b[3 + 3 * k];
    const double phase = 2.0 * kPi * x / period;
    const double c = std::cos(phase), s = std::sin(phase);
    const double ca = b[4 + 3 * k], sa = b[5 + 3 * k];
    g[3 + 3 * k] = (-ca * s + sa * c) * (-phase / period);
    g[4 + 3 * k] = c;
    g[5 + 3 * k] = s;
  }
}

inline void line(double x, const double*, double* g) {
  g[0] = 1.0;
  g[1] = x;
}

inline void quadratic(double x, const double*, double* g) {
  g[0] = 1.0;
  g[1] = x;
  g[2] = x * x;
}

inline void expDecay(double x, const double* p, double* g) {
  const double e = std::exp(-p[1] * x);
  g[0] = e;
  g[1] = -p[0] * x * e;
  g[2] = 1.0;
}

inline void twoExp(double x, const double* p, double* g) {
  const double e1 = std::exp(-p[1] * x), e2 = std::exp(-p[3] * x);
  g[0] = e1;
  g[1] = -p[0] * x * e1;
  g[2] = e2;
  g[3] = -p[2] * x * e2;
  g[4] = 1.0;
}

inline void gaussian(double x, const double* p, double* g) {
  const double d = x - p[1];
  const double s2 = p[2] * p[2];
  const double e = std::exp(-(d * d) / (2.0 * s2));
  g[0] = e;
  g[1] = p[0] * e * d / s2;
  g[2] = p[0] * e * (d * d) / (s2 * p[2]);
  g[3] = 1.0;
}

inline void lorentzian(double x, const double* p, double* g) {
  const double u = (x - p[1]) / p[2];
  const double den = 1.0 + u * u;
  const double q = 2.0 * p[0] * u / (p[2] * den * den);
  g[0] = 1.0 / den;
  g[1] = q;
  g[2] = q * u;
  g[3] = 1.0;
}

inline void logistic4(double x, const double* p, double* g) {
  const double e = std::exp(-p[2] * (x - p[3]));
  const double l = 1.0 / (1.0 + e);
  const double q = (p[1] - p[0]) * e * l * l;
  g[0] = 1.0 - l;
  g[1] = l;
  g[2] = q * (x - p[3]);
  g[3] = -q * p[2];
}

inline void hill(double x, const double* p, double* g) {
  const double xn = std::pow(x, p[2]);
  const double kn = std::pow(p[1], p[2]);
  const double den = kn + xn;
  g[0] = xn / den;
  g[1] = -p[0] * xn * p[2] * std::pow(p[1], p[2] - 1.0) / (den * den);
  g[2] = xn == 0.0 ? 0.0 : p[0] * xn * kn * (std::log(x) - std::log(p[1])) / (den * den);
}

inline void michaelisMenten(double x, const double* p, double* g) {
  const double den = p[1] + x;
  g[0] = x / den;
  g[1] = -p[0] * x / (den * den);
}

inline void powerLaw(double x, const double* p, double* g) {
  const double xp = std::pow(x, p[1]);
  g[0] = xp;
  g[1] = p[0] * powerTimesLog(xp, x);
}

// ---- Two predictors: x points at (x1, x2) ----

inline void gaussian2d(const double* x, const double* p, double* g) {
  const double u = x[0] - p[1], v = x[1] - p[2];
  const double s2 = p[3] * p[3];
  const double e = std::exp(-(u * u + v * v) / (2.0 * s2));
  const double ae = p[0] * e;
  g[0] = e;
  g[1] = ae * u / s2;
  g[2] = ae * v / s2;
  g[3] = ae * (u * u + v * v) / (s2 * p[3]);
  g[4] = 1.0;
}

inline void gaussian2dElliptic(const double* x, const double* p, double* g) {
  const double u = x[0] - p[1], v = x[1] - p[2];
  const double c = std::cos(p[5]), s = std::sin(p[5]);
  const double along = u * c + v * s, across = v * c - u * s;
  const double sx2 = p[3] * p[3], sy2 = p[4] * p[4];
  const double e = std::exp(-(along * along / (2.0 * sx2) + across * across / (2.0 * sy2)));
  const double ae = p[0] * e;
  g[0] = e;
  g[1] = ae * (along / sx2 * c - across / sy2 * s);
  g[2] = ae * (along / sx2 * s + across / sy2 * c);
  g[3] = ae * along * along / (sx2 * p[3]);
  g[4] = ae * across * across / (sy2 * p[4]);
  g[5] = -ae * along * across * (1.0 / sx2 - 1.0 / sy2);
  g[6] = 1.0;
}

}  // namespace gradients

// g[j] = d f(x; p) / d p[j] for a model of several predictors, x its row.
using BuiltinMultiGradient = void (*)(const double* x, const double* p, double* g);

// The two look-ups compare with the models' addresses, and the models are
// static, one copy per translation unit: each unit that includes this file
// gets its own look-ups too (static), or the linker could keep one unit's,
// which finds no other unit's models.

// The gradient of a catalogue function of several predictors, or null.
static inline BuiltinMultiGradient builtinMultiGradient(NlfitBuiltinFunctionMulti function) {
  if (function == nlfitModelGaussian2d) return gradients::gaussian2d;
  if (function == nlfitModelGaussian2dElliptic) return gradients::gaussian2dElliptic;
  return nullptr;
}

// The gradient of a catalogue function, or null.
static inline BuiltinGradient builtinGradient(NlfitBuiltinFunction function) {
  struct Entry {
    NlfitBuiltinFunction function;
    BuiltinGradient gradient;
  };
  static const Entry kEntries[] = {
      {nlfitModelMisra1a, gradients::misra1a},
      {nlfitModelMisra1b, gradients::misra1b},
      {nlfitModelMisra1c, gradients::misra1c},
      {nlfitModelMisra1d, gradients::misra1d},
      {nlfitModelChwirut, gradients::chwirut},
      {nlfitModelDanWood, gradients::danWood},
      {nlfitModelKirby2, gradients::kirby2},
      {nlfitModelMGH09, gradients::mgh09},
      {nlfitModelMGH10, gradients::mgh10},
      {nlfitModelMGH17, gradients::mgh17},
      {nlfitModelRoszman1, gradients::roszman1},
      {nlfitModelRat42, gradients::rat42},
      {nlfitModelRat43, gradients::rat43},
      {nlfitModelEckerle4, gradients::eckerle4},
      {nlfitModelBennett5, gradients::bennett5},
      {nlfitModelLanczos, gradients::lanczos},
      {nlfitModelGauss, gradients::gauss},
      {nlfitModelCubicRational, gradients::cubicRational},
      {nlfitModelENSO, gradients::enso},
      {nlfitModelLine, gradients::line},
      {nlfitModelQuadratic, gradients::quadratic},
      {nlfitModelExpDecay, gradients::expDecay},
      {nlfitModelTwoExp, gradients::twoExp},
      {nlfitModelGaussian, gradients::gaussian},
      {nlfitModelLorentzian, gradients::lorentzian},
      {nlfitModelLogistic4, gradients::logistic4},
      {nlfitModelHill, gradients::hill},
      {nlfitModelMichaelisMenten, gradients::michaelisMenten},
      {nlfitModelPowerLaw, gradients::powerLaw},
  };
  for (const Entry& e : kEntries) {
    if (e.function == function) return e.gradient;
  }
  return nullptr;
}

}  // namespace nlfit

#endif  // NLFIT_MODELS_BUILTIN_GRADIENTS_H
