// SPDX-License-Identifier: BSD-3-Clause
// The comparison of a block's stored sparsity pattern with the pattern obtained the other way:
// detected against an analytic pattern, or the model's own against a detected one.
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

// Everything of the block the comparison with the model's pattern may disturb, put back when
// the comparison ends however it ends: the pattern initialisation type it switches, and the
// range words and pattern type, which a model's dimensioning or pattern routine may set as it
// does when the block is placed. They go back to the block the comparison began on only: a
// block that model code made at its handle meanwhile is another one, left as it is.
class BlockState {
 public:
  explicit BlockState(int blkptr) : blkptr_(blkptr), serial_(serial_of(blkptr)) {
    for (int k = W::vstart; k <= W::nzstop; ++k) ranges_[k] = word(blkptr, k);
    const kvoblk_settings_t* s = settings(blkptr);
    pat_ini_type_ = s ? s->pat_ini_type : 0;
    pat_type_ = s ? s->pat_type : 0;
  }
  ~BlockState() {
    restore_ini_type();
    restore_pattern();
  }
  BlockState(const BlockState&) = delete;
  BlockState& operator=(const BlockState&) = delete;

  // Written straight into the record: the setter refuses some values with a message, and the
  // type the block had must come back whatever it was.
  void restore_ini_type() {
    if (kvoblk_settings_t* s = gone() ? nullptr : settings(blkptr_))
      s->pat_ini_type = pat_ini_type_;
  }
  void restore_pattern() {
    if (gone()) return;
    for (int k = W::vstart; k <= W::nzstop; ++k) word(blkptr_, k) = ranges_[k];
    if (kvoblk_settings_t* s = settings(blkptr_)) s->pat_type = pat_type_;
  }
  // Whether the block was destroyed (or another made at its handle) since the state was taken.
  bool gone() const { return !same_serial(blkptr_, serial_); }

 private:
  int blkptr_;
  uint64_t serial_;
  int32_t ranges_[W::nzstop + 1] = {};
  int32_t pat_ini_type_ = 0, pat_type_ = 0;
};

// A pattern object of the Jacobian service, released when it goes out of scope.
struct PatternObject {
  explicit PatternObject(kv_jac_t h) : handle(h) {}
  ~PatternObject() { release(); }
  PatternObject(const PatternObject&) = delete;
  PatternObject& operator=(const PatternObject&) = delete;
  void release() {
    if (handle != 0) kvojac_destroy(&handle);
    handle = 0;
  }
  kv_jac_t handle;
};

// Checks both patterns, the numeric one first, and prints the comparison report when both pass.
// Empty rows or columns do not stop the comparison: the report shows them.
void check_and_report(int blkptr, const BlockPattern& a, const BlockPattern& n, int* errors) {
  const int count = n.size();
  const int* rows = entries_of(n.rows);
  const int* cols = entries_of(n.cols);
  int check = 0;
  kvoblk_pat_check(count, rows, cols, blkptr, KVOBLK_PATTYPE_NUMERIC, &check);
  if (check != KVOBLK_PATCHECK_OK && check != KVOBLK_PATCHECK_EMPTY_LINE) {
    *errors = KVOBLK_COMPARE_NUMERIC_FAILS_CHECK;
    return;
  }
  kvoblk_pat_check(a.size(), entries_of(a.rows), entries_of(a.cols), blkptr,
                   KVOBLK_PATTYPE_ANALYTIC, &check);
  if (check != KVOBLK_PATCHECK_OK && check != KVOBLK_PATCHECK_EMPTY_LINE) {
    *errors = KVOBLK_COMPARE_ANALYTIC_FAILS_CHECK;
    return;
  }
  kvoblk_pat_compare_report(a.size(), count, entries_of(a.rows), rows, entries_of(a.cols), cols,
                            blkptr);
}

