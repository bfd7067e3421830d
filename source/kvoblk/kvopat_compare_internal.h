// SPDX-License-Identifier: BSD-3-Clause
// Internals of the pattern comparison: the pattern check, the row difference, the report and the
// two comparison directions, for the library's own units and the tests built from its objects.
#pragma once

#include <kvoblk/kvopat_compare.h>

// Routines inside the library (not exported), declared here for the library's own units and for
// tests built from the library's objects.
namespace kvoblk {
namespace detail {

// Checks one block-local pattern of `count` entries (rows and cols, 1-based, grouped by row);
// with either array null it checks the block's stored pattern instead. The type says
// which pattern is checked (KVOBLK_PATTYPE_ANALYTIC or KVOBLK_PATTYPE_NUMERIC). *status is a
// kvoblk_pat_check_t code.
void kvoblk_pat_check(int count, const int* rows, const int* cols, int blkptr, int type,
                      int* status);

// The differences within one row between column lists a (na entries) and n (nn entries):
// *result_count signed columns, positive when only in a, negative when only in n, in a
// malloc'ed list handed back in *diff (null when there is no difference, or when memory ran
// out, then *result_count is -1). The caller releases the list with free.
void kvoblk_pat_row_diff(const int* a, const int* n, int na, int nn, int* result_count, int** diff);

// Prints the comparison report of the analytic pattern A and the numeric pattern N, both
// accepted by kvoblk_pat_check (rows inside the block, in non-decreasing order).
void kvoblk_pat_compare_report(int nnz_a, int nnz_n, const int* rows_a, const int* rows_n,
                               const int* cols_a, const int* cols_n, int blkptr);

// The two directions of the comparison, by the stored pattern type: ANALYTIC against detected
// numeric, NUMERIC against the model's own.
void kvoblk_npat_compare_analytic(int blkptr, double pertsize, double zerotol, int* errors);
void kvoblk_npat_compare_numeric(int blkptr, double pertsize, double zerotol, int* errors);

}  // namespace detail
}  // namespace kvoblk
