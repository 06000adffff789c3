// Runs reader or formula fuzz inputs through the same property checks as the
// fuzzers, without libFuzzer: every argument after the kind is a file or a
// folder of files.
//
//   text_replay reader|formula PATH...   exit 1 on a failure
//   text_replay read FILE                 only reads FILE ("-": standard
//                                         input) as nlfit does, columns 1,2,
//                                         and prints the rows kept or the
//                                         error (tools/reader_memory.py)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "data_file.h"
#include "text_case.h"

namespace fs = std::filesystem;

int readOnly(const std::string& path) {
  nlfit::data::TextInput input;
  nlfit::data::Observations observations;
  std::string error;
  if (!input.open(path, &error) ||
      !nlfit::data::readObservations(input, nlfit::data::ReadOptions(), &observations, &error)) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  std::printf("%zu rows\n", observations.x.size());
  return 0;
}

int main(int argc, char** argv) {
  const std::string kind = argc > 1 ? argv[1] : "";
  if (argc == 3 && kind == "read") return readOnly(argv[2]);
  if (argc < 3 || (kind != "reader" && kind != "formula")) {
    std::fprintf(stderr, "usage: %s reader|formula PATH...\n", argv[0]);
    return 2;
  }
  const auto check = kind == "reader" ? nlfit_fuzz::checkReaderCase : nlfit_fuzz::checkFormulaCase;
  std::vector<fs::path> files;
  if (!nlfit_fuzz::replayFiles(argc, argv, 2, &files)) return 2;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    const std::string failure = check(bytes.data(), bytes.size());
    if (!failure.empty()) {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), failure.c_str());
      return 1;
    }
  }
  std::printf("replayed %zu %s inputs\n", files.size(), kind.c_str());
  return files.empty() ? 1 : 0;
}
