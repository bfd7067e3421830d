// SPDX-License-Identifier: BSD-3-Clause
// Numeric sparsity detection: perturb one variable at a time, re-evaluate the block's residuals
// and record every equation that moved; the step rule, the row sort and kvoblk_npat.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kvblk_internal.h"
#include "kvopat.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// Detection statuses beyond the three the callers know: the working arrays could not be had,
// or the residual routine destroyed the block.
constexpr int kNoMemory = 4;
constexpr int kBlockGone = 5;

// Entries reserved up front per variable and equation at most. The fill-factor rule below
// suits small blocks; for large ones it reserves a share of nvar x neq, which grows with the
// square of the block (a 100,000 x 100,000 block would ask for 4 GB before finding anything),
// so the start is capped in proportion to nvar + neq and growth follows what is found. At 20
// the cap first bites just above 100 x 100, which still starts at the rule's 4000 entries.
constexpr int64_t kStartPerItem = 20;

// Initial size of the entry arrays for nvar x neq: 40, 20 or 5 percent of the product by its
// square root, or the whole product when that is below 50, and never more than kStartPerItem
// entries per variable and equation. The product is taken wide; beyond 32 bits the estimate
// keeps the value it has at the largest product that fits.
int64_t initial_capacity(int64_t nvar, int64_t neq) {
  const int64_t d = nvar * neq;
  const int64_t fitting = d > INT32_MAX ? INT32_MAX : d;
  const double s = std::sqrt(static_cast<double>(fitting));
  const double factor = s <= 1000.0 ? 0.4 : s < 10000.0 ? 0.2 : 0.05;
  const int64_t size = static_cast<int64_t>(static_cast<double>(fitting) * factor);
  const int64_t rule = size < 50 ? fitting : size;
  return std::min(rule, kStartPerItem * (nvar + neq));
}

// Growth of the entry arrays once column j (0-based) has filled them with `count` entries: the
// density seen so far projected onto the columns still to come, at least 100 entries, but never
// more than the entries already found. Early columns that are denser than the rest (a full
// first column, say) would otherwise project a size of the order of nvar x neq; doubling at
// most keeps the arrays within twice what is found while costing only a logarithmic number of
// reallocations. Computed wide.
int64_t growth(int64_t count, int64_t j, int64_t nvar, int64_t neq) {
  const double seen = static_cast<double>(count + 1) / (static_cast<double>(j + 1) * neq);
  const double more = std::floor(seen * (static_cast<double>(nvar - j) * neq));
  const double most = std::max(100.0, static_cast<double>(count));
  return static_cast<int64_t>(std::max(100.0, std::min(more, most)));
}

// The scale a step near zero is taken from: a scale of 0, or one that is not a finite number,
// would give a step that moves nothing (and an empty column without a word), so it counts as 1;
// a negative scale counts by its size.
double usable_scale(double scale) {
  return scale != 0.0 && std::isfinite(scale) ? std::fabs(scale) : 1.0;
}

// The block's equation values estart..estop: the live residual array itself when the whole
// range lies inside it, else a copy read one by one into `spare`. Valid until the next call that
// may change the list.
const double* residuals(int eqnlst, int estart, int neq, double* spare) {
  const double* vec = kvoeqnlst_vec_residual(eqnlst);
  if (vec && estart >= 1 && static_cast<int64_t>(estart) + neq - 1 <= kvoeqnlst_inq_neqn(eqnlst))
    return vec + (estart - 1);
  for (int i = 0; i < neq; ++i) spare[i] = kvoeqnlst_inq_eqn_value(eqnlst, estart + i);
  return spare;
}

void report_count(const char* what, const char* id, int64_t n) {
  kvoprintf(kvHisDev, "\n%s", "Error in numerical sparsity.");
  kvoprintf(kvHisDev, "%s", "Number of ");
  kvoprintf(kvHisDev, "%s%s%s%d\n", what, id, " is ", clamp32(n));
}

void report_no_memory(const char* id) {
  head("kvoblk_npat");
  kvoprintf(kvHisDev, "Not enough memory to compute the sparsity of block %s\n", id);
}

