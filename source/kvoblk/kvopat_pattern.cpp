// SPDX-License-Identifier: BSD-3-Clause
// The block-local pattern: adapters from the global Jacobian and from the host's pattern
// objects, and the names of a block-local equation or variable for messages.
#include <new>
#include <vector>

#include "kvblk_internal.h"
#include "kvopat.h"

namespace W = kvoblk_word;

namespace kvoblk {
namespace detail {

const int kNoEntries[1] = {0};

int local_number(int global, int start) {
  const int64_t v = static_cast<int64_t>(global) - start + 1;
  return v > INT32_MAX || v < INT32_MIN ? 0 : static_cast<int>(v);
}

bool pattern_of_object(kv_jac_t object, int first, int last, int estart, int vstart,
                       BlockPattern* p) {
  const int64_t n = extent(first, last);
  if (!p->resize(n)) return false;
  for (int64_t k = 0; k < n; ++k) {
    const int pos = static_cast<int>(first + k);
    p->rows[k] = local_number(kvojac_inq_nz_eqnnum(object, pos), estart);
    p->cols[k] = local_number(kvojac_inq_nz_varnum(object, pos), vstart);
  }
  return true;
}

bool pattern_of_block(int blkptr, const char* fn, BlockPattern* p) {
  p->rows.clear();
  p->cols.clear();
  const int first = word(blkptr, W::nzstart), last = word(blkptr, W::nzstop);
  const int64_t n = span(first, last);
  if (n <= 0) return true;
  const kv_jac_t jac = blk_inq_matrix_jacobian(blkptr);
  if (!inside_jacobian(first, last, kvojac_inq_nnz(jac))) {
    if (fn) report_outside_jacobian(blkptr, fn, first, last);
    return false;
  }
  if (!pattern_of_object(jac, first, last, word(blkptr, W::estart), word(blkptr, W::vstart), p))
    throw std::bad_alloc();
  return true;
}

int64_t first_outside(const BlockPattern& p, int64_t nvar, int64_t neq) {
  for (int64_t k = 0; k < p.rows.size(); ++k)
    if (p.rows[k] < 1 || p.rows[k] > neq || p.cols[k] < 1 || p.cols[k] > nvar) return k;
  return -1;
}

int64_t first_repeated(const BlockPattern& p, int64_t nvar) {
  // The row in which each column was last seen; rows are grouped, so a column seen again in
  // the same row is a repeat.
  std::vector<int> seen_in(static_cast<size_t>(nvar) + 1, 0);
  for (int64_t k = 0; k < p.rows.size(); ++k) {
    int& seen = seen_in[static_cast<size_t>(p.cols[k])];
    if (seen == p.rows[k]) return k;
    seen = p.rows[k];
  }
  return -1;
}

void report_no_pattern_object(int blkptr, const char* fn, int64_t nnz) {
  head(fn);
  kvoprintf(kvHisDev,
            "The Jacobian service gave no pattern object for the %lld non-zeros of block %s\n",
            static_cast<long long>(nnz), id_text(blkptr));
}

kv_jac_t object_of_pattern(const BlockPattern& p, int blkptr, const char* fn) {
  const kv_jac_t object = kvojac_create(p.size());
  if (object == 0) {
    // The pattern found is lost and the caller fails: say why, or the block's placement fails
    // without a word.
    report_no_pattern_object(blkptr, fn, p.size());
    return 0;
  }
  kvojac_set_nnz(object, p.size());
  kvojac_set_columns(object, p.cols.data());
  kvojac_set_rows(object, p.rows.data());
  return object;
}

const char* eqn_name(int blkptr, int64_t i) {
  const int64_t pos = word(blkptr, W::estart) + i - 1;
  return text(kvoeqnlst_lookup_eqn_name(blk_inq_matrix_eqnlst(blkptr), clamp32(pos)));
}

const char* var_name(int blkptr, int64_t j) {
  const int64_t pos = word(blkptr, W::vstart) + j - 1;
  return text(kvovarlst_lookup_var_name(blk_inq_matrix_varlst(blkptr), clamp32(pos)));
}

}  // namespace detail
}  // namespace kvoblk
