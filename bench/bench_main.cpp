// The run of a benchmark program, shared by all of them.
//
// The library writes one progress line per outer iteration to standard
// output. To keep that out of the report without hiding its cost, file
// descriptor 1 is pointed at /dev/null for the whole run and stdout is fully
// buffered: formatting every line stays in the measurement, the write(2)
// calls are amortised over many lines, as for a host whose output is a file
// or a pipe. The report goes to a duplicate of the original standard output
// (and, with --benchmark_out=FILE, to that file as usual).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench_main.h"

#include <cstdio>
#include <iostream>
#include <streambuf>

namespace {

// An output stream buffer over a raw file descriptor.
class FdStreamBuf : public std::streambuf {
 public:
  explicit FdStreamBuf(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
  ~FdStreamBuf() override { sync(); }

 protected:
  int_type overflow(int_type ch) override {
    if (flush() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }
  int sync() override { return flush(); }

 private:
  int flush() {
    const char* p = pbase();
    while (p < pptr()) {
      const ssize_t written = ::write(fd_, p, static_cast<std::size_t>(pptr() - p));
      if (written <= 0) return -1;
      p += written;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return 0;
  }

  int fd_;
  char buffer_[4096];
};

}  // namespace

int runBenchmarks(int argc, char** argv, void (*registerBenchmarks)()) {
  // Must precede any other use of stdout.
  static char stdoutBuffer[1 << 16];
  std::setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (registerBenchmarks != nullptr) registerBenchmarks();

  // Created while fd 1 is still the terminal, so that colour detection sees
  // where the report really goes.
  benchmark::BenchmarkReporter* display = benchmark::CreateDefaultDisplayReporter();

  std::fflush(stdout);
  const int reportFd = ::dup(STDOUT_FILENO);
  const int devNull = ::open("/dev/null", O_WRONLY);
  if (reportFd < 0 || devNull < 0 || ::dup2(devNull, STDOUT_FILENO) < 0) {
    std::perror("redirecting standard output");
    return 1;
  }
  ::close(devNull);

  FdStreamBuf reportBuf(reportFd);
  std::ostream report(&reportBuf);
  display->SetOutputStream(&report);
  display->SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(display);
  report.flush();
  benchmark::Shutdown();

  std::fflush(stdout);
  ::close(reportFd);
  return 0;
}
