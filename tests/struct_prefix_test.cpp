// Public structures read and written by the caller's struct_size: a caller
// compiled against an older, shorter layout gets the defaults for the fields
// it lacks and nothing written beyond its structure; a size below the first
// layout is refused by every entry point.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "api/struct_prefix.h"
#include "nlfit/fit.h"
#include "nlfit/report.h"

// A structure one field longer than its first layout, and that first layout.
struct Grown {
  std::size_t struct_size;
  double a;
  double appended;
};
struct GrownFirstLayout {
  std::size_t struct_size;
  double a;
};
void fillDefaults(Grown* g) {
  g->a = 1.0;
  g->appended = 7.0;
}
template <>
struct nlfit::FirstLayout<Grown> {
  static constexpr std::size_t size = sizeof(GrownFirstLayout);
};

namespace {

constexpr unsigned char kCanary = 0xA5;

double line(double x, const double* p, void*) { return p[0] + p[1] * x; }

TEST(StructPrefix, OlderCallerGetsDefaultsAndNothingWrittenBeyondIt) {
  struct {
    GrownFirstLayout old;
    unsigned char beyond[16];
  } caller;
  std::memset(&caller, kCanary, sizeof caller);
  caller.old = {sizeof(GrownFirstLayout), 5.0};
  const Grown* asGrown = reinterpret_cast<const Grown*>(&caller.old);

  Grown own;
  ASSERT_TRUE(nlfit::readPrefix(asGrown, &own));
  EXPECT_EQ(own.a, 5.0);
  EXPECT_EQ(own.appended, 7.0);  // the default, not the bytes after the caller's
  own.a = 9.0;
  own.appended = 11.0;
  nlfit::writePrefix(own, reinterpret_cast<Grown*>(&caller.old));
  EXPECT_EQ(caller.old.a, 9.0);
  EXPECT_EQ(caller.old.struct_size, sizeof(GrownFirstLayout));
  for (unsigned char b : caller.beyond) EXPECT_EQ(b, kCanary);

  // Initialising an older layout writes only its bytes; a newer, longer one
  // gets zeros beyond the fields this library knows.
  std::memset(&caller, kCanary, sizeof caller);
  nlfit::initPrefix(reinterpret_cast<Grown*>(&caller.old), sizeof(GrownFirstLayout),
                    [](Grown& g) { fillDefaults(&g); });
  EXPECT_EQ(caller.old.a, 1.0);
  for (unsigned char b : caller.beyond) EXPECT_EQ(b, kCanary);
  nlfit::initPrefix(reinterpret_cast<Grown*>(&caller.old), sizeof caller,
                    [](Grown& g) { fillDefaults(&g); });
  EXPECT_EQ(caller.old.struct_size, sizeof caller);
  for (std::size_t i = sizeof(Grown); i < sizeof caller; ++i) {
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&caller)[i], 0u);
  }

  caller.old.struct_size = sizeof(GrownFirstLayout) - 1;
  EXPECT_FALSE(nlfit::readPrefix(asGrown, &own));
}

// The fit of a line through three points with options and a result whose
// struct_size is given; the bytes past it are canaries.
struct SizedFit {
  std::vector<unsigned char> options, result;
  int status = 0;
  double params[2] = {0.0, 0.0};

  SizedFit(std::size_t optionsSize, std::size_t resultSize) {
    options.assign(sizeof(nlfit_options) + 32, kCanary);
    result.assign(sizeof(nlfit_result) + 32, kCanary);
    nlfit_options_init_size(reinterpret_cast<nlfit_options*>(options.data()), optionsSize);
    nlfit_result_init_size(reinterpret_cast<nlfit_result*>(result.data()), resultSize);
    const double x[3] = {0, 1, 2}, y[3] = {1, 3, 5.5};
    status = nlfit_fit(line, nullptr, 2, params, 3, x, y,
                       reinterpret_cast<nlfit_options*>(options.data()),
                       reinterpret_cast<nlfit_result*>(result.data()));
  }
  const nlfit_result& r() const { return *reinterpret_cast<const nlfit_result*>(result.data()); }
};

