// Many fits at once through nlfit_fit: 8 threads each run the same 200
// different fits (each thread in its own order), and every result must equal,
// bit for bit, that of the same fit run alone beforehand. Run under
// ThreadSanitizer by CI, where it also shows that a fit shares no mutable
// state with another.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nlfit/fit.h"

namespace {

constexpr int kThreads = 8;
constexpr int kFits = 200;

// The model's own context: which curve, and an offset that the curve adds.
struct Curve {
  int kind;
  double offset;
};

double curveValue(double x, const double* p, void* user) {
  const Curve& c = *static_cast<const Curve*>(user);
  switch (c.kind) {
    case 0:
      return p[0] * std::exp(-p[1] * x) + p[2] + c.offset;
    case 1:
      return p[0] / (1.0 + p[1] * x) + c.offset;
    default:
      return p[0] * std::exp(-(x - p[1]) * (x - p[1]) / (p[2] * p[2])) + p[3] + c.offset;
  }
}

// What the progress callback saw: every norm, in order.
int recordNorm(std::int64_t, double norm, const double*, std::size_t, void* user) {
  static_cast<std::vector<double>*>(user)->push_back(norm);
  return 0;
}

struct FitCase {
  Curve curve;
  std::vector<double> x, y, sigma, start;
  std::vector<unsigned char> held;
  bool statistics = false;
  bool progress = false;
};

// Everything a fit returns, arrays included.
struct Outcome {
  int status = 0;
  nlfit_result result = [] {
    nlfit_result fresh;
    nlfit_result_init(&fresh);
    return fresh;
  }();
  std::vector<double> params, covariance, stdErrors, ciLow, ciHigh, correlation, norms;
  std::vector<unsigned> flags;
};

FitCase makeCase(int k) {
  FitCase c;
  c.curve.kind = k % 3;
  c.curve.offset = 0.125 * (k % 5);
  const std::size_t n = c.curve.kind == 2 ? 4 : (c.curve.kind == 1 ? 2 : 3);
  const std::size_t m = 15 + static_cast<std::size_t>(k % 23);
  std::vector<double> truth;
  if (c.curve.kind == 0) truth = {3.0 + 0.01 * k, 0.3 + 0.001 * k, 0.5};
  if (c.curve.kind == 1) truth = {4.0 + 0.02 * k, 0.5 + 0.002 * k};
  if (c.curve.kind == 2) truth = {2.0 + 0.01 * k, 5.0, 1.5 + 0.002 * k, 0.25};
  for (std::size_t i = 0; i < m; ++i) {
    const double xi = 10.0 * static_cast<double>(i) / static_cast<double>(m - 1);
    // Deterministic pseudo-noise, different for every fit.
    const double noise = 0.01 * std::sin(1.7 * static_cast<double>(i * 31 + static_cast<std::size_t>(k)));
    c.x.push_back(xi);
    c.y.push_back(curveValue(xi, truth.data(), &c.curve) + noise);
  }
  for (std::size_t j = 0; j < n; ++j) c.start.push_back(truth[j] * (0.8 + 0.03 * ((k + static_cast<int>(j)) % 7)));
  if (k % 4 == 1) {
    for (std::size_t i = 0; i < m; ++i) c.sigma.push_back(0.01 + 0.001 * static_cast<double>(i % 4));
  }
  if (k % 5 == 2 && n > 2) {
    c.held.assign(n, 0);
    c.held[n - 1] = 1;
  }
  c.statistics = k % 3 == 0;
  c.progress = k % 2 == 0;
  return c;
}

Outcome runFit(const FitCase& c) {
  const std::size_t n = c.start.size();
  Outcome o;
  o.params = c.start;
  nlfit_options options;
  nlfit_options_init(&options);
  if (!c.sigma.empty()) options.sigma = c.sigma.data();
  if (!c.held.empty()) options.held = c.held.data();
  options.compute_statistics = c.statistics ? 1 : 0;
  if (c.progress) {
    options.progress = recordNorm;
    options.progress_user = &o.norms;
  }
  if (c.statistics) {
    o.covariance.assign(n * n, -1.0);
    o.stdErrors.assign(n, -1.0);
    o.ciLow.assign(n, -1.0);
    o.ciHigh.assign(n, -1.0);
    o.correlation.assign(n * n, -1.0);
    o.result.covariance = o.covariance.data();
    o.result.std_errors = o.stdErrors.data();
    o.result.ci_low = o.ciLow.data();
    o.result.ci_high = o.ciHigh.data();
    o.result.correlation = o.correlation.data();
  }
  o.flags.assign(n, 0xffffffffu);
  o.result.parameter_flags = o.flags.data();
  Curve curve = c.curve;  // the model's context lives on this thread
  o.status = nlfit_fit(curveValue, &curve, n, o.params.data(), c.x.size(), c.x.data(),
                       c.y.data(), &options, &o.result);
  return o;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Empty when a and b are the same bits; else what differs.
std::string difference(const Outcome& a, const Outcome& b) {
  const nlfit_result& r = a.result;
  const nlfit_result& s = b.result;
  if (a.status != b.status || r.status != s.status) return "status";
  if (r.converged != s.converged || r.rank != s.rank) return "converged or rank";
  if (r.iterations != s.iterations || r.evaluations != s.evaluations ||
      r.statistics_evaluations != s.statistics_evaluations || r.dof != s.dof)
    return "counts";
  if (!sameBits(r.residual_norm, s.residual_norm) || !sameBits(r.rss, s.rss) ||
      !sameBits(r.reduced_chi2, s.reduced_chi2) || !sameBits(r.r_squared, s.r_squared))
    return "norm, rss, reduced chi-square or R^2";
  if (!sameBits(a.params, b.params)) return "parameters";
  if (!sameBits(a.covariance, b.covariance) || !sameBits(a.stdErrors, b.stdErrors) ||
      !sameBits(a.ciLow, b.ciLow) || !sameBits(a.ciHigh, b.ciHigh) ||
      !sameBits(a.correlation, b.correlation))
    return "statistics";
  if (a.flags != b.flags) return "parameter flags";
  if (!sameBits(a.norms, b.norms)) return "progress norms";
  return "";
}

TEST(FitApiThreads, EightThreadsOfTwoHundredFitsMatchEachFitRunAlone) {
  std::vector<FitCase> cases;
  std::vector<Outcome> alone;
  for (int k = 0; k < kFits; ++k) {
    cases.push_back(makeCase(k));
    alone.push_back(runFit(cases.back()));
    // The comparison means something only for fits that ran.
    ASSERT_GT(alone.back().status, 0) << "fit " << k << ": " << nlfit_status_message(alone.back().status);
  }

  // failures[t] holds the first fit that thread t got differently, or -1.
  std::vector<int> failures(kThreads, -1);
  std::vector<std::string> what(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kFits; ++i) {
        // Each thread its own order: a stride prime to kFits from its own offset.
        static const int kStrides[kThreads] = {1, 3, 7, 9, 11, 13, 17, 19};
        const int k = (i * kStrides[t] + 25 * t) % kFits;
        const std::string diff = difference(runFit(cases[static_cast<std::size_t>(k)]),
                                            alone[static_cast<std::size_t>(k)]);
        if (!diff.empty()) {
          failures[static_cast<std::size_t>(t)] = k;
          what[static_cast<std::size_t>(t)] = diff;
          return;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[static_cast<std::size_t>(t)], -1)
        << "thread " << t << ", fit " << failures[static_cast<std::size_t>(t)] << ": "
        << what[static_cast<std::size_t>(t)] << " differ from the fit run alone";
  }
}

}  // namespace
