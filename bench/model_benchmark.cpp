// Formula models against the same model compiled natively: two exponentials
// plus an offset, a1*exp(-k1*x) + a2*exp(-k2*x) + c, at m = 1000.
//
// Evaluate/*: the 1000 model values for one parameter vector.
// Fit/*: a whole fit from the same start (statistics off). All fits make the
// same evaluations (the "evals" counter) and reach the same bits, because
// the formula gives the same model values as the C function.
//   native_point   nlfit_fit with the catalogue's C function in point form
//   native_vector  nlfit_fit_vectorized with a loop over that function
//   formula        nlfit_fit_model with a formula handle (parsing included),
//                  evaluated by the formula layer's own loop over the
//                  compiled program
//   formula_muparser  the same formula evaluated point by point by
//                  muparser's own evaluator (the layer's fallback)
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench_main.h"
#include "models/builtin_models.h"
#include "models/formula.h"
#include "models/model_instance.h"
#include "nlfit/fit.h"

namespace {

const char kFormula[] = "a1*exp(-k1*x) + a2*exp(-k2*x) + c";
constexpr std::size_t kPoints = 1000;
constexpr double kStart[5] = {2.0, 1.0, 1.0, 0.1, 0.0};

struct Data {
  std::vector<double> x, y;
  Data() : x(kPoints), y(kPoints) {
    const double truth[5] = {3.0, 1.3, 1.5, 0.2, 0.5};
    for (std::size_t i = 0; i < kPoints; ++i) {
      x[i] = 10.0 * static_cast<double>(i) / static_cast<double>(kPoints - 1);
      const double wobble = 1e-3 * std::sin(37.0 * static_cast<double>(i));
      y[i] = nlfitModelTwoExp(x[i], truth) + wobble;
    }
  }
};

const Data& data() {
  static const Data d;
  return d;
}

nlfit_model* formulaModel() {
  char error[200];
  nlfit_model* m = nlfit_model_formula(kFormula, nullptr, 0, error, sizeof error);
  if (m == nullptr) {
    std::fprintf(stderr, "%s\n", error);
    std::exit(1);
  }
  return m;
}

double pointModel(double x, const double* p, void*) { return nlfitModelTwoExp(x, p); }

int vectorModel(const double* p, const double* x, std::size_t m, double* values, void*) {
  for (std::size_t i = 0; i < m; ++i) values[i] = nlfitModelTwoExp(x[i], p);
  return 0;
}

int instanceModel(const double* p, const double* x, std::size_t m, double* values, void* user) {
  static_cast<nlfit::ModelInstance*>(user)->evaluate(p, x, m, values);
  return 0;
}

void report(benchmark::State& state, const nlfit_result& result) {
  state.counters["evals"] = static_cast<double>(result.evaluations);
  if (result.converged == 0) state.SkipWithError("fit did not converge");
}

void Evaluate_native(benchmark::State& state) {
  std::vector<double> values(kPoints);
  const double* p = kStart;
  for (auto _ : state) {
    vectorModel(p, data().x.data(), kPoints, values.data(), nullptr);
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
}

void evaluateFormula(benchmark::State& state, bool ownLoop) {
  nlfit_model* m = formulaModel();
  auto instance = ownLoop ? nlfit::newFormulaInstance(*m) : nlfit::newFormulaInstanceParserOnly(*m);
  std::vector<double> values(kPoints);
  for (auto _ : state) {
    instance->evaluate(kStart, data().x.data(), kPoints, values.data());
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
  nlfit_model_free(m);
}
void Evaluate_formula(benchmark::State& state) { evaluateFormula(state, true); }
void Evaluate_formula_muparser(benchmark::State& state) { evaluateFormula(state, false); }

void Fit_native_point(benchmark::State& state) {
  nlfit_result result;
  nlfit_result_init(&result);
  for (auto _ : state) {
    std::vector<double> p(kStart, kStart + 5);
    nlfit_fit(pointModel, nullptr, 5, p.data(), kPoints, data().x.data(), data().y.data(),
              nullptr, &result);
    benchmark::DoNotOptimize(p.data());
  }
  report(state, result);
}

void Fit_native_vector(benchmark::State& state) {
  nlfit_result result;
  nlfit_result_init(&result);
  for (auto _ : state) {
    std::vector<double> p(kStart, kStart + 5);
    nlfit_fit_vectorized(vectorModel, nullptr, 5, p.data(), kPoints, data().x.data(),
                         data().y.data(), nullptr, &result);
    benchmark::DoNotOptimize(p.data());
  }
  report(state, result);
}

void Fit_formula(benchmark::State& state) {
  nlfit_model* m = formulaModel();
  nlfit_result result;
  nlfit_result_init(&result);
  for (auto _ : state) {
    std::vector<double> p(kStart, kStart + 5);
    nlfit_fit_model(m, 5, p.data(), kPoints, data().x.data(), data().y.data(), nullptr, &result);
    benchmark::DoNotOptimize(p.data());
  }
  report(state, result);
  nlfit_model_free(m);
}

void Fit_formula_muparser(benchmark::State& state) {
  nlfit_model* m = formulaModel();
  nlfit_result result;
  nlfit_result_init(&result);
  for (auto _ : state) {
    auto instance = nlfit::newFormulaInstanceParserOnly(*m);
    std::vector<double> p(kStart, kStart + 5);
    nlfit_fit_vectorized(instanceModel, instance.get(), 5, p.data(), kPoints, data().x.data(),
                         data().y.data(), nullptr, &result);
    benchmark::DoNotOptimize(p.data());
  }
  report(state, result);
  nlfit_model_free(m);
}

}  // namespace

BENCHMARK(Evaluate_native);
BENCHMARK(Evaluate_formula);
BENCHMARK(Evaluate_formula_muparser);
BENCHMARK(Fit_native_point)->Unit(benchmark::kMicrosecond);
BENCHMARK(Fit_native_vector)->Unit(benchmark::kMicrosecond);
BENCHMARK(Fit_formula)->Unit(benchmark::kMicrosecond);
BENCHMARK(Fit_formula_muparser)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) { return runBenchmarks(argc, argv, nullptr); }
