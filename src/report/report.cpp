// The text report of a fit: what was fitted, how the fit ended, the
// parameters with their uncertainties, the goodness of fit, the correlations
// and one line for each thing the user should look at.
#include "nlfit/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/api.h"
#include "api/struct_prefix.h"

namespace {

constexpr double kStrongCorrelation = 0.99;
// Chi-square p-values outside these bounds, and a runs test below the
// first, are warned of.
constexpr double kChiSquareLow = 1e-3;
constexpr double kChiSquareHigh = 0.999;
constexpr double kRunsLow = 1e-3;

std::string format(const char* pattern, double value) {
  if (std::isnan(value)) return "-";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, pattern, value);
  return buffer;
}

std::string integer(long long value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld", value);
  return buffer;
}

// Columns padded to their widest cell, two spaces apart; the first column
// left-aligned, the others right-aligned.
std::string table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> width;
  for (const auto& row : rows) {
    if (width.size() < row.size()) width.resize(row.size(), 0);
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (row[c].size() > width[c]) width[c] = row[c].size();
    }
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line = "  ";
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::string pad(width[c] - row[c].size(), ' ');
      if (c == 0) {
        line += row[c] + pad;
      } else {
        line += "  " + pad + row[c];
      }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

const char* name(const nlfit_report_input& in, std::size_t j) {
  const char* s = in.parameter_names != nullptr ? in.parameter_names[j] : nullptr;
  return s != nullptr ? s : "?";
}

unsigned flagsOf(const nlfit_report_input& in, std::size_t j) {
  const unsigned* flags = in.result->parameter_flags;
  return flags != nullptr ? flags[j] : 0u;
}

double entry(const double* array, std::size_t j) {
  return array != nullptr ? array[j] : std::nan("");
}

struct Warning {
  std::string code;
  std::string message;
};

// "a", "a and b", "a, b and c".
std::string listOf(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k > 0) out += (k + 1 == names.size()) ? " and " : ", ";
    out += names[k];
  }
  return out;
}

double runsPValue(std::size_t m, const double* x, const double* residuals) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < m; ++i) {
    if (residuals[i] != 0.0 && !std::isnan(residuals[i]) && !std::isnan(x[i])) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [x](std::size_t a, std::size_t b) { return x[a] < x[b]; });
  double positive = 0.0, negative = 0.0, runs = 0.0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const bool up = residuals[order[k]] > 0.0;
    (up ? positive : negative) += 1.0;
    if (k == 0 || up != (residuals[order[k - 1]] > 0.0)) runs += 1.0;
  }
  const double total = positive + negative;
  if (total < 10.0 || positive == 0.0 || negative == 0.0) return std::nan("");
  const double product = 2.0 * positive * negative;
  const double mean = product / total + 1.0;
  const double variance = product * (product - total) / (total * total * (total - 1.0));
  if (!(variance > 0.0)) return std::nan("");
  // Continuity-corrected normal approximation, lower tail.
  const double z = (runs + 0.5 - mean) / std::sqrt(variance);
  return nlfit::normalLowerTail(z);
}