// The working arrays of one detection, released together.
struct Work {
  HeapArray<double> entry;  // variable values found on entry
  HeapArray<double> moved;  // the point the experiment starts from, when moved away from zero
  HeapArray<double> r0;     // equation values at the base point
  HeapArray<double> r;      // equation values at a perturbed point, when read one by one
  double* base = nullptr;   // the start point: the moved one, or the entry values
};

// One detection: the block's extent, read before any model code runs, the lists, and the
// entries found.
struct Detection {
  int blkptr = 0;
  // The block's registration: the residual routine may destroy it and make another at its
  // handle, which is not the block being detected.
  uint64_t serial = 0;
  int vstart = 0, estart = 0;
  int64_t nvar = 0, neq = 0;
  int varlst = 0, eqnlst = 0;
  BlockPattern* found = nullptr;
  int64_t n = 0, capacity = 0, most = 0;
  // The first equation (block-local, from 1) whose change under a perturbation was not a
  // number, and the variable perturbed; 0 when none. Such a change passes no tolerance, so the
  // entry is not recorded: the detection warns instead of placing a pattern that may lack it
  // without a word.
  int nan_row = 0, nan_col = 0;
  // The first equation whose residual was infinite at the base point; 0 when none. It compares
  // equal to itself whenever a perturbation leaves it infinite, so no entry of its row shows.
  int inf_row = 0;

  int nv() const { return static_cast<int>(nvar); }
  int ne() const { return static_cast<int>(neq); }

  // The entry arrays at their initial capacity, and the working arrays.
  bool allocate(int move, Work* w) {
    // The arrays never need more than nvar x neq entries, nor more than a count can number.
    most = std::min<int64_t>(nvar * neq, INT32_MAX);
    capacity = initial_capacity(nvar, neq);
    if (!found->reserve(capacity)) {
      // The estimate is only a start; begin small and let the growth rule size the arrays.
      found->reset();
      capacity = std::min<int64_t>(std::max<int64_t>(neq, 100), most);
      if (!found->reserve(capacity)) return false;
    }
    if (!w->entry.resize(nvar) || (move && !w->moved.resize(nvar)) || !w->r0.resize(neq) ||
        !w->r.resize(neq))
      return false;
    w->base = move ? w->moved.data() : w->entry.data();
    return true;
  }

  // Base point: values near zero are moved away from it first, so that a relative step means
  // something for them.
  void move_from_zero(Work* w, double zerotol, double moveamount) {
    for (int j = 0; j < nv(); ++j) {
      w->base[j] = w->entry[j];
      if (std::fabs(w->base[j]) < zerotol) {
        const int pos = vstart + j;
        int direction = 0;
        kvoblk_npat_step(kvovarlst_inq_var_upper(varlst, pos, 0),
                         kvovarlst_inq_var_lower(varlst, pos, 0), &w->base[j], moveamount,
                         &direction);
        kvovarlst_set_var_value(varlst, pos, w->base[j], 0);
      }
    }
  }

