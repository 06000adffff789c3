// The text report of a fit: what was fitted, how the fit ended, the
// parameters with their uncertainties, the goodness of fit, the correlations
// and one line for each thing the user should look at.
#include "nlfit/report.h"

#include "api/struct_prefix.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double kStrongCorrelation = 0.99;

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
  out += "\n\n";

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

  std::vector<std::string> warnings;
  if (!r.converged) {
    warnings.push_back("the fit did not converge; the values are those of the last accepted step");
  }
  for (std::size_t j = 0; j < n; ++j) {
    const unsigned flags = flagsOf(in, j);
    if (flags & NLFIT_PARAM_HELD) continue;
    const bool atStart = (flags & NLFIT_PARAM_AT_START) != 0 ||
                         (r.parameter_flags == nullptr && in.start != nullptr &&
                          in.start[j] == in.params[j]);
    if (flags & NLFIT_PARAM_AT_BOUND) {
      warnings.push_back(std::string(name(in, j)) + " is at its bound " +
                         format("%.10g", in.params[j]) +
                         ": no standard error; the others are computed as if it were held there");
      continue;
    }
    if (flags & NLFIT_PARAM_NO_EFFECT) {
      warnings.push_back(std::string(name(in, j)) +
                         " does not change the residuals; hold it with --fix " + name(in, j) +
                         "=VALUE");
    } else if (flags & NLFIT_PARAM_UNDETERMINED) {
      warnings.push_back(std::string(name(in, j)) +
                         " is undetermined: the data do not fix it apart from the others");
    } else if (atStart) {
      warnings.push_back(std::string(name(in, j)) + " did not move from its start value " +
                         format("%.10g", in.params[j]));
    }
  }
  if (r.correlation != nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        const double c = r.correlation[i * n + j];
        if (std::fabs(c) > kStrongCorrelation) {
          warnings.push_back(std::string(name(in, j)) + " and " + name(in, i) +
                             " are correlated at " + format("%.4f", c) +
                             ": the data hardly tell them apart");
        }
      }
    }
  }
  if (!warnings.empty()) {
    out += "\n";
    for (const std::string& w : warnings) out += "Warning: " + w + "\n";
  }
  return out;
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

void nlfit_report_input_init_size(nlfit_report_input* input, size_t size) {
  nlfit::initPrefix(input, size,
                    [](nlfit_report_input& in) { in.certified_rss = std::nan(""); });
}

size_t nlfit_report_format(const nlfit_report_input* input, char* buffer, size_t size) {
  // The library's copies of the caller's input and result.
  nlfit_report_input in;
  nlfit_result result;
  if (input == nullptr || !nlfit::readPrefix(input, &in) || in.result == nullptr ||
      !nlfit::readPrefix(in.result, &result) || in.params == nullptr) {
    return 0;
  }
  in.result = &result;
  try {
    const std::string text = buildReport(in);
    if (buffer != nullptr && size > 0) {
      const std::size_t copied = text.size() < size ? text.size() : size - 1;
      std::memcpy(buffer, text.data(), copied);
      buffer[copied] = '\0';
    }
    return text.size();
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
