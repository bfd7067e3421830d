// SPDX-License-Identifier: BSD-3-Clause
// The block the pattern-file target restores into, and from which its seed files were written:
// block B1 with variables A, B, C and equations F (on A and C) and G (on B), placed after one
// guard variable, equation and two guard non-zeros, and followed by a neighbour's variable,
// equation and non-zeros and by guard non-zeros at the end of the Jacobian.
#pragma once

#include <string>

#include <kvoblk/kvoblk.h>
#include "kvorefhost.h"

namespace kvofuzz {

struct PatBlock {
  static constexpr int kVars = 3, kEqns = 2;
  static constexpr int kVStart = 2, kEStart = 2, kNzStart = 3;
  static constexpr int kNeighbourNz = 3, kTailNz = 4;

  explicit PatBlock(const std::string& path) {
    b = kvoblk_base_create_1(0);
    kvoblk_set_blkid(b, "B1");
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->selfdim = selfdim;
    t->ini = ini;
    t->res = res;
    kvoblk_set_pat_file(b, path.c_str());
  }
  ~PatBlock() {
    kvoblk_destroy(b);
    delete cntr;
  }
  PatBlock(const PatBlock&) = delete;
  PatBlock& operator=(const PatBlock&) = delete;

  // Makes the lists with `reserved` non-zeros for the block between the guards and places it.
  void place(int reserved) {
    const int neighbour = kNzStart + reserved;
    lists = kvoref::make_lists(neighbour + kNeighbourNz + kTailNz - 1);
    cntr = new kvoref::Container(lists);
    kvoblk_register_container(b, cntr);
    kvoref::define_var(lists.varlst, 1, "GUARD", 0.5);
    kvoref::define_eqn(lists.eqnlst, 1, "GUARD");
    kvoref::define_var(lists.varlst, kVStart + kVars, "NEXT", 0.25);
    kvoref::define_eqn(lists.eqnlst, kEStart + kEqns, "NEXT");
    for (int p = 1; p < kNzStart; ++p) guard(p, 1, 1);
    for (int p = neighbour; p < neighbour + kNeighbourNz; ++p)
      guard(p, kEStart + kEqns, kVStart + kVars);
    for (int p = neighbour + kNeighbourNz; p <= kvojac_inq_nnz(lists.jac); ++p) guard(p, -1, -1);
    int status = 0;
    kvoblk_ini(b, kVStart, kEStart, kNzStart, &status);
  }

  int vstart() const { return kVStart; }
  int vstop() const { return kVStart + kVars - 1; }
  int estart() const { return kEStart; }
  int estop() const { return kEStart + kEqns - 1; }

  int b = 0;
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;

 private:
  void guard(int p, int eqn, int var) {
    kvoref::set_nz(lists.jac, p, eqn, var);
    kvojac_set_nz_value(lists.jac, p, 1000.0 + p);
  }

  static void selfdim(int, int* nvar, int* neqn, int* nnz, int* status) {
    *nvar = kVars;
    *neqn = kEqns;
    *nnz = kVars * kEqns;
    *status = 0;
  }
  static void ini(int blk, int vs, int es, int nzs, int* status) {
    int varlst = 0, eqnlst = 0, jac = 0;
    blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
    const char* vars[kVars] = {"A", "B", "C"};
    const char* eqns[kEqns] = {"F", "G"};
    for (int v = 0; v < kVars; ++v) kvoref::define_var(varlst, vs + v, vars[v], 1.0 + v);
    for (int e = 0; e < kEqns; ++e) kvoref::define_eqn(eqnlst, es + e, eqns[e]);
    kvoblk_set_vstop(blk, vs + kVars - 1);
    kvoblk_set_estop(blk, es + kEqns - 1);
    kvoblk_set_nzstop(blk, nzs - 1);
    *status = 0;
  }
  // F = 2A + 4C, G = 3B.
  static void res(int blk, int* status) {
    const int varlst = blk_inq_matrix_varlst(blk), eqnlst = blk_inq_matrix_eqnlst(blk);
    const int vs = kvoblk_inq_vstart(blk), es = kvoblk_inq_estart(blk);
    const double* x = kvovarlst_vec_value(varlst);
    double* r = kvoeqnlst_vec_residual(eqnlst);
    r[es - 1] = 2 * x[vs - 1] + 4 * x[vs + 1];
    r[es] = 3 * x[vs];
    *status = 0;
  }
};

}  // namespace kvofuzz
