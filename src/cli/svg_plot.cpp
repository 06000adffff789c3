// The SVG picture of a fit. Layout: a title row, the observations and the
// fitted curve in the upper panel, the residuals (with a zero line) in the
// lower panel, one shared x axis labelled under the lower panel.
#include "svg_plot.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace svgplot {

namespace {

// The canvas, in SVG user units (also its size in pixels).
constexpr int kWidth = 960;
constexpr int kHeight = 720;
constexpr int kWarningLine = 18;
constexpr double kLeft = 100.0;
constexpr double kRight = 930.0;
constexpr double kMainTop = 82.0;
constexpr double kMainBottom = 470.0;
constexpr double kResidualTop = 498.0;
constexpr double kResidualBottom = 640.0;

constexpr char kDataColour[] = "#1f5fa8";
constexpr char kCurveColour[] = "#d9480f";
constexpr char kGridColour[] = "#e3e3e3";
constexpr char kFrameColour[] = "#404040";
constexpr char kTextColour[] = "#202020";

// Values beyond this are treated as this, so that spans stay finite.
constexpr double kLargest = 1e300;

// m * 10^e with a single rounding where the power of ten is exact.
double scale10(double m, int e) {
  static const double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (e >= 0 && e <= 22) return m * kExact[e];
  if (e < 0 && e >= -22) return m / kExact[-e];
  return m * std::pow(10.0, e);
}

// A coordinate or length: two decimals. Never "nan" or "inf": the callers
// only pass finite values, and anything else is pinned far off the canvas.
std::string num(double v) {
  if (std::isnan(v)) v = 0.0;
  v = std::min(std::max(v, -1e5), 1e5);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", v);
  if (std::strcmp(buffer, "-0.00") == 0) return "0.00";
  return buffer;
}

// Text content or an attribute value: valid UTF-8 passes (markup characters
// escaped); a byte that does not start a valid character, or a control
// character, becomes '?' so that the document stays well-formed XML.
std::string xmlText(const std::string& s) {
  std::string out;
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c < 0x20 ? '?' : static_cast<char>(c); break;
      }
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned long code = 0;
    unsigned long smallest = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2; code = c & 0x1Fu; smallest = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3; code = c & 0x0Fu; smallest = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4; code = c & 0x07u; smallest = 0x10000;
    }
    bool valid = length > 0 && i + length <= n;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + k]);
      valid = (t & 0xC0u) == 0x80u;
      code = (code << 6) | (t & 0x3Fu);
    }
    valid = valid && code >= smallest && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF) &&
            code != 0xFFFE && code != 0xFFFF;
    if (valid) {
      out.append(s, i, length);
      i += length;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

struct Range {
  double lo = 0.0;
  double hi = 0.0;
  bool empty = true;

  void include(double v) {
    if (!std::isfinite(v)) return;
    v = std::min(std::max(v, -kLargest), kLargest);
    if (empty) {
      lo = hi = v;
      empty = false;
    } else {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
};

// The range widened by fraction of its span on each side. An empty range is
// [0, 1]; one whose span is zero or lost in rounding against its magnitude is
// widened to 10% of its value (or to [-1, 1] around zero).
Range padded(Range r, double fraction) {
  if (r.empty) {
    r.lo = 0.0;
    r.hi = 1.0;
    r.empty = false;
  }
  const double magnitude = std::max(std::fabs(r.lo), std::fabs(r.hi));
  if (!(r.hi - r.lo > magnitude * 1e-12)) {
    const double centre = r.lo / 2.0 + r.hi / 2.0;
    const double half = centre == 0.0 ? 1.0 : std::fabs(centre) / 10.0;
    r.lo = centre - half;
    r.hi = centre + half;
  }
  const double margin = (r.hi - r.lo) * fraction;
  r.lo -= margin;
  r.hi += margin;
  return r;
}

// Maps values of [lo, hi] linearly onto [from, to] on the canvas.
struct Scale {
  double lo;
  double hi;
  double from;
  double to;
  double operator()(double v) const { return from + (v - lo) / (hi - lo) * (to - from); }
};

void line(std::string& out, double x1, double y1, double x2, double y2, const std::string& extra = "") {
  out += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
         num(y2) + "\"" + extra + "/>\n";
}

void text(std::string& out, double x, double y, const std::string& content, const std::string& attributes) {
  out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" " + attributes + ">" + xmlText(content) +
         "</text>\n";
}

void circle(std::string& out, double x, double y, const char* radius) {
  out += "<circle cx=\"" + num(x) + "\" cy=\"" + num(y) + "\" r=\"" + radius + "\"/>\n";
}

void rect(std::string& out, double left, double top, double right, double bottom, const std::string& attributes) {
  out += "<rect x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" + num(right - left) +
         "\" height=\"" + num(bottom - top) + "\" " + attributes + "/>\n";
}

std::string logTickLabel(double v);
std::vector<double> logTicks(double lo, double hi, const TickStep& step);

// Horizontal grid lines and labels of a vertical axis, in a group of class
// groupClass.
void verticalAxis(std::string& out, const Scale& scale, const TickStep& step, const char* groupClass,
                  bool logarithmic) {
  out += std::string("<g class=\"") + groupClass + "\">\n";
  for (double v : logarithmic ? logTicks(scale.lo, scale.hi, step)
                              : ticksWithin(scale.lo, scale.hi, step)) {
    const double y = scale(v);
    line(out, kLeft, y, kRight, y, std::string(" stroke=\"") + kGridColour + "\"");
    line(out, kLeft - 5.0, y, kLeft, y, " stroke=\"#404040\"");
    text(out, kLeft - 8.0, y + 4.5, logarithmic ? logTickLabel(v) : tickLabel(v, step),
         "text-anchor=\"end\" class=\"tick-label\"");
  }
  out += "</g>\n";
}

// The curve as one path; a non-finite value or one far outside the panel
// ends the current piece and the next drawable point starts a new one.
std::string curvePath(const FitPlot& plot, const Scale& sx, const Scale& sy) {
  const std::size_t n = std::min(plot.curveX.size(), plot.curveY.size());
  const double panelHeight = kMainBottom - kMainTop;
  const double panelWidth = kRight - kLeft;
  std::string d;
  bool penDown = false;
  for (std::size_t i = 0; i < n; ++i) {
    const double px = sx(plot.curveX[i]);
    const double py = sy(plot.curveY[i]);
    const bool drawable = std::isfinite(px) && std::isfinite(py) && px >= kLeft - panelWidth &&
                          px <= kRight + panelWidth && py >= kMainTop - panelHeight &&
                          py <= kMainBottom + panelHeight;
    if (!drawable) {
      penDown = false;
      continue;
    }
    if (!d.empty()) d += ' ';
    d += penDown ? "L" : "M";
    d += num(px) + " " + num(py);
    penDown = true;
  }
  return d;
}

}  // namespace

double TickStep::value() const { return scale10(stepDigits, stepExponent); }

TickStep niceStep(double lo, double hi, int maxIntervals) {
  const double raw = (hi - lo) / std::max(maxIntervals, 1);
  TickStep step;
  if (!(raw > 0.0) || !std::isfinite(raw)) return step;
  const int base = static_cast<int>(std::floor(std::log10(raw))) - 1;
  static const int kDigits[] = {1, 2, 5};
  for (int e = base; e <= base + 3; ++e) {
    for (int d : kDigits) {
      if (scale10(d, e) >= raw) {
        step.stepDigits = d;
        step.stepExponent = e;
        return step;
      }
    }
  }
  return step;
}

std::vector<double> ticksWithin(double lo, double hi, const TickStep& step) {
  std::vector<double> ticks;
  const double size = step.value();
  if (!(size > 0.0) || !std::isfinite(size) || !(lo <= hi)) return ticks;
  const double first = std::ceil(lo / size) - 1.0;
  const double last = std::floor(hi / size) + 1.0;
  // Not a sensible axis: too many ticks, or multiples beyond exact integers.
  if (!(last - first < 1000.0) || !(std::fabs(first) < 0x1p52 && std::fabs(last) < 0x1p52)) return ticks;
  for (int j = 0; j <= static_cast<int>(last - first); ++j) {
    const double k = first + j;
    const double v = scale10(k * step.stepDigits, step.stepExponent);
    if (v >= lo && v <= hi) ticks.push_back(v == 0.0 ? 0.0 : v);
  }
  return ticks;
}

std::string tickLabel(double value, const TickStep& step) {
  if (value == 0.0 || !std::isfinite(value)) return "0";
  char buffer[64];
  if (step.stepExponent < -4 || std::fabs(value) >= 1e6) {
    int digits = static_cast<int>(std::floor(std::log10(std::fabs(value)))) - step.stepExponent;
    digits = std::min(std::max(digits, 0), 16);
    std::snprintf(buffer, sizeof buffer, "%.*e", digits, value);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.*f", std::max(0, -step.stepExponent), value);
  }
  return buffer;
}

std::vector<double> sampleGrid(double lo, double hi, int count) {
  std::vector<double> grid;
  if (count <= 0) return grid;
  if (count == 1) return {lo};
  grid.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / (count - 1);
    grid.push_back(i == count - 1 ? hi : lo * (1.0 - t) + hi * t);
  }
  return grid;
}

std::vector<double> sampleGridOver(const std::vector<double>& x, int count) {
  double lo = x[0];
  double hi = x[0];
  for (double v : x) {
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  return sampleGrid(lo, hi, count);
}

std::vector<double> logGridOver(const std::vector<double>& x, int count) {
  double lo = 0.0;
  double hi = 0.0;
  for (double v : x) {
    if (!(v > 0.0) || !std::isfinite(v)) continue;
    lo = (lo == 0.0 || v < lo) ? v : lo;
    hi = v > hi ? v : hi;
  }
  if (lo == 0.0) return {};
  std::vector<double> grid = sampleGrid(std::log10(lo), std::log10(hi), count);
  for (double& v : grid) v = std::pow(10.0, v);
  return grid;
}

namespace {

double log10OrNaN(double v) { return v > 0.0 ? std::log10(v) : std::nan(""); }

void toLog(std::vector<double>& values) {
  for (double& v : values) v = log10OrNaN(v);
}

// The label of a tick on a logarithmic axis: the value 10^v.
// The ticks of a logarithmic axis over [lo, hi] in log10: 1, 2 and 5 times
// each power of ten over up to three decades, the decades alone over more
// (thinned by the step when there are many); steps of the logarithm when
// that leaves fewer than three.
std::vector<double> logTicks(double lo, double hi, const TickStep& step) {
  const double span = hi - lo;
  if (!(span > 0.0) || span > 1000.0) return ticksWithin(lo, hi, step);
  std::vector<double> ticks;
  const int every = span > 10.0 ? static_cast<int>(std::ceil(step.value())) : 1;
  for (int k = static_cast<int>(std::floor(lo)); k <= static_cast<int>(std::ceil(hi)); ++k) {
    if (k % every != 0) continue;
    for (double d : {1.0, 2.0, 5.0}) {
      if (d != 1.0 && span > 3.0) break;
      const double v = k + std::log10(d);
      if (v >= lo && v <= hi) ticks.push_back(v);
    }
  }
  // Less than a decade with fewer than three of them: steps of the logarithm.
  if (ticks.size() < 3) return ticksWithin(lo, hi, step);
  return ticks;
}

std::string logTickLabel(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", std::pow(10.0, v));  // 10^(k + log10 2) prints as 2e+k
  return text;
}

std::string renderPlot(const FitPlot& plot, const std::vector<double>& barLow,
                       const std::vector<double>& barHigh, std::size_t stride);

}  // namespace

std::string renderFitPlot(const FitPlot& given) {
  // Logarithmic axes: the values are drawn by their logarithms; the error
  // bars keep their ends y -+ error.
  FitPlot plot = given;
  std::vector<double> barLow, barHigh;
  const std::size_t bars = std::min(plot.y.size(), plot.errors.size());
  for (std::size_t i = 0; i < bars; ++i) {
    barLow.push_back(plot.y[i] - plot.errors[i]);
    barHigh.push_back(plot.y[i] + plot.errors[i]);
  }
  if (plot.logX) {
    toLog(plot.x);
    toLog(plot.curveX);
  }
  if (plot.logY) {
    for (auto* v : {&plot.y, &plot.curveY, &plot.bandLow, &plot.bandHigh, &barLow, &barHigh}) toLog(*v);
  }
  const std::size_t points = std::min(plot.x.size(), plot.y.size());
  const std::size_t stride = (points + kDrawnPointsLimit - 1) / kDrawnPointsLimit;
  return renderPlot(plot, barLow, barHigh, stride < 1 ? 1 : stride);
}

namespace {

std::string renderPlot(const FitPlot& plot, const std::vector<double>& barLow,
                       const std::vector<double>& barHigh, std::size_t stride) {
  const std::size_t points = std::min(plot.x.size(), plot.y.size());
  const std::size_t curvePoints = std::min(plot.curveX.size(), plot.curveY.size());

  // x: the observations and the curve's abscissae.
  Range xr;
  for (std::size_t i = 0; i < points; ++i) xr.include(plot.x[i]);
  for (std::size_t i = 0; i < curvePoints; ++i) xr.include(plot.curveX[i]);
  xr = padded(xr, 0.03);

  // y: the observations, and the curve where it stays within a quarter of
  // their span of them (a pole must not flatten the picture).
  Range observed;
  for (std::size_t i = 0; i < points; ++i) observed.include(plot.y[i]);
  if (observed.empty) {
    for (std::size_t i = 0; i < curvePoints; ++i) observed.include(plot.curveY[i]);
  }
  const Range base = padded(observed, 0.0);
  const double band = (base.hi - base.lo) / 4.0;
  Range yr = base;
  for (std::size_t i = 0; i < curvePoints; ++i) {
    const double v = plot.curveY[i];
    if (v >= base.lo - band && v <= base.hi + band) yr.include(v);
  }
  yr = padded(yr, 0.05);

  // Residuals: symmetric about zero.
  double largest = 0.0;
  const std::size_t residualCount = std::min(points, plot.residuals.size());
  for (std::size_t i = 0; i < residualCount; ++i) {
    if (std::isfinite(plot.residuals[i])) largest = std::max(largest, std::fabs(plot.residuals[i]));
  }
  // Symmetric about zero; a step that leaves at most three intervals on each
  // side shows one or two ticks above and below zero.
  const double reach = (largest > 0.0 ? std::min(largest, kLargest) : 1.0) * 1.08;
  const TickStep residualStep = niceStep(0.0, reach, 3);
  Range rr;
  rr.include(-reach);
  rr.include(reach);

  const Scale sx{xr.lo, xr.hi, kLeft, kRight};
  const Scale sy{yr.lo, yr.hi, kMainBottom, kMainTop};
  const Scale sr{rr.lo, rr.hi, kResidualBottom, kResidualTop};

  std::string out;
  out.reserve(4096 + 120 * (points * 3 + curvePoints / 4));
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  // Each warning adds a line below the residual panel.
  const int height = kHeight + kWarningLine * static_cast<int>(plot.warnings.size());
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + std::to_string(kWidth) +
         "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(kWidth) + " " +
         std::to_string(height) + "\" font-family=\"sans-serif\" font-size=\"13\" fill=\"" +
         kTextColour + "\">\n";
  out += "<title>" + xmlText(plot.title) + "</title>\n";
  out += "<defs>\n<clipPath id=\"main-clip\">";
  rect(out, kLeft, kMainTop, kRight, kMainBottom, "");
  out += "</clipPath>\n</defs>\n";
  rect(out, 0.0, 0.0, kWidth, height, "fill=\"#ffffff\"");

  // Title row and legend.
  text(out, kWidth / 2.0, 30.0, plot.title,
       "text-anchor=\"middle\" font-size=\"20\" font-weight=\"bold\" class=\"title\"");
  if (!plot.subtitle.empty()) {
    text(out, kWidth / 2.0, 52.0, plot.subtitle, "text-anchor=\"middle\" fill=\"#505050\" class=\"subtitle\"");
  }
  if (!plot.converged) {
    text(out, kRight, 30.0, "NOT CONVERGED",
         "text-anchor=\"end\" font-size=\"16\" font-weight=\"bold\" fill=\"#c00000\" "
         "class=\"not-converged\"");
  }
  if (!plot.warnings.empty()) {
    out += "<g class=\"warnings\" fill=\"#a04000\">\n";
    for (std::size_t k = 0; k < plot.warnings.size(); ++k) {
      text(out, kLeft, kHeight - 8.0 + kWarningLine * static_cast<double>(k),
           "Warning: " + plot.warnings[k], "class=\"warning\"");
    }
    out += "</g>\n";
  }
  out += "<g class=\"legend\">\n";
  out += "<circle cx=\"" + num(kLeft + 8.0) + "\" cy=\"70.00\" r=\"3.5\" fill=\"none\" stroke=\"" +
         kDataColour + "\" stroke-width=\"1.5\"/>\n";
  text(out, kLeft + 18.0, 74.5, "observations", "");
  line(out, kLeft + 120.0, 70.0, kLeft + 150.0, 70.0,
       std::string(" stroke=\"") + kCurveColour + "\" stroke-width=\"2.2\"");
  text(out, kLeft + 158.0, 74.5,
       plot.bandLow.empty() ? plot.curveLabel : plot.curveLabel + ", 95% confidence band", "");
  if (stride > 1) {
    text(out, kWidth / 2.0, 74.5,
         "1 point in " + std::to_string(stride) + " drawn, of " + std::to_string(points),
         "text-anchor=\"middle\" class=\"thinned\"");
  }
  text(out, kRight, 74.5, "residuals below: model \xE2\x88\x92 observation", "text-anchor=\"end\"");
  out += "</g>\n";

  // Grids and tick labels: vertical lines run through both panels.
  const TickStep xStep = niceStep(xr.lo, xr.hi, 10);
  out += "<g class=\"x-ticks\">\n";
  for (double v : plot.logX ? logTicks(xr.lo, xr.hi, xStep) : ticksWithin(xr.lo, xr.hi, xStep)) {
    const double x = sx(v);
    const std::string grid = std::string(" stroke=\"") + kGridColour + "\"";
    line(out, x, kMainTop, x, kMainBottom, grid);
    line(out, x, kResidualTop, x, kResidualBottom, grid);
    line(out, x, kResidualBottom, x, kResidualBottom + 5.0, " stroke=\"#404040\"");
    text(out, x, kResidualBottom + 20.0, plot.logX ? logTickLabel(v) : tickLabel(v, xStep),
         "text-anchor=\"middle\" class=\"tick-label\"");
  }
  out += "</g>\n";
  verticalAxis(out, sy, niceStep(yr.lo, yr.hi, 8), "y-ticks", plot.logY);
  verticalAxis(out, sr, residualStep, "residual-ticks", false);

  // Axis titles.
  text(out, (kLeft + kRight) / 2.0, kResidualBottom + 48.0, plot.xTitle,
       "text-anchor=\"middle\" font-size=\"15\" class=\"axis-title\"");
  const double yMid = (kMainTop + kMainBottom) / 2.0;
  text(out, 30.0, yMid, plot.yTitle,
       "text-anchor=\"middle\" font-size=\"15\" class=\"axis-title\" transform=\"rotate(-90 30.00 " +
           num(yMid) + ")\"");
  const double rMid = (kResidualTop + kResidualBottom) / 2.0;
  text(out, 30.0, rMid, plot.residualTitle,
       "text-anchor=\"middle\" font-size=\"15\" class=\"axis-title\" transform=\"rotate(-90 30.00 " +
           num(rMid) + ")\"");

  // Upper panel: error bars, observations, then the curve over them.
  const std::size_t bandCount = std::min({curvePoints, plot.bandLow.size(), plot.bandHigh.size()});
  if (bandCount > 0) {
    // The band as one polygon: along its upper edge, back along its lower.
    std::string d;
    for (std::size_t pass = 0; pass < 2; ++pass) {
      for (std::size_t k = 0; k < bandCount; ++k) {
        const std::size_t i = pass == 0 ? k : bandCount - 1 - k;
        const double v = pass == 0 ? plot.bandHigh[i] : plot.bandLow[i];
        if (!std::isfinite(plot.curveX[i]) || !std::isfinite(v)) continue;
        const double py = std::max(kMainTop - 400.0, std::min(kMainBottom + 400.0, sy(v)));
        d += (d.empty() ? "M" : " L") + num(sx(plot.curveX[i])) + " " + num(py);
      }
    }
    if (!d.empty()) {
      out += std::string("<path class=\"confidence-band\" clip-path=\"url(#main-clip)\" fill=\"") +
             kCurveColour + "\" fill-opacity=\"0.18\" stroke=\"none\" d=\"" + d + " Z\"/>\n";
    }
  }
  const std::size_t barCount = std::min({points, plot.errors.size(), barLow.size()});
  if (barCount > 0) {
    out += "<g class=\"error-bars\" clip-path=\"url(#main-clip)\" stroke=\"#7a9cc6\" stroke-width=\"1\">\n";
    for (std::size_t i = 0; i < barCount; i += stride) {
      const double e = plot.errors[i];
      if (std::isfinite(plot.x[i]) && std::isfinite(plot.y[i]) && std::isfinite(e) && e > 0.0 &&
          std::isfinite(barHigh[i])) {
        const double low = std::isfinite(barLow[i]) ? sy(barLow[i]) : kMainBottom;
        line(out, sx(plot.x[i]), std::min(low, kMainBottom), sx(plot.x[i]), sy(barHigh[i]));
      }
    }
    out += "</g>\n";
  }
  out += std::string("<g class=\"observations\" fill=\"none\" stroke=\"") + kDataColour +
         "\" stroke-width=\"1.5\">\n";
  for (std::size_t i = 0; i < points; i += stride) {
    if (std::isfinite(plot.x[i]) && std::isfinite(plot.y[i])) circle(out, sx(plot.x[i]), sy(plot.y[i]), "3.5");
  }
  out += "</g>\n";
  const std::string d = curvePath(plot, sx, sy);
  if (!d.empty()) {
    out += std::string("<path class=\"curve\" clip-path=\"url(#main-clip)\" fill=\"none\" stroke=\"") +
           kCurveColour + "\" stroke-width=\"2.2\" stroke-linejoin=\"round\" stroke-linecap=\"round\" d=\"" + d + "\"/>\n";
  }

  // Lower panel: zero line, stems and one mark per residual.
  const double zero = sr(0.0);
  line(out, kLeft, zero, kRight, zero,
       std::string(" class=\"zero-line\" stroke=\"") + kCurveColour + "\" stroke-width=\"1.5\"");
  out += "<g class=\"residual-stems\" stroke=\"#8a8a8a\" stroke-width=\"1\">\n";
  for (std::size_t i = 0; i < residualCount; i += stride) {
    if (std::isfinite(plot.x[i]) && std::isfinite(plot.residuals[i])) {
      line(out, sx(plot.x[i]), zero, sx(plot.x[i]), sr(plot.residuals[i]));
    }
  }
  out += "</g>\n";
  out += std::string("<g class=\"residuals\" fill=\"") + kDataColour + "\" stroke=\"none\">\n";
  for (std::size_t i = 0; i < residualCount; i += stride) {
    if (std::isfinite(plot.x[i]) && std::isfinite(plot.residuals[i])) {
      circle(out, sx(plot.x[i]), sr(plot.residuals[i]), "3");
    }
  }
  out += "</g>\n";

  // Frames last, over the grid and the marks at the edges.
  const std::string frame = std::string("fill=\"none\" stroke=\"") + kFrameColour + "\" stroke-width=\"1.2\"";
  rect(out, kLeft, kMainTop, kRight, kMainBottom, "id=\"plot-area\" " + frame);
  rect(out, kLeft, kResidualTop, kRight, kResidualBottom, "id=\"residual-area\" " + frame);
  out += "</svg>\n";
  return out;
}

}  // namespace

bool replaceFile(const std::string& path, const std::string& text, std::string* error) {
  const std::size_t slash = path.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = directory + "/." + base + ".XXXXXX";
  const int fd = ::mkstemp(&temporary[0]);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; give it the mode a new file gets.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    ok = wrote > 0;
    if (ok) done += static_cast<std::size_t>(wrote);
  }
  ok = ok && ::fsync(fd) == 0;
  const int code = errno;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int reason = errno != 0 ? errno : code;
    ::unlink(temporary.c_str());
    if (error != nullptr) *error = "cannot write " + path + ": " + std::strerror(reason);
    return false;
  }
  return true;
}

bool writeFitPlot(const std::string& path, const FitPlot& plot, std::string* error) {
  return replaceFile(path, renderFitPlot(plot), error);
}

}  // namespace svgplot
