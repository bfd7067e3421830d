// SPDX-License-Identifier: BSD-3-Clause
// The Schubert update of a block's Jacobian values: whether an update may be used, the update
// itself with its three row tests, and the recording of the last iterate it compares against.
#include <cmath>
#include <cstdint>
#include <new>

#include <kvoblk/kvojac.h>
#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace kvoblk {
namespace detail {
// The last-iterate buffers (kvojac_numeric.cpp): data, entry count and number of the making of
// record word k.
double* buffer_data(int blkptr, int k);
int buffer_length(int blkptr, int k);
double buffer_making(int blkptr, int k);
}  // namespace detail
}  // namespace kvoblk

namespace {

// Why a row was not updated. FINITE: the three tests passed, but the row's secant residual or
// step is not a finite number (a residual, a variable or a value that is not a number or
// infinite, now or at the last iterate), so its correction would put that into the Jacobian.
enum Reason { UPDATED = 0, SMALL = 1, NOISE = 2, NORM = 3, FINITE = 4 };

constexpr double kNoiseFactor = 1.0e-10;
// The square root of 1.0e-16.
constexpr double kNormFactor = 1.0e-8;

// Whether doubles are evaluated as doubles. Where they are not (x87), a sum kept in a register
// rounds otherwise than one stored after every addition, so the update keeps storing them.
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
constexpr bool kDoublesExact = false;
#else
constexpr bool kDoublesExact = true;
#endif

void error_head() { kvoprintf(kvHisDev, "\n%s", "Error in Schubert update."); }

// The last-iterate buffer of record word k when it fits the block as now placed: n entries.
double* fitting_buffer(int blkptr, int k, int n) {
  double* data = buffer_data(blkptr, k);
  return data && buffer_length(blkptr, k) == n ? data : nullptr;
}

// The work arrays of one update, released together. They come from the nothrow allocator
// so that a heap that is full ends the update instead of the program.
template <class T>
T* get(int n) {
  return static_cast<T*>(heap_alloc(array_bytes(static_cast<size_t>(n), sizeof(T))));
}

struct Work {
  double* df = nullptr;
  double* dx = nullptr;
  char* moved = nullptr;  // per variable: moved by at least its threshold
  double* row_norm = nullptr;
  double* secant = nullptr;
  int* reason = nullptr;
  bool make(int nvar, int neq) {
    df = get<double>(neq);
    dx = get<double>(nvar);
    moved = get<char>(nvar);
    row_norm = get<double>(neq);
    secant = get<double>(neq);
    reason = get<int>(neq);
    return df && dx && moved && row_norm && secant && reason;
  }
  ~Work() {
    ::operator delete(df);
    ::operator delete(dx);
    ::operator delete(moved);
    ::operator delete(row_norm);
    ::operator delete(secant);
    ::operator delete(reason);
  }
};

// The block's slices of the live vectors: variable values, residuals, and the equation
// numbers, variable numbers and values of the non-zeros. A pointer is null when its list does
// not hold the block's whole range; the non-zero slices come together or not at all. The pattern
// vectors are views that stay valid while this object lives and the Jacobian is not changed,
// which the update does not do.
class Slices {
 public:
  Slices(int varlst, int eqnlst, kv_jac_t* jac, int vs, int es, int ns, int ne, int nvar, int neq)
      : irn_(jac), icn_(jac) {
    const double* xv = kvovarlst_vec_value(varlst);
    if (xv && vs >= 1 && static_cast<int64_t>(vs) + nvar - 1 <= kvovarlst_inq_nvar(varlst))
      x = xv + (vs - 1);
    const double* fv = kvoeqnlst_vec_residual(eqnlst);
    if (fv && es >= 1 && static_cast<int64_t>(es) + neq - 1 <= kvoeqnlst_inq_neqn(eqnlst))
      f = fv + (es - 1);
    double* bv = kvojac_vec_bj(*jac);
    if (bv && irn_.data() && icn_.data() && ns >= 1 && ne <= irn_.size() && ne <= icn_.size()) {
      irn = irn_.data() + (ns - 1);
      icn = icn_.data() + (ns - 1);
      bj = bv + (ns - 1);
    }
  }
  bool bulk() const { return irn && icn && bj; }

