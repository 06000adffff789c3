// The SVG picture of a fit (examples/svg_plot.h): tick steps and labels, the
// sample grid, and documents that must stay well-formed XML without "nan"
// or "inf" whatever the data look like.
#include "svg_plot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <regex>
#include <string>
#include <vector>

namespace {

using svgplot::FitPlot;
using svgplot::TickStep;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// A small well-formedness check: balanced and properly nested elements,
// quoted attributes, '<' never in text or values, '&' only as one of the
// five predefined entities. Returns "" or the first problem.
std::string xmlProblem(const std::string& doc) {
  const std::size_t n = doc.size();
  auto isNameChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '-' || c == '.';
  };
  auto entityAt = [&](std::size_t i) {
    for (const char* e : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
      if (doc.compare(i, std::strlen(e), e) == 0) return true;
    }
    return false;
  };
  auto skipSpace = [&](std::size_t i) {
    while (i < n && std::isspace(static_cast<unsigned char>(doc[i]))) ++i;
    return i;
  };
  auto name = [&](std::size_t& i) {
    const std::size_t from = i;
    while (i < n && isNameChar(doc[i])) ++i;
    return doc.substr(from, i - from);
  };
  std::vector<std::string> open;
  bool rootSeen = false;
  std::size_t i = doc.compare(0, 5, "<?xml") == 0 ? doc.find("?>") + 2 : 0;
  while (i < n) {
    const std::string at = " at " + std::to_string(i);
    if (doc[i] == '&' && !entityAt(i)) return "bare &" + at;
    if (doc[i] != '<') {
      if (open.empty() && !std::isspace(static_cast<unsigned char>(doc[i]))) return "text outside the root" + at;
      ++i;
      continue;
    }
    ++i;
    const bool closing = i < n && doc[i] == '/';
    if (closing) ++i;
    const std::string element = name(i);
    if (element.empty()) return "tag without a name" + at;
    bool selfClosing = false;
    for (;;) {
      i = skipSpace(i);
      if (i < n && doc[i] == '>') break;
      if (!closing && doc.compare(i, 2, "/>") == 0) {
        selfClosing = true;
        ++i;
        break;
      }
      if (closing || name(i).empty()) return "malformed tag <" + element + at;
      i = skipSpace(i);
      if (i >= n || doc[i] != '=') return "attribute without a value in <" + element + at;
      i = skipSpace(i + 1);
      if (i >= n || (doc[i] != '"' && doc[i] != '\'')) return "unquoted value in <" + element + at;
      const std::size_t close = doc.find(doc[i], i + 1);
      if (close == std::string::npos) return "unterminated value" + at;
      for (std::size_t k = i + 1; k < close; ++k) {
        if (doc[k] == '<' || (doc[k] == '&' && !entityAt(k))) return "bad character in a value" + at;
      }
      i = close + 1;
    }
    ++i;  // past '>'
    if (closing) {
      if (open.empty() || open.back() != element) return "unbalanced </" + element + ">" + at;
      open.pop_back();
    } else {
      if (open.empty() && rootSeen) return "second root element " + element;
      rootSeen = true;
      if (!selfClosing) open.push_back(element);
    }
  }
  if (!open.empty()) return "unclosed <" + open.back() + ">";
  return rootSeen ? "" : "no element";
}

