// SPDX-License-Identifier: BSD-3-Clause
// The Jacobian dispatchers: the derivative method in force picks the evaluation, the update
// methods fall back to their alternate when an update may not be used, and every evaluation
// under an update method records the point it was made at.
#include <kvoblk/kvojac.h>
#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// The model's analytic routine fills the block's non-zeros nzstart..nzstop. A Jacobian that holds
// fewer of them would get only a part, which the solver would take for a whole Jacobian: such a
// request is refused, as a numeric one is. A block without non-zeros or without a Jacobian is
// left to its routine.
bool analytic_slice_held(int blkptr, const char* fn) {
  const int ns = word(blkptr, W::nzstart), ne = word(blkptr, W::nzstop);
  const kv_jac_t jac = blk_inq_matrix_jacobian(blkptr);
  if (ne < ns || jac == 0 || inside_jacobian(ns, ne, kvojac_inq_nnz(jac))) return true;
  report_outside_jacobian(blkptr, fn, ns, ne);
  return false;
}

// One Jacobian request for the whole block or, when `grouped`, for one equation group (0 being
// the whole block), reported under the dispatcher's name `fn`.
void dispatch(int blkptr, bool grouped, int group, int* status, const char* fn) {
  *status = 1;
  if (!live(blkptr, fn)) return;
  *status = 0;
  if (word(blkptr, W::included) == 0) return;
  kvoblk_settings_t* s = settings(blkptr);
  const int method = s ? s->deriv_type : 0;
  if (method < KVOBLK_ANALYTIC || method > KVOBLK_UPDATE_ANALYTIC) {
    head(fn);
    kvoprintf(kvHisDev, "Internal error (Unknown method).\n");
    *status = 1;
    return;
  }
  int effective = method;
  // The evaluation runs model code, which may destroy the block and make another at its handle:
  // that one is not the block whose iterate this was.
  const uint64_t serial = serial_of(blkptr);
  const bool update = method == KVOBLK_UPDATE_NUMERIC || method == KVOBLK_UPDATE_ANALYTIC;
  if (update && blk_schubert_check(blkptr) != 1)
    effective = method == KVOBLK_UPDATE_NUMERIC ? KVOBLK_NUMERIC : KVOBLK_ANALYTIC;

  if (effective == KVOBLK_ANALYTIC) {
    if (!analytic_slice_held(blkptr, fn))
      *status = 1;
    else if (grouped)
      kvoblk_group_selfjac(blkptr, group, status);
    else
      kvoblk_selfjac(blkptr, status);
  } else {
    if (grouped && group != 0) {
      head(fn);
      kvoprintf(kvHisDev,
                "Warning: non-analytic jacobian evaluation requested for equation group %d in "
                "block %s\nperformance will be less than optimal\n",
                group, text(blkid(blkptr)));
    }
    if (effective == KVOBLK_NUMERIC)
      blk_numeric_jac(blkptr, status);
    else
      blk_schubert_update(blkptr, status);
  }

  // The point of this evaluation is the last iterate of the next one, whatever happened.
  if (update && same_serial(blkptr, serial)) {
    blk_store_lastx(blkptr);
    blk_store_lastf(blkptr);
    word(blkptr, W::iterated) = 1;
  }
}

}  // namespace

extern "C" {

KVOBLK_API void kvoblk_jac(int blkptr, int* status) {
  KVOBLK_OUT(status);
  dispatch(blkptr, false, 0, status, __func__);
}

KVOBLK_API void kvoblk_group_jac(int blkptr, int group, int* status) {
  KVOBLK_OUT(status);
  dispatch(blkptr, true, group, status, __func__);
}

}  // extern "C"
