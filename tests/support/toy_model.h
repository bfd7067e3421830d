// SPDX-License-Identifier: BSD-3-Clause
// The toy model shared by the suites and the fixture that places it: a block whose residuals
// are r_e = sum over its non-zeros (e, v) of c * x_v^p, p 1 or 2, with an analytic Jacobian.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "fixture.h"

namespace kvotest {

struct ToyModel {
  int nvar = 3, neq = 3;
  std::vector<std::pair<int, int>> nz;  // block-local equation and variable, 0-based
  std::vector<double> coef;             // one per non-zero; those past it are structure only
  int power = 1;
  double x0 = 1.0, x_step = 0.5;            // starting value of variable i: x0 + x_step * i
  int fail_at = 0;                          // residual call that fails; 0 never
  int fail_status = 7;                      // the status of that call
  std::vector<std::pair<int, int>> groups;  // (block-local equation, 0-based; its group)
  int ini_calls = 0, res_calls = 0, selfjac_calls = 0;

  // n x n with one non-zero per row on the diagonal, coefficients c (all 1 when empty).
  void diagonal(int n, std::vector<double> c = {});
  // n x n with every equation in every variable, coefficient 1 + e + 10 v.
  void dense(int n);
  // nvar x neq with nnz structural non-zeros, entry k on equation k % neq and variable
  // k % nvar; every variable starts at 1.
  void cyclic(int nvar, int neq, int nnz);
};

// The one toy model the routines below read; the fixture resets it for every test.
extern ToyModel toy;

// The model's routines: placement (variables X1.., equations E1.., its non-zeros), residuals
// (counted, failing at `fail_at`) and the analytic Jacobian (counted).
void toy_ini(int blkptr, int vstart, int estart, int nzstart, int* status);
void toy_res(int blkptr, int* status);
void toy_selfjac(int blkptr, int* status);

// The entries (equation, variable) of a pattern object or a Jacobian, in position order.
std::vector<std::pair<int, int>> pattern_entries(kv_jac_t pattern);

// A fresh reference host with lists and a container, and blocks placed in them: the toy, or a
// suite's own model; every block made is destroyed at the end of the test.
class PlacedBlockTest : public KvoTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates a block named `id`, destroyed with the test: plain creation (numeric methods), or
  // with `analytic` model creation (analytic support on). Its routines are the caller's to set.
  int make_block(const char* id = "B1", bool analytic = false);
  // Registers the container and places the block at the starts given; false (with a failed
  // expectation) when placement reports a problem.
  bool place_block(int b, int vs, int es, int nzs);
  // Destroys a block made here before the test ends.
  void destroy_block(int b);

  // Creates a block, gives it the toy routines and the base solve brackets, registers it and
  // places it at the starts given. Plain creation (numeric methods), or with `analytic` model
  // creation (analytic support on) and the toy's analytic Jacobian.
  int place(int vs = 1, int es = 1, int nzs = 1, bool analytic = false, const char* id = "B1");

  // Value k of the global Jacobian.
  double bj(int k);

  int list_capacity = 200;  // set before KvoTest::SetUp runs, in a suite's constructor
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  std::vector<int> blocks;
};

}  // namespace kvotest
