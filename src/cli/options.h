// Strict parsing of the nlfit command's option values: a value is read as
// written or refused with a message, never coerced.
#ifndef NLFIT_CLI_OPTIONS_H
#define NLFIT_CLI_OPTIONS_H

#include <string>
#include <utility>
#include <vector>

namespace nlfit {
namespace cli {

// A finite decimal number ("1e-9", "-2.5"); false for nan, inf, hex and
// anything else.
bool parseFiniteNumber(const std::string& text, double* value);

// A decimal integer within [min, max]: digits with an optional leading
// minus; false for hex, exponents, fractions and values out of range.
bool parseInteger(const std::string& text, long long min, long long max, long long* value);

// name=value,name=value,... in the order given, for --start, --fix and any
// option of the same form. Blanks around names, values and commas are
// allowed. False with a message naming option on a malformed item, a value
// that is not a finite number, or a name given twice.
using Assignments = std::vector<std::pair<std::string, double>>;
bool parseAssignments(const std::string& text, const std::string& option, Assignments* out,
                      std::string* error);

// A formula without a leading "y =" ("y = a*x+b" is "a*x+b").
std::string withoutResponse(const std::string& formula);

}  // namespace cli
}  // namespace nlfit

#endif  // NLFIT_CLI_OPTIONS_H
