// The reader of delimited data files: what it keeps, and the one-line error
// it gives for each way a file can be wrong.
#include "data/data_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using nlfit::data::ColumnChoice;
using nlfit::data::Observations;
using nlfit::data::Table;

// Reads text as file "f.csv" and picks columns ("" = default 1,2). Returns
// the error, or "" with *out filled.
std::string read(const std::string& text, Observations* out, const std::string& columns = "",
                 bool skipNonfinite = false) {
  Table table;
  std::string error;
  ColumnChoice choice;
  if (!columns.empty() && !nlfit::data::parseColumnChoice(columns, &choice, &error)) return error;
  if (!nlfit::data::parseTable(text, "f.csv", &table, &error)) return error;
  if (!nlfit::data::selectColumns(table, "f.csv", columns.empty() ? nullptr : &choice,
                                  skipNonfinite, out, &error)) {
    return error;
  }
  return "";
}

TEST(DataFile, KeepsEveryRowOfWellFormedFiles) {
  struct Case {
    const char* text;
    std::vector<double> x, y;
    std::vector<int> lines;
  } cases[] = {
      // Header, CRLF, blank and comment lines, a trailing delimiter, mixed
      // separators from line to line, a comment after data.
      {"x,y\r\n\r\n# note\r\n1,2,\r\n3 ; 4\r\n5\t6 # end\r\n", {1, 3, 5}, {2, 4, 6}, {4, 5, 6}},
      // Spaces, no header, exponents, signs and a leading point.
      {"  1e3   -2.5\n+.5 7E-2\n", {1e3, 0.5}, {-2.5, 7e-2}, {1, 2}},
      // A quoted header; no newline at the end.
      {"\"time\";\"signal\"\n0;1", {0}, {1}, {2}},
  };
  for (const Case& c : cases) {
    Observations o;
    EXPECT_EQ(read(c.text, &o), "") << c.text;
    EXPECT_EQ(o.x, c.x) << c.text;
    EXPECT_EQ(o.y, c.y) << c.text;
    EXPECT_EQ(o.lineNumbers, c.lines) << c.text;
  }
}

TEST(DataFile, RefusesWhatItCannotReadWithFileLineAndColumn) {
  const struct {
    const char* text;
    const char* columns;
    const char* error;
  } cases[] = {
      {"0,5.2O\n1,2\n", "", "f.csv: line 1, column 2: '5.2O' is not a number"},
      {"x,y\n1,2\n2,three\n", "", "f.csv: line 3, column 2: 'three' is not a number"},
      {"1,0x10\n", "", "f.csv: line 1, column 2: '0x10' is not a number"},
      {"1,,2\n", "", "f.csv: line 1, column 2: empty cell"},
      {"1,2,,\n", "", "f.csv: line 1, column 3: empty cell"},
      {",1,2\n", "", "f.csv: line 1, column 1: empty cell"},
      {"1,2\n3\n", "", "f.csv: line 2: 1 cell, expected 2 like the first data line"},
      {"1,5;2,3\n", "", "f.csv: line 1: both ',' and ';' on one line"},
      {"1,1e999\n", "", "f.csv: line 1, column 2: '1e999' is not a number"},
      {"x,y\n# nothing\n\n", "", "f.csv: no data lines"},
      {"1,2\n2,NaN\n", "", "f.csv: line 2, column 2: y is not finite"},
      {"1,2\n-inf,3\n", "", "f.csv: line 2, column 1: x is not finite"},
      {"1,2,0\n", "1,2,3", "f.csv: line 1, column 3: sigma must be positive"},
      {"1,2,-1\n", "1,2,3", "f.csv: line 1, column 3: sigma must be positive"},
      {"1,2,nan\n", "1,2,3", "f.csv: line 1, column 3: sigma is not finite"},
      {"1,2\n", "1,4", "f.csv: no column 4 (the file has 2)"},
      {"1,2\n", "t,y", "f.csv: no header line, so no column named 't'"},
      {"t,y\n1,2\n", "t,s", "f.csv: no column named 's' (the header has t, y)"},
      {"1\n2\n", "", "f.csv: one column; x and y need two"},
      {"1,2\n", "1", "--columns takes x,y or x,y,sigma: '1'"},
      {"1,2\n", "1,,2", "--columns has an empty entry: '1,,2'"},
  };
  for (const auto& c : cases) {
    Observations o;
    const std::string error = read(c.text, &o, c.columns);
    EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error) << c.text;
  }
}

TEST(DataFile, PicksColumnsByNameOrNumberAndSkipsNonfiniteRowsOnRequest) {
  Observations o;
  ASSERT_EQ(read("t,s,e,unused\n1,2,0.5,x1\n", &o), "f.csv: line 2, column 4: 'x1' is not a number");
  ASSERT_EQ(read("t,s,e,unused\n1,2,0.5,9\n2,4,0.25,nan\n", &o, "t,s,e"), "");
  EXPECT_EQ(o.x, (std::vector<double>{1, 2}));
  EXPECT_EQ(o.sigma, (std::vector<double>{0.5, 0.25}));
  EXPECT_EQ(o.xName, "t");
  EXPECT_EQ(o.yName, "s");
  ASSERT_EQ(read("1,2,3\n4,5,6\n", &o, "3,1"), "");
  EXPECT_EQ(o.x, (std::vector<double>{3, 6}));
  EXPECT_EQ(o.y, (std::vector<double>{1, 4}));
  EXPECT_TRUE(o.sigma.empty());

  ASSERT_EQ(read("1,2\n2,NAN\n3,Inf\n4,5\n", &o, "", true), "");
  EXPECT_EQ(o.x, (std::vector<double>{1, 4}));
  EXPECT_EQ(o.skippedNonfinite, 2u);
}

TEST(DataFile, NumbersAreDecimalOrNanOrInfinity) {
  double v = 0.0;
  for (const char* good : {"0", "-1.5e-3", ".5", "5.", "+2E+2", "nan", "-NaN", "inf", "-Infinity", "1e-400"}) {
    EXPECT_TRUE(nlfit::data::parseNumber(good, &v)) << good;
  }
  for (const char* bad : {"", "0x10", "1e", "e5", "1.2.3", ".", "-", "1e999", "nan(1)", " 1", "1,5", "infinit"}) {
    EXPECT_FALSE(nlfit::data::parseNumber(bad, &v)) << bad;
  }
}

TEST(DataFile, UnreadableFilesGetTheSystemsReason) {
  std::string text;
  std::string error;
  EXPECT_FALSE(nlfit::data::readText("/nonexistent/f.csv", &text, &error));
  EXPECT_EQ(error, "/nonexistent/f.csv: No such file or directory");
  EXPECT_FALSE(nlfit::data::readText(NLFIT_TEST_DATA_DIR, &text, &error));
  EXPECT_EQ(error, std::string(NLFIT_TEST_DATA_DIR) + ": Is a directory");
}

}  // namespace