// The number of non-zeros the model announces for its own pattern: dimensioning with SELF
// chosen. The setter prints why when the model states no pattern.
bool model_count(int blkptr, BlockState* state, int* nnz) {
  if (kvoblk_set_pat_ini_type(blkptr, KVOBLK_PAT_SELF) != KVOBLK_PAT_SELF) return false;
  int nvar = 0, neq = 0, status = 0;
  // This dimensioning only asks the model: the counts of the host's own one stay in force.
  const BlockFacts* s = facts(blkptr);
  const bool known = s && s->dim_known;
  const int kept[] = {s ? s->dim_nvar : 0, s ? s->dim_neq : 0, s ? s->dim_nnz : 0};
  kvoblk_dim(blkptr, &nvar, &neq, nnz, &status);
  state->restore_ini_type();
  if (BlockFacts* now = state->gone() ? nullptr : facts(blkptr)) {
    now->dim_known = known;
    now->dim_nvar = kept[0];
    now->dim_neq = kept[1];
    now->dim_nnz = kept[2];
  }
  return status == 0 && !state->gone();
}

// The pattern the model's own routine states, block-local, with nnz as its dimensioning
// announced.
bool model_pattern(int blkptr, BlockState* state, int nnz, BlockPattern* a) {
  // A model's pattern routine writes at the block's own non-zero positions, as at placement:
  // the object has room up to the block's first non-zero plus the reservation.
  const int nzs = word(blkptr, W::nzstart);
  const int64_t room = int64_t{nzs > 1 ? nzs - 1 : 0} + (nnz > 0 ? nnz : 0);
  PatternObject made(room > INT32_MAX ? 0 : kvojac_create(static_cast<int>(room)));
  if (made.handle == 0) {
    report_no_pattern_object(blkptr, "kvoblk_npat_compare_numeric", nnz);
    return false;
  }
  kvojac_set_nnz(made.handle, static_cast<int>(room));
  // A routine that writes at the block's own positions sets the block's stop as it does at
  // placement. The stop is cleared for the call so that setting it shows, even to the value it
  // had; the stored pattern's stop is put back afterwards.
  if (nzs >= 1) word(blkptr, W::nzstop) = nzs - 1;
  kv_jac_t given = made.handle;
  // An empty slot is reported by the dispatcher with the status left 0: the object then holds
  // nothing the model stated.
  const kvoblk_ops_t* t = ops(blkptr);
  const bool stated = t && t->selfpat;
  int status = 0;
  kvoblk_selfpat(blkptr, &given, &status);
  const int model_stop = state->gone() ? 0 : word(blkptr, W::nzstop);
  const int model_count = kvojac_inq_nnz(given);
  state->restore_pattern();
  if (!stated || status != 0 || state->gone()) return false;

  // The entries are read from the object the routine handed back, which is normally the one it
  // was given; only the object made here is released.
  const int estart = word(blkptr, W::estart), vstart = word(blkptr, W::vstart);
  // Entries from the block's first non-zero to the stop the routine set, when it set one there;
  // otherwise the object's entries 1 ... count, where a routine that left the count alone
  // states as many as its dimensioning announced.
  int first = 1, last = model_count;
  if (given == made.handle && model_count == room) last = nnz;
  if (given == made.handle && nzs >= 1 && model_stop >= nzs && model_stop <= room) {
    first = nzs;
    last = model_stop;
  }
  const int na = last >= first ? last - first + 1 : 0;
  if (!pattern_of_object(given, first, first + na - 1, estart, vstart, a)) throw std::bad_alloc();
  return true;
}

}  // namespace

