// libFuzzer target for the formula compiler: compile and evaluate (see
// text_case.h).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "text_case.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure = nlfit_fuzz::checkFormulaCase(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "property violated: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
