// SPDX-License-Identifier: BSD-3-Clause
// The comparison of a block's analytic Jacobian values with numeric ones at the same point.
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

// The derivative method and perturbation size the value comparison switches, and the values of
// the block's variables, put back when it ends however it ends. The numeric Jacobian restores
// the variables itself; keeping them here as well means a failure half-way through a model's
// routine cannot leave the flowsheet at a perturbed point. The method and size go back to the
// block the comparison began on only: a block that model code made at its handle meanwhile is
// another one, whose settings are its own.
class JacobianState {
 public:
  explicit JacobianState(int blkptr) : blkptr_(blkptr), serial_(serial_of(blkptr)) {
    const kvoblk_settings_t* s = settings(blkptr);
    deriv_type_ = s ? s->deriv_type : 0;
    pertsize_ = s ? s->pertsize : 0.0;
    varlst_ = blk_inq_matrix_varlst(blkptr);
    vstart_ = word(blkptr, W::vstart);
    const int64_t n = span(vstart_, word(blkptr, W::vstop));
    if (vstart_ >= 1 && n > 0 && vstart_ + n - 1 <= kvovarlst_inq_nvar(varlst_)) {
      values_.resize(static_cast<size_t>(n));
      for (int64_t j = 0; j < n; ++j)
        values_[j] = kvovarlst_inq_var_value(varlst_, static_cast<int>(vstart_ + j), 0);
    }
  }
  ~JacobianState() {
    const int n = static_cast<int>(values_.size());
    for (int j = 0; j < n; ++j) {
      const double now = kvovarlst_inq_var_value(varlst_, vstart_ + j, 0);
      // Bit for bit, so that -0.0 and NaN payloads come back exactly as they were.
      // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison): the representation is the point
      if (std::memcmp(&now, &values_[j], sizeof now) != 0)
        kvovarlst_set_var_value(varlst_, vstart_ + j, values_[j], 0);
    }
    if (kvoblk_settings_t* s = gone() ? nullptr : settings(blkptr_)) {
      s->deriv_type = deriv_type_;
      s->pertsize = pertsize_;
    }
  }
  JacobianState(const JacobianState&) = delete;
  JacobianState& operator=(const JacobianState&) = delete;

  // Whether the block was destroyed (or another made at its handle) since the state was taken.
  bool gone() const { return !same_serial(blkptr_, serial_); }

 private:
  int blkptr_;
  uint64_t serial_;
  int32_t deriv_type_ = 0;
  double pertsize_ = 0.0;
  int varlst_ = 0, vstart_ = 0;
  std::vector<double> values_;
};

// The three result arrays of the value comparison, grown by doubling.
struct Results {
  HeapArray<int> positions;
  HeapArray<double> analytic, numeric;

  bool reserve(int n) { return positions.reserve(n) && analytic.reserve(n) && numeric.reserve(n); }
  bool append(int position, double a, double v) {
    if (positions.size() >= INT32_MAX) return false;
    return positions.push_back(position) && analytic.push_back(a) && numeric.push_back(v);
  }
  int count() const { return static_cast<int>(positions.size()); }
};

// A pair of values differs significantly when the difference exceeds both the absolute and the
// relative tolerance, or when the values have opposite signs. A value that is not finite
// differs from everything but an equal value: a value that is not a number would pass no test
// at all, and an infinite analytic value makes the relative tolerance infinite, so that either
// would hide a broken derivative.
bool significant(double a, double v, double reltol, double abstol) {
  if (!std::isfinite(a) || !std::isfinite(v)) return !(a == v);
  const double d = std::fabs(a - v);
  return (d > abstol && d > std::fabs(reltol * a)) || a * v < 0.0;
}

// The block's Jacobian values, checked to hold its non-zeros first..last; a missing slice is
// reported and gives null. Read again after every evaluation, which runs model code.
const double* block_values(int blkptr, const char* fn, int first, int last) {
  const kv_jac_t jac = registered(blkptr) ? blk_inq_matrix_jacobian(blkptr) : 0;
  const double* bj = kvojac_vec_bj(jac);
  if (!inside_jacobian(first, last, kvojac_inq_nnz(jac)) || !bj) {
    if (registered(blkptr)) report_outside_jacobian(blkptr, fn, first, last);
    return nullptr;
  }
  return bj;
}

// Whether the block can be compared at all: it is included, has settings, and the Jacobian
// holds its slice of values.
bool comparable(int blkptr, const char* fn, int first, int last) {
  // An excluded block evaluates nothing: comparing its old values with themselves would report
  // agreement that was never checked.
  if (word(blkptr, W::included) == 0) {
    head(fn);
    kvoprintf(kvHisDev, "Block %s is excluded: its Jacobian is not evaluated\n",
              text(blkid(blkptr)));
    return false;
  }
  return settings(blkptr) && block_values(blkptr, fn, first, last);
}

