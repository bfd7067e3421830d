// SPDX-License-Identifier: BSD-3-Clause
// Runs the two-variable model on the minimal test host: placement, pattern from the model,
// residuals and the analytic Jacobian, through the same libkvoblk the reference host uses.
// Prints what it computed and exits non-zero on any difference from the expected values.
#include <kvoblk/kvoblk.h>
#include <kvoblk/kvomodel.h>

#include <cmath>
#include <cstdio>

#include "minihost.h"
#include "twovar.h"

namespace {
int failures = 0;
void expect(bool ok, const char* what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what);
    ++failures;
  }
}
}  // namespace

int main() {
  minihost::make_lists(2, 2, 4);
  minihost::Container cntr;
  const int blk = twovar_create("TWO");
  expect(blk != 0, "block created");
  kvoblk_base_register_container(blk, &cntr);
  int nvar = 0, neqn = 0, nnz = 0, status = -1;
  kvoblk_dim(blk, &nvar, &neqn, &nnz, &status);
  expect(status == 0 && nvar == 2 && neqn == 2 && nnz == 4, "dimensions 2 x 2 with 4 non-zeros");
  kvoblk_ini(blk, 1, 1, 1, &status);
  expect(status == 0 && kvoblk_inq_vstop(blk) == 2 && kvoblk_inq_nzstop(blk) == 4, "placed");

  double* x = kvovarlst_vec_value(1);
  x[0] = 3.0;
  x[1] = 0.5;
  kvoblk_res(blk, &status);
  const double* r = kvoeqnlst_vec_residual(1);
  std::printf("residuals %g %g\n", r[0], r[1]);
  expect(status == 0 && r[0] == -1.0 && r[1] == -0.5, "residuals at (3, 0.5)");

  kvoblk_jac(blk, &status);
  expect(status == 0, "Jacobian evaluated");
  double sum = 0;
  for (int k = 1; k <= 4; ++k) {
    double v = 0;
    kvojac_inq_nz_value(1, k, &v);
    std::printf("J(%d,%d) = %g\n", kvojac_inq_nz_eqnnum(1, k), kvojac_inq_nz_varnum(1, k), v);
    const int e = kvojac_inq_nz_eqnnum(1, k), c = kvojac_inq_nz_varnum(1, k);
    const double want = e == 1 ? (c == 1 ? 1.0 : 2.0) : (c == 1 ? 0.5 : 3.0);
    expect(v == want, "Jacobian value");
    sum += v;
  }
  expect(std::fabs(sum - 6.5) < 1e-15, "four distinct non-zeros");
  expect(minihost::entries_outside() == 0, "no entry asked for beyond the Jacobian");

  // A Jacobian cut short of the block's slice: the model helpers leave the entries it does not
  // hold alone, so a host may take every entry number it is given for one of its own.
  kvojac_set_nnz(1, 2);
  int e = -1, v = -1;
  expect(!kvomodel::pattern_entry(blk, 3, &e, &v), "entry 3 of two is none of the block's");
  kvomodel::set_jacobian_value(blk, 4, 9.0);
  kvomodel::set_pattern_entry(blk, 1, 3, 0, 0);
  expect(kvomodel::pattern_entry(blk, 2, &e, &v), "entry 2 of two is still the block's");
  expect(minihost::entries_outside() == 0, "the helpers asked for no entry beyond the Jacobian");
  kvoblk_destroy(blk);
  std::printf(failures ? "minimal host: %d failures\n" : "minimal host: block solved its part\n",
              failures);
  return failures ? 1 : 0;
}
