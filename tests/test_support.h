// Helpers shared by the unit tests.
#ifndef NLFIT_TESTS_TEST_SUPPORT_H
#define NLFIT_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace nlfit_test {

// Number of doubles between a and b (0 when bit-identical or +0/-0); large
// when either is NaN or the signs differ.
inline std::uint64_t ulpDistance(double a, double b) {
  if (a == b) return 0;
  if (std::isnan(a) || std::isnan(b)) return UINT64_MAX;
  std::int64_t ia;
  std::int64_t ib;
  std::memcpy(&ia, &a, sizeof a);
  std::memcpy(&ib, &b, sizeof b);
  if ((ia < 0) != (ib < 0)) return UINT64_MAX;
  return ia > ib ? static_cast<std::uint64_t>(ia - ib) : static_cast<std::uint64_t>(ib - ia);
}

// Tolerance, in units in the last place, for results whose exact value is
// not representable.
constexpr std::uint64_t kFewUlps = 4;

#define EXPECT_NEAR_ULPS(expected, actual, ulps)                                \
  EXPECT_LE(::nlfit_test::ulpDistance((expected), (actual)), (ulps))            \
      << "expected " << ::nlfit_test::show(expected) << ", actual "             \
      << ::nlfit_test::show(actual)

// Bit-for-bit equality, printing both values in full on failure.
#define EXPECT_SAME_BITS(expected, actual)                                      \
  EXPECT_EQ(::nlfit_test::bits(expected), ::nlfit_test::bits(actual))           \
      << "expected " << ::nlfit_test::show(expected) << ", actual "             \
      << ::nlfit_test::show(actual)

inline std::uint64_t bits(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof v);
  return u;
}

inline std::string show(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// An m-by-n column matrix owning its storage: cols[j][i] is A(i, j), and
// ptrs is the array of column pointers that the solver routines take.
struct Columns {
  std::vector<std::vector<double>> cols;
  std::vector<double*> ptrs;

  Columns(int m, int n) : cols(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(m), 0.0)) {
    for (auto& c : cols) ptrs.push_back(c.data());
  }
  // From a list of columns.
  explicit Columns(std::vector<std::vector<double>> columns) : cols(std::move(columns)) {
    for (auto& c : cols) ptrs.push_back(c.data());
  }
  // A copy points at its own storage.
  Columns(const Columns& other) : cols(other.cols) {
    for (auto& c : cols) ptrs.push_back(c.data());
  }
  Columns(Columns&&) = default;
  Columns& operator=(const Columns& other) {
    cols = other.cols;
    ptrs.clear();
    for (auto& c : cols) ptrs.push_back(c.data());
    return *this;
  }
  Columns& operator=(Columns&&) = default;
  // From m*n values stored column by column.
  static Columns fromColumnMajor(int m, int n, const double* values) {
    Columns a(m, n);
    for (int j = 0; j < n; ++j) std::copy(values + j * m, values + (j + 1) * m, a.ptrs[static_cast<std::size_t>(j)]);
    return a;
  }
  double* const* get() { return ptrs.data(); }
  double& operator()(int i, int j) { return cols[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)]; }
};

// Uniform double in [lo, hi) from the top 53 bits of one draw. Mapping the
// raw engine output ourselves keeps randomized cases identical across
// standard libraries, whose distributions may differ.
inline double uniform(std::mt19937_64& rng, double lo, double hi) {
  const double unit = static_cast<double>(rng() >> 11) * 0x1p-53;
  return lo + (hi - lo) * unit;
}

// Runs f with standard output captured and returns what it printed.
template <typename F>
std::string captureStdout(F&& f) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// A zero-filled allocator for the tests of allocation failures: it fails
// every allocation once allocationsLeft() reaches 0 and counts it down
// otherwise; a negative value lets everything through.
inline int& allocationsLeft() {
  static int left = -1;
  return left;
}
inline void* limitedAllocation(std::size_t count, std::size_t size) {
  int& left = allocationsLeft();
  if (left == 0) return nullptr;
  if (left > 0) --left;
  return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

// Number of lines in s that start with prefix.
inline int countLinesStartingWith(const std::string& s, const std::string& prefix) {
  int count = 0;
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t end = s.find('\n', pos);
    if (end == std::string::npos) end = s.size();
    if (s.compare(pos, prefix.size(), prefix) == 0) ++count;
    pos = end + 1;
  }
  return count;
}


// Call log for residual functions written in tests. A residual function is a
// plain function pointer, so test problems keep their state here: reset()
// before a run, and record() at the end of every evaluation, after the
// residuals are written.
struct CallProbe {
  int calls = 0;
  int injectAt = 0;      // 1-based call that stores injectValue in the flag; 0: none
  int injectValue = 0;
  std::vector<int> flagsSeen;                // the flag as each call received it
  std::vector<std::vector<double>> points;   // the parameters of each call

  void reset(int at = 0, int value = 0) {
    calls = 0;
    injectAt = at;
    injectValue = value;
    flagsSeen.clear();
    points.clear();
  }
  void record(int n, const double* x, int* evalFlag) {
    ++calls;
    flagsSeen.push_back(*evalFlag);
    points.emplace_back(x, x + n);
    if (calls == injectAt) *evalFlag = injectValue;
  }
  int callsWithFlag(int flag) const {
    int count = 0;
    for (int f : flagsSeen) count += (f == flag) ? 1 : 0;
    return count;
  }
};

inline CallProbe& probe() {
  static CallProbe instance;
  return instance;
}

// The doubles of a whitespace-separated list (decimal or hexadecimal floats).
inline std::vector<double> parseDoubles(const std::string& s) {
  std::vector<double> values;
  std::istringstream in(s);
  std::string word;
  while (in >> word) values.push_back(std::strtod(word.c_str(), nullptr));
  return values;
}

// A recorded run: "key value..." lines ('#' starts a comment). The "fnorm"
// lines are kept in order, newline-terminated, as a run prints them.
struct Trace {
  bool found = false;
  std::map<std::string, std::string> fields;
  std::string progress;

  const std::string& operator[](const std::string& key) const {
    static const std::string empty;
    auto it = fields.find(key);
    return it == fields.end() ? empty : it->second;
  }
  int integer(const std::string& key) const { return std::atoi((*this)[key].c_str()); }
  double real(const std::string& key) const { return std::strtod((*this)[key].c_str(), nullptr); }
  std::vector<double> reals(const std::string& key) const { return parseDoubles((*this)[key]); }
};

inline Trace readTrace(const std::string& path) {
  Trace trace;
  std::ifstream in(path);
  trace.found = static_cast<bool>(in);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, 6, "fnorm ") == 0) {
      trace.progress += line + "\n";
      continue;
    }
    const std::size_t space = line.find(' ');
    trace.fields[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
  }
  return trace;
}

}  // namespace nlfit_test

#endif  // NLFIT_TESTS_TEST_SUPPORT_H
