#include "text_case.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "data_file.h"
#include "nlfit/model.h"

namespace nlfit_fuzz {

std::string checkReaderCase(const std::uint8_t* data, std::size_t size) {
  namespace nd = nlfit::data;
  const std::uint8_t flags = size > 0 ? data[0] : 0;
  const std::string text(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0),
                         size > 0 ? size - 1 : 0);
  static const char* const kColumns[] = {"", "2,1", "1,2,3", "x,y"};
  const std::string columns = kColumns[(flags >> 5) & 3];
  nd::ColumnChoice choice;
  std::string error;
  if (!columns.empty() && !nd::parseColumnChoice(columns, &choice, &error)) {
    return "column choice " + columns + " refused: " + error;
  }
  nd::ReadOptions options;
  options.decimalComma = (flags & 1) != 0;
  options.skipNonfinite = (flags & 2) != 0;
  options.missing = (flags & 4) != 0 ? "NA" : "";
  options.skipRows = (flags >> 3) & 3;
  options.columns = columns.empty() ? nullptr : &choice;

  nd::Observations o;
  if (!nd::parseObservations(text, "f.csv", options, &o, &error)) {
    if (error.compare(0, 7, "f.csv: ") != 0 || error.size() == 7) return "unclear error: " + error;
    if (error.find('\n') != std::string::npos) return "error of more than one line: " + error;
    return "";
  }
  const std::size_t m = o.x.size();
  if (o.y.size() != m || o.lineNumbers.size() != m) return "x, y and line numbers differ in size";
  if (o.sigma.size() != (columns == "1,2,3" ? m : 0)) return "sigma has the wrong size";
  if (o.columns < (columns == "1,2,3" ? 3 : 2)) return "fewer columns than used";
  for (std::size_t i = 0; i < m; ++i) {
    if (!std::isfinite(o.x[i]) || !std::isfinite(o.y[i])) return "a non-finite value kept";
    if (!o.sigma.empty() && !(o.sigma[i] > 0.0 && std::isfinite(o.sigma[i]))) return "a bad sigma kept";
    if (o.lineNumbers[i] < 1 || (i > 0 && o.lineNumbers[i] <= o.lineNumbers[i - 1])) {
      return "line numbers not increasing";
    }
    if (static_cast<std::size_t>(o.lineNumbers[i]) <= options.skipRows) return "a skipped row kept";
  }
  if (o.skippedNonfinite > 0 && !options.skipNonfinite) return "rows dropped without being asked";
  return "";
}

std::string checkFormulaCase(const std::uint8_t* data, std::size_t size) {
  const std::string formula(reinterpret_cast<const char*>(data), size);
  char message[256];
  std::memset(message, 'z', sizeof message);
  nlfit_model* model = nlfit_model_formula(formula.c_str(), nullptr, 0, message, sizeof message);
  if (std::memchr(message, '\0', sizeof message) == nullptr) return "message not terminated";
  if (model == nullptr) return message[0] == '\0' ? "refused without a message" : "";
  std::string failure;
  const std::size_t n = nlfit_model_parameter_count(model);
  for (std::size_t j = 0; j < n && failure.empty(); ++j) {
    const char* name = nlfit_model_parameter_name(model, j);
    if (name == nullptr || name[0] == '\0') failure = "a parameter without a name";
  }
  if (nlfit_model_formula_text(model) == nullptr) failure = "no formula text";
  std::vector<double> params(n);
  for (std::size_t j = 0; j < n; ++j) params[j] = 0.5 + 0.25 * static_cast<double>(j % 7);
  const double x[] = {-2.0, -0.5, 0.0, 0.5, 1.0, 3.0, 1e300, -1e-300};
  constexpr std::size_t m = sizeof x / sizeof x[0];
  double first[m];
  double second[m];
  const int a = nlfit_model_evaluate(model, params.data(), x, m, first);
  const int b = nlfit_model_evaluate(model, params.data(), x, m, second);
  if (failure.empty() && a != b) failure = "two evaluations gave different statuses";
  if (failure.empty() && a == 0 && std::memcmp(first, second, sizeof first) != 0) {
    failure = "two evaluations gave different values";
  }
  if (failure.empty() && a > 0) failure = "a positive status from evaluate";
  nlfit_model_free(model);
  return failure;
}

}  // namespace nlfit_fuzz
