// SPDX-License-Identifier: BSD-3-Clause
// Per-solve work data of the derivative methods and the numeric Jacobian: the base pre- and
// post-solve, the variable grouping, the last-iterate buffers and the grouped-differencing loop.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <kvoblk/host/kvo_numeric.h>
#include <kvoblk/kvojac.h>
#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace kvoblk {
namespace detail {
// The last-iterate buffers, shared with the Schubert update.
double* make_buffer(int n);
double* buffer_base(double* data);
double* buffer_data(int blkptr, int k);
void let_go_of_grouping(int blkptr, int handle);
int buffer_length(int blkptr, int k);
double buffer_making(int blkptr, int k);
void release_buffer(int blkptr, int k);
void release_solve_data(int blkptr);
}  // namespace detail
}  // namespace kvoblk

namespace {

// Checks that the block's non-zeros nzstart..nzstop are inside the Jacobian's pattern vectors,
// so that the slices handed to the numeric utilities are wholly inside the arrays. Whether each
// non-zero lies in the block is the utilities' own check.
bool nonzeros_inside(int blkptr, const KVJacPatternVector& irn, const KVJacPatternVector& icn,
                     const char* fn) {
  const int ns = word(blkptr, W::nzstart), ne = word(blkptr, W::nzstop);
  const int64_t held = irn.size() < icn.size() ? irn.size() : icn.size();
  if (irn.data() && icn.data() && inside_jacobian(ns, ne, held)) return true;
  report_outside_jacobian(blkptr, fn, ns, ne);
  return false;
}

// Stores a fresh buffer of n doubles in record word k, releasing the one it replaces.
double* allocate_buffer(int blkptr, int k, int n) {
  release_buffer(blkptr, k);
  if (n <= 0) return nullptr;
  double* data = make_buffer(n);
  if (!data) return nullptr;
  const int32_t ref = ref_put(buffer_base(data));
  if (ref == 0) {
    std::free(buffer_base(data));
    return nullptr;
  }
  word(blkptr, k) = ref;
  return data;
}

}  // namespace

namespace kvoblk {
namespace detail {

// Two header words go in front of a buffer's data: its entry count, so that a reader can tell a
// buffer made for another placement of the block from one that fits, and the number of the
// making (counted over all buffers), so that one can tell a buffer made anew from the one it
// replaced, whose address the heap may hand out again.
constexpr int kBufferHeader = 2;

double* make_buffer(int n) {
  static double made = 0.0;  // counts exactly far beyond any number of solves
  void* p = heap_malloc(array_bytes(static_cast<size_t>(n) + kBufferHeader, sizeof(double)));
  if (!p) return nullptr;
  double* base = static_cast<double*>(p);
  base[0] = static_cast<double>(n);
  base[1] = made += 1.0;
  return base + kBufferHeader;
}

double* buffer_base(double* data) { return data ? data - kBufferHeader : nullptr; }

double* buffer_data(int blkptr, int k) {
  double* base = ref_as<double>(word(blkptr, k));
  return base ? base + kBufferHeader : nullptr;
}

int buffer_length(int blkptr, int k) {
  double* base = ref_as<double>(word(blkptr, k));
  return base ? static_cast<int>(base[0]) : 0;
}

double buffer_making(int blkptr, int k) {
  double* base = ref_as<double>(word(blkptr, k));
  return base ? base[1] : 0.0;
}

void release_buffer(int blkptr, int k) {
  const int32_t ref = word(blkptr, k);
  if (ref == 0) return;
  std::free(ref_as<double>(ref));
  ref_drop(ref);
  word(blkptr, k) = 0;
}

// Lets go of grouping `handle` of the block: it is destroyed, unless a numeric Jacobian of the
// block is differencing with it, which then destroys it when it ends.
void let_go_of_grouping(int blkptr, int handle) {
  const BlockFacts* s = facts(blkptr);
  if (handle == 0 || (s && s->vgrp_in_use == handle)) return;
  U3VGRP_DESTROY(&handle);
}

void release_solve_data(int blkptr) {
  BlockFacts* s = facts(blkptr);
  if (!s) return;
  ::operator delete(s->unit_scale);
  s->unit_scale = nullptr;
  s->unit_scale_n = 0;
  let_go_of_grouping(blkptr, word(blkptr, W::vgrp));
  word(blkptr, W::vgrp) = 0;
  release_buffer(blkptr, W::lastx);
  release_buffer(blkptr, W::lastf);
}

}  // namespace detail
}  // namespace kvoblk

