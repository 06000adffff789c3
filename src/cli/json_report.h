// The JSON form of the report of a fit (nlfit --json); keys in docs/cli.md.
#ifndef NLFIT_CLI_JSON_REPORT_H
#define NLFIT_CLI_JSON_REPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include "nlfit/report.h"

namespace nlfit {
namespace cli {

// The same content as nlfit_report_format, as one JSON object (NaN and
// infinities written as null). covariance: n*n values, or null.
// sets: the data files of a global fit, or null.
struct GlobalSets {
  std::vector<std::string> files;
  std::vector<std::size_t> points;
  std::vector<std::string> shared;  // the shared parameters' names
};
std::string jsonReport(const nlfit_report_input& input, const double* covariance,
                       const GlobalSets* sets = nullptr);

}  // namespace cli
}  // namespace nlfit

#endif  // NLFIT_CLI_JSON_REPORT_H