  // The experiment: the residuals at the base point, then one variable at a time perturbed and
  // every equation that moved recorded. Returns whether any residual evaluation failed; *status
  // is kNoMemory when the entry arrays could not grow, kBlockGone when the residual routine
  // destroyed the block (the experiment ends there: nothing is left to evaluate).
  bool scan(Work* w, double pertsize, double zerotol, int* status) {
    const int nv = this->nv();
    const int ne = this->ne();
    HeapArray<int>& rows = found->rows;
    HeapArray<int>& cols = found->cols;
    // One residual failure spoils the whole experiment, whatever the later evaluations report,
    // so the failure is remembered apart from the status word each evaluation clears.
    bool residual_failed = false;
    int res_status = 0;
    auto evaluate = [&] {
      kvoblk_npat_res(blkptr, &res_status);
      if (res_status != 0) residual_failed = true;
      if (!same_serial(blkptr, serial)) *status = kBlockGone;
    };
    evaluate();
    if (*status != 0) return residual_failed;
    std::memcpy(w->r0.data(), residuals(eqnlst, estart, ne, w->r.data()),
                static_cast<size_t>(ne) * sizeof(double));
    for (int i = 0; i < ne && inf_row == 0; ++i)
      if (std::isinf(w->r0[i])) inf_row = i + 1;

    for (int j = 0; j < nv && *status == 0; ++j) {
      const int pos = vstart + j;
      const double x = w->base[j];
      const double h = std::fabs(x) > zerotol
                           ? pertsize * (std::fabs(x) + 1.0)
                           : pertsize * usable_scale(kvovarlst_inq_var_scale(varlst, pos));
      double moved = x;
      int direction = 0;
      kvoblk_npat_step(kvovarlst_inq_var_upper(varlst, pos, 0),
                       kvovarlst_inq_var_lower(varlst, pos, 0), &moved, h, &direction);
      kvovarlst_set_var_value(varlst, pos, moved, 0);
      evaluate();
      kvovarlst_set_var_value(varlst, pos, x, 0);
      if (*status != 0) break;
      const double* r = residuals(eqnlst, estart, ne, w->r.data());

      // An unchanged residual gives a zero (or, for h = 0, undefined) quotient, which never
      // exceeds a tolerance of zero or more: with such a tolerance the scan skips unchanged
      // equations without dividing, which is most of them in a sparse block.
      const bool skip_unchanged = zerotol >= 0.0;
      const double* r0 = w->r0.data();
      for (int i = 0; i < ne; ++i) {
        if (skip_unchanged) {
          while (i < ne && r[i] == r0[i]) ++i;
          if (i == ne) break;
        }
        const double dr = r[i] - r0[i];
        if (std::isnan(dr) && nan_row == 0) {
          nan_row = i + 1;
          nan_col = j + 1;
        }
        if (!(std::fabs(dr / h * direction) > zerotol)) continue;
        if (n == capacity) {
          int64_t grown = std::min(capacity + growth(n, j, nvar, neq), most);
          if (grown <= capacity || !rows.reserve(grown) || !cols.reserve(grown)) {
            *status = kNoMemory;
            break;
          }
          capacity = grown;
        }
        rows[n] = i + 1;
        cols[n] = j + 1;
        ++n;
      }
    }
    rows.n = cols.n = n;
    return residual_failed;
  }
};

// Reports a block without variables or equations (status 1) or one wider than a 32-bit word
// can number.
bool numberable(const Detection& d, int* status) {
  if (d.nvar <= 0 || d.neq <= 0) {
    *status = 1;
    if (d.nvar <= 0) report_count("variables for block ", id_text(d.blkptr), d.nvar);
    if (d.neq <= 0) report_count("equations for block ", id_text(d.blkptr), d.neq);
    return false;
  }
  // Positions and counts are 32-bit words; a range wider than that cannot be numbered.
  if (d.nvar > INT32_MAX || d.neq > INT32_MAX) {
    *status = kNoMemory;
    report_no_memory(id_text(d.blkptr));
    return false;
  }
  return true;
}

// False when the block's detection evaluations would run no routine: its detection slot is
// empty, or holds the base routine while the residual slot is empty. Every residual would then
// stay as it is, and an empty pattern would pass for the one detected (RESTORE saves it to the
// pattern file, where later runs find it).
bool evaluates(int blkptr) {
  const kvoblk_ops_t* t = ops(blkptr);
  if (!t || !t->npat_res) return false;
  return t->npat_res != kvoblk_base_npat_res || t->res != nullptr;
}