// The warnings of a report in the order they are printed.
std::vector<Warning> collectWarnings(const nlfit_report_input& in) {
  const nlfit_result& r = *in.result;
  const std::size_t n = in.n;
  std::vector<Warning> warnings;
  bool undeterminedAny = false;
  for (std::size_t j = 0; j < n; ++j) {
    const unsigned flags = flagsOf(in, j);
    if ((flags & NLFIT_PARAM_UNDETERMINED) && !(flags & NLFIT_PARAM_HELD)) undeterminedAny = true;
  }
  if (!r.converged) {
    // The solver stopped as at a solution, yet the fit is not converged: its
    // parameters are undetermined, or (the nonlinearity check runs on
    // converged fits only) the check found a lower sum of squares near it.
    const bool solverDone = r.status >= NLFIT_CONVERGED_REDUCTION &&
                            r.status <= NLFIT_STOPPED_GRADIENT_AT_PRECISION &&
                            r.status != NLFIT_STOPPED_EVALUATIONS;
    const char* why =
        (solverDone && undeterminedAny)
            ? "the fit is not converged: the data do not fix all its parameters (see below)"
        : (solverDone && r.check_evaluations > 0)
            ? "the fit is not converged: a lower sum of squares lies near the result, which "
              "is not the optimum"
            : "the fit did not converge; the values are those of the last accepted step";
    warnings.push_back({"not_converged", why});
  }
  if (in.start_origin != nullptr) {
    std::vector<std::string> defaulted, moved;
    for (std::size_t j = 0; j < n; ++j) {
      if (in.start_origin[j] != NLFIT_START_DEFAULT) continue;
      defaulted.push_back(name(in, j));
      // A caller may have moved a start of 1 onto a bound.
      if (in.start != nullptr && in.start[j] != 1.0) {
        moved.push_back(std::string(name(in, j)) + " at " + format("%.10g", in.start[j]));
      }
    }
    if (!defaulted.empty()) {
      warnings.push_back({"start_default",
                          "no start value for " + listOf(defaulted) + "; started at 1" +
                              (moved.empty() ? "" : " (" + listOf(moved) + ", its bound)")});
    }
  }
  std::vector<std::string> undetermined;
  for (std::size_t j = 0; j < n; ++j) {
    const unsigned flags = flagsOf(in, j);
    if (flags & NLFIT_PARAM_HELD) continue;
    const bool atStart = (flags & NLFIT_PARAM_AT_START) != 0 ||
                         (r.parameter_flags == nullptr && in.start != nullptr &&
                          in.start[j] == in.params[j]);
    if (flags & NLFIT_PARAM_AT_BOUND) {
      warnings.push_back({"at_bound", std::string(name(in, j)) + " is at its bound " +
                                          format("%.10g", in.params[j]) +
                                          ": no standard error; the others are computed as if "
                                          "it were held there"});
      continue;
    }
    if (flags & NLFIT_PARAM_NO_EFFECT) {
      warnings.push_back({"no_effect", std::string(name(in, j)) +
                                           " does not change the residuals; hold it with --fix " +
                                           name(in, j) + "=VALUE"});
    } else if (flags & NLFIT_PARAM_UNDETERMINED) {
      undetermined.push_back(name(in, j));
    } else if (atStart) {
      warnings.push_back({"at_start", std::string(name(in, j)) + " did not move from its start value " +
                                          format("%.10g", in.params[j])});
    }
  }
  if (undetermined.size() == 1) {
    warnings.push_back({"undetermined", undetermined[0] +
                                            " is undetermined: the data do not fix it apart from "
                                            "the others (standard error withheld)"});
  } else if (undetermined.size() > 1) {
    warnings.push_back({"undetermined",
                        listOf(undetermined) +
                            " enter only together: the data fix a combination of them, not each "
                            "one (standard errors withheld; hold all but one with --fix)"});
  }
  std::vector<std::string> nonlinear, ratios;
  for (std::size_t j = 0; j < n; ++j) {
    if (!(flagsOf(in, j) & NLFIT_PARAM_NONLINEAR)) continue;
    nonlinear.push_back(name(in, j));
    const double linear = entry(r.linear_std_errors, j);
    ratios.push_back(format("%.1f", entry(r.std_errors, j) / linear));
  }
  if (!nonlinear.empty()) {
    const bool one = nonlinear.size() == 1;
    std::string message = listOf(nonlinear) + ": the fit is strongly nonlinear in " +
                          (one ? "it; its standard error is" : "them; their standard errors are") +
                          " taken from the profile of the sum of squares";
    if (r.linear_std_errors != nullptr) {
      message += std::string(one ? ", the linearised one was " : ", the linearised ones were ") +
                 listOf(ratios) + " times smaller";
    }
    warnings.push_back({"nonlinear", message});
  }
  if (r.correlation != nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        const double c = r.correlation[i * n + j];
        if (std::fabs(c) > kStrongCorrelation) {
          warnings.push_back({"correlated", std::string(name(in, j)) + " and " + name(in, i) +
                                                " are correlated at " + format("%.4f", c) +
                                                ": the data hardly tell them apart"});
        }
      }
    }
  }
  if (in.weighted && in.absolute_sigma && !std::isnan(r.chi2_p_value)) {
    if (r.chi2_p_value < kChiSquareLow) {
      warnings.push_back({"chi2_low", "chi-square " + format("%.6g", r.rss) + " for " +
                                          integer(r.dof) + " degrees of freedom (p-value " +
                                          format("%.3g", r.chi2_p_value) +
                                          "): sigma too small, or the model does not fit"});
    } else if (r.chi2_p_value > kChiSquareHigh) {
      warnings.push_back({"chi2_high", "chi-square " + format("%.6g", r.rss) + " for " +
                                           integer(r.dof) + " degrees of freedom (p-value " +
                                           format("%.6g", r.chi2_p_value) +
                                           "): sigma too large, the residuals are smaller than "
                                           "it says"});
    }
  }
  if (in.x != nullptr && in.residuals != nullptr) {
    const double p = runsPValue(in.points, in.x, in.residuals);
    if (p < kRunsLow) {
      warnings.push_back({"structured_residuals",
                          std::string("the residuals are systematic: their signs in the order of ") +
                              (in.x_is_fitted ? "the fitted value" : "x") + " form too "
                              "few runs (runs test p = " + format("%.2g", p) +
                              "); the model misses the shape of the data"});
    }
  }
  return warnings;
}

