// The C++ interface: any callable model, std::vector data and results.
#include <cmath>
#include <cstdio>
#include <vector>

#include <nlfit/fit.hpp>

int main() {
  std::vector<double> x, y;
  for (int i = 0; i < 20; ++i) {
    x.push_back(0.5 * i);
    y.push_back(3.0 / (1.0 + 0.25 * x.back()) + 0.01 * ((i % 3) - 1));
  }
  const double offset = 0.0;  // captured state is fine
  const nlfit::FitResult r = nlfit::fit(
      [offset](double t, const double* p) { return p[0] / (1.0 + p[1] * t) + offset; }, x, y,
      {1.0, 1.0});
  if (r.status < 0) {
    std::fprintf(stderr, "refused: %s\n", r.message.c_str());
    return 1;
  }
  std::printf("%s\n", r.message.c_str());
  std::printf("a = %.6f +/- %.6f, b = %.6f +/- %.6f, R^2 = %.6f\n", r.params[0], r.std_errors[0],
              r.params[1], r.std_errors[1], r.r_squared);
  return r.converged ? 0 : 3;
}
