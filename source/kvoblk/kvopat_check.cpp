// SPDX-License-Identifier: BSD-3-Clause
// The check of a block-local pattern against its block: counts, bounds, row order, empty rows
// and columns, duplicates.
#include <kvoblk/kvopat_compare.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <kvoblk/kvojac.h>
#include "kvblk_internal.h"
#include "kvopat.h"
#include "kvopat_compare_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// Reports a block without variables or equations.
bool block_has_lines(int64_t nvar, int64_t neq) {
  if (nvar > 0 && neq > 0) return true;
  if (nvar <= 0)
    kvoprintf(kvHisDev, "%s%lld\n", "Error. Number of variables = ", static_cast<long long>(nvar));
  if (neq <= 0)
    kvoprintf(kvHisDev, "%s%lld\n", "Error. Number of equations = ", static_cast<long long>(neq));
  return false;
}

// Reports a count of entries that no pattern of the block can have.
bool count_possible(int count, int64_t nvar, int64_t neq) {
  if (count <= 0) {
    kvoprintf(kvHisDev, "%s%d\n", "Error. Number of nonzeros is ", count);
    return false;
  }
  const int64_t most = nvar * neq;
  if (count > most) {
    kvoprintf(kvHisDev, "%s\n", "Error. Number of nonzeros is too high.");
    kvoprintf(kvHisDev, "%s%lld\n",
              "Max number of nonzeros (variables*equations) = ", static_cast<long long>(most));
    kvoprintf(kvHisDev, "%s%d\n", "Number of nonzeros                           = ", count);
    return false;
  }
  return true;
}

// Reports every entry whose row or column lies outside the block.
bool entries_inside(int count, const int* rows, const int* cols, int64_t nvar, int64_t neq) {
  bool inside = true;
  for (int k = 0; k < count; ++k) {
    if (rows[k] < 1 || rows[k] > neq) {
      inside = false;
      kvoprintf(kvHisDev, "%s%d%s%d\n", "Error. Element ", k + 1,
                " has invalid row    number: ", rows[k]);
    }
    if (cols[k] < 1 || cols[k] > nvar) {
      inside = false;
      kvoprintf(kvHisDev, "%s%d%s%d\n", "Error. Element ", k + 1,
                " has invalid column number: ", cols[k]);
    }
  }
  return inside;
}

// Reports every entry whose row is above the next entry's.
bool rows_in_order(int count, const int* rows) {
  bool ordered = true;
  for (int k = 0; k + 1 < count; ++k) {
    if (rows[k] > rows[k + 1]) {
      ordered = false;
      kvoprintf(kvHisDev, "%s%d%s\n", "Error in element ", k + 1, ". Row not in increasing order.");
    }
  }
  return ordered;
}

// Reports every row and column without entries; row_count and col_count are indexed from 1.
bool no_empty_lines(int blkptr, const std::vector<int>& row_count,
                    const std::vector<int>& col_count) {
  const int64_t neq = static_cast<int64_t>(row_count.size()) - 1;
  const int64_t nvar = static_cast<int64_t>(col_count.size()) - 1;
  bool empty = false;
  for (int64_t i = 1; i <= neq; ++i) {
    if (row_count[i] != 0) continue;
    empty = true;
    kvoprintf(kvHisDev, "%s%lld%s%s\n", "Error. Zero incidence in row    ",
              static_cast<long long>(i), ", ", eqn_name(blkptr, i));
  }
  for (int64_t j = 1; j <= nvar; ++j) {
    if (col_count[j] != 0) continue;
    empty = true;
    kvoprintf(kvHisDev, "%s%lld%s%s\n", "Error. Zero incidence in column ",
              static_cast<long long>(j), ", ", var_name(blkptr, j));
  }
  return !empty;
}