// Every variable is checked before anything is changed, and its entry value kept. Equal bounds
// fix a variable; only an upper bound below the lower one is refused. A value that is not a
// number is outside, and so is an infinite one, even within infinite bounds: no step moves it,
// and every residual it reaches stays infinite, so its column and their rows would be lost.
bool bounds_respected(const Detection& d, double* entry) {
  bool respected = true;
  for (int j = 0; j < d.nv(); ++j) {
    const int pos = d.vstart + j;
    const double x = kvovarlst_inq_var_value(d.varlst, pos, 0);
    const double upper = kvovarlst_inq_var_upper(d.varlst, pos, 0);
    const double lower = kvovarlst_inq_var_lower(d.varlst, pos, 0);
    entry[j] = x;
    if (!(x >= lower && x <= upper) || std::isinf(x)) {
      kvoprintf(kvHisDev, "%s%d", "Variable ", j);
      kvoprintf(kvHisDev, "%s%s%s\n", " , ", text(kvovarlst_lookup_var_name(d.varlst, pos)),
                " is outside its bounds");
      respected = false;
    }
    if (upper < lower) {
      kvoprintf(kvHisDev, "%s%d", "Variable ", j);
      kvoprintf(kvHisDev, "%s%s%s\n", " , ", text(kvovarlst_lookup_var_name(d.varlst, pos)),
                " has the bounds switched.");
      respected = false;
    }
  }
  return respected;
}

}  // namespace

