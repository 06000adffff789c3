// The fitting problems of the benchmarks: every shipped NIST case from both
// starting points, and the synthetic fits.
#ifndef NLFIT_BENCH_PROBLEMS_H
#define NLFIT_BENCH_PROBLEMS_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nist_dataset.h"
#include "nist_models.h"
#include "synthetic_problems.h"

namespace nlfit_bench {

// Names: "nist/<dataset>/start<1|2>" and "<family>/m<points>/n<params>".
// Exits with a message when a data file cannot be read.
inline std::vector<Problem> benchmarkProblems() {
  std::vector<Problem> all;

  const char* const nistCases[] = {"BoxBOD", "Chwirut2", "DanWood", "Eckerle4", "Kirby2",
                                   "MGH09",  "Misra1a",  "Misra1b", "Rat42"};
  for (const char* name : nistCases) {
    nist::Dataset data;
    std::string error;
    if (!nist::readDataset(std::string(NLFIT_PROJECT_DATA_DIR) + "/nist/" + name + ".dat", &data,
                           &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
    const NistModel* model = nistModelByName(name);
    for (int start = 1; start <= 2; ++start) {
      Problem p;
      p.name = std::string("nist/") + name + "/start" + std::to_string(start);
      p.model = model->function;
      p.x = data.x;
      p.y = data.y;
      p.start = (start == 1) ? data.start1 : data.start2;
      all.push_back(std::move(p));
    }
  }

  // Exponential decay with 2 parameters, two exponentials with 5, and the
  // rational model with 9 (four of them unused by the model).
  struct Family {
    const char* name;
    int n;
  };
  const Family families[] = {{"decay", 2}, {"twoexp", 5}, {"rational", 9}};
  for (const Family& f : families) {
    for (int m : {10, 100, 1000}) all.push_back(syntheticProblem(f.name, m, f.n));
  }
  return all;
}

}  // namespace nlfit_bench

#endif  // NLFIT_BENCH_PROBLEMS_H