// Reports every column that stands twice in a row. The entries of each row are gathered by
// their row number, in entry order, so that a pattern whose rows are out of order still has
// each of its rows checked as a whole and named correctly; for rows in order this is simply
// the consecutive runs.
bool no_duplicates(int blkptr, int count, const int* rows, const int* cols,
                   const std::vector<int>& row_count, int64_t nvar) {
  const int64_t neq = static_cast<int64_t>(row_count.size()) - 1;
  std::vector<int> start(static_cast<size_t>(neq) + 2, 0);
  for (int64_t i = 1; i <= neq; ++i) start[i + 1] = start[i] + row_count[i];
  std::vector<int> order(static_cast<size_t>(count));
  {
    std::vector<int> next(start.begin(), start.end());
    for (int k = 0; k < count; ++k) order[next[rows[k]]++] = k;
  }
  bool unique = true;
  std::vector<int64_t> seen_in(static_cast<size_t>(nvar) + 1, 0);
  for (int64_t i = 1; i <= neq; ++i) {
    for (int q = start[i]; q < start[i + 1]; ++q) {
      const int c = cols[order[q]];
      if (seen_in[c] != i) {
        seen_in[c] = i;
        continue;
      }
      unique = false;
      kvoprintf(kvHisDev, "%s%lld%s%s\n", "Error. Duplicate element. Row    ",
                static_cast<long long>(i), " ", eqn_name(blkptr, i));
      kvoprintf(kvHisDev, "%s%d%s%s\n", "                          Column ", c, " ",
                var_name(blkptr, c));
    }
  }
  return unique;
}

}  // namespace

namespace kvoblk {
namespace detail {

void kvoblk_pat_check(int count, const int* rows, const int* cols, int blkptr, int type,
                      int* status) {
  KVOBLK_OUT(status);
  *status = KVOBLK_PATCHECK_OK;
  if (!live(blkptr, "kvoblk_pat_check")) return;
  if (type == KVOBLK_PATTYPE_ANALYTIC)
    kvoprintf(kvHisDev, "\n%s\n", "Checking ANALYTICAL sparsity...");
  if (type == KVOBLK_PATTYPE_NUMERIC)
    kvoprintf(kvHisDev, "\n%s\n", "Checking NUMERICAL  sparsity...");

  const int64_t nvar = span(word(blkptr, W::vstart), word(blkptr, W::vstop));
  const int64_t neq = span(word(blkptr, W::estart), word(blkptr, W::estop));
  if (!block_has_lines(nvar, neq)) {
    *status = KVOBLK_PATCHECK_NO_VARS_OR_EQNS;
    return;
  }
  const bool stored = !rows || !cols;
  if (stored) count = clamp32(span(word(blkptr, W::nzstart), word(blkptr, W::nzstop)));
  if (!count_possible(count, nvar, neq)) {
    *status = KVOBLK_PATCHECK_BAD_COUNT;
    return;
  }
  // The stored pattern is read only once its count is known to be sensible.
  BlockPattern p;
  if (stored) {
    if (!pattern_of_block(blkptr, "kvoblk_pat_check", &p)) {
      *status = KVOBLK_PATCHECK_BAD_COUNT;
      return;
    }
    rows = p.rows.data();
    cols = p.cols.data();
  }
  if (!entries_inside(count, rows, cols, nvar, neq)) {
    *status = KVOBLK_PATCHECK_OUTSIDE_BLOCK;
    return;
  }
  // Every row and column is inside the block from here on.
  std::vector<int> row_count(static_cast<size_t>(neq) + 1, 0);
  std::vector<int> col_count(static_cast<size_t>(nvar) + 1, 0);
  for (int k = 0; k < count; ++k) {
    ++row_count[rows[k]];
    ++col_count[cols[k]];
  }
  const bool ordered = rows_in_order(count, rows);
  if (!no_empty_lines(blkptr, row_count, col_count)) {
    *status = ordered ? KVOBLK_PATCHECK_EMPTY_LINE : KVOBLK_PATCHECK_EMPTY_AFTER_ORDER;
    return;
  }
  if (!no_duplicates(blkptr, count, rows, cols, row_count, nvar))
    *status = KVOBLK_PATCHECK_DUPLICATE;
  else if (!ordered)
    *status = KVOBLK_PATCHECK_ROW_ORDER;
  if (*status == KVOBLK_PATCHECK_OK) kvoprintf(kvHisDev, "%s\n", "No obvious errors found.");
}

}  // namespace detail
}  // namespace kvoblk
