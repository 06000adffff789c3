// A picture of a fit as a self-contained SVG document: the observations and
// the fitted curve in an upper panel, the residuals below. Plain data in,
// text out; no library calls, so it can be tested on its own.
#ifndef NLFIT_CLI_SVG_PLOT_H
#define NLFIT_CLI_SVG_PLOT_H

#include <string>
#include <vector>

namespace svgplot {

struct FitPlot {
  std::string title;     // e.g. the dataset and model name
  std::string subtitle;  // e.g. the fitted parameters; may be empty
  std::string xTitle = "x";
  std::string yTitle = "y";
  std::vector<double> x;          // observations
  std::vector<double> y;
  std::vector<double> curveX;     // the fitted curve, sampled in x order;
  std::vector<double> curveY;     // non-finite values break the line
  std::string curveLabel = "fitted curve";  // the curve's name in the legend
  std::vector<double> residuals;  // model - observation, one per observation
  std::vector<double> errors;     // one standard deviation per observation, drawn as
                                  // an error bar y +- error; empty: no bars
  bool converged = true;          // false: the picture is marked "not converged"
  std::vector<std::string> warnings;  // one line each, under the plot
  std::vector<double> bandLow;    // a confidence band along curveX, drawn
  std::vector<double> bandHigh;   // shaded under the curve; empty: none
  std::string residualTitle = "model \xE2\x88\x92 y";  // the lower panel's axis title
  bool logX = false;              // logarithmic axes: values <= 0 are left out
  bool logY = false;
};

// Above this many observations only every k-th is drawn (k the smallest
// that leaves at most this many), and the picture says so.
constexpr std::size_t kDrawnPointsLimit = 4000;

// The whole document. Non-finite observations and residuals are left out;
// every number is written with a fixed precision, so equal input gives
// equal text.
std::string renderFitPlot(const FitPlot& plot);

// Writes renderFitPlot(plot) to path through a temporary file in the same
// directory, renamed over path: concurrent writers leave one whole picture,
// and a failure (returns false with a reason) leaves the old file.
bool writeFitPlot(const std::string& path, const FitPlot& plot, std::string* error);

// Writes text to a new file in path's directory and renames it over path:
// a reader, or another writer, sees the old file or the whole new one, and a
// failure (false with a reason) leaves the old file as it was.
bool replaceFile(const std::string& path, const std::string& text, std::string* error);

// count abscissae evenly spaced from lo to hi, both ends included.
std::vector<double> sampleGrid(double lo, double hi, int count);

// count abscissae evenly spaced over the range of x (at least one value).
std::vector<double> sampleGridOver(const std::vector<double>& x, int count);

// count abscissae evenly spaced in log10 over the positive range of x (at
// least one value; none when no x is positive).
std::vector<double> logGridOver(const std::vector<double>& x, int count);

// A step of 1, 2 or 5 times a power of ten: stepDigits * 10^stepExponent.
struct TickStep {
  int stepDigits = 1;
  int stepExponent = 0;
  double value() const;
};

// The smallest such step that cuts [lo, hi] into at most maxIntervals parts.
// Requires lo < hi, both finite, maxIntervals >= 1.
TickStep niceStep(double lo, double hi, int maxIntervals);

// The multiples of step inside [lo, hi], each computed as k * step with one
// rounding, in increasing order; none when there would be over a thousand or
// when k would pass 2^52 (a range lost in rounding).
std::vector<double> ticksWithin(double lo, double hi, const TickStep& step);

// The label of a tick value: as many decimals as the step needs ("0.25",
// "40", "-1.5"), exponent notation for steps below 1e-4 or values of 1e6 and
// above ("2.5e-05"); zero is "0".
std::string tickLabel(double value, const TickStep& step);

}  // namespace svgplot

#endif  // NLFIT_CLI_SVG_PLOT_H
