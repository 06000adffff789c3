#include "find_ls_case.h"

#include "byte_reader.h"
#include "stdout_capture.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace nlfit_fuzz {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- the models -----------------------------------------------------------

double lineModel(double x, double p0, double p1, double, double, double) {
  return p0 + p1 * x;  // ignores p2, p3 and p4
}
double decayModel(double x, double p0, double p1, double p2, double, double) {
  return p0 * std::exp(-p1 * x) + p2;
}
// NaN where the argument of the logarithm is negative, -inf where it is 0.
double logDomainModel(double x, double p0, double p1, double p2, double, double) {
  return p0 * std::log(p1 * x + p2);
}
// Overflows to +-inf for moderate arguments.
double overflowModel(double x, double p0, double p1, double, double, double) {
  return p0 * 1e300 * std::exp(p1 * x);
}
double constantModel(double, double, double, double, double, double) {
  return 3.0;
}
// Well-behaved inside |p1| <= 1, NaN outside it, +inf for large p0.
double nanOutsideModel(double x, double p0, double p1, double, double, double) {
  if (p1 > 1.0 || p1 < -1.0) return kNaN;
  if (p0 > 1e3) return kInf;
  return p0 * std::exp(p1 * x);
}
double nanEverywhereModel(double, double, double, double, double, double) {
  return kNaN;
}
// A pole at x = p1.
double poleModel(double x, double p0, double p1, double p2, double, double) {
  return p0 / (x - p1) + p2;
}
double allFiveModel(double x, double p0, double p1, double p2, double p3, double p4) {
  return p0 + p1 * x + p2 * x * x + p3 * std::sin(p4 * x);
}

struct NamedModel {
  const char* name;
  ModelFunction fn;
};

const NamedModel kModels[] = {
    {"line", lineModel},
    {"decay", decayModel},
    {"logDomain", logDomainModel},
    {"overflow", overflowModel},
    {"constant", constantModel},
    {"nanOutside", nanOutsideModel},
    {"nanEverywhere", nanEverywhereModel},
    {"pole", poleModel},
    {"allFive", allFiveModel},
};

// ---- decoding -------------------------------------------------------------

const int kParamCounts[16] = {INT_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1000, INT_MAX};
const int kPointCounts[16] = {INT_MIN, -1000, -1, 0,    1,    2,    8,    9,
                              10,      11,    999, 1000, 1001, 1002, 5000, INT_MAX};
const double kScales[16] = {1.0,    1.0,    1.0,   1.0,   1.0,  1.0,   1.0,    1.0,
                            1e-300, 1e-100, 1e-10, 1e-3,  1e3,  1e10,  1e100,  1e300};
const double kOddValues[16] = {0.0,
                              -0.0,
                              kNaN,
                              -kNaN,
                              kInf,
                              -kInf,
                              1e308,
                              -1e308,
                              std::numeric_limits<double>::denorm_min(),
                              -std::numeric_limits<double>::denorm_min(),
                              2.2250738585072009e-308,  // largest subnormal
                              1e-310,
                              std::numeric_limits<double>::max(),
                              -std::numeric_limits<double>::min(),
                              1.0,
                              -1.0};

constexpr int kMaxStoredPoints = 1001;
constexpr int kMaxStoredParams = 1000;
constexpr int kStreamParams = 11;  // starting values taken from the input

// The input as choices and values, with this harness's odd values.
class Reader : public ByteReader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : ByteReader(data, size, kOddValues) {}
};

int storageFor(int count, int cap) {
  if (count <= 0) return 1;
  return count < cap ? count : cap;
}

StdoutCapture capture;

struct Run {
  double status = -1.0;
  std::vector<double> params;
  std::string out;
};

