// The observation store and the model adapter.
#include <limits>

#include "fit.h"

namespace nlfit {

ObservationStore observationStore{};

int setFitData(ModelFunction model, const double* xValues,
               const double* yValues, const double* /*params*/, int paramCount,
               int pointCount) {
  // A refused call still replaces the registered model.
  observationStore.model = model;
  if (paramCount > kMaxParams) return 1;
  if (pointCount > kMaxPoints) return 2;
  if (pointCount > 0 && (xValues == nullptr || yValues == nullptr)) return 1;
  observationStore.paramCount = paramCount;
  // Entries beyond pointCount keep what an earlier registration left there.
  for (int i = 0; i < pointCount; ++i) {
    observationStore.xData[i] = xValues[i];
    observationStore.yData[i] = yValues[i];
  }
  return 0;
}

void fitResiduals(void* /*context*/, int m, int n, const double* x, double* fvec, int* /*evalFlag*/) {
  // The model always takes five parameters; a shorter vector is padded with
  // zeros and never read past its n values.
  double padded[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  const double* p = x;
  if (n < 5) {
    for (int j = 0; j < n; ++j) padded[j] = x[j];
    p = padded;
  }
  for (int i = 0; i < m; ++i) {
    fvec[i] = evaluateModel(observationStore.xData[i], p) - observationStore.yData[i];
  }
}

}  // namespace nlfit

extern "C" double theModelFct(double x, const double* params, int /*paramCount*/) {
  // No parameter vector to read: there is no value.
  if (params == nullptr) return std::numeric_limits<double>::quiet_NaN();
  return nlfit::evaluateModel(x, params);
}
