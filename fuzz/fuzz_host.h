// SPDX-License-Identifier: BSD-3-Clause
// What every fuzz target shares: a fresh reference host for each input with both devices
// captured, a check that stops the run on a broken invariant, and a scratch directory.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <kvoblk/kvoblk.h>
#include "kvorefhost.h"

namespace kvofuzz {

// A broken invariant: say which and stop, so that the fuzzer keeps the input.
[[noreturn]] inline void broken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
  std::abort();
}
#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::kvofuzz::broken(#condition, __FILE__, __LINE__))

// The reference host for one input: reset, devices captured (the text is kept for checks and
// never printed), and the workspace moving on every allocation as in the test suite. The host
// is reset again at the end, which releases lists and pattern objects.
struct Host {
  Host() {
    kvoref::reset();
    kvoref::set_moving_workspace(true);
    kvoref::capture(kvHisDev, true);
    kvoref::capture(kvRepDev, true);
  }
  ~Host() { kvoref::reset(); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  std::string his() { return kvoref::take(kvHisDev); }
};

// A directory of this process for the files an input is written to.
inline const std::filesystem::path& scratch() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path d =
        std::filesystem::temp_directory_path() / ("kvofuzz_" + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                      ("kvofuzz_" + std::to_string(getpid())),
                                  ec);
    });
    return d;
  }();
  return dir;
}

// Reads the input a byte or a few at a time; past the end it answers zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  bool empty() const { return i_ >= n_; }
  uint8_t byte() { return i_ < n_ ? p_[i_++] : 0; }
  template <class T>
  T value() {
    T v{};
    unsigned char* b = reinterpret_cast<unsigned char*>(&v);
    for (size_t k = 0; k < sizeof(T); ++k) b[k] = byte();
    return v;
  }
  // Up to `most` bytes, the count taken from the input.
  std::string bytes(size_t most) {
    size_t want = byte();
    if (want > most) want = most;
    std::string s;
    while (s.size() < want && i_ < n_) s.push_back(static_cast<char>(p_[i_++]));
    return s;
  }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t i_ = 0;
};

}  // namespace kvofuzz