namespace {

// Makes sure the block has a grouping that fits its present placement: one made for an earlier
// placement is replaced. Returns false where the Jacobian is not to be computed (a failure,
// in *status, or no non-zeros left); *made says whether the grouping was made for this
// computation alone, to be released after it.
bool prepare_grouping(int blkptr, int* status, bool* made) {
  *made = false;
  if (word(blkptr, W::vgrp) != 0) {
    const BlockFacts* s = facts(blkptr);
    if (s->vgrp_nvar != block_nvar(blkptr) || s->vgrp_neq != block_neq(blkptr) ||
        s->vgrp_nnz != block_nnz(blkptr)) {
      blk_compute_vgrp(blkptr, 1, status);
      if (*status != 0) return false;
      if (word(blkptr, W::vgrp) == 0) return false;  // no non-zeros any more: nothing to compute
    }
  }
  if (word(blkptr, W::vgrp) == 0) {
    blk_compute_vgrp(blkptr, 1, status);
    if (*status != 0) return false;
    *made = word(blkptr, W::vgrp) != 0;
  }
  return true;
}

// Checks that the lists and the Jacobian hold the block's slices, which the differencing
// service reads and writes.
bool slices_inside(int blkptr, int varlst, int eqnlst, const KVJacPatternVector& irn,
                   const KVJacPatternVector& icn, const char* fn) {
  const int vs = word(blkptr, W::vstart), ve = word(blkptr, W::vstop);
  const int es = word(blkptr, W::estart), ee = word(blkptr, W::estop);
  const bool in_lists =
      vs >= 1 && ve <= kvovarlst_inq_nvar(varlst) && es >= 1 && ee <= kvoeqnlst_inq_neqn(eqnlst);
  if (!in_lists) {
    head(fn);
    kvoprintf(kvHisDev, "Block %s lies outside its variable or equation list\n",
              text(blkid(blkptr)));
    return false;
  }
  return nonzeros_inside(blkptr, irn, icn, fn);
}

// Takes the block's kept unit scales, *n of them at least, making them when there are none or
// too few, and sets *n to how many there are; null when the heap is full. The caller owns them
// until it hands them back.
double* take_unit_scales(int blkptr, int* n) {
  BlockFacts* s = facts(blkptr);
  double* kept = s->unit_scale;
  const int have = s->unit_scale_n;
  s->unit_scale = nullptr;
  s->unit_scale_n = 0;
  if (kept && have >= *n) {
    *n = have;
    return kept;
  }
  ::operator delete(kept);
  double* p =
      static_cast<double*>(heap_alloc(array_bytes(static_cast<size_t>(*n), sizeof(double))));
  if (p) std::fill(p, p + *n, 1.0);
  return p;
}

// Keeps the unit scales for the block's next numeric Jacobian, unless the block is gone or has
// others meanwhile.
void give_back_unit_scales(int blkptr, double* scale, int n) {
  BlockFacts* s = facts(blkptr);
  if (!s || s->unit_scale) {
    ::operator delete(scale);
    return;
  }
  s->unit_scale = scale;
  s->unit_scale_n = n;
}

// Runs the grouped differencing service to its end with grouping `vgrp`, evaluating the
// block's residuals whenever it asks for them, and writes the block's slice of the Jacobian
// values. The residual routine is model code: it may let the block's grouping go (a post-solve)
// or destroy the block (and make another at its handle, which `serial` tells from it); the
// sequence goes on with `vgrp`, or is ended with the values put back.
void difference_groups(int blkptr, uint64_t serial, int vgrp, int varlst, int eqnlst, kv_jac_t jac,
                       const KVJacPatternVector& icn, int* status) {
  const int vs = word(blkptr, W::vstart), ve = word(blkptr, W::vstop);
  const int es = word(blkptr, W::estart);
  const int ns = word(blkptr, W::nzstart);
  const int nvar = extent32(vs, ve);
  double par[100];
  for (double& p : par) p = 1.0e-4;
  double pert = kvoblk_inq_pertsize(blkptr);
  // Unit scales for the block's own variables: the service reads them from the block's first
  // variable on, so the block's slice is all it sees. They are made at the block's first numeric
  // Jacobian and kept until its post-solve or its destruction; the service only reads them.
  int nscale = nvar > 0 ? nvar : 1;
  double* scale = take_unit_scales(blkptr, &nscale);
  if (!scale) {
    *status = 1;
    head("blk_numeric_jac");
    kvoprintf(kvHisDev, "Not enough memory to compute the Jacobian of block %s\n", id_text(blkptr));
    return;
  }
  const int ee = word(blkptr, W::estop);
  const int ne = word(blkptr, W::nzstop);
  int voff = vs - 1;
  // One call of the service. Everything is fetched afresh for every call: the residual routine
  // may have moved the workspace or grown a list.
  auto step = [&](int* request, int* st) {
    int handle = vgrp;
    double* x = kvovarlst_vec_value(varlst);
    int* vstat = kvovarlst_vec_status(varlst);
    double* f = kvoeqnlst_vec_residual(eqnlst);
    double* bj = kvojac_vec_bj(jac);
    if (!x || !vstat || !f || !bj) {
      *st = 1;
      return;
    }
    U3NJAC_COMPUTE(&handle, x + (vs - 1), scale, vstat + (vs - 1), f + (es - 1), &voff,
                   icn.data() + (ns - 1), par, &pert, bj + (ns - 1), request, st);
  };
  // Ends the sequence under way: the service puts the perturbed values and the base residuals
  // back, into the lists that still hold the block's slices (values of a slice a list no longer
  // holds have nowhere to go).
  auto abandon = [&] {
    int handle = vgrp, req = -1, ignored = 0;
    double* x = ve <= kvovarlst_inq_nvar(varlst) ? kvovarlst_vec_value(varlst) : nullptr;
    int* vstat = x ? kvovarlst_vec_status(varlst) : nullptr;
    double* f = ee <= kvoeqnlst_inq_neqn(eqnlst) ? kvoeqnlst_vec_residual(eqnlst) : nullptr;
    U3NJAC_COMPUTE(&handle, x ? x + (vs - 1) : nullptr, scale, vstat ? vstat + (vs - 1) : nullptr,
                   f ? f + (es - 1) : nullptr, &voff, nullptr, par, &pert, nullptr, &req, &ignored);
  };
  int request = 0;
  for (;;) {
    step(&request, status);
    if (*status != 0 || request != 1) break;
    kvoblk_res(blkptr, status);
    if (!same_serial(blkptr, serial)) {
      head("blk_numeric_jac");
      kvoprintf(kvHisDev, "Block %d was destroyed while its Jacobian was being computed\n", blkptr);
      *status = 1;
    } else if (*status == 0) {
      // The residual routine may have shortened a list or the Jacobian: the service would then
      // perturb, read or write past their ends.
      if (ve > kvovarlst_inq_nvar(varlst) || ee > kvoeqnlst_inq_neqn(eqnlst)) {
        head("blk_numeric_jac");
        kvoprintf(kvHisDev, "Block %s lies outside its variable or equation list\n",
                  text(blkid(blkptr)));
        *status = 1;
      } else if (ne > kvojac_inq_nnz(jac)) {
        report_outside_jacobian(blkptr, "blk_numeric_jac", ns, ne);
        *status = 1;
      }
    }
    if (*status != 0) {
      // The residual failure stays the status.
      abandon();
      break;
    }
  }
  give_back_unit_scales(same_serial(blkptr, serial) ? blkptr : 0, scale, nscale);
}

// Reports the block's numeric derivatives that are not finite numbers. A residual that is not a
// number, or that overflows, at a perturbed point (a variable stepped out of the model's domain,
// say) gives such a quotient, which the solver would otherwise take without a word. Equations
// and variables are named by their numbers in the block and their names.
void report_non_finite(int blkptr, int varlst, int eqnlst, kv_jac_t jac) {
  if (diag(blkptr) < 4) return;
  const int ns = word(blkptr, W::nzstart), ne = word(blkptr, W::nzstop);
  const double* bj = kvojac_vec_bj(jac);
  KVJacIrn irn(&jac);
  KVJacIcn icn(&jac);
  const int64_t held = irn.size() < icn.size() ? irn.size() : icn.size();
  if (!bj || !irn.data() || !icn.data() || ne < ns || !inside_jacobian(ns, ne, held)) return;
  int64_t count = 0;
  int first = 0;
  for (int k = ns; k <= ne; ++k) {
    if (std::isfinite(bj[k - 1])) continue;
    if (count++ == 0) first = k;
  }
  if (count == 0) return;
  const int eqn = irn[first - 1], var = icn[first - 1];
  // Block-local numbers, formed wide: a stray global number cannot overflow them.
  const long long row = static_cast<long long>(eqn) - word(blkptr, W::estart) + 1;
  const long long col = static_cast<long long>(var) - word(blkptr, W::vstart) + 1;
  kvoprintf(kvHisDev,
            "\nWarning in numerical Jacobian for block %s: %lld derivative(s) not a finite "
            "number, the first of equation %lld (%s) with respect to variable %lld (%s). "
            "Jacobian may be wrong.\n",
            text(blkid(blkptr)), static_cast<long long>(count), row,
            text(kvoeqnlst_lookup_eqn_name(eqnlst, eqn)), col,
            text(kvovarlst_lookup_var_name(varlst, var)));
}

}  // namespace

