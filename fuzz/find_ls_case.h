// One findLS call decoded from a byte string, and the properties that every
// such call must have. Shared by the libFuzzer target and by the corpus
// replay that runs in every build.
//
// Input layout (every field optional: a short input takes defaults):
//   byte 0   model: index into the model table; the last choice is null
//   byte 1   null pointers: values 0..7 make x (bit 0), y (bit 1) and params
//            (bit 2) null; any value >= 8 keeps all three
//   byte 2   paramCount: one of 16 values (INT_MIN, -1, 0, 1 ... 11, 1000,
//            INT_MAX) chosen by the byte modulo 16
//   byte 3   pointCount: below 16 one of 16 boundary values (INT_MIN, -1000,
//            -1, 0, 1, 2, 8, 9, 10, 11, 999, 1000, 1001, 1002, 5000,
//            INT_MAX); otherwise byte - 15, so 1 ... 240
//   byte 4-6 scale factors of x, y and the starting values, modulo 16
//            (mostly 1; else 1e-300, 1e-100, 1e-10, 1e-3, 1e3, 1e10, 1e100,
//            1e300)
//   then     the starting values, followed by (x, y) pairs, as value tokens:
//            a byte below 16 picks an odd value (+-0, +-NaN, +-inf,
//            +-1e308, +-smallest subnormal, the largest subnormal, 1e-310,
//            the largest double, -smallest normal, +-1); 16..31 takes the
//            next 8 bytes as a raw double; any other byte b gives
//            (b - 144) / 16. Each value is multiplied by its scale. When the
//            bytes run out, starting values are 1 and point i is
//            (i, (7i mod 11) - 5), scaled.
//
// Arrays are allocated at exactly the size the call describes (capped at
// 1001 points and 1000 parameters), so any read or write past them is a
// sanitizer report.
#ifndef NLFIT_FUZZ_FIND_LS_CASE_H
#define NLFIT_FUZZ_FIND_LS_CASE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nlfit.h"

namespace nlfit_fuzz {

struct FitCase {
  int modelIndex = 0;  // kModelCount stands for a null model
  int paramCount = 0;
  int pointCount = 0;
  bool nullX = false;
  bool nullY = false;
  bool nullParams = false;
  std::vector<double> x;       // storage for xValues
  std::vector<double> y;       // storage for yValues
  std::vector<double> params;  // storage for the starting values
};

// Number of models in the table; modelIndex == kModelCount means null.
extern const int kModelCount;

// The model of a case, or null.
ModelFunction modelOf(const FitCase& c);

// Name of a model for messages ("null" for the null choice).
const char* modelName(int modelIndex);

FitCase decode(const std::uint8_t* data, std::size_t size);

// The status findLS must return for c, from its documented contract.
double expectedStatus(const FitCase& c);

// Runs c twice (with the store overwritten in between) and checks every
// property. Returns an empty string when they all hold, otherwise a
// description of the first that failed. *status receives the status.
std::string checkCase(const FitCase& c, double* status);

// Seed inputs: one byte string per named case.
struct Seed {
  std::string name;
  std::vector<std::uint8_t> bytes;
};
std::vector<Seed> seedInputs();

}  // namespace nlfit_fuzz

#endif  // NLFIT_FUZZ_FIND_LS_CASE_H
