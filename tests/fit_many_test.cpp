// nlfit_fit_many against one nlfit_fit per curve, its refusals and its
// progress reports.
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "nlfit/fit.h"
#include "test_support.h"

namespace {

constexpr std::size_t kN = 3;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double decay(double x, const double* p, void*) { return p[0] * std::exp(-p[1] * x) + p[2]; }

// K curves of decay data with a per-curve shape and a small deterministic
// perturbation; x per curve differs from the shared x by a per-curve stretch.
struct Curves {
  std::size_t curves;
  std::size_t points;
  std::vector<double> x;       // m
  std::vector<double> xRows;   // K*m
  std::vector<double> y;       // K*m
  std::vector<double> sigma;   // K*m
  std::vector<double> start;   // n
  std::vector<double> starts;  // K*n
};

Curves makeCurves(std::size_t curves, std::size_t points) {
  Curves c{curves, points, {}, {}, {}, {}, {2.0, 0.5, 0.1}, {}};
  std::uint64_t state = 12345;
  for (std::size_t i = 0; i < points; ++i) c.x.push_back(0.1 * static_cast<double>(i));
  for (std::size_t k = 0; k < curves; ++k) {
    const double stretch = 1.0 + 0.01 * static_cast<double>(k % 7);
    const double p[kN] = {3.0 + 0.1 * static_cast<double>(k % 5), 0.3 + 0.02 * static_cast<double>(k % 11), 0.5};
    for (std::size_t i = 0; i < points; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      const double noise = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
      const double xi = c.x[i] * stretch;
      c.xRows.push_back(xi);
      c.y.push_back(decay(xi, p, nullptr) + 0.01 * noise);
      c.sigma.push_back(0.01 * (1.0 + 0.5 * noise));
    }
    for (std::size_t j = 0; j < kN; ++j) c.starts.push_back(c.start[j] * (1.0 + 0.05 * static_cast<double>(k % 3)));
  }
  return c;
}

struct Outputs {
  explicit Outputs(std::size_t curves)
      : params(curves * kN, -1.0), status(curves, 99), converged(curves, 7), rss(curves, -1.0),
        evaluations(curves, -1), stdErrors(curves * kN, -1.0), jacobianEvaluations(curves, -1) {}
  nlfit_batch_outputs view() {
    return {sizeof(nlfit_batch_outputs), params.data(), status.data(), converged.data(), rss.data(),
            evaluations.data(), stdErrors.data(), jacobianEvaluations.data()};
  }
  std::vector<double> params;
  std::vector<int> status;
  std::vector<unsigned char> converged;
  std::vector<double> rss;
  std::vector<int64_t> evaluations;
  std::vector<double> stdErrors;
  std::vector<int64_t> jacobianEvaluations;
};

struct Layout {
  bool xPerCurve;
  bool startPerCurve;
  bool sigma;
  bool statistics;
};

nlfit_batch_data dataOf(const Curves& c, const Layout& l) {
  return {sizeof(nlfit_batch_data),
          c.curves,
          c.points,
          l.xPerCurve ? c.xRows.data() : c.x.data(),
          l.xPerCurve ? 1 : 0,
          c.y.data(),
          l.sigma ? c.sigma.data() : nullptr,
          l.startPerCurve ? c.starts.data() : c.start.data(),
          l.startPerCurve ? 1 : 0,
          1};
}

// The fit options of a layout: the defaults, with or without statistics.
const nlfit_options* fitOptions(const Layout& l) {
  static const nlfit_options plain = [] {
    nlfit_options o;
    nlfit_options_init(&o);
    return o;
  }();
  static const nlfit_options statistics = [] {
    nlfit_options o = plain;
    o.compute_statistics = 1;
    return o;
  }();
  return l.statistics ? &statistics : &plain;
}

nlfit_batch_options batchOptions(const Layout& l, int threads) {
  nlfit_batch_options o;
  nlfit_batch_options_init(&o);
  o.fit = fitOptions(l);
  o.threads = threads;
  return o;
}

// Every curve of the batch, fitted alone with nlfit_fit (or nlfit_fit_model
// with a handle), compared bit for bit.
void expectSameAsAlone(const Curves& c, const Layout& l, Outputs& out,
                       const nlfit_model* model = nullptr) {
  const nlfit_batch_data data = dataOf(c, l);
  const nlfit_batch_options batch = batchOptions(l, 1);
  for (std::size_t k = 0; k < c.curves; ++k) {
    SCOPED_TRACE("curve " + std::to_string(k));
    std::vector<double> params(data.start + (l.startPerCurve ? k * kN : 0),
                               data.start + (l.startPerCurve ? k * kN : 0) + kN);
    std::vector<double> stdErrors(kN, kNaN);
    nlfit_options options = *batch.fit;
    options.sigma = l.sigma ? data.sigma + k * c.points : nullptr;
    nlfit_result result;
    nlfit_result_init(&result);
    result.std_errors = stdErrors.data();
    const double* x = data.x + (l.xPerCurve ? k * c.points : 0);
    const double* y = data.y + k * c.points;
    const int status =
        model != nullptr
            ? nlfit_fit_model(model, kN, params.data(), c.points, x, y, &options, &result)
            : nlfit_fit(decay, nullptr, kN, params.data(), c.points, x, y, &options, &result);
    ASSERT_EQ(status, out.status[k]);
    for (std::size_t j = 0; j < kN; ++j) EXPECT_SAME_BITS(params[j], out.params[k * kN + j]);
    if (status < 0) {
      EXPECT_TRUE(std::isnan(out.rss[k]));
      EXPECT_EQ(out.evaluations[k], 0);
      EXPECT_EQ(out.jacobianEvaluations[k], 0);
      continue;
    }
    EXPECT_EQ(result.converged, out.converged[k]);
    EXPECT_SAME_BITS(result.rss, out.rss[k]);
    EXPECT_EQ(result.evaluations, out.evaluations[k]);
    EXPECT_EQ(result.jacobian_evaluations, out.jacobianEvaluations[k]);
    if (l.statistics) {
      for (std::size_t j = 0; j < kN; ++j) EXPECT_SAME_BITS(stdErrors[j], out.stdErrors[k * kN + j]);
    }
  }
}

TEST(FitMany, EachCurveAsFittedAloneAtAnyThreadCount) {
  Curves c = makeCurves(37, 20);
  c.y[3 * c.points + 4] = kNaN;       // curve 3: refused alone
  c.sigma[5 * c.points + 1] = 0.0;    // curve 5: refused alone when weighted
  const Layout layouts[] = {{false, false, false, false},
                            {true, true, true, true},
                            {false, true, false, true},
                            {true, false, true, false}};
  for (const Layout& l : layouts) {
    for (int threads : {1, 4}) {
      SCOPED_TRACE(::testing::Message() << "x per curve " << l.xPerCurve << ", start per curve "
                                        << l.startPerCurve << ", sigma " << l.sigma
                                        << ", threads " << threads);
      Outputs out(c.curves);
      const nlfit_batch_data data = dataOf(c, l);
      const nlfit_batch_options options = batchOptions(l, threads);
      const nlfit_batch_outputs outputs = out.view();
      ASSERT_EQ(nlfit_fit_many(nullptr, decay, nullptr, kN, &data, &options, &outputs), 0);
      EXPECT_EQ(out.status[3], NLFIT_REFUSED_NONFINITE_DATA);
      EXPECT_EQ(out.status[5], l.sigma ? NLFIT_REFUSED_BAD_SIGMA : out.status[4]);
      EXPECT_GT(out.status[0], 0);
      expectSameAsAlone(c, l, out);
    }
  }
}

TEST(FitMany, ModelHandleCurvesAsFittedAloneAtAnyThreadCount) {
  const Curves c = makeCurves(23, 20);
  nlfit_model* model = nlfit_model_formula("a*exp(-b*x)+c", nullptr, 0, nullptr, 0);
  ASSERT_NE(model, nullptr);
  const Layout l{true, true, true, true};
  for (int threads : {1, 4}) {
    SCOPED_TRACE(::testing::Message() << "threads " << threads);
    Outputs out(c.curves);
    const nlfit_batch_data data = dataOf(c, l);
    const nlfit_batch_options options = batchOptions(l, threads);
    const nlfit_batch_outputs outputs = out.view();
    ASSERT_EQ(nlfit_fit_many(model, nullptr, nullptr, kN, &data, &options, &outputs), 0);
    EXPECT_EQ(nlfit_fit_many(model, nullptr, nullptr, kN - 1, &data, &options, &outputs),
              NLFIT_REFUSED_BAD_MODEL);
    EXPECT_EQ(out.converged[0], 1);
    EXPECT_GT(out.jacobianEvaluations[0], 0);  // the formula's exact derivatives
    expectSameAsAlone(c, l, out, model);
  }
  // A caller built before jacobian_evaluations: its outputs end before it,
  // and the memory after them is not written.
  Outputs out(c.curves);
  nlfit_batch_outputs outputs = out.view();
  outputs.struct_size = offsetof(nlfit_batch_outputs, jacobian_evaluations);
  const nlfit_batch_data data = dataOf(c, l);
  const nlfit_batch_options options = batchOptions(l, 2);
  ASSERT_EQ(nlfit_fit_many(model, nullptr, nullptr, kN, &data, &options, &outputs), 0);
  EXPECT_EQ(out.jacobianEvaluations, std::vector<int64_t>(c.curves, -1));
  EXPECT_GT(out.evaluations[0], 0);
  nlfit_model_free(model);
}

TEST(FitMany, RefusesTheWholeCallWritingNothing) {
  const Curves c = makeCurves(4, 5);
  const Layout l{false, false, false, true};
  struct Case {
    const char* what;
    int expected;
    std::size_t n = kN;
    std::size_t points = 5;
    int threads = 2;
    double stepBound = 10.0;
    bool bothModels = false;
    bool noModel = false;
    bool nullParams = false;
    bool nullY = false;
  };
  Case cases[] = {
      {"no parameters", NLFIT_REFUSED_COUNTS, 0},
      {"fewer points than parameters", NLFIT_REFUSED_COUNTS, kN, 2},
      {"no points", NLFIT_REFUSED_COUNTS, kN, 0},
      {"negative threads", NLFIT_REFUSED_BAD_OPTION},
      {"too many threads", NLFIT_REFUSED_BAD_OPTION},
      {"bad step bound", NLFIT_REFUSED_BAD_OPTION},
      {"both models", NLFIT_REFUSED_BAD_MODEL},
      {"no model", NLFIT_REFUSED_NULL_POINTER},
      {"null y", NLFIT_REFUSED_NULL_POINTER},
      {"null params", NLFIT_REFUSED_NULL_POINTER},
      {"infinite step bound", NLFIT_REFUSED_BAD_OPTION},
      {"2^64 - 1 parameters, held flags for three", NLFIT_REFUSED_COUNTS,
       std::numeric_limits<std::size_t>::max()},
  };
  cases[3].threads = -1;
  cases[4].threads = NLFIT_BATCH_MAX_THREADS + 1;
  cases[5].stepBound = 0.0;
  cases[6].bothModels = true;
  cases[7].noModel = true;
  cases[8].nullY = true;
  cases[9].nullParams = true;
  cases[10].stepBound = std::numeric_limits<double>::infinity();
  // A stand-in handle pointer; never dereferenced, the refusal comes first.
  const nlfit_model* handle = reinterpret_cast<const nlfit_model*>(&c);
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    Outputs out(c.curves);
    const Outputs untouched(c.curves);
    nlfit_batch_data data = dataOf(c, l);
    data.points = t.points;
    if (t.nullY) data.y = nullptr;
    nlfit_batch_options options = batchOptions(l, t.threads);
    nlfit_options fit = *options.fit;
    fit.step_bound_factor = t.stepBound;
    const unsigned char held[kN] = {0, 0, 0};  // read only once the count is checked
    fit.held = held;
    options.fit = &fit;
    nlfit_batch_outputs outputs = out.view();
    if (t.nullParams) outputs.params = nullptr;
    const int status = nlfit_fit_many(t.bothModels ? handle : nullptr, t.noModel ? nullptr : decay,
                                      nullptr, t.n, &data, &options, &outputs);
    EXPECT_EQ(status, t.expected);
    EXPECT_EQ(out.params, untouched.params);
    EXPECT_EQ(out.status, untouched.status);
    EXPECT_EQ(out.converged, untouched.converged);
    EXPECT_EQ(out.rss, untouched.rss);
    EXPECT_EQ(out.evaluations, untouched.evaluations);
    EXPECT_EQ(out.stdErrors, untouched.stdErrors);
  }
  // No curves: nothing to do, and no data pointer is read.
  nlfit_batch_data empty;
  nlfit_batch_data_init(&empty);
  empty.points = 5;
  nlfit_batch_outputs noOutputs;
  nlfit_batch_outputs_init(&noOutputs);
  EXPECT_EQ(nlfit_fit_many(nullptr, decay, nullptr, kN, &empty, nullptr, &noOutputs), 0);
}