extern "C" {

// ---- Solve brackets ------------------------------------------------------------------------

KVOBLK_API void kvoblk_base_pre_solve(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__) || word(blkptr, W::included) == 0) return;
  kvoblk_settings_t* s = settings(blkptr);
  const int method = s ? s->deriv_type : 0;
  if (method == KVOBLK_NUMERIC) {
    blk_compute_vgrp(blkptr, 1, status);
  } else if (method == KVOBLK_UPDATE_NUMERIC || method == KVOBLK_UPDATE_ANALYTIC) {
    blk_allocate_lastx(blkptr);
    blk_allocate_lastf(blkptr);
    word(blkptr, W::iterated) = 0;
  }
}

KVOBLK_API void kvoblk_base_post_solve(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  // Whatever the method or the inclusion is now, nothing prepared for this solve may outlive
  // it: the method may have changed since the pre-solve, or the block been excluded.
  release_solve_data(blkptr);
  if (word(blkptr, W::included) == 0) return;
  kvoblk_settings_t* s = settings(blkptr);
  const int method = s ? s->deriv_type : 0;
  if (method == KVOBLK_UPDATE_NUMERIC || method == KVOBLK_UPDATE_ANALYTIC)
    word(blkptr, W::iterated) = 0;
}

// ---- Variable grouping ---------------------------------------------------------------------

