// A C++ program outside the project that uses the installed fitting API
// through nlfit/fit.hpp: a capturing lambda as the model, weights, a progress
// callback that counts iterations, the statistics, an exception thrown by the
// model and rethrown, and a refusal with its message. Exits 0 only when
// everything holds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include <nlfit/fit.hpp>

int main() {
  const double offset = 0.5;
  const auto rational = [offset](double x, const double* p) {
    return p[0] / (1.0 + p[1] * x) + offset;
  };
  const double truth[2] = {4.0, 0.5};
  std::vector<double> x, y;
  nlfit::FitOptions options;
  for (int i = 0; i < 20; ++i) {
    x.push_back(0.25 * i);
    y.push_back(rational(x.back(), truth));
    options.sigma.push_back(0.1 + 0.01 * i);
  }
  int iterations = 0;
  options.progress = [&iterations](std::int64_t, double, const std::vector<double>&) {
    ++iterations;
    return false;
  };

  const nlfit::FitResult r = nlfit::fit(rational, x, y, {1.0, 0.1}, options);
  if (!r.converged || iterations < 1 || iterations != r.iterations || r.params.size() != 2 ||
      std::fabs(r.params[0] - truth[0]) > 1e-8 * truth[0] ||
      std::fabs(r.params[1] - truth[1]) > 1e-8 * truth[1] || r.std_errors.size() != 2 ||
      !(r.std_errors[0] >= 0.0)) {
    std::fprintf(stderr, "api consumer (C++): status %d (%s), %d iterations\n", r.status,
                 r.message.c_str(), iterations);
    return 1;
  }

  // The model's exception comes back out of nlfit::fit.
  bool rethrown = false;
  try {
    nlfit::fit([](double, const double*) -> double { throw std::runtime_error("model"); }, x, y,
               {1.0, 0.1});
  } catch (const std::runtime_error&) {
    rethrown = true;
  }
  // One point for two parameters: refused, with its message.
  const nlfit::FitResult refused =
      nlfit::fit(rational, x.data(), y.data(), 1, {1.0, 0.1}, nlfit::FitOptions());
  if (!rethrown || refused.status != NLFIT_REFUSED_COUNTS || refused.message.empty()) {
    std::fprintf(stderr, "api consumer (C++): rethrown %d, one point gave %d\n", rethrown,
                 refused.status);
    return 1;
  }
  std::printf("api consumer (C++): %s in %d iterations; with one point: %s\n",
              nlfit_status_name(r.status), iterations, refused.message.c_str());
  return 0;
}
