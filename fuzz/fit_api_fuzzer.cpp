// libFuzzer target for the fitting API's entry points: every input is decoded
// into one call (see fit_api_case.h) and must satisfy every property of
// checkApiCase.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fit_api_case.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const nlfit_fuzz::ApiCase c = nlfit_fuzz::decodeApiCase(data, size);
  int status = 0;
  const std::string failure = nlfit_fuzz::checkApiCase(c, &status);
  if (!failure.empty()) {
    std::fprintf(stderr, "property violated: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