KVOBLK_API void blk_compute_vgrp(int blkptr, int, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  kv_jac_t jac = blk_inq_matrix_jacobian(blkptr);
  KVJacIrn irn(&jac);
  KVJacIcn icn(&jac);
  int nvar = block_nvar(blkptr);
  int neq = block_neq(blkptr);
  int nnz = block_nnz(blkptr);
  // Range words so far apart that no word holds their count are not a block without
  // non-zeros: they lie outside any Jacobian.
  if (extent(word(blkptr, W::nzstart), word(blkptr, W::nzstop)) == 0) return;
  if (!nonzeros_inside(blkptr, irn, icn, __func__)) {
    *status = 1;
    return;
  }
  int handle = 0;
  U3VGRP_CREATE(&nvar, &neq, &nnz, &handle);
  const int nzstart = word(blkptr, W::nzstart);
  int info = 0;
  int eoff = word(blkptr, W::estart) - 1;
  int voff = word(blkptr, W::vstart) - 1;
  int zero = 0;
  U3VGRP_COMPUTE(irn.data() + (nzstart - 1), icn.data() + (nzstart - 1), &info, &eoff, &voff, &zero,
                 &handle, status);
  if (*status != 0) {
    // The new grouping is of no use; the block keeps what it had.
    if (handle != 0) U3VGRP_DESTROY(&handle);
    return;
  }
  const int old = word(blkptr, W::vgrp);
  if (old != handle) let_go_of_grouping(blkptr, old);
  word(blkptr, W::vgrp) = handle;
  BlockFacts* s = facts(blkptr);
  s->vgrp_nvar = nvar;
  s->vgrp_neq = neq;
  s->vgrp_nnz = nnz;
  if (diag(blkptr) >= 5) {
    kvoprintf(kvHisDev, "Variable grouping information for block: %s\n", text(blkid(blkptr)));
    kvoprintf(kvHisDev, "--------------------------------------------------\n");
    U3VGRP_REPORT_BY_IDX(&handle, &voff);
  }
}

