#include "data/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace nlfit {
namespace data {

namespace {

bool fail(std::string* error, const std::string& message) {
  if (error != nullptr) *error = message;
  return false;
}

std::string systemReason(const std::string& path, int code) {
  return path + ": " + std::strerror(code);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const std::string& s, std::size_t from, const char* word) {
  const std::size_t length = std::strlen(word);
  if (s.size() - from != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (lower(s[from + i]) != word[i]) return false;
  }
  return true;
}

// [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?
bool isDecimal(const std::string& s, std::size_t i) {
  std::size_t mantissaDigits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++mantissaDigits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponentDigits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == s.size();
}

std::string trim(const std::string& s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && (s[begin] == ' ' || s[begin] == '\t')) ++begin;
  while (end > begin && (s[end - 1] == ' ' || s[end - 1] == '\t')) --end;
  return s.substr(begin, end - begin);
}

// A header name without the double quotes some programs put around it.
std::string unquote(const std::string& s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// The cells of one line (comment and line end already removed). With a
// delimiter character: an empty cell is reported by its 1-based column in
// *emptyColumn (0 when there is none); one empty cell after a final
// delimiter is dropped. Without one (delimiter 0): runs of blanks.
std::vector<std::string> splitCells(const std::string& line, char delimiter,
                                    std::size_t* emptyColumn) {
  std::vector<std::string> cells;
  *emptyColumn = 0;
  if (delimiter == 0) {
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      const std::size_t begin = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
      if (i > begin) cells.push_back(line.substr(begin, i - begin));
    }
    return cells;
  }
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = line.find(delimiter, begin);
    cells.push_back(trim(line.substr(begin, end == std::string::npos ? std::string::npos : end - begin)));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (cells.size() > 1 && cells.back().empty()) cells.pop_back();
  for (std::size_t c = 0; c < cells.size(); ++c) {
    if (cells[c].empty()) {
      *emptyColumn = c + 1;
      break;
    }
  }
  return cells;
}

std::string where(const std::string& path, int line) {
  return path + ": line " + std::to_string(line);
}

}  // namespace

bool readText(const std::string& path, std::string* text, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(error, systemReason(path, errno));
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    const int code = errno;
    ::close(fd);
    return fail(error, systemReason(path, code));
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(fd);
    return fail(error, systemReason(path, EISDIR));
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      ::close(fd);
      return fail(error, systemReason(path, code));
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  *text = std::move(content);
  return true;
}

bool parseNumber(const std::string& cell, double* value) {
  std::size_t i = 0;
  if (i < cell.size() && (cell[i] == '+' || cell[i] == '-')) ++i;
  const bool special = equalsIgnoringCase(cell, i, "nan") || equalsIgnoringCase(cell, i, "inf") ||
                       equalsIgnoringCase(cell, i, "infinity");
  if (!special && !isDecimal(cell, i)) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(cell.c_str(), &end);
  if (end != cell.c_str() + cell.size()) return false;
  // Overflow is refused; an underflow is the correctly rounded tiny value.
  if (errno == ERANGE && std::isinf(v)) return false;
  *value = v;
  return true;
}

bool parseTable(const std::string& text, const std::string& path, Table* table,
                std::string* error) {
  Table t;
  bool first = true;
  int lineNumber = 0;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t comment = line.find('#');
    if (comment != std::string::npos) line.erase(comment);
    if (trim(line).empty()) continue;

    // The line's delimiter: comma or semicolon (never both: "1,5;2,3" is a
    // decimal comma, not four cells), else tab, else runs of blanks.
    const bool comma = line.find(',') != std::string::npos;
    const bool semicolon = line.find(';') != std::string::npos;
    if (comma && semicolon) {
      return fail(error, where(path, lineNumber) + ": both ',' and ';' on one line (decimal " +
                             "commas are not read; write 1.5, not 1,5)");
    }
    const char delimiter = comma ? ',' : semicolon ? ';'
                           : line.find('\t') != std::string::npos ? '\t' : '\0';
    std::size_t emptyColumn = 0;
    const std::vector<std::string> cells = splitCells(line, delimiter, &emptyColumn);
    if (emptyColumn != 0) {
      return fail(error, where(path, lineNumber) + ", column " + std::to_string(emptyColumn) +
                             ": empty cell");
    }
    std::vector<double> values(cells.size());
    std::size_t numbers = 0;
    std::size_t firstBad = cells.size();
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (parseNumber(cells[c], &values[c])) {
        ++numbers;
      } else if (firstBad == cells.size()) {
        firstBad = c;
      }
    }
    if (first && numbers == 0) {
      for (const std::string& cell : cells) t.header.push_back(unquote(cell));
      t.columns = cells.size();
      first = false;
      continue;
    }
    if (firstBad != cells.size()) {
      return fail(error, where(path, lineNumber) + ", column " + std::to_string(firstBad + 1) +
                             ": '" + cells[firstBad] + "' is not a number");
    }
    if (t.columns == 0) t.columns = cells.size();
    if (cells.size() != t.columns) {
      return fail(error, where(path, lineNumber) + ": " + std::to_string(cells.size()) +
                             (cells.size() == 1 ? " cell" : " cells") + ", expected " +
                             std::to_string(t.columns) +
                             (t.header.empty() ? " like the first data line" : " like the header"));
    }
    first = false;
    t.cells.insert(t.cells.end(), values.begin(), values.end());
    t.lineNumbers.push_back(lineNumber);
  }
  if (t.lineNumbers.empty()) return fail(error, path + ": no data lines");
  *table = std::move(t);
  return true;
}

