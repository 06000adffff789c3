// Standard output captured at the file-descriptor level, for the fuzz
// harnesses' check that a call prints nothing (or only what it should).
#ifndef NLFIT_FUZZ_STDOUT_CAPTURE_H
#define NLFIT_FUZZ_STDOUT_CAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace nlfit_fuzz {

// Redirects file descriptor 1 into a temporary file for the length of one
// call; the file is reused from call to call.
class StdoutCapture {
 public:
  ~StdoutCapture() {
    if (file_ != nullptr) std::fclose(file_);
  }
  void start() {
    if (file_ == nullptr) file_ = std::tmpfile();
    if (file_ == nullptr) std::abort();
    std::fflush(stdout);
    const int fd = fileno(file_);
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) std::abort();
    saved_ = dup(1);
    if (saved_ < 0 || dup2(fd, 1) < 0) std::abort();
  }
  std::string stop() {
    std::fflush(stdout);
    if (dup2(saved_, 1) < 0) std::abort();
    close(saved_);
    const int fd = fileno(file_);
    std::string text;
    if (lseek(fd, 0, SEEK_SET) != 0) std::abort();
    char buf[4096];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(got));
    return text;
  }

 private:
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

}  // namespace nlfit_fuzz

#endif  // NLFIT_FUZZ_STDOUT_CAPTURE_H
