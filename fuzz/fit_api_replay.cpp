// Runs fitting-API fuzz inputs through the same property checks as the
// fuzzer, without libFuzzer: every argument is a file or a folder of files.
//
//   fit_api_replay PATH...          check every input; exit 1 on a failure
//   fit_api_replay --write-seeds D  write the seed inputs into folder D
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "fit_api_case.h"
#include "nlfit/fit.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
    fs::create_directories(argv[2]);
    for (const nlfit_fuzz::Seed& seed : nlfit_fuzz::apiSeedInputs()) {
      std::ofstream out(fs::path(argv[2]) / seed.name, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                static_cast<std::streamsize>(seed.bytes.size()));
      if (!out) return 1;
    }
    return 0;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH... | --write-seeds FOLDER\n", argv[0]);
    return 2;
  }
  std::vector<fs::path> files;
  if (!nlfit_fuzz::replayFiles(argc, argv, 1, &files)) return 2;
  std::map<int, int> byStatus;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    int status = 0;
    const std::string failure =
        nlfit_fuzz::checkApiCase(nlfit_fuzz::decodeApiCase(bytes.data(), bytes.size()), &status);
    if (!failure.empty()) {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), failure.c_str());
      return 1;
    }
    ++byStatus[status];
  }
  std::printf("replayed %zu inputs:", files.size());
  for (const auto& [status, count] : byStatus) std::printf(" %d %s,", count, nlfit_status_name(status));
  std::printf("\n");
  return files.empty() ? 1 : 0;
}
