// Batch fits of small 2-D Gaussian spots (nlfit_fit_many with a model of two
// predictors): the image-scale workload.
//
// The problem and the three runs: spots_problem.h.
//
// Spots/<run>/<threads>: one iteration fits K spots with nlfit_fit_many on
// that many threads (wall clock). run 0 = the catalogue gaussian2d with
// difference derivatives, 1 = its exact derivatives, 2 = the same model as a
// formula of two predictors (exact derivatives through dual numbers).
// Counters: fits_per_s (per thread: divide by the thread count), evals and
// jacobians per fit (the batch's own counts, over all K spots) and agree,
// the fraction of fits whose parameters lie within 1e-3 relative of a fit of
// the same spot started from the truth.
//
// Ratio: one iteration times run 0, 1 and 2 back to back at one thread, so
// all three see the same machine load, in the thread's CPU time (on a shared
// machine wall time mostly measures the other jobs); exact_vs_numeric =
// fits/s of (b) / (a), formula_vs_exact = time of (c) / (b).
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bench_main.h"
#include "nlfit/fit.h"
#include "spots_problem.h"

namespace {

using namespace nlfit_spots;

struct Outputs {
  std::vector<double> params = std::vector<double>(kSpots * kN);
  std::vector<int> status = std::vector<int>(kSpots);
  std::vector<unsigned char> converged = std::vector<unsigned char>(kSpots);
  std::vector<int64_t> evaluations = std::vector<int64_t>(kSpots);
  std::vector<int64_t> jacobians = std::vector<int64_t>(kSpots);
};

double threadSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Wall seconds of the batch; *cpu (if not null) the calling thread's CPU
// seconds.
double fitMany(const nlfit_model* model, int run, int threads, const std::vector<double>& starts, Outputs* out,
               double* cpu = nullptr) {
  const SpotData& s = spots();
  const nlfit_options fit = fitOptions(run);
  nlfit_batch_options options;
  nlfit_batch_options_init(&options);
  options.fit = &fit;
  options.threads = threads;
  nlfit_batch_data data;
  nlfit_batch_data_init(&data);
  data.curves = kSpots;
  data.points = kPoints;
  data.x = s.x.data();
  data.y = s.y.data();
  data.start = starts.data();
  data.start_per_curve = 1;
  data.predictors = 2;
  nlfit_batch_outputs outputs;
  nlfit_batch_outputs_init(&outputs);
  outputs.params = out->params.data();
  outputs.status = out->status.data();
  outputs.converged = out->converged.data();
  outputs.evaluations = out->evaluations.data();
  outputs.jacobian_evaluations = out->jacobians.data();
  const double c0 = threadSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  const int status = nlfit_fit_many(model, nullptr, nullptr, kN, &data, &options, &outputs);
  const auto t1 = std::chrono::steady_clock::now();
  if (cpu != nullptr) *cpu = threadSeconds() - c0;
  if (status != 0) throw std::runtime_error("nlfit_fit_many refused the batch");
  benchmark::DoNotOptimize(out->params.data());
  return std::chrono::duration<double>(t1 - t0).count();
}

double agreement(const Outputs& fitted, const Outputs& reference) {
  std::size_t agree = 0;
  for (std::size_t k = 0; k < kSpots; ++k) {
    bool ok = fitted.converged[k] != 0 && reference.converged[k] != 0;
    for (std::size_t j = 0; ok && j < kN; ++j) {
      const double r = reference.params[k * kN + j];
      ok = std::fabs(fitted.params[k * kN + j] - r) <= 1e-3 * std::fabs(r);
    }
    agree += ok ? 1 : 0;
  }
  return static_cast<double>(agree) / static_cast<double>(kSpots);
}

double mean(const std::vector<int64_t>& counts) {
  int64_t sum = 0;
  for (int64_t c : counts) sum += c;
  return static_cast<double>(sum) / static_cast<double>(counts.size());
}

void Spots(benchmark::State& state) {
  const int run = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  const ModelPtr model = makeModel(run);
  if (!model) throw std::runtime_error("no gaussian2d model");
  Outputs out;
  Outputs reference;
  fitMany(model.get(), run, 1, spots().truth, &reference);
  double total = 0.0;
  for (auto _ : state) {
    const double t = fitMany(model.get(), run, threads, spots().start, &out);
    total += t;
    state.SetIterationTime(t);
  }
  state.counters["fits_per_s"] = static_cast<double>(state.iterations()) * kSpots / total;
  state.counters["evals"] = mean(out.evaluations);
  state.counters["jacobians"] = mean(out.jacobians);
  state.counters["agree"] = agreement(out, reference);
}

void Ratio(benchmark::State& state) {
  ModelPtr models[3] = {makeModel(0), makeModel(1), makeModel(2)};
  Outputs out;
  double seconds[3] = {0.0, 0.0, 0.0};
  for (auto _ : state) {
    double sum = 0.0;
    for (int run = 0; run < 3; ++run) {
      double t = 0.0;
      fitMany(models[run].get(), run, 1, spots().start, &out, &t);
      seconds[run] += t;
      sum += t;
    }
    state.SetIterationTime(sum);
  }
  state.counters["exact_vs_numeric"] = seconds[0] / seconds[1];
  state.counters["formula_vs_exact"] = seconds[2] / seconds[1];
}

BENCHMARK(Spots)
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->ArgNames({"run", "threads"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Ratio)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv, nullptr); }
