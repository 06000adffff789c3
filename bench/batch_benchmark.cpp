// Batch fits (nlfit_fit_many) through the fitting API library.
//
// Scaling/m: one benchmark iteration times, one after another so that all
// four see the same machine load,
//   - nlfit_fit_many over K curves with 1 thread, then with 2 threads;
//   - the same model calls without any fitting (the evaluations the batch
//     made, times m, split evenly over 1 thread, then over 2 threads, each a
//     std::thread of its own), which is the most a parallel loop over this
//     model can gain on this machine.
// Counters: fit_scaling = fit time at 1 thread / at 2 threads, loop_scaling
// the same for the model-only loop, and ratio = fit_scaling / loop_scaling
// (1 = the batch scales as well as the trivially parallel loop).
//
// PerCurve/m: one iteration times nlfit_fit_many with 1 thread over K curves
// and one nlfit_fit call per curve over the same K curves; ratio = batch time
// / one-by-one time (1 = the batch path costs nothing extra).
//
// Times are wall-clock (threads are what is measured); reported per curve.
// The model is two exponentials plus an offset (5 parameters) at m = 64 and
// m = 1000 points; every curve has its own small perturbation of the data.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench_main.h"
#include "nlfit/fit.h"
#include "synthetic_problems.h"

namespace {

constexpr std::size_t kN = 5;

double twoExpPoint(double x, const double* p, void*) {
  return nlfit_bench::twoExponentials(x, p[0], p[1], p[2], p[3], p[4]);
}

struct Batch {
  std::size_t curves = 0;
  std::size_t points = 0;
  std::vector<double> x;      // m, shared
  std::vector<double> y;      // K*m
  std::vector<double> start;  // n, shared
};

Batch makeBatch(std::size_t points, std::size_t curves) {
  const nlfit_bench::Problem p = nlfit_bench::syntheticProblem("twoexp", static_cast<int>(points), 5);
  Batch b;
  b.curves = curves;
  b.points = points;
  b.x = p.x;
  b.start = p.start;
  b.y.reserve(curves * points);
  std::uint64_t state = 99;
  for (std::size_t k = 0; k < curves; ++k) {
    for (std::size_t i = 0; i < points; ++i) {
      b.y.push_back(p.y[i] * (1.0 + 1e-3 * nlfit_bench::perturbation(&state)));
    }
  }
  return b;
}

// Curves per timed call: some 0.15-0.3 s of fitting at 1 thread.
std::size_t curvesFor(std::size_t points) { return points <= 64 ? 2000 : 200; }

struct Outputs {
  explicit Outputs(std::size_t curves)
      : params(curves * kN), status(curves), evaluations(curves) {}
  std::vector<double> params;
  std::vector<int> status;
  std::vector<int64_t> evaluations;
};

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double timeFitMany(const Batch& b, int threads, Outputs* out) {
  const nlfit_batch_data data{sizeof(nlfit_batch_data), b.curves, b.points, b.x.data(), 0, b.y.data(), nullptr,
                              b.start.data(), 0, 1};
  nlfit_batch_options options;
  nlfit_batch_options_init(&options);
  options.threads = threads;
  const nlfit_batch_outputs outputs{sizeof(nlfit_batch_outputs), out->params.data(), out->status.data(), nullptr, nullptr,
                                    out->evaluations.data(), nullptr, nullptr};
  const auto t0 = std::chrono::steady_clock::now();
  const int status = nlfit_fit_many(nullptr, twoExpPoint, nullptr, kN, &data, &options, &outputs);
  const auto t1 = std::chrono::steady_clock::now();
  if (status != 0) throw std::runtime_error("nlfit_fit_many refused the batch");
  benchmark::DoNotOptimize(out->params.data());
  return seconds(t1 - t0);
}

// calls model evaluations over the shared x (each m points), split evenly
// over the given number of threads, through an opaque function pointer.
// Read back through a volatile, so the compiler cannot see which function
// it calls (benchmark::DoNotOptimize on a function pointer miscompiles).
nlfit_point_model volatile opaqueModel = twoExpPoint;

double timeModelLoop(const Batch& b, int64_t calls, int threads) {
  const nlfit_point_model model = opaqueModel;
  const auto evaluate = [&](int64_t count, double* sink) {
    double sum = 0.0;
    double params[kN];
    for (std::size_t j = 0; j < kN; ++j) params[j] = b.start[j];
    for (int64_t e = 0; e < count; ++e) {
      params[0] = b.start[0] + 1e-9 * static_cast<double>(e & 15);
      for (std::size_t i = 0; i < b.points; ++i) sum += model(b.x[i], params, nullptr);
    }
    *sink = sum;
  };
  std::vector<double> sinks(static_cast<std::size_t>(threads));
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    const int64_t share = calls / threads + (t < calls % threads ? 1 : 0);
    workers.emplace_back(evaluate, share, &sinks[static_cast<std::size_t>(t)]);
  }
  for (std::thread& w : workers) w.join();
  const auto t1 = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(sinks.data());
  return seconds(t1 - t0);
}

