// nlfit_fit_many: many curves with one model, one fit per worker at a time.
//
// Every curve is an independent fit on that curve's rows of the inputs:
// nlfit_fit for a point model, nlfit_fit_vectorized over the worker's own
// model instance for a model handle. Its result depends on nothing else, so
// the bits do not depend on the thread count or on which worker takes which
// curve. Workers claim chunks of consecutive curves from one atomic counter;
// the calling thread is one of them. Nothing here grows with the number of
// curves: the scratch is one model instance per worker, and each fit's own
// workspace.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "api/api.h"
#include "api/struct_prefix.h"
#include "nlfit/fit.h"
#include "models/model_instance.h"
#include "solver/solver.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// At most this many callbacks over a batch (plus the last one).
constexpr std::size_t kProgressReports = 1000;

bool productFits(std::size_t a, std::size_t b, std::size_t limit) {
  return b == 0 || a <= limit / b;
}

// Curves per claim: small enough that the workers finish close together
// (at least 64 chunks per worker when there are curves enough), large enough
// that claims cost nothing next to the fits.
std::size_t chunkSize(std::size_t curves, std::size_t workers) {
  return std::clamp<std::size_t>(curves / (workers * 64), 1, 8);
}

int evaluateInstance(const double* params, const double* x, std::size_t m, double* values,
                     void* instance) {
  static_cast<nlfit::ModelInstance*>(instance)->evaluate(params, x, m, values);
  return 0;
}

// One batch call: read-only inputs, the shared work counter and the
// progress state.
struct Batch {
  const nlfit_model* model = nullptr;
  nlfit_point_model pointModel = nullptr;
  void* user = nullptr;
  std::size_t n = 0;
  std::size_t m = 0;
  std::size_t d = 1;  // predictors
  std::size_t curves = 0;
  const nlfit_batch_data* data = nullptr;  // the library's copy
  const double* sharedStart = nullptr;  // the caller's shared start, copied
  nlfit_options fit{};                  // sigma and progress cleared
  const nlfit_batch_outputs* out = nullptr;  // the library's copy
  bool stdErrors = false;
  std::size_t chunk = 1;

  std::atomic<std::size_t> next{0};  // first curve of the next chunk to claim
  std::atomic<bool> stop{false};

  nlfit_batch_progress_callback progress = nullptr;
  void* progressUser = nullptr;
  std::size_t reportStep = 1;
  std::mutex progressMutex;
  std::size_t done = 0;      // guarded by progressMutex
  std::size_t reported = 0;  // guarded by progressMutex
  bool stopped = false;      // guarded by progressMutex; read after the join
};

// Writes the outputs of curve k for a fit that was not run (or refused):
// the parameters stay at the start.
void writeNotFitted(const Batch& b, std::size_t k, int status) {
  const nlfit_batch_outputs& out = *b.out;
  if (out.status != nullptr) out.status[k] = status;
  if (out.converged != nullptr) out.converged[k] = 0;
  if (out.rss != nullptr) out.rss[k] = kNaN;
  if (out.evaluations != nullptr) out.evaluations[k] = 0;
  if (out.jacobian_evaluations != nullptr) out.jacobian_evaluations[k] = 0;
  if (b.stdErrors) std::fill_n(out.std_errors + k * b.n, b.n, kNaN);
}

const double* startOf(const Batch& b, std::size_t k) {
  return b.data->start_per_curve ? b.data->start + k * b.n : b.sharedStart;
}

void copyStart(const Batch& b, std::size_t k) {
  double* params = b.out->params + k * b.n;
  const double* start = startOf(b, k);
  if (params != start) std::memmove(params, start, b.n * sizeof(double));
}

void fitCurve(const Batch& b, std::size_t k, nlfit::ModelInstance* instance) {
  const std::size_t n = b.n;
  const std::size_t m = b.m;
  const nlfit_batch_data& data = *b.data;
  copyStart(b, k);
  double* params = b.out->params + k * n;
  const double* x = data.x_per_curve ? data.x + k * m * b.d : data.x;
  const double* y = data.y + k * m;

  nlfit_options options = b.fit;
  if (instance != nullptr) nlfit::withInstanceDerivatives(&b.fit, instance, &options);
  options.sigma = data.sigma != nullptr ? data.sigma + k * m : nullptr;
  nlfit_result result;
  nlfit_result_init(&result);
  result.std_errors = b.stdErrors ? b.out->std_errors + k * n : nullptr;

  const int status =
      instance != nullptr
          ? nlfit_fit_vectorized_multi(evaluateInstance, instance, n, params, m, b.d, x, y,
                                       &options, &result)
          : nlfit_fit(b.pointModel, b.user, n, params, m, x, y, &options, &result);
  if (status < 0) {
    writeNotFitted(b, k, status);
    return;
  }
  const nlfit_batch_outputs& out = *b.out;
  if (out.status != nullptr) out.status[k] = status;
  if (out.converged != nullptr) out.converged[k] = result.converged != 0 ? 1 : 0;
  if (out.rss != nullptr) out.rss[k] = result.rss;
  if (out.evaluations != nullptr) out.evaluations[k] = result.evaluations;
  if (out.jacobian_evaluations != nullptr) out.jacobian_evaluations[k] = result.jacobian_evaluations;
}

