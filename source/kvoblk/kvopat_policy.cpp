// SPDX-License-Identifier: BSD-3-Clause
// Pattern initialisation policy: the non-zero capacity estimate, the reservation at dimensioning
// by pattern initialisation type, dimensioning itself, and writing a block's pattern into the
// global Jacobian.
#include <cstdint>

#include "kvblk_internal.h"
#include "kvopat.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// p * percent / 100, truncating towards zero as 32-bit arithmetic does, computed wide and
// clamped to the 32-bit range. |p| < 2^62, so only the product with the percentage can leave
// 64 bits; when it does, the quotient is far outside 32 bits anyway.
int fill_of(int64_t p, int32_t percent) {
  if (p == 0 || percent == 0) return 0;
  const int64_t q = percent;
  const int64_t aq = q < 0 ? -q : q;
  const int64_t ap = p < 0 ? -p : p;
  if (ap > INT64_MAX / aq) return (p < 0) != (q < 0) ? INT32_MIN : INT32_MAX;
  return clamp32(p * q / 100);
}

void dense_report(int blkptr, int estimate, int n) {
  kvoprintf(kvHisDev, "\n%s %s\n%s %s\n%s %d\n%s %d\n\n",
            "Error creating sparsity pattern for block", text(blkid(blkptr)),
            "Max. number of nonzeros is too small.", "Please increase the matrix density factor.",
            "Max. number of nonzeros     :", estimate, "Detected number of nonzeros :", n);
}

// Writes a block-local pattern into the global Jacobian from position nzstart. Every entry must
// lie inside the block: an entry naming another block's equation or variable would corrupt the
// flowsheet's matrix, so such a pattern is refused whole.
bool place_pattern(int blkptr, const BlockPattern& p, kv_jac_t jac, int nzstart, int* errors) {
  const int vstart = word(blkptr, W::vstart), estart = word(blkptr, W::estart);
  const int64_t nvar = static_cast<int64_t>(word(blkptr, W::vstop)) - vstart + 1;
  const int64_t neq = static_cast<int64_t>(word(blkptr, W::estop)) - estart + 1;
  // A start below 1 names no non-zero. An empty pattern writes none and may start anywhere
  // (a block without non-zeros may have been given no position), but its stop lies just before
  // its start: one before the smallest start would not fit a word.
  const int n = p.size();
  const bool start_bad = n > 0 ? nzstart < 1 : nzstart == INT32_MIN;
  if (start_bad || static_cast<int64_t>(nzstart) + n - 1 > INT32_MAX) {
    head("kvoblk_pat_ini");
    kvoprintf(kvHisDev, "Invalid non-zero start %d for %d non-zeros of block %s\n", nzstart, n,
              text(blkid(blkptr)));
    ++*errors;
    return false;
  }
  const int64_t bad = first_outside(p, nvar, neq);
  if (bad >= 0) {
    head("kvoblk_pat_ini");
    kvoprintf(kvHisDev, "Pattern entry %d (row %d, column %d) lies outside block %s\n",
              static_cast<int>(bad + 1), p.rows[bad], p.cols[bad], text(blkid(blkptr)));
    ++*errors;
    return false;
  }
  // The host sizes the flowsheet's Jacobian; one counted short of the entries is not written
  // past its end, and the block is not left claiming non-zeros the Jacobian does not hold.
  if (n > 0 && !inside_jacobian(nzstart, nzstart + n - 1, kvojac_inq_nnz(jac))) {
    report_outside_jacobian(blkptr, "kvoblk_pat_ini", nzstart, nzstart + n - 1);
    ++*errors;
    return false;
  }
  word(blkptr, W::nzstop) = nzstart + n - 1;
  for (int i = 0; i < n; ++i) {
    kvojac_set_nz_eqnnum(jac, nzstart + i, estart + p.rows[i] - 1);
    kvojac_set_nz_varnum(jac, nzstart + i, vstart + p.cols[i] - 1);
  }
  return true;
}

}  // namespace

