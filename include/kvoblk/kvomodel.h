// SPDX-License-Identifier: BSD-3-Clause
// Helpers for model writers: the model's own words and doubles in the block record, the block's
// variable values and residuals by block-local index, and adding a port. Header only; every
// helper re-reads the workspace base and the block's ranges, so nothing here keeps a pointer
// across a call.
//
// Block-local indices count from 0: variable i is list position vstart + i, equation e is list
// position estart + e. An index outside the block, or a block that is not placed in lists that
// hold its range, reads as 0.0 and is not written.
#pragma once

#include <cstring>

#include <kvoblk/host/kvo_alloc.h>
#include <kvoblk/kvoblk.h>

namespace kvomodel {

// Record word k of block `blk` (k from 0; the model's own words start at kvoblk_word::count).
// The reference is valid until the next allocation or model call: write through it at once.
inline int& word(int blk, int k) { return ib0[blk + k]; }

// A double kept in the two record words k and k + 1.
inline double real(int blk, int k) {
  double v;
  std::memcpy(&v, &ib0[blk + k], sizeof v);
  return v;
}
inline void set_real(int blk, int k, double v) { std::memcpy(&ib0[blk + k], &v, sizeof v); }

// Words a double takes in the record.
constexpr int kRealWords = static_cast<int>(sizeof(double) / sizeof(int32_t));

// Numbers of the block's variables and equations (0 when it has none or is not placed).
inline int num_vars(int blk) {
  const int n = kvoblk_inq_vstop(blk) - kvoblk_inq_vstart(blk) + 1;
  return n > 0 ? n : 0;
}
inline int num_eqns(int blk) {
  const int n = kvoblk_inq_estop(blk) - kvoblk_inq_estart(blk) + 1;
  return n > 0 ? n : 0;
}

// List position of block-local variable i or equation e; 0 outside the block.
inline int var_pos(int blk, int i) {
  return i >= 0 && i < num_vars(blk) ? kvoblk_inq_vstart(blk) + i : 0;
}
inline int eqn_pos(int blk, int e) {
  return e >= 0 && e < num_eqns(blk) ? kvoblk_inq_estart(blk) + e : 0;
}

// The block's variable values as one array, element i = block-local variable i; null when the
// block is not placed in a variable list that holds all of its variables. Live: valid until the
// list grows.
inline double* var_values(int blk) {
  const int varlst = blk_inq_matrix_varlst(blk);
  const int vs = kvoblk_inq_vstart(blk), n = num_vars(blk);
  double* x = varlst ? kvovarlst_vec_value(varlst) : nullptr;
  if (!x || n == 0 || vs < 1 || vs + n - 1 > kvovarlst_inq_nvar(varlst)) return nullptr;
  return x + (vs - 1);
}

// The block's residuals as one array, element e = block-local equation e; null as above.
inline double* residuals(int blk) {
  const int eqnlst = blk_inq_matrix_eqnlst(blk);
  const int es = kvoblk_inq_estart(blk), n = num_eqns(blk);
  double* r = eqnlst ? kvoeqnlst_vec_residual(eqnlst) : nullptr;
  if (!r || n == 0 || es < 1 || es + n - 1 > kvoeqnlst_inq_neqn(eqnlst)) return nullptr;
  return r + (es - 1);
}

// One variable value or residual by block-local index.
inline double var_value(int blk, int i) {
  const double* x = var_values(blk);
  return x && i >= 0 && i < num_vars(blk) ? x[i] : 0.0;
}
inline void set_var_value(int blk, int i, double v) {
  double* x = var_values(blk);
  if (x && i >= 0 && i < num_vars(blk)) x[i] = v;
}
inline double residual(int blk, int e) {
  const double* r = residuals(blk);
  return r && e >= 0 && e < num_eqns(blk) ? r[e] : 0.0;
}
inline void set_residual(int blk, int e, double v) {
  double* r = residuals(blk);
  if (r && e >= 0 && e < num_eqns(blk)) r[e] = v;
}

// True when entry k lies among the entries `jac` holds. The helpers below touch no other entry:
// a host's Jacobian service may take every k it is given for one of its own entries.
inline bool holds_entry(kv_jac_t jac, int k) { return jac && k >= 1 && k <= kvojac_inq_nnz(jac); }

// Pattern entry k of `jac` (a pattern object or the flowsheet's Jacobian) as block-local
// equation e and variable i: the list positions the library's pattern initialisation expects.
// An entry the object does not hold is not written: a model's selfpat compares its nzstop with
// kvojac_inq_nnz when it must know.
inline void set_pattern_entry(int blk, kv_jac_t jac, int k, int e, int i) {
  if (!holds_entry(jac, k)) return;
  kvojac_set_nz_eqnnum(jac, k, kvoblk_inq_estart(blk) + e);
  kvojac_set_nz_varnum(jac, k, kvoblk_inq_vstart(blk) + i);
}

// Block-local equation and variable of non-zero k of the block's Jacobian; false when the entry
// does not lie in the block or the Jacobian does not hold it.
inline bool pattern_entry(int blk, int k, int* e, int* i) {
  const kv_jac_t jac = blk_inq_matrix_jacobian(blk);
  if (!holds_entry(jac, k)) return false;
  const int ee = kvojac_inq_nz_eqnnum(jac, k) - kvoblk_inq_estart(blk);
  const int ii = kvojac_inq_nz_varnum(jac, k) - kvoblk_inq_vstart(blk);
  if (ee < 0 || ee >= num_eqns(blk) || ii < 0 || ii >= num_vars(blk)) return false;
  *e = ee;
  *i = ii;
  return true;
}

// Writes the value of the block's non-zero k (k from nzstart to nzstop, and held by the
// Jacobian).
inline void set_jacobian_value(int blk, int k, double v) {
  const kv_jac_t jac = blk_inq_matrix_jacobian(blk);
  if (holds_entry(jac, k) && k >= kvoblk_inq_nzstart(blk) && k <= kvoblk_inq_nzstop(blk))
    kvojac_set_nz_value(jac, k, v);
}

// Gives the block a port the model made (with new, or a host's port factory): true when the
// block took it; a refused or missing port is destroyed, and the block keeps the ports it had.
inline bool add_port(int blk, nux_port* port) {
  if (!port) return false;
  if (!kvoblk_add_port(blk, port)) return true;
  port->destroy();
  return false;
}

}  // namespace kvomodel
