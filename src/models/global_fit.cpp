// Global fits: the data sets' residuals in one problem over the global
// parameters, each set evaluating its own model on its own x with the
// parameters its map picks.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "api/struct_prefix.h"
#include "models/model_handle.h"
#include "models/model_instance.h"
#include "nlfit/fit.h"

namespace {

struct GlobalProblem {
  const nlfit_data_set* sets = nullptr;  // the library's copies
  std::size_t count = 0;
  std::vector<std::unique_ptr<nlfit::ModelInstance>> instances;  // per set; null: function
  std::vector<std::size_t> offset;                                // first observation of each set
  std::vector<double> local;                                      // the largest set's n
};

// The vector model of the joint problem: x is the running index of the
// observations and is not used; each set fills its own slice of values.
int evaluateSets(const double* params, const double*, std::size_t, double* values, void* user) {
  GlobalProblem& g = *static_cast<GlobalProblem*>(user);
  for (std::size_t s = 0; s < g.count; ++s) {
    const nlfit_data_set& set = g.sets[s];
    for (std::size_t j = 0; j < set.n; ++j) g.local[j] = params[set.map[j]];
    double* out = values + g.offset[s];
    if (g.instances[s]) {
      g.instances[s]->evaluate(g.local.data(), set.x, set.m, out);
    } else if (set.function(g.local.data(), set.x, set.m, out, set.user) != 0) {
      return 1;
    }
  }
  return 0;
}

int refuse(nlfit_result* result, int status) {
  if (result != nullptr) result->status = status;
  return status;
}

int fitGlobal(const nlfit_data_set* sets, std::size_t count, std::size_t n, double* params,
              const nlfit_options* options, nlfit_result* result) {
  if (sets == nullptr || params == nullptr) return refuse(result, NLFIT_REFUSED_NULL_POINTER);
  if (count == 0 || n == 0) return refuse(result, NLFIT_REFUSED_COUNTS);
  nlfit_options o;
  if (!nlfit::readPrefix(options, &o)) return refuse(result, NLFIT_REFUSED_BAD_OPTION);
  if (o.sigma != nullptr) return refuse(result, NLFIT_REFUSED_BAD_OPTION);
  // The caller's sets, each read by its own struct_size; the array's stride
  // is the first one's.
  if (!nlfit::validSize(sets)) return refuse(result, NLFIT_REFUSED_BAD_OPTION);
  const std::size_t stride = nlfit::callerSize(sets);
  std::vector<nlfit_data_set> own(count);
  for (std::size_t s = 0; s < count; ++s) {
    const auto* caller = reinterpret_cast<const nlfit_data_set*>(
        reinterpret_cast<const unsigned char*>(sets) + s * stride);
    if (!nlfit::readPrefix(caller, &own[s])) return refuse(result, NLFIT_REFUSED_BAD_OPTION);
  }
  sets = own.data();
  GlobalProblem g;
  g.sets = sets;
  g.count = count;
  std::size_t total = 0;
  std::size_t largest = 0;
  const bool weighted = sets[0].sigma != nullptr;
  for (std::size_t s = 0; s < count; ++s) {
    const nlfit_data_set& set = sets[s];
    if ((set.model == nullptr && set.function == nullptr) || set.map == nullptr ||
        set.x == nullptr || set.y == nullptr) {
      return refuse(result, NLFIT_REFUSED_NULL_POINTER);
    }
    if (set.m == 0 || set.n == 0) return refuse(result, NLFIT_REFUSED_COUNTS);
    const std::size_t predictors = set.predictors == 0 ? 1 : set.predictors;
    if (set.m > SIZE_MAX / predictors || total > SIZE_MAX - set.m) {
      return refuse(result, NLFIT_REFUSED_COUNTS);
    }
    if (set.model != nullptr && (set.n != set.model->parameters.size() || predictors != 1)) {
      return refuse(result, NLFIT_REFUSED_BAD_MODEL);
    }
    for (std::size_t j = 0; j < set.n; ++j) {
      if (set.map[j] >= n) return refuse(result, NLFIT_REFUSED_BAD_MODEL);
    }
    if ((set.sigma != nullptr) != weighted) return refuse(result, NLFIT_REFUSED_BAD_SIGMA);
    for (std::size_t i = 0; i < set.m * predictors; ++i) {
      if (!(set.x[i] - set.x[i] == 0.0)) return refuse(result, NLFIT_REFUSED_NONFINITE_DATA);
    }
    g.offset.push_back(total);
    total += set.m;
    largest = set.n > largest ? set.n : largest;
    g.instances.push_back(set.model != nullptr ? nlfit::newModelInstance(*set.model) : nullptr);
    if (set.model != nullptr && !g.instances.back()) {
      return refuse(result, NLFIT_REFUSED_OUT_OF_MEMORY);
    }
  }
  g.local.assign(largest, 0.0);
  std::vector<double> index(total), y(total), sigma(weighted ? total : 0);
  for (std::size_t s = 0; s < count; ++s) {
    const nlfit_data_set& set = sets[s];
    std::memcpy(&y[g.offset[s]], set.y, set.m * sizeof(double));
    if (weighted) std::memcpy(&sigma[g.offset[s]], set.sigma, set.m * sizeof(double));
  }
  for (std::size_t i = 0; i < total; ++i) index[i] = static_cast<double>(i);
  o.sigma = weighted ? sigma.data() : nullptr;
  return nlfit_fit_vectorized(evaluateSets, &g, n, params, total, index.data(), y.data(), &o,
                              result);
}

}  // namespace

extern "C" {

void nlfit_data_set_init_size(nlfit_data_set* set, size_t size) {
  nlfit::initPrefix(set, size, [](nlfit_data_set& s) { s.predictors = 1; });
}

int nlfit_fit_global(const nlfit_data_set* sets, size_t count, size_t n, double* params,
                     const nlfit_options* options, nlfit_result* result) {
  try {
    return fitGlobal(sets, count, n, params, options, result);
  } catch (const std::bad_alloc&) {
    return refuse(result, NLFIT_REFUSED_OUT_OF_MEMORY);
  } catch (...) {
    return refuse(result, NLFIT_REFUSED_OUT_OF_MEMORY);
  }
}

}  // extern "C"