  const double* x = nullptr;
  const double* f = nullptr;
  const int* irn = nullptr;
  const int* icn = nullptr;
  double* bj = nullptr;

 private:
  KVJacIrn irn_;
  KVJacIcn icn_;
};

const char* reason_text(int reason) {
  switch (reason) {
    case SMALL:
      return "SMALL test fails.";
    case NOISE:
      return "NOISE test fails.";
    case FINITE:
      return "FINITE test fails.";
    default:
      return "NORM  test fails.";
  }
}

void report_no_last_iterate(int blkptr, int level) {
  if (level < 4) return;
  error_head();
  kvoprintf(kvHisDev, "%s", "Could not find last iterate for block ");
  kvoprintf(kvHisDev, "%s\n", text(blkid(blkptr)));
}

// Checks that the block has a last iterate that fits its placement and something to update,
// saying why not at diagnostic level 4 and above. A missing buffer is found first, then the
// empty counts, so that a block emptied after its buffers were made is told it is empty.
bool update_possible(int blkptr, int level, int nvar, int neq, int nnz, int* status) {
  if (!buffer_data(blkptr, W::lastx) || !buffer_data(blkptr, W::lastf)) {
    *status = KVOBLK_SCHUBERT_NO_LAST_ITERATE;
    report_no_last_iterate(blkptr, level);
    return false;
  }
  if (nvar <= 0 || neq <= 0 || nnz <= 0) {
    *status = KVOBLK_SCHUBERT_EMPTY_BLOCK;
    if (level >= 4) {
      const struct {
        int n;
        const char* what;
      } counts[3] = {{nvar, "variables for block "},
                     {neq, "equations for block "},
                     {nnz, " nonzeros for block "}};
      for (const auto& c : counts) {
        if (c.n > 0) continue;
        error_head();
        kvoprintf(kvHisDev, "%s", "Number of ");
        kvoprintf(kvHisDev, "%s%s%s%d\n", c.what, text(blkid(blkptr)), " is ", c.n);
      }
    }
    return false;
  }
  // Buffers sized for another placement of the block describe no iterate of this one.
  if (!fitting_buffer(blkptr, W::lastx, nvar) || !fitting_buffer(blkptr, W::lastf, neq)) {
    *status = KVOBLK_SCHUBERT_NO_LAST_ITERATE;
    report_no_last_iterate(blkptr, level);
    return false;
  }
  return true;
}

// Whether the variable and equation lists hold the block's ranges. Past a list's end a value
// reads as 0: the update would follow a step the block never took.
bool lists_hold(int blkptr, int varlst, int eqnlst) {
  const int vs = word(blkptr, W::vstart), ve = word(blkptr, W::vstop);
  const int es = word(blkptr, W::estart), ee = word(blkptr, W::estop);
  if (vs >= 1 && ve <= kvovarlst_inq_nvar(varlst) && es >= 1 && ee <= kvoeqnlst_inq_neqn(eqnlst))
    return true;
  head("blk_schubert_update");
  kvoprintf(kvHisDev, "Block %s lies outside its variable or equation list\n", text(blkid(blkptr)));
  return false;
}

// The steps dx = x - last of n variables, and whether each moved by at least its threshold,
// (|last| + 1) h; answers the sum of the squared steps, added in order. Kept out of line:
// inlined into the update, the compiler kept the running sum in memory.
[[gnu::noinline]] double steps(const double* x, const double* last, double h, int n, double* dx,
                               char* moved) {
  double total = 0.0;
  for (int j = 0; j < n; ++j) {
    const double lj = last[j];
    const double d = x[j] - lj;
    dx[j] = d;
    moved[j] = std::fabs(d) >= (std::fabs(lj) + 1.0) * h ? 1 : 0;
    total += d * d;
  }
  return total;
}

// One update: the block's extent as read after the residual evaluation, the last iterate, the
// work arrays, and the steps that fill them and change the Jacobian values.
struct Update {
  Update(int blkptr, int varlst_, int eqnlst_, kv_jac_t jac_, int nvar_, int neq_)
      : varlst(varlst_),
        eqnlst(eqnlst_),
        jac(jac_),
        nvar(nvar_),
        neq(neq_),
        vs(word(blkptr, W::vstart)),
        es(word(blkptr, W::estart)),
        ns(word(blkptr, W::nzstart)),
        ne(word(blkptr, W::nzstop)),
        lastx(fitting_buffer(blkptr, W::lastx, nvar)),
        lastf(fitting_buffer(blkptr, W::lastf, neq)),
        h(kvoblk_inq_pertsize(blkptr)),
        held_first(ns > 1 ? ns : 1),
        held_last(ne < kvojac_inq_nnz(jac_) ? ne : kvojac_inq_nnz(jac_)) {}