namespace kvoblk {
namespace detail {

void kvoblk_npat_step(double upper, double lower, double* value, double h, int* direction) {
  KVOBLK_OUT(direction);
  *direction = 0;
  if (!value || upper == lower) return;
  const double x = *value;
  // Down near the upper bound, up near the lower one; elsewhere up from a value that is not
  // negative and down from a negative one (and down when x is not a number).
  const bool up = !(x >= upper - h) && (x <= lower + h || x >= 0);
  *value = up ? x + h : x - h;
  *direction = up ? 1 : -1;
}

void kvoblk_pat_sort_rows(int* rows, int* cols, int count, int neq) {
  if (!rows || !cols || count <= 0 || neq <= 0) return;
  // A row outside the block has no bucket; such arrays are left as they are.
  for (int i = 0; i < count; ++i)
    if (rows[i] < 1 || rows[i] > neq) return;

  HeapArray<int> ends, r2, c2;
  if (ends.resize(static_cast<int64_t>(neq) + 1) && r2.resize(count) && c2.resize(count)) {
    // Bucket r ends where rows 1..r end; each entry goes to the last free place of its bucket,
    // so rows come out increasing and the entries of one row in reverse input order.
    std::memset(ends.data(), 0, (static_cast<size_t>(neq) + 1) * sizeof(int));
    for (int i = 0; i < count; ++i) ++ends[rows[i]];
    for (int r = 1; r <= neq; ++r) ends[r] += ends[r - 1];
    for (int i = 0; i < count; ++i) {
      int pos = --ends[rows[i]];
      r2[pos] = rows[i];
      c2[pos] = cols[i];
    }
    std::memcpy(rows, r2.data(), static_cast<size_t>(count) * sizeof(int));
    std::memcpy(cols, c2.data(), static_cast<size_t>(count) * sizeof(int));
  } else {
    // Without scratch memory: the same order in place, by reversing and then sorting stably
    // by row with insertions.
    std::reverse(rows, rows + count);
    std::reverse(cols, cols + count);
    for (int i = 1; i < count; ++i) {
      int at = static_cast<int>(std::upper_bound(rows, rows + i, rows[i]) - rows);
      std::rotate(rows + at, rows + i, rows + i + 1);
      std::rotate(cols + at, cols + i, cols + i + 1);
    }
  }
}

void kvoblk_npat_compute(int blkptr, int* status, BlockPattern* found, double pertsize,
                         double zerotol, double moveamount, int move) {
  KVOBLK_OUT(status);
  KVOBLK_OUT(found);
  *status = 0;
  found->reset();
  if (!live(blkptr, "kvoblk_npat")) return;

  // Everything needed from the record is read now: the residual routine runs model code.
  Detection d;
  d.blkptr = blkptr;
  d.serial = serial_of(blkptr);
  d.found = found;
  d.vstart = word(blkptr, W::vstart);
  d.estart = word(blkptr, W::estart);
  d.nvar = static_cast<int64_t>(word(blkptr, W::vstop)) - d.vstart + 1;
  d.neq = static_cast<int64_t>(word(blkptr, W::estop)) - d.estart + 1;
  if (!numberable(d, status)) return;
  Work w;
  if (!d.allocate(move, &w)) {
    found->reset();
    *status = kNoMemory;
    report_no_memory(id_text(blkptr));
    return;
  }
  int jac = 0;
  blk_inq_matrix(blkptr, &d.varlst, &d.eqnlst, &jac);
  if (!bounds_respected(d, w.entry.data())) {
    *status = 3;
    kvoprintf(kvHisDev, "\n%s", "Sparsity not computed. Please correct");
    kvoprintf(kvHisDev, "%s\n", " previous mistakes and try again.");
    return;
  }
  if (!evaluates(blkptr)) {
    // The dispatcher reports the empty slot, once; nothing is perturbed, and the detection ends
    // as after a residual problem, with no entries.
    int ignored = 0;
    kvoblk_npat_res(blkptr, &ignored);
    *status = 2;
  } else {
    if (move) d.move_from_zero(&w, zerotol, moveamount);
    const bool residual_failed = d.scan(&w, pertsize, zerotol, status);
    if (*status == 0 && residual_failed) *status = 2;
  }
  kvoblk_pat_sort_rows(found->rows.data(), found->cols.data(), found->size(), d.ne());

  if (*status == 2) {
    kvoprintf(kvHisDev, "\n%s", "Error in numerical sparsity.");
    kvoprintf(kvHisDev, "%s", "Errors/warnings in residuals for block ");
    kvoprintf(kvHisDev, "%s\n", id_text(blkptr));
    kvoprintf(kvHisDev, "%s", "Sparsity may be wrong.");
  } else if (*status == kNoMemory) {
    report_no_memory(id_text(blkptr));
  } else if (*status == kBlockGone) {
    head("kvoblk_npat");
    kvoprintf(kvHisDev, "Block %d was destroyed while its sparsity was being computed\n", blkptr);
  }
  // Named as the numeric Jacobian's warning names them: block-local numbers and list names.
  if (d.nan_row != 0 && (*status == 0 || *status == 2))
    kvoprintf(kvHisDev,
              "\nWarning in numerical sparsity for block %s: the residual of equation %d (%s) "
              "was not a number at the base point or with variable %d (%s) perturbed. Sparsity "
              "may be wrong.\n",
              id_text(blkptr), d.nan_row,
              text(kvoeqnlst_lookup_eqn_name(d.eqnlst, d.estart + d.nan_row - 1)), d.nan_col,
              text(kvovarlst_lookup_var_name(d.varlst, d.vstart + d.nan_col - 1)));
  if (d.inf_row != 0 && (*status == 0 || *status == 2))
    kvoprintf(kvHisDev,
              "\nWarning in numerical sparsity for block %s: the residual of equation %d (%s) "
              "was infinite at the base point. Sparsity may be wrong.\n",
              id_text(blkptr), d.inf_row,
              text(kvoeqnlst_lookup_eqn_name(d.eqnlst, d.estart + d.inf_row - 1)));

  // Every variable gets its entry value back, which also undoes the move away from zero.
  for (int j = 0; j < d.nv(); ++j) kvovarlst_set_var_value(d.varlst, d.vstart + j, w.entry[j], 0);
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

KVOBLK_API kv_jac_t kvoblk_npat(int blkptr, int* errors) {
  KVOBLK_OUT(errors);
  // A pattern comes back exactly when no error was counted.
  if (!live(blkptr, __func__)) {
    ++*errors;
    return 0;
  }
  kvoblk_settings_t* s = settings(blkptr);
  if (!s) {
    ++*errors;
    return 0;
  }
  int status = 0;
  BlockPattern found;
  // The type is set on the block the pattern was detected for, not on one made at its handle.
  const uint64_t serial = serial_of(blkptr);
  kvoblk_npat_compute(blkptr, &status, &found, s->pertsize, s->zerotol, s->moveamount, s->move);
  kv_jac_t pattern = status == 0 ? object_of_pattern(found, blkptr, __func__) : 0;
  if (pattern == 0) {
    ++*errors;
    return 0;
  }
  if (same_serial(blkptr, serial)) kvoblk_set_pat_type(blkptr, KVOBLK_PATTYPE_NUMERIC);
  return pattern;
}

}  // extern "C"