void Scaling(benchmark::State& state) {
  const auto points = static_cast<std::size_t>(state.range(0));
  const Batch b = makeBatch(points, curvesFor(points));
  Outputs out(b.curves);
  timeFitMany(b, 1, &out);  // warm-up, and the evaluation count
  int64_t evaluations = 0;
  for (int64_t e : out.evaluations) evaluations += e;

  double fit1 = 0.0, fit2 = 0.0, loop1 = 0.0, loop2 = 0.0;
  for (auto _ : state) {
    const double f1 = timeFitMany(b, 1, &out);
    const double f2 = timeFitMany(b, 2, &out);
    const double l1 = timeModelLoop(b, evaluations, 1);
    const double l2 = timeModelLoop(b, evaluations, 2);
    fit1 += f1;
    fit2 += f2;
    loop1 += l1;
    loop2 += l2;
    state.SetIterationTime(f1 + f2 + l1 + l2);
  }
  const double perCurve = 1e6 / (static_cast<double>(state.iterations()) * static_cast<double>(b.curves));
  state.counters["fit_1t_us"] = fit1 * perCurve;
  state.counters["fit_2t_us"] = fit2 * perCurve;
  state.counters["fit_scaling"] = fit1 / fit2;
  state.counters["loop_scaling"] = loop1 / loop2;
  state.counters["ratio"] = (fit1 / fit2) / (loop1 / loop2);
  state.counters["evals"] = static_cast<double>(evaluations) / static_cast<double>(b.curves);
}

void PerCurve(benchmark::State& state) {
  const auto points = static_cast<std::size_t>(state.range(0));
  const Batch b = makeBatch(points, curvesFor(points));
  Outputs out(b.curves);
  timeFitMany(b, 1, &out);  // warm-up
  std::vector<double> params(kN);
  nlfit_options options;
  nlfit_options_init(&options);

  double batch = 0.0, alone = 0.0;
  for (auto _ : state) {
    const double tb = timeFitMany(b, 1, &out);
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t k = 0; k < b.curves; ++k) {
      params = b.start;
      nlfit_result result;
      nlfit_result_init(&result);
      nlfit_fit(twoExpPoint, nullptr, kN, params.data(), b.points, b.x.data(),
                b.y.data() + k * b.points, &options, &result);
      benchmark::DoNotOptimize(params.data());
    }
    const double ta = seconds(std::chrono::steady_clock::now() - t0);
    batch += tb;
    alone += ta;
    state.SetIterationTime(tb + ta);
  }
  const double perCurve = 1e6 / (static_cast<double>(state.iterations()) * static_cast<double>(b.curves));
  state.counters["batch_us"] = batch * perCurve;
  state.counters["alone_us"] = alone * perCurve;
  state.counters["ratio"] = batch / alone;
}

BENCHMARK(Scaling)->Arg(64)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(PerCurve)->Arg(64)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv, nullptr); }
