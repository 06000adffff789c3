// nlfit-fit: a host program for libnlfit. It loads the library at run time
// with dlopen, resolves findLS and theModelFct by name and fits either a NIST
// StRD nonlinear regression file or a two-column data file with one of the
// NIST models. See kUsage for the command line and the output.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "data_file.h"
#include "nist_dataset.h"
#include "nist_models.h"
#include "nlfit.h"
#include "nlfit/report.h"
#include "svg_plot.h"

// The library's path relative to this program's own directory.
#ifndef NLFIT_DEFAULT_LIBRARY
#define NLFIT_DEFAULT_LIBRARY "../libnlfit.so.1"
#endif

namespace {

const char kUsage[] =
    "usage: nlfit-fit [--lib PATH] [--svg OUT.svg] [--start 1|2] FILE.dat\n"
    "       nlfit-fit [--lib PATH] [--svg OUT.svg] --model NAME --params P0,P1,... FILE.csv\n"
    "\n"
    "Loads the nlfit library (default: " NLFIT_DEFAULT_LIBRARY " relative to the\n"
    "directory of this program, so that a moved build tree still works;\n"
    "a --lib PATH without '/' is taken relative to the current directory)\n"
    "and fits\n"
    "  - a NIST StRD nonlinear regression file, with the model named by the\n"
    "    file's \"Dataset Name:\" and its starting point 1 (default) or 2;\n"
    "  - a file of x,y pairs, one per line, separated by a comma, semicolon,\n"
    "    tab or spaces ('#' starts a comment; a first line without any number\n"
    "    is a header; decimal numbers only, NaN and infinities refused; see\n"
    "    docs/cli.md), with the model NAME and one starting value per model\n"
    "    parameter.\n"
    "Models: Misra1a Misra1b Misra1c Misra1d Chwirut1 Chwirut2 DanWood Kirby2\n"
    "        MGH09 MGH10 MGH17 Roszman1 BoxBOD Rat42 Rat43 Eckerle4 Bennett5\n"
    "\n"
    "Output on stdout:\n"
    "  fnorm ...                 the library's progress lines, unchanged\n"
    "  status S                  findLS's result (0, 1 or 2)\n"
    "  evaluations E progress_lines L model_calls C\n"
    "  b1 fitted F certified C digits D      one line per parameter (NIST)\n"
    "  rss fitted F certified C digits D\n"
    "  p0 fitted F                           one line per parameter (x,y file)\n"
    "  rss fitted F\n"
    "C counts the model calls made during findLS, L the progress lines it\n"
    "printed (the library's stdout goes to a temporary file during the fit and\n"
    "is copied to stdout after it), and E = C / points - L, the evaluations as\n"
    "the solver counts them. D is -log10(|F - C| / |C|), 15 when equal, 0 when\n"
    "negative or not finite, capped at 15. rss is the plain sum of squared\n"
    "residuals, computed here with theModelFct.\n"
    "\n"
    "--svg OUT.svg also writes, after a fit, a picture of it: the observations,\n"
    "the fitted curve evaluated with theModelFct and the residuals\n"
    "(model - observation) in a panel below. Standard output is the same.\n"
    "\n"
    "Exit status: 0 after a fit; 1 on a bad file, an unknown model, a missing\n"
    "library or symbol, or a refused fit (status 1 or 2); 2 on a bad command\n"
    "line, including a wrong number of starting values.\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// theModelFct reads five parameter values; the library fits up to nine.
constexpr int kParamSlots = 9;

[[noreturn]] void fail(int exitCode, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "nlfit-fit: %s\n", message.c_str());
  std::exit(exitCode);
}

using FindLsFunction = decltype(&findLS);
using ModelFctFunction = decltype(&theModelFct);

struct Library {
  void* handle = nullptr;
  FindLsFunction findLS = nullptr;
  ModelFctFunction theModelFct = nullptr;
};

// NLFIT_DEFAULT_LIBRARY in the directory of this executable.
std::string defaultLibrary() {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) fail(kExitFailure, std::string("cannot find this program's location: ") + std::strerror(errno));
  std::string path(self, static_cast<std::size_t>(length));
  path.erase(path.find_last_of('/') + 1);
  return path + NLFIT_DEFAULT_LIBRARY;
}

Library loadLibrary(std::string path) {
  if (path.empty()) path = defaultLibrary();
  // A bare file name would make dlopen search the system's library path.
  if (path.find('/') == std::string::npos) path = "./" + path;
  Library lib;
  lib.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib.handle == nullptr) fail(kExitFailure, std::string("cannot load library: ") + dlerror());
  void* fit = dlsym(lib.handle, "findLS");
  if (fit == nullptr) fail(kExitFailure, path + ": no symbol findLS");
  void* eval = dlsym(lib.handle, "theModelFct");
  if (eval == nullptr) fail(kExitFailure, path + ": no symbol theModelFct");
  lib.findLS = reinterpret_cast<FindLsFunction>(fit);
  lib.theModelFct = reinterpret_cast<ModelFctFunction>(eval);
  return lib;
}

