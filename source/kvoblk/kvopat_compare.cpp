// Pattern checks, the comparison of a block's stored sparsity pattern with the pattern obtained
// the other way and its report, and the comparison of analytic with numeric Jacobian values.
#include <kvoblk/kvopat_compare.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "kvblk_internal.h"
#include <kvoblk/kvojac.h>
#include "kvopat.h"
#include "kvopat_compare_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// A block-local pattern: entry k is (rows[k], cols[k]).
struct Pattern {
  std::vector<int> rows, cols;
  int size() const { return static_cast<int>(rows.size()); }
};

// An empty array handed to the check must still be an array: a null one means "the stored
// pattern" there.
const int kNoEntries[1] = {0};
const int* entries_of(const std::vector<int>& v) { return v.empty() ? kNoEntries : v.data(); }

int64_t span(int start, int stop) { return static_cast<int64_t>(stop) - start + 1; }

int clamp32(int64_t v) {
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int>(v);
}

// A global equation or variable number made block-local. A number that a 32-bit word cannot
// hold becomes 0, which lies outside every block.
int local_number(int global, int start) {
  const int64_t v = static_cast<int64_t>(global) - start + 1;
  return v > INT32_MAX || v < INT32_MIN ? 0 : static_cast<int>(v);
}

const char* eqn_name(int blkptr, int64_t i) {
  const int64_t pos = word(blkptr, W::estart) + i - 1;
  return text(kvoeqnlst_lookup_eqn_name(blk_inq_matrix_eqnlst(blkptr), clamp32(pos)));
}

const char* var_name(int blkptr, int64_t j) {
  const int64_t pos = word(blkptr, W::vstart) + j - 1;
  return text(kvovarlst_lookup_var_name(blk_inq_matrix_varlst(blkptr), clamp32(pos)));
}

void report_outside_jacobian(int blkptr, const char* fn, int first, int last) {
  head(fn);
  kvoprintf(kvHisDev, "Non-zeros %d to %d of block %s are not in the Jacobian\n", first, last,
            text(blkid(blkptr)));
}

// The block's stored pattern: its non-zeros nzstart..nzstop of the global Jacobian, made
// block-local. Non-zeros that the Jacobian does not hold cannot be read: false, with a message
// under `fn`, when any of them lies outside it.
bool read_stored(int blkptr, const char* fn, Pattern* p) {
  p->rows.clear();
  p->cols.clear();
  const int first = word(blkptr, W::nzstart), last = word(blkptr, W::nzstop);
  const int64_t n = span(first, last);
  if (n <= 0) return true;
  const kv_jac_t jac = blk_inq_matrix_jacobian(blkptr);
  if (first < 1 || last > kvojac_inq_nnz(jac)) {
    report_outside_jacobian(blkptr, fn, first, last);
    return false;
  }
  const int estart = word(blkptr, W::estart), vstart = word(blkptr, W::vstart);
  p->rows.resize(static_cast<size_t>(n));
  p->cols.resize(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) {
    const int pos = static_cast<int>(first + k);
    p->rows[k] = local_number(kvojac_inq_nz_eqnnum(jac, pos), estart);
    p->cols[k] = local_number(kvojac_inq_nz_varnum(jac, pos), vstart);
  }
  return true;
}

// True when every row of the pattern lies in 1..neq and no row is below the one before it: what
// the report relies on to take each equation's entries as one run.
bool rows_grouped(int nnz, const int* rows, int64_t neq) {
  for (int k = 0; k < nnz; ++k) {
    if (rows[k] < 1 || rows[k] > neq) return false;
    if (k > 0 && rows[k] < rows[k - 1]) return false;
  }
  return true;
}

// Everything of the block the comparison with the model's pattern may disturb, put back when
// the comparison ends however it ends: the pattern initialisation type it switches, and the
// range words and pattern type, which a model's dimensioning or pattern routine may set as it
// does when the block is placed.
class BlockState {
 public:
  explicit BlockState(int blkptr) : blkptr_(blkptr) {
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
    if (kvoblk_settings_t* s = side(blkptr_) ? settings(blkptr_) : nullptr)
      s->pat_ini_type = pat_ini_type_;
  }
  void restore_pattern() {
    if (!side(blkptr_)) return;
    for (int k = W::vstart; k <= W::nzstop; ++k) word(blkptr_, k) = ranges_[k];
    if (kvoblk_settings_t* s = settings(blkptr_)) s->pat_type = pat_type_;
  }