namespace kvoblk {
namespace detail {

void kvoblk_pat_max_nnz(int blkptr, int nvar, int neq, int* nnz, int* errors) {
  KVOBLK_OUT(nnz);
  KVOBLK_OUT(errors);
  kvoblk_settings_t* s = live(blkptr, "kvoblk_pat_max_nnz") ? settings(blkptr) : nullptr;
  if (!s) {
    ++*errors;
    return;
  }
  // Small blocks are reserved dense, larger ones by the fill percentage.
  const int64_t p = static_cast<int64_t>(nvar) * neq;
  *nnz = p <= s->pat_dense_limit ? clamp32(p) : fill_of(p, s->pat_fill_percent);
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

KVOBLK_API void blkpat_dim(int blkptr, int nvar, int neq, int* nnz, int* errors) {
  KVOBLK_OUT(nnz);
  KVOBLK_OUT(errors);
  if (nvar <= 0 || neq <= 0) return;
  switch (kvoblk_inq_pat_ini_type(blkptr)) {
    case KVOBLK_PAT_SELF:  // the model's own count stands
      return;
    case KVOBLK_PAT_NUMERIC:
      return kvoblk_pat_max_nnz(blkptr, nvar, neq, nnz, errors);
    case KVOBLK_PAT_RESTORE:
      return kvoblk_pat_file_dim(blkptr, nvar, neq, nnz, errors);
    default:
      ++*errors;
  }
}

KVOBLK_API void kvoblk_dim(int blkptr, int* nvar, int* neqn, int* nnz, int* status) {
  KVOBLK_OUT(nvar);
  KVOBLK_OUT(neqn);
  KVOBLK_OUT(nnz);
  KVOBLK_OUT(status);
  *nvar = *neqn = *nnz = *status = 0;
  if (!live(blkptr, __func__)) {
    *status = 1;
    return;
  }
  const uint64_t serial = serial_of(blkptr);
  kvoblk_selfdim(blkptr, nvar, neqn, nnz, status);
  // A routine that destroyed its block leaves no settings to reserve by (a block made at its
  // handle since is another one): the dimensioning ends with what the routine said, as a
  // placement ends with its routine.
  if (!same_serial(blkptr, serial)) return;
  blkpat_dim(blkptr, *nvar, *neqn, nnz, status);
  // The counts stay beside the record for the placement that follows; a dimensioning that failed
  // leaves none, rather than those of an earlier one.
  BlockFacts* s = facts(blkptr);
  if (!s) return;
  s->dim_known = *status == 0 && *nvar >= 0 && *neqn >= 0 && *nnz >= 0;
  s->dim_nvar = *nvar;
  s->dim_neq = *neqn;
  s->dim_nnz = *nnz;
}

KVOBLK_API void kvoblk_pat_ini(int blkptr, int nzstart, int* errors) {
  KVOBLK_OUT(errors);
  kvoblk_settings_t* s = live(blkptr, __func__) ? settings(blkptr) : nullptr;
  if (!s) {
    ++*errors;
    return;
  }
  const int type = s->pat_ini_type;
  s->pat_type = KVOBLK_PATTYPE_UNDEFINED;

  if (type == KVOBLK_PAT_SELF) {
    kv_jac_t jac = blk_inq_matrix_jacobian(blkptr);
    if (jac == 0) return;
    // An empty slot is reported by the dispatcher with the status left 0, yet nothing has been
    // written: that is a failure here, not an ANALYTIC pattern.
    const kvoblk_ops_t* t = ops(blkptr);
    const bool stated = t && t->selfpat;
    // The model's routine gets a status word of its own: the caller's counter may already hold
    // earlier failures, which must not be cleared. A failure adds one like any other.
    int status = 0;
    const uint64_t serial = serial_of(blkptr);
    kvoblk_selfpat(blkptr, &jac, &status);
    // A routine that released the block has initialised nothing the caller can use, and a block
    // made at its handle since is another one, whose pattern type is left as it is.
    if (!same_serial(blkptr, serial)) {
      head(__func__);
      kvoprintf(kvHisDev, "Block %d was destroyed while its sparsity was being initialised\n",
                blkptr);
      ++*errors;
      return;
    }
    if (!stated) {
      ++*errors;
      return;
    }
    if (status != 0) ++*errors;
    kvoblk_set_pat_type(blkptr, KVOBLK_PATTYPE_ANALYTIC);
    return;
  }
  if (type != KVOBLK_PAT_NUMERIC && type != KVOBLK_PAT_RESTORE) {
    head("kvoblk_pat");
    kvoprintf(kvHisDev, "Internal error (Unknown type).\n");
    ++*errors;
    return;
  }

  kv_jac_t jac = blk_inq_matrix_jacobian(blkptr);
  if (jac == 0) return;
  const uint64_t serial = serial_of(blkptr);
  kv_jac_t pattern =
      type == KVOBLK_PAT_NUMERIC ? kvoblk_npat(blkptr, errors) : kvoblk_rpat(blkptr, errors);
  if (pattern == 0) return;  // counted by the routine that failed
  // Detection and restoring run model code; a block released meanwhile has nowhere to go, and
  // one made at its handle since is another block, which gets no pattern of this one.
  if (!same_serial(blkptr, serial)) {
    ++*errors;
    kvojac_destroy(&pattern);
    return;
  }

  const int nvar = clamp32(span(word(blkptr, W::vstart), word(blkptr, W::vstop)));
  const int neq = clamp32(span(word(blkptr, W::estart), word(blkptr, W::estop)));
  int estimate = 0, estimate_errors = 0;
  kvoblk_pat_max_nnz(blkptr, nvar, neq, &estimate, &estimate_errors);
  if (estimate_errors != 0) {
    ++*errors;
    kvoblk_set_pat_type(blkptr, KVOBLK_PATTYPE_UNDEFINED);
    kvojac_destroy(&pattern);
    return;
  }
  const int n = kvojac_inq_nnz(pattern);
  bool placed = false;
  if (n > estimate) {
    dense_report(blkptr, estimate, n);
    ++*errors;
  } else {
    // The object's entries are block-local already.
    BlockPattern p;
    if (pattern_of_object(pattern, 1, n, 1, 1, &p)) {
      placed = place_pattern(blkptr, p, jac, nzstart, errors);
    } else {
      head("kvoblk_pat_ini");
      kvoprintf(kvHisDev, "Not enough memory to place the sparsity of block %s\n",
                text(blkid(blkptr)));
      ++*errors;
    }
  }
  // A pattern that did not reach the Jacobian leaves the block without a pattern type.
  if (!placed) kvoblk_set_pat_type(blkptr, KVOBLK_PATTYPE_UNDEFINED);
  kvojac_destroy(&pattern);
}

}  // extern "C"
