// The reader of delimited data files: what it keeps, and the one-line error
// it gives for each way a file can be wrong.
#include "data/data_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using nlfit::data::ColumnChoice;
using nlfit::data::Observations;
using nlfit::data::ReadOptions;

// Reader options written compactly in the tables below.
struct Flags {
  const char* columns = "";  // "" = default 1,2
  bool skipNonfinite = false;
  bool decimalComma = false;
  std::size_t skipRows = 0;
  const char* missing = "";
};

// Reads text as file "f.csv". Returns the error, or "" with *out filled.
std::string read(const std::string& text, Observations* out, const Flags& flags = Flags()) {
  std::string error;
  ColumnChoice choice;
  const std::string columns = flags.columns;
  if (!columns.empty() && !nlfit::data::parseColumnChoice(columns, &choice, &error)) return error;
  ReadOptions options;
  options.columns = columns.empty() ? nullptr : &choice;
  options.skipNonfinite = flags.skipNonfinite;
  options.decimalComma = flags.decimalComma;
  options.skipRows = flags.skipRows;
  options.missing = flags.missing;
  if (!nlfit::data::parseObservations(text, "f.csv", options, out, &error)) return error;
  return "";
}

Flags columns(const char* c) {
  Flags f;
  f.columns = c;
  return f;
}

TEST(DataFile, KeepsEveryRowOfWellFormedFiles) {
  Flags decimalComma;
  decimalComma.decimalComma = true;
  Flags titles;
  titles.skipRows = 2;
  Flags na;
  na.missing = "NA";
  na.skipNonfinite = true;
  struct Case {
    const char* text;
    std::vector<double> x, y;
    std::vector<int> lines;
    Flags flags = Flags();
  } cases[] = {
      // Header, CRLF, blank and comment lines, a trailing delimiter, mixed
      // separators from line to line, a comment after data.
      {"x,y\r\n\r\n# note\r\n1,2,\r\n3 ; 4\r\n5\t6 # end\r\n", {1, 3, 5}, {2, 4, 6}, {4, 5, 6}},
      // Spaces, no header, exponents, signs and a leading point.
      {"  1e3   -2.5\n+.5 7E-2\n", {1e3, 0.5}, {-2.5, 7e-2}, {1, 2}},
      // A quoted header; no newline at the end.
      {"\"time\";\"signal\"\n0;1", {0}, {1}, {2}},
      // Runs of tabs and blanks mixed are one delimiter; a comment after a tab.
      {"39.471\t1.03307     1.0 \t0.98765\t#c\n", {39.471}, {1.03307}, {1}},
      // Quoted numbers, with a comma inside quotes not splitting; a BOM.
      {"\xEF\xBB\xBFx,y\n\"1\",\"2\"\n\"3\" , 4\n", {1, 3}, {2, 4}, {2, 3}},
      // Decimal commas, with semicolons or blanks between columns.
      {"x;y\n1,5;2,25\n-0,5 1e-1\n", {1.5, -0.5}, {2.25, 0.1}, {2, 3}, decimalComma},
      // Title lines above the header, whatever they hold.
      {"Run 7, 3 May\n# 1,2,3\nt,s\n1,2\n", {1}, {2}, {4}, titles},
      // A missing cell drops its row when asked to; one in a column not used does not.
      {"1,NA,3\n2,4,NA\n", {2}, {4}, {2}, na},
  };
  for (const Case& c : cases) {
    Observations o;
    EXPECT_EQ(read(c.text, &o, c.flags), "") << c.text;
    EXPECT_EQ(o.x, c.x) << c.text;
    EXPECT_EQ(o.y, c.y) << c.text;
    EXPECT_EQ(o.lineNumbers, c.lines) << c.text;
  }
}