  // The changes of residuals and variables since the last iterate, which variables moved, and
  // the rows' starting values; returns the squared length of the step.
  double differences(const Slices& v) {
    for (int i = 0; i < neq; ++i)
      w.df[i] = (v.f ? v.f[i] : kvoeqnlst_inq_eqn_value(eqnlst, es + i)) - lastf[i];
    // Without the live vector, the values are gathered into dx first, so that the sum is
    // taken by the same code either way (steps reads each x before it writes its dx).
    const double* x = v.x;
    if (!x) {
      for (int j = 0; j < nvar; ++j) w.dx[j] = kvovarlst_inq_var_value(varlst, vs + j, 0);
      x = w.dx;
    }
    const double total = steps(x, lastx, h, nvar, w.dx, w.moved);
    for (int i = 0; i < neq; ++i) {
      w.row_norm[i] = 0.0;
      w.secant[i] = w.df[i];
      w.reason[i] = SMALL;
    }
    return total;
  }

  // Each row's squared step over its non-zeros and its secant residual. Non-zeros whose
  // equation or variable lies outside the block take no part: they belong to no row or column
  // of this block's arrays.
  void accumulate_rows(const Slices& v) {
    // One non-zero's part, the sums stored after every addition.
    auto add = [this](int64_t i, int64_t j, double a) {
      w.row_norm[i] += w.dx[j] * w.dx[j];
      w.secant[i] -= a * w.dx[j];
      if (w.moved[j]) w.reason[i] = UPDATED;
    };
    if (v.bulk() && kDoublesExact) {
      // Non-zeros usually come row by row: a row's sums are carried in registers while its
      // non-zeros follow one another, and stored when another row's come. The sums are
      // added in the same order as one at a time, so they are the same to the last bit.
      const int n = ne - ns + 1;
      int64_t row = -1;
      double norm = 0.0, secant = 0.0;
      bool moved = false;
      auto store = [this, &row, &norm, &secant, &moved] {
        if (row < 0) return;
        w.row_norm[row] = norm;
        w.secant[row] = secant;
        if (moved) w.reason[row] = UPDATED;
      };
      for (int k = 0; k < n; ++k) {
        const int64_t i = static_cast<int64_t>(v.irn[k]) - es;
        const int64_t j = static_cast<int64_t>(v.icn[k]) - vs;
        if (i < 0 || i >= neq || j < 0 || j >= nvar) continue;
        if (i != row) {
          store();
          row = i;
          norm = w.row_norm[i];
          secant = w.secant[i];
          moved = false;
        }
        const double dx = w.dx[j];
        norm += dx * dx;
        secant -= v.bj[k] * dx;
        moved = moved || w.moved[j];
      }
      store();
    } else if (v.bulk()) {
      const int n = ne - ns + 1;
      for (int k = 0; k < n; ++k) {
        const int64_t i = static_cast<int64_t>(v.irn[k]) - es;
        const int64_t j = static_cast<int64_t>(v.icn[k]) - vs;
        if (i < 0 || i >= neq || j < 0 || j >= nvar) continue;
        add(i, j, v.bj[k]);
      }
    } else {
      for (int k = held_first; k <= held_last; ++k) {
        const int64_t i = static_cast<int64_t>(kvojac_inq_nz_eqnnum(jac, k)) - es;
        const int64_t j = static_cast<int64_t>(kvojac_inq_nz_varnum(jac, k)) - vs;
        if (i < 0 || i >= neq || j < 0 || j >= nvar) continue;
        double a = 0.0;
        kvojac_inq_nz_value(jac, k, &a);
        add(i, j, a);
      }
    }
  }

