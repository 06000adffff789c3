// Runs fuzz inputs through the same property checks as the fuzzer, without
// libFuzzer: every argument is a file or a folder of files.
//
//   find_ls_replay PATH...          check every input; exit 1 on a failure
//   find_ls_replay --write-seeds D  write the seed inputs into folder D
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "find_ls_case.h"

namespace fs = std::filesystem;

namespace {

int writeSeeds(const fs::path& folder) {
  fs::create_directories(folder);
  for (const nlfit_fuzz::Seed& seed : nlfit_fuzz::seedInputs()) {
    std::ofstream out(folder / seed.name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(seed.bytes.data()),
              static_cast<std::streamsize>(seed.bytes.size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", (folder / seed.name).c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-seeds") return writeSeeds(argv[2]);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH... | --write-seeds FOLDER\n", argv[0]);
    return 2;
  }

  std::vector<fs::path> files;
  if (!nlfit_fuzz::replayFiles(argc, argv, 1, &files)) return 2;

  int byStatus[3] = {0, 0, 0};
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    const nlfit_fuzz::FitCase c = nlfit_fuzz::decode(bytes.data(), bytes.size());
    double status = 0.0;
    const std::string failure = nlfit_fuzz::checkCase(c, &status);
    if (!failure.empty()) {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), failure.c_str());
      return 1;
    }
    ++byStatus[static_cast<int>(status)];
  }
  std::printf("replayed %zu inputs: %d fitted (0.0), %d refused (1.0), %d too many points (2.0)\n",
              files.size(), byStatus[0], byStatus[1], byStatus[2]);
  return files.empty() ? 1 : 0;
}
