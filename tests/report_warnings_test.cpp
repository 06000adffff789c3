// The report layer's warnings (nlfit_report_warnings): the codes a user or a
// program acts on, the same messages as the text report, and the runs test.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "nlfit/report.h"

namespace {

std::vector<std::string> codesOf(const nlfit_report_input& in, std::string* messages) {
  std::string text(nlfit_report_warnings(&in, nullptr, 0) + 1, '\0');
  text.resize(nlfit_report_warnings(&in, &text[0], text.size()));
  std::vector<std::string> codes;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    codes.push_back(line.substr(0, line.find('\t')));
    *messages += line.substr(line.find('\t') + 1) + "\n";
  }
  return codes;
}

TEST(ReportWarnings, NameTheProblemOnceWithTheTextReportsWords) {
  const char* names[] = {"a", "b", "k", "c"};
  double params[] = {1, 2, 3, 4};
  unsigned flags[] = {NLFIT_PARAM_UNDETERMINED, NLFIT_PARAM_UNDETERMINED, 0, 0};
  const unsigned char origin[] = {NLFIT_START_GIVEN, NLFIT_START_GIVEN, NLFIT_START_DEFAULT,
                                  NLFIT_START_DEFAULT};
  std::vector<double> x, residuals;
  for (int i = 0; i < 30; ++i) {
    x.push_back(29 - i);  // the order of x, not of the rows, counts
    residuals.push_back(i < 10 || i >= 20 ? 1.0 : -1.0);
  }
  nlfit_result result;
  nlfit_result_init(&result);
  result.status = NLFIT_CONVERGED_REDUCTION;
  result.converged = 1;
  result.dof = 27;
  result.rss = 400;
  result.chi2_p_value = 1e-60;
  result.parameter_flags = flags;
  nlfit_report_input in;
  nlfit_report_input_init(&in);
  in.points = 30;
  in.weighted = 1;
  in.absolute_sigma = 1;
  in.n = 4;
  in.parameter_names = names;
  in.params = params;
  in.result = &result;
  in.start_origin = origin;
  in.x = x.data();
  in.residuals = residuals.data();

  std::string messages;
  EXPECT_EQ(codesOf(in, &messages),
            (std::vector<std::string>{"start_default", "undetermined", "chi2_low",
                                      "structured_residuals"}));
  EXPECT_NE(messages.find("no start value for k and c; started at 1"), std::string::npos);
  EXPECT_NE(messages.find("a and b enter only together"), std::string::npos);
  EXPECT_NE(messages.find("sigma too small, or the model does not fit"), std::string::npos);
  std::string text(nlfit_report_format(&in, nullptr, 0) + 1, '\0');
  text.resize(nlfit_report_format(&in, &text[0], text.size()));
  std::istringstream lines(messages);
  for (std::string m; std::getline(lines, m);) {
    EXPECT_NE(text.find("Warning: " + m + "\n"), std::string::npos) << m;
  }

  // A good fit: alternating signs, p in range, every start given.
  for (std::size_t i = 0; i < residuals.size(); ++i) residuals[i] = (i % 3 == 0) ? 1.0 : -1.0;
  flags[0] = flags[1] = 0;
  result.chi2_p_value = 0.5;
  in.start_origin = nullptr;
  messages.clear();
  EXPECT_TRUE(codesOf(in, &messages).empty()) << messages;
  result.chi2_p_value = 0.9999;
  EXPECT_EQ(codesOf(in, &messages), std::vector<std::string>{"chi2_high"});
}

TEST(ReportWarnings, RunsTestPValue) {
  std::vector<double> x(40), blocks(40), alternating(40);
  for (int i = 0; i < 40; ++i) {
    x[i] = i;
    blocks[i] = i < 20 ? 1.0 : -1.0;
    alternating[i] = i % 2 ? 1.0 : -1.0;
  }
  EXPECT_LT(nlfit_report_runs_p_value(40, x.data(), blocks.data()), 1e-6);
  EXPECT_GT(nlfit_report_runs_p_value(40, x.data(), alternating.data()), 0.999);
  EXPECT_TRUE(std::isnan(nlfit_report_runs_p_value(9, x.data(), blocks.data())));
  EXPECT_TRUE(std::isnan(nlfit_report_runs_p_value(20, x.data(), blocks.data())));  // one sign
}

}  // namespace
