// SPDX-License-Identifier: BSD-3-Clause
// The report of the differences between two block-local patterns: the row difference of two
// column lists and the comparison report, equation by equation.
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

// True when every row of the pattern lies in 1..neq and no row is below the one before it: what
// the report relies on to take each equation's entries as one run.
bool rows_grouped(int nnz, const int* rows, int64_t neq) {
  for (int k = 0; k < nnz; ++k) {
    if (rows[k] < 1 || rows[k] > neq) return false;
    if (k > 0 && rows[k] < rows[k - 1]) return false;
  }
  return true;
}

// The differences of every equation, one equation after the other: the signed columns of
// kvoblk_pat_row_diff, and how many of them each equation (from 1) has.
struct RowDifferences {
  std::vector<int> columns, per_eqn;
};

RowDifferences row_differences(const int* cols_a, const int* cols_n,
                               const std::vector<int>& count_a, const std::vector<int>& count_n) {
  const int64_t neq = static_cast<int64_t>(count_a.size()) - 1;
  RowDifferences r;
  r.per_eqn.assign(static_cast<size_t>(neq) + 1, 0);
  int at_a = 0, at_n = 0;
  for (int64_t i = 1; i <= neq; ++i) {
    int found = 0;
    int* d = nullptr;
    kvoblk::detail::kvoblk_pat_row_diff(cols_a + at_a, cols_n + at_n, count_a[i], count_n[i],
                                        &found, &d);
    if (found < 0) throw std::bad_alloc();
    if (found > 0) {
      try {
        r.columns.insert(r.columns.end(), d, d + found);
      } catch (...) {
        std::free(d);
        throw;
      }
    }
    std::free(d);
    r.per_eqn[i] = found;
    at_a += count_a[i];
    at_n += count_n[i];
  }
  return r;
}

const char* const kRule50 = "--------------------------------------------------";
const char* const kRule10 = "----------";

// The table of equations whose entry counts differ; nothing when none does.
void print_row_counts(int blkptr, const std::vector<int>& count_a,
                      const std::vector<int>& count_n) {
  const int64_t neq = static_cast<int64_t>(count_a.size()) - 1;
  int64_t spread = 0;
  for (int64_t i = 1; i <= neq; ++i) spread += std::llabs(count_a[i] - count_n[i]);
  if (spread == 0) return;
  kvoprintf(kvHisDev, "\nDifferences in the number of non-zero entries per equation:\n");
  kvoprintf(kvHisDev, "\n%-54s%-14s%-14s%-14s\n", "Equation", "Analytic", "Numeric", "Difference");
  kvoprintf(kvHisDev, "%-54s%-14s%-14s%-14s\n", kRule50, kRule10, kRule10, kRule10);
  for (int64_t i = 1; i <= neq; ++i) {
    if (count_a[i] == count_n[i]) continue;
    kvoprintf(kvHisDev, "%-50s%14d%14d%14d\n", eqn_name(blkptr, i), count_a[i], count_n[i],
              std::abs(count_a[i] - count_n[i]));
  }
  kvoprintf(kvHisDev, "%-54s%-14s%-14s%-14s\n", kRule50, kRule10, kRule10, kRule10);
}

// The list of every entry found in one pattern only, marked under the pattern that has it.
void print_entries(int blkptr, const RowDifferences& r) {
  kvoprintf(kvHisDev, "\n%s\n", "List of all different non-zero entries:");
  kvoprintf(kvHisDev, "\n%-52s%-52s%-4s%-4s\n", "Equation", "Variable", "Ana", "Num");
  kvoprintf(kvHisDev, "%-52s%-52s%-4s%-4s\n", kRule50, kRule50, "---", "---");
  const int64_t neq = static_cast<int64_t>(r.per_eqn.size()) - 1;
  int q = 0;
  for (int64_t i = 1; i <= neq; ++i) {
    for (int k = 0; k < r.per_eqn[i]; ++k, ++q) {
      const int d = r.columns[q];
      // An equation name that fills its column gets one blank after it, so that it never runs
      // into the variable's name; the marks that follow the variable start with a blank.
      const char* eqn = eqn_name(blkptr, i);
      kvoprintf(kvHisDev, "%-52s%s%-52s", eqn, std::strlen(eqn) >= 52 ? " " : "",
                var_name(blkptr, d < 0 ? -int64_t{d} : d));
      if (d > 0)
        kvoprintf(kvHisDev, "%-4s%-4s\n", " X ", "   ");
      else
        kvoprintf(kvHisDev, "%-4s%-4s\n", "   ", " X ");
    }
  }
}

}  // namespace

