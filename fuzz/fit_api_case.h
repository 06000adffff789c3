// One call of the fitting API (nlfit_fit, nlfit_fit_vectorized or
// nlfit_fit_residuals) decoded from a byte string, and the properties that
// every such call must have. Shared by the libFuzzer target and by the corpus
// replay that runs in every build.
//
// Input layout (every field optional: a short input takes defaults):
//   byte 0   entry point (modulo 3: point, vector, residuals) and, divided
//            by 3, the model (modulo the model count)
//   byte 1   n: one of 16 values (0, 1, 2, 3, 3, 4, 5, 6, 7, 8, 9, 10, 12,
//            16, SIZE_MAX / 2, SIZE_MAX)
//   byte 2   m: below 8 one of 0, 1, 2, 3, 9, 10, SIZE_MAX / 2, SIZE_MAX;
//            otherwise byte - 7, so 1 ... 248
//   byte 3   null pointers, bits: 0 model, 1 params, 2 x, 3 y, 4 result;
//            applied only when bit 7 is set; bit 6 adds the extension
//            block below (bit 5 is unused)
//   byte 4   what the options hold, bits: 0 sigma, 1 held mask, 2 statistics,
//            3 absolute sigma, 4 scale, 5 typical, 6 progress callback,
//            7 a stop (callback or model) after some calls
//   byte 5   option to set to an odd value (modulo 8: none, reduction,
//            step or gradient tolerance, step-bound factor, relative error,
//            evaluation budget (capped at 5000), none) and, in the high bits,
//            the call after which a stop is asked for
//   byte 6   held mask: bit j % 8 holds parameter j (with byte 4 bit 1)
//   with byte 3 bit 6, the extension block:
//   X0       bounds: bit 0 a lower array, bit 1 an upper array
//   X1       estimator, low 3 bits: 0 ... 4 as the NLFIT_ESTIMATOR_ values,
//            5 least squares, 6 and 7 the invalid -1 and 5
//   X2       derivatives, bits 0-1: none, the caller's (gradient for
//            nlfit_fit, jacobian otherwise), a model handle through
//            nlfit_fit_model (with its own), both callbacks (refused);
//            bit 2 NaN derivatives from the stop call on, bit 3 a wrong
//            derivative (scaled by 1.5), bit 4 derivatives = NUMERIC,
//            bit 5 derivatives = 2 (refused), bit 6 the handle with one
//            parameter too many (refused)
//   X3       bit 0 check_jacobian, bit 1 check_nonlinearity, bit 2
//            gauss_newton_step, bits 3-7 the model handle (formulas, then
//            the catalogue)
//   then     one byte per parameter: the kind of its lower bound (low
//            nibble, modulo 4: -inf, the start, start - |value|, the value
//            itself) and of its upper bound (high nibble: +inf, the start,
//            start + |value|, the value)
//            An extended case has at most 64 points and, unless the option
//            byte sets one, a budget of 400 evaluations.
//   then     value tokens (as in find_ls_case.h): the option value;
//            extended: the loss scale, then each parameter's lower and
//            upper bound values; the starting values, the (x, y) pairs, the
//            sigmas, the scale factors, the typical magnitudes. Missing
//            values take defaults.
//
// Arrays are allocated at exactly the size the call describes (capped at
// 256 points and 16 parameters), so any read or write past them is a
// sanitizer report. Counts past the caps are only ever SIZE_MAX / 2 and
// SIZE_MAX, which must be refused before any array is read.
#ifndef NLFIT_FUZZ_FIT_API_CASE_H
#define NLFIT_FUZZ_FIT_API_CASE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "find_ls_case.h"  // Seed

namespace nlfit_fuzz {

struct ApiCase {
  int entry = 0;  // 0 nlfit_fit, 1 nlfit_fit_vectorized, 2 nlfit_fit_residuals
  int model = 0;
  std::size_t n = 0;
  std::size_t m = 0;
  bool nullModel = false, nullParams = false, nullX = false, nullY = false, nullResult = false;
  bool useSigma = false, useHeld = false, statistics = false, absoluteSigma = false;
  bool useScale = false, useTypical = false, progress = false, stop = false;
  int oddOption = 0;
  double oddValue = 0.0;
  int stopAfter = 0;  // calls of the model or callback before it asks to stop
  std::vector<double> start, x, y, sigma, scale, typical;
  std::vector<unsigned char> held;
  // The extension block (byte 3 bit 6).
  bool extended = false;
  bool useLower = false, useUpper = false;
  std::vector<double> lower, upper;
  int estimator = 0;
  double lossScale = 1.0;
  int derivatives = 0;  // 0 none, 1 the caller's, 2 a model handle, 3 both callbacks
  bool nanDerivatives = false, wrongDerivatives = false, numeric = false, badDerivatives = false;
  bool handleWrongCount = false;
  int handle = 0;  // index into the harness's model handles
  bool checkJacobian = false, checkNonlinearity = false, gaussNewton = false;
};

ApiCase decodeApiCase(const std::uint8_t* data, std::size_t size);

// Runs the case twice and checks every property: the status is one of the
// enumeration; a defect in the input gives a refusal and a clean input a
// fit (or an out-of-memory refusal); a refusal calls nothing and changes
// nothing but the status; a fit returns finite parameters, held ones with
// their starting bits; nothing is printed; the second run gives the same
// bits. With the newer options: a fit lies within its bounds (and so does
// every point a callback sees), equal bounds hold the parameter, the
// nonlinearity check never narrows a standard error, and the result's
// fields agree with the estimator and the derivatives used. Returns an
// empty string when they all hold, otherwise a description
// of the first that failed. *status receives the status.
std::string checkApiCase(const ApiCase& c, int* status);

std::vector<Seed> apiSeedInputs();

}  // namespace nlfit_fuzz

#endif  // NLFIT_FUZZ_FIT_API_CASE_H
