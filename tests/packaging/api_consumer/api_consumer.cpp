// A C++ program outside the project that uses the installed fitting API: a
// model with state (a capturing lambda behind the C callback), weights, a
// progress callback that counts iterations, and a refusal whose message it
// prints. Exits 0 only when everything holds.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <nlfit/fit.h>

namespace {

struct Rational {
  double offset;
  double operator()(double x, const double* p) const { return p[0] / (1.0 + p[1] * x) + offset; }
};

double callRational(double x, const double* p, void* user) {
  return (*static_cast<const Rational*>(user))(x, p);
}

int countIterations(std::int64_t, double norm, const double*, std::size_t, void* user) {
  if (!std::isfinite(norm)) return 1;
  ++*static_cast<int*>(user);
  return 0;
}

}  // namespace

int main() {
  const Rational model{0.5};
  const double truth[2] = {4.0, 0.5};
  std::vector<double> x, y, sigma;
  for (int i = 0; i < 20; ++i) {
    x.push_back(0.25 * i);
    y.push_back(model(x.back(), truth));
    sigma.push_back(0.1 + 0.01 * i);
  }

  nlfit_options options;
  nlfit_options_init(&options);
  options.sigma = sigma.data();
  int iterations = 0;
  options.progress = countIterations;
  options.progress_user = &iterations;
  nlfit_result result{};
  std::vector<double> params = {1.0, 0.1};
  const int status = nlfit_fit(callRational, const_cast<Rational*>(&model), params.size(),
                               params.data(), x.size(), x.data(), y.data(), &options, &result);
  if (!result.converged || iterations < 1 || iterations != result.iterations ||
      std::fabs(params[0] - truth[0]) > 1e-8 * truth[0] ||
      std::fabs(params[1] - truth[1]) > 1e-8 * truth[1]) {
    std::fprintf(stderr, "api consumer (C++): status %d (%s), %d iterations, (%.17g, %.17g)\n",
                 status, nlfit_status_message(status), iterations, params[0], params[1]);
    return 1;
  }

  // m < n: refused, parameters untouched.
  std::vector<double> kept = {1.0, 0.1};
  const int refused = nlfit_fit(callRational, const_cast<Rational*>(&model), kept.size(),
                                kept.data(), 1, x.data(), y.data(), nullptr, nullptr);
  if (refused != NLFIT_REFUSED_COUNTS || kept[0] != 1.0 || kept[1] != 0.1) {
    std::fprintf(stderr, "api consumer (C++): one point for two parameters gave %d\n", refused);
    return 1;
  }
  std::printf("api consumer (C++): %s in %d iterations; with one point: %s\n",
              nlfit_status_name(status), iterations, nlfit_status_message(refused));
  return 0;
}
