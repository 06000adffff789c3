// Fits with known answers: for every model of the NIST table, observations
// generated from known parameters at 10, 100 and 1000 evenly spaced abscissae,
// fitted through findLS from a start 10 to 50 % away from the known values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "api_support.h"
#include "fit_measures.h"
#include "nist_models.h"
#include "nlfit.h"
#include "test_support.h"

namespace {

using nlfit_test::FitRun;

// Relative offsets of the starting point from the known parameters.
const double kStandardOffsets[5] = {0.3, -0.2, 0.5, -0.4, 0.1};

// Eckerle4 is a peak of width b2 = 4.1 centred at b3 = 451.5 on [400, 500].
// Moving the centre by 10 % (45, eleven widths) leaves every observation in
// the peak's tail, where the model and its derivatives are below 1e-20 and
// the fit has nothing to follow; the centre is moved by 1 % (one width).
const double kEckerle4Offsets[5] = {0.3, -0.2, 0.01, 0.0, 0.0};

// Bennett5, b1 (b2 + x)^(-1/b3), has b2 + x varying by only 8 % over the
// abscissae, so its three parameters are nearly interchangeable and the
// minimum lies at the end of a long, narrow, curved valley. From the standard
// offsets the fit crawls along it and spends its whole evaluation budget
// (about 200 outer iterations) still 1e-3 short of a zero residual; the
// offsets are reduced to a fifth (6 %, 4 %, 10 %).
const double kBennett5Offsets[5] = {0.06, -0.04, 0.1, 0.0, 0.0};

struct SyntheticModel {
  const char* name;     // entry of the NIST model table
  double known[5];      // the parameters that generate the observations
  double xLow;          // abscissae evenly spaced over [xLow, xHigh]
  double xHigh;
  const double* offsets;
};

// Known parameters: the NIST certified values; abscissae over the range of
// NIST's observations.
const SyntheticModel kModels[] = {
    {"Misra1a", {2.3894212918E+02, 5.5015643181E-04}, 77.6, 760.0, kStandardOffsets},
    {"Misra1b", {3.3799746163E+02, 3.9039091287E-04}, 77.6, 760.0, kStandardOffsets},
    {"Misra1c", {6.3642725809E+02, 2.0813627256E-04}, 77.6, 760.0, kStandardOffsets},
    {"Misra1d", {4.3736970754E+02, 3.0227324449E-04}, 77.6, 760.0, kStandardOffsets},
    {"Chwirut1", {1.9027818370E-01, 6.1314004477E-03, 1.0530908399E-02}, 0.5, 6.0,
     kStandardOffsets},
    {"Chwirut2", {1.6657666537E-01, 5.1653291286E-03, 1.2150007096E-02}, 0.5, 6.0,
     kStandardOffsets},
    {"DanWood", {7.6886226176E-01, 3.8604055871E+00}, 1.309, 1.680, kStandardOffsets},
    {"Kirby2",
     {1.6745063063E+00, -1.3927397867E-01, 2.5961181191E-03, -1.7241811870E-03,
      2.1664802578E-05},
     9.65, 371.3, kStandardOffsets},
    {"MGH09", {1.9280693458E-01, 1.9128232873E-01, 1.2305650693E-01, 1.3606233068E-01}, 0.0625,
     4.0, kStandardOffsets},
    {"MGH10", {5.6096364710E-03, 6.1813463463E+03, 3.4522363462E+02}, 50.0, 125.0,
     kStandardOffsets},
    {"MGH17",
     {3.7541005211E-01, 1.9358469127E+00, -1.4646871366E+00, 1.2867534640E-02,
      2.2122699662E-02},
     0.0, 320.0, kStandardOffsets},
    {"Roszman1", {2.0196866396E-01, -6.1953516256E-06, 1.2044556708E+03, -1.8134269537E+02},
     -4868.68, -464.30, kStandardOffsets},
    {"BoxBOD", {2.1380940889E+02, 5.4723748542E-01}, 1.0, 10.0, kStandardOffsets},
    {"Rat42", {7.2462237576E+01, 2.6180768402E+00, 6.7359200066E-02}, 9.0, 79.0,
     kStandardOffsets},
    {"Rat43", {6.9964151270E+02, 5.2771253025E+00, 7.5962938329E-01, 1.2792483859E+00}, 1.0,
     15.0, kStandardOffsets},
    {"Eckerle4", {1.5543827178E+00, 4.0888321754E+00, 4.5154121844E+02}, 400.0, 500.0,
     kEckerle4Offsets},
    {"Bennett5", {-2.5235058043E+03, 4.6736564644E+01, 9.3218483193E-01}, 7.447168, 11.76868,
     kBennett5Offsets},
};

// Agreeing digits that a noise-free fit must reach on every parameter.
constexpr double kRecoveredDigits = 8.0;
// Amplitude of the noise, relative to the largest noise-free observation.
constexpr double kNoiseLevel = 0.01;
constexpr std::uint64_t kNoiseSeed = 0x5eed2026u;

// Uniform doubles in [-1, 1) from a 64-bit mixing generator (splitmix64):
// the same sequence on every platform.
class UniformNoise {
 public:
  explicit UniformNoise(std::uint64_t seed) : state_(seed) {}
  double next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
  }

