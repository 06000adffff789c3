// Accuracy on the NIST StRD nonlinear regression problems shipped in
// data/nist: every dataset from both of its starting points, fitted through
// findLS with the library's own tolerance.
//
// The files under tests/data/nist hold, for each case, the progress lines and
// the fitted parameters (%.17g) that a fit must print and return: expected
// outputs computed independently in IEEE double arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fit_measures.h"
#include "nist_dataset.h"
#include "nist_models.h"
#include "nlfit.h"
#include "test_support.h"

namespace {

using nlfit_test::FitRun;

// One case, with what the fit achieves there: the status of findLS and the
// agreeing digits with the certified values, measured and rounded down to one
// decimal. A fit must reach at least these digits.
struct NistCase {
  const char* dataset;
  int start;              // 1 (far) or 2 (near)
  double status;
  double paramDigits;     // minimum over the parameters
  double rssDigits;       // residual sum of squares
};

// Every shipped dataset from both starts. Two cases are not solved:
// - BoxBOD from start 1 (b = 1, 1): the fit drives b2 up to about 22.7, where
//   exp(-b2 x) vanishes for every x >= 1 and the model is the constant b1; on
//   that plateau b2 has no influence and the solver stops at machine
//   precision with b1 = 172.5, the mean of the observations.
// - MGH09 from start 1 (b = 25, 39, 41.5, 39): the fit wanders off to
//   b2 near 1830 and runs through the whole evaluation budget without
//   reaching the certified minimum (sum of squares 9.4e-4 against 3.1e-4).
// Both still return status 0.0 with finite parameters.
const NistCase kCases[] = {
    // dataset     start status digits rss
    {"BoxBOD", 1, 0.0, 0.0, 0.0},
    {"BoxBOD", 2, 0.0, 7.1, 10.4},
    {"Chwirut2", 1, 0.0, 7.1, 11.2},
    {"Chwirut2", 2, 0.0, 7.9, 11.2},
    {"DanWood", 1, 0.0, 9.4, 11.6},
    {"DanWood", 2, 0.0, 9.7, 11.6},
    {"Eckerle4", 1, 0.0, 9.1, 10.7},
    {"Eckerle4", 2, 0.0, 9.1, 10.7},
    {"Kirby2", 1, 0.0, 6.7, 11.6},
    {"Kirby2", 2, 0.0, 7.4, 11.6},
    {"MGH09", 1, 0.0, 0.0, 0.0},
    {"MGH09", 2, 0.0, 7.1, 11.6},
    {"Misra1a", 1, 0.0, 9.3, 10.4},
    {"Misra1a", 2, 0.0, 8.4, 10.4},
    {"Misra1b", 1, 0.0, 8.5, 11.3},
    {"Misra1b", 2, 0.0, 8.2, 11.2},
    {"Rat42", 1, 0.0, 9.0, 11.8},
    {"Rat42", 2, 0.0, 8.5, 11.8},
};

// Cases in which the independent reference reaches 6 digits on every
// parameter at the same tolerance; the library must reach as many.
constexpr int kReferenceSixDigitCases = 16;
constexpr double kSixDigits = 6.0;

std::string caseName(const NistCase& c) {
  return std::string(c.dataset) + "_start" + std::to_string(c.start);
}

void PrintTo(const NistCase& c, std::ostream* os) { *os << caseName(c); }

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct CaseResult {
  bool loaded = false;
  std::string error;
  nist::Dataset data;
  FitRun run;
  double paramDigits = 0.0;
  double rssDigits = 0.0;
};

// Fits a case once and keeps the result for every test that reads it.
const CaseResult& resultOf(const NistCase& c) {
  static std::map<std::string, CaseResult> cache;
  const std::string key = caseName(c);
  auto found = cache.find(key);
  if (found != cache.end()) return found->second;

  CaseResult& result = cache[key];
  const NistModel* model = nistModelByName(c.dataset);
  const std::string path = std::string(NLFIT_PROJECT_DATA_DIR) + "/nist/" + c.dataset + ".dat";
  if (model == nullptr) {
    result.error = std::string("no model named ") + c.dataset;
    return result;
  }
  if (!nist::readDataset(path, &result.data, &result.error)) return result;
  if (static_cast<int>(result.data.certified.size()) != model->paramCount) {
    result.error = "parameter count of " + path + " differs from the model table";
    return result;
  }
  result.loaded = true;
  const nist::Dataset& d = result.data;
  result.run = nlfit_test::runFit(model->function, d.x, d.y, c.start == 1 ? d.start1 : d.start2);
  result.paramDigits = nlfit_test::minLogRelativeError(result.run.params, d.certified);
  result.rssDigits = nlfit_test::logRelativeError(
      nlfit_test::residualSumOfSquares(result.run.params, d.x, d.y), d.certifiedRss);
  return result;
}

class NistAccuracy : public testing::TestWithParam<NistCase> {};

TEST_P(NistAccuracy, PrintsExpectedTraceAndParameters) {
  const NistCase& c = GetParam();
  const CaseResult& result = resultOf(c);
  ASSERT_TRUE(result.loaded) << result.error;
  const std::string tracePath = std::string(NLFIT_TEST_DATA_DIR) + "/nist/" + caseName(c) + ".txt";
  const std::string expected = readFile(tracePath);
  ASSERT_FALSE(expected.empty()) << "missing " << tracePath;

  std::string actual = result.run.output + "params";
  for (double p : result.run.params) actual += " " + nlfit_test::show(p);
  actual += "\n";
  EXPECT_EQ(expected, actual);
}

TEST_P(NistAccuracy, ReachesTabulatedDigits) {
  const NistCase& c = GetParam();
  const CaseResult& result = resultOf(c);
  ASSERT_TRUE(result.loaded) << result.error;
  EXPECT_EQ(result.run.status, c.status);
  for (double p : result.run.params) EXPECT_TRUE(std::isfinite(p)) << nlfit_test::show(p);
  EXPECT_GE(result.paramDigits, c.paramDigits);
  EXPECT_GE(result.rssDigits, c.rssDigits);
}

INSTANTIATE_TEST_SUITE_P(Shipped, NistAccuracy, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<NistCase>& info) {
                           return caseName(info.param);
                         });

TEST(NistAccuracySummary, AsManyCasesReachSixDigitsAsTheReference) {
  int reached = 0;
  for (const NistCase& c : kCases) {
    const CaseResult& result = resultOf(c);
    ASSERT_TRUE(result.loaded) << result.error;
    if (result.paramDigits >= kSixDigits) ++reached;
  }
  EXPECT_GE(reached, kReferenceSixDigitCases);
}

// Datasets with more than five parameters are beyond findLS's model and are
// fitted only through the fitting API.
TEST(NistAccuracySummary, TableListsEveryShippedFiveParameterDatasetFromBothStarts) {
  std::set<std::string> shipped;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(NLFIT_PROJECT_DATA_DIR) + "/nist")) {
    if (entry.path().extension() != ".dat") continue;
    const std::string stem = entry.path().stem().string();
    if (nistModelByName(stem.c_str()) == nullptr) continue;
    shipped.insert(stem + "_start1");
    shipped.insert(stem + "_start2");
  }
  std::set<std::string> listed;
  for (const NistCase& c : kCases) listed.insert(caseName(c));
  EXPECT_EQ(shipped, listed);
}

}  // namespace