std::string lowercase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Well-formed, an <svg> root in the SVG namespace, no nan or inf anywhere.
void expectSoundDocument(const std::string& doc) {
  EXPECT_EQ(xmlProblem(doc), "");
  EXPECT_NE(doc.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_EQ(lowercase(doc).find("nan"), std::string::npos);
  EXPECT_EQ(lowercase(doc).find("inf"), std::string::npos);
}

// The content of the first <g class="name"> element.
std::string group(const std::string& doc, const std::string& name) {
  const std::size_t start = doc.find("<g class=\"" + name + "\"");
  if (start == std::string::npos) return "";
  return doc.substr(start, doc.find("</g>", start) - start);
}

// Every value of the attribute in text, in order.
std::vector<double> attributeValues(const std::string& text, const std::string& attribute) {
  const std::regex pattern(" " + attribute + "=\"([^\"]*)\"");
  std::vector<double> values;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it) {
    values.push_back(std::stod((*it)[1]));
  }
  return values;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

FitPlot straightLineFit() {
  FitPlot plot;
  plot.title = "line";
  plot.x = {1.0, 2.0, 3.0, 4.0};
  plot.y = {0.5, 3.5, 6.5, 8.5};
  plot.curveX = svgplot::sampleGrid(1.0, 4.0, 50);
  for (double x : plot.curveX) plot.curveY.push_back(2.0 * x);
  for (std::size_t i = 0; i < plot.x.size(); ++i) plot.residuals.push_back(2.0 * plot.x[i] - plot.y[i]);
  return plot;
}

TEST(SvgTicks, StepIsTheSmallestOneTwoFiveStepWithinTheIntervalLimit) {
  struct Case {
    double lo, hi;
    int maxIntervals;
    int digits, exponent;
  };
  const Case cases[] = {
      {0.0, 1.0, 10, 1, -1},   {0.0, 1.0, 4, 5, -1},     {0.0, 100.0, 10, 1, 1},  // exactly on a step
      {9.65, 78.18, 8, 1, 1},  {-0.13, 0.13, 4, 1, -1},  {1e6, 5e6, 8, 5, 5},
      {-3e-7, -1e-7, 5, 5, -8}, {0.0, 0.3, 10, 5, -2},
  };
  for (const Case& c : cases) {
    const TickStep step = svgplot::niceStep(c.lo, c.hi, c.maxIntervals);
    EXPECT_EQ(step.stepDigits, c.digits) << c.lo << ".." << c.hi << " / " << c.maxIntervals;
    EXPECT_EQ(step.stepExponent, c.exponent) << c.lo << ".." << c.hi << " / " << c.maxIntervals;
  }
  // Over many spans: at most maxIntervals intervals, and the next smaller
  // 1-2-5 step would give more.
  for (double span = 1e-9; span < 1e9; span *= 1.37) {
    for (int maxIntervals : {3, 4, 8, 10}) {
      const TickStep step = svgplot::niceStep(-0.3 * span, 0.7 * span, maxIntervals);
      ASSERT_TRUE(step.stepDigits == 1 || step.stepDigits == 2 || step.stepDigits == 5);
      TickStep smaller = step;
      if (step.stepDigits == 1) {
        smaller.stepDigits = 5;
        smaller.stepExponent = step.stepExponent - 1;
      } else {
        smaller.stepDigits = step.stepDigits == 5 ? 2 : 1;
      }
      EXPECT_LE(span / step.value(), maxIntervals * (1.0 + 1e-12)) << span;
      EXPECT_GT(span / smaller.value(), maxIntervals * (1.0 - 1e-12)) << span;
    }
  }
}

TEST(SvgTicks, TicksAreTheMultiplesOfTheStepInsideTheRange) {
  const TickStep tenth{1, -1};
  const std::vector<double> fromZeroToOne = svgplot::ticksWithin(0.0, 1.0, tenth);
  ASSERT_EQ(fromZeroToOne.size(), 11u);  // both ends included
  for (int k = 0; k <= 10; ++k) EXPECT_EQ(fromZeroToOne[static_cast<std::size_t>(k)], k / 10.0) << k;

  EXPECT_EQ(svgplot::ticksWithin(-1.2, 37.5, TickStep{1, 1}), (std::vector<double>{0.0, 10.0, 20.0, 30.0}));
  EXPECT_EQ(svgplot::ticksWithin(-5.5, -0.5, TickStep{2, 0}), (std::vector<double>{-4.0, -2.0}));
  EXPECT_EQ(svgplot::ticksWithin(0.21, 0.29, tenth), std::vector<double>{});
  EXPECT_EQ(svgplot::ticksWithin(1e17, 1e17 + 64.0, TickStep{1, 0}), std::vector<double>{});
  EXPECT_EQ(svgplot::ticksWithin(0.0, 1e6, TickStep{1, 0}), std::vector<double>{});
  const std::vector<double> tiny = svgplot::ticksWithin(-2.6e-9, 2.6e-9, TickStep{5, -10});
  ASSERT_EQ(tiny.size(), 11u);
  EXPECT_EQ(tiny[5], 0.0);
  EXPECT_FALSE(std::signbit(tiny[5]));
}

TEST(SvgTicks, LabelsShowTheDigitsTheStepNeeds) {
  EXPECT_EQ(svgplot::tickLabel(0.3, TickStep{1, -1}), "0.3");
  EXPECT_EQ(svgplot::tickLabel(0.25, TickStep{5, -2}), "0.25");
  EXPECT_EQ(svgplot::tickLabel(-1.5, TickStep{5, -1}), "-1.5");
  EXPECT_EQ(svgplot::tickLabel(40.0, TickStep{1, 1}), "40");
  EXPECT_EQ(svgplot::tickLabel(2.0, TickStep{2, -1}), "2.0");
  EXPECT_EQ(svgplot::tickLabel(0.0, TickStep{1, -1}), "0");
  EXPECT_EQ(svgplot::tickLabel(-0.0, TickStep{1, 2}), "0");
  EXPECT_EQ(svgplot::tickLabel(2.5e-5, TickStep{5, -6}), "2.5e-05");
  EXPECT_EQ(svgplot::tickLabel(-1e-4, TickStep{5, -5}), "-1.0e-04");
  EXPECT_EQ(svgplot::tickLabel(2.5e6, TickStep{5, 5}), "2.5e+06");
}

TEST(SvgPlot, SampleGridRunsFromEndToEnd) {
  const std::vector<double> grid = svgplot::sampleGrid(0.1, 0.7, 7);
  ASSERT_EQ(grid.size(), 7u);
  EXPECT_EQ(grid.front(), 0.1);
  EXPECT_EQ(grid.back(), 0.7);
  EXPECT_TRUE(std::is_sorted(grid.begin(), grid.end()));
  EXPECT_NEAR(grid[3], 0.4, 1e-15);
  EXPECT_EQ(svgplot::sampleGrid(3.0, 3.0, 4), (std::vector<double>{3.0, 3.0, 3.0, 3.0}));
  EXPECT_EQ(svgplot::sampleGrid(1.0, 2.0, 1), std::vector<double>{1.0});
  EXPECT_TRUE(svgplot::sampleGrid(1.0, 2.0, 0).empty());
  const std::vector<double> wide = svgplot::sampleGrid(-1.7e308, 1.7e308, 5);
  for (double v : wide) EXPECT_TRUE(std::isfinite(v));
}

TEST(SvgPlot, MarksSitWhereTheirValuesSay) {
  const FitPlot plot = straightLineFit();
  const std::string doc = svgplot::renderFitPlot(plot);
  expectSoundDocument(doc);

  // Observations: one circle each, left to right, higher y drawn higher up.
  const std::string observations = group(doc, "observations");
  const std::vector<double> cx = attributeValues(observations, "cx");
  const std::vector<double> cy = attributeValues(observations, "cy");
  ASSERT_EQ(cx.size(), 4u);
  EXPECT_TRUE(std::is_sorted(cx.begin(), cx.end()));
  EXPECT_TRUE(std::is_sorted(cy.rbegin(), cy.rend()));

  // Residuals 1.5, 0.5, -0.5, -0.5: above, above, below, below the zero line.
  const std::size_t zeroLine = doc.rfind("<line", doc.find("class=\"zero-line\""));
  const std::vector<double> zero = attributeValues(doc.substr(zeroLine, doc.find("/>", zeroLine) - zeroLine), "y1");
  const std::vector<double> ry = attributeValues(group(doc, "residuals"), "cy");
  ASSERT_EQ(ry.size(), 4u);
  ASSERT_FALSE(zero.empty());
  EXPECT_LT(ry[0], ry[1]);
  EXPECT_LT(ry[1], zero[0]);
  EXPECT_GT(ry[2], zero[0]);
  EXPECT_DOUBLE_EQ(ry[2], ry[3]);

  // The curve: one piece through all 50 samples; it passes under the
  // observation at x = 4 (y = 8.5 > 8).
  const std::size_t pathAt = doc.find("<path class=\"curve\"");
  ASSERT_NE(pathAt, std::string::npos);
  const std::string path = doc.substr(pathAt, doc.find("/>", pathAt) - pathAt);
  EXPECT_EQ(count(path, "M"), 1u);
  EXPECT_EQ(count(path, "L"), 49u);
  std::smatch last;
  ASSERT_TRUE(std::regex_search(path, last, std::regex(R"re(L([-0-9.]+) ([-0-9.]+)"$)re")));
  EXPECT_NEAR(std::stod(last[1]), cx[3], 0.01);
  EXPECT_GT(std::stod(last[2]), cy[3]);

  EXPECT_GE(count(group(doc, "x-ticks"), "class=\"tick-label\""), 4u);
  EXPECT_GE(count(group(doc, "y-ticks"), "class=\"tick-label\""), 4u);
  EXPECT_GE(count(group(doc, "residual-ticks"), "class=\"tick-label\""), 2u);
}

TEST(SvgPlot, DegenerateDataStillGiveASoundDocument) {
  FitPlot sameX;  // every observation at one x: a vertical column of points
  sameX.x = {5.0, 5.0, 5.0};
  sameX.y = {1.0, 2.0, 3.0};
  sameX.curveX = svgplot::sampleGrid(5.0, 5.0, 20);
  sameX.curveY.assign(20, 2.0);
  sameX.residuals = {1.0, 0.0, -1.0};

  FitPlot exact = straightLineFit();  // every residual zero
  exact.y = {2.0, 4.0, 6.0, 8.0};
  exact.residuals.assign(4, 0.0);

  FitPlot flat = straightLineFit();  // every observation and the curve at one level
  flat.y.assign(4, -7.25);
  flat.curveY.assign(flat.curveX.size(), -7.25);

  FitPlot empty;  // nothing to draw at all
  empty.title = "empty";

  FitPlot huge = straightLineFit();  // values near the largest double
  huge.y = {-1.7e308, 1.7e308, 0.0, 1e-300};
  huge.residuals = {1.7e308, -1.7e308, 0.0, 0.0};

  FitPlot holes = straightLineFit();  // non-finite observations and residuals
  holes.y[1] = kNaN;
  holes.residuals[2] = -kInf;

  for (const FitPlot* plot : {&sameX, &exact, &flat, &empty, &huge, &holes}) {
    SCOPED_TRACE(plot == &sameX ? "same x" : plot == &exact ? "exact" : plot == &flat ? "flat"
                 : plot == &empty ? "empty" : plot == &huge ? "huge" : "holes");
    const std::string doc = svgplot::renderFitPlot(*plot);
    expectSoundDocument(doc);
    EXPECT_GE(count(doc, "class=\"tick-label\""), 4u);
    const std::size_t finitePoints = plot == &holes ? 3u : plot->x.size();
    EXPECT_EQ(count(group(doc, "observations"), "<circle"), finitePoints);
  }
  EXPECT_EQ(count(group(svgplot::renderFitPlot(holes), "residuals"), "<circle"), 3u);
  EXPECT_EQ(svgplot::renderFitPlot(empty).find("<path"), std::string::npos);
}

TEST(SvgPlot, CurveBreaksAtNonFiniteAndFarOffValues) {
  FitPlot plot = straightLineFit();
  plot.curveY[10] = kNaN;
  plot.curveY[20] = kInf;
  plot.curveY[21] = -kInf;
  plot.curveY[30] = 1e300;  // a pole: must neither stretch the axis nor be drawn
  const std::string doc = svgplot::renderFitPlot(plot);
  expectSoundDocument(doc);
  const std::size_t pathAt = doc.find("<path class=\"curve\"");
  const std::string path = doc.substr(pathAt, doc.find("/>", pathAt) - pathAt);
  EXPECT_EQ(count(path, "M"), 4u);
  EXPECT_EQ(count(path, "M") + count(path, "L"), 50u - 4u);
  // The y axis still spans the observations, not the pole.
  EXPECT_GE(count(group(doc, "y-ticks"), "class=\"tick-label\""), 4u);
}

TEST(SvgPlot, TitlesAreEscapedAndKeptValidUtf8) {
  FitPlot plot = straightLineFit();
  plot.title = "a<b & \"c\" 'd' \xCE\xB2 \xFF\xC3( \x01 \xED\xA0\x80";
  plot.subtitle = "</svg>";
  plot.yTitle = "y > 0";
  const std::string doc = svgplot::renderFitPlot(plot);
  expectSoundDocument(doc);
  EXPECT_NE(doc.find("a&lt;b &amp; &quot;c&quot; &apos;d&apos; \xCE\xB2 ?" "?( ? ?" "??"), std::string::npos);
  EXPECT_NE(doc.find("&lt;/svg&gt;"), std::string::npos);
  EXPECT_NE(doc.find("y &gt; 0"), std::string::npos);
}

TEST(SvgPlot, WriteReportsAFileThatCannotBeCreated) {
  std::string error;
  EXPECT_FALSE(svgplot::writeFitPlot("/nonexistent-directory/plot.svg", straightLineFit(), &error));
  EXPECT_NE(error.find("cannot write /nonexistent-directory/plot.svg"), std::string::npos);
}

}  // namespace

namespace {

// Log axes place decades evenly and leave non-positive values out; a band is
// one closed path; many points are thinned with a note saying so.
TEST(SvgPlot, LogAxesBandsAndThinning) {
  FitPlot plot;
  plot.title = "power";
  plot.logX = plot.logY = true;
  plot.x = {-1.0, 1.0, 10.0, 100.0};
  plot.y = {1.0, 1.0, 10.0, 100.0};
  plot.curveX = svgplot::logGridOver(plot.x, 3);
  ASSERT_EQ(plot.curveX.size(), 3u);
  EXPECT_NEAR(plot.curveX[1], 10.0, 1e-12);
  plot.curveY = plot.curveX;
  for (double v : plot.curveY) {
    plot.bandLow.push_back(0.9 * v);
    plot.bandHigh.push_back(1.1 * v);
  }
  plot.residuals = {0.0, 0.0, 0.0, 0.0};
  std::string doc = svgplot::renderFitPlot(plot);
  expectSoundDocument(doc);
  const std::vector<double> cx = attributeValues(group(doc, "observations"), "cx");
  const std::vector<double> cy = attributeValues(group(doc, "observations"), "cy");
  ASSERT_EQ(cx.size(), 3u);
  EXPECT_NEAR(cx[1] - cx[0], cx[2] - cx[1], 1e-6);
  EXPECT_NEAR(cy[0] - cy[1], cy[1] - cy[2], 1e-6);
  EXPECT_EQ(count(doc, "class=\"confidence-band\""), 1u);
  for (const char* label : {">1<", ">2<", ">5<", ">10<", ">50<"}) {
    EXPECT_NE(group(doc, "x-ticks").find(label), std::string::npos) << label;
  }
  EXPECT_EQ(doc.find("points drawn"), std::string::npos);

  plot = FitPlot{};
  plot.x = svgplot::sampleGrid(0.0, 1.0, 9001);
  plot.y = plot.x;
  plot.residuals.assign(plot.x.size(), 0.0);
  doc = svgplot::renderFitPlot(plot);
  EXPECT_LE(count(group(doc, "observations"), "<circle"), svgplot::kDrawnPointsLimit);
  EXPECT_NE(doc.find("1 point in 3 drawn, of 9001"), std::string::npos);
}

}  // namespace
