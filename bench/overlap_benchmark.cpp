// Can the solver's running sums hide behind the model calls?
//
// Every sum of the solver is one accumulator added to in increasing index
// order, so a sum over m elements costs m floating-point addition latencies
// whatever else the core has to do. These benchmarks measure, on the machine
// at hand:
//   overlap/runningSum      one such sum over 1000 squares (the cost of one
//                           dependent pass: a column norm, a column product,
//                           a residual norm);
//   overlap/modelOnly       1000 calls of the two-exponential model through an
//                           opaque pointer, results stored (one evaluation of
//                           the m = 1000 benchmark fit);
//   overlap/sumsOnly        ten running sums of 1000 squares, each started
//                           from the result of the one before (the dependent
//                           passes of one five-parameter factorisation);
//   overlap/sequential      the model calls, then the ten sums;
//   overlap/interleaved/R   the ten sums with one model call after every R
//                           rows, then the model calls left over: the best
//                           any rescheduling of the same work could do;
//   overlap/residualsThenNorm, overlap/residualsWithNorm
//                           one evaluation followed by the norm of its
//                           residuals, and the same norm summed inside the
//                           residual loop (same additions, same order).
// If the core ran the sums in the shadow of the model calls, interleaved
// would approach the larger of modelOnly and sumsOnly; if not, it stays at
// sequential.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "bench_main.h"
#include "solver/solver.h"
#include "synthetic_problems.h"

namespace {

#if defined(__GNUC__)
#define OVERLAP_NOINLINE __attribute__((noinline))
#else
#define OVERLAP_NOINLINE
#endif

constexpr int kRows = 1000;
constexpr int kPasses = 10;

struct OverlapData {
  nlfit_bench::Problem problem = nlfit_bench::syntheticProblem("twoexp", kRows, 5);
  std::vector<double> columns = std::vector<double>(static_cast<std::size_t>(kPasses) * kRows);
  std::vector<double> out = std::vector<double>(kRows);
  OverlapData() {
    std::uint64_t state = 99u;
    for (double& c : columns) c = nlfit_bench::perturbation(&state);
  }
};

OverlapData& data() {
  static OverlapData d;
  return d;
}

// The model calls of one evaluation, from row `next` on, `count` of them.
struct ModelCalls {
  ModelFunction model;
  const nlfit_bench::Problem* problem;
  const double* params;
  double* out;
  int next = 0;

  void run(int count) {
    const int end = (next + count < kRows) ? next + count : kRows;
    for (; next < end; ++next) {
      out[next] = model(problem->x[next], params[0], params[1], params[2], params[3],
                        params[4]) -
                  problem->y[next];
    }
  }
};

// Ten dependent running sums of squares; after every `rows` rows, `calls`
// (when not null) makes one model call.
OVERLAP_NOINLINE double dependentSums(const double* columns, int rows,
                                      ModelCalls* calls) {
  double scale = 1.0;
  for (int p = 0; p < kPasses; ++p) {
    const double* a = columns + static_cast<std::size_t>(p) * kRows;
    double s = 0.0;
    for (int i = 0; i < kRows;) {
      const int end = (i + rows < kRows) ? i + rows : kRows;
      for (; i < end; ++i) s = s + (scale * a[i]) * a[i];
      if (calls != nullptr) calls->run(1);
    }
    scale = 1.0 + s * 1e-300;  // the next sum cannot start before this one ends
  }
  return scale;
}

// Read back through a volatile, so the compiler cannot see which function it
// calls: opaque, as the library sees the host's model. (Google Benchmark
// 1.7's DoNotOptimize on a pointer miscompiles here with GCC 12 at -O3.)
ModelFunction volatile opaqueModel = nullptr;

ModelCalls makeCalls(OverlapData& d) {
  opaqueModel = d.problem.model;
  return ModelCalls{opaqueModel, &d.problem, d.problem.start.data(), d.out.data()};
}

void runningSum(benchmark::State& state) {
  OverlapData& d = data();
  double* columns[1] = {d.columns.data()};
  for (auto _ : state) {
    benchmark::DoNotOptimize(nlfit::columnTailNorm(kRows, 0, 0, columns));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(runningSum)->Name("overlap/runningSum");

void modelOnly(benchmark::State& state) {
  OverlapData& d = data();
  for (auto _ : state) {
    ModelCalls calls = makeCalls(d);
    calls.run(kRows);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(modelOnly)->Name("overlap/modelOnly");

void sumsOnly(benchmark::State& state) {
  OverlapData& d = data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(dependentSums(d.columns.data(), kRows, nullptr));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(sumsOnly)->Name("overlap/sumsOnly");

void sequential(benchmark::State& state) {
  OverlapData& d = data();
  for (auto _ : state) {
    ModelCalls calls = makeCalls(d);
    calls.run(kRows);
    benchmark::DoNotOptimize(dependentSums(d.columns.data(), kRows, nullptr));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(sequential)->Name("overlap/sequential");

void interleaved(benchmark::State& state) {
  OverlapData& d = data();
  const int rows = static_cast<int>(state.range(0));
  for (auto _ : state) {
    ModelCalls calls = makeCalls(d);
    benchmark::DoNotOptimize(dependentSums(d.columns.data(), rows, &calls));
    calls.run(kRows);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(interleaved)->Name("overlap/interleaved")->ArgName("R")->Arg(10)->Arg(20)->Arg(40);

void residualsThenNorm(benchmark::State& state) {
  OverlapData& d = data();
  for (auto _ : state) {
    ModelCalls calls = makeCalls(d);
    calls.run(kRows);
    benchmark::DoNotOptimize(nlfit::euclidNorm(kRows, d.out.data()));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(residualsThenNorm)->Name("overlap/residualsThenNorm");

void residualsWithNorm(benchmark::State& state) {
  OverlapData& d = data();
  for (auto _ : state) {
    ModelCalls calls = makeCalls(d);
    double s = 0.0;
    for (int i = 0; i < kRows; ++i) {
      calls.run(1);
      const double r = d.out[i];
      s = (i == 0) ? r * r : s + r * r;
    }
    benchmark::DoNotOptimize(std::sqrt(s));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(residualsWithNorm)->Name("overlap/residualsWithNorm");

}  // namespace
