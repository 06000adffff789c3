// The JSON form of the report of a fit (nlfit --json); keys in docs/cli.md.
#ifndef NLFIT_CLI_JSON_REPORT_H
#define NLFIT_CLI_JSON_REPORT_H

#include <string>

#include "nlfit/report.h"

namespace nlfit {
namespace cli {

// The same content as nlfit_report_format, as one JSON object (NaN and
// infinities written as null). covariance: n*n values, or null.
std::string jsonReport(const nlfit_report_input& input, const double* covariance);

}  // namespace cli
}  // namespace nlfit

#endif  // NLFIT_CLI_JSON_REPORT_H