 private:
  std::uint64_t state_;
};

struct Problem {
  const NistModel* model = nullptr;
  std::vector<double> known;
  std::vector<double> start;
  std::vector<double> x;
  std::vector<double> y;       // noise-free
  std::vector<double> yNoisy;  // y plus the fixed noise
};

Problem makeProblem(const SyntheticModel& s, int points) {
  Problem p;
  p.model = nistModelByName(s.name);
  if (p.model == nullptr) return p;
  const int n = p.model->paramCount;
  for (int j = 0; j < n; ++j) {
    p.known.push_back(s.known[j]);
    p.start.push_back(s.known[j] * (1.0 + s.offsets[j]));
  }
  double largest = 0.0;
  for (int i = 0; i < points; ++i) {
    const double x = s.xLow + (s.xHigh - s.xLow) * (static_cast<double>(i) / (points - 1));
    const double y = p.model->function(x, s.known[0], s.known[1], s.known[2], s.known[3],
                                       s.known[4]);
    p.x.push_back(x);
    p.y.push_back(y);
    largest = std::fmax(largest, std::fabs(y));
  }
  UniformNoise noise(kNoiseSeed);
  for (double y : p.y) p.yNoisy.push_back(y + kNoiseLevel * largest * noise.next());
  return p;
}

struct SyntheticCase {
  const SyntheticModel* model;
  int points;
};

void PrintTo(const SyntheticCase& c, std::ostream* os) {
  *os << c.model->name << " at " << c.points << " points";
}

std::vector<SyntheticCase> allCases() {
  std::vector<SyntheticCase> cases;
  for (const SyntheticModel& m : kModels) {
    for (int points : {10, 100, 1000}) cases.push_back({&m, points});
  }
  return cases;
}

class SyntheticFit : public testing::TestWithParam<SyntheticCase> {};

// The same fit through the fitting API: the plug-in's parameters and progress
// lines bit for bit; a fit that spent its budget (noisy Bennett5) is not
// converged, every other is.
void expectApiAgreesAndConverges(const Problem& p, const std::vector<double>& y,
                                 const FitRun& plugin) {
  nlfit_test::ApiRun api(p.start.size());
  nlfit_test::runApiFit(api, p.model->function, p.x, y, p.start, nlfit_test::defaultOptions());
  EXPECT_EQ(api.progress, plugin.output);
  for (std::size_t j = 0; j < p.start.size(); ++j) {
    EXPECT_SAME_BITS(plugin.params[j], api.params[j]) << j;
  }
  EXPECT_EQ(api.result.converged, api.status == NLFIT_STOPPED_EVALUATIONS ? 0 : 1)
      << nlfit_status_name(api.status);
}

