#include "data/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <unordered_map>

namespace nlfit {
namespace data {

namespace {

constexpr std::size_t kChunk = 65536;

bool fail(std::string* error, const std::string& message) {
  if (error != nullptr) *error = message;
  return false;
}

std::string systemReason(const std::string& path, int code) {
  return path + ": " + std::strerror(code);
}

std::string where(const std::string& path, int line) {
  return path + ": line " + std::to_string(line);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const char* s, std::size_t length, const char* word) {
  if (length != std::strlen(word)) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (lower(s[i]) != word[i]) return false;
  }
  return true;
}

// [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?, after the sign.
bool isDecimal(const char* s, std::size_t n) {
  std::size_t i = 0;
  std::size_t mantissaDigits = 0;
  while (i < n && isDigit(s[i])) ++i, ++mantissaDigits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && isDigit(s[i])) ++i, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponentDigits = 0;
    while (i < n && isDigit(s[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == n;
}

// A number in text that uses a point as its decimal mark; scratch holds a
// NUL-terminated copy for strtod.
bool parseDecimal(const char* s, std::size_t n, std::string* scratch, double* value) {
  std::size_t i = 0;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  const bool special = equalsIgnoringCase(s + i, n - i, "nan") ||
                       equalsIgnoringCase(s + i, n - i, "inf") ||
                       equalsIgnoringCase(s + i, n - i, "infinity");
  if (!special && !isDecimal(s + i, n - i)) return false;
  scratch->assign(s, n);
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(scratch->c_str(), &end);
  if (end != scratch->c_str() + n) return false;
  // Overflow is refused; an underflow is the correctly rounded tiny value.
  if (errno == ERANGE && std::isinf(v)) return false;
  *value = v;
  return true;
}

// With a decimal comma, "1,5" is 1.5 and "1.5" is not a number (a point
// would be a thousands separator there).
bool parseCell(const char* s, std::size_t n, bool decimalComma, std::string* scratch,
               std::string* converted, double* value) {
  if (!decimalComma) return parseDecimal(s, n, scratch, value);
  if (std::memchr(s, '.', n) != nullptr) return false;
  converted->assign(s, n);
  std::replace(converted->begin(), converted->end(), ',', '.');
  return parseDecimal(converted->data(), converted->size(), scratch, value);
}

// A cell: trimmed of blanks, then of one pair of double quotes.
struct Cell {
  const char* text;
  std::size_t size;
  std::size_t column;  // from 1
  std::string str() const { return std::string(text, size); }
};

Cell makeCell(const char* begin, const char* end, std::size_t column) {
  while (begin < end && isBlank(*begin)) ++begin;
  while (end > begin && isBlank(end[-1])) --end;
  if (end - begin >= 2 && *begin == '"' && end[-1] == '"') ++begin, --end;
  return Cell{begin, static_cast<std::size_t>(end - begin), column};
}

// Calls visit(cell) for each cell of the line s[0, n) split on delimiter
// (0: runs of blanks) outside double quotes, until visit returns false.
// With a delimiter, one empty cell after a final delimiter is dropped and
// any other empty cell stops with *emptyColumn set to its column.
template <class Visit>
bool forEachCell(const char* s, std::size_t n, char delimiter, std::size_t* emptyColumn,
                 Visit visit) {
  *emptyColumn = 0;
  std::size_t column = 0;
  std::size_t i = 0;
  if (delimiter == 0) {
    while (i < n) {
      while (i < n && isBlank(s[i])) ++i;
      if (i == n) break;
      const std::size_t begin = i;
      bool quoted = false;
      while (i < n && (quoted || !isBlank(s[i]))) quoted = quoted != (s[i++] == '"');
      if (!visit(makeCell(s + begin, s + i, ++column))) return false;
    }
    return true;
  }
  for (;;) {
    const std::size_t begin = i;
    bool quoted = false;
    while (i < n && (quoted || s[i] != delimiter)) quoted = quoted != (s[i++] == '"');
    const Cell cell = makeCell(s + begin, s + i, ++column);
    const bool last = i == n;
    if (cell.size == 0 && !(last && column > 1)) {
      *emptyColumn = column;
      return false;
    }
    if (cell.size > 0 && !visit(cell)) return false;
    if (last) return true;
    ++i;
  }
}

// Everything the reader has learnt of a file so far.
class Reader {
 public:
  Reader(const std::string& path, const ReadOptions& options, Observations* out)
      : path_(path), options_(options), out_(*out) {}

  bool line(const char* s, std::size_t n, int number, std::string* error);
  bool finish(std::string* error) const {
    if (dataLines_ == 0) return fail(error, path_ + ": no data lines");
    return true;
  }

 private:
  bool shape(const char* s, std::size_t* n, char* delimiter, int number, std::string* error) const;
  bool readHeader(const char* s, std::size_t n, char delimiter, int number, std::string* error);
  bool chooseColumns(std::string* error);
  bool readRow(const char* s, std::size_t n, char delimiter, int number, std::string* error);
  bool isMissing(const Cell& c) const {
    return !options_.missing.empty() && c.size == options_.missing.size() &&
           std::memcmp(c.text, options_.missing.data(), c.size) == 0;
  }

  const std::string& path_;
  const ReadOptions& options_;
  Observations& out_;
  std::string scratch_;
  std::string converted_;
  std::vector<std::string> header_;
  std::size_t columns_ = 0;  // 0 until the header or the first data line
  std::size_t predictors_ = 1;           // d: the first d columns used are x
  std::vector<std::size_t> index_{0, 1};  // the columns used: x (d), y, sigma
  std::size_t count_ = 2;
  std::vector<double> value_;             // one row's cells used, and which are missing
  std::vector<char> missing_;
  // The role of column used k in messages: x (x1, x2, ... with several), y, sigma.
  std::string role(std::size_t k) const {
    if (k < predictors_) return predictors_ == 1 ? "x" : "x" + std::to_string(k + 1);
    return k == predictors_ ? "y" : "sigma";
  }
  std::size_t dataLines_ = 0;
};

// Cuts the comment off and picks the delimiter.
bool Reader::shape(const char* s, std::size_t* n, char* delimiter, int number,
                   std::string* error) const {
  bool quoted = false;
  bool comma = false;
  bool semicolon = false;
  for (std::size_t i = 0; i < *n; ++i) {
    const char c = s[i];
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    if (c == '#' && (i == 0 || isBlank(s[i - 1]) || s[i - 1] == ',' || s[i - 1] == ';')) {
      *n = i;
      break;
    }
    comma = comma || c == ',';
    semicolon = semicolon || c == ';';
  }
  if (quoted) return fail(error, where(path_, number) + ": a double quote is not closed");
  if (options_.decimalComma) {
    *delimiter = semicolon ? ';' : 0;
  } else if (comma && semicolon) {
    return fail(error, where(path_, number) + ": both ',' and ';' on one line (a decimal comma? " +
                           "use --decimal-comma)");
  } else {
    *delimiter = comma ? ',' : semicolon ? ';' : 0;
  }
  return true;
}

bool Reader::line(const char* s, std::size_t n, int number, std::string* error) {
  if (n > 0 && s[n - 1] == '\r') --n;
  char delimiter = 0;
  if (!shape(s, &n, &delimiter, number, error)) return false;
  std::size_t blank = 0;
  while (blank < n && isBlank(s[blank])) ++blank;
  if (blank == n) return true;

  if (columns_ == 0) {
    // The first line is a header when none of its cells is a number.
    std::size_t numbers = 0;
    std::size_t emptyColumn = 0;
    double value = 0.0;
    forEachCell(s, n, delimiter, &emptyColumn, [&](const Cell& c) {
      if (isMissing(c) || parseCell(c.text, c.size, options_.decimalComma, &scratch_, &converted_, &value)) {
        ++numbers;
      }
      return numbers == 0;
    });
    if (numbers == 0) return readHeader(s, n, delimiter, number, error);
  }
  return readRow(s, n, delimiter, number, error);
}

bool Reader::readHeader(const char* s, std::size_t n, char delimiter, int number,
                        std::string* error) {
  std::size_t emptyColumn = 0;
  forEachCell(s, n, delimiter, &emptyColumn, [&](const Cell& c) {
    header_.push_back(c.str());
    return true;
  });
  if (emptyColumn != 0) {
    return fail(error, where(path_, number) + ", column " + std::to_string(emptyColumn) +
                           ": empty cell");
  }
  std::unordered_map<std::string_view, std::size_t> seen;
  for (std::size_t c = 0; c < header_.size(); ++c) {
    const auto inserted = seen.emplace(header_[c], c);
    if (!inserted.second) {
      return fail(error, where(path_, number) + ": the header names '" + header_[c] +
                             "' twice (columns " + std::to_string(inserted.first->second + 1) +
                             " and " + std::to_string(c + 1) + ")");
    }
  }
  columns_ = header_.size();
  return chooseColumns(error);
}

// The 0-based indices of the columns used, once the header or the first
// data line has given the number of columns.
bool Reader::chooseColumns(std::string* error) {
  out_.columns = columns_;
  if (options_.columns == nullptr) {
    if (columns_ < 2) return fail(error, path_ + ": one column; x and y need two");
  } else {
    count_ = options_.columns->names.size();
    predictors_ = options_.columns->predictors;
    index_.assign(count_, 0);
    for (std::size_t k = 0; k < count_; ++k) {
      const std::string& name = options_.columns->names[k];
      const bool allDigits = std::all_of(name.begin(), name.end(), isDigit);
      if (allDigits) {
        const unsigned long long column = std::strtoull(name.c_str(), nullptr, 10);
        if (column < 1 || column > columns_) {
          return fail(error, path_ + ": no column " + name + " (the file has " +
                                 std::to_string(columns_) + ")");
        }
        index_[k] = static_cast<std::size_t>(column - 1);
        continue;
      }
      if (header_.empty()) {
        return fail(error, path_ + ": no header line, so no column named '" + name + "'");
      }
      const auto found = std::find(header_.begin(), header_.end(), name);
      if (found == header_.end()) {
        std::string names;
        for (const std::string& h : header_) names += (names.empty() ? "" : ", ") + h;
        return fail(error, path_ + ": no column named '" + name + "' (the header has " + names + ")");
      }
      index_[k] = static_cast<std::size_t>(found - header_.begin());
    }
  }
  out_.predictors = predictors_;
  out_.xNames.clear();
  for (std::size_t k = 0; k < predictors_; ++k)
    out_.xNames.push_back(header_.empty() || header_[index_[k]].empty() ? role(k)
                                                                        : header_[index_[k]]);
  out_.xName = out_.xNames[0];
  if (!header_.empty()) {
    if (!header_[index_[predictors_]].empty()) out_.yName = header_[index_[predictors_]];
  }
  return true;
}

bool Reader::readRow(const char* s, std::size_t n, char delimiter, int number,
                     std::string* error) {
  // Names need a header; checked before the first data line is read.
  if (columns_ == 0 && options_.columns != nullptr) {
    for (const std::string& name : options_.columns->names) {
      if (!std::all_of(name.begin(), name.end(), isDigit)) {
        return fail(error, path_ + ": no header line, so no column named '" + name + "'");
      }
    }
  }
  const std::size_t chosen = options_.columns == nullptr ? 2 : options_.columns->names.size();
  if (columns_ == 0 && options_.columns != nullptr) {
    index_.assign(chosen, 0);
    for (std::size_t k = 0; k < chosen; ++k) {
      const unsigned long long column = std::strtoull(options_.columns->names[k].c_str(), nullptr, 10);
      index_[k] = column >= 1 ? static_cast<std::size_t>(column - 1) : ~std::size_t{0};
    }
  }
  const std::size_t* index = index_.data();
  value_.assign(chosen, 0.0);
  missing_.assign(chosen, 0);
  double* value = value_.data();
  char* missing = missing_.data();
  std::size_t cells = 0;
  std::size_t emptyColumn = 0;
  bool bad = false;
  forEachCell(s, n, delimiter, &emptyColumn, [&](const Cell& c) {
    ++cells;
    double v = 0.0;
    const bool isMissingCell = isMissing(c);
    if (!isMissingCell && !parseCell(c.text, c.size, options_.decimalComma, &scratch_, &converted_, &v)) {
      fail(error, where(path_, number) + ", column " + std::to_string(c.column) + ": '" + c.str() +
                      "' is not a number");
      bad = true;
      return false;
    }
    for (std::size_t k = 0; k < chosen; ++k) {
      if (index[k] == c.column - 1) {
        value[k] = v;
        missing[k] = isMissingCell;
      }
    }
    return true;
  });
  if (bad) return false;
  if (emptyColumn != 0) {
    return fail(error, where(path_, number) + ", column " + std::to_string(emptyColumn) +
                           ": empty cell");
  }
  if (columns_ == 0) {
    columns_ = cells;
    if (!chooseColumns(error)) return false;
  } else if (cells != columns_) {
    return fail(error, where(path_, number) + ": " + std::to_string(cells) +
                           (cells == 1 ? " cell" : " cells") + ", expected " +
                           std::to_string(columns_) +
                           (header_.empty() ? " like the first data line" : " like the header"));
  }
  ++dataLines_;

  bool usable = true;
  for (std::size_t k = 0; k < count_; ++k) {
    if (!missing[k] && std::isfinite(value[k])) continue;
    if (!options_.skipNonfinite) {
      return fail(error, where(path_, number) + ", column " + std::to_string(index_[k] + 1) + ": " +
                             role(k) +
                             (missing[k] ? " is missing ('" + options_.missing + "')"
                                         : std::string(" is not finite")));
    }
    usable = false;
  }
  if (!usable) {
    ++out_.skippedNonfinite;
    return true;
  }
  const std::size_t d = predictors_;
  if (count_ == d + 2 && !(value[d + 1] > 0.0)) {
    return fail(error, where(path_, number) + ", column " + std::to_string(index_[d + 1] + 1) +
                           ": sigma must be positive");
  }
  out_.x.insert(out_.x.end(), value, value + d);
  out_.y.push_back(value[d]);
  if (count_ == d + 2) out_.sigma.push_back(value[d + 1]);
  out_.lineNumbers.push_back(number);
  return true;
}

}  // namespace

std::string trim(const std::string& s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && isBlank(s[begin])) ++begin;
  while (end > begin && isBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

TextInput::~TextInput() {
  if (ownsFd_) ::close(fd_);
}

TextInput::Buffer::~Buffer() { std::free(data); }

void TextInput::Buffer::resize(std::size_t n) {
  if (n > capacity) {
    const std::size_t grown = std::max(n, capacity + capacity / 2);
    void* moved = std::realloc(data, grown);
    if (moved == nullptr) throw std::bad_alloc();
    data = static_cast<char*>(moved);
    capacity = grown;
  }
  size = n;
}

bool TextInput::open(const std::string& path, std::string* error) {
  if (path == "-") {
    name_ = "stdin";
    fd_ = STDIN_FILENO;
    return true;
  }
  name_ = path;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(error, systemReason(path, errno));
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    const int code = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    return fail(error, systemReason(path, code));
  }
  fd_ = fd;
  ownsFd_ = true;
  return true;
}

void TextInput::openText(const std::string& text, const std::string& name) {
  name_ = name;
  buffer_.resize(text.size());
  if (!text.empty()) std::memcpy(buffer_.data, text.data(), text.size());
  end_ = true;
}

bool TextInput::fill(std::string* error) {
  if (end_) return true;
  // Drop what has been consumed before growing the buffer.
  if (position_ > 0) {
    std::memmove(buffer_.data, buffer_.data + position_, buffer_.size - position_);
    buffer_.size -= position_;
    scanned_ -= position_;
    position_ = 0;
  }
  const std::size_t old = buffer_.size;
  buffer_.resize(old + kChunk);
  ssize_t got = 0;
  do {
    got = ::read(fd_, buffer_.data + old, kChunk);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    const int code = errno;
    buffer_.size = old;
    return fail(error, systemReason(name_, code));
  }
  buffer_.size = old + static_cast<std::size_t>(got);
  if (got == 0) end_ = true;
  return noNul(old, error);
}

// A NUL byte is refused as soon as it is read: a binary file or a device
// such as /dev/zero is not read to its end.
bool TextInput::noNul(std::size_t from, std::string* error) {
  if (from >= buffer_.size) return true;
  const char* nul =
      static_cast<const char*>(std::memchr(buffer_.data + from, '\0', buffer_.size - from));
  if (nul == nullptr) return true;
  const long long line =
      linesRead_ + 1 + std::count(static_cast<const char*>(buffer_.data + position_), nul, '\n');
  end_ = true;
  buffer_.size = position_;
  return fail(error, name_ + ": line " + std::to_string(line) + ": a NUL byte; not a text file");
}

bool TextInput::peek(std::size_t bytes, std::string* head, std::string* error) {
  try {
    while (buffer_.size - position_ < bytes && !end_) {
      if (!fill(error)) return false;
    }
    head->assign(buffer_.data + position_, std::min(bytes, buffer_.size - position_));
    return true;
  } catch (const std::bad_alloc&) {
    return fail(error, name_ + ": out of memory while reading");
  }
}

bool TextInput::nextLine(const char** line, std::size_t* length, std::string* error) {
  if (error != nullptr) error->clear();
  if (fd_ < 0 && !checkedText_) {
    checkedText_ = true;
    if (!noNul(0, error)) return false;
  }
  for (;;) {
    const std::size_t from = std::max(scanned_, position_);
    const char* found = from < buffer_.size ? static_cast<const char*>(std::memchr(
                                                  buffer_.data + from, '\n', buffer_.size - from))
                                            : nullptr;
    if (found != nullptr || (end_ && position_ < buffer_.size)) {
      const std::size_t end =
          found == nullptr ? buffer_.size : static_cast<std::size_t>(found - buffer_.data);
      *line = buffer_.data + position_;
      *length = end - position_;
      position_ = found == nullptr ? end : end + 1;
      scanned_ = position_;
      ++linesRead_;
      return true;
    }
    if (end_) return false;
    scanned_ = buffer_.size;
    if (!fill(error)) return false;
  }
}

bool TextInput::readRest(std::string* text, std::string* error) {
  try {
    while (!end_) {
      if (!fill(error)) return false;
    }
    text->assign(buffer_.data + position_, buffer_.size - position_);
    position_ = buffer_.size;
    return true;
  } catch (const std::bad_alloc&) {
    return fail(error, name_ + ": out of memory while reading");
  }
}

bool readText(const std::string& path, std::string* text, std::string* error) {
  TextInput input;
  return input.open(path, error) && input.readRest(text, error);
}

bool parseNumber(const std::string& cell, double* value) {
  std::string scratch;
  return parseDecimal(cell.data(), cell.size(), &scratch, value);
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

bool makeColumnChoice(const std::string& x, const std::string& y, const std::string& sigma,
                      ColumnChoice* choice, std::string* error) {
  ColumnChoice c;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = x.find(',', begin);
    c.names.push_back(trim(x.substr(begin, end == std::string::npos ? std::string::npos : end - begin)));
    if (c.names.back().empty()) return fail(error, "--x has an empty entry: '" + x + "'");
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  c.predictors = c.names.size();
  const std::string yName = trim(y), sigmaName = trim(sigma);
  if (yName.empty()) return fail(error, "--x needs --y COLUMN");
  c.names.push_back(yName);
  if (!sigma.empty()) {
    if (sigmaName.empty()) return fail(error, "--sigma has an empty entry");
    c.names.push_back(sigmaName);
  }
  *choice = std::move(c);
  return true;
}

bool readObservations(TextInput& input, const ReadOptions& options, Observations* out,
                      std::string* error) {
  try {
    Observations o;
    Reader reader(input.name(), options, &o);
    const char* line = nullptr;
    std::size_t length = 0;
    int number = 0;
    std::string readError;
    while (input.nextLine(&line, &length, &readError)) {
      if (number == std::numeric_limits<int>::max()) {
        return fail(error, input.name() + ": more than " + std::to_string(number) + " lines");
      }
      ++number;
      if (static_cast<std::size_t>(number) <= options.skipRows) continue;
      // A UTF-8 byte order mark is not part of the first name.
      if (number == 1 && length >= 3 && std::memcmp(line, "\xEF\xBB\xBF", 3) == 0) {
        line += 3;
        length -= 3;
      }
      if (!reader.line(line, length, number, error)) return false;
    }
    if (!readError.empty()) return fail(error, readError);
    if (!reader.finish(error)) return false;
    *out = std::move(o);
    return true;
  } catch (const std::bad_alloc&) {
    return fail(error, input.name() + ": out of memory while reading");
  }
}

bool parseObservations(const std::string& text, const std::string& path,
                       const ReadOptions& options, Observations* out, std::string* error) {
  TextInput input;
  input.openText(text, path);
  return readObservations(input, options, out, error);
}

}  // namespace data
}  // namespace nlfit
