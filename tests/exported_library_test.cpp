// The shared library as a host sees it: loaded by path with dlopen, its two
// functions found by name, its progress lines on the process's real standard
// output. This program does not link the library.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "nlfit.h"
#include "test_support.h"

namespace {

using FindLsFunction = decltype(&findLS);
using ModelFctFunction = decltype(&theModelFct);

struct Library {
  void* handle = nullptr;
  FindLsFunction findLS = nullptr;
  ModelFctFunction theModelFct = nullptr;
};

// Null members when the library or a name cannot be found.
Library openLibrary() {
  Library lib;
  lib.handle = dlopen(NLFIT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (lib.handle == nullptr) return lib;
  lib.findLS = reinterpret_cast<FindLsFunction>(dlsym(lib.handle, "findLS"));
  lib.theModelFct = reinterpret_cast<ModelFctFunction>(dlsym(lib.handle, "theModelFct"));
  return lib;
}

double decayModel(double x, double p0, double p1, double, double, double) {
  return p0 * std::exp(-p1 * x);
}
double constantModel(double, double, double, double, double, double) { return 42.0; }

const double kX[] = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0};
const double kY[] = {2.0, 1.2, 0.75, 0.45, 0.27, 0.16};

struct ChildRun {
  std::string output;
  int exitStatus = -1;
};

// Runs body in a child process whose standard output is a pipe, and returns
// what the child wrote there and the value body returned as its exit status.
template <typename Body>
ChildRun runInChild(Body body) {
  ChildRun run;
  int fds[2];
  if (pipe(fds) != 0) return run;
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    const int status = body();
    std::fflush(stdout);
    _exit(status);
  }
  close(fds[1]);
  char buffer[4096];
  for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) {
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(fds[0]);
  int wstatus = 0;
  if (waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) run.exitStatus = WEXITSTATUS(wstatus);
  return run;
}

// The fit every test here runs, printed after its progress lines.
int fitDecay(const Library& lib) {
  double params[2] = {1.0, 0.1};
  const double status = lib.findLS(decayModel, 2, 6, kX, kY, params);
  const double fitted[5] = {params[0], params[1], 0.0, 0.0, 0.0};
  std::printf("status %.1f\nparams %.17g %.17g\nmodel %.17g\n", status, params[0], params[1],
              lib.theModelFct(2.5, fitted, 2));
  return 0;
}

TEST(ExportedLibrary, LoadsByPathAndResolvesBothNames) {
  const Library lib = openLibrary();
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  EXPECT_NE(lib.findLS, nullptr);
  EXPECT_NE(lib.theModelFct, nullptr);
  dlclose(lib.handle);
}

TEST(ExportedLibrary, FitPrintsItsProgressOnTheRealStandardOutput) {
  const ChildRun child = runInChild([] {
    const Library lib = openLibrary();
    if (lib.findLS == nullptr || lib.theModelFct == nullptr) return 3;
    const double p[5] = {1.0, 1.0, 1.0, 1.0, 1.0};
    std::printf("before %s\n", std::isnan(lib.theModelFct(1.0, p, 2)) ? "nan" : "number");
    return fitDecay(lib);
  });
  ASSERT_EQ(child.exitStatus, 0) << child.output;

  const std::string before = "before nan\n";
  ASSERT_EQ(child.output.compare(0, before.size(), before), 0) << child.output;
  const std::string fitOutput = child.output.substr(before.size());
  const std::size_t statusAt = fitOutput.find("status ");
  ASSERT_NE(statusAt, std::string::npos) << child.output;
  const std::string progress = fitOutput.substr(0, statusAt);
  EXPECT_GE(nlfit_test::countLinesStartingWith(progress, "fnorm "), 1);
  EXPECT_EQ(nlfit_test::countLinesStartingWith(progress, ""),
            nlfit_test::countLinesStartingWith(progress, "fnorm "))
      << progress;

  double status = -1.0;
  double p0 = 0.0;
  double p1 = 0.0;
  double model = 0.0;
  ASSERT_EQ(std::sscanf(fitOutput.c_str() + statusAt, "status %lf\nparams %lf %lf\nmodel %lf", &status,
                        &p0, &p1, &model),
            4)
      << fitOutput;
  EXPECT_EQ(status, 0.0);
  EXPECT_NEAR(p0, 2.0, 0.05);
  EXPECT_NEAR(p1, 0.5, 0.02);
  EXPECT_NEAR(model, decayModel(2.5, p0, p1, 0.0, 0.0, 0.0), 1e-12);

  // The same fit in this process gives the same bits: the library's output
  // depends on nothing but its inputs.
  const Library lib = openLibrary();
  ASSERT_NE(lib.findLS, nullptr);
  const std::string here = nlfit_test::captureStdout([&] { fitDecay(lib); });
  EXPECT_EQ(here, fitOutput);
  dlclose(lib.handle);
}

TEST(ExportedLibrary, RefusalsPrintNothingAndStillRegisterTheModel) {
  const ChildRun child = runInChild([] {
    const Library lib = openLibrary();
    if (lib.findLS == nullptr || lib.theModelFct == nullptr) return 3;
    double params[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const double p[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
    std::printf("%.1f ", lib.findLS(constantModel, 10, 6, kX, kY, params));
    std::printf("%.1f ", lib.theModelFct(0.0, p, 2));
    double y[6] = {2.0, 1.2, std::numeric_limits<double>::quiet_NaN(), 0.45, 0.27, 0.16};
    std::printf("%.1f ", lib.findLS(decayModel, 2, 6, kX, y, params));
    std::printf("%.1f ", lib.findLS(decayModel, 2, 1001, kX, kY, params));
    std::printf("%.1f ", lib.findLS(nullptr, 2, 6, kX, kY, params));
    std::printf("%.1f %.1f\n", params[0], params[9]);
    return 0;
  });
  EXPECT_EQ(child.exitStatus, 0);
  EXPECT_EQ(child.output, "1.0 42.0 1.0 2.0 1.0 1.0 10.0\n");
}

}  // namespace
