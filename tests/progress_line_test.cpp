#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fit/fit.h"
#include "test_support.h"

namespace {

using nlfit::formatProgressLine;
using nlfit::kProgressLineCapacity;

std::string viaPrintf(double v) {
  char buf[kProgressLineCapacity];
  std::snprintf(buf, sizeof buf, "fnorm %.15e\n", v);
  return buf;
}

std::string viaFormatter(double v, int* length) {
  char buf[kProgressLineCapacity];
  *length = formatProgressLine(v, buf);
  return buf;
}

// Compares every value with printf; reports the first few mismatches.
void expectSameAsPrintf(const std::vector<double>& values) {
  int mismatches = 0;
  for (double v : values) {
    int length = 0;
    const std::string expected = viaPrintf(v);
    const std::string actual = viaFormatter(v, &length);
    if (actual != expected || length != static_cast<int>(expected.size())) {
      if (++mismatches <= 5) {
        ADD_FAILURE() << "value " << nlfit_test::show(v) << ": printf gives " << expected
                      << "formatter gives " << actual << "(length " << length << ")";
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << "of " << values.size() << " values";
}

double fromBits(std::uint64_t bits) {
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// 64-bit generator with a fixed seed, so that a failure repeats.
struct Bits {
  std::uint64_t state;
  std::uint64_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 33)) * 0xff51afd7ed558ccdULL;
    return z ^ (z >> 33);
  }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
};

TEST(ProgressLine, SpecialValuesMatchPrintf) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  expectSameAsPrintf({0.0, -0.0, inf, -inf, nan, -nan, DBL_MIN, -DBL_MIN, DBL_MAX, -DBL_MAX,
                      std::numeric_limits<double>::denorm_min(), 1e-310, 2.5e-320, 1e-300,
                      1.0, -1.0, 0.5, 0.1, 9.9999999999999995e-1, 1e-17, 1e47, 1e100, 1e-100});
}

TEST(ProgressLine, PowersOfTenAndTheirNeighboursMatchPrintf) {
  std::vector<double> values;
  for (int k = -330; k <= 308; ++k) {
    char text[32];
    std::snprintf(text, sizeof text, "1e%d", k);
    const double p = std::strtod(text, nullptr);
    double below = p;
    double above = p;
    for (int step = 0; step < 4; ++step) {
      values.push_back(below);
      values.push_back(above);
      below = std::nextafter(below, 0.0);
      above = std::nextafter(above, std::numeric_limits<double>::infinity());
    }
    // Just below the rounding boundary to the next decade: 9.9999999999999995e(k-1).
    std::snprintf(text, sizeof text, "9.9999999999999995e%d", k - 1);
    const double b = std::strtod(text, nullptr);
    values.push_back(b);
    values.push_back(std::nextafter(b, 0.0));
    values.push_back(std::nextafter(b, std::numeric_limits<double>::infinity()));
  }
  expectSameAsPrintf(values);
}

TEST(ProgressLine, ExactHalvesRoundToEven) {
  // Between 2^50 and 2^52 the doubles include every integer plus one half:
  // 16 digits followed by exactly 5.
  Bits gen{11};
  std::vector<double> values;
  for (int i = 0; i < 20000; ++i) {
    const double whole = std::floor(1e15 + gen.unit() * 3.4e15);
    values.push_back(whole + 0.5);
    values.push_back(whole + 0.25);
    values.push_back(-(whole + 0.5));
  }
  for (double v = 1e15; v < 1e15 + 100; v += 0.5) values.push_back(v);
  expectSameAsPrintf(values);
}

TEST(ProgressLine, RandomValuesOfEveryMagnitudeMatchPrintf) {
  Bits gen{2024};
  std::vector<double> values;
  for (int i = 0; i < 200000; ++i) {
    // Log-uniform from 1e-30 to 1e60, over the exact range and beyond it.
    values.push_back(std::pow(10.0, -30.0 + 90.0 * gen.unit()));
  }
  for (int i = 0; i < 100000; ++i) values.push_back(fromBits(gen.next()));  // any bit pattern
  for (int i = 0; i < 20000; ++i) {
    values.push_back(fromBits(gen.next() & 0x000fffffffffffffULL));  // subnormals
  }
  expectSameAsPrintf(values);
}

}  // namespace

TEST(ProgressLine, DecimalPointWhateverTheLocale) {
  // Both the exact path and the general one (zero, 1e47 and above).
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
    // tools/setup-deps generates it; under CI a missing locale is a failure.
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "no de_DE.UTF-8 locale (CI=true)";
    GTEST_SKIP() << "no de_DE.UTF-8 locale here (tools/setup-deps generates it)";
  }
  std::vector<std::string> lines;
  for (double v : {0.0, 1.5, 1e50, -2.5e300}) {
    char line[nlfit::kProgressLineCapacity];
    lines.emplace_back(line, static_cast<std::size_t>(nlfit::formatProgressLine(v, line)));
  }
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(lines, (std::vector<std::string>{"fnorm 0.000000000000000e+00\n",
                                             "fnorm 1.500000000000000e+00\n",
                                             "fnorm 1.000000000000000e+50\n",
                                             "fnorm -2.500000000000000e+300\n"}));
}
