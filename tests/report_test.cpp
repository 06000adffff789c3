// The text report of a fit (nlfit_report_format) on a made-up result: the
// snprintf size convention and the one-line warnings a user must not miss.
#include "nlfit/report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

std::string format(const nlfit_report_input& input) {
  const size_t length = nlfit_report_format(&input, nullptr, 0);
  std::string text(length + 1, '\0');
  EXPECT_EQ(nlfit_report_format(&input, &text[0], text.size()), length);
  text.resize(length);
  // A short buffer gets the start of the same text, terminated.
  char shortBuffer[8];
  EXPECT_EQ(nlfit_report_format(&input, shortBuffer, sizeof shortBuffer), length);
  EXPECT_EQ(std::string(shortBuffer), text.substr(0, 7));
  return text;
}

TEST(Report, ShowsEachParametersStateAndWarnsOnce) {
  const double nan = std::nan("");
  const char* names[] = {"a", "b", "c", "d", "e"};
  double params[] = {2.0, 3.0, 1.0, 7.0, 5.0};
  double start[] = {1.0, 1.0, 1.0, 7.0, 4.0};
  double se[] = {0.1, 0.2, nan, 0.0, 0.5};
  double lo[] = {1.8, 2.6, nan, 7.0, 4.0};
  double hi[] = {2.2, 3.4, nan, 7.0, 6.0};
  double corr[25];
  for (int i = 0; i < 25; ++i) corr[i] = (i % 6 == 0) ? 1.0 : 0.0;
  corr[0 * 5 + 1] = corr[1 * 5 + 0] = -0.995;
  unsigned flags[] = {0, 0, NLFIT_PARAM_UNDETERMINED | NLFIT_PARAM_AT_START, NLFIT_PARAM_HELD,
                      NLFIT_PARAM_NO_EFFECT};
  nlfit_result result;
  nlfit_result_init(&result);
  result.status = NLFIT_STOPPED_EVALUATIONS;
  result.converged = 0;
  result.iterations = 12;
  result.evaluations = 800;
  result.dof = 6;
  result.rss = 0.5;
  result.reduced_chi2 = 0.5 / 6;
  result.r_squared = 0.99;
  result.std_errors = se;
  result.ci_low = lo;
  result.ci_high = hi;
  result.correlation = corr;
  result.parameter_flags = flags;
  nlfit_report_input input;
  nlfit_report_input_init(&input);
  input.model_name = "formula";
  input.formula = "a*x+b";
  input.data_file = "d.csv";
  input.points = 10;
  input.skipped_points = 2;
  input.n = 5;
  input.parameter_names = names;
  input.params = params;
  input.start = start;
  input.result = &result;
  input.certified_rss = nan;

  const std::string text = format(input);
  for (const char* expected :
       {"Model:    formula: y = a*x+b\n", "Data:     d.csv, 10 points (2 rows with NaN or infinity skipped), unweighted\n",
        "12 iterations, 800 evaluations\n", "NOT converged.\n", "held", "undetermined",
        "RSS ", "Warning: the fit did not converge",
        "Warning: c is undetermined", "Warning: e does not change the residuals; hold it with --fix e=VALUE\n",
        "Warning: a and b are correlated at -0.9950"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
  // A held parameter is not "at its start"; c is reported as undetermined only.
  EXPECT_EQ(text.find("did not move"), std::string::npos) << text;
  EXPECT_EQ(text.find("Certified"), std::string::npos);
  EXPECT_EQ(nlfit_report_format(nullptr, nullptr, 0), 0u);
}

TEST(Report, DigitsOfAgreement) {
  EXPECT_EQ(nlfit_report_digits(1.0, 1.0), 15.0);
  EXPECT_NEAR(nlfit_report_digits(1.001, 1.0), 3.0, 1e-9);
  EXPECT_NEAR(nlfit_report_digits(1e-6, 0.0), 6.0, 1e-9);
  EXPECT_EQ(nlfit_report_digits(3.0, 1.0), 0.0);
  EXPECT_EQ(nlfit_report_digits(std::nan(""), 1.0), 0.0);
}

}  // namespace
