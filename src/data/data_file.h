// Reading observations from delimited text files, without losing or inventing
// data. Shared by the nlfit command and the host program nlfit-fit.
//
// Rules:
//  - each line is split on commas, or on semicolons, or on tabs, the first
//    kind it holds in that order, else on runs of spaces; a line with both
//    commas and semicolons is an error (a decimal comma). Cells are trimmed
//    of spaces and tabs;
//  - '#' starts a comment; blank lines are skipped; CRLF line ends are read;
//  - a delimiter at the end of a line is allowed, an empty cell anywhere else
//    is an error;
//  - the first line is a header when none of its cells is a number; any other
//    cell that is not a number is an error naming the file, line, column and
//    text;
//  - numbers are decimal ("12", "-1.5e-3", ".5"); no hex. nan and inf (or
//    infinity), in any case and with a sign, are numbers, refused later as
//    non-finite with their line unless the caller drops those rows;
//  - every data line has as many cells as the first one;
//  - a file that cannot be read gets the system's reason.
#ifndef NLFIT_DATA_DATA_FILE_H
#define NLFIT_DATA_DATA_FILE_H

#include <cstddef>
#include <string>
#include <vector>

namespace nlfit {
namespace data {

// Reads the whole file; on failure returns false with "PATH: reason" (the
// system's reason: "No such file or directory", "Is a directory", ...).
bool readText(const std::string& path, std::string* text, std::string* error);

// A table of numbers with its optional header.
struct Table {
  std::vector<std::string> header;      // empty when the file has none
  std::size_t columns = 0;              // cells per row
  std::vector<double> cells;            // row-major, rows * columns
  std::vector<int> lineNumbers;         // the file line of each row, from 1
  std::size_t rows() const { return lineNumbers.size(); }
  double at(std::size_t row, std::size_t column) const { return cells[row * columns + column]; }
};

// Parses text read from path (used in messages). Returns false with a
// one-line message "PATH: line L, column C: ..." on a breach of the rules.
bool parseTable(const std::string& text, const std::string& path, Table* table,
                std::string* error);

// Parses one cell: decimal numbers, nan and inf. False for anything else, a
// value beyond the double range included.
bool parseNumber(const std::string& cell, double* value);

// Which columns hold x, y and (optionally) sigma: 1-based column numbers or
// header names, separated by commas ("1,2", "time,signal,err").
struct ColumnChoice {
  std::vector<std::string> names;  // 2 or 3 entries
};

// Splits a --columns value; false with a message when it is not 2 or 3
// non-empty entries.
bool parseColumnChoice(const std::string& text, ColumnChoice* choice, std::string* error);

// The observations picked from a table.
struct Observations {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> sigma;      // empty without a sigma column
  std::vector<int> lineNumbers;   // file line of each observation
  std::string xName = "x";        // header names of the columns used, or "x", "y"
  std::string yName = "y";
  std::size_t skippedNonfinite = 0;  // rows dropped for a NaN or an infinity
};

// Picks the columns (all columns 1 and 2 when choice is null). A non-finite
// value in a chosen column is an error naming its line unless skipNonfinite,
// which drops the row and counts it. A sigma that is zero or negative is an
// error with its line.
bool selectColumns(const Table& table, const std::string& path, const ColumnChoice* choice,
                   bool skipNonfinite, Observations* out, std::string* error);

}  // namespace data
}  // namespace nlfit

#endif  // NLFIT_DATA_DATA_FILE_H
