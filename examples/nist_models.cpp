// The NIST StRD models of nist_models.h over the model catalogue's
// functions, and their table.
#include "nist_models.h"

#include <cstring>

#include "models/builtin_models.h"

namespace {

// The catalogue's functions with the five parameters as arguments.
#define NIST_MODEL_WRAPPER(wrapper, function)                                            \
  static double wrapper(double x, double b1, double b2, double b3, double b4, double b5) { \
    const double b[5] = {b1, b2, b3, b4, b5};                                           \
    return function(x, b);                                                              \
  }
NIST_MODEL_WRAPPER(nistMisra1a, nlfitModelMisra1a)
NIST_MODEL_WRAPPER(nistMisra1b, nlfitModelMisra1b)
NIST_MODEL_WRAPPER(nistMisra1c, nlfitModelMisra1c)
NIST_MODEL_WRAPPER(nistMisra1d, nlfitModelMisra1d)
NIST_MODEL_WRAPPER(nistChwirut, nlfitModelChwirut)
NIST_MODEL_WRAPPER(nistDanWood, nlfitModelDanWood)
NIST_MODEL_WRAPPER(nistKirby2, nlfitModelKirby2)
NIST_MODEL_WRAPPER(nistMGH09, nlfitModelMGH09)
NIST_MODEL_WRAPPER(nistMGH10, nlfitModelMGH10)
NIST_MODEL_WRAPPER(nistMGH17, nlfitModelMGH17)
NIST_MODEL_WRAPPER(nistRoszman1, nlfitModelRoszman1)
NIST_MODEL_WRAPPER(nistBoxBOD, nlfitModelMisra1a)
NIST_MODEL_WRAPPER(nistRat42, nlfitModelRat42)
NIST_MODEL_WRAPPER(nistRat43, nlfitModelRat43)
NIST_MODEL_WRAPPER(nistEckerle4, nlfitModelEckerle4)
NIST_MODEL_WRAPPER(nistBennett5, nlfitModelBennett5)
#undef NIST_MODEL_WRAPPER

}  // namespace

extern const NistModel kNistModelTable[] = {
    {"Misra1a", nistMisra1a, 2},   {"Misra1b", nistMisra1b, 2},
    {"Misra1c", nistMisra1c, 2},   {"Misra1d", nistMisra1d, 2},
    {"Chwirut1", nistChwirut, 3},  {"Chwirut2", nistChwirut, 3},
    {"DanWood", nistDanWood, 2},   {"Kirby2", nistKirby2, 5},
    {"MGH09", nistMGH09, 4},       {"MGH10", nistMGH10, 3},
    {"MGH17", nistMGH17, 5},       {"Roszman1", nistRoszman1, 4},
    {"BoxBOD", nistBoxBOD, 2},     {"Rat42", nistRat42, 3},
    {"Rat43", nistRat43, 4},       {"Eckerle4", nistEckerle4, 3},
    {"Bennett5", nistBennett5, 3},
};

static_assert(sizeof kNistModelTable / sizeof kNistModelTable[0] == kNistModelCount,
              "kNistModelCount counts the table");

const NistModel* nistModelByName(const char* name) {
  for (int i = 0; i < kNistModelCount; ++i) {
    if (std::strcmp(kNistModelTable[i].name, name) == 0) return &kNistModelTable[i];
  }
  return nullptr;
}