// Evaluates the Jacobian by the block's present method and returns its values, or null with
// *errors set.
const double* evaluate(int blkptr, const JacobianState& state, const char* fn, int first, int last,
                       int* errors) {
  kvoblk_jac(blkptr, errors);
  if (*errors != 0) return nullptr;
  // A model routine that released the block (and perhaps made another at its handle) has left
  // nothing to compare; an evaluation that failed has said so already.
  if (state.gone()) {
    head(fn);
    kvoprintf(kvHisDev, "Block %d was destroyed while its Jacobian was being compared\n", blkptr);
    *errors = 1;
    return nullptr;
  }
  const double* bj = block_values(blkptr, fn, first, last);
  if (!bj) *errors = 1;
  return bj;
}

// Collects the non-zeros whose analytic and numeric values differ significantly.
bool collect(const std::vector<double>& exact, const double* bj, int first, double reltol,
             double abstol, Results* r) {
  if (!r->reserve(100)) return false;
  const int n = static_cast<int>(exact.size());
  for (int k = 0; k < n; ++k) {
    const double a = exact[k], v = bj[first - 1 + k];
    if (!significant(a, v, reltol, abstol)) continue;
    if (!r->append(first + k, a, v)) return false;
  }
  return true;
}

void jac_compare(int blkptr, double pertsize, double reltol, double abstol, int* count,
                 int** positions, double** analytic, double** numeric, int* errors) {
  static const char* const fn = "kvoblk_jac_compare";
  const int first = word(blkptr, W::nzstart), last = word(blkptr, W::nzstop);
  if (last < first) return;
  if (!comparable(blkptr, fn, first, last)) {
    *errors = 1;
    return;
  }
  JacobianState state(blkptr);
  // A block without an analytic Jacobian would be evaluated by its own method twice; the
  // setter has said why it refused.
  if (kvoblk_set_deriv_type(blkptr, KVOBLK_ANALYTIC) != KVOBLK_ANALYTIC) {
    *errors = 1;
    return;
  }
  // An empty analytic slot is reported by its dispatcher with the status left 0, but evaluates
  // nothing: the values the Jacobian holds are not analytic ones.
  const kvoblk_ops_t* t = ops(blkptr);
  const bool has_selfjac = t && t->selfjac;
  const double* bj = evaluate(blkptr, state, fn, first, last, errors);
  if (!bj) return;
  if (!has_selfjac) {
    *errors = 1;
    return;
  }
  const std::vector<double> exact(bj + (first - 1), bj + last);

  kvoblk_set_deriv_type(blkptr, KVOBLK_NUMERIC);
  if (pertsize > 0) kvoblk_set_pertsize(blkptr, pertsize);
  bj = evaluate(blkptr, state, fn, first, last, errors);
  if (!bj) return;

  Results r;
  if (!collect(exact, bj, first, reltol, abstol, &r)) {
    report_compare_no_memory(blkptr, fn, "Jacobian");
    *errors = 1;
    return;
  }
  if (r.count() == 0) return;
  *count = r.count();
  // The caller owns what it asked for; an array it has no place for is released here.
  if (positions) *positions = r.positions.release();
  if (analytic) *analytic = r.analytic.release();
  if (numeric) *numeric = r.numeric.release();
}

}  // namespace

extern "C" {

KVOBLK_API void kvoblk_jac_compare(int blkptr, double pertsize, double reltol, double abstol,
                                   int* count, int** positions, double** analytic, double** numeric,
                                   int* errors) {
  KVOBLK_OUT(count);
  KVOBLK_OUT(errors);
  *errors = 0;
  *count = 0;
  // Nothing is handed back unless something significant was found: the caller can always
  // release what the three pointers hold.
  if (positions) *positions = nullptr;
  if (analytic) *analytic = nullptr;
  if (numeric) *numeric = nullptr;
  if (!live(blkptr, __func__)) return;
  try {
    jac_compare(blkptr, pertsize, reltol, abstol, count, positions, analytic, numeric, errors);
  } catch (const std::bad_alloc&) {
    report_compare_no_memory(blkptr, __func__, "Jacobian");
    *errors = 1;
  } catch (...) {
    head(__func__);
    kvoprintf(kvHisDev, "Jacobian of block %s could not be compared\n", id_text(blkptr));
    *errors = 1;
  }
}

}  // extern "C"
