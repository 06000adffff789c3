/* The public header used from C99: compiled as C with every warning an error
 * and linked against the shared library, this program fits a line and checks
 * the status, the fitted parameters and theModelFct. Exit status 0 on
 * success. */
#include <math.h>
#include <stdio.h>

#include "nlfit.h"

static double line(double x, double p0, double p1, double p2, double p3, double p4) {
  (void)p2;
  (void)p3;
  (void)p4;
  return p0 + p1 * x;
}

static int failures = 0;

static void check(int condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "c_header_test: %s\n", what);
    ++failures;
  }
}

int main(void) {
  const double x[] = {0.0, 1.0, 2.0, 3.0, 4.0};
  const double y[] = {1.0, 3.0, 5.0, 7.0, 9.0};
  double params[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  ModelFunction model = line;
  double status;

  status = findLS(model, 2, 5, x, y, params);
  check(status == 0.0, "findLS did not return 0.0");
  check(fabs(params[0] - 1.0) < 1e-12 && fabs(params[1] - 2.0) < 1e-12, "line not recovered");
  check(fabs(theModelFct(10.0, params, 2) - 21.0) < 1e-10, "theModelFct disagrees with the fit");
  check(findLS(model, 10, 5, x, y, params) == 1.0, "10 parameters not refused");
  check(NLFIT_VERSION_MAJOR >= 1, "version macros missing");
  return failures == 0 ? 0 : 1;
}
