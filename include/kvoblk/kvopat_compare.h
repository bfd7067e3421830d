// SPDX-License-Identifier: BSD-3-Clause
/// @file
/// Checks of a block's sparsity pattern and the two comparisons a modeller uses to verify a
/// block's derivative information: stored pattern against the pattern found the other way, and
/// analytic Jacobian values against numeric ones.
#pragma once

#include <kvoblk/host/kvo_lists.h>

#include <kvoblk/kvoblk_export.h>

/// Results of the check of one pattern: 0 when it shows no obvious error, else the first fault
/// found.
typedef enum kvoblk_pat_check_t {
  KVOBLK_PATCHECK_OK = 0,
  KVOBLK_PATCHECK_NO_VARS_OR_EQNS = 1,    ///< the block has no variables or no equations
  KVOBLK_PATCHECK_BAD_COUNT = 2,          ///< no non-zeros, or more than variables x equations
  KVOBLK_PATCHECK_OUTSIDE_BLOCK = 3,      ///< an entry outside the block
  KVOBLK_PATCHECK_ROW_ORDER = 4,          ///< rows out of order
  KVOBLK_PATCHECK_EMPTY_LINE = 5,         ///< a row or column without entries
  KVOBLK_PATCHECK_EMPTY_AFTER_ORDER = 6,  ///< the same after a row-order error
  KVOBLK_PATCHECK_DUPLICATE = 7,          ///< a column twice in one row
} kvoblk_pat_check_t;

/// Results of kvoblk_npat_compare_base: 0 when the comparison was made (differences are not
/// errors), else why it was not.
typedef enum kvoblk_npat_compare_t {
  KVOBLK_COMPARE_DONE = 0,
  KVOBLK_COMPARE_NOTHING_STORED = 1,        ///< no stored non-zeros, or stored type UNDEFINED
  KVOBLK_COMPARE_NO_SECOND_PATTERN = 2,     ///< the pattern found the other way is missing
  KVOBLK_COMPARE_NUMERIC_FAILS_CHECK = 3,   ///< the numeric pattern fails the check
  KVOBLK_COMPARE_ANALYTIC_FAILS_CHECK = 4,  ///< the analytic pattern fails the check
} kvoblk_npat_compare_t;

KVOBLK_BEGIN_DECL

/// Base routine of the npat_compare slot. Checks the block's stored pattern and compares it with
/// the pattern obtained the other way: a stored ANALYTIC pattern with one detected numerically,
/// a stored NUMERIC pattern with the one the model's selfpat routine states; prints the check
/// messages and the difference report on the history device. A pertsize or zerotol of 0 or less
/// (or not a number) means the block's own setting. *errors is a kvoblk_npat_compare_t: 0 when
/// the comparison was made (differences are not errors), else why it was not.
/// The block's settings, range words, variable values and stored pattern are as they were on
/// return, whatever happened.
KVOBLK_API void kvoblk_npat_compare_base(int blkptr, double pertsize, double zerotol, int* errors);

/// Evaluates the block's Jacobian analytically and then numerically (with `pertsize` when it is
/// above 0, else the block's own) and hands back the non-zeros whose values differ
/// significantly: |A - N| > abstol and |A - N| > |reltol * A|, or A and N of opposite signs.
/// *count entries come back in three arrays: the global non-zero positions, the analytic values
/// and the numeric values. The arrays are made with malloc and belong to the caller, who releases
/// each with free; when *count is 0 (nothing significant, or a failure) all three pointers are
/// null and there is nothing to release. *errors is 0, or the status of the Jacobian evaluation
/// that failed, or 1 when the comparison could not be made (the block's non-zeros are not in the
/// Jacobian, the block does not support ANALYTIC derivatives, or memory ran out). The derivative
/// method, the perturbation size and the block's variable values are as they were on return; the
/// Jacobian holds the numeric values.
KVOBLK_API void kvoblk_jac_compare(int blkptr, double pertsize, double reltol, double abstol,
                                   int* count, int** positions, double** analytic, double** numeric,
                                   int* errors);

KVOBLK_END_DECL
