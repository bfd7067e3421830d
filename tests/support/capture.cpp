// SPDX-License-Identifier: BSD-3-Clause
// Capture of the standard error stream through a temporary file.
#include "capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kvotest {

void StderrCapture::start() {
  if (file_ >= 0) return;
  std::fflush(stderr);
  char name[] = "/tmp/kvotest-stderr-XXXXXX";
  file_ = mkstemp(name);
  if (file_ < 0) return;
  unlink(name);  // the file lives as long as it is open
  saved_ = dup(2);
  dup2(file_, 2);
}

std::string StderrCapture::take() {
  if (file_ < 0) return "";
  std::fflush(stderr);
  std::string text;
  char buffer[4096];
  lseek(file_, 0, SEEK_SET);
  for (ssize_t n; (n = read(file_, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  // Start again at the beginning of an empty file; descriptor 2 shares the offset.
  if (ftruncate(file_, 0) != 0) text += "(capture could not be cleared)";
  lseek(file_, 0, SEEK_SET);
  return text;
}

void StderrCapture::stop() {
  if (file_ < 0) return;
  std::fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  close(file_);
  saved_ = file_ = -1;
}

}  // namespace kvotest