Run runOnce(const FitCase& c) {
  Run r;
  r.params = c.params;
  const double* x = c.nullX ? nullptr : c.x.data();
  const double* y = c.nullY ? nullptr : c.y.data();
  double* p = c.nullParams ? nullptr : r.params.data();
  capture.start();
  r.status = findLS(modelOf(c), c.paramCount, c.pointCount, x, y, p);
  r.out = capture.stop();
  return r;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool allFinite(const std::vector<double>& v, int count) {
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(v[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

// Every line is "fnorm " followed by one number, and there is at least one.
bool wellFormedProgress(const std::string& out) {
  if (out.empty() || out.back() != '\n') return false;
  std::size_t pos = 0;
  while (pos < out.size()) {
    const std::size_t end = out.find('\n', pos);
    const std::string line = out.substr(pos, end - pos);
    if (line.compare(0, 6, "fnorm ") != 0) return false;
    const char* number = line.c_str() + 6;
    char* stop = nullptr;
    std::strtod(number, &stop);
    if (stop == number || *stop != '\0') return false;
    pos = end + 1;
  }
  return true;
}

// Overwrites every stored observation with junk through a call that stores
// the data and is then refused (null model).
std::string scribbleOverStore() {
  static std::vector<double> junk;
  if (junk.empty()) {
    for (int i = 0; i < 1000; ++i) junk.push_back((i % 2 == 0) ? kNaN : -1e308);
  }
  double dummy = 1.0;
  capture.start();
  const double status = findLS(nullptr, 1, 1000, junk.data(), junk.data(), &dummy);
  const std::string out = capture.stop();
  if (status != 1.0 || !out.empty() || dummy != 1.0) return "scribbling call was not refused silently";
  return "";
}

std::string describe(const FitCase& c) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "model %s, paramCount %d, pointCount %d, null x/y/params %d/%d/%d",
                modelName(c.modelIndex), c.paramCount, c.pointCount, c.nullX, c.nullY,
                c.nullParams);
  return buf;
}

}  // namespace

const int kModelCount = static_cast<int>(sizeof kModels / sizeof kModels[0]);

ModelFunction modelOf(const FitCase& c) {
  return (c.modelIndex >= 0 && c.modelIndex < kModelCount) ? kModels[c.modelIndex].fn : nullptr;
}

const char* modelName(int modelIndex) {
  return (modelIndex >= 0 && modelIndex < kModelCount) ? kModels[modelIndex].name : "null";
}

FitCase decode(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  FitCase c;
  c.modelIndex = in.byte(0) % (kModelCount + 1);
  const std::uint8_t nulls = in.byte(8);
  if (nulls < 8) {
    c.nullX = (nulls & 1) != 0;
    c.nullY = (nulls & 2) != 0;
    c.nullParams = (nulls & 4) != 0;
  }
  c.paramCount = kParamCounts[in.byte(4) % 16];
  const std::uint8_t pointByte = in.byte(20);
  c.pointCount = (pointByte < 16) ? kPointCounts[pointByte] : pointByte - 15;
  const double xScale = kScales[in.byte(0) % 16];
  const double yScale = kScales[in.byte(0) % 16];
  const double pScale = kScales[in.byte(0) % 16];

  const int paramStorage = storageFor(c.paramCount, kMaxStoredParams);
  c.params.assign(static_cast<std::size_t>(paramStorage), pScale);
  for (int j = 0; j < paramStorage && j < kStreamParams; ++j) {
    c.params[static_cast<std::size_t>(j)] = in.value(1.0) * pScale;
  }

  const int pointStorage = storageFor(c.pointCount, kMaxStoredPoints);
  c.x.resize(static_cast<std::size_t>(pointStorage));
  c.y.resize(static_cast<std::size_t>(pointStorage));
  for (int i = 0; i < pointStorage; ++i) {
    const double defaultX = static_cast<double>(i);
    const double defaultY = static_cast<double>((7 * i) % 11 - 5);
    c.x[static_cast<std::size_t>(i)] = in.value(defaultX) * xScale;
    c.y[static_cast<std::size_t>(i)] = in.value(defaultY) * yScale;
  }
  return c;
}

double expectedStatus(const FitCase& c) {
  if (c.paramCount > 9) return 1.0;
  if (c.pointCount > 1000) return 2.0;
  if (c.pointCount > 0 && (c.nullX || c.nullY)) return 1.0;
  if (c.paramCount <= 0 || c.pointCount < c.paramCount) return 1.0;
  if (modelOf(c) == nullptr || c.nullParams) return 1.0;
  if (!allFinite(c.x, c.pointCount) || !allFinite(c.y, c.pointCount) ||
      !allFinite(c.params, c.paramCount)) {
    return 1.0;
  }
  return 0.0;
}

std::string checkCase(const FitCase& c, double* status) {
  const Run first = runOnce(c);
  *status = first.status;
  const std::string where = " (" + describe(c) + ")";

  if (first.status != 0.0 && first.status != 1.0 && first.status != 2.0) {
    return "status is not 0, 1 or 2" + where;
  }
  const double expected = expectedStatus(c);
  if (!sameBits(first.status, expected)) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "status %g where the contract gives %g", first.status, expected);
    return buf + where;
  }
  if (first.status != 0.0) {
    if (!first.out.empty()) return "a refused call printed \"" + first.out + "\"" + where;
    if (!sameBits(first.params, c.params)) return "a refused call changed params" + where;
  } else if (!wellFormedProgress(first.out)) {
    return "a fit printed something other than fnorm lines: \"" + first.out + "\"" + where;
  }

  // Every call registers its model, refused or not.
  const double probe[5] = {0.25, -0.5, 0.75, 1.5, -2.0};
  const ModelFunction model = modelOf(c);
  const double registered = theModelFct(0.5, probe, 5);
  if (model == nullptr ? !std::isnan(registered)
                       : !sameBits(registered, model(0.5, probe[0], probe[1], probe[2],
                                                     probe[3], probe[4]))) {
    return "theModelFct does not evaluate the model of the latest call" + where;
  }

  // The same call again, after another call left different observations in
  // the store, gives the same bits.
  const std::string scribbled = scribbleOverStore();
  if (!scribbled.empty()) return scribbled + where;
  const Run second = runOnce(c);
  if (!sameBits(first.status, second.status)) return "status differs on the second run" + where;
  if (!sameBits(first.params, second.params)) return "params differ on the second run" + where;
  if (first.out != second.out) return "progress lines differ on the second run" + where;
  return "";
}

