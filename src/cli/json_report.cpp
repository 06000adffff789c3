#include "json_report.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace nlfit {
namespace cli {

namespace {

using Json = nlohmann::ordered_json;

// nlohmann writes NaN and infinities as null; the explicit form keeps that
// visible here.
Json number(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

Json matrix(const double* values, std::size_t n) {
  if (values == nullptr) return Json(nullptr);
  Json rows = Json::array();
  for (std::size_t i = 0; i < n; ++i) {
    Json row = Json::array();
    for (std::size_t j = 0; j < n; ++j) row.push_back(number(values[i * n + j]));
    rows.push_back(row);
  }
  return rows;
}

double entry(const double* values, std::size_t j) {
  return values != nullptr ? values[j] : std::nan("");
}

// The report layer's warnings as [{code, message}, ...].
Json warningList(const nlfit_report_input& in) {
  Json list = Json::array();
  std::string text(nlfit_report_warnings(&in, nullptr, 0) + 1, '\0');
  text.resize(nlfit_report_warnings(&in, &text[0], text.size()));
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = text.find('\n', begin);
    const std::string line = text.substr(begin, end - begin);
    const std::size_t tab = line.find('\t');
    list.push_back({{"code", line.substr(0, tab)}, {"message", line.substr(tab + 1)}});
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  return list;
}

const char* originName(unsigned char origin) {
  switch (origin) {
    case NLFIT_START_AUTOMATIC:
      return "automatic";
    case NLFIT_START_DEFAULT:
      return "default";
    default:
      return "given";
  }
}

}  // namespace

std::string jsonReport(const nlfit_report_input& in, const double* covariance,
                       const GlobalSets* sets) {
  const nlfit_result& r = *in.result;
  const std::size_t n = in.n;
  Json j;
  j["status"] = nlfit_status_name(r.status);
  j["converged"] = r.converged != 0;
  j["message"] = nlfit_status_message(r.status);
  j["iterations"] = r.iterations;
  j["evaluations"] = r.evaluations;
  j["statistics_evaluations"] = r.statistics_evaluations;
  j["jacobian_evaluations"] = r.jacobian_evaluations;
  j["check_evaluations"] = r.check_evaluations;
  j["check_jacobian_evaluations"] = r.check_jacobian_evaluations;
  j["rss"] = number(r.rss);
  j["dof"] = r.dof;
  j["reduced_chi2"] = number(r.reduced_chi2);
  j["deviance"] = number(r.deviance);
  j["pearson_chi2"] = number(r.pearson_chi2);
  j["r_squared"] = number(r.r_squared);
  j["rms_residual"] = number(r.rms_residual);
  j["rank"] = r.rank;
  j["nonfinite_index"] = r.nonfinite_index >= 0 ? Json(r.nonfinite_index) : Json(nullptr);
  j["log_likelihood"] = number(r.log_likelihood);
  j["aic"] = number(r.aic);
  j["aicc"] = number(r.aicc);
  j["bic"] = number(r.bic);
  j["weighted"] = in.weighted != 0;
  j["absolute_sigma"] = in.absolute_sigma != 0;

  Json params = Json::array();
  for (std::size_t k = 0; k < n; ++k) {
    const unsigned flags = r.parameter_flags != nullptr ? r.parameter_flags[k] : 0u;
    Json p;
    p["name"] = in.parameter_names[k];
    p["value"] = number(in.params[k]);
    p["std_error"] = number(entry(r.std_errors, k));
    p["ci95_low"] = number(entry(r.ci_low, k));
    p["ci95_high"] = number(entry(r.ci_high, k));
    p["fixed"] = (flags & NLFIT_PARAM_HELD) != 0;
    p["start"] = in.start != nullptr ? number(in.start[k]) : Json(nullptr);
    p["start_origin"] =
        in.start_origin != nullptr ? Json(originName(in.start_origin[k])) : Json(nullptr);
    p["undetermined"] = (flags & NLFIT_PARAM_UNDETERMINED) != 0;
    p["no_effect"] = (flags & NLFIT_PARAM_NO_EFFECT) != 0;
    p["at_start"] = (flags & NLFIT_PARAM_AT_START) != 0;
    p["at_bound"] = (flags & NLFIT_PARAM_AT_BOUND) != 0;
    p["nonlinear"] = (flags & NLFIT_PARAM_NONLINEAR) != 0;
    p["linear_std_error"] = number(entry(r.linear_std_errors, k));
    if (in.certified != nullptr) {
      p["certified_value"] = number(in.certified[k]);
      p["value_digits"] = nlfit_report_digits(in.params[k], in.certified[k]);
      if (in.certified_std_dev != nullptr) {
        p["certified_std_dev"] = number(in.certified_std_dev[k]);
        p["std_error_digits"] = nlfit_report_digits(entry(r.std_errors, k), in.certified_std_dev[k]);
      }
    }
    params.push_back(p);
  }
  j["parameters"] = params;
  if (in.certified != nullptr && !std::isnan(in.certified_rss)) {
    j["certified_rss"] = number(in.certified_rss);
    j["rss_digits"] = nlfit_report_digits(r.rss, in.certified_rss);
  }
  j["covariance"] = matrix(covariance, n);
  j["correlation"] = matrix(r.correlation, n);
  j["model"] = {{"name", in.model_name != nullptr ? Json(in.model_name) : Json(nullptr)},
                {"formula", in.formula != nullptr ? Json(in.formula) : Json(nullptr)}};
  j["chi2_p_value"] = number(r.chi2_p_value);
  j["warnings"] = warningList(in);
  j["data"] = {{"file", in.data_file != nullptr ? Json(in.data_file) : Json(nullptr)},
               {"points", in.points},
               {"skipped_nonfinite", in.skipped_points}};
  if (sets != nullptr) {
    Json list = Json::array();
    for (std::size_t s = 0; s < sets->files.size(); ++s) {
      list.push_back({{"file", sets->files[s]}, {"points", sets->points[s]}});
    }
    j["sets"] = list;
    j["shared"] = sets->shared;
  }
  return j.dump(2);
}

}  // namespace cli
}  // namespace nlfit
