// Reader for NIST StRD nonlinear regression files (.dat): the two starting
// points, the certified parameters with their standard deviations, the
// certified residual sum of squares and the (x, y) observations.
#ifndef NLFIT_DATA_NIST_DATASET_H
#define NLFIT_DATA_NIST_DATASET_H

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace nist {

struct Dataset {
  std::string name;                 // "Dataset Name:" of the file
  std::vector<double> start1;       // far starting point
  std::vector<double> start2;       // near starting point
  std::vector<double> certified;    // certified parameter values
  std::vector<double> certifiedSd;  // their standard deviations
  double certifiedRss = 0.0;        // certified residual sum of squares
  std::vector<double> x;
  std::vector<double> y;
};

// Parses the whole token as a double with strtod (correctly rounded).
inline bool parseDouble(const std::string& token, double* value) {
  if (token.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(token.c_str(), &end);
  if (end != token.c_str() + token.size() || errno == ERANGE) return false;
  *value = v;
  return true;
}

namespace detail {

inline std::vector<std::string> split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> fields;
  for (std::string f; in >> f;) fields.push_back(f);
  return fields;
}

inline bool fail(std::string* error, const std::string& message) {
  if (error != nullptr) *error = message;
  return false;
}

}  // namespace detail

// True when the text reads like a NIST StRD file: a "Dataset Name:" line
// near the top.
inline bool looksLikeDataset(const std::string& text) {
  const std::size_t at = text.find("Dataset Name:");
  return at != std::string::npos && at < 4096;
}

// Parses the lines of a file already read (path only names it in errors).
inline bool parseDataset(const std::vector<std::string>& lines, const std::string& path,
                         Dataset* out, std::string* error) {
  using detail::fail;
  Dataset d;
  int firstDataLine = 0;
  int lastDataLine = 0;
  bool haveRss = false;
  std::map<int, std::vector<double>> params;  // b index -> 4 numbers
  for (const std::string& line : lines) {
    const std::vector<std::string> f = detail::split(line);
    if (f.empty()) continue;
    if (d.name.empty() && f.size() >= 3 && f[0] == "Dataset" && f[1] == "Name:") d.name = f[2];
    if (firstDataLine == 0 && f.size() >= 5 && f[0] == "Data" && f[1] == "(lines") {
      firstDataLine = std::atoi(f[2].c_str());
      lastDataLine = std::atoi(f[4].c_str());
    }
    if (f.size() == 6 && f[0].size() >= 2 && f[0][0] == 'b' && f[1] == "=") {
      const int k = std::atoi(f[0].c_str() + 1);
      std::vector<double> v(4);
      bool ok = k >= 1;
      for (int i = 0; ok && i < 4; ++i) ok = parseDouble(f[2 + i], &v[i]);
      if (ok) params[k] = v;
    }
    if (!haveRss && line.find("Residual Sum of Squares:") != std::string::npos) {
      haveRss = parseDouble(f.back(), &d.certifiedRss);
    }
  }
  if (firstDataLine <= 0 || lastDataLine < firstDataLine || params.empty() || !haveRss) {
    return fail(error, path + ": not a NIST StRD nonlinear regression file");
  }
  int expected = 1;
  for (const auto& entry : params) {
    if (entry.first != expected++) return fail(error, path + ": parameter lines incomplete");
    d.start1.push_back(entry.second[0]);
    d.start2.push_back(entry.second[1]);
    d.certified.push_back(entry.second[2]);
    d.certifiedSd.push_back(entry.second[3]);
  }
  if (lastDataLine > static_cast<int>(lines.size())) return fail(error, path + ": data truncated");
  for (int n = firstDataLine; n <= lastDataLine; ++n) {
    const std::vector<std::string> f = detail::split(lines[static_cast<std::size_t>(n - 1)]);
    if (f.empty()) continue;
    double y = 0.0;
    double x = 0.0;
    // The data columns are y, then x.
    if (f.size() != 2 || !parseDouble(f[0], &y) || !parseDouble(f[1], &x)) {
      return fail(error, path + ": bad data line " + std::to_string(n));
    }
    d.y.push_back(y);
    d.x.push_back(x);
  }
  *out = std::move(d);
  return true;
}

// Reads path into *out. On failure returns false with a one-line reason.
inline bool readDataset(const std::string& path, Dataset* out, std::string* error) {
  std::ifstream file(path);
  if (!file) return detail::fail(error, "cannot open " + path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return parseDataset(lines, path, out, error);
}

}  // namespace nist

#endif  // NLFIT_DATA_NIST_DATASET_H
