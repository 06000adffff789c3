/* A complete fit through the fitting API: y = a*exp(-b*x) + c, weighted, with
 * the statistics. Build: cc fit_api_example.c $(pkg-config --cflags --libs nlfit_api) -lm */
#include <math.h>
#include <stdio.h>

#include <nlfit/fit.h>

static double decay(double x, const double *p, void *user) {
  (void)user;
  return p[0] * exp(-p[1] * x) + p[2];
}

int main(void) {
  const double x[] = {0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0, 4.5};
  const double y[] = {5.98, 4.27, 3.17, 2.33, 1.84, 1.44, 1.22, 1.06, 0.96, 0.87};
  double sigma[10];
  for (int i = 0; i < 10; ++i) sigma[i] = 0.05;
  double p[3] = {5.0, 1.0, 0.0}; /* starting values, then the result */

  nlfit_options options;
  nlfit_options_init(&options);
  options.sigma = sigma;
  options.absolute_sigma = 1;
  options.compute_statistics = 1;

  double se[3], low[3], high[3], correlation[9];
  nlfit_result result;
  nlfit_result_init(&result);
  result.std_errors = se;
  result.ci_low = low;
  result.ci_high = high;
  result.correlation = correlation;

  const int status = nlfit_fit(decay, NULL, 3, p, 10, x, y, &options, &result);
  if (status < 0) {
    fprintf(stderr, "refused: %s\n", nlfit_status_message(status));
    return 1;
  }
  printf("%s (%s)\n", nlfit_status_message(status), result.converged ? "converged" : "not converged");
  for (int j = 0; j < 3; ++j) {
    printf("p%d = %.6f +/- %.6f  [%.6f, %.6f]\n", j, p[j], se[j], low[j], high[j]);
  }
  printf("chi2 = %.4f, dof = %lld, reduced chi2 = %.4f, R^2 = %.6f\n", result.rss,
         (long long)result.dof, result.reduced_chi2, result.r_squared);
  printf("correlation(a, b) = %.4f\n", correlation[0 * 3 + 1]);
  return result.converged ? 0 : 3;
}
