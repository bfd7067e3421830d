// SPDX-License-Identifier: BSD-3-Clause
// Driver of the consumer project: places the two-variable model on the reference host, takes
// one Newton step from (3, 0.5) with the block's residuals and analytic Jacobian, and prints the
// result. Before the step the block's numeric Jacobian (the reference host's differencing over
// the residual routine) must agree with the analytic one. Built out of tree against an installed
// kvoblk.
#include <kvoblk/kvoblk.h>
#include <kvorefhost.h>

#include <cmath>
#include <cstdio>

#include "twovar.h"

int main() {
  kvoref::Lists lists = kvoref::make_lists(4);
  kvoref::define_var(lists.varlst, 1, "X1", 3.0);
  kvoref::define_var(lists.varlst, 2, "X2", 0.5);
  kvoref::define_eqn(lists.eqnlst, 1, "F1");
  kvoref::define_eqn(lists.eqnlst, 2, "F2");
  kvoref::Container cntr(lists);
  const int blk = twovar_create("TWO");
  kvoblk_base_register_container(blk, &cntr);
  int nvar = 0, neqn = 0, nnz = 0, status = 0;
  kvoblk_dim(blk, &nvar, &neqn, &nnz, &status);
  kvoblk_ini(blk, 1, 1, 1, &status);
  if (status != 0) return 1;
  kvoblk_res(blk, &status);
  kvoblk_jac(blk, &status);
  if (status != 0) return 1;
  // J = [a b; c d] by (row, column); one Newton step x -= J^-1 r.
  double j[2][2] = {{0, 0}, {0, 0}};
  for (int k = 1; k <= 4; ++k)
    kvojac_inq_nz_value(
        lists.jac, k,
        &j[kvojac_inq_nz_eqnnum(lists.jac, k) - 1][kvojac_inq_nz_varnum(lists.jac, k) - 1]);
  // The same derivatives by differencing: NUMERIC needs the grouping that pre-solve makes, and
  // the residuals are evaluated again afterwards, since differencing leaves its last evaluation.
  if (kvoblk_set_deriv_type(blk, KVOBLK_NUMERIC) != KVOBLK_NUMERIC) return 1;
  kvoblk_pre_solve(blk, &status);
  if (status != 0) return 1;
  kvoblk_jac(blk, &status);
  if (status != 0) return 1;
  for (int k = 1; k <= 4; ++k) {
    double numeric = 0;
    kvojac_inq_nz_value(lists.jac, k, &numeric);
    const double analytic =
        j[kvojac_inq_nz_eqnnum(lists.jac, k) - 1][kvojac_inq_nz_varnum(lists.jac, k) - 1];
    if (!(std::fabs(numeric - analytic) <= 1e-6 * (1.0 + std::fabs(analytic)))) {
      std::printf("consumer: numeric derivative %d is %.8g, analytic %.8g\n", k, numeric, analytic);
      return 1;
    }
  }
  kvoblk_post_solve(blk, &status);
  kvoblk_res(blk, &status);
  if (status != 0) return 1;
  const double* r = kvoeqnlst_vec_residual(lists.eqnlst);
  double* x = kvovarlst_vec_value(lists.varlst);
  const double det = j[0][0] * j[1][1] - j[0][1] * j[1][0];
  x[0] -= (j[1][1] * r[0] - j[0][1] * r[1]) / det;
  x[1] -= (j[0][0] * r[1] - j[1][0] * r[0]) / det;
  std::printf("consumer: one Newton step gives x = (%.4f, %.4f)\n", x[0], x[1]);
  kvoblk_destroy(blk);
  return 0;
}