TEST(DataFile, RefusesWhatItCannotReadWithFileLineAndColumn) {
  Flags na;
  na.missing = "NA";
  Flags decimalComma;
  decimalComma.decimalComma = true;
  const struct {
    std::string text;
    Flags flags;
    const char* error;
  } cases[] = {
      {"0,5.2O\n1,2\n", {}, "f.csv: line 1, column 2: '5.2O' is not a number"},
      {"x,y\n1,2\n2,three\n", {}, "f.csv: line 3, column 2: 'three' is not a number"},
      {"1,0x10\n", {}, "f.csv: line 1, column 2: '0x10' is not a number"},
      {"1,,2\n", {}, "f.csv: line 1, column 2: empty cell"},
      {"1,2,,\n", {}, "f.csv: line 1, column 3: empty cell"},
      {",1,2\n", {}, "f.csv: line 1, column 1: empty cell"},
      {"1,2\n3\n", {}, "f.csv: line 2: 1 cell, expected 2 like the first data line"},
      {"1,5;2,3\n", {}, "f.csv: line 1: both ',' and ';' on one line"},
      {"1,1e999\n", {}, "f.csv: line 1, column 2: '1e999' is not a number"},
      {"x,y\n# nothing\n\n", {}, "f.csv: no data lines"},
      {"1,2\n2,NaN\n", {}, "f.csv: line 2, column 2: y is not finite"},
      {"1,2\n-inf,3\n", {}, "f.csv: line 2, column 1: x is not finite"},
      {"1,2,0\n", columns("1,2,3"), "f.csv: line 1, column 3: sigma must be positive"},
      {"1,2,-1\n", columns("1,2,3"), "f.csv: line 1, column 3: sigma must be positive"},
      {"1,2,nan\n", columns("1,2,3"), "f.csv: line 1, column 3: sigma is not finite"},
      {"1,2\n", columns("1,4"), "f.csv: no column 4 (the file has 2)"},
      {"1,2\n", columns("t,y"), "f.csv: no header line, so no column named 't'"},
      {"t,y\n1,2\n", columns("t,s"), "f.csv: no column named 's' (the header has t, y)"},
      {"1\n2\n", {}, "f.csv: one column; x and y need two"},
      {"1,2\n", columns("1"), "--columns takes x,y or x,y,sigma: '1'"},
      {"1,2\n", columns("1,,2"), "--columns has an empty entry: '1,,2'"},
      // '#' inside a cell is not a comment.
      {"1,1.#INF\n", {}, "f.csv: line 1, column 2: '1.#INF' is not a number"},
      {"t,y,t\n1,2,3\n", {}, "f.csv: line 1: the header names 't' twice (columns 1 and 3)"},
      {"1,NA\n", na, "f.csv: line 1, column 2: y is missing ('NA')"},
      {"1,NA\n", {}, "f.csv: line 1, column 2: 'NA' is not a number"},
      {"1;2.5\n", decimalComma, "f.csv: line 1, column 2: '2.5' is not a number"},
      {"1,\"2\n", {}, "f.csv: line 1: a double quote is not closed"},
      {std::string("1,2\n3,\0\n", 7), {}, "f.csv: line 2: a NUL byte; not a text file"},
  };
  for (const auto& c : cases) {
    Observations o;
    const std::string error = read(c.text, &o, c.flags);
    EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error) << c.text;
  }
}

TEST(DataFile, PicksColumnsByNameOrNumberAndSkipsNonfiniteRowsOnRequest) {
  Observations o;
  ASSERT_EQ(read("t,s,e,unused\n1,2,0.5,x1\n", &o), "f.csv: line 2, column 4: 'x1' is not a number");
  ASSERT_EQ(read("t,s,e,unused\n1,2,0.5,9\n2,4,0.25,nan\n", &o, columns("t,s,e")), "");
  EXPECT_EQ(o.x, (std::vector<double>{1, 2}));
  EXPECT_EQ(o.sigma, (std::vector<double>{0.5, 0.25}));
  EXPECT_EQ(o.xName, "t");
  EXPECT_EQ(o.yName, "s");
  ASSERT_EQ(read("1,2,3\n4,5,6\n", &o, columns("3,1")), "");
  EXPECT_EQ(o.x, (std::vector<double>{3, 6}));
  EXPECT_EQ(o.y, (std::vector<double>{1, 4}));
  EXPECT_TRUE(o.sigma.empty());

  Flags skip;
  skip.skipNonfinite = true;
  ASSERT_EQ(read("1,2\n2,NAN\n3,Inf\n4,5\n", &o, skip), "");
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

namespace {

// --x with several predictors: rows of d values in the order of --x, names
// from the header (x1, x2 without one), and the role of a bad cell named.
TEST(DataFile, KeepsSeveralPredictorColumnsInTheOrderAsked) {
  struct Case {
    const char* text;
    const char *x, *y, *sigma;
    std::vector<double> xs, ys, sigma_;
    std::vector<std::string> names;
    const char* error;
  } cases[] = {
      {"u,v,z,dz\n1,2,3,0.5\n4,5,6,0.25\n", "v,u", "z", "dz", {2, 1, 5, 4}, {3, 6}, {0.5, 0.25},
       {"v", "u"}, ""},
      {"1 2 3\n4 5 6\n", "1,2", "3", "", {1, 2, 4, 5}, {3, 6}, {}, {"x1", "x2"}, ""},
      {"u,v,z\n1,nan,3\n", "u,v", "z", "", {}, {}, {}, {}, "f.csv: line 2, column 2: x2 is not finite"},
      {"u,v,z\n1,2,3\n", "u,w", "z", "", {}, {}, {}, {}, "no column named 'w'"},
      {"u,v,z\n1,2,3\n", "u,", "z", "", {}, {}, {}, {}, "--x has an empty entry"},
      {"u,v,z\n1,2,3\n", "u,v", "", "", {}, {}, {}, {}, "--x needs --y"},
  };
  for (const Case& c : cases) {
    ColumnChoice choice;
    std::string error;
    Observations o;
    ReadOptions options;
    options.columns = &choice;
    if (nlfit::data::makeColumnChoice(c.x, c.y, c.sigma, &choice, &error))
      nlfit::data::parseObservations(c.text, "f.csv", options, &o, &error);
    if (*c.error != '\0') {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
      continue;
    }
    EXPECT_EQ(error, "") << c.text;
    EXPECT_EQ(o.predictors, 2u);
    EXPECT_EQ(o.x, c.xs);
    EXPECT_EQ(o.y, c.ys);
    EXPECT_EQ(o.sigma, c.sigma_);
    EXPECT_EQ(o.xNames, c.names);
  }
}

}  // namespace
