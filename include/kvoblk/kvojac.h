// SPDX-License-Identifier: BSD-3-Clause
/// @file
/// Jacobian evaluation of a block: the base solve brackets that prepare and release the per-solve
/// work data, variable grouping and the numeric Jacobian, the last-iterate buffers and the
/// Schubert update, the Jacobian dispatchers, and the block inquiry with the one-line report.
#pragma once

#include <kvoblk/host/kvo_numeric.h>
#include <kvoblk/kvoblk_host_types.h>

#include <kvoblk/kvoblk_export.h>

/// Answers of blk_schubert_check: positive allows an update, negative says why not.
typedef enum kvoblk_schubert_check_t {
  KVOBLK_SCHUBERT_ALLOWED = 1,
  KVOBLK_SCHUBERT_NOT_BEING_SOLVED = -1,
  KVOBLK_SCHUBERT_NOT_ITERATED = -2,
  KVOBLK_SCHUBERT_NLRATIO_OFF = -3,  ///< nonlinearity ratio too far from 1
} kvoblk_schubert_check_t;

/// Status of blk_schubert_update: 0 every row updated, a negative -k when k rows were skipped,
/// and a positive code when no update was made.
typedef enum kvoblk_schubert_status_t {
  KVOBLK_SCHUBERT_UPDATED = 0,
  KVOBLK_SCHUBERT_NO_LAST_ITERATE = 1,
  KVOBLK_SCHUBERT_EMPTY_BLOCK = 2,
  KVOBLK_SCHUBERT_RESIDUALS_FAILED = 3,
} kvoblk_schubert_status_t;

KVOBLK_BEGIN_DECL

// ---- Solve brackets ------------------------------------------------------------------------
/// Base routines of the pre_solve and post_solve slots. Pre-solve prepares what the derivative
/// method in force needs (a variable grouping for NUMERIC, last-iterate buffers for the update
/// methods); post-solve releases whatever grouping and buffers the block holds. *status 0
/// success, else the status of the variable grouping that failed.
///@{
KVOBLK_API void kvoblk_base_pre_solve(int blkptr, int* status);
KVOBLK_API void kvoblk_base_post_solve(int blkptr, int* status);
///@}

// ---- Variable grouping and numeric Jacobian ------------------------------------------------
/// Builds the block's variable grouping from its part of the Jacobian pattern; `flag` is
/// ignored. A grouping the block already had is released when the new one is stored; *status 0
/// made, non-zero not. blk_destroy_vgrp releases the grouping.
///@{
KVOBLK_API void blk_compute_vgrp(int blkptr, int flag, int* status);
KVOBLK_API void blk_destroy_vgrp(int blkptr);
///@}
/// Numeric Jacobian by grouped differencing, evaluating the block's residuals whenever the
/// numeric service asks. *status 0 success, else the status of the residual evaluation or of
/// the grouping that failed.
KVOBLK_API void blk_numeric_jac(int blkptr, int* status);

// ---- Last-iterate buffers ------------------------------------------------------------------
/// One double per block variable (lastx) or equation (lastf), owned by the block. A buffer the
/// block already had is released. Returns the new buffer, null when the block has no variables
/// (equations), for handle 0, or when memory runs out; the destroy calls release the buffer.
///@{
KVOBLK_API double* blk_allocate_lastx(int blkptr);
KVOBLK_API double* blk_allocate_lastf(int blkptr);
KVOBLK_API void blk_destroy_lastx(int blkptr);
KVOBLK_API void blk_destroy_lastf(int blkptr);
///@}
/// Record the current variable values and residuals as the last iterate.
///@{
KVOBLK_API void blk_store_lastx(int blkptr);
KVOBLK_API void blk_store_lastf(int blkptr);
///@}

// ---- Schubert update -----------------------------------------------------------------------
/// @return a kvoblk_schubert_check_t: KVOBLK_SCHUBERT_ALLOWED when an update may be used, a
/// negative code saying why not.
KVOBLK_API int blk_schubert_check(int blkptr);
/// *status is a kvoblk_schubert_status_t: KVOBLK_SCHUBERT_UPDATED (0) all rows updated, -k when
/// k rows were skipped, a positive code when no update was made.
KVOBLK_API void blk_schubert_update(int blkptr, int* status);

// ---- Jacobian dispatchers ------------------------------------------------------------------
/// The Jacobian of the block, or of one equation group, by the block's derivative method.
/// Nothing happens for an excluded block; *status 0 success, else the status of the method
/// that failed.
///@{
KVOBLK_API void kvoblk_jac(int blkptr, int* status);
KVOBLK_API void kvoblk_group_jac(int blkptr, int group, int* status);
///@}

// ---- Block inquiry and report --------------------------------------------------------------
/// Base routine of the inq_attr slot: fills the block-information record.
KVOBLK_API void kvoblk_base_inq_attr(int blkptr, nux_blk_t* info);
/// The one-line block report on the report device.
KVOBLK_API void kvoblk_base_report(int blkptr);

KVOBLK_END_DECL
