// The 2-D spot problem shared by the spot benchmark and its profiling
// program: a round 2-D Gaussian, 5 parameters (a, x0, y0, sigma, c) on 5x5
// pixels, amplitude 500, width 1, background 10, each spot's centre within
// +-0.5 px of the middle pixel, noise of Poisson size (a Gaussian of
// variance mu, from the benchmark's own generator). Starts are the truth
// times 1 +- 10 %, the centre +-0.2 px; reduction and step tolerances 1e-4;
// no statistics. run 0 = the catalogue gaussian2d with difference
// derivatives, 1 = its exact derivatives, 2 = the same model as a formula of
// two predictors (exact derivatives through dual numbers).
#ifndef NLFIT_BENCH_SPOTS_PROBLEM_H
#define NLFIT_BENCH_SPOTS_PROBLEM_H

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "nlfit/fit.h"

namespace nlfit_spots {

constexpr std::size_t kN = 5;
constexpr std::size_t kSide = 5;
constexpr std::size_t kPoints = kSide * kSide;
constexpr std::size_t kSpots = 4000;  // per timed call: some 0.05-0.2 s at one thread

// xorshift64*, uniform in [0, 1).
inline double uniform(std::uint64_t* s) {
  *s ^= *s >> 12;
  *s ^= *s << 25;
  *s ^= *s >> 27;
  return static_cast<double>((*s * 2685821657736338717ULL) >> 11) * 0x1.0p-53;
}

inline double gaussian(std::uint64_t* s) {
  const double u = uniform(s) + 0x1.0p-54;
  return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * uniform(s));
}

struct SpotData {
  std::vector<double> x;      // kPoints*2, row-major (u, v) per pixel
  std::vector<double> y;      // K*kPoints
  std::vector<double> truth;  // K*kN
  std::vector<double> start;  // K*kN
};

inline const SpotData& spots() {
  static const SpotData s = [] {
    SpotData out;
    std::uint64_t state = 20261209;
    for (std::size_t v = 0; v < kSide; ++v) {
      for (std::size_t u = 0; u < kSide; ++u) {
        out.x.push_back(static_cast<double>(u));
        out.x.push_back(static_cast<double>(v));
      }
    }
    const double middle = 0.5 * static_cast<double>(kSide - 1);
    for (std::size_t k = 0; k < kSpots; ++k) {
      const double p[kN] = {500.0, middle + uniform(&state) - 0.5, middle + uniform(&state) - 0.5, 1.0, 10.0};
      for (std::size_t i = 0; i < kPoints; ++i) {
        const double du = out.x[2 * i] - p[1];
        const double dv = out.x[2 * i + 1] - p[2];
        const double mu = p[0] * std::exp(-(du * du + dv * dv) / (2.0 * p[3] * p[3])) + p[4];
        out.y.push_back(mu + std::sqrt(mu) * gaussian(&state));
      }
      for (std::size_t j = 0; j < kN; ++j) {
        out.truth.push_back(p[j]);
        const double off = (j == 1 || j == 2) ? 0.4 * (uniform(&state) - 0.5) : p[j] * 0.2 * (uniform(&state) - 0.5);
        out.start.push_back(p[j] + off);
      }
    }
    return out;
  }();
  return s;
}

struct ModelFree {
  void operator()(nlfit_model* m) const { nlfit_model_free(m); }
};
using ModelPtr = std::unique_ptr<nlfit_model, ModelFree>;

inline ModelPtr makeModel(int run) {
  if (run < 2) return ModelPtr(nlfit_model_builtin("gaussian2d"));
  static const char* const predictors[] = {"u", "v"};
  static const char* const names[] = {"a", "u0", "v0", "s", "c"};
  char error[256];
  return ModelPtr(nlfit_model_formula_predictors("a*exp(-((u-u0)^2+(v-v0)^2)/(2*s^2))+c", predictors, 2, names, 5,
                                                 error, sizeof error));
}

inline nlfit_options fitOptions(int run) {
  nlfit_options o;
  nlfit_options_init(&o);
  o.reduction_tolerance = 1e-4;
  o.step_tolerance = 1e-4;
  o.derivatives = run == 0 ? NLFIT_DERIVATIVES_NUMERIC : NLFIT_DERIVATIVES_EXACT;
  return o;
}

}  // namespace nlfit_spots

#endif  // NLFIT_BENCH_SPOTS_PROBLEM_H
