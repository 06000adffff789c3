/* The same fit as the Python package makes, straight through the C API, for
 * the bit-for-bit tests. Reads from standard input, numbers as C99 hex floats
 * (strtod reads them exactly):
 *
 *   line 1: the model: a catalogue name or formula, or "c:rational" for the
 *           vector-form model a / (1 + b*x) written here in C
 *   line 2: m, then m x values      line 3: m y values
 *   line 4: n, then n starting values
 *   line 5: "-" or m sigma values   line 6: absolute_sigma (0 or 1)
 *
 * Prints "status S", "converged C", "iterations I", "evaluations E",
 * "rss R", "reduced_chi2 R", "r_squared R" and the lines "params", "std_errors",
 * "covariance" with their values, all numbers in %a.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "nlfit/fit.h"

static int rational(const double *p, const double *x, size_t m, double *values, void *user) {
  (void)user;
  for (size_t i = 0; i < m; ++i) values[i] = p[0] / (1.0 + p[1] * x[i]);
  return 0;
}

static int read_values(double *out, size_t count) {
  char word[64];
  for (size_t i = 0; i < count; ++i) {
    if (scanf("%63s", word) != 1) return 0;
    out[i] = strtod(word, NULL);
  }
  return 1;
}

static void print_values(const char *name, const double *values, size_t count) {
  printf("%s", name);
  for (size_t i = 0; i < count; ++i) printf(" %a", values[i]);
  printf("\n");
}

int main(void) {
  char model_text[4096];
  if (!fgets(model_text, sizeof model_text, stdin)) return 2;
  model_text[strcspn(model_text, "\n")] = '\0';
  size_t m = 0, n = 0;
  if (scanf("%zu", &m) != 1) return 2;
  double *x = malloc(m * sizeof *x), *y = malloc(m * sizeof *y), *sigma = malloc(m * sizeof *sigma);
  if (!x || !y || !sigma || !read_values(x, m) || !read_values(y, m)) return 2;
  if (scanf("%zu", &n) != 1 || n == 0) return 2;
  double *params = malloc(n * sizeof *params), *errors = malloc(n * sizeof *errors);
  double *covariance = malloc(n * n * sizeof *covariance);
  if (!params || !errors || !covariance || !read_values(params, n)) return 2;
  char word[64];
  int has_sigma = 0, absolute = 0;
  if (scanf("%63s", word) != 1) return 2;
  if (strcmp(word, "-") != 0) {
    sigma[0] = strtod(word, NULL);
    if (!read_values(sigma + 1, m - 1)) return 2;
    has_sigma = 1;
  }
  if (scanf("%d", &absolute) != 1) return 2;

  nlfit_options options;
  nlfit_options_init(&options);
  options.sigma = has_sigma ? sigma : NULL;
  options.absolute_sigma = absolute;
  options.compute_statistics = 1;
  nlfit_result result;
  nlfit_result_init(&result);
  result.std_errors = errors;
  result.covariance = covariance;
  int status;
  if (strcmp(model_text, "c:rational") == 0) {
    status = nlfit_fit_vectorized(rational, NULL, n, params, m, x, y, &options, &result);
  } else {
    char error[256];
    nlfit_model *model = nlfit_model_builtin(model_text);
    if (!model) model = nlfit_model_formula(model_text, NULL, 0, error, sizeof error);
    if (!model) {
      fprintf(stderr, "bad model: %s\n", error);
      return 2;
    }
    status = nlfit_fit_model(model, n, params, m, x, y, &options, &result);
    nlfit_model_free(model);
  }
  printf("status %d\nconverged %d\niterations %lld\nevaluations %lld\n", status,
         result.converged, (long long)result.iterations, (long long)result.evaluations);
  printf("rss %a\nreduced_chi2 %a\nr_squared %a\n", result.rss, result.reduced_chi2,
         result.r_squared);
  print_values("params", params, n);
  print_values("std_errors", errors, n);
  print_values("covariance", covariance, n * n);
  free(x), free(y), free(sigma), free(params), free(errors), free(covariance);
  return 0;
}