bool parseColumnChoice(const std::string& text, ColumnChoice* choice, std::string* error) {
  ColumnChoice c;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = text.find(',', begin);
    c.names.push_back(trim(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin)));
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (c.names.size() < 2 || c.names.size() > 3) {
    return fail(error, "--columns takes x,y or x,y,sigma: '" + text + "'");
  }
  for (const std::string& name : c.names) {
    if (name.empty()) return fail(error, "--columns has an empty entry: '" + text + "'");
  }
  *choice = std::move(c);
  return true;
}

namespace {

// The 0-based index of a column given by number or header name.
bool findColumn(const Table& table, const std::string& path, const std::string& name,
                std::size_t* index, std::string* error) {
  bool allDigits = !name.empty();
  for (char ch : name) allDigits = allDigits && isDigit(ch);
  if (allDigits) {
    const unsigned long long number = std::strtoull(name.c_str(), nullptr, 10);
    if (number < 1 || number > table.columns) {
      return fail(error, path + ": no column " + name + " (the file has " +
                             std::to_string(table.columns) + ")");
    }
    *index = static_cast<std::size_t>(number - 1);
    return true;
  }
  for (std::size_t c = 0; c < table.header.size(); ++c) {
    if (table.header[c] == name) {
      *index = c;
      return true;
    }
  }
  if (table.header.empty()) {
    return fail(error, path + ": no header line, so no column named '" + name + "'");
  }
  std::string names;
  for (const std::string& h : table.header) names += (names.empty() ? "" : ", ") + h;
  return fail(error, path + ": no column named '" + name + "' (the header has " + names + ")");
}

std::string nameOf(const Table& table, std::size_t column, const char* fallback) {
  if (column < table.header.size() && !table.header[column].empty()) return table.header[column];
  return fallback;
}

}  // namespace

bool selectColumns(const Table& table, const std::string& path, const ColumnChoice* choice,
                   bool skipNonfinite, Observations* out, std::string* error) {
  std::size_t index[3] = {0, 1, 0};
  std::size_t count = 2;
  if (choice != nullptr) {
    count = choice->names.size();
    for (std::size_t k = 0; k < count; ++k) {
      if (!findColumn(table, path, choice->names[k], &index[k], error)) return false;
    }
  } else if (table.columns < 2) {
    return fail(error, path + ": one column; x and y need two");
  }
  const bool withSigma = count == 3;
  static const char* const kRole[] = {"x", "y", "sigma"};

  Observations o;
  o.xName = nameOf(table, index[0], "x");
  o.yName = nameOf(table, index[1], "y");
  for (std::size_t r = 0; r < table.rows(); ++r) {
    const int line = table.lineNumbers[r];
    double v[3] = {0.0, 0.0, 0.0};
    bool finite = true;
    for (std::size_t k = 0; k < count; ++k) {
      v[k] = table.at(r, index[k]);
      if (std::isfinite(v[k])) continue;
      if (!skipNonfinite) {
        return fail(error, where(path, line) + ", column " + std::to_string(index[k] + 1) +
                               ": " + kRole[k] + " is not finite");
      }
      finite = false;
    }
    if (!finite) {
      ++o.skippedNonfinite;
      continue;
    }
    if (withSigma && !(v[2] > 0.0)) {
      return fail(error, where(path, line) + ", column " + std::to_string(index[2] + 1) +
                             ": sigma must be positive");
    }
    o.x.push_back(v[0]);
    o.y.push_back(v[1]);
    if (withSigma) o.sigma.push_back(v[2]);
    o.lineNumbers.push_back(line);
  }
  *out = std::move(o);
  return true;
}

}  // namespace data
}  // namespace nlfit