  // The noise, norm and finiteness tests of each row; returns how many rows are not updated.
  int test_rows(const Slices& v, double total) {
    int skipped = 0;
    for (int i = 0; i < neq; ++i) {
      const double f = v.f ? v.f[i] : kvoeqnlst_inq_eqn_value(eqnlst, es + i);
      if (kNoiseFactor * (std::fabs(lastf[i]) + std::fabs(f)) > std::fabs(w.secant[i]))
        w.reason[i] = NOISE;
      // A row whose variables did not move at all is negligible too when the total is not a
      // number (a variable of another row is not): its correction would be divided by 0.
      if (total + kNormFactor * w.row_norm[i] == total || w.row_norm[i] == 0.0) w.reason[i] = NORM;
      // Comparisons with a value that is not a number are false, so the tests above may let
      // such a row through; this one holds it back. A row already held back keeps its reason.
      if (w.reason[i] == UPDATED && (!std::isfinite(w.secant[i]) || !std::isfinite(w.row_norm[i])))
        w.reason[i] = FINITE;
      if (w.reason[i] != UPDATED) ++skipped;
    }
    return skipped;
  }

  // Adds the rank-one correction to the values of the rows that passed.
  void apply(const Slices& v) {
    if (v.bulk()) {
      // The corrections go two at a time through one packed division where the compiler has
      // vector types and evaluates doubles as doubles: the division bounds this loop, and a
      // lane rounds as a single division does. Non-zeros left alone (another block's, or a
      // row not updated) drop out first.
      const int n = ne - ns + 1;
      auto row_of = [&v, this](int k) { return static_cast<int64_t>(v.irn[k]) - es; };
      auto col_of = [&v, this](int k) { return static_cast<int64_t>(v.icn[k]) - vs; };
      auto correct = [&v, this](int k, int64_t i, int64_t j) {
        v.bj[k] = v.bj[k] + w.dx[j] * w.secant[i] / w.row_norm[i];
      };
      int held = -1;  // a non-zero waiting for a second one
      for (int k = 0; k < n; ++k) {
        const int64_t i = row_of(k);
        const int64_t j = col_of(k);
        if (i < 0 || i >= neq || j < 0 || j >= nvar || w.reason[i] != UPDATED) continue;
#if defined(__GNUC__) && __FLT_EVAL_METHOD__ == 0
        if (held < 0) {
          held = k;
          continue;
        }
        typedef double Two __attribute__((vector_size(16)));
        const int64_t hi = row_of(held);
        const int64_t hj = col_of(held);
        const Two num = {w.dx[hj] * w.secant[hi], w.dx[j] * w.secant[i]};
        const Two den = {w.row_norm[hi], w.row_norm[i]};
        const Two q = num / den;
        v.bj[held] = v.bj[held] + q[0];
        v.bj[k] = v.bj[k] + q[1];
        held = -1;
#else
        correct(k, i, j);
#endif
      }
      if (held >= 0) correct(held, row_of(held), col_of(held));
    } else {
      for (int k = held_first; k <= held_last; ++k) {
        const int64_t i = static_cast<int64_t>(kvojac_inq_nz_eqnnum(jac, k)) - es;
        const int64_t j = static_cast<int64_t>(kvojac_inq_nz_varnum(jac, k)) - vs;
        if (i < 0 || i >= neq || j < 0 || j >= nvar || w.reason[i] != UPDATED) continue;
        double a = 0.0;
        kvojac_inq_nz_value(jac, k, &a);
        kvojac_set_nz_value(jac, k, a + w.dx[j] * w.secant[i] / w.row_norm[i]);
      }
    }
  }

