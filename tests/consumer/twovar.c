// SPDX-License-Identifier: BSD-3-Clause
/* A small unit model written in C against the installed headers: two variables, two equations
   x1 + 2 x2 = 5 and x1 x2 = 2, with its own pattern and analytic Jacobian. It runs on any host. */
#include "twovar.h"

#include <kvoblk/kvoblk.h>

static void twovar_selfdim(int blk, int* nvar, int* neqn, int* nnz, int* status) {
  (void)blk;
  *nvar = 2;
  *neqn = 2;
  *nnz = 4;
  *status = 0;
}

static void twovar_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  int errors = 0;
  kvoblk_set_vstop(blk, vstart + 1);
  kvoblk_set_estop(blk, estart + 1);
  kvoblk_set_nzstop(blk, nzstart - 1);
  kvoblk_pat_ini(blk, nzstart, &errors);
  *status = errors == 0 ? 0 : 1;
}

/* The pattern: every equation depends on both variables, entries grouped by row. */
static void twovar_selfpat(int blk, kv_jac_t* jac, int* status) {
  int k = kvoblk_inq_nzstart(blk);
  const int v0 = kvoblk_inq_vstart(blk), e0 = kvoblk_inq_estart(blk);
  for (int e = 0; e < 2; ++e) {
    for (int v = 0; v < 2; ++v, ++k) {
      kvojac_set_nz_eqnnum(*jac, k, e0 + e);
      kvojac_set_nz_varnum(*jac, k, v0 + v);
    }
  }
  kvoblk_set_nzstop(blk, k - 1);
  *status = 0;
}

static void twovar_res(int blk, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  const double* x = kvovarlst_vec_value(varlst);
  double* r = kvoeqnlst_vec_residual(eqnlst);
  if (!x || !r) {
    *status = 1;
    return;
  }
  x += kvoblk_inq_vstart(blk) - 1;
  r += kvoblk_inq_estart(blk) - 1;
  r[0] = x[0] + 2.0 * x[1] - 5.0;
  r[1] = x[0] * x[1] - 2.0;
  *status = 0;
}

/* Each non-zero's value by its equation and variable, whatever order the pattern was stored in. */
static void twovar_selfjac(int blk, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  const double* x = kvovarlst_vec_value(varlst);
  if (!x) {
    *status = 1;
    return;
  }
  const int v0 = kvoblk_inq_vstart(blk), e0 = kvoblk_inq_estart(blk);
  x += v0 - 1;
  for (int k = kvoblk_inq_nzstart(blk); k <= kvoblk_inq_nzstop(blk); ++k) {
    const int e = kvojac_inq_nz_eqnnum(jac, k) - e0, v = kvojac_inq_nz_varnum(jac, k) - v0;
    const double d = e == 0 ? (v == 0 ? 1.0 : 2.0) : (v == 0 ? x[1] : x[0]);
    kvojac_set_nz_value(jac, k, d);
  }
  *status = 0;
}

int twovar_create(const char* id) {
  const int blk = kvoblk_base_create(KVOBLK_WORD_COUNT);
  kvoblk_ops_t* ops = kvoblk_inq_ops(blk);
  if (!ops) return 0;
  kvoblk_set_blkid(blk, id);
  ops->selfdim = twovar_selfdim;
  ops->ini = twovar_ini;
  ops->selfpat = twovar_selfpat;
  ops->res = twovar_res;
  ops->selfjac = twovar_selfjac;
  return blk;
}
