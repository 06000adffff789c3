// Decoding of fuzz inputs, shared by the harnesses: a byte stream read as
// small choices and double values, and the files a replay program reads.
#ifndef NLFIT_FUZZ_BYTE_READER_H
#define NLFIT_FUZZ_BYTE_READER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace nlfit_fuzz {

// Reads the input byte by byte; past its end every read gives the fallback.
class ByteReader {
 public:
  // oddValues: the 16 values that a value byte below 16 picks.
  ByteReader(const std::uint8_t* data, std::size_t size, const double* oddValues)
      : data_(data), size_(size), odd_(oddValues) {}
  bool more() const { return pos_ < size_; }
  std::uint8_t byte(std::uint8_t fallback) { return more() ? data_[pos_++] : fallback; }
  // One value token: a byte below 16 picks an odd value, 16..31 takes the
  // next 8 bytes as a double, any other byte b gives (b - 144) / 16.
  double value(double fallback) {
    if (!more()) return fallback;
    const std::uint8_t t = data_[pos_++];
    if (t < 16) return odd_[t];
    if (t < 32) {
      if (size_ - pos_ < sizeof(double)) {
        pos_ = size_;
        return 0.5;
      }
      double v;
      std::memcpy(&v, data_ + pos_, sizeof v);
      pos_ += sizeof v;
      return v;
    }
    return (static_cast<double>(t) - 144.0) / 16.0;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  const double* odd_;
  std::size_t pos_ = 0;
};

// The regular files named by argv[first ..] and in the folders named there,
// sorted; false (with a message) when an argument names neither.
inline bool replayFiles(int argc, char** argv, int first,
                        std::vector<std::filesystem::path>* files) {
  namespace fs = std::filesystem;
  for (int a = first; a < argc; ++a) {
    const fs::path path(argv[a]);
    if (fs::is_directory(path)) {
      for (const auto& entry : fs::directory_iterator(path)) {
        if (entry.is_regular_file()) files->push_back(entry.path());
      }
    } else if (fs::is_regular_file(path)) {
      files->push_back(path);
    } else {
      std::fprintf(stderr, "no such input: %s\n", argv[a]);
      return false;
    }
  }
  std::sort(files->begin(), files->end());
  return true;
}

}  // namespace nlfit_fuzz

#endif  // NLFIT_FUZZ_BYTE_READER_H