  const int varlst, eqnlst;
  const kv_jac_t jac;
  const int nvar, neq;
  const int vs, es, ns, ne;
  const double* const lastx;
  const double* const lastf;
  const double h;
  // The block's non-zeros that the Jacobian holds, for the item-by-item way: positions outside
  // it name no non-zero, and a range word far beyond it must not be walked to its end.
  const int held_first, held_last;
  Work w;
};

// The warnings about rows left as they were, by diagnostic level.
void report_skipped(int blkptr, int level, int skipped, int neq, const int* reason) {
  const char* id = text(blkid(blkptr));
  if (level == 6 && skipped == neq) {
    kvoprintf(kvHisDev, "\n%s", "Warning in Schubert update. ");
    kvoprintf(kvHisDev, "%s%s\n", "Skipped update for all rows in block ", id);
  } else if (level == 7 && skipped > 0) {
    kvoprintf(kvHisDev, "\n%s", "Warning in Schubert update. ");
    kvoprintf(kvHisDev, "%s%d%s%s\n", "Skipped update for ", skipped, " rows in block ", id);
  } else if (level >= 8 && skipped > 0) {
    kvoprintf(kvHisDev, "\n%s", "Warning in Schubert update. ");
    kvoprintf(kvHisDev, "%s%s\n", "These rows were not updated for block ", id);
    for (int i = 0; i < neq; ++i) {
      if (reason[i] == UPDATED) continue;
      kvoprintf(kvHisDev, "%10d%10s", i + 1, "because ");
      kvoprintf(kvHisDev, "%s\n", reason_text(reason[i]));
    }
  }
}

}  // namespace

