// Runs one benchmark problem's fit a number of times, untimed, for
// instruction-level profiles:
//
//   valgrind --tool=callgrind --toggle-collect=findLS
//       build-bench/bench/nlfit_profile_fit twoexp/m1000/n5 10 >/dev/null
//
// (one command line).
//
// The progress lines go to standard output, as in any host.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "nlfit.h"
#include "problems.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PROBLEM [REPEATS]\nproblems:\n", argv[0]);
    for (const nlfit_bench::Problem& p : nlfit_bench::benchmarkProblems()) {
      std::fprintf(stderr, "  %s\n", p.name.c_str());
    }
    return 2;
  }
  const int repeats = (argc > 2) ? std::atoi(argv[2]) : 1;
  for (const nlfit_bench::Problem& p : nlfit_bench::benchmarkProblems()) {
    if (p.name != argv[1]) continue;
    for (int r = 0; r < repeats; ++r) {
      std::vector<double> params = p.start;
      findLS(p.model, static_cast<int>(params.size()), static_cast<int>(p.x.size()),
             p.x.data(), p.y.data(), params.data());
    }
    return 0;
  }
  std::fprintf(stderr, "unknown problem %s\n", argv[1]);
  return 2;
}
