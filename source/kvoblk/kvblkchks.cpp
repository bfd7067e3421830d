// SPDX-License-Identifier: BSD-3-Clause
// Structure checksums: feed a sample of a block's variable names, equation names and sparsity
// pattern into an MD5 digest, and the structure digest that the pattern file stores and checks.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <kvoblk/host/kvo_lists.h>
#include <kvoblk/host/kvo_md5.h>
#include "kvblk_internal.h"
#include "kvopat.h"

namespace W = kvoblk_word;
using kvoblk::detail::live;
using kvoblk::detail::word;

namespace {

// One text at a time: up to 128 characters and the terminator.
constexpr int kTextBytes = 129;

// Density k samples one entry in every 1000/k, starting with the first. A density outside
// 1..1000, zero included, samples one in 1000 (zero would otherwise divide by zero).
int64_t stride_of(int k) { return k >= 1 && k <= 1000 ? 1000 / k : 1000; }

// The first sampled position of a range starting at `first` that is a real position (at least
// 1): positions below 1 hold nothing, and the grid stays the one that starts at `first`.
int64_t first_real(int64_t first, int64_t stride) {
  if (first >= 1) return first;
  return first + (1 - first + stride - 1) / stride * stride;
}

// Feeds exactly the characters of the text: no terminator, separator or length. The buffer's
// last byte is never written by a well-behaved service, so the length never runs past it.
void feed(kvo_md5_ctx* ctx, const char* text) {
  const size_t n = strnlen(text, kTextBytes - 1);
  if (n) MD5Update(ctx, reinterpret_cast<const unsigned char*>(text), static_cast<unsigned>(n));
}

// Feeds the text "row-column" of one pattern entry, in plain decimal. The numbers are formed in
// 64 bits so that a stray global number cannot overflow; in range they print as "%d" does.
void feed_entry(kvo_md5_ctx* ctx, char* text, int64_t row, int64_t col) {
  std::snprintf(text, kTextBytes, "%lld-%lld", static_cast<long long>(row),
                static_cast<long long>(col));
  feed(ctx, text);
}

// Feeds the sampled names of positions first..last of a list with `count` positions. Positions
// outside the list have no name and feed nothing, so the list service is never asked for one.
void feed_names(int list, int count, int first, int last, int k, kvo_md5_ctx* ctx,
                void (*fetch)(int, int, char*)) {
  char text[kTextBytes];
  std::memset(text, 0, sizeof text);
  const int64_t stride = stride_of(k);
  for (int64_t pos = first_real(first, stride); pos <= last && pos <= count; pos += stride) {
    fetch(list, static_cast<int>(pos), text);
    feed(ctx, text);
  }
}

// Feeds the sampled names of the block's range of one list: the variables or the equations.
void list_checksum(int blkptr, const char* fn, int k, kvo_md5_ctx* ctx, int (*list_of)(int),
                   int (*count_of)(int), int start_word, int stop_word,
                   void (*fetch)(int, int, char*)) {
  try {
    if (!ctx || !live(blkptr, fn)) return;
    const int list = list_of(blkptr);
    if (!list) return;
    feed_names(list, count_of(list), word(blkptr, start_word), word(blkptr, stop_word), k, ctx,
               fetch);
  } catch (...) {
  }
}

}  // namespace

namespace kvoblk {
namespace detail {

void kvblkchks_pat_checksum(int k, int* nnz, const int* rows, const int* cols, kvo_md5_ctx* ctx) {
  if (!ctx || !nnz || !rows || !cols) return;
  char text[kTextBytes];
  std::memset(text, 0, sizeof text);
  const int64_t count = *nnz;
  const int64_t stride = stride_of(k);
  for (int64_t i = 0; i < count; i += stride) feed_entry(ctx, text, rows[i], cols[i]);
}

// The names and the block's own pattern are fed only for a live block; a caller that passes a
// bad handle reports it itself, so nothing is printed here.
void structure_digest(int blkptr, const BlockPattern* pattern, unsigned char digest[16]) {
  const bool block = blkptr != 0 && registered(blkptr);
  kvo_md5_ctx ctx{nullptr};
  MD5Init(&ctx);
  if (block) {
    kvblkchks_var_checksum(blkptr, 1, &ctx);
    kvblkchks_eqn_checksum(blkptr, 1, &ctx);
  }
  if (!pattern) {
    if (block) kvblkchks_jac_checksum(blkptr, 1, &ctx);
  } else {
    int nnz = pattern->size();
    kvblkchks_pat_checksum(1, &nnz, pattern->rows.data(), pattern->cols.data(), &ctx);
  }
  MD5Final(digest, &ctx);
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

// The list services are reached through the library's own small functions, never by their
// addresses: a host function whose address is taken must exist when the library is loaded,
// while one that is only called is bound at its first call.
KVOBLK_API void kvblkchks_var_checksum(int blkptr, int k, kvo_md5_ctx* ctx) {
  list_checksum(
      blkptr, __func__, k, ctx, blk_inq_matrix_varlst,
      [](int list) { return kvovarlst_inq_nvar(list); }, W::vstart, W::vstop,
      [](int list, int pos, char* text) { kvovarlst_inq_var_name(list, pos, text); });
}

KVOBLK_API void kvblkchks_eqn_checksum(int blkptr, int k, kvo_md5_ctx* ctx) {
  list_checksum(
      blkptr, __func__, k, ctx, blk_inq_matrix_eqnlst,
      [](int list) { return kvoeqnlst_inq_neqn(list); }, W::estart, W::estop,
      [](int list, int pos, char* text) { kvoeqnlst_inq_eqn_name(list, pos, text); });
}

// Entry p of the block's part of the Jacobian is element p-1 of the row and column views. Only
// elements inside both views are read: a block whose nzstop runs past the Jacobian feeds the
// entries that exist and stops.
KVOBLK_API void kvblkchks_jac_checksum(int blkptr, int k, kvo_md5_ctx* ctx) {
  try {
    if (!ctx || !live(blkptr, __func__)) return;
    kv_jac_t jac = blk_inq_matrix_jacobian(blkptr);
    if (!jac) return;
    const int64_t vstart = word(blkptr, W::vstart);
    const int64_t estart = word(blkptr, W::estart);
    const int nzstart = word(blkptr, W::nzstart);
    const int nzstop = word(blkptr, W::nzstop);
    if (nzstop < nzstart) return;
    KVJacIrn row_view(&jac);
    KVJacIcn col_view(&jac);
    const int* rows = row_view.data();
    const int* cols = col_view.data();
    if (!rows || !cols) return;
    const int64_t available = std::min(row_view.size(), col_view.size());
    char text[kTextBytes];
    std::memset(text, 0, sizeof text);
    const int64_t stride = stride_of(k);
    for (int64_t p = first_real(nzstart, stride); p <= nzstop && p <= available; p += stride) {
      const int i = static_cast<int>(p - 1);
      feed_entry(ctx, text, rows[i] - estart + 1, cols[i] - vstart + 1);
    }
  } catch (...) {
  }
}

}  // extern "C"
