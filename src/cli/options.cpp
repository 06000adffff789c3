#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "data_file.h"

namespace nlfit {
namespace cli {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool parseFiniteNumber(const std::string& text, double* value) {
  double v = 0.0;
  if (!data::parseNumber(data::trim(text), &v) || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool parseInteger(const std::string& text, long long min, long long max, long long* value) {
  const std::string t = data::trim(text);
  std::size_t i = t.size() > 0 && t[0] == '-' ? 1 : 0;
  if (i == t.size()) return false;
  for (std::size_t k = i; k < t.size(); ++k) {
    if (t[k] < '0' || t[k] > '9') return false;
  }
  errno = 0;
  const long long v = std::strtoll(t.c_str(), nullptr, 10);
  if (errno == ERANGE || v < min || v > max) return false;
  *value = v;
  return true;
}

bool parseAssignments(const std::string& text, const std::string& option, Assignments* out,
                      std::string* error) {
  Assignments result;
  if (data::trim(text).empty()) {
    *out = result;
    return true;
  }
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = text.find(',', begin);
    const std::string item =
        data::trim(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    const std::size_t eq = item.find('=');
    const std::string name = eq == std::string::npos ? "" : data::trim(item.substr(0, eq));
    double value = 0.0;
    if (name.empty() || !parseFiniteNumber(item.substr(eq + 1), &value)) {
      *error = option + " takes name=value,...; bad item '" + item + "'";
      return false;
    }
    for (const auto& seen : result) {
      if (seen.first == name) {
        *error = option + " gives " + name + " twice";
        return false;
      }
    }
    result.emplace_back(name, value);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  *out = std::move(result);
  return true;
}

std::string withoutResponse(const std::string& formula) {
  std::size_t i = 0;
  while (i < formula.size() && isBlank(formula[i])) ++i;
  if (i >= formula.size() || formula[i] != 'y') return formula;
  ++i;
  while (i < formula.size() && isBlank(formula[i])) ++i;
  // "y == ..." is a comparison, not an assignment.
  if (i >= formula.size() || formula[i] != '=' ||
      (i + 1 < formula.size() && formula[i + 1] == '=')) {
    return formula;
  }
  return data::trim(formula.substr(i + 1));
}

}  // namespace cli
}  // namespace nlfit