 private:
  int blkptr_;
  int32_t ranges_[W::nzstop + 1] = {};
  int32_t pat_ini_type_ = 0, pat_type_ = 0;
};

// The derivative method and perturbation size the value comparison switches, and the values of
// the block's variables, put back when it ends however it ends. The numeric Jacobian restores
// the variables itself; keeping them here as well means a failure half-way through a model's
// routine cannot leave the flowsheet at a perturbed point.
class JacobianState {
 public:
  explicit JacobianState(int blkptr) : blkptr_(blkptr) {
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
      if (std::memcmp(&now, &values_[j], sizeof now) != 0)
        kvovarlst_set_var_value(varlst_, vstart_ + j, values_[j], 0);
    }
    if (kvoblk_settings_t* s = side(blkptr_) ? settings(blkptr_) : nullptr) {
      s->deriv_type = deriv_type_;
      s->pertsize = pertsize_;
    }
  }
  JacobianState(const JacobianState&) = delete;
  JacobianState& operator=(const JacobianState&) = delete;

 private:
  int blkptr_;
  int32_t deriv_type_ = 0;
  double pertsize_ = 0.0;
  int varlst_ = 0, vstart_ = 0;
  std::vector<double> values_;
};

// Arrays from malloc released when they go out of scope unless handed on.
template <class T>
struct HeapArray {
  T* p = nullptr;
  ~HeapArray() { std::free(p); }
  T* release() {
    T* q = p;
    p = nullptr;
    return q;
  }
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

// The three result arrays of the value comparison, grown by doubling.
struct Results {
  HeapArray<int> positions;
  HeapArray<double> analytic, numeric;
  int count = 0, capacity = 0;

