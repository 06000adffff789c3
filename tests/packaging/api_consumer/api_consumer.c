/* A C program outside the project that uses the installed fitting API: it
 * fits y = a exp(-b x) + c to twelve exact observations with c held, asks
 * for the statistics, and exits 0 only when the fit converged onto the
 * parameters that made the data and the statistics are consistent. */
#include <math.h>
#include <stdio.h>

#include <nlfit/fit.h>

#if NLFIT_FIT_VERSION_MAJOR != 2
#error "this consumer is written for the nlfit fitting API 2.x"
#endif

static double decay(double x, const double *p, void *user) {
  (void)user;
  return p[0] * exp(-p[1] * x) + p[2];
}

static int near(double actual, double expected) {
  return fabs(actual - expected) <= 1e-8 * fabs(expected);
}

int main(void) {
  enum { kPoints = 12, kParams = 3 };
  const double truth[kParams] = {5.0, 0.25, 1.0};
  const unsigned char held[kParams] = {0, 0, 1};
  double x[kPoints];
  double y[kPoints];
  double params[kParams] = {4.0, 0.2, 1.0};
  double std_errors[kParams];
  unsigned flags[kParams];
  nlfit_options options;
  nlfit_result result;
  int status;
  int i;

  for (i = 0; i < kPoints; ++i) {
    x[i] = 0.5 * i;
    y[i] = decay(x[i], truth, NULL);
  }
  if (nlfit_version() / 10000 != NLFIT_FIT_VERSION_MAJOR ||
      nlfit_version() < NLFIT_FIT_VERSION_NUMBER) {
    fprintf(stderr, "api consumer (C): library version %d, headers %d\n", nlfit_version(),
            NLFIT_FIT_VERSION_NUMBER);
    return 1;
  }
  nlfit_options_init(&options);
  nlfit_result_init(&result);
  options.held = held;
  options.compute_statistics = 1;
  result.std_errors = std_errors;
  result.parameter_flags = flags;

  status = nlfit_fit(decay, NULL, kParams, params, kPoints, x, y, &options, &result);
  if (status != result.status || !result.converged) {
    fprintf(stderr, "api consumer (C): status %d (%s), converged %d\n", status,
            nlfit_status_message(status), result.converged);
    return 1;
  }
  if (!near(params[0], truth[0]) || !near(params[1], truth[1]) || params[2] != truth[2]) {
    fprintf(stderr, "api consumer (C): fitted (%.17g, %.17g, %.17g)\n", params[0], params[1],
            params[2]);
    return 1;
  }
  if (result.dof != kPoints - 2 || !(flags[2] & NLFIT_PARAM_HELD) || std_errors[2] != 0.0 ||
      !(std_errors[0] >= 0.0) || !(std_errors[1] >= 0.0)) {
    fprintf(stderr, "api consumer (C): dof %lld, flags %u, standard errors %g %g %g\n",
            (long long)result.dof, flags[2], std_errors[0], std_errors[1], std_errors[2]);
    return 1;
  }
  printf("api consumer (C): nlfit fitting API %d.%d.%d, %s a = %.12g, b = %.12g in %lld evaluations\n",
         NLFIT_FIT_VERSION_MAJOR, NLFIT_FIT_VERSION_MINOR, NLFIT_FIT_VERSION_PATCH,
         nlfit_status_name(status), params[0], params[1], (long long)result.evaluations);
  return 0;
}