// Counts finished curves and calls the callback, one thread at a time, with
// a count that only grows. After it has asked to stop it is not called again.
void reportDone(Batch& b, std::size_t count) {
  std::lock_guard<std::mutex> lock(b.progressMutex);
  b.done += count;
  if (b.stopped) return;
  if (b.done < b.curves && b.done - b.reported < b.reportStep) return;
  b.reported = b.done;
  if (b.progress(b.done, b.curves, b.progressUser) != 0) {
    b.stopped = true;
    b.stop.store(true, std::memory_order_relaxed);
  }
}

void work(Batch& b, nlfit::ModelInstance* instance) {
  for (;;) {
    if (b.stop.load(std::memory_order_relaxed)) return;
    const std::size_t first = b.next.fetch_add(b.chunk, std::memory_order_relaxed);
    if (first >= b.curves) return;
    const std::size_t last = std::min(first + b.chunk, b.curves);
    for (std::size_t k = first; k < last; ++k) fitCurve(b, k, instance);
    if (b.progress != nullptr) {
      try {
        reportDone(b, last - first);
      } catch (...) {
        // A mutex that cannot be locked: the fits go on without reports.
      }
    }
  }
}

// A worker thread of a model-handle batch makes its own instance; without
// one (no memory) it leaves the work to the others.
void workWithOwnInstance(Batch& b) {
  std::unique_ptr<nlfit::ModelInstance> instance;
  if (b.model != nullptr) {
    instance = nlfit::newModelInstance(*b.model);
    if (!instance) return;
  }
  work(b, instance.get());
}

std::size_t workerCount(int threads, std::size_t chunks) {
  std::size_t workers = static_cast<std::size_t>(threads);
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  return std::min(workers, chunks);
}

// The data's predictor count: 0 means one.
std::size_t predictorsOf(const nlfit_batch_data& data) {
  return data.predictors == 0 ? 1 : data.predictors;
}

// The caller's structures in the library's layout (each read by its
// struct_size).
struct CallerStructs {
  nlfit_batch_options options;
  nlfit_options fit;
  nlfit_batch_data data;
  nlfit_batch_outputs outputs;
};

int readStructs(const nlfit_batch_data* data, const nlfit_batch_options* options,
                const nlfit_batch_outputs* outputs, CallerStructs* own) {
  if (data == nullptr || outputs == nullptr) return NLFIT_REFUSED_NULL_POINTER;
  if (!nlfit::readPrefix(options, &own->options) ||
      !nlfit::readPrefix(own->options.fit, &own->fit) || !nlfit::readPrefix(data, &own->data) ||
      !nlfit::readPrefix(outputs, &own->outputs)) {
    return NLFIT_REFUSED_BAD_OPTION;
  }
  return 0;
}

int checkCall(const nlfit_model* model, nlfit_point_model pointModel, std::size_t n,
              const CallerStructs& c) {
  if (model == nullptr && pointModel == nullptr) return NLFIT_REFUSED_NULL_POINTER;
  if (model != nullptr && pointModel != nullptr) return NLFIT_REFUSED_BAD_MODEL;
  if (model != nullptr && nlfit_model_parameter_count(model) != n) return NLFIT_REFUSED_BAD_MODEL;
  const std::size_t d = predictorsOf(c.data);
  if ((model != nullptr && nlfit_model_predictor_count(model) != d) ||
      (pointModel != nullptr && d != 1)) {
    return NLFIT_REFUSED_BAD_MODEL;
  }
  if (c.options.threads < 0 || c.options.threads > NLFIT_BATCH_MAX_THREADS) {
    return NLFIT_REFUSED_BAD_OPTION;
  }
  const std::size_t m = c.data.points;
  const std::size_t curves = c.data.curves;
  // A handle brings its own derivatives and a point model takes a gradient
  // only; the rest are the same checks as a single fit's (as the vector form
  // the handle's fits take), counts first; then the batch's sizes.
  if (c.fit.jacobian != nullptr || (model != nullptr && c.fit.gradient != nullptr)) {
    return NLFIT_REFUSED_BAD_OPTION;
  }
  nlfit_options checkedOptions = c.fit;
  checkedOptions.gradient = nullptr;
  const int checked = nlfit::checkCountsAndOptions(n, m, checkedOptions, nlfit::ModelForm::kVector);
  if (checked != 0) return checked;
  const std::size_t limit = std::numeric_limits<std::size_t>::max() / sizeof(double);
  if (!productFits(m, d, limit) || !productFits(curves, m * d, limit) ||
      !productFits(curves, n, limit)) {
    return NLFIT_REFUSED_COUNTS;
  }
  if (curves == 0) return 0;
  if (c.data.x == nullptr || c.data.y == nullptr || c.data.start == nullptr ||
      c.outputs.params == nullptr) {
    return NLFIT_REFUSED_NULL_POINTER;
  }
  return 0;
}