  bool reserve(int n) {
    int* p = static_cast<int*>(heap_realloc(positions.p, static_cast<size_t>(n) * sizeof(int)));
    if (!p) return false;
    positions.p = p;
    double* a =
        static_cast<double*>(heap_realloc(analytic.p, static_cast<size_t>(n) * sizeof(double)));
    if (!a) return false;
    analytic.p = a;
    double* v =
        static_cast<double*>(heap_realloc(numeric.p, static_cast<size_t>(n) * sizeof(double)));
    if (!v) return false;
    numeric.p = v;
    capacity = n;
    return true;
  }
  bool append(int position, double a, double v) {
    if (count == capacity) {
      const int grown = capacity > INT32_MAX / 2 ? INT32_MAX : 2 * capacity;
      if (grown <= capacity || !reserve(grown)) return false;
    }
    positions.p[count] = position;
    analytic.p[count] = a;
    numeric.p[count] = v;
    ++count;
    return true;
  }
};

// A pair of values differs significantly when the difference exceeds both the absolute and the
// relative tolerance, or when the values have opposite signs. A value that is not a number
// differs from everything: its difference would pass no test at all and hide a broken
// derivative.
bool significant(double a, double v, double reltol, double abstol) {
  const double d = std::fabs(a - v);
  if (std::isnan(d)) return !(a == v);
  return (d > abstol && d > std::fabs(reltol * a)) || a * v < 0.0;
}

void report_no_memory(int blkptr, const char* fn, const char* what) {
  head(fn);
  kvoprintf(kvHisDev, "Not enough memory to compare the %s of block %s\n", what,
            side(blkptr) ? text(blkid(blkptr)) : "");
}

void jac_compare(int blkptr, double pertsize, double reltol, double abstol, int* count,
                 int** positions, double** analytic, double** numeric, int* errors) {
  static const char* const fn = "kvoblk_jac_compare";
  const int first = word(blkptr, W::nzstart), last = word(blkptr, W::nzstop);
  if (last < first) return;
  // An excluded block evaluates nothing: comparing its old values with themselves would report
  // agreement that was never checked.
  if (word(blkptr, W::included) == 0) {
    head(fn);
    kvoprintf(kvHisDev, "Block %s is excluded: its Jacobian is not evaluated\n",
              text(blkid(blkptr)));
    *errors = 1;
    return;
  }
  if (!settings(blkptr)) {
    *errors = 1;
    return;
  }
  // The copy and the comparison read the block's slice of the value vector: it must be there,
  // before and after every evaluation, which runs model code.
  auto values = [&]() -> const double* {
    const kv_jac_t jac = side(blkptr) ? blk_inq_matrix_jacobian(blkptr) : 0;
    const double* bj = kvojac_vec_bj(jac);
    if (first < 1 || last > kvojac_inq_nnz(jac) || !bj) {
      if (side(blkptr)) report_outside_jacobian(blkptr, fn, first, last);
      return nullptr;
    }
    return bj;
  };
  if (!values()) {
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
  kvoblk_jac(blkptr, errors);
  if (*errors != 0) return;
  const double* bj = values();
  if (!bj) {
    *errors = 1;
    return;
  }
  const std::vector<double> exact(bj + (first - 1), bj + last);

  kvoblk_set_deriv_type(blkptr, KVOBLK_NUMERIC);
  if (pertsize > 0) kvoblk_set_pertsize(blkptr, pertsize);
  kvoblk_jac(blkptr, errors);
  if (*errors != 0) return;
  bj = values();
  if (!bj) {
    *errors = 1;
    return;
  }

  Results r;
  if (!r.reserve(100)) {
    report_no_memory(blkptr, fn, "Jacobian");
    *errors = 1;
    return;
  }
  const int n = last - first + 1;
  for (int k = 0; k < n; ++k) {
    const double a = exact[k], v = bj[first - 1 + k];
    if (!significant(a, v, reltol, abstol)) continue;
    if (!r.append(first + k, a, v)) {
      report_no_memory(blkptr, fn, "Jacobian");
      *errors = 1;
      return;
    }
  }
  if (r.count == 0) return;
  *count = r.count;
  // The caller owns what it asked for; an array it has no place for is released here.
  if (positions) *positions = r.positions.release();
  if (analytic) *analytic = r.analytic.release();
  if (numeric) *numeric = r.numeric.release();
}

}  // namespace

namespace kvoblk {
namespace detail {

void kvoblk_pat_check(int count, const int* rows, const int* cols, int blkptr, int type,
                      int* status) {
  int status_local = 0;
  if (!status) status = &status_local;
  *status = 0;
  if (!live(blkptr, "kvoblk_pat_check")) return;
  if (type == 1) kvoprintf(kvHisDev, "\n%s\n", "Checking ANALYTICAL sparsity...");
  if (type == 2) kvoprintf(kvHisDev, "\n%s\n", "Checking NUMERICAL  sparsity...");

  const int64_t nvar = span(word(blkptr, W::vstart), word(blkptr, W::vstop));
  const int64_t neq = span(word(blkptr, W::estart), word(blkptr, W::estop));
  if (nvar <= 0 || neq <= 0) {
    *status = 1;
    if (nvar <= 0)
      kvoprintf(kvHisDev, "%s%lld\n",
                "Error. Number of variables = ", static_cast<long long>(nvar));
    if (neq <= 0)
      kvoprintf(kvHisDev, "%s%lld\n", "Error. Number of equations = ", static_cast<long long>(neq));
    return;
  }

  const bool stored = !rows || !cols;
  if (stored) count = clamp32(span(word(blkptr, W::nzstart), word(blkptr, W::nzstop)));
  if (count <= 0) {
    *status = 2;
    kvoprintf(kvHisDev, "%s%d\n", "Error. Number of nonzeros is ", count);
    return;
  }
  const int64_t most = nvar * neq;
  if (count > most) {
    *status = 2;
    kvoprintf(kvHisDev, "%s\n", "Error. Number of nonzeros is too high.");
    kvoprintf(kvHisDev, "%s%lld\n",
              "Max number of nonzeros (variables*equations) = ", static_cast<long long>(most));
    kvoprintf(kvHisDev, "%s%d\n", "Number of nonzeros                           = ", count);
    return;
  }
  // The stored pattern is read only once its count is known to be sensible.
  Pattern p;
  if (stored) {
    if (!read_stored(blkptr, "kvoblk_pat_check", &p)) {
      *status = 2;
      return;
    }
    rows = p.rows.data();
    cols = p.cols.data();
  }

  for (int k = 0; k < count; ++k) {
    if (rows[k] < 1 || rows[k] > neq) {
      *status = 3;
      kvoprintf(kvHisDev, "%s%d%s%d\n", "Error. Element ", k + 1,
                " has invalid row    number: ", rows[k]);
    }
    if (cols[k] < 1 || cols[k] > nvar) {
      *status = 3;
      kvoprintf(kvHisDev, "%s%d%s%d\n", "Error. Element ", k + 1,
                " has invalid column number: ", cols[k]);
    }
  }
  if (*status != 0) return;

  // Every row and column is inside the block from here on.
  std::vector<int> row_count(static_cast<size_t>(neq) + 1, 0);
  std::vector<int> col_count(static_cast<size_t>(nvar) + 1, 0);
  for (int k = 0; k < count; ++k) {
    ++row_count[rows[k]];
    ++col_count[cols[k]];
  }
  for (int k = 0; k + 1 < count; ++k) {
    if (rows[k] > rows[k + 1]) {
      *status = 4;
      kvoprintf(kvHisDev, "%s%d%s\n", "Error in element ", k + 1, ". Row not in increasing order.");
    }
  }

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
  if (empty) {
    *status = *status != 0 ? 6 : 5;
    return;
  }

  // Duplicates, row by row. The entries of each row are gathered by their row number, in entry
  // order, so that a pattern whose rows are out of order still has each of its rows checked as
  // a whole and named correctly; for rows in order this is simply the consecutive runs.
  std::vector<int> start(static_cast<size_t>(neq) + 2, 0);
  for (int64_t i = 1; i <= neq; ++i) start[i + 1] = start[i] + row_count[i];
  std::vector<int> order(static_cast<size_t>(count));
  {
    std::vector<int> next(start.begin(), start.end());
    for (int k = 0; k < count; ++k) order[next[rows[k]]++] = k;
  }
  std::vector<int64_t> seen_in(static_cast<size_t>(nvar) + 1, 0);
  for (int64_t i = 1; i <= neq; ++i) {
    for (int q = start[i]; q < start[i + 1]; ++q) {
      const int c = cols[order[q]];
      if (seen_in[c] != i) {
        seen_in[c] = i;
        continue;
      }
      *status = 7;
      kvoprintf(kvHisDev, "%s%lld%s%s\n", "Error. Duplicate element. Row    ",
                static_cast<long long>(i), " ", eqn_name(blkptr, i));
      kvoprintf(kvHisDev, "%s%d%s%s\n", "                          Column ", c, " ",
                var_name(blkptr, c));
    }
  }
  if (*status == 0) kvoprintf(kvHisDev, "%s\n", "No obvious errors found.");
}

void kvoblk_pat_row_diff(const int* a, const int* n, int na, int nn, int* result_count,
                         int** diff) {
  int count_local = 0;
  int* diff_local = nullptr;
  if (!result_count) result_count = &count_local;
  if (!diff) diff = &diff_local;
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

  int* copy = static_cast<int*>(heap_malloc(static_cast<size_t>(ns > 0 ? ns : 1) * sizeof(int)));
  int* result = static_cast<int*>(
      heap_malloc((static_cast<size_t>(nl) + static_cast<size_t>(ns) + 1) * sizeof(int)));
  if (!copy || !result) {
    std::free(copy);
    std::free(result);
    *result_count = -1;
    return;
  }
  if (ns > 0) std::memcpy(copy, shorter, static_cast<size_t>(ns) * sizeof(int));
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
  std::free(copy);
  if (count == 0) {
    std::free(result);
    return;
  }
  *result_count = count;
  *diff = result;
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
  int64_t spread = 0;
  for (int64_t i = 1; i <= neq; ++i) spread += std::llabs(count_a[i] - count_n[i]);

  // The differences of every equation, one equation after the other.
  std::vector<int> diffs, per_eqn(static_cast<size_t>(neq) + 1, 0);
  int at_a = 0, at_n = 0;
  for (int64_t i = 1; i <= neq; ++i) {
    int found = 0;
    int* d = nullptr;
    kvoblk_pat_row_diff(cols_a + at_a, cols_n + at_n, count_a[i], count_n[i], &found, &d);
    if (found < 0) throw std::bad_alloc();
    if (found > 0) {
      try {
        diffs.insert(diffs.end(), d, d + found);
      } catch (...) {
        std::free(d);
        throw;
      }
    }
    std::free(d);
    per_eqn[i] = found;
    at_a += count_a[i];
    at_n += count_n[i];
  }
  const int total = static_cast<int>(diffs.size());

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

  static const char* const kRule50 = "--------------------------------------------------";
  static const char* const kRule10 = "----------";
  if (spread != 0) {
    kvoprintf(kvHisDev, "\nDifferences in the number of non-zero entries per equation:\n");
    kvoprintf(kvHisDev, "\n%-54s%-14s%-14s%-14s\n", "Equation", "Analytic", "Numeric",
              "Difference");
    kvoprintf(kvHisDev, "%-54s%-14s%-14s%-14s\n", kRule50, kRule10, kRule10, kRule10);
    for (int64_t i = 1; i <= neq; ++i) {
      if (count_a[i] == count_n[i]) continue;
      kvoprintf(kvHisDev, "%-50s%14d%14d%14d\n", eqn_name(blkptr, i), count_a[i], count_n[i],
                std::abs(count_a[i] - count_n[i]));
    }
    kvoprintf(kvHisDev, "%-54s%-14s%-14s%-14s\n", kRule50, kRule10, kRule10, kRule10);
  }

  if (total != 0) {
    kvoprintf(kvHisDev, "\n%s\n", "List of all different non-zero entries:");
    kvoprintf(kvHisDev, "\n%-52s%-52s%-4s%-4s\n", "Equation", "Variable", "Ana", "Num");
    kvoprintf(kvHisDev, "%-52s%-52s%-4s%-4s\n", kRule50, kRule50, "---", "---");
    int q = 0;
    for (int64_t i = 1; i <= neq; ++i) {
      for (int k = 0; k < per_eqn[i]; ++k, ++q) {
        const int d = diffs[q];
        kvoprintf(kvHisDev, "%-52s%-52s", eqn_name(blkptr, i),
                  var_name(blkptr, d < 0 ? -int64_t{d} : d));
        if (d > 0)
          kvoprintf(kvHisDev, "%-4s%-4s\n", " X ", "   ");
        else
          kvoprintf(kvHisDev, "%-4s%-4s\n", "   ", " X ");
      }
    }
  }
}

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
  int errors_local = 0;
  if (!errors) errors = &errors_local;
  if (!compare_begins(blkptr, fn, errors)) return;
  const kvoblk_settings_t* s = settings(blkptr);
  if (!s) {
    *errors = 2;
    return;
  }
  // Anything but a positive size (a value that is not a number included) means the block's own.
  if (!(pertsize > 0)) pertsize = s->pertsize;
  if (!(zerotol > 0)) zerotol = s->zerotol;
  const double moveamount = s->moveamount;
  const int move = s->move;

