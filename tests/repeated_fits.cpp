// Fits many small problems one after another through the shared library and
// checks that every result is bit-identical to the first fit of the same
// problem and that resident memory does not grow.
//
//   nlfit_repeated_fits [ITERATIONS] [--no-rss-check]
//
// ITERATIONS defaults to 100000. --no-rss-check skips the memory comparison
// (under valgrind, whose own bookkeeping grows, or where leaks are checked by
// other means). Exit status 0 when everything held.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <string>
#include <vector>

#include "nlfit.h"

#if defined(__SANITIZE_ADDRESS__)
#define NLFIT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NLFIT_UNDER_ASAN 1
#endif
#endif

namespace {

double line(double x, double p0, double p1, double, double, double) { return p0 + p1 * x; }
double decay(double x, double p0, double p1, double p2, double, double) {
  return p0 * std::exp(-p1 * x) + p2;
}
// NaN for trial points beyond p1 = 3, which a far start visits.
double decayNaNBeyond(double x, double p0, double p1, double p2, double p3, double p4) {
  if (p1 > 3.0) return std::numeric_limits<double>::quiet_NaN();
  return decay(x, p0, p1, p2, p3, p4);
}

struct Problem {
  ModelFunction model;
  int paramCount;
  int pointCount;  // may exceed the stored points for a refused call
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> start;
};

// The outcome of a problem's first fit.
struct Reference {
  double status = -1.0;
  std::vector<double> params;
};

// Small problems of several sizes, a far start through a NaN region and
// two refusals, in an order that makes every fit follow one of another size.
std::vector<Problem> makeProblems() {
  std::vector<Problem> problems;
  for (int points = 1; points <= 8; ++points) {
    Problem p{line, points == 1 ? 1 : 2, points, {}, {}, {}};
    for (int i = 0; i < points; ++i) {
      p.x.push_back(0.5 * i + 1.0);
      p.y.push_back(1.0 + 2.0 * p.x.back() + ((i % 2 == 0) ? 0.01 : -0.02));
    }
    p.start = std::vector<double>(static_cast<std::size_t>(p.paramCount), 0.0);
    problems.push_back(p);
    if (points == 3) {
      Problem d{decayNaNBeyond, 3, 6, {}, {}, {0.5, 0.1, 0.0}};
      for (int i = 0; i < 6; ++i) {
        d.x.push_back(0.4 * i);
        d.y.push_back(decay(d.x.back(), 2.0, 0.8, 0.5, 0.0, 0.0));
      }
      problems.push_back(d);
    }
    if (points == 5) problems.push_back({nullptr, 2, 5, p.x, p.y, {0.0, 0.0}});
    if (points == 6) problems.push_back({line, 2, 1001, p.x, p.y, {0.0, 0.0}});
  }
  return problems;
}

double fit(const Problem& p, std::vector<double>* params) {
  *params = p.start;
  return findLS(p.model, p.paramCount, p.pointCount, p.x.data(), p.y.data(), params->data());
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

long residentPages() {
  long size = 0;
  long resident = 0;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  const int got = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  return got == 2 ? resident : -1;
}

// Sends standard output to /dev/null until restore().
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    if (saved_ < 0 || null < 0 || dup2(null, 1) < 0) std::abort();
    close(null);
  }
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }
  ~QuietStdout() { restore(); }

 private:
  int saved_ = -1;
};

// Runs `count` fits cycling through the problems; false on the first result
// that differs from the problem's first fit.
bool runFits(const std::vector<Problem>& problems, const std::vector<Reference>& references,
             long count, std::string* failure) {
  std::vector<double> params;
  for (long k = 0; k < count; ++k) {
    const std::size_t index = static_cast<std::size_t>(k) % problems.size();
    const double status = fit(problems[index], &params);
    if (status != references[index].status || !sameBits(params, references[index].params)) {
      char buf[120];
      std::snprintf(buf, sizeof buf, "fit %ld (problem %zu) differs from its first run", k, index);
      *failure = buf;
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long iterations = 100000;
  bool rssCheck = true;
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--no-rss-check") == 0) {
      rssCheck = false;
    } else {
      iterations = std::strtol(argv[a], nullptr, 10);
    }
  }
#ifdef NLFIT_UNDER_ASAN
  // AddressSanitizer holds freed blocks in quarantine, so resident memory
  // grows without a leak; LeakSanitizer checks for leaks at exit instead.
  rssCheck = false;
#endif

  const std::vector<Problem> problems = makeProblems();
  std::vector<Reference> references(problems.size());
  std::string failure;
  long before = 0;
  long after = 0;
  {
    QuietStdout quiet;
    // First fits: the reference results.
    for (std::size_t i = 0; i < problems.size(); ++i) {
      references[i].status = fit(problems[i], &references[i].params);
    }
    // Warm-up, then the measured loop.
    const long warmup = iterations < 1000 ? iterations : 1000;
    bool ok = runFits(problems, references, warmup, &failure);
    residentPages();  // the reading itself takes memory the first time
    before = residentPages();
    ok = ok && runFits(problems, references, iterations, &failure);
    after = residentPages();
    quiet.restore();
    if (!ok) {
      std::fprintf(stderr, "FAIL: %s\n", failure.c_str());
      return 1;
    }
  }
  for (std::size_t i = 0; i < problems.size(); ++i) {
    const Problem& p = problems[i];
    const double expected = (p.model == nullptr) ? 1.0 : (p.pointCount > 1000) ? 2.0 : 0.0;
    if (references[i].status != expected) {
      std::fprintf(stderr, "FAIL: problem %zu returned %g instead of %g\n", i,
                   references[i].status, expected);
      return 1;
    }
  }

  const long pageKiB = sysconf(_SC_PAGESIZE) / 1024;
  const long slackPages = 32;
  std::printf("%ld fits of %zu problems; resident memory %ld KiB after warm-up, %ld KiB after the loop\n",
              iterations, problems.size(), before * pageKiB, after * pageKiB);
  if (!rssCheck) {
    std::printf("resident-memory check skipped\n");
    return 0;
  }
  if (before < 0 || after < 0) {
    std::fprintf(stderr, "FAIL: cannot read /proc/self/statm\n");
    return 1;
  }
  if (after - before > slackPages) {
    std::fprintf(stderr, "FAIL: resident memory grew by %ld pages (allowed %ld)\n", after - before,
                 slackPages);
    return 1;
  }
  return 0;
}
