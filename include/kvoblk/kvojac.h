// Jacobian evaluation of a block: the base solve brackets that prepare and release the per-solve
// work data, variable grouping and the numeric Jacobian, the last-iterate buffers and the
// Schubert update, the Jacobian dispatchers, and the block inquiry with the one-line report.
#pragma once

#include "kvo_numeric.h"
#include "nux_framework.h"

#include "kvoblk_export.h"

extern "C" {

// ---- Solve brackets ------------------------------------------------------------------------
// Base routines of the pre_solve and post_solve slots. Pre-solve prepares what the derivative
// method in force needs (a variable grouping for NUMERIC, last-iterate buffers for the update
// methods); post-solve releases whatever grouping and buffers the block holds.
KVOBLK_API void kvoblk_base_pre_solve(int blkptr, int* status);
KVOBLK_API void kvoblk_base_post_solve(int blkptr, int* status);

// ---- Variable grouping and numeric Jacobian ------------------------------------------------
// Builds the block's variable grouping from its part of the Jacobian pattern; `flag` is
// ignored. A grouping the block already had is released when the new one is stored.
KVOBLK_API void blk_compute_vgrp(int blkptr, int flag, int* status);
KVOBLK_API void blk_destroy_vgrp(int blkptr);
// Numeric Jacobian by grouped differencing, evaluating the block's residuals whenever the
// numeric service asks.
KVOBLK_API void blk_numeric_jac(int blkptr, int* status);

// ---- Last-iterate buffers ------------------------------------------------------------------
// One double per block variable (lastx) or equation (lastf); null when the block has none. A
// buffer the block already had is released.
KVOBLK_API double* blk_allocate_lastx(int blkptr);
KVOBLK_API double* blk_allocate_lastf(int blkptr);
KVOBLK_API void blk_destroy_lastx(int blkptr);
KVOBLK_API void blk_destroy_lastf(int blkptr);
// Record the current variable values and residuals as the last iterate.
KVOBLK_API void blk_store_lastx(int blkptr);
KVOBLK_API void blk_store_lastf(int blkptr);

// ---- Schubert update -----------------------------------------------------------------------
// 1 when an update may be used; -1 not being solved, -2 not yet iterated, -3 nonlinearity ratio
// too far from 1.
KVOBLK_API int blk_schubert_check(int blkptr);
// Status 0 all rows updated, -k k rows skipped, 1 no last iterate, 2 an empty block, 3 the
// residuals failed.
KVOBLK_API void blk_schubert_update(int blkptr, int* status);

// ---- Jacobian dispatchers ------------------------------------------------------------------
KVOBLK_API void kvoblk_jac(int blkptr, int* status);
KVOBLK_API void kvoblk_group_jac(int blkptr, int group, int* status);

// ---- Block inquiry and report --------------------------------------------------------------
// Base routine of the inq_attr slot: fills the block-information record.
KVOBLK_API void kvoblk_base_inq_attr(int blkptr, nux_blk_t* info);
// The one-line block report on the report device.
KVOBLK_API void kvoblk_base_report(int blkptr);

}  // extern "C"

namespace kvoblk {
namespace detail {

// The next full-stop separated component of an identifier, Fortran style: `text` has `textlen`
// characters, `*pos` counts from 1; the token is blank-filled to `toklen` characters and
// receives the component (cut at `toklen`); `*count` is the component's length and `*pos`
// moves past its delimiter. A position outside the text yields an empty component.
inline void varid_next(const char* text, int textlen, int* pos, char* token, int toklen,
                       int* count) {
  if (token && toklen > 0) IU_CLRSTR(token, toklen);
  if (count) *count = 0;
  if (!pos) return;
  const int start = *pos;
  int n = 0;
  if (text && start >= 1 && start <= textlen) {
    for (int i = start - 1; i < textlen; ++i) {
      if (text[i] == '.' || text[i] == ' ') break;
      ++n;
    }
  }
  if (token) {
    for (int i = 0; i < n && i < toklen; ++i) token[i] = text[start - 1 + i];
  }
  if (count) *count = n;
  // A position at the very end of the integer range stays there rather than wrapping.
  const long long next = static_cast<long long>(start) + n + 1;
  *pos = next > 2147483647LL ? 2147483647 : static_cast<int>(next);
}

}  // namespace detail
}  // namespace kvoblk