  Pattern a;
  if (!read_stored(blkptr, fn, &a)) {
    *errors = 1;
    return;
  }

  int status = 0, count = 0;
  HeapArray<int> rows, cols;
  kvoblk_npat_compute(blkptr, &status, &rows.p, &cols.p, &count, pertsize, zerotol, moveamount,
                      move);
  if (status != 0 && status != 2) {
    *errors = 2;
    return;
  }
  // Detection ran the model's residual routine; a block it released has nothing to compare.
  if (!side(blkptr)) {
    *errors = 2;
    return;
  }
  const int* nrows = rows.p ? rows.p : kNoEntries;
  const int* ncols = cols.p ? cols.p : kNoEntries;
  int check = 0;
  kvoblk_pat_check(count, nrows, ncols, blkptr, 2, &check);
  if (check != 0 && check != 5) {
    *errors = 3;
    return;
  }
  kvoblk_pat_check(a.size(), entries_of(a.rows), entries_of(a.cols), blkptr, 1, &check);
  if (check != 0 && check != 5) {
    *errors = 4;
    return;
  }
  kvoblk_pat_compare_report(a.size(), count, entries_of(a.rows), nrows, entries_of(a.cols), ncols,
                            blkptr);
}

void kvoblk_npat_compare_numeric(int blkptr, double, double, int* errors) {
  static const char* const fn = "kvoblk_npat_compare_numeric";
  int errors_local = 0;
  if (!errors) errors = &errors_local;
  if (!compare_begins(blkptr, fn, errors)) return;

  BlockState state(blkptr);
  // With SELF chosen, dimensioning answers the model's own non-zero count. The setter prints
  // why when the model states no pattern.
  if (kvoblk_set_pat_ini_type(blkptr, KVOBLK_PAT_SELF) != KVOBLK_PAT_SELF) {
    *errors = 2;
    return;
  }
  int nvar = 0, neq = 0, nnz = 0, status = 0;
  kvoblk_dim(blkptr, &nvar, &neq, &nnz, &status);
  state.restore_ini_type();
  if (status != 0 || !side(blkptr)) {
    *errors = 2;
    return;
  }

  // A model's pattern routine writes at the block's own non-zero positions, as at placement:
  // the object has room up to the block's first non-zero plus the reservation.
  const int nzs = word(blkptr, W::nzstart);
  const int64_t room = int64_t{nzs > 1 ? nzs - 1 : 0} + (nnz > 0 ? nnz : 0);
  if (room > INT32_MAX) {
    *errors = 2;
    return;
  }
  PatternObject made(kvojac_create(static_cast<int>(room)));
  if (made.handle == 0) {
    *errors = 2;
    return;
  }
  kvojac_set_nnz(made.handle, static_cast<int>(room));
  // A routine that writes at the block's own positions sets the block's stop as it does at
  // placement. The stop is cleared for the call so that setting it shows, even to the value it
  // had; the stored pattern's stop is put back afterwards.
  if (nzs >= 1) word(blkptr, W::nzstop) = nzs - 1;
  kv_jac_t given = made.handle;
  kvoblk_selfpat(blkptr, &given, &status);
  const int model_stop = side(blkptr) ? word(blkptr, W::nzstop) : 0;
  const int model_count = kvojac_inq_nnz(given);
  state.restore_pattern();
  if (status != 0 || !side(blkptr)) {
    *errors = 2;
    return;
  }

  // The entries are read from the object the routine handed back, which is normally the one it
  // was given; only the object made here is released.
  Pattern a;
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
  a.rows.resize(static_cast<size_t>(na));
  a.cols.resize(a.rows.size());
  for (int k = first; k <= last; ++k) {
    a.rows[k - first] = local_number(kvojac_inq_nz_eqnnum(given, k), estart);
    a.cols[k - first] = local_number(kvojac_inq_nz_varnum(given, k), vstart);
  }
  made.release();

  Pattern stored;
  if (!read_stored(blkptr, fn, &stored)) {
    *errors = 1;
    return;
  }
  int check = 0;
  kvoblk_pat_check(stored.size(), entries_of(stored.rows), entries_of(stored.cols), blkptr, 2,
                   &check);
  if (check != 0 && check != 5) {
    *errors = 3;
    return;
  }
  kvoblk_pat_check(a.size(), entries_of(a.rows), entries_of(a.cols), blkptr, 1, &check);
  if (check != 0 && check != 5) {
    *errors = 4;
    return;
  }
  kvoblk_pat_compare_report(a.size(), stored.size(), entries_of(a.rows), entries_of(stored.rows),
                            entries_of(a.cols), entries_of(stored.cols), blkptr);
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

KVOBLK_API void kvoblk_npat_compare_base(int blkptr, double pertsize, double zerotol, int* errors) {
  int local = 0;
  if (!errors) errors = &local;
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
    report_no_memory(blkptr, __func__, "sparsity");
    *errors = 2;
  } catch (...) {
    head(__func__);
    kvoprintf(kvHisDev, "Sparsity of block %s could not be compared\n",
              side(blkptr) ? text(blkid(blkptr)) : "");
    *errors = 2;
  }
}

KVOBLK_API void kvoblk_jac_compare(int blkptr, double pertsize, double reltol, double abstol,
                                   int* count, int** positions, double** analytic, double** numeric,
                                   int* errors) {
  int count_local = 0, errors_local = 0;
  if (!count) count = &count_local;
  if (!errors) errors = &errors_local;
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
    report_no_memory(blkptr, __func__, "Jacobian");
    *errors = 1;
  } catch (...) {
    head(__func__);
    kvoprintf(kvHisDev, "Jacobian of block %s could not be compared\n",
              side(blkptr) ? text(blkid(blkptr)) : "");
    *errors = 1;
  }
}

}  // extern "C"
