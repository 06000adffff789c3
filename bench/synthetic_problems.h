// Synthetic fitting problems for the benchmarks: three model families at any
// number of points, with deterministic data (exact model values plus a small
// pseudo-random perturbation from an integer generator, so every machine gets
// the same bits).
#ifndef NLFIT_BENCH_SYNTHETIC_PROBLEMS_H
#define NLFIT_BENCH_SYNTHETIC_PROBLEMS_H

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "nlfit.h"

namespace nlfit_bench {

// y = p0 * exp(-p1 * x); fitted with 2 parameters.
inline double exponentialDecay(double x, double p0, double p1, double, double, double) {
  return p0 * std::exp(-p1 * x);
}

// y = p0 * exp(-p1 * x) + p2 * exp(-p3 * x) + p4; fitted with 5 parameters.
inline double twoExponentials(double x, double p0, double p1, double p2, double p3,
                              double p4) {
  return (p0 * std::exp(-p1 * x) + p2 * std::exp(-p3 * x)) + p4;
}

// y = (p0 + p1 * x + p2 * x^2) / (1 + p3 * x + p4 * x^2). The model takes
// five parameters; the 9-parameter benchmark fits it with four more that it
// never sees (their Jacobian columns are zero), which exercises the widest
// factorisation and the rank-deficient path of the step search.
inline double rational(double x, double p0, double p1, double p2, double p3, double p4) {
  const double x2 = x * x;
  return ((p0 + p1 * x) + p2 * x2) / ((1.0 + p3 * x) + p4 * x2);
}

struct Problem {
  std::string name;
  ModelFunction model;
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> start;  // paramCount entries
};

// Uniform in [-1, 1), from a 64-bit linear congruential generator.
inline double perturbation(std::uint64_t* state) {
  *state = *state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(*state >> 11) / 4503599627370496.0 - 1.0;  // 2^52
}

// The benchmark problem of the given family ("decay", "twoexp", "rational")
// with m points and n fitted parameters.
inline Problem syntheticProblem(const std::string& family, int m, int n) {
  Problem p;
  double truth[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  double xMax = 1.0;
  double noise = 0.0;
  if (family == "decay") {
    p.model = exponentialDecay;
    const double t[] = {5.0, 0.7};
    const double s[] = {3.0, 0.4};
    for (int j = 0; j < 2; ++j) truth[j] = t[j];
    p.start.assign(s, s + 2);
    xMax = 6.0;
    noise = 0.02;
  } else if (family == "twoexp") {
    p.model = twoExponentials;
    const double t[] = {3.0, 2.0, 1.5, 0.25, 0.5};
    const double s[] = {2.5, 1.5, 1.0, 0.2, 0.4};
    for (int j = 0; j < 5; ++j) truth[j] = t[j];
    p.start.assign(s, s + 5);
    xMax = 12.0;
    noise = 0.005;
  } else {
    p.model = rational;
    const double t[] = {1.0, 0.5, 0.2, 0.3, 0.05};
    const double s[] = {0.8, 0.4, 0.25, 0.2, 0.04};
    for (int j = 0; j < 5; ++j) truth[j] = t[j];
    p.start.assign(s, s + 5);
    xMax = 4.0;
    noise = 0.005;
  }
  // Parameters beyond the model's own are never passed to it.
  for (int j = static_cast<int>(p.start.size()); j < n; ++j) p.start.push_back(0.1 * (j + 1));
  p.start.resize(static_cast<std::size_t>(n));

  std::uint64_t state = 12345u + static_cast<std::uint64_t>(m);
  for (int i = 0; i < m; ++i) {
    const double x = (xMax * i) / (m - 1);
    p.x.push_back(x);
    p.y.push_back(p.model(x, truth[0], truth[1], truth[2], truth[3], truth[4]) +
                  noise * perturbation(&state));
  }
  p.name = family + "/m" + std::to_string(m) + "/n" + std::to_string(n);
  return p;
}

}  // namespace nlfit_bench

#endif  // NLFIT_BENCH_SYNTHETIC_PROBLEMS_H