// The model handed to the library: the chosen NIST model, counting its calls.
NistModelFunction chosenModel = nullptr;
unsigned long long modelCalls = 0;

double countingModel(double x, double p0, double p1, double p2, double p3, double p4) {
  ++modelCalls;
  return chosenModel(x, p0, p1, p2, p3, p4);
}

struct FitOutcome {
  double status = 0.0;
  unsigned long long modelCalls = 0;
  int progressLines = 0;
};

// Runs findLS with file descriptor 1 on a temporary file, then copies what the
// library printed to stdout unchanged and counts its progress lines.
FitOutcome runFit(const Library& lib, int paramCount, const std::vector<double>& x,
                  const std::vector<double>& y, double* params) {
  std::fflush(stdout);
  std::FILE* capture = std::tmpfile();
  if (capture == nullptr) fail(kExitFailure, "cannot create a temporary file for the progress lines");
  const int savedStdout = dup(STDOUT_FILENO);
  if (savedStdout < 0 || dup2(fileno(capture), STDOUT_FILENO) < 0) {
    fail(kExitFailure, std::string("cannot redirect stdout: ") + std::strerror(errno));
  }

  FitOutcome outcome;
  modelCalls = 0;
  outcome.status = lib.findLS(countingModel, paramCount, static_cast<int>(x.size()),
                              x.data(), y.data(), params);
  outcome.modelCalls = modelCalls;

  std::fflush(stdout);
  if (dup2(savedStdout, STDOUT_FILENO) < 0) {
    fail(kExitFailure, std::string("cannot restore stdout: ") + std::strerror(errno));
  }
  close(savedStdout);

  std::rewind(capture);
  char buffer[256];
  bool atLineStart = true;
  while (std::fgets(buffer, sizeof buffer, capture) != nullptr) {
    if (atLineStart && std::strncmp(buffer, "fnorm ", 6) == 0) ++outcome.progressLines;
    std::fputs(buffer, stdout);
    const std::size_t length = std::strlen(buffer);
    atLineStart = length > 0 && buffer[length - 1] == '\n';
  }
  std::fclose(capture);
  std::fflush(stdout);
  return outcome;
}

// Plain sum of squares of model minus observation, through theModelFct.
double residualSumOfSquares(const Library& lib, int paramCount, const double* params,
                            const std::vector<double>& x, const std::vector<double>& y) {
  double sum = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double r = lib.theModelFct(x[i], params, paramCount) - y[i];
    sum = sum + r * r;
  }
  return sum;
}

// Reads x,y pairs with the shared reader of data files; fails with its
// one-line message.
void readTwoColumns(const std::string& path, std::vector<double>* x, std::vector<double>* y) {
  namespace data = nlfit::data;
  std::string error;
  data::TextInput input;
  data::Observations observations;
  if (!input.open(path, &error) ||
      !data::readObservations(input, data::ReadOptions(), &observations, &error)) {
    fail(kExitFailure, error);
  }
  if (observations.columns != 2) {
    fail(kExitFailure, path + ": " + std::to_string(observations.columns) +
                           " columns; x,y pairs expected");
  }
  *x = std::move(observations.x);
  *y = std::move(observations.y);
}

std::vector<double> parseStartingValues(const std::string& list) {
  std::vector<double> values;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t comma = list.find(',', pos);
    const std::string token = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    double v = 0.0;
    if (!nist::parseDouble(token, &v)) fail(kExitUsage, "bad starting value '" + token + "' in --params");
    values.push_back(v);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return values;
}

const NistModel* findModel(const std::string& name) {
  const NistModel* model = nistModelByName(name.c_str());
  if (model == nullptr) fail(kExitFailure, "unknown model " + name);
  return model;
}

struct Options {
  std::string library;  // empty: the default beside this program
  int start = 0;  // 0: not given
  std::string model;
  std::string params;
  bool haveParams = false;
  std::string file;
  std::string svg;  // empty: no picture
};

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--lib" || arg == "--start" || arg == "--model" || arg == "--params" ||
               arg == "--svg") {
      if (!hasValue) fail(kExitUsage, arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--lib") {
        o.library = value;
      } else if (arg == "--start") {
        if (value != "1" && value != "2") fail(kExitUsage, "--start takes 1 or 2");
        o.start = value == "1" ? 1 : 2;
      } else if (arg == "--model") {
        o.model = value;
      } else if (arg == "--svg") {
        if (value.empty()) fail(kExitUsage, "--svg needs a file name");
        o.svg = value;
      } else {
        o.params = value;
        o.haveParams = true;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      fail(kExitUsage, "unknown option " + arg + " (try --help)");
    } else if (o.file.empty()) {
      o.file = arg;
    } else {
      fail(kExitUsage, "more than one data file given");
    }
  }
  if (o.file.empty()) fail(kExitUsage, "no data file given (try --help)");
  if (o.model.empty() && o.haveParams) fail(kExitUsage, "--params needs --model");
  if (!o.model.empty() && !o.haveParams) fail(kExitUsage, "--model needs --params");
  if (!o.model.empty() && o.start != 0) fail(kExitUsage, "--start applies to NIST files only");
  return o;
}

