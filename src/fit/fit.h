// Private interface of the plug-in layer: the process-wide observation store,
// the adapter that turns the host's model into the solver's residual
// function, and the solver's fixed settings with the progress line.
#ifndef NLFIT_PLUGIN_FIT_H
#define NLFIT_PLUGIN_FIT_H

#include <cstddef>
#include <limits>

#include "nlfit.h"
#include "solver/solver.h"

namespace nlfit {

constexpr int kMaxParams = 9;
constexpr int kMaxPoints = 1000;

// Tolerance handed to the solver as both its relative-reduction and its
// relative-step tolerance. Measured on the NIST StRD problems: 1e-12 brings
// every case that the method solves to at least 6 correct digits in every
// parameter, where sqrt(machine epsilon) leaves ten of those cases short, for
// about 30 % more evaluations at the median (36 against 28). It enters only
// the termination tests, so a fit prints the same progress lines as with any
// other tolerance up to the point where it stops.
constexpr double kFitTolerance = 1e-12;

// The one fit problem the library knows. Zero-filled at load, never freed.
struct ObservationStore {
  ModelFunction model;
  int paramCount;
  double xData[kMaxPoints];
  double yData[kMaxPoints];
};

extern ObservationStore observationStore;

// The registered model at x with params[0] ... params[4]: the body of
// theModelFct, inlined into the residual loop so that each observation costs
// one call of the host's model and nothing more. NaN when no model is
// registered.
inline double evaluateModel(double x, const double* params) {
  const ModelFunction model = observationStore.model;
  if (model == nullptr) return std::numeric_limits<double>::quiet_NaN();
  return model(x, params[0], params[1], params[2], params[3], params[4]);
}

// Registers model (always, before any check), then the counts and
// observations. Returns 0 when stored, 1 when paramCount > kMaxParams or the
// arrays are null while pointCount > 0, 2 when pointCount > kMaxPoints.
// Zero and negative counts are stored; the solver refuses them.
int setFitData(ModelFunction model, const double* xValues,
               const double* yValues, const double* params, int paramCount,
               int pointCount);

// Residual function of a fit: fvec[i] = model(xData[i]; x) - yData[i] for
// i = 0 ... m-1. The model receives x[0 .. n-1] and 0.0 in positions n ... 4.
// evalFlag is neither read nor written.
// context is not used.
void fitResiduals(void* context, int m, int n, const double* x, double* fvec, int* evalFlag);

// Zero-filled allocation of the plug-in; never null on success, even for a
// count or size of zero.
void* zeroFilledAlloc(std::size_t count, std::size_t size);

// The progress sink of a fit: before each progress line the residuals are
// evaluated at x once more into fvec (not counted; the flag that evaluation
// stores is examined only at the gradient test), and the line
// "fnorm %.15e\n" with their norm goes to standard output.
ProgressSink progressLineSink();

// The solver run of a fit, with its fixed settings: both tolerances equal to
// tolerance, no gradient test beyond a zero measure, the default budget and
// first trust region, the difference step resting on machine precision, and
// progressLineSink. The workspace comes from allocate. Returns 0 when the
// iteration ran and 1 when the problem was refused or the workspace could not
// be had (terminationCode 0, evalCount untouched); a stop at the gradient
// test at machine precision is reported as kGradientConverged.
int solveWithFixedSettings(const ResidualProblem& problem, double* x, const int* freeMask,
                           double* fvec, double tolerance, ZeroedAllocator allocate,
                           int* terminationCode, int* evalCount);

// findLS with every allocation taken from allocate.
double findLeastSquares(ZeroedAllocator allocate, ModelFunction model, int paramCount,
                        int pointCount, const double* xValues, const double* yValues,
                        double* params);

// Writes the progress line "fnorm %.15e\n" for fnorm into out (at least
// kProgressLineCapacity chars), byte for byte what printf writes, and returns
// its length.
constexpr int kProgressLineCapacity = 64;
int formatProgressLine(double fnorm, char* out);

}  // namespace nlfit

#endif  // NLFIT_PLUGIN_FIT_H
