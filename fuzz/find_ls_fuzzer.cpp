// libFuzzer target for findLS: every input is decoded into one call (see
// find_ls_case.h) and must satisfy every property of checkCase.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "find_ls_case.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const nlfit_fuzz::FitCase c = nlfit_fuzz::decode(data, size);
  double status = 0.0;
  const std::string failure = nlfit_fuzz::checkCase(c, &status);
  if (!failure.empty()) {
    std::fprintf(stderr, "property violated: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
