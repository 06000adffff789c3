// The fitting API against the plug-in: nlfit_fit without statistics against
// findLS on the same problems, and the cost of the statistics.
//
// Every benchmark iteration times a batch of findLS fits, then the same
// number of nlfit_fit fits without and with statistics, so that all three see
// the same machine load. Counters: "ratio" = nlfit_fit time / findLS time,
// "stats_ratio" = time with statistics / time without, "saved_calls" = model
// calls per fit that nlfit_fit does not make (findLS's evaluation for each
// progress line), "stats_evals" = extra residual evaluations of the
// statistics. Times are CPU time of the running thread, per fit.
#include <time.h>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_main.h"
#include "nlfit.h"
#include "nlfit/fit.h"
#include "problems.h"

namespace {

using nlfit_bench::Problem;

double threadSeconds() {
  timespec t;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct PointModel {
  ModelFunction function;
  std::size_t n;
  long calls = 0;
};

double pointModel(double x, const double* p, void* user) {
  PointModel& m = *static_cast<PointModel*>(user);
  double q[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  for (std::size_t j = 0; j < m.n && j < 5; ++j) q[j] = p[j];
  return m.function(x, q[0], q[1], q[2], q[3], q[4]);
}

double countingPointModel(double x, const double* p, void* user) {
  ++static_cast<PointModel*>(user)->calls;
  return pointModel(x, p, user);
}

long countedPluginCalls = 0;
ModelFunction countedPluginModel = nullptr;
double countingPluginModel(double x, double p0, double p1, double p2, double p3, double p4) {
  ++countedPluginCalls;
  return countedPluginModel(x, p0, p1, p2, p3, p4);
}

struct Case {
  Problem problem;
  int batch = 1;
  double savedCalls = 0.0;
  double statisticsEvaluations = 0.0;
};

void apiBenchmark(benchmark::State& state, const Case& c) {
  const Problem& p = c.problem;
  const std::size_t n = p.start.size();
  const std::size_t m = p.x.size();
  std::vector<double> params(n);
  std::vector<double> stdErrors(n), covariance(n * n);
  PointModel model{p.model, n};
  nlfit_options plain;
  nlfit_options_init(&plain);
  nlfit_options withStatistics = plain;
  withStatistics.compute_statistics = 1;

  double pluginSeconds = 0.0, apiSeconds = 0.0, statisticsSeconds = 0.0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    for (int b = 0; b < c.batch; ++b) {
      params = p.start;
      benchmark::DoNotOptimize(findLS(p.model, static_cast<int>(n), static_cast<int>(m),
                                      p.x.data(), p.y.data(), params.data()));
    }
    const double t1 = threadSeconds();
    for (int b = 0; b < c.batch; ++b) {
      params = p.start;
      benchmark::DoNotOptimize(nlfit_fit(pointModel, &model, n, params.data(), m, p.x.data(),
                                         p.y.data(), &plain, nullptr));
    }
    const double t2 = threadSeconds();
    for (int b = 0; b < c.batch; ++b) {
      params = p.start;
      nlfit_result r;
      nlfit_result_init(&r);
      r.std_errors = stdErrors.data();
      r.covariance = covariance.data();
      benchmark::DoNotOptimize(nlfit_fit(pointModel, &model, n, params.data(), m, p.x.data(),
                                         p.y.data(), &withStatistics, &r));
    }
    const double t3 = threadSeconds();
    state.SetIterationTime((t2 - t1) / c.batch);
    pluginSeconds += t1 - t0;
    apiSeconds += t2 - t1;
    statisticsSeconds += t3 - t2;
  }
  state.counters["ratio"] = apiSeconds / pluginSeconds;
  state.counters["stats_ratio"] = statisticsSeconds / apiSeconds;
  state.counters["saved_calls"] = c.savedCalls;
  state.counters["stats_evals"] = c.statisticsEvaluations;
}

void registerAll() {
  for (const Problem& p : nlfit_bench::benchmarkProblems()) {
    Case c;
    c.problem = p;
    const std::size_t n = p.start.size();
    const std::size_t m = p.x.size();
    // One counted fit of each kind.
    std::vector<double> params = p.start;
    countedPluginModel = p.model;
    countedPluginCalls = 0;
    findLS(countingPluginModel, static_cast<int>(n), static_cast<int>(m), p.x.data(),
           p.y.data(), params.data());
    PointModel counted{p.model, n};
    params = p.start;
    nlfit_options o;
    nlfit_options_init(&o);
    o.compute_statistics = 1;
    nlfit_result r;
    nlfit_result_init(&r);
    nlfit_fit(countingPointModel, &counted, n, params.data(), m, p.x.data(), p.y.data(), &o, &r);
    const long apiCalls = counted.calls - r.statistics_evaluations * static_cast<long>(m);
    c.savedCalls = static_cast<double>(countedPluginCalls - apiCalls);
    c.statisticsEvaluations = static_cast<double>(r.statistics_evaluations);
    c.batch = static_cast<int>(countedPluginCalls >= 20000 ? 1 : 20000 / countedPluginCalls);
    benchmark::RegisterBenchmark(("api/" + p.name).c_str(), apiBenchmark, c)
        ->UseManualTime()
        ->MinTime(0.25 / c.batch)
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv, registerAll); }