struct ProgressLog {
  std::atomic<int> inside{0};
  bool overlapped = false;
  std::vector<std::size_t> done;
  std::size_t total = 0;
  std::size_t stopAt = 0;  // 0: never stop
};

int recordProgress(std::size_t done, std::size_t total, void* user) {
  auto* log = static_cast<ProgressLog*>(user);
  if (log->inside.fetch_add(1) != 0) log->overlapped = true;
  log->done.push_back(done);
  log->total = total;
  const bool stop = log->stopAt != 0 && done >= log->stopAt;
  log->inside.fetch_sub(1);
  return stop ? 1 : 0;
}

TEST(FitMany, ReportsProgressOneThreadAtATimeAndStopsOnRequest) {
  const Curves c = makeCurves(400, 8);
  const Layout l{false, false, false, false};
  for (std::size_t stopAt : {std::size_t{0}, std::size_t{1}}) {
    SCOPED_TRACE(stopAt == 0 ? "to the end" : "stopped at the first report");
    ProgressLog log;
    log.stopAt = stopAt;
    Outputs out(c.curves);
    const nlfit_batch_data data = dataOf(c, l);
    nlfit_batch_options options = batchOptions(l, 4);
    options.progress = recordProgress;
    options.progress_user = &log;
    const nlfit_batch_outputs outputs = out.view();
    const int status = nlfit_fit_many(nullptr, decay, nullptr, kN, &data, &options, &outputs);

    EXPECT_FALSE(log.overlapped);
    EXPECT_EQ(log.total, c.curves);
    ASSERT_FALSE(log.done.empty());
    for (std::size_t i = 1; i < log.done.size(); ++i) EXPECT_GT(log.done[i], log.done[i - 1]);
    std::size_t stopped = 0;
    for (std::size_t k = 0; k < c.curves; ++k) {
      if (out.status[k] != NLFIT_STOPPED_BY_CALLBACK) continue;
      ++stopped;
      for (std::size_t j = 0; j < kN; ++j) EXPECT_EQ(out.params[k * kN + j], c.start[j]);
      EXPECT_TRUE(std::isnan(out.rss[k]));
    }
    if (stopAt == 0) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(log.done.back(), c.curves);
      EXPECT_EQ(stopped, 0u);
    } else {
      EXPECT_EQ(status, NLFIT_STOPPED_BY_CALLBACK);
      EXPECT_EQ(log.done.size(), 1u);
      // The chunks running when the stop came finish; the rest never start.
      EXPECT_GT(stopped, c.curves / 2);
    }
  }
}

}  // namespace
