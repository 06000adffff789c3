// Reading observations from delimited text files, without losing or inventing
// data. Shared by the nlfit command and the host program nlfit-fit.
//
// Rules (docs/cli.md, "Reading data files", has them with examples):
//  - the file is read line by line; only the columns used are kept. A NUL
//    byte is refused (not a text file); a UTF-8 byte order mark is dropped;
//  - the first skipRows lines are skipped whatever they hold (titles);
//  - '#' starts a comment at the beginning of a line or after a blank or a
//    delimiter; blank lines are skipped; CRLF line ends are read;
//  - a line is split on commas, or else on semicolons, outside double
//    quotes; a line with neither is split on runs of blanks and tabs. A line
//    with both commas and semicolons is an error (a decimal comma) unless
//    decimalComma, where ',' is the decimal mark and never a delimiter.
//    Cells are trimmed of blanks, then of one pair of double quotes;
//  - a delimiter at the end of a line is allowed, an empty cell anywhere else
//    is an error;
//  - the first line is a header when none of its cells is a number; its
//    names must differ. Any other cell that is not a number (nor the missing
//    token) is an error naming the file, line, column and text;
//  - numbers are decimal ("12", "-1.5e-3", ".5"); no hex. nan and inf (or
//    infinity), in any case and with a sign, are numbers; in a column used
//    they are refused with their line unless skipNonfinite drops the row; so
//    is a cell equal to the missing token;
//  - every data line has as many cells as the first one;
//  - a file that cannot be read gets the system's reason.
#ifndef NLFIT_DATA_DATA_FILE_H
#define NLFIT_DATA_DATA_FILE_H

#include <cstddef>
#include <string>
#include <vector>

namespace nlfit {
namespace data {

// An input read in chunks: a file, standard input ("-"), or text in memory.
class TextInput {
 public:
  TextInput() = default;
  ~TextInput();
  TextInput(const TextInput&) = delete;
  TextInput& operator=(const TextInput&) = delete;

  // Opens path ("-": standard input); false with "PATH: reason" (the
  // system's reason: "No such file or directory", "Is a directory", ...).
  bool open(const std::string& path, std::string* error);
  // Reads text held in memory instead.
  void openText(const std::string& text, const std::string& name);

  const std::string& name() const { return name_; }
  // Up to bytes bytes from the start, read ahead and not consumed; false
  // with *error on a read error.
  bool peek(std::size_t bytes, std::string* head, std::string* error);
  // The next line without its '\n', valid until the next call; false at the
  // end or on an error (then *error is set, else it is left empty).
  bool nextLine(const char** line, std::size_t* length, std::string* error);
  // Everything not yet consumed.
  bool readRest(std::string* text, std::string* error);

 private:
  bool fill(std::string* error);  // appends one chunk; false on an error
  bool noNul(std::size_t from, std::string* error);
  int fd_ = -1;
  bool ownsFd_ = false;
  bool end_ = false;
  std::string name_;
  // The bytes read ahead. Grown by realloc, which moves a large block
  // without a copy, by half its size at a time: a long line costs little
  // more than its length. Throws std::bad_alloc when memory runs out.
  struct Buffer {
    char* data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();
    void resize(std::size_t n);
  };
  Buffer buffer_;
  std::size_t position_ = 0;   // start of what is not consumed
  std::size_t scanned_ = 0;    // no '\n' in [position_, scanned_)
  long long linesRead_ = 0;
  bool checkedText_ = false;   // text in memory checked for NUL bytes
};

// Reads the whole file; on failure returns false with "PATH: reason".
bool readText(const std::string& path, std::string* text, std::string* error);

// Parses one cell: decimal numbers, nan and inf. False for anything else, a
// value beyond the double range included.
bool parseNumber(const std::string& cell, double* value);

// s without its leading and trailing blanks (spaces and tabs).
std::string trim(const std::string& s);

// Which columns hold x, y and (optionally) sigma: 1-based column numbers or
// header names, separated by commas ("1,2", "time,signal,err").
// With several predictors the first `predictors` names are the x columns,
// then y and, optionally, sigma.
struct ColumnChoice {
  std::vector<std::string> names;  // predictors + 1 or predictors + 2 entries
  std::size_t predictors = 1;
};

// Splits a --columns value; false with a message when it is not 2 or 3
// non-empty entries.
bool parseColumnChoice(const std::string& text, ColumnChoice* choice, std::string* error);

// The choice of --x X1[,X2...] --y Y [--sigma S] (sigma empty: none); false
// with a message for an empty entry or a missing y.
bool makeColumnChoice(const std::string& x, const std::string& y, const std::string& sigma,
                      ColumnChoice* choice, std::string* error);

struct ReadOptions {
  const ColumnChoice* columns = nullptr;  // null: columns 1 and 2
  bool skipNonfinite = false;  // drop rows with NaN, an infinity or a missing cell
  bool decimalComma = false;   // ',' is the decimal mark
  std::size_t skipRows = 0;    // lines skipped at the top
  std::string missing;         // a cell that is missing ("NA"); empty: none
};

// The observations read from a file.
struct Observations {
  std::vector<double> x;          // predictors values per row, row-major
  std::vector<double> y;
  std::vector<double> sigma;      // empty without a sigma column
  std::vector<int> lineNumbers;   // file line of each observation, from 1
  std::size_t predictors = 1;     // d: x holds d values per observation
  std::vector<std::string> xNames{"x"};  // the d predictors' header names, or x (x1, x2, ...)
  std::string xName = "x";        // header names of the columns used, or "x", "y"
  std::string yName = "y";
  std::size_t columns = 0;        // cells per row in the file
  std::size_t skippedNonfinite = 0;  // rows dropped for a NaN, an infinity or a missing cell
};

// Reads observations line by line, keeping only the columns used. False with
// a one-line message "PATH: line L, column C: ..." on a breach of the rules,
// "PATH: out of memory while reading" when memory runs out.
bool readObservations(TextInput& input, const ReadOptions& options, Observations* out,
                      std::string* error);
// The same on text in memory; path names it in messages.
bool parseObservations(const std::string& text, const std::string& path,
                       const ReadOptions& options, Observations* out, std::string* error);

}  // namespace data
}  // namespace nlfit

#endif  // NLFIT_DATA_DATA_FILE_H