// ---- seeds ----------------------------------------------------------------

namespace {

// Builds an input in the layout described in the header.
class SeedWriter {
 public:
  SeedWriter(int model, int nulls, int paramSelector, int pointByte, int xScale = 0,
             int yScale = 0, int pScale = 0) {
    for (int b : {model, nulls, paramSelector, pointByte, xScale, yScale, pScale}) {
      bytes_.push_back(static_cast<std::uint8_t>(b));
    }
  }
  // A value on the grid (b - 144) / 16 with b in 32 ... 255.
  SeedWriter& v(double value) {
    const double b = value * 16.0 + 144.0;
    if (b < 32.0 || b > 255.0 || b != std::floor(b)) return raw(value);
    bytes_.push_back(static_cast<std::uint8_t>(b));
    return *this;
  }
  SeedWriter& odd(int index) {
    bytes_.push_back(static_cast<std::uint8_t>(index));
    return *this;
  }
  SeedWriter& raw(double value) {
    bytes_.push_back(16);
    std::uint8_t b[sizeof value];
    std::memcpy(b, &value, sizeof value);
    bytes_.insert(bytes_.end(), b, b + sizeof value);
    return *this;
  }
  // (x, y) pairs with y = f(x) at x = x0, x0 + dx, ...
  template <typename F>
  SeedWriter& points(int count, double x0, double dx, F f) {
    for (int i = 0; i < count; ++i) {
      const double x = x0 + dx * i;
      v(x).raw(f(x));
    }
    return *this;
  }
  std::vector<std::uint8_t> bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Selector bytes for the counts (see the tables above).
int pc(int n) { return n + 2; }    // kParamCounts[n + 2] == n for n = 0 ... 11
int pts(int n) { return n + 15; }  // n = 1 ... 240
enum OddValue { kZero = 0, kNegZero, kNaNIdx, kNegNaN, kPosInf, kNegInf, kBig, kNegBig,
               kDenorm, kNegDenorm, kMaxSub, kE310, kMax, kNegMin, kOne, kNegOne };
enum ScaleIdx { kS1 = 0, kTiny = 8, kE100neg, kE10neg, kE3neg, kE3, kE10, kE100, kE300 };

}  // namespace

std::vector<Seed> seedInputs() {
  const int kNull = kModelCount;
  auto line = [](double x) { return 1.0 + 2.0 * x; };
  auto decay = [](double x) { return 2.0 * std::exp(-0.5 * x) + 1.0; };
  std::vector<Seed> seeds;
  auto add = [&](const char* name, const SeedWriter& w) { seeds.push_back({name, w.bytes()}); };

  add("line_fit", SeedWriter(0, 8, pc(2), pts(5)).v(0).v(0).points(5, 0, 1, line));
  add("decay_fit", SeedWriter(1, 8, pc(3), pts(8)).v(1).v(1).v(0).points(8, 0, 0.5, decay));
  add("log_domain_nan_start", SeedWriter(2, 8, pc(3), pts(6)).v(1).v(-1).v(0).points(6, 1, 1, line));
  add("log_domain_fit", SeedWriter(2, 8, pc(3), pts(6)).v(1).v(1).v(1).points(6, 1, 1, line));
  add("overflow_model", SeedWriter(3, 8, pc(2), pts(6)).v(1).v(2).points(6, 0, 4, line));
  add("constant_model", SeedWriter(4, 8, pc(3), pts(4)).v(1).v(2).v(3).points(4, 0, 1, line));
  add("nan_outside_far_start",
      SeedWriter(5, 8, pc(2), pts(8)).v(0.5).v(-0.75).points(8, 0, 0.5, [](double x) {
        return 2.0 * std::exp(0.25 * x);
      }));
  add("nan_everywhere", SeedWriter(6, 8, pc(2), pts(5)).v(1).v(1).points(5, 0, 1, line));
  add("pole_model", SeedWriter(7, 8, pc(3), pts(7)).v(1).v(0).v(0).points(7, 0, 0.5, line));
  add("all_five_params", SeedWriter(8, 8, pc(5), pts(12)).v(0).v(1).v(0).v(1).v(1).points(
                             12, -1, 0.25, [](double x) { return 1 + x + 0.5 * x * x + std::sin(2 * x); }));
  add("nine_params_ten_points", SeedWriter(8, 8, pc(9), 8).v(1).v(1).v(1).v(1).v(1).v(1).v(1).v(1).v(1));
  add("null_model", SeedWriter(kNull, 8, pc(2), pts(5)).v(0).v(0).points(5, 0, 1, line));
  add("null_x", SeedWriter(0, 1, pc(2), pts(5)).v(0).v(0).points(5, 0, 1, line));
  add("null_y", SeedWriter(0, 2, pc(2), pts(5)).v(0).v(0).points(5, 0, 1, line));
  add("null_params", SeedWriter(0, 4, pc(2), pts(5)).points(5, 0, 1, line));
  add("all_null", SeedWriter(kNull, 7, pc(2), pts(5)));
  add("param_count_int_min", SeedWriter(0, 8, 0, pts(5)).points(5, 0, 1, line));
  add("param_count_zero", SeedWriter(0, 8, pc(0), pts(5)).points(5, 0, 1, line));
  add("param_count_ten", SeedWriter(0, 8, pc(10), pts(12)));
  add("param_count_int_max", SeedWriter(0, 8, 15, pts(12)));
  add("point_count_zero", SeedWriter(0, 8, pc(1), 3).v(1));
  add("point_count_negative", SeedWriter(0, 8, pc(1), 2).v(1));
  add("fewer_points_than_params", SeedWriter(8, 8, pc(3), pts(2)).v(1).v(1).v(1).points(2, 0, 1, line));
  add("point_count_1000", SeedWriter(1, 8, pc(3), 11).v(1).v(1).v(0));
  add("point_count_1001", SeedWriter(1, 8, pc(3), 12).v(1).v(1).v(0));
  add("point_count_int_max", SeedWriter(1, 8, pc(3), 15).v(1).v(1).v(0));
  add("nan_observation", SeedWriter(0, 8, pc(2), pts(3)).v(0).v(0).v(0).v(1).v(1).odd(kNaNIdx).v(2).v(5));
  add("inf_abscissa", SeedWriter(0, 8, pc(2), pts(3)).v(0).v(0).v(0).v(1).odd(kPosInf).v(3).v(2).v(5));
  add("neg_inf_start", SeedWriter(0, 8, pc(2), pts(3)).v(0).odd(kNegInf).points(3, 0, 1, line));
  add("extreme_finite_values",
      SeedWriter(8, 8, pc(4), pts(6)).odd(kNegZero).odd(kDenorm).odd(kBig).odd(kMaxSub)
          .odd(kZero).odd(kNegBig).odd(kNegDenorm).odd(kE310).odd(kMax)
          .odd(kNegMin).odd(kOne).odd(kNegOne).v(2).v(3));
  add("huge_x_tiny_y", SeedWriter(0, 8, pc(2), pts(5), kE300, kTiny, kS1).v(1).v(1).points(5, 0, 1, line));
  add("tiny_x_huge_y", SeedWriter(1, 8, pc(3), pts(5), kTiny, kE300, kS1).v(1).v(1).v(1).points(5, 0, 1, decay));
  add("huge_params", SeedWriter(0, 8, pc(2), pts(5), kS1, kE100, kE100).v(1).v(1).points(5, 0, 1, line));
  add("tiny_params", SeedWriter(1, 8, pc(3), pts(5), kE3neg, kS1, kE100neg).v(1).v(1).v(1).points(5, 0, 1, decay));
  return seeds;
}

}  // namespace nlfit_fuzz