std::string buildReport(const nlfit_report_input& in) {
  const nlfit_result& r = *in.result;
  const std::size_t n = in.n;
  std::string out;

  if (in.model_name != nullptr || in.formula != nullptr) {
    out += "Model:    ";
    if (in.model_name != nullptr) out += in.model_name;
    if (in.model_name != nullptr && in.formula != nullptr) out += ": ";
    if (in.formula != nullptr) out += std::string("y = ") + in.formula;
    out += "\n";
  }
  out += "Data:     ";
  if (in.data_file != nullptr) out += std::string(in.data_file) + ", ";
  out += integer(static_cast<long long>(in.points)) + (in.points == 1 ? " point" : " points");
  if (in.skipped_points > 0) {
    out += " (" + integer(static_cast<long long>(in.skipped_points)) +
           (in.skipped_points == 1 ? " row" : " rows") + " with NaN or infinity skipped)";
  }
  out += in.weighted ? (in.absolute_sigma ? ", weighted by absolute sigma" : ", weighted by 1/sigma^2")
                     : ", unweighted";
  out += "\n";
  out += std::string("Outcome:  ") + nlfit_status_message(r.status) + "\n";
  const bool atPrecision = r.status >= NLFIT_STOPPED_REDUCTION_AT_PRECISION &&
                           r.status <= NLFIT_STOPPED_GRADIENT_AT_PRECISION;
  if (atPrecision && r.converged) {
    out += "          Counted as converged: a stationary point (full rank, negligible step).\n";
  } else if (!r.converged) {
    out += "          NOT converged.\n";
  }
  out += "          " + integer(r.iterations) + " iterations, " + integer(r.evaluations) +
         " evaluations";
  if (r.jacobian_evaluations > 0) out += ", " + integer(r.jacobian_evaluations) + " Jacobians";
  if (r.statistics_evaluations > 0) {
    out += " (+" + integer(r.statistics_evaluations) + " for the statistics)";
  }
  out += "\n";
  if (r.check_evaluations > 0) {
    out += "          Profile check: " + integer(r.check_evaluations) + " evaluations";
    if (r.check_jacobian_evaluations > 0) {
      out += ", " + integer(r.check_jacobian_evaluations) + " Jacobians";
    }
    out += "\n";
  }
  if (in.start_origin != nullptr) {
    std::vector<std::string> automatic;
    for (std::size_t j = 0; j < n; ++j) {
      if (in.start_origin[j] == NLFIT_START_AUTOMATIC) automatic.push_back(name(in, j));
    }
    if (!automatic.empty()) {
      out += "Start:    automatic (from the data) for " + listOf(automatic) + "\n";
    }
  }
  out += "\n";

  std::vector<std::vector<std::string>> rows;
  rows.push_back({"Parameter", "Value", "Std error", "Rel err %", "95% CI low", "95% CI high"});
  for (std::size_t j = 0; j < n; ++j) {
    const unsigned flags = flagsOf(in, j);
    const double value = in.params[j];
    const double se = entry(r.std_errors, j);
    std::vector<std::string> row = {name(in, j), format("%.10g", value)};
    if (flags & NLFIT_PARAM_HELD) {
      row.insert(row.end(), {"held", "", "", ""});
    } else if (flags & NLFIT_PARAM_UNDETERMINED) {
      row.insert(row.end(), {"undetermined", "", "", ""});
    } else if (flags & NLFIT_PARAM_AT_BOUND) {
      row.insert(row.end(), {"at bound", "", "", ""});
    } else {
      row.push_back(format("%#.4g", se));
      row.push_back(value != 0.0 ? format("%#.3g", 100.0 * std::fabs(se / value)) : "-");
      row.push_back(format("%.8g", entry(r.ci_low, j)));
      row.push_back(format("%.8g", entry(r.ci_high, j)));
    }
    rows.push_back(row);
  }
  out += table(rows) + "\n";

  const double rms = r.rms_residual;
  rows.clear();
  // A Poisson fit reports its deviance and Pearson's sum instead.
  const bool poisson = std::isfinite(r.deviance) && r.pearson_chi2 > 0.0;
  if (poisson) {
    rows.push_back({"Deviance", format("%.10g", r.deviance)});
    rows.push_back({"Degrees of freedom", integer(r.dof)});
    rows.push_back({"Deviance / dof", format("%.6g", r.reduced_chi2)});
    rows.push_back({"Pearson chi-square", format("%.10g", r.pearson_chi2)});
  } else {
  rows.push_back({in.weighted ? "Chi-square" : "RSS", format("%.10g", r.rss)});
  rows.push_back({"Degrees of freedom", integer(r.dof)});
  rows.push_back({in.weighted ? "Reduced chi-square" : "Reduced chi-square (RSS/dof)",
                  format("%.6g", r.reduced_chi2)});
  rows.push_back({in.weighted ? "RMS weighted residual" : "RMS residual", format("%.6g", rms)});
  rows.push_back({"R^2", format("%.10g", r.r_squared)});
  if (in.weighted && in.absolute_sigma) {
    rows.push_back({"Chi-square p-value", format("%.4g", r.chi2_p_value)});
  }
  }
  if (!std::isnan(r.aic)) {
    rows.push_back({"AIC", format("%.8g", r.aic)});
    rows.push_back({"AICc", format("%.8g", r.aicc)});
    rows.push_back({"BIC", format("%.8g", r.bic)});
  }
  // Left-align the values: a two-column table with the label padded.
  std::size_t labelWidth = 0;
  for (const auto& row : rows) labelWidth = row[0].size() > labelWidth ? row[0].size() : labelWidth;
  for (const auto& row : rows) {
    out += "  " + row[0] + std::string(labelWidth - row[0].size(), ' ') + "  " + row[1] + "\n";
  }

  if (r.correlation != nullptr && n > 1) {
    out += "\nCorrelation:\n";
    rows.clear();
    std::vector<std::string> head = {""};
    for (std::size_t j = 0; j < n; ++j) head.push_back(name(in, j));
    rows.push_back(head);
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<std::string> row = {name(in, i)};
      for (std::size_t j = 0; j <= i; ++j) row.push_back(format("%.4f", r.correlation[i * n + j]));
      rows.push_back(row);
    }
    out += table(rows);
  }

  if (in.certified != nullptr) {
    out += "\nCertified values (NIST StRD), digits of agreement:\n";
    rows.clear();
    rows.push_back({"Parameter", "Certified value", "Digits", "Certified std dev", "Digits"});
    for (std::size_t j = 0; j < n; ++j) {
      std::vector<std::string> row = {name(in, j), format("%.10g", in.certified[j]),
                                      format("%.1f", nlfit_report_digits(in.params[j], in.certified[j]))};
      if (in.certified_std_dev != nullptr) {
        row.push_back(format("%.10g", in.certified_std_dev[j]));
        row.push_back(format("%.1f", nlfit_report_digits(entry(r.std_errors, j), in.certified_std_dev[j])));
      }
      rows.push_back(row);
    }
    if (!std::isnan(in.certified_rss)) {
      rows.push_back({"RSS", format("%.10g", in.certified_rss),
                      format("%.1f", nlfit_report_digits(r.rss, in.certified_rss))});
    }
    out += table(rows);
  }

  const std::vector<Warning> warnings = collectWarnings(in);
  if (!warnings.empty()) {
    out += "\n";
    for (const Warning& w : warnings) out += "Warning: " + w.message + "\n";
  }
  return out;
}