TEST(StructPrefix, FitsReadAndWriteOnlyTheCallersFields) {
  const std::size_t firstOptions = nlfit::FirstLayout<nlfit_options>::size;
  const std::size_t firstResult = nlfit::FirstLayout<nlfit_result>::size;
  const SizedFit full(sizeof(nlfit_options), sizeof(nlfit_result));
  ASSERT_GT(full.status, 0);
  const SizedFit first(firstOptions, firstResult);
  const SizedFit newer(sizeof(nlfit_options) + 32, sizeof(nlfit_result) + 32);
  for (const SizedFit* f : {&first, &newer}) {
    EXPECT_EQ(f->status, full.status);
    EXPECT_EQ(std::memcmp(f->params, full.params, sizeof full.params), 0);
    EXPECT_EQ(std::memcmp(&f->r().rss, &full.r().rss, sizeof(double)), 0);
  }
  for (std::size_t i = firstResult; i < first.result.size(); ++i) {
    EXPECT_EQ(first.result[i], kCanary) << "result byte " << i;
  }

  // Below the first layout: refused, and such a result is not touched.
  const SizedFit shortOptions(firstOptions - 1, sizeof(nlfit_result));
  EXPECT_EQ(shortOptions.status, NLFIT_REFUSED_BAD_OPTION);
  EXPECT_EQ(shortOptions.r().status, NLFIT_REFUSED_BAD_OPTION);
  const SizedFit shortResult(sizeof(nlfit_options), firstResult - 1);
  EXPECT_EQ(shortResult.status, NLFIT_REFUSED_BAD_OPTION);
  EXPECT_EQ(shortResult.r().status, 0);
  EXPECT_EQ(shortResult.params[0], 0.0);
}

TEST(StructPrefix, BatchAndReportRefuseAStructBelowTheFirstLayout) {
  const double x[3] = {0, 1, 2}, y[3] = {1, 3, 5.5}, start[2] = {0, 0};
  double params[2];
  nlfit_options fit;
  nlfit_options_init(&fit);
  nlfit_batch_options options;
  nlfit_batch_options_init(&options);
  options.threads = 1;
  options.fit = &fit;
  nlfit_batch_data data;
  nlfit_batch_data_init(&data);
  data.curves = 1;
  data.points = 3;
  data.x = x;
  data.y = y;
  data.start = start;
  nlfit_batch_outputs outputs;
  nlfit_batch_outputs_init(&outputs);
  outputs.params = params;
  EXPECT_EQ(nlfit_fit_many(nullptr, line, nullptr, 2, &data, &options, &outputs), NLFIT_OK);
  std::size_t* sizes[] = {&fit.struct_size, &options.struct_size, &data.struct_size,
                          &outputs.struct_size};
  for (std::size_t* size : sizes) {
    const std::size_t saved = *size;
    *size = sizeof(std::size_t);
    EXPECT_EQ(nlfit_fit_many(nullptr, line, nullptr, 2, &data, &options, &outputs),
              NLFIT_REFUSED_BAD_OPTION);
    *size = saved;
  }

  nlfit_result result;
  nlfit_result_init(&result);
  const char* names[2] = {"a", "b"};
  nlfit_report_input input;
  nlfit_report_input_init(&input);
  input.n = 2;
  input.parameter_names = names;
  input.params = params;
  input.result = &result;
  EXPECT_GT(nlfit_report_format(&input, nullptr, 0), 0u);
  input.struct_size = 0;
  EXPECT_EQ(nlfit_report_format(&input, nullptr, 0), 0u);
  input.struct_size = sizeof input;
  result.struct_size = 0;
  EXPECT_EQ(nlfit_report_format(&input, nullptr, 0), 0u);
}

}  // namespace