KVOBLK_API void blk_destroy_vgrp(int blkptr) {
  if (!live(blkptr, __func__)) return;
  // The service gets a copy of the handle: the workspace holding the record may move.
  let_go_of_grouping(blkptr, word(blkptr, W::vgrp));
  word(blkptr, W::vgrp) = 0;
}

// ---- Last-iterate buffers ------------------------------------------------------------------

KVOBLK_API double* blk_allocate_lastx(int blkptr) {
  if (!live(blkptr, __func__)) return nullptr;
  return allocate_buffer(blkptr, W::lastx, block_nvar(blkptr));
}

KVOBLK_API double* blk_allocate_lastf(int blkptr) {
  if (!live(blkptr, __func__)) return nullptr;
  return allocate_buffer(blkptr, W::lastf, block_neq(blkptr));
}

KVOBLK_API void blk_destroy_lastx(int blkptr) {
  if (live(blkptr, __func__)) release_buffer(blkptr, W::lastx);
}

KVOBLK_API void blk_destroy_lastf(int blkptr) {
  if (live(blkptr, __func__)) release_buffer(blkptr, W::lastf);
}

// ---- Numeric Jacobian ----------------------------------------------------------------------

KVOBLK_API void blk_numeric_jac(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  // A residual routine that asks for its own block's numeric Jacobian would restart the
  // sequence under way, which then ends in a failure with its values still perturbed.
  if (facts(blkptr)->vgrp_in_use != 0) {
    head(__func__);
    kvoprintf(kvHisDev, "The numeric Jacobian of block %s is already being computed\n",
              text(blkid(blkptr)));
    *status = 1;
    return;
  }
  // The residual routine may destroy the block and make another at its handle: what is left to
  // do after the differencing is done only for the block it began on.
  const uint64_t serial = serial_of(blkptr);
  int varlst = 0, eqnlst = 0;
  kv_jac_t jac = 0;
  blk_inq_matrix(blkptr, &varlst, &eqnlst, &jac);
  bool made = false;
  if (!prepare_grouping(blkptr, status, &made)) return;
  const int vgrp = word(blkptr, W::vgrp);
  // Without non-zeros there is nothing to difference and nothing to write.
  if (extent32(word(blkptr, W::nzstart), word(blkptr, W::nzstop)) != 0) {
    KVJacIrn irn(&jac);
    KVJacIcn icn(&jac);
    if (!slices_inside(blkptr, varlst, eqnlst, irn, icn, __func__)) {
      *status = 1;
    } else {
      facts(blkptr)->vgrp_in_use = vgrp;
      difference_groups(blkptr, serial, vgrp, varlst, eqnlst, jac, icn, status);
      const bool same = same_serial(blkptr, serial);
      if (same) facts(blkptr)->vgrp_in_use = 0;
      if (*status == 0 && same) report_non_finite(blkptr, varlst, eqnlst, jac);
    }
  }
  // The grouping is released when it was made for this computation alone, or when model code
  // let it go (or destroyed the block) while the differencing still used it.
  const bool kept = same_serial(blkptr, serial) && word(blkptr, W::vgrp) == vgrp;
  if (vgrp != 0 && (!kept || made)) {
    int handle = vgrp;
    U3VGRP_DESTROY(&handle);
    if (kept) word(blkptr, W::vgrp) = 0;
  }
}

}  // extern "C"
