// Micro-benchmarks of the solver's building blocks, on inputs prepared
// outside the timed region.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "bench_main.h"
#include "solver/solver.h"
#include "synthetic_problems.h"

namespace {

// An m-by-n column matrix owning its storage.
struct Matrix {
  int m;
  int n;
  std::vector<double> storage;
  std::vector<double*> columns;

  Matrix(int rows, int cols)
      : m(rows), n(cols), storage(static_cast<std::size_t>(rows) * cols), columns(cols) {
    for (int j = 0; j < n; ++j) columns[j] = storage.data() + static_cast<std::size_t>(j) * m;
  }
  nlfit::ColumnMatrix get() const { return columns.data(); }
};

// Entries uniform in [-1, 1), each column scaled differently so that the
// pivoting has something to do.
Matrix randomMatrix(int m, int n) {
  Matrix a(m, n);
  std::uint64_t state = 2024u;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < m; ++i) a.columns[j][i] = (1.0 + j % 3) * nlfit_bench::perturbation(&state);
  }
  return a;
}

void qrPivotFactorBenchmark(benchmark::State& state) {
  const int m = static_cast<int>(state.range(0));
  const int n = static_cast<int>(state.range(1));
  const Matrix input = randomMatrix(m, n);
  Matrix a(m, n);
  std::vector<int> pivots(n);
  std::vector<double> rDiagonal(n), columnNorms(n), referenceNorms(n);
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(a.storage.data(), input.storage.data(), input.storage.size() * sizeof(double));
    state.ResumeTiming();
    nlfit::qrPivotFactor(m, n, a.get(), 1,
                         {pivots.data(), rDiagonal.data(), columnNorms.data(), referenceNorms.data()});
    benchmark::ClobberMemory();
  }
}
BENCHMARK(qrPivotFactorBenchmark)
    ->Name("qrPivotFactor")
    ->ArgNames({"m", "n"})
    ->Args({1000, 9})
    ->Args({1000, 5})
    ->Args({100, 5});

// The step search on a factorised 100-by-n matrix, with a trust region a
// tenth of the Gauss-Newton step so that the damped solves run.
void lmParameterBenchmark(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int m = 100;
  Matrix r = randomMatrix(m, n);
  std::vector<int> pivots(n);
  std::vector<double> rDiagonal(n), columnNorms(n), scratch(n);
  nlfit::qrPivotFactor(m, n, r.get(), 1,
                       {pivots.data(), rDiagonal.data(), columnNorms.data(), scratch.data()});
  for (int j = 0; j < n; ++j) r.columns[j][j] = rDiagonal[j];

  std::vector<double> qtResidual(n);
  std::uint64_t seed = 7u;
  for (double& v : qtResidual) v = nlfit_bench::perturbation(&seed);
  const std::vector<double>& scaleFactors = columnNorms;

  const nlfit::TrustRegionSystem system{r.get(), pivots.data(), scaleFactors.data(),
                                       qtResidual.data()};
  std::vector<double> step(n), sDiagonal(n), pivoted(n), damping(n), scaledStep(n), solution(n);
  const nlfit::LmParameterScratch scratchVectors{sDiagonal.data(), pivoted.data(), damping.data(),
                                                 scaledStep.data(), solution.data()};
  double lmPar = 0.0;
  nlfit::lmParameter(n, system, 1e300, &lmPar, step.data(), scratchVectors);
  for (int j = 0; j < n; ++j) scaledStep[j] = scaleFactors[j] * step[j];
  const double stepBound = 0.1 * nlfit::euclidNorm(n, scaledStep.data());

  for (auto _ : state) {
    lmPar = 0.0;
    nlfit::lmParameter(n, system, stepBound, &lmPar, step.data(), scratchVectors);
    benchmark::DoNotOptimize(lmPar);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(lmParameterBenchmark)->Name("lmParameter")->ArgName("n")->Arg(5)->Arg(9);

// Residual functions for the Jacobian benchmark: the two-exponential model
// against its own data, and a linear one that costs next to nothing.
const nlfit_bench::Problem* jacobianProblem = nullptr;

void twoExponentialResiduals(void*, int m, int, const double* x, double* fvec, int*) {
  for (int i = 0; i < m; ++i) {
    fvec[i] = nlfit_bench::twoExponentials(jacobianProblem->x[i], x[0], x[1], x[2], x[3], x[4]) -
              jacobianProblem->y[i];
  }
}

void linearResiduals(void*, int m, int n, const double* x, double* fvec, int*) {
  for (int i = 0; i < m; ++i) {
    double s = 0.0;
    for (int j = 0; j < n; ++j) s = s + x[j] * (i + j);
    fvec[i] = s;
  }
}

void forwardJacobianBenchmark(benchmark::State& state, nlfit::ResidualFunction fcn) {
  const int m = 1000;
  const int n = 5;
  static const nlfit_bench::Problem problem = nlfit_bench::syntheticProblem("twoexp", m, n);
  jacobianProblem = &problem;
  std::vector<double> x = problem.start;
  std::vector<double> fvec(m), work(m);
  int flag = 1;
  fcn(nullptr, m, n, x.data(), fvec.data(), &flag);
  Matrix jacobian(m, n);
  for (auto _ : state) {
    flag = 2;
    nlfit::forwardJacobian(nlfit::ResidualProblem{fcn, nullptr, m, n}, x.data(), fvec.data(),
                           jacobian.get(), &flag, 0.0, nullptr, work.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(forwardJacobianBenchmark, twoexp, twoExponentialResiduals)
    ->Name("forwardJacobian/m1000/n5/twoexp");
BENCHMARK_CAPTURE(forwardJacobianBenchmark, linear, linearResiduals)
    ->Name("forwardJacobian/m1000/n5/linear");

}  // namespace

int main(int argc, char** argv) { return runBenchmarks(argc, argv, nullptr); }
