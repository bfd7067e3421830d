// SPDX-License-Identifier: BSD-3-Clause
// The shared test fixture and the nothrow-new failure switch.
#include "fixture.h"

#include <fstream>
#include <new>
#include <sstream>

namespace {
int nothrow_countdown = 0;
}

// Replaces the nothrow form of operator new for the whole test program, the library included,
// so that tests can make one heap request fail. It allocates through the ordinary operator new
// so that deletes stay matched.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (nothrow_countdown > 0 && --nothrow_countdown == 0) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace kvotest {

void fail_nothrow_new_after(int n) { nothrow_countdown = n; }

std::string golden(const std::string& name) {
  std::ifstream in(std::string(KVOBLK_GOLDEN_DIR) + "/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void KvoTest::SetUp() {
  kvoref::reset();
  kvoref::set_moving_workspace(true);
  kvoref::capture(kvHisDev, true);
  kvoref::capture(kvRepDev, true);
  fail_nothrow_new_after(0);
  stderr_.start();
}

void KvoTest::TearDown() {
  stderr_.stop();
  fail_nothrow_new_after(0);
  kvoref::reset();
}

std::string KvoTest::his() { return kvoref::take(kvHisDev); }
std::string KvoTest::rep() { return kvoref::take(kvRepDev); }

std::string KvoTest::err() { return stderr_.take(); }

}  // namespace kvotest
