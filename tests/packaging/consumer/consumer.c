/* A program outside the project: it includes the installed header and links
 * the installed shared library, as a C user of the package would. It fits
 * y = p0 / (1 + p1 x) to five exact observations and exits 0 only when the
 * fit reports status 0.0 and lands on the parameters that made the data. */
#include <stdio.h>

#include <nlfit.h>

#if NLFIT_VERSION_MAJOR != 1
#error "this consumer is written for nlfit 1.x"
#endif

static double rational(double x, double p0, double p1, double p2, double p3,
                       double p4) {
  (void)p2;
  (void)p3;
  (void)p4;
  return p0 / (1.0 + p1 * x);
}

static int near(double actual, double expected) {
  const double diff = actual > expected ? actual - expected : expected - actual;
  return diff <= 1e-8 * (expected < 0.0 ? -expected : expected);
}

int main(void) {
  enum { kPoints = 5 };
  const double truth[2] = {4.0, 0.5};
  double x[kPoints];
  double y[kPoints];
  double params[2] = {1.0, 0.1};
  double five[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  double status;
  int i;

  for (i = 0; i < kPoints; ++i) {
    x[i] = (double)i;
    y[i] = rational(x[i], truth[0], truth[1], 0.0, 0.0, 0.0);
  }

  status = findLS(rational, 2, kPoints, x, y, params);
  if (status != 0.0) {
    fprintf(stderr, "consumer: findLS returned %g, expected 0\n", status);
    return 1;
  }
  if (!near(params[0], truth[0]) || !near(params[1], truth[1])) {
    fprintf(stderr, "consumer: fitted (%.17g, %.17g), expected (%g, %g)\n",
            params[0], params[1], truth[0], truth[1]);
    return 1;
  }
  five[0] = params[0];
  five[1] = params[1];
  if (!near(theModelFct(2.0, five, 2), 2.0)) {
    fprintf(stderr, "consumer: theModelFct(2) = %.17g, expected 2\n",
            theModelFct(2.0, five, 2));
    return 1;
  }
  printf("consumer: nlfit %d.%d.%d fitted p0 = %.12g, p1 = %.12g\n",
         NLFIT_VERSION_MAJOR, NLFIT_VERSION_MINOR, NLFIT_VERSION_PATCH,
         params[0], params[1]);
  return 0;
}