TEST_P(SyntheticFit, RecoversKnownParametersFromNoiseFreeData) {
  const Problem p = makeProblem(*GetParam().model, GetParam().points);
  ASSERT_NE(p.model, nullptr);
  const FitRun run = nlfit_test::runFit(p.model->function, p.x, p.y, p.start);
  ASSERT_EQ(run.status, 0.0);
  for (std::size_t j = 0; j < p.known.size(); ++j) {
    EXPECT_GE(nlfit_test::logRelativeError(run.params[j], p.known[j]), kRecoveredDigits)
        << "parameter " << j << ": fitted " << nlfit_test::show(run.params[j]) << ", known "
        << nlfit_test::show(p.known[j]);
  }
  expectApiAgreesAndConverges(p, p.y, run);
}

TEST_P(SyntheticFit, FitsNoisyDataAtLeastAsWellAsKnownParameters) {
  const Problem p = makeProblem(*GetParam().model, GetParam().points);
  ASSERT_NE(p.model, nullptr);
  const FitRun run = nlfit_test::runFit(p.model->function, p.x, p.yNoisy, p.start);
  ASSERT_EQ(run.status, 0.0);
  // Both sums go through the model that this fit registered.
  const double fitted = nlfit_test::residualSumOfSquares(run.params, p.x, p.yNoisy);
  const double atKnown = nlfit_test::residualSumOfSquares(p.known, p.x, p.yNoisy);
  EXPECT_LE(fitted, atKnown);
  expectApiAgreesAndConverges(p, p.yNoisy, run);
}

INSTANTIATE_TEST_SUITE_P(NistModels, SyntheticFit, testing::ValuesIn(allCases()),
                         [](const testing::TestParamInfo<SyntheticCase>& info) {
                           return std::string(info.param.model->name) + "_" +
                                  std::to_string(info.param.points);
                         });

TEST(SyntheticFitTable, ListsEveryModelOfTheNistTable) {
  std::set<std::string> listed;
  for (const SyntheticModel& m : kModels) listed.insert(m.name);
  for (int i = 0; i < kNistModelCount; ++i) {
    EXPECT_EQ(listed.count(kNistModelTable[i].name), 1u) << kNistModelTable[i].name;
  }
}

// A model that reads p2 and p4 only.
double saturationInP2P4(double x, double p0, double p1, double p2, double p3, double p4) {
  (void)p0;
  (void)p1;
  (void)p3;
  return p2 * (1.0 - std::exp(-p4 * x));
}

TEST(SyntheticFit, ParametersTheModelDoesNotUseStayBitForBitUnchanged) {
  struct Case {
    ModelFunction model;
    int usedA;
    int usedB;
  };
  const double a = 238.94212918;
  const double b = 5.5015643181e-4;
  // Misra1a reads p0 and p1; the local model p2 and p4. Positions 5 to 8 are
  // never handed to any model. The unused values are kept moderate: they
  // count in the norm of the scaled parameter vector against which the step
  // test measures a step, and a value such as 1e300 there ends the fit after
  // its first steps, correctly unchanged but with the used pair far off.
  for (const Case& c : {Case{nistModelByName("Misra1a")->function, 0, 1},
                        Case{saturationInP2P4, 2, 4}}) {
    std::vector<double> start = {-7.5, 0.0, 1.5, -1e-310, 3.0, 0.1, -0.0, 42.0, 6.02e-3};
    start[static_cast<std::size_t>(c.usedA)] = a * 1.3;
    start[static_cast<std::size_t>(c.usedB)] = b * 0.8;
    std::vector<double> x;
    std::vector<double> y;
    for (int i = 0; i < 50; ++i) {
      x.push_back(77.6 + 14.0 * i);
      y.push_back(a * (1.0 - std::exp(-b * x.back())));
    }
    const FitRun run = nlfit_test::runFit(c.model, x, y, start);
    ASSERT_EQ(run.status, 0.0);
    for (int j = 0; j < 9; ++j) {
      const double fitted = run.params[static_cast<std::size_t>(j)];
      if (j == c.usedA) {
        EXPECT_GE(nlfit_test::logRelativeError(fitted, a), kRecoveredDigits);
      } else if (j == c.usedB) {
        EXPECT_GE(nlfit_test::logRelativeError(fitted, b), kRecoveredDigits);
      } else {
        EXPECT_SAME_BITS(start[static_cast<std::size_t>(j)], fitted) << "parameter " << j;
      }
    }
  }
}

}  // namespace
