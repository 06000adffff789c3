/* Fits a line through the fitting API of a parent project's build. */
#include <math.h>
#include <stdio.h>

#include <nlfit/fit.h>

static double line(double x, const double *p, void *user) {
  (void)user;
  return p[0] + p[1] * x;
}

int main(void) {
  const double x[4] = {0, 1, 2, 3}, y[4] = {1, 3, 5, 7};
  double p[2] = {0, 0};
  const int status = nlfit_fit(line, NULL, 2, p, 4, x, y, NULL, NULL);
  if (status <= 0 || fabs(p[0] - 1.0) > 1e-9 || fabs(p[1] - 2.0) > 1e-9) {
    fprintf(stderr, "parent project: status %d, p = %g %g\n", status, p[0], p[1]);
    return 1;
  }
  printf("parent project: fitted through nlfit %d\n", nlfit_version());
  return 0;
}
