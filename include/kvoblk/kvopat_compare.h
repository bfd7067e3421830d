// Checks of a block's sparsity pattern and the two comparisons a modeller uses to verify a
// block's derivative information: stored pattern against the pattern found the other way, and
// analytic Jacobian values against numeric ones.
#pragma once

#include "kvo_lists.h"

#include "kvoblk_export.h"

extern "C" {

// Base routine of the npat_compare slot. Checks the block's stored pattern and compares it with
// the pattern obtained the other way: a stored ANALYTIC pattern with one detected numerically,
// a stored NUMERIC pattern with the one the model's selfpat routine states; prints the check
// messages and the difference report on the history device. A pertsize or zerotol of 0 or less
// (or not a number) means the block's own setting. *errors: 0 compared (differences are not
// errors), 1 no stored non-zeros or stored pattern type UNDEFINED, 2 the second pattern could
// not be obtained, 3 the numeric pattern fails the check, 4 the analytic pattern fails it.
// The block's settings, range words, variable values and stored pattern are as they were on
// return, whatever happened.
KVOBLK_API void kvoblk_npat_compare_base(int blkptr, double pertsize, double zerotol, int* errors);

// Evaluates the block's Jacobian analytically and then numerically (with `pertsize` when it is
// above 0, else the block's own) and hands back the non-zeros whose values differ
// significantly: |A - N| > abstol and |A - N| > |reltol * A|, or A and N of opposite signs.
// *count entries come back in three arrays: the global non-zero positions, the analytic values
// and the numeric values. The arrays are made with malloc and belong to the caller, who releases
// each with free; when *count is 0 (nothing significant, or a failure) all three pointers are
// null and there is nothing to release. *errors is 0, or the status of the Jacobian evaluation
// that failed, or 1 when the comparison could not be made (the block's non-zeros are not in the
// Jacobian, the block does not support ANALYTIC derivatives, or memory ran out). The derivative
// method, the perturbation size and the block's variable values are as they were on return; the
// Jacobian holds the numeric values.
KVOBLK_API void kvoblk_jac_compare(int blkptr, double pertsize, double reltol, double abstol,
                                   int* count, int** positions, double** analytic, double** numeric,
                                   int* errors);

}  // extern "C"

// Routines inside the library (not exported), declared here for the library's own units and for
// tests built from the library's objects.
namespace kvoblk {
namespace detail {

// Checks one block-local pattern of `count` entries (rows and cols, 1-based, grouped by row);
// with either array null it checks the block's stored pattern instead. Type 1 announces an
// analytic pattern, type 2 a numeric one. *status: 0 no obvious error, 1 no variables or no
// equations, 2 no non-zeros or more than variables x equations, 3 an entry outside the block,
// 4 rows out of order, 5 a row or column without entries, 6 the same after a row-order error,
// 7 a column twice in one row.
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
