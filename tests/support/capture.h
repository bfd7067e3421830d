// SPDX-License-Identifier: BSD-3-Clause
// Capture of the standard error stream for tests: file descriptor 2 goes to a temporary file
// while capturing, and the text written so far can be taken at any time.
#pragma once

#include <string>

namespace kvotest {

class StderrCapture {
 public:
  StderrCapture() = default;
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() { stop(); }

  void start();        // captures from now on (no effect while capturing)
  std::string take();  // the text written since start or the last take; capturing goes on
  void stop();         // the stream goes back where it went before

 private:
  int saved_ = -1;  // the descriptor the stream had before
  int file_ = -1;   // the temporary file
};

}  // namespace kvotest
