// nlfit: fit a curve given by a formula or a catalogue name to a data file,
// or a NIST StRD file with its own model, and report how good the fit is.
//
// Exit status: 0 converged, 3 ran but did not converge, 1 bad data, model or
// file (one line on stderr), 2 bad command line. Nothing goes to stdout with
// 1 or 2.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "json_report.h"
#include "options.h"
#include "data_file.h"
#include "nist_dataset.h"
#include "nlfit.h"
#include "nlfit/fit.h"
#include "nlfit/report.h"
#include "svg_plot.h"

namespace {

constexpr int kExitConverged = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotConverged = 3;

// Ends the program with one line on stderr.
struct Failure {
  int exitCode;
  std::string message;
};

[[noreturn]] void fail(int exitCode, const std::string& message) { throw Failure{exitCode, message}; }

struct Arguments {
  std::string data;                // the first data file
  std::vector<std::string> files;  // every data file: more than one is a global fit
  std::string shared;              // --shared: parameters common to every file
  std::string model;
  std::string start;
  std::string fix;
  std::string lower;
  std::string upper;
  std::string columns;
  std::string xColumns;  // --x, --y, --sigma
  std::string yColumn;
  std::string sigmaColumn;
  bool absoluteSigma = false;
  bool noProfileCheck = false;
  int nistStart = 0;  // 0: not given (start 1)
  bool json = false;
  std::string svg;
  std::string output;  // --output FILE.csv
  bool logX = false;
  bool logY = false;
  long long maxEvaluations = 0;
  double tolerance = std::numeric_limits<double>::quiet_NaN();
  std::string derivatives = "exact";
  std::string estimator = "least-squares";
  double lossScale = 1.0;
  bool skipNonfinite = false;
  bool listModels = false;
  bool decimalComma = false;
  long long skipRows = 0;
  std::string missing;  // --na
};

struct ModelDeleter {
  void operator()(nlfit_model* m) const { nlfit_model_free(m); }
};
using ModelHandle = std::unique_ptr<nlfit_model, ModelDeleter>;

// name=value,name=value,... in the order given; a usage error otherwise.
nlfit::cli::Assignments parseAssignments(const std::string& text, const char* option) {
  nlfit::cli::Assignments out;
  std::string error;
  if (!nlfit::cli::parseAssignments(text, option, &out, &error)) fail(kExitUsage, error);
  return out;
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isIdentifier(const std::string& s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  for (char c : s) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  return true;
}

void listModels() {
  const std::size_t count = nlfit_model_builtin_count();
  for (std::size_t i = 0; i < count; ++i) {
    const char* name = nlfit_model_builtin_name(i);
    ModelHandle model(nlfit_model_builtin(name));
    if (!model) continue;
    std::string params;
    for (std::size_t j = 0; j < nlfit_model_parameter_count(model.get()); ++j) {
      params += (j ? "," : "") + std::string(nlfit_model_parameter_name(model.get(), j));
    }
    std::printf("%-12s y = %s\n%-12s (%s) %s\n", name, nlfit_model_formula_text(model.get()), "",
                params.c_str(), nlfit_model_description(model.get()));
  }
}

// The progress line on stderr, once the fit has run for a second and only
// when stderr is a terminal.
struct Progress {
  std::chrono::steady_clock::time_point begin = std::chrono::steady_clock::now();
  bool shown = false;
};

int showProgress(int64_t iteration, double residualNorm, const double*, size_t, void* user) {
  Progress& p = *static_cast<Progress*>(user);
  const auto elapsed = std::chrono::steady_clock::now() - p.begin;
  if (elapsed >= std::chrono::seconds(1)) {
    std::fprintf(stderr, "\rnlfit: iteration %lld, residual norm %.6e ",
                 static_cast<long long>(iteration), residualNorm);
    std::fflush(stderr);
    p.shown = true;
  }
  return 0;
}

// Everything the fit needs and everything its report shows.
struct Problem {
  std::string file;
  bool nist = false;
  nist::Dataset dataset;
  nlfit::data::Observations observations;
  ModelHandle model;
  std::vector<std::string> names;
  std::vector<double> start;
  std::vector<unsigned char> held;
  std::vector<unsigned char> origin;  // NLFIT_START_* of each parameter
  std::vector<double> lower, upper;   // empty: no bounds given
};

// A NIST StRD file is read whole (it is small); a delimited file line by
// line, keeping only the columns used.
void loadNist(const Arguments& args, nlfit::data::TextInput& input, Problem* problem) {
  if (!args.columns.empty() || !args.xColumns.empty()) {
    fail(kExitUsage, std::string(args.columns.empty() ? "--x" : "--columns") +
                         " does not apply to a NIST StRD file");
  }
  std::string text;
  std::string error;
  if (!input.readRest(&text, &error)) fail(kExitBadInput, error);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (!nist::parseDataset(lines, input.name(), &problem->dataset, &error)) fail(kExitBadInput, error);
  problem->nist = true;
  problem->observations.x = problem->dataset.x;
  problem->observations.y = problem->dataset.y;
}

void loadData(const Arguments& args, Problem* problem) {
  std::string error;
  nlfit::data::TextInput input;
  if (!input.open(args.data, &error)) fail(kExitBadInput, error);
  problem->file = input.name();
  std::string head;
  if (!input.peek(4096 + 16, &head, &error)) fail(kExitBadInput, error);
  if (nist::looksLikeDataset(head)) {
    loadNist(args, input, problem);
    return;
  }
  if (args.nistStart != 0) fail(kExitUsage, "--nist-start applies to NIST StRD files only");
  nlfit::data::ColumnChoice choice;
  if (!args.columns.empty() && !nlfit::data::parseColumnChoice(args.columns, &choice, &error)) {
    fail(kExitUsage, error);
  }
  if (!args.xColumns.empty() &&
      !nlfit::data::makeColumnChoice(args.xColumns, args.yColumn, args.sigmaColumn, &choice,
                                     &error)) {
    fail(kExitUsage, error);
  }
  nlfit::data::ReadOptions options;
  options.columns = args.columns.empty() && args.xColumns.empty() ? nullptr : &choice;
  options.skipNonfinite = args.skipNonfinite;
  options.decimalComma = args.decimalComma;
  options.skipRows = static_cast<std::size_t>(args.skipRows);
  options.missing = args.missing;
  if (!nlfit::data::readObservations(input, options, &problem->observations, &error)) {
    fail(kExitBadInput, error);
  }
}

void chooseModel(const Arguments& args, Problem* problem) {
  const std::string formula = nlfit::cli::withoutResponse(args.model);
  if (formula.empty()) {
    if (!problem->nist) {
      fail(kExitUsage, "a data file needs --model FORMULA or NAME (see --list-models)");
    }
    problem->model.reset(nlfit_model_builtin(problem->dataset.name.c_str()));
    if (!problem->model) {
      fail(kExitBadInput, args.data + ": no catalogue model for dataset " + problem->dataset.name);
    }
  } else {
    // A bare name is a catalogue name: a typo must not become a formula
    // with one parameter (a constant is written c + 0*x).
    problem->model.reset(nlfit_model_builtin(formula.c_str()));
    if (!problem->model && isIdentifier(formula)) {
      fail(kExitBadInput, "unknown model '" + formula +
                              "': not in the catalogue (see --list-models)");
    }
    const nlfit::data::Observations& obs = problem->observations;
    if (!problem->model && obs.predictors > 1) {
      // Several predictors go by their header names when those are distinct
      // identifiers, else by x1 .. xd.
      std::vector<std::string> names = obs.xNames;
      bool byHeader = true;
      for (std::size_t k = 0; k < names.size(); ++k) {
        byHeader = byHeader && isIdentifier(names[k]) && names[k] != "pi";
        for (std::size_t l = 0; l < k; ++l) byHeader = byHeader && names[l] != names[k];
      }
      if (!byHeader) {
        for (std::size_t k = 0; k < names.size(); ++k) names[k] = "x" + std::to_string(k + 1);
      }
      std::vector<const char*> pointers;
      for (const std::string& name : names) pointers.push_back(name.c_str());
      char message[512] = "";
      problem->model.reset(nlfit_model_formula_predictors(formula.c_str(), pointers.data(),
                                                          pointers.size(), nullptr, 0, message,
                                                          sizeof message));
      if (!problem->model) fail(kExitBadInput, "formula '" + formula + "': " + message);
    }
    if (!problem->model) {
      char message[512] = "";
      problem->model.reset(nlfit_model_formula(formula.c_str(), nullptr, 0, message, sizeof message));
      if (!problem->model) fail(kExitBadInput, "formula '" + formula + "': " + message);
    }
    const std::size_t d = nlfit_model_predictor_count(problem->model.get());
    if (d != obs.predictors) {
      fail(kExitUsage, "model " + formula + " takes " + std::to_string(d) +
                           (d == 1 ? " predictor" : " predictors") + ", the data give " +
                           std::to_string(obs.predictors) + " (--x lists them)");
    }
  }
  const std::size_t n = nlfit_model_parameter_count(problem->model.get());
  for (std::size_t j = 0; j < n; ++j) {
    problem->names.push_back(nlfit_model_parameter_name(problem->model.get(), j));
  }
}

std::string number(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

std::size_t parameterIndex(const Problem& problem, const std::string& name, const char* option) {
  for (std::size_t j = 0; j < problem.names.size(); ++j) {
    if (problem.names[j] == name) return j;
  }
  std::string list;
  for (const std::string& p : problem.names) list += (list.empty() ? "" : ", ") + p;
  fail(kExitUsage, std::string(option) + ": the model has no parameter '" + name +
                       "' (its parameters: " + list + ")");
}

// --lower and --upper. A start the user gave must lie within its bounds; a
// start the user did not give (from the data, or 1) moves to the nearest
// bound.
void chooseBounds(const Arguments& args, Problem* problem, const std::vector<bool>& given) {
  const auto lowers = parseAssignments(args.lower, "--lower");
  const auto uppers = parseAssignments(args.upper, "--upper");
  if (lowers.empty() && uppers.empty()) return;
  const std::size_t n = problem->names.size();
  problem->lower.assign(n, -std::numeric_limits<double>::infinity());
  problem->upper.assign(n, std::numeric_limits<double>::infinity());
  for (const auto& b : lowers) problem->lower[parameterIndex(*problem, b.first, "--lower")] = b.second;
  for (const auto& b : uppers) problem->upper[parameterIndex(*problem, b.first, "--upper")] = b.second;
  for (std::size_t j = 0; j < n; ++j) {
    const std::string& name = problem->names[j];
    const double lo = problem->lower[j];
    const double hi = problem->upper[j];
    if (lo > hi) {
      fail(kExitUsage, "the lower bound of " + name + " (" + number(lo) +
                           ") is above its upper bound (" + number(hi) + ")");
    }
    double& start = problem->start[j];
    if (start >= lo && start <= hi) continue;
    if (given[j]) {
      fail(kExitBadInput, "the start of " + name + " (" + number(start) + ") lies outside its bounds [" +
                              number(lo) + ", " + number(hi) + "]");
    }
    start = start < lo ? lo : hi;  // the report shows the start it took
  }
}

void chooseStart(const Arguments& args, Problem* problem) {
  const std::size_t n = problem->names.size();
  std::vector<bool> given(n, false);
  problem->start.assign(n, 1.0);
  problem->held.assign(n, 0);
  const bool nistModel = problem->nist && args.model.empty();
  if (nistModel) {
    const std::vector<double>& s =
        args.nistStart == 2 ? problem->dataset.start2 : problem->dataset.start1;
    if (s.size() != n) {
      fail(kExitBadInput, args.data + ": " + std::to_string(s.size()) + " parameters, model " +
                              problem->dataset.name + " has " + std::to_string(n));
    }
    problem->start = s;
    given.assign(n, true);
  } else if (args.nistStart != 0) {
    fail(kExitUsage, "--nist-start applies to the NIST file's own model, not to --model");
  }
  auto indexOf = [&](const std::string& name, const char* option) {
    for (std::size_t j = 0; j < n; ++j) {
      if (problem->names[j] == name) return j;
    }
    std::string list;
    for (const std::string& p : problem->names) list += (list.empty() ? "" : ", ") + p;
    fail(kExitUsage, std::string(option) + ": the model has no parameter '" + name +
                         "' (its parameters: " + list + ")");
  };
  const auto starts = parseAssignments(args.start, "--start");
  const auto fixes = parseAssignments(args.fix, "--fix");
  for (const auto& s : starts) {
    const std::size_t j = indexOf(s.first, "--start");
    problem->start[j] = s.second;
    given[j] = true;
  }
  for (const auto& f : fixes) {
    const std::size_t j = indexOf(f.first, "--fix");
    for (const auto& s : starts) {
      if (s.first == f.first) fail(kExitUsage, f.first + " is given by both --start and --fix");
    }
    problem->start[j] = f.second;
    problem->held[j] = 1;
    given[j] = true;
  }
  // The others from the data by the shape's own method, or 1 (a formula, a
  // NIST model on a data file): the report says which.
  std::vector<unsigned char> givenFlags(given.begin(), given.end());
  problem->origin.assign(n, NLFIT_START_GIVEN);
  const nlfit::data::Observations& obs = problem->observations;
  const int status = nlfit_model_auto_start(
      problem->model.get(), n, problem->start.data(), givenFlags.data(), obs.y.size(),
      obs.x.data(), obs.y.data(), obs.sigma.empty() ? nullptr : obs.sigma.data(),
      problem->origin.data());
  if (status != 0) fail(kExitBadInput, std::string("starting values: ") + nlfit_status_message(status));
  // A start not given that lies outside its bounds moves onto the bound.
  chooseBounds(args, problem, given);
}

// A result with room for every statistic of a fit of n parameters.
struct FitResult {
  std::vector<double> covariance, correlation, stdErrors, ciLow, ciHigh, linearStdErrors;
  std::vector<unsigned> flags;
  nlfit_result result;
  explicit FitResult(std::size_t n)
      : covariance(n * n), correlation(n * n), stdErrors(n), ciLow(n), ciHigh(n),
        linearStdErrors(n), flags(n) {
    nlfit_result_init(&result);
    result.linear_std_errors = linearStdErrors.data();
    result.covariance = covariance.data();
    result.correlation = correlation.data();
    result.std_errors = stdErrors.data();
    result.ci_low = ciLow.data();
    result.ci_high = ciHigh.data();
    result.parameter_flags = flags.data();
  }
  FitResult(const FitResult&) = delete;
  FitResult& operator=(const FitResult&) = delete;
};

// What every fit of the command shares: --tolerance, when given, for both
// the reduction and the step; the profile check unless turned off; the
// Gauss-Newton step at the result.
void applyCommandOptions(const Arguments& args, nlfit_options* options) {
  if (!std::isnan(args.tolerance)) {
    options->reduction_tolerance = args.tolerance;
    options->step_tolerance = args.tolerance;
  }
  options->check_nonlinearity = args.noProfileCheck ? 0 : 1;
  options->gauss_newton_step = 1;
}

// The report layer's warnings, one message each.
std::vector<std::string> warningMessages(const nlfit_report_input& input) {
  std::string text(nlfit_report_warnings(&input, nullptr, 0) + 1, '\0');
  text.resize(nlfit_report_warnings(&input, &text[0], text.size()));
  std::vector<std::string> messages;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
  }
  return messages;
}

// The fitted values at x and the half-widths of their 95 % confidence and
// prediction bands (sigma: the standard deviations at x, or empty).
struct Bands {
  std::vector<double> value, confidence, prediction;
};

constexpr double kBandLevel = 0.95;

Bands bandsAt(const Problem& problem, const std::vector<double>& params,
              const nlfit_result& result, bool absoluteSigma, const std::vector<double>& x,
              const std::vector<double>& sigma) {
  Bands b;
  b.value.resize(x.size());
  b.confidence.resize(x.size());
  b.prediction.resize(x.size());
  const double variance = absoluteSigma ? 1.0 : result.reduced_chi2;
  // A parameter on its bound counts as held: the bands are those of the
  // others (its covariance rows are NaN).
  const std::size_t n = params.size();
  std::vector<double> covariance(result.covariance, result.covariance + n * n);
  for (std::size_t j = 0; j < n; ++j) {
    if ((result.parameter_flags[j] & NLFIT_PARAM_AT_BOUND) == 0) continue;
    for (std::size_t i = 0; i < n; ++i) covariance[i * n + j] = covariance[j * n + i] = 0.0;
  }
  const int code = nlfit_predict_model(
      problem.model.get(), 1, n, params.data(), covariance.data(),
      std::isfinite(variance) ? variance : 0.0, result.dof, kBandLevel, x.size(), x.data(),
      sigma.empty() ? nullptr : sigma.data(), b.value.data(), b.confidence.data(),
      b.prediction.data());
  if (code != 0) fail(kExitBadInput, std::string("cannot evaluate the model: ") + nlfit_status_message(code));
  if (!std::isfinite(variance)) {
    for (double& p : b.prediction) p = std::nan("");
  }
  return b;
}

std::string csvNumber(double v) {
  if (std::isnan(v)) return "nan";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

// --output: one row per observation with its fit, residuals and bands.
void writeOutput(const Arguments& args, const Problem& problem, const std::vector<double>& params,
                 const nlfit_result& result) {
  const nlfit::data::Observations& obs = problem.observations;
  const Bands b = bandsAt(problem, params, result, args.absoluteSigma, obs.x, obs.sigma);
  std::string text =
      "x,y,sigma,fitted,residual,weighted_residual,confidence_low,confidence_high,"
      "prediction_low,prediction_high\n";
  for (std::size_t i = 0; i < obs.x.size(); ++i) {
    // Model minus observation, as the fit itself and the picture define it.
    const double residual = b.value[i] - obs.y[i];
    const double sigma = obs.sigma.empty() ? 1.0 : obs.sigma[i];
    const double row[] = {obs.x[i], obs.y[i], sigma, b.value[i], residual, residual / sigma,
                          b.value[i] - b.confidence[i], b.value[i] + b.confidence[i],
                          b.value[i] - b.prediction[i], b.value[i] + b.prediction[i]};
    for (std::size_t c = 0; c < sizeof row / sizeof row[0]; ++c) {
      if (c > 0) text += ',';
      if (c != 2 || !obs.sigma.empty()) text += csvNumber(row[c]);
    }
    text += '\n';
  }
  std::string error;
  if (!svgplot::replaceFile(args.output, text, &error)) fail(kExitBadInput, error);
}

void writePicture(const Arguments& args, const Problem& problem, const std::vector<double>& params,
                  const nlfit_report_input& input) {
  const nlfit_result& result = *input.result;
  const double rss = result.rss;
  const nlfit::data::Observations& obs = problem.observations;
  svgplot::FitPlot plot;
  plot.title = std::string(nlfit_model_name(problem.model.get())) + ": y = " +
               nlfit_model_formula_text(problem.model.get());
  std::string subtitle;
  char value[96];
  for (std::size_t j = 0; j < params.size(); ++j) {
    std::snprintf(value, sizeof value, "%s = %.6g,  ", problem.names[j].c_str(), params[j]);
    subtitle += value;
  }
  std::snprintf(value, sizeof value, "%s = %.6g  (%s)", obs.sigma.empty() ? "rss" : "chi2", rss,
                baseName(problem.file).c_str());
  plot.subtitle = subtitle + value;
  plot.xTitle = obs.xName;
  plot.yTitle = obs.yName;
  plot.errors = obs.sigma;
  if (obs.predictors > 1) {
    // No curve over one x: observed against fitted values about the line
    // where they agree, and the residuals against the fitted value.
    std::vector<double> fitted(obs.y.size());
    if (nlfit_model_evaluate_multi(problem.model.get(), params.data(), obs.x.data(), obs.y.size(),
                                   obs.predictors, fitted.data()) != 0) {
      fail(kExitBadInput, "cannot evaluate the model for the picture");
    }
    plot.title = std::string(nlfit_model_name(problem.model.get())) + ", " +
                 std::to_string(obs.predictors) +
                 " predictors: observed against fitted value, residuals against fitted value";
    plot.curveLabel = "observed = fitted";
    plot.xTitle = "fitted value";
    plot.yTitle = "observed " + obs.yName;
    plot.x = fitted;
    plot.y = obs.y;
    plot.curveX = svgplot::sampleGridOver(fitted, 2);
    plot.curveY = plot.curveX;
    for (std::size_t i = 0; i < fitted.size(); ++i) plot.residuals.push_back(fitted[i] - obs.y[i]);
    plot.converged = input.result->converged != 0;
    plot.warnings = warningMessages(input);
    std::string error;
    if (!svgplot::writeFitPlot(args.svg, plot, &error)) fail(kExitBadInput, error);
    return;
  }
  plot.x = obs.x;
  plot.y = obs.y;
  plot.errors = obs.sigma;
  plot.logX = args.logX;
  plot.logY = args.logY;
  plot.curveX = plot.logX ? svgplot::logGridOver(obs.x, 600) : svgplot::sampleGridOver(obs.x, 600);
  const Bands curve = bandsAt(problem, params, result, args.absoluteSigma, plot.curveX, {});
  plot.curveY = curve.value;
  for (std::size_t i = 0; i < curve.value.size(); ++i) {
    plot.bandLow.push_back(curve.value[i] - curve.confidence[i]);
    plot.bandHigh.push_back(curve.value[i] + curve.confidence[i]);
  }
  std::vector<double> fitted(obs.x.size());
  if (nlfit_model_evaluate(problem.model.get(), params.data(), obs.x.data(), obs.x.size(),
                           fitted.data()) != 0) {
    fail(kExitBadInput, "cannot evaluate the model for the picture");
  }
  // A weighted fit shows its residuals normalised by sigma.
  for (std::size_t i = 0; i < fitted.size(); ++i) {
    const double r = fitted[i] - obs.y[i];
    plot.residuals.push_back(obs.sigma.empty() ? r : r / obs.sigma[i]);
  }
  if (!obs.sigma.empty()) plot.residualTitle = "(model \xE2\x88\x92 y) / \xCF\x83";
  plot.converged = input.result->converged != 0;
  plot.warnings = warningMessages(input);
  std::string error;
  if (!svgplot::writeFitPlot(args.svg, plot, &error)) fail(kExitBadInput, error);
}

// Where the model stopped being finite, by the data file's line.
std::string nonfiniteMessage(const Problem& problem, const nlfit_result& result) {
  const int64_t i = result.nonfinite_index;
  const nlfit::data::Observations& obs = problem.observations;
  if (i < 0 || static_cast<std::size_t>(i) >= obs.y.size()) {
    return "the sum of squares of the residuals is not finite (is sigma too small?)";
  }
  const std::size_t k = static_cast<std::size_t>(i);
  const std::string where = k < obs.lineNumbers.size()
                                ? "line " + std::to_string(obs.lineNumbers[k])
                                : "observation " + std::to_string(k + 1);
  std::string x;
  for (std::size_t l = 0; l < obs.predictors; ++l) {
    char value[64];
    std::snprintf(value, sizeof value, "%.10g", obs.x[k * obs.predictors + l]);
    x += (l == 0 ? "" : ", ") + obs.xNames[l] + " = " + value;
  }
  return "the model is not finite at " + where + " of " + problem.file + " (" + x + ")";
}

// The report, text or JSON, on stdout; preface goes before the text report.
void emitReport(const Arguments& args, const nlfit_report_input& input, const std::string& preface,
                const nlfit::cli::GlobalSets* sets = nullptr) {
  std::string out;
  if (args.json) {
    out = nlfit::cli::jsonReport(input, input.result->covariance, sets) + "\n";
  } else {
    out.resize(nlfit_report_format(&input, nullptr, 0) + 1);
    out.resize(nlfit_report_format(&input, &out[0], out.size()));
    out = preface + out;
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0) fail(kExitBadInput, "cannot write the report");
}

std::vector<std::string> splitNames(const std::string& text) {
  std::vector<std::string> names;
  std::string current;
  for (char c : text + ",") {
    if (c == ',') {
      if (!current.empty()) names.push_back(current);
      current.clear();
    } else if (c != ' ' && c != '\t') {
      current += c;
    }
  }
  return names;
}

// Several data files, one model: the parameters named by --shared are one
// global parameter, every other one is each file's own (a[1], a[2], ...).
// --start, --fix, --lower and --upper apply to every file's copy.
int runGlobal(const Arguments& args) {
  if (!args.svg.empty() || !args.output.empty()) {
    fail(kExitUsage, "--svg and --output take a single data file");
  }
  const std::size_t count = args.files.size();
  std::vector<Problem> problems(count);
  for (std::size_t s = 0; s < count; ++s) {
    Arguments one = args;
    one.data = args.files[s];
    loadData(one, &problems[s]);
    if (problems[s].nist) fail(kExitUsage, args.files[s] + ": a global fit takes data files, not NIST files");
    if (problems[s].observations.sigma.empty() != problems[0].observations.sigma.empty()) {
      fail(kExitBadInput, "every data file of a global fit needs a sigma column, or none");
    }
  }
  if (args.absoluteSigma && problems[0].observations.sigma.empty()) {
    fail(kExitUsage, "--absolute-sigma needs a sigma column (--columns x,y,sigma)");
  }
  Problem& first = problems[0];
  chooseModel(args, &first);
  chooseStart(args, &first);
  const std::size_t local = first.names.size();
  std::vector<bool> isShared(local, false);
  for (const std::string& name : splitNames(args.shared)) {
    isShared[parameterIndex(first, name, "--shared")] = true;
  }
  // Global parameters in the model's order: a shared one once, any other
  // once per file.
  std::vector<std::string> names;
  std::vector<double> start, lower, upper;
  std::vector<unsigned char> held, origin;
  std::vector<std::vector<std::size_t>> maps(count, std::vector<std::size_t>(local));
  for (std::size_t j = 0; j < local; ++j) {
    const std::size_t copies = isShared[j] ? 1 : count;
    for (std::size_t c = 0; c < copies; ++c) {
      for (std::size_t s = 0; s < count; ++s) {
        if (isShared[j] || s == c) maps[s][j] = names.size();
      }
      names.push_back(isShared[j] ? first.names[j]
                                  : first.names[j] + "[" + std::to_string(c + 1) + "]");
      start.push_back(first.start[j]);
      held.push_back(first.held[j]);
      origin.push_back(first.origin[j]);
      if (!first.lower.empty()) {
        lower.push_back(first.lower[j]);
        upper.push_back(first.upper[j]);
      }
    }
  }
  const std::size_t n = names.size();
  std::vector<nlfit_data_set> dataSets(count);
  std::size_t points = 0, skipped = 0;
  std::string files, preface;
  for (std::size_t s = 0; s < count; ++s) {
    const nlfit::data::Observations& obs = problems[s].observations;
    nlfit_data_set& set = dataSets[s];
    nlfit_data_set_init(&set);
    set.model = first.model.get();
    set.n = local;
    set.map = maps[s].data();
    set.m = obs.x.size();
    set.x = obs.x.data();
    set.y = obs.y.data();
    set.sigma = obs.sigma.empty() ? nullptr : obs.sigma.data();
    set.predictors = 1;
    points += obs.x.size();
    skipped += obs.skippedNonfinite;
    files += (s ? ", " : "") + problems[s].file;
    preface += "  [" + std::to_string(s + 1) + "] " + problems[s].file + " (" +
               std::to_string(obs.x.size()) + " points)\n";
  }
  std::string sharedList, ownList;
  for (std::size_t j = 0; j < local; ++j) {
    (isShared[j] ? sharedList : ownList) +=
        ((isShared[j] ? sharedList : ownList).empty() ? "" : ", ") + first.names[j];
  }
  preface = "Global fit of " + std::to_string(count) + " data sets; shared: " +
            (sharedList.empty() ? "none" : sharedList) + "; per set ([s] below): " +
            (ownList.empty() ? "none" : ownList) + "\n" + preface + "\n";

  nlfit_options options;
  nlfit_options_init(&options);
  options.compute_statistics = 1;
  options.held = held.data();
  if (!lower.empty()) {
    options.lower = lower.data();
    options.upper = upper.data();
  }
  options.absolute_sigma = args.absoluteSigma ? 1 : 0;
  options.max_evaluations = args.maxEvaluations;
  applyCommandOptions(args, &options);
  std::vector<double> params = start;
  FitResult fit(n);
  nlfit_result& result = fit.result;
  const int status = nlfit_fit_global(dataSets.data(), count, n, params.data(), &options, &result);
  if (status < 0) fail(kExitBadInput, std::string("fit refused: ") + nlfit_status_message(status));
  std::vector<const char*> cnames;
  for (const std::string& name : names) cnames.push_back(name.c_str());
  nlfit_report_input input{};
  input.model_name = nlfit_model_name(first.model.get());
  input.formula = nlfit_model_formula_text(first.model.get());
  input.data_file = files.c_str();
  input.points = points;
  input.skipped_points = skipped;
  input.weighted = first.observations.sigma.empty() ? 0 : 1;
  input.absolute_sigma = args.absoluteSigma ? 1 : 0;
  input.n = n;
  input.parameter_names = cnames.data();
  input.params = params.data();
  input.start = start.data();
  input.start_origin = origin.data();
  input.result = &result;
  input.certified_rss = std::nan("");
  nlfit::cli::GlobalSets sets;
  for (std::size_t s = 0; s < count; ++s) {
    sets.files.push_back(problems[s].file);
    sets.points.push_back(problems[s].observations.x.size());
  }
  for (std::size_t j = 0; j < local; ++j) {
    if (isShared[j]) sets.shared.push_back(first.names[j]);
  }
  emitReport(args, input, preface, &sets);
  if (status == NLFIT_STOPPED_NONFINITE) {
    std::fprintf(stderr, "nlfit: the model is not finite at observation %lld of the data sets in order\n",
                 static_cast<long long>(result.nonfinite_index + 1));
  }
  return result.converged ? kExitConverged : kExitNotConverged;
}

int run(const Arguments& args) {
  if ((args.logX || args.logY) && args.svg.empty()) fail(kExitUsage, "--log-x and --log-y apply to --svg");
  if (args.files.size() > 1) return runGlobal(args);
  if (!args.shared.empty()) fail(kExitUsage, "--shared needs several data files");
  if (args.listModels) {
    listModels();
    return kExitConverged;
  }
  if (args.data.empty()) fail(kExitUsage, "no data file given (try --help)");
  if (args.nistStart != 0 && args.nistStart != 1 && args.nistStart != 2) {
    fail(kExitUsage, "--nist-start takes 1 or 2");
  }
  if (!std::isnan(args.tolerance) && !(args.tolerance >= 0.0 && std::isfinite(args.tolerance))) {
    fail(kExitUsage, "--tolerance must be a finite number >= 0");
  }
  if (args.maxEvaluations < 0) fail(kExitUsage, "--max-evaluations must be >= 0 (0: automatic)");

  if (!args.columns.empty() && !args.xColumns.empty()) {
    fail(kExitUsage, "--columns and --x both choose columns: give one");
  }
  if (args.xColumns.empty() && (!args.yColumn.empty() || !args.sigmaColumn.empty())) {
    fail(kExitUsage, "--y and --sigma go with --x");
  }

  Problem problem;
  loadData(args, &problem);
  if (args.absoluteSigma && problem.observations.sigma.empty()) {
    fail(kExitUsage, "--absolute-sigma needs a sigma column (--columns x,y,sigma)");
  }
  if (!(args.lossScale > 0.0)) fail(kExitUsage, "--loss-scale must be > 0");
  if (args.estimator == "poisson" && !problem.observations.sigma.empty()) {
    fail(kExitUsage, "--estimator poisson takes no sigma column: counts bring their own variance");
  }
  chooseModel(args, &problem);
  chooseStart(args, &problem);

  const nlfit::data::Observations& obs = problem.observations;
  const std::size_t n = problem.names.size();
  const std::size_t m = obs.y.size();
  std::size_t free = 0;
  for (unsigned char h : problem.held) free += h ? 0 : 1;
  if (m < free || m == 0) {
    fail(kExitBadInput, args.data + ": " + std::to_string(m) + (m == 1 ? " point" : " points") +
                            " for " + std::to_string(free) + " free parameters");
  }

  nlfit_options options;
  nlfit_options_init(&options);
  options.compute_statistics = 1;
  options.held = problem.held.data();
  if (!problem.lower.empty()) {
    options.lower = problem.lower.data();
    options.upper = problem.upper.data();
  }
  if (!obs.sigma.empty()) options.sigma = obs.sigma.data();
  options.absolute_sigma = args.absoluteSigma ? 1 : 0;
  options.max_evaluations = args.maxEvaluations;
  options.derivatives =
      args.derivatives == "numeric" ? NLFIT_DERIVATIVES_NUMERIC : NLFIT_DERIVATIVES_EXACT;
  const char* const estimators[] = {"least-squares", "poisson", "soft_l1", "huber", "cauchy"};
  for (int e = 0; e < 5; ++e) {
    if (args.estimator == estimators[e]) options.estimator = e;  // NLFIT_ESTIMATOR_ values
  }
  options.loss_scale = args.lossScale;
  applyCommandOptions(args, &options);
  Progress progress;
  if (isatty(STDERR_FILENO)) {
    options.progress = showProgress;
    options.progress_user = &progress;
  }

  std::vector<double> params = problem.start;
  FitResult fit(n);
  nlfit_result& result = fit.result;
  const int status = nlfit_fit_model_multi(problem.model.get(), n, params.data(), m,
                                           obs.predictors, obs.x.data(),
                                           obs.y.data(), &options, &result);
  if (progress.shown) std::fprintf(stderr, "\n");
  if (status < 0) {
    fail(kExitBadInput, std::string("fit refused: ") + nlfit_status_message(status));
  }


  // Residuals at the result, for the runs test of the report. With several
  // predictors there is no one x to order them by: they are taken in the
  // order of the fitted value.
  std::vector<double> fitted(m), residuals(m);
  if (nlfit_model_evaluate_multi(problem.model.get(), params.data(), obs.x.data(), m,
                                 obs.predictors, fitted.data()) != 0) {
    fail(kExitBadInput, "cannot evaluate the model at the result");
  }
  for (std::size_t i = 0; i < m; ++i) residuals[i] = fitted[i] - obs.y[i];

  std::vector<const char*> names;
  for (const std::string& s : problem.names) names.push_back(s.c_str());
  const bool certified = problem.nist && args.model.empty();
  nlfit_report_input input;
  nlfit_report_input_init(&input);
  input.model_name = nlfit_model_name(problem.model.get());
  input.formula = nlfit_model_formula_text(problem.model.get());
  input.data_file = problem.file.c_str();
  input.points = m;
  input.skipped_points = obs.skippedNonfinite;
  input.weighted = obs.sigma.empty() ? 0 : 1;
  input.absolute_sigma = args.absoluteSigma ? 1 : 0;
  input.n = n;
  input.parameter_names = names.data();
  input.params = params.data();
  input.start = problem.start.data();
  input.start_origin = problem.origin.data();
  input.result = &result;
  input.certified = certified ? problem.dataset.certified.data() : nullptr;
  input.certified_std_dev = certified ? problem.dataset.certifiedSd.data() : nullptr;
  input.certified_rss = certified ? problem.dataset.certifiedRss : std::nan("");
  input.x = obs.predictors > 1 ? fitted.data() : obs.x.data();
  input.x_is_fitted = obs.predictors > 1 ? 1 : 0;
  input.residuals = residuals.data();

  if (!args.svg.empty()) writePicture(args, problem, params, input);
  if (!args.output.empty()) {
    if (problem.observations.predictors > 1) {
      fail(kExitUsage, "--output takes a model of one predictor");
    }
    writeOutput(args, problem, params, result);
  }

  emitReport(args, input, "");
  if (status == NLFIT_STOPPED_NONFINITE) {
    std::fprintf(stderr, "nlfit: %s\n", nonfiniteMessage(problem, result).c_str());
  }
  return result.converged ? kExitConverged : kExitNotConverged;
}

}  // namespace

// Numeric options are read strictly (see cli/options.h): a value that is not
// written as the option takes it is a usage error, never coerced.
CLI::Option* addNumber(CLI::App& app, const std::string& name, double* target, const std::string& help) {
  return app.add_option_function<std::string>(name, [name, target](const std::string& text) {
    if (!nlfit::cli::parseFiniteNumber(text, target)) {
      throw CLI::ValidationError(name + " takes a finite decimal number, not '" + text + "'");
    }
  }, help)->type_name("NUMBER");
}

template <class Integer>
CLI::Option* addInteger(CLI::App& app, const std::string& name, Integer* target, long long min,
                        long long max, const std::string& help) {
  return app.add_option_function<std::string>(name, [=](const std::string& text) {
    long long value = 0;
    if (!nlfit::cli::parseInteger(text, min, max, &value)) {
      const std::string range =
          max - min == 1 ? std::to_string(min) + " or " + std::to_string(max)
          : max == std::numeric_limits<long long>::max()
              ? "a whole number >= " + std::to_string(min)
              : "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
      throw CLI::ValidationError(name + " takes " + range + ", not '" + text + "'");
    }
    *target = static_cast<Integer>(value);
  }, help)->type_name("N");
}

#define NLFIT_STRING2(x) #x
#define NLFIT_STRING(x) NLFIT_STRING2(x)

int main(int argc, char** argv) {
  Arguments args;
  CLI::App app{
      "Fits a curve to a data file by nonlinear least squares and reports the parameters with\n"
      "their standard errors and 95% confidence intervals, the goodness of fit and the\n"
      "correlations. DATA is a delimited text file (comma, semicolon, or blanks and tabs; a\n"
      "first line without numbers is a header; - reads standard input) or a NIST StRD .dat\n"
      "file, which brings its own model, starting values and certified results.",
      "nlfit"};
  app.footer("The manual, with the rules for data files and the JSON keys: man nlfit\n");
  app.set_version_flag("--version", "nlfit " NLFIT_STRING(NLFIT_VERSION_MAJOR) "." NLFIT_STRING(
      NLFIT_VERSION_MINOR) "." NLFIT_STRING(NLFIT_VERSION_PATCH), "print the version and exit");
  app.add_option("DATA", args.files,
                 "data file: delimited text or a NIST StRD .dat file; - for standard input. "
                 "Several files: one global fit (see --shared)");
  app.add_option("--shared", args.shared,
                 "with several data files: parameters name,... common to every file; the others "
                 "are fitted per file as name[1], name[2], ...");
  app.add_option("--model", args.model,
                 "formula in x (e.g. 'a*exp(-b*x)+c', or 'y = a*x+b') or catalogue name "
                 "(see --list-models)");
  app.add_option("--start", args.start,
                 "starting values name=value,... (others: from the data for the everyday "
                 "catalogue shapes, 1 otherwise)");
  app.add_option("--fix", args.fix, "hold parameters at values name=value,...");
  app.add_option("--lower", args.lower,
                 "lower bounds name=value,... (the fit keeps those parameters at or above)");
  app.add_option("--upper", args.upper,
                 "upper bounds name=value,... (the fit keeps those parameters at or below)");
  app.add_option("--x", args.xColumns,
                 "predictor columns X1[,X2...] by header name or number from 1, with --y (and "
                 "--sigma); formulas name several predictors by header name or x1, x2, ...")
      ->type_name("COLS");
  app.add_option("--y", args.yColumn, "the response column, with --x")->type_name("COL");
  app.add_option("--sigma", args.sigmaColumn, "the sigma column, with --x; weights the fit")
      ->type_name("COL");
  app.add_option("--columns", args.columns,
                 "x,y[,sigma] by header name or number from 1 (default 1,2); sigma weights the fit");
  app.add_flag("--absolute-sigma", args.absoluteSigma,
               "sigma is absolute: do not scale the covariance by the reduced chi-square");
  app.add_flag("--no-profile-check", args.noProfileCheck,
               "keep the linearised standard errors: skip the check against the profile of "
               "the sum of squares");
  addInteger(app, "--nist-start", &args.nistStart, 1, 2,
             "NIST file: start from its start 1 (default) or 2");
  app.add_flag("--json", args.json, "print the report as JSON (see the manual)");
  app.add_option("--svg", args.svg, "also draw the fit and its residuals into OUT.svg")
      ->type_name("OUT.svg");
  app.add_flag("--log-x", args.logX, "--svg: logarithmic x axis (positive x only)");
  app.add_flag("--log-y", args.logY, "--svg: logarithmic y axis (positive y only)");
  app.add_option("--output", args.output,
                 "also write FILE.csv: x, y, sigma, fitted, residual, weighted residual and the "
                 "95% confidence and prediction bands, one row per observation")
      ->type_name("FILE.csv");
  addInteger(app, "--max-evaluations", &args.maxEvaluations, 0,
             std::numeric_limits<long long>::max(),
             "model evaluations allowed for the fit (0: automatic)");
  addNumber(app, "--tolerance", &args.tolerance,
            "relative tolerance on the sum-of-squares reduction and on the step (default 1e-12)");
  app.add_option("--derivatives", args.derivatives,
                 "exact (default): the model's own derivatives where it has them; numeric: "
                 "forward differences")
      ->check(CLI::IsMember({"exact", "numeric"}));
  app.add_option("--estimator", args.estimator,
                 "least-squares (default); poisson: maximum likelihood for counts (y >= 0, "
                 "no sigma column); soft_l1, huber, cauchy: robust losses for outliers")
      ->check(CLI::IsMember({"least-squares", "poisson", "soft_l1", "huber", "cauchy"}));
  addNumber(app, "--loss-scale", &args.lossScale,
            "a robust loss's scale in units of the (weighted) residuals (default 1)");
  app.add_flag("--skip-nonfinite", args.skipNonfinite,
               "drop rows with NaN, infinity or a missing cell in the columns used (and say how many)");
  app.add_flag("--decimal-comma", args.decimalComma,
               "numbers are written with a decimal comma (1,5); columns are then separated by "
               "semicolons or blanks");
  addInteger(app, "--skip-rows", &args.skipRows, 0, std::numeric_limits<int>::max(),
             "skip the first N lines of the file (titles above the header)");
  app.add_option("--na", args.missing, "a cell written TOKEN is missing (e.g. NA)")
      ->type_name("TOKEN");
  app.add_flag("--list-models", args.listModels, "list the catalogue of models with formulas");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return 0;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "nlfit: %s (try --help)\n", e.what());
    return kExitUsage;
  }
  if (!args.files.empty()) args.data = args.files[0];
  try {
    return run(args);
  } catch (const Failure& f) {
    std::fprintf(stderr, "nlfit: %s\n", f.message.c_str());
    return f.exitCode;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nlfit: %s\n", e.what());
    return kExitBadInput;
  }
}