namespace kvoblk {
namespace detail {

void kvoblk_pat_row_diff(const int* a, const int* n, int na, int nn, int* result_count,
                         int** diff) {
  KVOBLK_OUT(result_count);
  KVOBLK_OUT(diff);
  *result_count = 0;
  *diff = nullptr;
  if (!a || na < 0) na = 0;
  if (!n || nn < 0) nn = 0;

  // The longer list is walked; the shorter one is worked on as a copy from which every column
  // found is struck out, by moving the copy's last element into its place.
  const bool a_longer = na >= nn;
  const int* longer = a_longer ? a : n;
  const int* shorter = a_longer ? n : a;
  const int nl = a_longer ? na : nn;
  int ns = a_longer ? nn : na;
  const int sign_longer = a_longer ? 1 : -1;

  HeapArray<int> copy, result;
  if (!copy.resize(ns > 0 ? ns : 1) || !result.resize(static_cast<int64_t>(nl) + ns + 1)) {
    *result_count = -1;
    return;
  }
  if (ns > 0) std::memcpy(copy.data(), shorter, static_cast<size_t>(ns) * sizeof(int));
  int count = 0;
  for (int k = 0; k < nl; ++k) {
    int at = 0;
    while (at < ns && copy[at] != longer[k]) ++at;
    if (at < ns) {
      copy[at] = copy[ns - 1];
      --ns;
    } else {
      result[count++] = sign_longer * longer[k];
    }
  }
  for (int k = 0; k < ns; ++k) result[count++] = -sign_longer * copy[k];
  if (count == 0) return;
  *result_count = count;
  *diff = result.release();
}

void kvoblk_pat_compare_report(int nnz_a, int nnz_n, const int* rows_a, const int* rows_n,
                               const int* cols_a, const int* cols_n, int blkptr) {
  if (!live(blkptr, "kvoblk_pat_compare_report")) return;
  if (!rows_a || !cols_a || nnz_a < 0) nnz_a = 0;
  if (!rows_n || !cols_n || nnz_n < 0) nnz_n = 0;
  const int64_t neq = span(word(blkptr, W::estart), word(blkptr, W::estop));
  if (neq <= 0 || !rows_grouped(nnz_a, rows_a, neq) || !rows_grouped(nnz_n, rows_n, neq)) {
    assertion("rows_grouped(nnz_a, rows_a, neq) && rows_grouped(nnz_n, rows_n, neq)", __LINE__);
    return;
  }
  std::vector<int> count_a(static_cast<size_t>(neq) + 1, 0), count_n(count_a);
  for (int k = 0; k < nnz_a; ++k) ++count_a[rows_a[k]];
  for (int k = 0; k < nnz_n; ++k) ++count_n[rows_n[k]];
  const RowDifferences d = row_differences(cols_a, cols_n, count_a, count_n);
  const int total = static_cast<int>(d.columns.size());

  kvoprintf(kvHisDev, "\nComparing ANALYTIC and NUMERICAL sparsity patterns...\n");
  if (total != 0)
    kvoprintf(kvHisDev, "\nFound %i significant differences.\n", total);
  else
    kvoprintf(kvHisDev, "\nFound no differences.\n");
  if (nnz_a != nnz_n) {
    kvoprintf(kvHisDev, "\nTotal number of non-zero entries:\n");
    kvoprintf(kvHisDev, "\nAnalytic      Numeric       Difference\n");
    kvoprintf(kvHisDev, "----------    ----------    ----------\n");
    kvoprintf(kvHisDev, "%10d    %10d    %10d\n", nnz_a, nnz_n,
              nnz_a > nnz_n ? nnz_a - nnz_n : nnz_n - nnz_a);
  }
  print_row_counts(blkptr, count_a, count_n);
  if (total != 0) print_entries(blkptr, d);
}

}  // namespace detail
}  // namespace kvoblk
