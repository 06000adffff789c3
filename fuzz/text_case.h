// The text surfaces fuzzed: the reader of delimited data files and the
// formula compiler. Shared by the libFuzzer targets and by the corpus replay
// that runs in every build. Each check returns "" or the property violated.
//
// Reader input: byte 0 picks the options, bits: 0 decimal comma, 1 drop
// non-finite rows, 2 "NA" is a missing cell, 3-4 title rows skipped (0-3),
// 5-6 the columns (default, "2,1", "1,2,3", "x,y"); the rest is the file.
// A read must give consistent observations or one line naming the file.
//
// Formula input: the bytes are the formula (up to a NUL byte). Compiling
// must give a model or a message; a model must evaluate, twice with the same
// bits, or refuse with a status.
#ifndef NLFIT_FUZZ_TEXT_CASE_H
#define NLFIT_FUZZ_TEXT_CASE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace nlfit_fuzz {

std::string checkReaderCase(const std::uint8_t* data, std::size_t size);
std::string checkFormulaCase(const std::uint8_t* data, std::size_t size);

}  // namespace nlfit_fuzz

#endif  // NLFIT_FUZZ_TEXT_CASE_H