extern "C" {

KVOBLK_API int blk_schubert_check(int blkptr) {
  if (!live(blkptr, __func__)) return 0;
  kvoblk_settings_t* s = settings(blkptr);
  int result = KVOBLK_SCHUBERT_ALLOWED;
  const char* reason = "";
  if (word(blkptr, W::being_solved) == 0) {
    result = KVOBLK_SCHUBERT_NOT_BEING_SOLVED;
    reason = " because it is not being solved.";
  } else if (word(blkptr, W::iterated) == 0) {
    result = KVOBLK_SCHUBERT_NOT_ITERATED;
    reason = " because it has not iterated.";
  } else if (!s || !(std::fabs(1.0 - s->nlratio) < s->nlratiodev)) {
    // A ratio that is not a number is as far from 1 as can be.
    result = KVOBLK_SCHUBERT_NLRATIO_OFF;
    reason = " because it has a too large Nonlin. ratio deviation.";
  }
  if (result != KVOBLK_SCHUBERT_ALLOWED && diag(blkptr) >= 5) {
    kvoprintf(kvHisDev, "\n%s", "Schubert update not used for block ");
    kvoprintf(kvHisDev, "%s%s", text(blkid(blkptr)), reason);
    kvoprintf(kvHisDev, "%s\n", " Using alternate jacobian method.");
  }
  return result;
}

KVOBLK_API void blk_store_lastx(int blkptr) {
  if (!live(blkptr, __func__)) return;
  const int vs = word(blkptr, W::vstart);
  const int nvar = extent32(vs, word(blkptr, W::vstop));
  // A buffer made for another placement is left alone: the update will find it unfit.
  double* lastx = fitting_buffer(blkptr, W::lastx, nvar);
  if (!lastx || nvar <= 0) return;
  const int varlst = blk_inq_matrix_varlst(blkptr);
  for (int i = 0; i < nvar; ++i) lastx[i] = kvovarlst_inq_var_value(varlst, vs + i, 0);
}

KVOBLK_API void blk_store_lastf(int blkptr) {
  if (!live(blkptr, __func__)) return;
  const int es = word(blkptr, W::estart);
  const int neq = extent32(es, word(blkptr, W::estop));
  double* lastf = fitting_buffer(blkptr, W::lastf, neq);
  if (!lastf || neq <= 0) return;
  const int eqnlst = blk_inq_matrix_eqnlst(blkptr);
  for (int i = 0; i < neq; ++i) lastf[i] = kvoeqnlst_inq_eqn_value(eqnlst, es + i);
}

KVOBLK_API void blk_schubert_update(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  const int level = diag(blkptr);
  const int vs = word(blkptr, W::vstart);
  const int es = word(blkptr, W::estart);
  // Counts as the record's words say them, saturated: range words a model set far apart must
  // not wrap into a count that fits.
  const int nvar = clamp32(span(vs, word(blkptr, W::vstop)));
  const int neq = clamp32(span(es, word(blkptr, W::estop)));
  const int nnz = clamp32(span(word(blkptr, W::nzstart), word(blkptr, W::nzstop)));
  if (!update_possible(blkptr, level, nvar, neq, nnz, status)) return;

  int varlst = 0, eqnlst = 0;
  kv_jac_t jac = 0;
  blk_inq_matrix(blkptr, &varlst, &eqnlst, &jac);
  // A Jacobian that holds only part of the block's non-zeros (one made shorter since the last
  // evaluation), or none (no Jacobian at all), would be updated in part or not at all, and the
  // solver would take it for the whole: refused before the residuals are spent, as a numeric
  // evaluation is.
  if (!lists_hold(blkptr, varlst, eqnlst)) {
    *status = 1;
    return;
  }
  const int ns = word(blkptr, W::nzstart), ne = word(blkptr, W::nzstop);
  if (!inside_jacobian(ns, ne, jac != 0 ? kvojac_inq_nnz(jac) : 0)) {
    report_outside_jacobian(blkptr, __func__, ns, ne);
    *status = 1;
    return;
  }
  // Buffers made anew by the residual routine (a pre-solve run again, say) hold no iterate.
  const double made_x = buffer_making(blkptr, W::lastx);
  const double made_f = buffer_making(blkptr, W::lastf);
  const uint64_t serial = serial_of(blkptr);
  kvoblk_res(blkptr, status);
  // A residual routine that destroyed its block left no residuals of it to update with, nor did
  // one that made another block at its handle afterwards: that one is not updated either.
  const bool same = same_serial(blkptr, serial);
  if (*status != 0 || !same) {
    *status = KVOBLK_SCHUBERT_RESIDUALS_FAILED;
    if (level >= 4) {
      error_head();
      kvoprintf(kvHisDev, "%s", "Could not compute residuals for block ");
      kvoprintf(kvHisDev, "%s\n", same ? text(blkid(blkptr)) : "");
    }
    return;
  }
  // The residual routine may have moved the workspace: read the record again. It may also have
  // changed the block's extent, which the last iterate then no longer describes: the counts are
  // taken afresh, so that buffers of the old ones are found unfit below.
  Update u(blkptr, varlst, eqnlst, jac,
           clamp32(span(word(blkptr, W::vstart), word(blkptr, W::vstop))),
           clamp32(span(word(blkptr, W::estart), word(blkptr, W::estop))));
  // Nor may it have made a list or the Jacobian shorter than the block, or the update would be
  // partial.
  if (!lists_hold(blkptr, varlst, eqnlst)) {
    *status = 1;
    return;
  }
  if (!inside_jacobian(u.ns, u.ne, kvojac_inq_nnz(jac))) {
    report_outside_jacobian(blkptr, __func__, u.ns, u.ne);
    *status = 1;
    return;
  }
  if (!u.lastx || !u.lastf || buffer_making(blkptr, W::lastx) != made_x ||
      buffer_making(blkptr, W::lastf) != made_f) {
    // The residual routine released the last iterate (a post-solve, say) or made it anew.
    *status = KVOBLK_SCHUBERT_NO_LAST_ITERATE;
    report_no_last_iterate(blkptr, level);
    return;
  }
  if (!u.w.make(u.nvar, u.neq)) {
    // Without room to work in, the Jacobian is left as it is.
    *status = 1;
    head(__func__);
    kvoprintf(kvHisDev, "Not enough memory to update the Jacobian of block %s\n", id_text(blkptr));
    return;
  }
  // The block's slices of the live vectors, read and written in bulk when the lists hold them
  // whole; otherwise item by item through the services. Both ways see the same values.
  const Slices v(varlst, eqnlst, &jac, u.vs, u.es, u.ns, u.ne, u.nvar, u.neq);
  const double total = u.differences(v);
  u.accumulate_rows(v);
  const int skipped = u.test_rows(v, total);
  if (skipped > 0) *status = -skipped;
  if (skipped < u.neq) u.apply(v);
  report_skipped(blkptr, level, skipped, u.neq, u.w.reason);
}

}  // extern "C"
