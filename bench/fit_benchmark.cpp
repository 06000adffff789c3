// Whole fits through the exported findLS, each next to its model-only
// baseline.
//
// Before a case is timed, one untimed fit runs through a counting wrapper
// around the model. It records how many residual evaluations and progress
// lines the fit makes, and the parameter vector of every evaluation. The
// baseline then replays exactly those model calls, over the same abscissae,
// through an opaque function pointer: it is the work that no fit can avoid.
//
// Every benchmark iteration times a batch of fits and then the same number of
// replays, so both halves of the ratio see the same machine load; "ratio" is
// fit time divided by model-only time, summed over the iterations. Small
// problems are batched so that one timed interval holds some 20000 model
// calls. Times are CPU time of the running thread (a wall clock on a machine
// shared with other jobs mostly measures the other jobs); the reported time
// is per fit.
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_main.h"
#include "nlfit.h"
#include "problems.h"

namespace {

using nlfit_bench::Problem;
using ParamVector = std::array<double, 5>;

// What the counting run of one case found out.
struct FitProfile {
  int evaluations = 0;    // residual evaluations (counted and progress)
  int progressLines = 0;  // "fnorm" lines printed
  std::vector<ParamVector> evaluatedAt;  // parameters of each evaluation
};

// The counting wrapper: the model of the case being profiled, the point
// count, and what has been seen so far.
ModelFunction countedModel = nullptr;
int countedPoints = 0;
long countedCalls = 0;
std::vector<ParamVector>* countedParams = nullptr;

double countingModel(double x, double p0, double p1, double p2, double p3, double p4) {
  if (countedCalls % countedPoints == 0) countedParams->push_back({p0, p1, p2, p3, p4});
  ++countedCalls;
  return countedModel(x, p0, p1, p2, p3, p4);
}

// Runs one fit through the counting wrapper, with the library's standard
// output sent to a temporary file whose lines are then counted.
FitProfile profileFit(const Problem& problem) {
  FitProfile profile;
  countedModel = problem.model;
  countedPoints = static_cast<int>(problem.x.size());
  countedCalls = 0;
  countedParams = &profile.evaluatedAt;

  std::FILE* capture = std::tmpfile();
  std::fflush(stdout);
  const int savedFd = ::dup(STDOUT_FILENO);
  ::dup2(::fileno(capture), STDOUT_FILENO);

  std::vector<double> params = problem.start;
  findLS(countingModel, static_cast<int>(params.size()), countedPoints, problem.x.data(),
         problem.y.data(), params.data());

  std::fflush(stdout);
  ::dup2(savedFd, STDOUT_FILENO);
  ::close(savedFd);
  std::rewind(capture);
  for (int c; (c = std::fgetc(capture)) != EOF;) {
    if (c == '\n') ++profile.progressLines;
  }
  std::fclose(capture);

  profile.evaluations = static_cast<int>(countedCalls / countedPoints);
  countedParams = nullptr;
  return profile;
}

// The model calls of one fit, without the fit.
void replayModelCalls(ModelFunction model, const std::vector<double>& x,
                      const std::vector<ParamVector>& evaluatedAt, double* out) {
  benchmark::DoNotOptimize(model);  // an opaque pointer, as the library sees it
  const std::size_t m = x.size();
  for (const ParamVector& p : evaluatedAt) {
    for (std::size_t i = 0; i < m; ++i) out[i] = model(x[i], p[0], p[1], p[2], p[3], p[4]);
    benchmark::ClobberMemory();
  }
}

// CPU time of this thread, in seconds.
double threadSeconds() {
  timespec t;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A problem with what its counting run found, and the number of fits per
// timed interval.
struct Case {
  Problem problem;
  FitProfile profile;
  int batch = 1;
};

void fitBenchmark(benchmark::State& state, const Case& c) {
  const Problem& problem = c.problem;
  const FitProfile& profile = c.profile;
  const int batch = c.batch;
  const int n = static_cast<int>(problem.start.size());
  const int m = static_cast<int>(problem.x.size());
  std::vector<double> params(problem.start.size());
  std::vector<double> replayOut(problem.x.size());

  double fitSeconds = 0.0;
  double modelSeconds = 0.0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    for (int b = 0; b < batch; ++b) {
      params = problem.start;
      const double status = findLS(problem.model, n, m, problem.x.data(), problem.y.data(),
                                   params.data());
      benchmark::DoNotOptimize(status);
    }
    const double t1 = threadSeconds();
    for (int b = 0; b < batch; ++b) {
      replayModelCalls(problem.model, problem.x, profile.evaluatedAt, replayOut.data());
    }
    const double t2 = threadSeconds();

    state.SetIterationTime((t1 - t0) / batch);
    fitSeconds += t1 - t0;
    modelSeconds += t2 - t1;
  }

  const double iterations = static_cast<double>(state.iterations());
  state.counters["ratio"] = fitSeconds / modelSeconds;
  state.counters["model_us"] = 1e6 * modelSeconds / (iterations * batch);
  state.counters["evals"] = profile.evaluations;
  state.counters["lines"] = profile.progressLines;
}

void registerAll() {
  for (const Problem& p : nlfit_bench::benchmarkProblems()) {
    Case c;
    c.problem = p;
    c.profile = profileFit(p);
    const long callsPerFit = static_cast<long>(c.profile.evaluations) * static_cast<long>(p.x.size());
    c.batch = static_cast<int>(callsPerFit >= 20000 ? 1 : 20000 / callsPerFit);
    // The reported time is per fit; the minimum time, counted in it, is
    // shortened by the batch so that every case runs about as long.
    benchmark::RegisterBenchmark(("fit/" + p.name).c_str(), fitBenchmark, c)
        ->UseManualTime()
        ->MinTime(0.25 / c.batch)
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv, registerAll); }
