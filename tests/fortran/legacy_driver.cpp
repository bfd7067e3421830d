// SPDX-License-Identifier: BSD-3-Clause
// Places the fixed-form Fortran 77 model on the reference host and solves it by Newton steps
// with the block's residual and analytic Jacobian. The model reaches the library only through
// the gfortran names of the entry points; the routines it offers take every argument by
// reference, so the slots get small adapters here.
#include <kvoblk/kvoblk.h>
#include <kvorefhost.h>

#include <cmath>
#include <cstdio>
#include <cstring>

extern "C" {
int legcre_(const char* id, size_t idlen);
void legdim_(int* blk, int* nvar, int* neqn, int* nnz, int* status);
void legini_(int* blk, int* vs, int* es, int* nzs, int* status);
void legpat_(int* blk, int* jac, int* status);
void legres_(int* blk, int* status);
void legjac_(int* blk, int* status);
int legchk_(int* blk);
}

namespace {
void dim(int b, int* nvar, int* neqn, int* nnz, int* status) {
  legdim_(&b, nvar, neqn, nnz, status);
}
void ini(int b, int vs, int es, int nzs, int* status) { legini_(&b, &vs, &es, &nzs, status); }
void pat(int b, kv_jac_t* jac, int* status) { legpat_(&b, jac, status); }
void res(int b, int* status) { legres_(&b, status); }
void jac(int b, int* status) { legjac_(&b, status); }
}  // namespace

int main() {
  kvoref::send_to_stdout(kvHisDev);
  kvoref::Lists lists = kvoref::make_lists(1);
  kvoref::Container cntr(lists);
  const int blk = legcre_("LEG1", 4);
  kvoblk_ops_t* ops = kvoblk_inq_ops(blk);
  if (!ops || std::strcmp(kvoblk_blkid(blk), "LEG1") != 0) {
    std::printf("legacy model: not created\n");
    return 1;
  }
  ops->selfdim = dim;
  ops->ini = ini;
  ops->selfpat = pat;
  ops->res = res;
  ops->selfjac = jac;
  kvoblk_base_register_container(blk, &cntr);
  int nvar = 0, neqn = 0, nnz = 0, status = 0;
  kvoblk_dim(blk, &nvar, &neqn, &nnz, &status);
  kvoblk_ini(blk, 1, 1, 1, &status);
  if (status != 0 || std::strcmp(kvovarlst_lookup_var_name(lists.varlst, 1), "L1.X") != 0) {
    std::printf("legacy model: not placed (status %d)\n", status);
    return 1;
  }
  int b = blk;
  if (legchk_(&b) != 0) {
    std::printf("legacy model: CHARACTER arguments came through wrong\n");
    return 1;
  }
  double* x = kvovarlst_vec_value(lists.varlst);
  for (int it = 0; it < 20 && status == 0; ++it) {
    kvoblk_res(blk, &status);
    kvoblk_jac(blk, &status);
    double d = 0;
    kvojac_inq_nz_value(lists.jac, 1, &d);
    x[0] -= kvoeqnlst_vec_residual(lists.eqnlst)[0] / d;
  }
  std::printf("legacy model: x = %.6f\n", x[0]);
  kvoblk_destroy(blk);
  return status == 0 && std::fabs(x[0] - 2.0) < 1e-12 ? 0 : 1;
}
