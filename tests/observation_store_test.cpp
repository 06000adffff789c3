#include <cmath>
#include <vector>

#include "fit/fit.h"
#include "test_support.h"

namespace {

using nlfit::fitResiduals;
using nlfit::observationStore;
using nlfit::setFitData;

// Every call a model received, in order.
struct ModelCall {
  double x;
  double p[5];
};
std::vector<ModelCall> modelCalls;

double recordingModel(double x, double p0, double p1, double p2, double p3, double p4) {
  modelCalls.push_back({x, {p0, p1, p2, p3, p4}});
  return p0 + p1 * x + 100.0 * p2 + 1000.0 * p3 + 10000.0 * p4;
}

double lineModel(double x, double p0, double p1, double, double, double) { return p0 + p1 * x; }
double constantModel(double, double, double, double, double, double) { return 42.0; }

// Each test starts from the store as the library is loaded: zero-filled.
class ObservationStore : public ::testing::Test {
 protected:
  void SetUp() override {
    observationStore = {};
    modelCalls.clear();
  }
};

TEST_F(ObservationStore, UnregisteredOrNullModelEvaluatesToNaN) {
  const double p[5] = {1.0, 2.0, 3.0, 4.0, 5.0};
  EXPECT_TRUE(std::isnan(theModelFct(1.0, p, 2)));

  const double x[] = {1.0};
  const double y[] = {2.0};
  ASSERT_EQ(setFitData(lineModel, x, y, p, 2, 1), 0);
  EXPECT_EQ(theModelFct(2.0, p, 2), 5.0);
  EXPECT_TRUE(std::isnan(theModelFct(2.0, nullptr, 2)));  // no vector to read
  ASSERT_EQ(setFitData(nullptr, x, y, p, 2, 1), 0);
  EXPECT_TRUE(std::isnan(theModelFct(2.0, p, 2)));
}

TEST_F(ObservationStore, RefusedRegistrationReplacesModelButKeepsData) {
  const double x[] = {1.0, 2.0};
  const double y[] = {2.0, 3.0};
  ASSERT_EQ(setFitData(lineModel, x, y, nullptr, 2, 2), 0);

  const std::vector<double> other(1001, 7.0);
  const double p[5] = {1.0, 1.0, 0.0, 0.0, 0.0};
  EXPECT_EQ(setFitData(constantModel, other.data(), other.data(), nullptr, 10, 2), 1);
  EXPECT_EQ(theModelFct(1.0, p, 2), 42.0);
  EXPECT_EQ(setFitData(lineModel, other.data(), other.data(), nullptr, 2, 1001), 2);
  EXPECT_EQ(theModelFct(1.0, p, 2), 2.0);
  EXPECT_EQ(setFitData(recordingModel, nullptr, other.data(), nullptr, 2, 2), 1);
  EXPECT_EQ(setFitData(recordingModel, other.data(), nullptr, nullptr, 2, 2), 1);
  EXPECT_EQ(observationStore.model, recordingModel);

  EXPECT_EQ(observationStore.paramCount, 2);
  EXPECT_EQ(observationStore.xData[0], 1.0);
  EXPECT_EQ(observationStore.xData[1], 2.0);
  EXPECT_EQ(observationStore.yData[0], 2.0);
  EXPECT_EQ(observationStore.yData[1], 3.0);
  EXPECT_EQ(observationStore.xData[2], 0.0);
}

TEST_F(ObservationStore, AcceptsCountsUpToTheLimitsAndStoresNonPositiveOnes) {
  std::vector<double> x(1000);
  std::vector<double> y(1000);
  for (int i = 0; i < 1000; ++i) {
    x[static_cast<std::size_t>(i)] = i;
    y[static_cast<std::size_t>(i)] = -i;
  }
  ASSERT_EQ(setFitData(lineModel, x.data(), y.data(), nullptr, 9, 1000), 0);
  EXPECT_EQ(observationStore.paramCount, 9);
  EXPECT_EQ(observationStore.xData[999], 999.0);
  EXPECT_EQ(observationStore.yData[999], -999.0);

  // Zero and negative counts are the solver's to refuse.
  EXPECT_EQ(setFitData(lineModel, x.data(), y.data(), nullptr, 0, 3), 0);
  EXPECT_EQ(observationStore.paramCount, 0);
  EXPECT_EQ(setFitData(lineModel, nullptr, nullptr, nullptr, -3, 0), 0);
  EXPECT_EQ(observationStore.paramCount, -3);
  EXPECT_EQ(setFitData(lineModel, nullptr, nullptr, nullptr, 2, -5), 0);
}

TEST_F(ObservationStore, ShorterRegistrationLeavesLaterEntries) {
  const double x3[] = {1.0, 2.0, 3.0};
  const double y3[] = {4.0, 5.0, 6.0};
  const double x2[] = {10.0, 20.0};
  const double y2[] = {40.0, 50.0};
  ASSERT_EQ(setFitData(lineModel, x3, y3, nullptr, 1, 3), 0);
  ASSERT_EQ(setFitData(lineModel, x2, y2, nullptr, 1, 2), 0);
  EXPECT_EQ(observationStore.xData[1], 20.0);
  EXPECT_EQ(observationStore.yData[1], 50.0);
  EXPECT_EQ(observationStore.xData[2], 3.0);
  EXPECT_EQ(observationStore.yData[2], 6.0);
}

TEST_F(ObservationStore, TheModelFctHandsOverExactlyFiveValuesWhateverTheCount) {
  const double x[] = {0.0};
  ASSERT_EQ(setFitData(recordingModel, x, x, nullptr, 1, 1), 0);
  const double p[6] = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
  for (int count : {-1, 0, 1, 2, 5, 9}) {
    modelCalls.clear();
    theModelFct(0.5, p, count);
    ASSERT_EQ(modelCalls.size(), 1u);
    EXPECT_EQ(modelCalls[0].x, 0.5);
    for (int j = 0; j < 5; ++j) EXPECT_EQ(modelCalls[0].p[j], p[j]) << "count " << count << " slot " << j;
  }
}

TEST_F(ObservationStore, ResidualsAreModelMinusObservationInStoredOrder) {
  // On the line p0 + p1*x, parameters (1, 1) fit both points exactly,
  // (0, 1) lies one below each.
  const double x[] = {1.0, 2.0};
  const double y[] = {2.0, 3.0};
  ASSERT_EQ(setFitData(lineModel, x, y, nullptr, 2, 2), 0);
  double fvec[2] = {9.0, 9.0};
  int flag = 7;
  const double exact[5] = {1.0, 1.0, 0.0, 0.0, 0.0};
  fitResiduals(nullptr, 2, 5, exact, fvec, &flag);
  EXPECT_EQ(fvec[0], 0.0);
  EXPECT_EQ(fvec[1], 0.0);
  const double low[5] = {0.0, 1.0, 0.0, 0.0, 0.0};
  fitResiduals(nullptr, 2, 5, low, fvec, &flag);
  EXPECT_EQ(fvec[0], -1.0);
  EXPECT_EQ(fvec[1], -1.0);
  EXPECT_EQ(flag, 7);

  // Unsorted abscissae are visited in the order they were given.
  const double xs[] = {3.0, 1.0, 2.0};
  const double ys[] = {0.5, 0.25, 0.125};
  ASSERT_EQ(setFitData(recordingModel, xs, ys, nullptr, 2, 3), 0);
  double out[3] = {};
  const double p[2] = {1.0, 2.0};
  fitResiduals(nullptr, 3, 2, p, out, &flag);
  ASSERT_EQ(modelCalls.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(modelCalls[static_cast<std::size_t>(i)].x, xs[i]);
    EXPECT_EQ(out[i], (1.0 + 2.0 * xs[i]) - ys[i]);
  }

  modelCalls.clear();
  fitResiduals(nullptr, 0, 2, p, out, &flag);
  EXPECT_TRUE(modelCalls.empty());
}

TEST_F(ObservationStore, ShortParameterVectorIsPaddedWithZerosNeverReadPastItsEnd) {
  const double x[] = {0.0};
  ASSERT_EQ(setFitData(recordingModel, x, x, nullptr, 1, 1), 0);
  for (int n = 1; n <= 5; ++n) {
    // n values followed by guards: a read past the vector would show a guard.
    double vector[9];
    for (int j = 0; j < 9; ++j) vector[j] = j < n ? j + 1.0 : 777.0;
    modelCalls.clear();
    double fvec[1];
    int flag = 1;
    fitResiduals(nullptr, 1, n, vector, fvec, &flag);
    ASSERT_EQ(modelCalls.size(), 1u);
    for (int j = 0; j < 5; ++j) {
      EXPECT_EQ(modelCalls[0].p[j], j < n ? j + 1.0 : 0.0) << "n " << n << " slot " << j;
    }

    // The same through a heap vector of exactly n values, for the sanitizers.
    const std::vector<double> exact(vector, vector + n);
    fitResiduals(nullptr, 1, n, exact.data(), fvec, &flag);
  }
}

}  // namespace
