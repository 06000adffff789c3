// Fits the spots of the spot benchmark once with nlfit_fit_many on one
// thread, untimed, for instruction-level profiles:
//
//   valgrind --tool=callgrind --toggle-collect=nlfit_fit_many
//       build-bench/bench/nlfit_profile_spots RUN
//
// (one command line). RUN: 0 difference derivatives, 1 the catalogue's
// exact derivatives, 2 the formula's (see spots_problem.h). Prints the
// number of fits, the evaluations per fit and a hash of the bits of the
// fitted parameters (to compare builds).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nlfit/fit.h"
#include "spots_problem.h"

int main(int argc, char** argv) {
  using namespace nlfit_spots;
  const int run = argc > 1 ? std::atoi(argv[1]) : -1;
  if (run < 0 || run > 2) {
    std::fprintf(stderr, "usage: %s RUN (0, 1 or 2)\n", argv[0]);
    return 2;
  }
  const SpotData& s = spots();
  const ModelPtr model = makeModel(run);
  const nlfit_options fit = fitOptions(run);
  nlfit_batch_options options;
  nlfit_batch_options_init(&options);
  options.fit = &fit;
  options.threads = 1;
  nlfit_batch_data data;
  nlfit_batch_data_init(&data);
  data.curves = kSpots;
  data.points = kPoints;
  data.predictors = 2;
  data.x = s.x.data();
  data.y = s.y.data();
  data.start = s.start.data();
  data.start_per_curve = 1;
  std::vector<double> params(kSpots * kN);
  std::vector<int64_t> evaluations(kSpots);
  nlfit_batch_outputs outputs;
  nlfit_batch_outputs_init(&outputs);
  outputs.params = params.data();
  outputs.evaluations = evaluations.data();
  if (!model || nlfit_fit_many(model.get(), nullptr, nullptr, kN, &data, &options, &outputs) != 0) {
    std::fprintf(stderr, "the batch was refused\n");
    return 1;
  }
  int64_t e = 0;
  for (std::size_t k = 0; k < kSpots; ++k) e += evaluations[k];
  std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a over the bytes
  for (double p : params) {
    unsigned char bytes[sizeof p];
    std::memcpy(bytes, &p, sizeof p);
    for (unsigned char b : bytes) hash = (hash ^ b) * 1099511628211ULL;
  }
  std::printf("%zu fits, %.3f evaluations per fit, parameter bits %016llx\n", kSpots,
              static_cast<double>(e) / static_cast<double>(kSpots),
              static_cast<unsigned long long>(hash));
  return 0;
}
