/* Times nlfit_fit_many from C on a batch written by bench/python_bench.py:
 *
 *   nlfit_fit_many_timing MODEL DIR K M N THREADS REPEATS
 *
 * DIR holds x.f64 (M doubles), y.f64 (K*M) and p0.f64 (N), raw native
 * doubles. Prints one line per repeat: "seconds S", then "checksum C", the
 * sum of the fitted parameters of the last repeat.
 */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "nlfit/fit.h"

static double *read_doubles(const char *dir, const char *name, size_t count) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE *file = fopen(path, "rb");
  double *values = malloc(count * sizeof *values);
  if (!file || !values || fread(values, sizeof *values, count, file) != count) {
    fprintf(stderr, "cannot read %zu doubles from %s\n", count, path);
    exit(2);
  }
  fclose(file);
  return values;
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

int main(int argc, char **argv) {
  if (argc != 8) {
    fprintf(stderr, "usage: %s MODEL DIR K M N THREADS REPEATS\n", argv[0]);
    return 2;
  }
  size_t K = strtoull(argv[3], NULL, 10), m = strtoull(argv[4], NULL, 10);
  size_t n = strtoull(argv[5], NULL, 10);
  int threads = atoi(argv[6]), repeats = atoi(argv[7]);
  char error[256] = "";
  nlfit_model *model = nlfit_model_builtin(argv[1]);
  if (!model) model = nlfit_model_formula(argv[1], NULL, 0, error, sizeof error);
  if (!model) {
    fprintf(stderr, "bad model %s: %s\n", argv[1], error);
    return 2;
  }
  nlfit_batch_data data;
  nlfit_batch_data_init(&data);
  data.curves = K;
  data.points = m;
  data.x = read_doubles(argv[2], "x.f64", m);
  data.y = read_doubles(argv[2], "y.f64", K * m);
  data.start = read_doubles(argv[2], "p0.f64", n);
  nlfit_batch_options options;
  nlfit_batch_options_init(&options);
  options.threads = threads;
  nlfit_options fit;
  nlfit_options_init(&fit);
  fit.compute_statistics = 1;
  options.fit = &fit;
  nlfit_batch_outputs out;
  nlfit_batch_outputs_init(&out);
  out.params = malloc(K * n * sizeof(double));
  out.status = malloc(K * sizeof(int));
  out.converged = malloc(K);
  out.rss = malloc(K * sizeof(double));
  out.evaluations = malloc(K * sizeof(int64_t));
  out.std_errors = malloc(K * n * sizeof(double));
  if (!out.params || !out.status || !out.converged || !out.rss || !out.evaluations ||
      !out.std_errors)
    return 2;
  for (int r = 0; r < repeats; ++r) {
    double start = now();
    int code = nlfit_fit_many(model, NULL, NULL, n, &data, &options, &out);
    double seconds = now() - start;
    if (code != 0) {
      fprintf(stderr, "nlfit_fit_many returned %d\n", code);
      return 1;
    }
    printf("seconds %.6f\n", seconds);
    fflush(stdout);
  }
  double checksum = 0.0;
  for (size_t i = 0; i < K * n; ++i) checksum += out.params[i];
  printf("checksum %.17g\n", checksum);
  nlfit_model_free(model);
  return 0;
}