int fitMany(const nlfit_model* model, nlfit_point_model pointModel, void* user, std::size_t n,
            const nlfit_batch_data* callerData, const nlfit_batch_options* batchOptions,
            const nlfit_batch_outputs* callerOutputs) {
  CallerStructs c;
  int refusal = readStructs(callerData, batchOptions, callerOutputs, &c);
  if (refusal == 0) refusal = checkCall(model, pointModel, n, c);
  if (refusal != 0 || c.data.curves == 0) return refusal;
  const nlfit_batch_data* data = &c.data;
  const nlfit_batch_options& options = c.options;
  const nlfit_batch_outputs* outputs = &c.outputs;

  Batch b;
  b.model = model;
  b.pointModel = pointModel;
  b.user = user;
  b.n = n;
  b.m = data->points;
  b.d = predictorsOf(*data);
  b.curves = data->curves;
  b.data = data;
  const std::vector<double> sharedStart(data->start, data->start + n);
  b.sharedStart = sharedStart.data();
  b.fit = c.fit;
  b.fit.sigma = nullptr;
  b.fit.progress = nullptr;
  b.fit.progress_user = nullptr;
  b.out = outputs;
  b.stdErrors = c.fit.compute_statistics != 0 && outputs->std_errors != nullptr;
  b.progress = options.progress;
  b.progressUser = options.progress_user;
  b.reportStep = std::max<std::size_t>(1, b.curves / kProgressReports);

  std::size_t workers = workerCount(options.threads, b.curves);
  b.chunk = chunkSize(b.curves, workers);
  workers = std::min(workers, (b.curves + b.chunk - 1) / b.chunk);

  // The calling thread's instance first: without it the call is refused
  // before anything is written.
  std::unique_ptr<nlfit::ModelInstance> ownInstance;
  if (model != nullptr) {
    ownInstance = nlfit::newModelInstance(*model);
    if (!ownInstance) return NLFIT_REFUSED_OUT_OF_MEMORY;
  }

  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (std::size_t i = 1; i < workers; ++i) {
    try {
      threads.emplace_back(workWithOwnInstance, std::ref(b));
    } catch (...) {
      break;  // no more threads to be had: the ones running share the work
    }
  }
  work(b, ownInstance.get());
  for (std::thread& t : threads) t.join();

  // Curves no worker claimed were stopped before they started.
  const std::size_t claimed = std::min(b.next.load(std::memory_order_relaxed), b.curves);
  for (std::size_t k = claimed; k < b.curves; ++k) {
    copyStart(b, k);
    writeNotFitted(b, k, NLFIT_STOPPED_BY_CALLBACK);
  }
  return b.stopped ? NLFIT_STOPPED_BY_CALLBACK : 0;
}

}  // namespace

extern "C" {

void nlfit_batch_options_init_size(nlfit_batch_options* options, size_t size) {
  // fit NULL (the default fit options), threads 0 (all cores), no callback.
  nlfit::initPrefix(options, size, [](nlfit_batch_options&) {});
}

void nlfit_batch_data_init_size(nlfit_batch_data* data, size_t size) {
  nlfit::initPrefix(data, size, [](nlfit_batch_data& d) { d.predictors = 1; });
}

void nlfit_batch_outputs_init_size(nlfit_batch_outputs* outputs, size_t size) {
  nlfit::initPrefix(outputs, size, [](nlfit_batch_outputs&) {});
}

int nlfit_fit_many(const nlfit_model* model, nlfit_point_model point_model, void* user,
                   size_t n, const nlfit_batch_data* data, const nlfit_batch_options* options,
                   const nlfit_batch_outputs* outputs) {
  // The checks compare NaNs, and the workers inherit the calling thread's
  // floating-point environment: all of it in the default one.
  const nlfit::DefaultFloatingPointScope environment;
  try {
    return fitMany(model, point_model, user, n, data, options, outputs);
  } catch (...) {
    // std::bad_alloc before any thread started (the shared start, the thread
    // list); nothing has been written.
    return NLFIT_REFUSED_OUT_OF_MEMORY;
  }
}

}  // extern "C"