// Prints the status and the counts; exits on a refused fit.
void reportRun(const FitOutcome& run, std::size_t pointCount) {
  std::printf("status %.0f\n", run.status);
  if (run.status != 0.0) {
    fail(kExitFailure, run.status == 2.0 ? "fit refused (status 2: more than 1000 observations)"
                                         : "fit refused (status 1)");
  }
  const unsigned long long sweeps = run.modelCalls / pointCount;
  std::printf("evaluations %lld progress_lines %d model_calls %llu\n",
              static_cast<long long>(sweeps) - run.progressLines, run.progressLines,
              run.modelCalls);
}

// Points on the fitted curve drawn by --svg.
constexpr int kCurveSamples = 600;

// The picture of the fit for --svg: the curve sampled over the data range and
// the residuals, both through theModelFct with the fitted parameters.
void writePicture(const Library& lib, const Options& options, const NistModel& model, bool nistMode,
                  const nist::Dataset& data, int paramCount, const double* params, double rss) {
  svgplot::FitPlot plot;
  if (nistMode) {
    plot.title = data.name + " (NIST StRD, start " + (options.start == 2 ? "2" : "1") + ")";
  } else {
    const std::size_t slash = options.file.find_last_of('/');
    plot.title = std::string(model.name) + " fitted to " +
                 (slash == std::string::npos ? options.file : options.file.substr(slash + 1));
  }
  char value[64];
  for (int j = 0; j < paramCount; ++j) {
    std::snprintf(value, sizeof value, "%s%d = %.6g", nistMode ? "b" : "p", nistMode ? j + 1 : j,
                  params[j]);
    plot.subtitle += std::string(value) + ",  ";
  }
  std::snprintf(value, sizeof value, "rss = %.6g", rss);
  plot.subtitle += value;

  plot.x = data.x;
  plot.y = data.y;
  plot.curveX = svgplot::sampleGridOver(data.x, kCurveSamples);
  for (double v : plot.curveX) plot.curveY.push_back(lib.theModelFct(v, params, paramCount));
  for (std::size_t i = 0; i < data.x.size(); ++i) {
    plot.residuals.push_back(lib.theModelFct(data.x[i], params, paramCount) - data.y[i]);
  }
  std::string error;
  if (!svgplot::writeFitPlot(options.svg, plot, &error)) fail(kExitFailure, error);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);

  const NistModel* model = nullptr;
  nist::Dataset data;
  std::vector<double> start;
  const bool nistMode = options.model.empty();
  if (nistMode) {
    std::string error;
    std::string text;
    if (!nlfit::data::readText(options.file, &text, &error)) fail(kExitFailure, error);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    if (!nist::parseDataset(lines, options.file, &data, &error)) fail(kExitFailure, error);
    model = findModel(data.name);
    if (static_cast<std::size_t>(model->paramCount) != data.certified.size()) {
      fail(kExitFailure, options.file + ": " + data.name + " has " +
                             std::to_string(model->paramCount) + " parameters, the file " +
                             std::to_string(data.certified.size()));
    }
    start = options.start == 2 ? data.start2 : data.start1;
  } else {
    model = findModel(options.model);
    start = parseStartingValues(options.params);
    if (start.size() != static_cast<std::size_t>(model->paramCount)) {
      fail(kExitUsage, "model " + options.model + " takes " + std::to_string(model->paramCount) +
                           " starting values, got " + std::to_string(start.size()));
    }
    readTwoColumns(options.file, &data.x, &data.y);
  }

  const Library lib = loadLibrary(options.library);
  chosenModel = model->function;
  const int n = model->paramCount;
  // Zero beyond the fitted parameters: theModelFct reads five values.
  double params[kParamSlots] = {0.0};
  for (int j = 0; j < n; ++j) params[j] = start[static_cast<std::size_t>(j)];

  const FitOutcome run = runFit(lib, n, data.x, data.y, params);
  reportRun(run, data.x.size());

  const double rss = residualSumOfSquares(lib, n, params, data.x, data.y);
  for (int j = 0; j < n; ++j) {
    if (nistMode) {
      const double certified = data.certified[static_cast<std::size_t>(j)];
      std::printf("b%d fitted %.17g certified %.17g digits %.2f\n", j + 1, params[j], certified,
                  nlfit_report_digits(params[j], certified));
    } else {
      std::printf("p%d fitted %.17g\n", j, params[j]);
    }
  }
  if (nistMode) {
    std::printf("rss fitted %.17g certified %.17g digits %.2f\n", rss, data.certifiedRss,
                nlfit_report_digits(rss, data.certifiedRss));
  } else {
    std::printf("rss fitted %.17g\n", rss);
  }
  if (!options.svg.empty()) writePicture(lib, options, *model, nistMode, data, n, params, rss);
  dlclose(lib.handle);
  return 0;
}