namespace kvoblk {
namespace detail {

// The start both comparison directions share: the error word cleared, and a live block that
// holds stored non-zeros.
bool compare_begins(int blkptr, const char* fn, int* errors) {
  *errors = 0;
  if (!live(blkptr, fn)) return false;
  const int64_t n = span(word(blkptr, W::nzstart), word(blkptr, W::nzstop));
  if (n <= 0) {
    *errors = 1;
    kvoprintf(kvHisDev, "%s%lld\n", "Error. Number of nonzeros stored in Jacobian is ",
              static_cast<long long>(n));
    return false;
  }
  return true;
}

void kvoblk_npat_compare_analytic(int blkptr, double pertsize, double zerotol, int* errors) {
  static const char* const fn = "kvoblk_npat_compare_analytic";
  KVOBLK_OUT(errors);
  if (!compare_begins(blkptr, fn, errors)) return;
  const kvoblk_settings_t* s = settings(blkptr);
  if (!s) {
    *errors = KVOBLK_COMPARE_NO_SECOND_PATTERN;
    return;
  }
  // Anything but a positive size (a value that is not a number included) means the block's own.
  if (!(pertsize > 0)) pertsize = s->pertsize;
  if (!(zerotol > 0)) zerotol = s->zerotol;
  const double moveamount = s->moveamount;
  const int move = s->move;

  BlockPattern a;
  if (!pattern_of_block(blkptr, fn, &a)) {
    *errors = KVOBLK_COMPARE_NOTHING_STORED;
    return;
  }

  int status = 0;
  BlockPattern n;
  const uint64_t serial = serial_of(blkptr);
  kvoblk_npat_compute(blkptr, &status, &n, pertsize, zerotol, moveamount, move);
  if (status != 0 && status != 2) {
    *errors = KVOBLK_COMPARE_NO_SECOND_PATTERN;
    return;
  }
  // Detection ran the model's residual routine; a block it released (or replaced by another at
  // its handle) has nothing to compare.
  if (!same_serial(blkptr, serial)) {
    *errors = KVOBLK_COMPARE_NO_SECOND_PATTERN;
    return;
  }
  check_and_report(blkptr, a, n, errors);
}

void kvoblk_npat_compare_numeric(int blkptr, double, double, int* errors) {
  static const char* const fn = "kvoblk_npat_compare_numeric";
  KVOBLK_OUT(errors);
  if (!compare_begins(blkptr, fn, errors)) return;
  BlockPattern a;
  {
    BlockState state(blkptr);
    int nnz = 0;
    if (!model_count(blkptr, &state, &nnz) || !model_pattern(blkptr, &state, nnz, &a)) {
      *errors = KVOBLK_COMPARE_NO_SECOND_PATTERN;
      // A failing routine has had its say; one that released the block (or replaced it by
      // another at its handle) has not.
      if (state.gone()) {
        head(fn);
        kvoprintf(kvHisDev, "Block %d was destroyed while its sparsity was being compared\n",
                  blkptr);
      }
      return;
    }
  }
  BlockPattern stored;
  if (!pattern_of_block(blkptr, fn, &stored)) {
    *errors = KVOBLK_COMPARE_NOTHING_STORED;
    return;
  }
  check_and_report(blkptr, a, stored, errors);
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

KVOBLK_API void kvoblk_npat_compare_base(int blkptr, double pertsize, double zerotol, int* errors) {
  KVOBLK_OUT(errors);
  *errors = 0;
  if (!live(blkptr, __func__)) return;
  try {
    kvoprintf(kvHisDev, "\n%s %s\n", "Analyzing sparsity for block", text(blkid(blkptr)));
    switch (kvoblk_inq_pat_type(blkptr)) {
      case KVOBLK_PATTYPE_UNDEFINED:
        ++*errors;
        kvoprintf(kvHisDev, "\n%s\n\n", "Error. Stored sparsity is UNDEFINED.");
        break;
      case KVOBLK_PATTYPE_ANALYTIC:
        kvoprintf(kvHisDev, "\n%s %s\n", "Stored sparsity is ANALYTIC. Will compare with computed",
                  "NUMERIC sparsity.");
        kvoblk_npat_compare_analytic(blkptr, pertsize, zerotol, errors);
        break;
      case KVOBLK_PATTYPE_NUMERIC:
        kvoprintf(kvHisDev, "\n%s %s\n", "Stored sparsity is NUMERIC. Will compare with computed",
                  "ANALYTIC sparsity.");
        kvoblk_npat_compare_numeric(blkptr, pertsize, zerotol, errors);
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    report_compare_no_memory(blkptr, __func__, "sparsity");
    *errors = 2;
  } catch (...) {
    head(__func__);
    kvoprintf(kvHisDev, "Sparsity of block %s could not be compared\n", id_text(blkptr));
    *errors = 2;
  }
}

}  // extern "C"
