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

// The column with the sign (1 or -1) applied. The negative of the smallest int is itself, as the
// hardware gives it, without the undefined overflow of a plain negation.
int signed_as(int sign, int column) {
  return sign > 0 ? column : static_cast<int>(0u - static_cast<uint32_t>(column));
}

// The copy of the shorter column list that kvoblk_pat_row_diff strikes columns out of: a strike
// takes the first place that holds the column and moves the copy's last element into it. Each
// column's places are kept in a heap of their own, smallest first, so that a strike costs no
// search of the copy: a row of n columns is compared in time near n, not n squared, and what is
// left ends in the same order as if the copy had been searched from its start every time.
class StrikeCopy {
 public:
  // False when memory ran out.
  bool build(const int* columns, int n) {
    n_ = n;
    if (!value_.resize(n > 0 ? n : 1)) return false;
    if (n == 0) return true;
    std::memcpy(value_.data(), columns, static_cast<size_t>(n) * sizeof(int));
    // Number the distinct columns in an open-addressed table at most half full.
    int64_t slots = 2;
    shift_ = 31;
    while (slots < 2 * static_cast<int64_t>(n)) {
      slots *= 2;
      --shift_;
    }
    mask_ = static_cast<uint32_t>(slots - 1);
    if (!key_.resize(slots) || !number_.resize(slots) || !group_.resize(n) || !heap_.resize(n) ||
        !where_.resize(n) || !first_.resize(static_cast<int64_t>(n) + 1) || !size_.resize(n))
      return false;
    std::memset(number_.data(), 0, static_cast<size_t>(slots) * sizeof(int));
    int groups = 0;
    for (int p = 0; p < n; ++p) {
      int g = find(value_[p]);
      if (g < 0) {
        g = groups++;
        const uint32_t slot = free_slot(value_[p]);
        key_[slot] = value_[p];
        number_[slot] = g + 1;
        size_[g] = 0;
      }
      group_[p] = g;
      ++size_[g];
    }
    // Each column's places, in increasing order, make a valid heap as they stand.
    first_[0] = 0;
    for (int g = 0; g < groups; ++g) first_[g + 1] = first_[g] + size_[g];
    for (int g = 0; g < groups; ++g) size_[g] = 0;
    for (int p = 0; p < n; ++p) {
      const int g = group_[p];
      const int i = first_[g] + size_[g]++;
      heap_[i] = p;
      where_[p] = i;
    }
    return true;
  }

  // Strikes the first place holding `column`; false when the copy holds it nowhere.
  bool strike(int column) {
    if (n_ == 0) return false;
    const int g = find(column);
    if (g < 0 || size_[g] == 0) return false;
    const int at = heap_[first_[g]];
    const int last = n_ - 1;
    const int moved = group_[last];
    if (at == last || moved == g) {
      // The place keeps the column (or is the last one): the column loses its last place.
      remove(g, where_[last]);
    } else {
      remove(g, first_[g]);
      // The last element's place in its heap becomes `at`, which lies before it.
      const int i = where_[last];
      heap_[i] = at;
      where_[at] = i;
      group_[at] = moved;
      value_[at] = value_[last];
      sift_up(moved, i);
    }
    --n_;
    return true;
  }

  int left() const { return n_; }
  int column(int p) const { return value_[p]; }

 private:
  // The first slot to look at: the top bits of the product, which depend on every bit of the
  // column (its low bits depend only on the column's low bits, and columns a power of two apart
  // would all pile up in one run of slots).
  uint32_t hash(int v) const { return (static_cast<uint32_t>(v) * 0x9E3779B1u) >> shift_; }

  // The number of the column, or -1.
  int find(int v) const {
    for (uint32_t slot = hash(v);; slot = (slot + 1) & mask_) {
      if (number_[slot] == 0) return -1;
      if (key_[slot] == v) return number_[slot] - 1;
    }
  }
  uint32_t free_slot(int v) const {
    uint32_t slot = hash(v);
    while (number_[slot] != 0) slot = (slot + 1) & mask_;
    return slot;
  }

  void put(int i, int p) {
    heap_[i] = p;
    where_[p] = i;
  }
  void sift_up(int g, int i) {
    const int p = heap_[i];
    while (i > first_[g]) {
      const int up = first_[g] + (i - first_[g] - 1) / 2;
      if (heap_[up] <= p) break;
      put(i, heap_[up]);
      i = up;
    }
    put(i, p);
  }
  void sift_down(int g, int i) {
    const int p = heap_[i];
    const int end = first_[g] + size_[g];
    for (;;) {
      const int64_t below = first_[g] + 2 * static_cast<int64_t>(i - first_[g]) + 1;
      if (below >= end) break;
      int child = static_cast<int>(below);
      if (child + 1 < end && heap_[child + 1] < heap_[child]) ++child;
      if (heap_[child] >= p) break;
      put(i, heap_[child]);
      i = child;
    }
    put(i, p);
  }
  // Takes the heap entry at index i out of column g's heap.
  void remove(int g, int i) {
    const int end = first_[g] + --size_[g];
    if (i == end) return;
    put(i, heap_[end]);
    sift_down(g, i);
    sift_up(g, i);
  }

  int n_ = 0;
  uint32_t mask_ = 0;
  int shift_ = 31;               // 32 less the number of bits of a slot number
  HeapArray<int> value_;         // the copy
  HeapArray<int> key_, number_;  // column -> number + 1 (0: free slot)
  HeapArray<int> group_;         // place -> number of its column
  HeapArray<int> heap_, where_;  // each column's places, and where each place sits in them
  HeapArray<int> first_, size_;  // where each column's heap starts, and its length
};
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
  // found is struck out (its first place in the copy), by moving the copy's last element into
  // its place.
  const bool a_longer = na >= nn;
  const int* longer = a_longer ? a : n;
  const int* shorter = a_longer ? n : a;
  const int nl = a_longer ? na : nn;
  const int ns = a_longer ? nn : na;
  const int sign_longer = a_longer ? 1 : -1;

  HeapArray<int> result;
  StrikeCopy copy;
  if (!copy.build(shorter, ns) || !result.resize(static_cast<int64_t>(nl) + ns + 1)) {
    *result_count = -1;
    return;
  }
  int count = 0;
  for (int k = 0; k < nl; ++k)
    if (!copy.strike(longer[k])) result[count++] = signed_as(sign_longer, longer[k]);
  for (int k = 0; k < copy.left(); ++k) result[count++] = signed_as(-sign_longer, copy.column(k));
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
