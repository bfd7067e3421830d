// SPDX-License-Identifier: BSD-3-Clause
// The test fixture: a fresh reference host for every test, a workspace that moves on every
// allocation, and captured history, report and error-stream text for exact assertions.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <kvoblk/kvoblk.h>
#include "capture.h"
#include "kvorefhost.h"

namespace kvotest {

// Makes the n-th next nothrow `new` (1 = the next one) fail; 0 switches this off.
void fail_nothrow_new_after(int n);

// Reads a golden file from tests/golden.
std::string golden(const std::string& name);

class KvoTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Text written so far on the device or the error stream; taking it clears it.
  std::string his();
  std::string rep();
  std::string err();

 private:
  StderrCapture stderr_;
};

}  // namespace kvotest