// Copies the caller's input into *in and its result into *result, and
// points in->result at the copy; false when either is missing, too short
// or there are no parameters.
bool readInput(const nlfit_report_input* input, nlfit_report_input* in, nlfit_result* result) {
  if (input == nullptr || !nlfit::readPrefix(input, in) || in->result == nullptr ||
      !nlfit::readPrefix(in->result, result) || in->params == nullptr) {
    return false;
  }
  in->result = result;
  return true;
}

// text into buffer (size bytes), cut to fit and terminated when size > 0;
// the length of the whole text.
std::size_t copyText(const std::string& text, char* buffer, std::size_t size) {
  if (buffer != nullptr && size > 0) {
    const std::size_t copied = text.size() < size ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
  }
  return text.size();
}

}  // namespace

extern "C" {

double nlfit_report_digits(double value, double reference) {
  if (!std::isfinite(value)) return 0.0;
  if (value == reference) return 15.0;
  const double error = std::fabs(value - reference);
  const double digits =
      reference == 0.0 ? -std::log10(error) : -std::log10(error / std::fabs(reference));
  if (!(digits > 0.0)) return 0.0;
  return digits > 15.0 ? 15.0 : digits;
}

double nlfit_report_runs_p_value(size_t m, const double* x, const double* residuals) {
  if (x == nullptr || residuals == nullptr) return std::nan("");
  try {
    return runsPValue(m, x, residuals);
  } catch (...) {
    return std::nan("");
  }
}

size_t nlfit_report_warnings(const nlfit_report_input* input, char* buffer, size_t size) {
  // The library's copies of the caller's input and result.
  nlfit_report_input in;
  nlfit_result result;
  if (!readInput(input, &in, &result)) return 0;
  try {
    std::string text;
    for (const Warning& w : collectWarnings(in)) text += w.code + "\t" + w.message + "\n";
    return copyText(text, buffer, size);
  } catch (...) {
    return 0;
  }
}

void nlfit_report_input_init_size(nlfit_report_input* input, size_t size) {
  nlfit::initPrefix(input, size,
                    [](nlfit_report_input& in) { in.certified_rss = std::nan(""); });
}

size_t nlfit_report_format(const nlfit_report_input* input, char* buffer, size_t size) {
  // The library's copies of the caller's input and result.
  nlfit_report_input in;
  nlfit_result result;
  if (!readInput(input, &in, &result)) return 0;
  try {
    const std::string text = buildReport(in);
    return copyText(text, buffer, size);
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
