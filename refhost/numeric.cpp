// Numeric utilities of the reference host: column grouping of a block's sparsity pattern by a
// greedy partial distance-2 colouring, and grouped forward-difference Jacobians driven through
// a request flag.
//
// Grouping. Two columns (variables) conflict when they share a row (equation); columns of one
// group never conflict, so perturbing a whole group in one residual evaluation still tells
// every non-zero's derivative apart. No grouping can have fewer groups than the largest number
// of distinct columns in one row (the lower bound). The greedy colouring is tried in the
// natural column order, then in the adaptive saturation-degree order, and the best colouring
// is then improved by iterated greedy rounds. The search is budgeted in units of one colouring
// pass (the sum of the squared row lengths), so its cost follows the pattern's size; it ends
// as soon as a colouring reaches the lower bound, and otherwise the fewest groups win. Every
// step breaks ties by a fixed rule and the pattern is first sorted by row and column, so the
// same set of non-zeros always gives the same groups, whatever their order.
//
// Differencing. U3NJAC_COMPUTE is a state machine kept in the grouping object. Request 0 starts
// a sequence and asks for the residuals at the unperturbed point; each later call with request
// 1 finishes the group whose residuals were just evaluated and perturbs the next. Column j of a
// group is moved by
//     h_j = pert * max(|x_j|, s_j),   s_j = |scale_j| (1 when the scale is 0, not finite or
//                                       no scales are given),
// towards +infinity (towards -infinity when x_j + h_j would overflow), and the quotient uses
// the step actually taken, (x_j + h_j) - x_j, so rounding of x_j + h_j does not bias the
// derivative. Values are put back by storing the saved ones (bit-exact), and the residuals of
// the unperturbed point are left in f when the sequence ends. The variable statuses and the
// 100-element parameter array are not used.
//
// A caller whose residual evaluation fails mid-way ends the sequence with request -1: the
// perturbed values and the base residuals are put back and the request comes back 0. A new
// request 0 always starts over; it cannot tell whether the caller's values are still perturbed
// from an abandoned sequence, so it leaves them as they are.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "kvorefhost.h"

namespace {

enum class Phase { Idle, Base, Group };

struct Grouping {
  Grouping(int v, int e, int z) : nvar(v), neq(e), nnz(z) {}
  int nvar, neq, nnz;

  // The grouping, once computed: local 0-based column of every non-zero, per group its columns,
  // and per group its non-zeros with their rows and columns side by side for the quotients.
  bool computed = false;
  int lower_bound = 0;
  int ngroups = 0;
  int largest_group = 0;
  std::vector<int> nz_col;
  std::vector<int> group_ptr, group_cols;
  std::vector<int> group_nz_ptr, group_nz, group_nz_row, group_nz_col;

  // Differencing sequence under way: phase, group being perturbed, perturbation size, base
  // residuals, saved values of the perturbed group's columns and the steps taken per column.
  Phase phase = Phase::Idle;
  int group = 0;
  double pert = 0.0;
  std::vector<double> f0;
  std::vector<double> saved;
  std::vector<double> step;
};

// Live groupings by handle, and the computed groupings of recently released handles, newest
// first: a block that is solved again with the same pattern gets its grouping back without a
// new search (the search is deterministic, so the groups are the ones it would find again).
// The recent ones are kept up to kRecentNonZeros non-zeros in all.
constexpr size_t kRecentNonZeros = size_t{4} << 20;

struct Table {
  std::map<int, std::unique_ptr<Grouping>> live;
  int next = 1;
  std::list<std::unique_ptr<Grouping>> recent;
  size_t recent_nnz = 0;
};

// Never destroyed, so a grouping released during static destruction stays safe.
Table& table() {
  static Table* t = new Table;
  return *t;
}

Grouping* find(int handle) {
  auto it = table().live.find(handle);
  return it == table().live.end() ? nullptr : it->second.get();
}

void head(const char* fn) { kvoprintf(kvHisDev, "!! %s: ", fn); }

// ---- Pattern structure and colouring --------------------------------------------------------

// The pattern in both directions with duplicate entries dropped. Each row is one run in
// `runs`: its number of distinct columns, then those columns in increasing order. Each column
// lists where the runs of its rows start, in increasing row order, so that a colouring pass
// reaches a row's columns in one step.
struct Structure {
  int nrow = 0, ncol = 0;
  std::vector<int> runs;
  std::vector<int> col_ptr, col_runs;
  std::vector<int> active;  // columns with at least one non-zero, increasing
  int lower_bound = 0;
  double pass_work = 0.0;  // sum of the squared row lengths: the work of one colouring pass
};

void build_structure(int nrow, int ncol, const std::vector<int>& rows, const std::vector<int>& cols,
                     Structure& s) {
  s.nrow = nrow;
  s.ncol = ncol;
  const size_t nnz = rows.size();
  // Rows of every column in entry order (one counting sort by column) ...
  std::vector<int> by_col_ptr(ncol + 1, 0);
  for (size_t k = 0; k < nnz; ++k) ++by_col_ptr[cols[k] + 1];
  for (int c = 0; c < ncol; ++c) by_col_ptr[c + 1] += by_col_ptr[c];
  std::vector<int> by_col(nnz);
  {
    std::vector<int> fill(by_col_ptr.begin(), by_col_ptr.end() - 1);
    for (size_t k = 0; k < nnz; ++k) by_col[fill[cols[k]]++] = rows[k];
  }
  // ... then the run of every row, its columns increasing because columns are visited in
  // order; a repeated entry is the last one written to its run and is dropped there.
  std::vector<int> start(nrow + 1, 0);
  for (size_t k = 0; k < nnz; ++k) ++start[rows[k] + 1];
  for (int r = 0; r < nrow; ++r) start[r + 1] += start[r] + 1;  // one word for the length
  s.runs.assign(nnz + nrow, 0);
  std::vector<int> fill(nrow);
  for (int r = 0; r < nrow; ++r) fill[r] = start[r] + 1;
  for (int c = 0; c < ncol; ++c)
    for (int i = by_col_ptr[c]; i < by_col_ptr[c + 1]; ++i) {
      const int r = by_col[i];
      if (fill[r] > start[r] + 1 && s.runs[fill[r] - 1] == c) continue;
      s.runs[fill[r]++] = c;
    }
  std::vector<int>().swap(by_col);
  // Close the gaps the repeated entries left, and note each run's length and start.
  std::vector<int> run_at(nrow);
  int at = 0;
  for (int r = 0; r < nrow; ++r) {
    const int len = fill[r] - start[r] - 1;
    if (at != start[r])
      std::memmove(&s.runs[at + 1], &s.runs[start[r] + 1], sizeof(int) * len);
    s.runs[at] = len;
    run_at[r] = at;
    at += len + 1;
    s.lower_bound = std::max(s.lower_bound, len);
    s.pass_work += static_cast<double>(len) * len;
  }
  s.runs.resize(at);
  // Transpose: the runs of every column's rows, increasing because rows are visited in order.
  s.col_ptr.assign(ncol + 1, 0);
  for (int r = 0; r < nrow; ++r)
    for (int i = run_at[r] + 1; i <= run_at[r] + s.runs[run_at[r]]; ++i) ++s.col_ptr[s.runs[i] + 1];
  for (int c = 0; c < ncol; ++c) s.col_ptr[c + 1] += s.col_ptr[c];
  s.col_runs.resize(s.col_ptr[ncol]);
  fill.assign(s.col_ptr.begin(), s.col_ptr.end() - 1);
  for (int r = 0; r < nrow; ++r)
    for (int i = run_at[r] + 1; i <= run_at[r] + s.runs[run_at[r]]; ++i)
      s.col_runs[fill[s.runs[i]]++] = run_at[r];
  s.active.clear();
  for (int c = 0; c < ncol; ++c)
    if (s.col_ptr[c + 1] > s.col_ptr[c]) s.active.push_back(c);
}

// Greedy colourings over column orders. Colours are worked on in bytes while fewer than 256
// are allowed, so that the colours a pass looks up stay in the processor's nearer caches.
class Colouring {
 public:
  explicit Colouring(const Structure& s) : s_(s) {}

  // Colours the columns in `order` (1, 2, ...; uncoloured columns keep 0), each with the
  // smallest colour no neighbour coloured before it has. Gives up as soon as `limit` colours
  // would be needed and then answers `limit`.
  int greedy(const std::vector<int>& order, int limit, std::vector<int>& colour) {
    colour.assign(s_.ncol, 0);
    if (limit > 255) return greedy_in(order, limit, colour.data());
    bytes_.assign(s_.ncol, 0);
    const int used = greedy_in(order, limit, bytes_.data());
    if (used < limit)
      for (int v : s_.active) colour[v] = bytes_[v];
    return used;
  }

  // Degree of every column counted with repetition: the entries of its rows other than its
  // own, one pass over the non-zeros.
  const std::vector<int>& degrees() {
    if (degree_.empty()) {
      degree_.assign(s_.ncol, 0);
      for (int v : s_.active) {
        int d = 0;
        for (int i = s_.col_ptr[v]; i < s_.col_ptr[v + 1]; ++i) d += s_.runs[s_.col_runs[i]] - 1;
        degree_[v] = d;
        max_degree_ = std::max(max_degree_, d);
      }
    }
    return degree_;
  }

  // Saturation-degree colouring: repeatedly colours the uncoloured column whose neighbours
  // already show the most distinct colours with the smallest colour they do not show; among
  // equals the one that reached its saturation last, and at the start the largest degree. The
  // order adapts to the colours given, which finds the tight colourings of grid stencils and
  // random patterns that fixed orders miss. Each column keeps one bit per colour below
  // `limit`, which also tells a repeated neighbour from a new one; columns wait on one stack
  // per saturation, where an entry left behind by a later rise is skipped when it comes up.
  // Answers `limit` as soon as it would be reached, and 0 (not tried) for more than 62
  // colours, where the bits no longer fit one word.
  int saturation(int limit, std::vector<int>& colour) {
    if (limit > 63) return 0;
    colour.assign(s_.ncol, 0);
    bytes_.assign(s_.ncol, 0);
    const int used = limit <= 31 ? saturation_in<uint32_t>(limit, bytes_.data())
                                 : saturation_in<uint64_t>(limit, bytes_.data());
    if (used < limit)
      for (int v : s_.active) colour[v] = bytes_[v];
    return used;
  }

 private:
  template <class T>
  int greedy_in(const std::vector<int>& order, int limit, T* cl) {
    const int* col_ptr = s_.col_ptr.data();
    const int* col_runs = s_.col_runs.data();
    const int* runs = s_.runs.data();
    std::vector<int> forbidden;
    int used = 0;
    for (size_t n = 0; n < order.size(); ++n) {
      const int v = order[n];
      int c = 1;
      if (used < 63) {
        // The colours seen fit in one word; bit 0 stands for uncoloured neighbours.
        uint64_t seen = 1;
        for (int i = col_ptr[v]; i < col_ptr[v + 1]; ++i) {
          const int* run = runs + col_runs[i];
          for (int j = 1; j <= run[0]; ++j) seen |= uint64_t{1} << cl[run[j]];
        }
        c = __builtin_ctzll(~seen);
      } else {
        if (forbidden.empty()) forbidden.assign(static_cast<size_t>(limit) + 2, -1);
        const int tag = static_cast<int>(n);
        for (int i = col_ptr[v]; i < col_ptr[v + 1]; ++i) {
          const int* run = runs + col_runs[i];
          for (int j = 1; j <= run[0]; ++j) forbidden[cl[run[j]]] = tag;
        }
        while (forbidden[c] == tag) ++c;
      }
      if (c >= limit) return limit;
      cl[v] = static_cast<T>(c);
      used = std::max(used, c);
    }
    return used;
  }

  // The saturation colouring with the colours seen by each column in one word of type W,
  // whose top bit marks the column as coloured, so that a neighbour is looked at through that
  // word alone.
  template <class W, class T>
  int saturation_in(int limit, T* cl) {
    constexpr W kDone = W{1} << (8 * sizeof(W) - 1);
    const std::vector<int>& deg = degrees();
    std::vector<W> seen(s_.ncol, 0);
    std::vector<std::vector<int>> stack(static_cast<size_t>(limit) + 1);
    {
      // Increasing degree, so that the largest comes off the stack first; the lower number
      // first among equal degrees (a counting sort, stable).
      std::vector<int> start(static_cast<size_t>(max_degree_) + 2, 0);
      for (int v : s_.active) ++start[deg[v] + 1];
      for (int d = 0; d <= max_degree_; ++d) start[d + 1] += start[d];
      std::vector<int>& s0 = stack[0];
      s0.resize(s_.active.size());
      for (auto it = s_.active.rbegin(); it != s_.active.rend(); ++it) s0[start[deg[*it]]++] = *it;
    }
    const int* col_ptr = s_.col_ptr.data();
    const int* col_runs = s_.col_runs.data();
    const int* runs = s_.runs.data();
    W* sn = seen.data();
    std::vector<uint8_t> sat(s_.ncol, 0);  // bits set in seen, kept apart: cheaper than counting
    int used = 0, top = 0;
    for (size_t left = s_.active.size(); left > 0;) {
      while (stack[top].empty()) --top;
      const int v = stack[top].back();
      stack[top].pop_back();
      // An entry left behind by a later rise, or by the column's colouring, is skipped.
      if ((sn[v] & kDone) || sat[v] != top) continue;
      --left;
      const int c = __builtin_ctzll(~static_cast<uint64_t>(sn[v]));  // first colour not shown
      if (c + 1 >= limit) return limit;
      cl[v] = static_cast<T>(c + 1);
      sn[v] |= kDone;
      used = std::max(used, c + 1);
      const W bit = W{1} << c;
      for (int i = col_ptr[v]; i < col_ptr[v + 1]; ++i) {
        const int* run = runs + col_runs[i];
        for (int j = 1; j <= run[0]; ++j) {
          W& m = sn[run[j]];
          if (m & (bit | kDone)) continue;
          m |= bit;
          const int up = ++sat[run[j]];
          stack[up].push_back(run[j]);
          top = std::max(top, up);
        }
      }
    }
    return used;
  }

  const Structure& s_;
  std::vector<uint8_t> bytes_;
  std::vector<int> degree_;
  int max_degree_ = 0;
};

// Search budget in colouring passes' worth of work, the saturation order's price in passes,
// and iterated-greedy rounds in a row without a gain after which the search ends early.
constexpr double kBudgetPasses = 5.0;
constexpr double kSaturationPasses = 2.0;
constexpr int kStaleRounds = 3;

// Colours the pattern: the natural order, then the saturation order, then iterated greedy
// rounds, as long as the budget lasts and the lower bound is not reached. The fewest colours
// win (the earlier colouring on a tie, except in the iterated rounds, which move on on a tie).
int colour_pattern(const Structure& s, std::vector<int>& best) {
  const int n = static_cast<int>(s.active.size());
  best.assign(s.ncol, 0);
  if (n == 0) return 0;
  if (s.lower_bound == n) {
    // A row holds every column: each column is a group of its own, no search needed.
    for (int i = 0; i < n; ++i) best[s.active[i]] = i + 1;
    return n;
  }
  Colouring col(s);
  const double pass = s.pass_work;
  double budget = kBudgetPasses * pass;
  // Most patterns need far fewer than 255 colours: try with colours in bytes first.
  int groups = col.greedy(s.active, std::min(n + 1, 255), best);
  if (groups == 255) groups = col.greedy(s.active, n + 1, best);
  budget -= pass;
  std::vector<int> trial;
  if (groups > s.lower_bound && budget >= kSaturationPasses * pass) {
    const int g = col.saturation(groups, trial);
    budget -= kSaturationPasses * pass;
    if (g > 0 && g < groups) {
      groups = g;
      best.swap(trial);
    }
  }
  // Iterated greedy: colouring again with the columns taken class by class never needs more
  // colours than there are classes, and a different class order often needs fewer. Rounds
  // alternate between the classes in reverse order and the largest classes first; a round
  // that ties is kept too, so the search moves on.
  std::vector<int> order(n), size, classes, at;
  for (int round = 0, stale = 0;
       groups > s.lower_bound && budget >= pass && stale < kStaleRounds; ++round) {
    size.assign(groups + 1, 0);
    for (int c : s.active) ++size[best[c]];
    classes.resize(groups);
    for (int i = 0; i < groups; ++i) classes[i] = groups - i;
    if (round % 2 == 1)
      std::stable_sort(classes.begin(), classes.end(),
                       [&size](int a, int b) { return size[a] > size[b]; });
    at.assign(groups + 1, 0);
    for (int i = 1; i < groups; ++i) at[classes[i]] = at[classes[i - 1]] + size[classes[i - 1]];
    for (int c : s.active) order[at[best[c]]++] = c;
    const int g = col.greedy(order, groups + 1, trial);
    budget -= pass;
    stale = g < groups ? 0 : stale + 1;
    if (g <= groups) {
      groups = g;
      best.swap(trial);
    }
  }
  return groups;
}

// Builds the grouping of g from the non-zeros' local rows and columns.
void fill_grouping(Grouping& g, const std::vector<int>& rows, std::vector<int>&& cols) {
  Structure s;
  build_structure(g.neq, g.nvar, rows, cols, s);
  std::vector<int> colour;
  const int ngroups = colour_pattern(s, colour);

  std::vector<int> group_ptr(ngroups + 1, 0);
  for (int c : s.active) ++group_ptr[colour[c]];
  for (int i = 0; i < ngroups; ++i) group_ptr[i + 1] += group_ptr[i];
  std::vector<int> group_cols(s.active.size());
  {
    std::vector<int> fill(group_ptr.begin(), group_ptr.end() - 1);
    for (int c : s.active) group_cols[fill[colour[c] - 1]++] = c;
  }
  std::vector<int> nz_ptr(ngroups + 1, 0);
  for (int c : cols) ++nz_ptr[colour[c]];
  for (int i = 0; i < ngroups; ++i) nz_ptr[i + 1] += nz_ptr[i];
  std::vector<int> group_nz(cols.size()), group_nz_row(cols.size()), group_nz_col(cols.size());
  {
    std::vector<int> fill(nz_ptr.begin(), nz_ptr.end() - 1);
    for (size_t k = 0; k < cols.size(); ++k) {
      const int at = fill[colour[cols[k]] - 1]++;
      group_nz[at] = static_cast<int>(k);
      group_nz_row[at] = rows[k];
      group_nz_col[at] = cols[k];
    }
  }

  g.lower_bound = s.lower_bound;
  g.ngroups = ngroups;
  g.largest_group = 0;
  for (int i = 0; i < ngroups; ++i)
    g.largest_group = std::max(g.largest_group, group_ptr[i + 1] - group_ptr[i]);
  g.nz_col = std::move(cols);
  g.group_ptr = std::move(group_ptr);
  g.group_cols = std::move(group_cols);
  g.group_nz_ptr = std::move(nz_ptr);
  g.group_nz = std::move(group_nz);
  g.group_nz_row = std::move(group_nz_row);
  g.group_nz_col = std::move(group_nz_col);
  g.computed = true;
}

void clear_grouping(Grouping& g) {
  g.computed = false;
  g.lower_bound = g.ngroups = g.largest_group = 0;
  g.nz_col.clear();
  g.group_ptr.clear();
  g.group_cols.clear();
  g.group_nz_ptr.clear();
  g.group_nz.clear();
  g.group_nz_row.clear();
  g.group_nz_col.clear();
  g.phase = Phase::Idle;
}

// Whether the computed grouping g was made from exactly these non-zeros (local rows and
// columns from 0, in this order): every non-zero is found through the group lists at its row
// and column.
bool made_from(const Grouping& g, const std::vector<int>& rows, const std::vector<int>& cols) {
  if (!g.computed || static_cast<size_t>(g.nnz) != rows.size()) return false;
  for (size_t k = 0; k < cols.size(); ++k)
    if (g.nz_col[k] != cols[k]) return false;
  for (size_t i = 0; i < g.group_nz.size(); ++i)
    if (rows[g.group_nz[i]] != g.group_nz_row[i]) return false;
  return true;
}

// Moves the groups of a recently released grouping made from the same non-zeros into g;
// false when there is none.
bool take_recent(Grouping& g, const std::vector<int>& rows, const std::vector<int>& cols) {
  Table& t = table();
  for (auto it = t.recent.begin(); it != t.recent.end(); ++it) {
    Grouping& r = **it;
    if (r.nvar != g.nvar || r.neq != g.neq || !made_from(r, rows, cols)) continue;
    g.lower_bound = r.lower_bound;
    g.ngroups = r.ngroups;
    g.largest_group = r.largest_group;
    g.nz_col.swap(r.nz_col);
    g.group_ptr.swap(r.group_ptr);
    g.group_cols.swap(r.group_cols);
    g.group_nz_ptr.swap(r.group_nz_ptr);
    g.group_nz.swap(r.group_nz);
    g.group_nz_row.swap(r.group_nz_row);
    g.group_nz_col.swap(r.group_nz_col);
    g.computed = true;
    t.recent_nnz -= static_cast<size_t>(r.nnz);
    t.recent.erase(it);
    return true;
  }
  return false;
}

// Keeps the groups of a released grouping for a later one of the same pattern, dropping the
// oldest kept ones beyond the limit; the differencing state goes.
void keep_recent(std::unique_ptr<Grouping> g) {
  if (!g->computed || g->nnz == 0 || static_cast<size_t>(g->nnz) > kRecentNonZeros) return;
  g->phase = Phase::Idle;
  std::vector<double>().swap(g->f0);
  std::vector<double>().swap(g->saved);
  std::vector<double>().swap(g->step);
  Table& t = table();
  t.recent_nnz += static_cast<size_t>(g->nnz);
  t.recent.push_front(std::move(g));
  while (t.recent_nnz > kRecentNonZeros) {
    t.recent_nnz -= static_cast<size_t>(t.recent.back()->nnz);
    t.recent.pop_back();
  }
}

// ---- Differencing ---------------------------------------------------------------------------

// Perturbs the columns of group g.group, saving their values and recording the steps taken.
void perturb_group(Grouping& g, double* x, const double* scale) {
  const int first = g.group_ptr[g.group], last = g.group_ptr[g.group + 1];
  for (int i = first; i < last; ++i) {
    const int c = g.group_cols[i];
    const double xc = x[c];
    double s = scale ? std::fabs(scale[c]) : 1.0;
    if (!(s > 0.0) || !std::isfinite(s)) s = 1.0;
    const double h = g.pert * std::max(std::fabs(xc), s);
    double moved = xc + h;
    if (!std::isfinite(moved)) moved = xc - h;
    if (moved == xc) {
      // A step below the spacing of doubles at x_j: take the neighbouring double instead.
      const double inf = std::numeric_limits<double>::infinity();
      moved = std::nextafter(xc, xc == std::numeric_limits<double>::max() ? -inf : inf);
    }
    g.saved[i - first] = xc;
    g.step[c] = moved - xc;
    x[c] = moved;
  }
}

void restore_group(const Grouping& g, double* x) {
  const int first = g.group_ptr[g.group], last = g.group_ptr[g.group + 1];
  for (int i = first; i < last; ++i) x[g.group_cols[i]] = g.saved[i - first];
}

// Whether icn[k] - voff is column nz_col[k] + 1 for every non-zero k. The differences are
// taken modulo 2^32, which for 32-bit numbers and columns from 0 to nvar - 1 tells equal from
// unequal exactly, and four running sums let the processor compare several at a time.
bool same_columns(const int* icn, int voff, const std::vector<int>& nz_col) {
  const size_t n = nz_col.size();
  const int* want = nz_col.data();
  const uint32_t off = static_cast<uint32_t>(voff) + 1u;
  uint32_t d0 = 0, d1 = 0, d2 = 0, d3 = 0;
  size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    d0 |= (static_cast<uint32_t>(icn[k]) - off) ^ static_cast<uint32_t>(want[k]);
    d1 |= (static_cast<uint32_t>(icn[k + 1]) - off) ^ static_cast<uint32_t>(want[k + 1]);
    d2 |= (static_cast<uint32_t>(icn[k + 2]) - off) ^ static_cast<uint32_t>(want[k + 2]);
    d3 |= (static_cast<uint32_t>(icn[k + 3]) - off) ^ static_cast<uint32_t>(want[k + 3]);
  }
  for (; k < n; ++k) d0 |= (static_cast<uint32_t>(icn[k]) - off) ^ static_cast<uint32_t>(want[k]);
  return (d0 | d1 | d2 | d3) == 0;
}

// Puts the values of an interrupted sequence back and ends it.
void abandon(Grouping& g, double* x, double* f) {
  if (g.phase == Phase::Group) {
    if (x) restore_group(g, x);
    if (f) std::copy(g.f0.begin(), g.f0.end(), f);
  }
  g.phase = Phase::Idle;
}

}  // namespace

namespace kvoref {
namespace detail {

void reset_numeric() {
  table().live.clear();
  table().next = 1;
  forget_groupings();
}

}  // namespace detail

void forget_groupings() {
  table().recent.clear();
  table().recent_nnz = 0;
}

}  // namespace kvoref

extern "C" {

void U3VGRP_CREATE(int* nvar, int* neq, int* nnz, int* handle) {
  if (!handle) return;
  *handle = 0;
  if (!nvar || !neq || !nnz || *nvar < 0 || *neq < 0 || *nnz < 0) {
    head("U3VGRP_CREATE");
    kvoprintf(kvHisDev, "Numbers of variables, equations and non-zeros must not be negative\n");
    return;
  }
  try {
    Table& t = table();
    // Handles count up and are not reused before the count wraps, so a released handle stays
    // unknown instead of naming someone else's grouping.
    while (t.live.count(t.next)) t.next = t.next == INT_MAX ? 1 : t.next + 1;
    auto g = std::make_unique<Grouping>(*nvar, *neq, *nnz);
    t.live.emplace(t.next, std::move(g));
    *handle = t.next;
    t.next = t.next == INT_MAX ? 1 : t.next + 1;
  } catch (const std::bad_alloc&) {
    head("U3VGRP_CREATE");
    kvoprintf(kvHisDev, "Not enough memory for a grouping\n");
  }
}

void U3VGRP_COMPUTE(int* irn, int* icn, int* info, int* eoff, int* voff, int* zero, int* handle,
                    int* status) {
  static const char* const fn = "U3VGRP_COMPUTE";
  (void)zero;
  int ignored = 0;
  if (!status) status = &ignored;
  *status = 1;
  if (info) *info = 0;
  Grouping* g = handle ? find(*handle) : nullptr;
  if (!g) {
    head(fn);
    kvoprintf(kvHisDev, "Unknown grouping handle %d\n", handle ? *handle : 0);
    return;
  }
  clear_grouping(*g);
  if (g->nnz > 0 && (!irn || !icn || !eoff || !voff)) {
    head(fn);
    kvoprintf(kvHisDev, "No pattern given for %d non-zeros\n", g->nnz);
    return;
  }
  try {
    std::vector<int> rows(g->nnz), cols(g->nnz);
    for (int k = 0; k < g->nnz; ++k) {
      const int64_t r = static_cast<int64_t>(irn[k]) - *eoff;
      const int64_t c = static_cast<int64_t>(icn[k]) - *voff;
      if (r < 1 || r > g->neq || c < 1 || c > g->nvar) {
        head(fn);
        kvoprintf(kvHisDev,
                  "Non-zero %d (equation %d, variable %d) lies outside the block's equations "
                  "%lld to %lld and variables %lld to %lld\n",
                  k + 1, irn[k], icn[k], static_cast<long long>(*eoff) + 1,
                  static_cast<long long>(*eoff) + g->neq, static_cast<long long>(*voff) + 1,
                  static_cast<long long>(*voff) + g->nvar);
        return;
      }
      rows[k] = static_cast<int>(r - 1);
      cols[k] = static_cast<int>(c - 1);
    }
    if (!take_recent(*g, rows, cols)) fill_grouping(*g, rows, std::move(cols));
  } catch (const std::bad_alloc&) {
    clear_grouping(*g);
    head(fn);
    kvoprintf(kvHisDev, "Not enough memory for the grouping\n");
    return;
  }
  if (info) *info = g->ngroups;
  *status = 0;
}

void U3VGRP_DESTROY(int* handle) {
  if (!handle) return;
  Table& t = table();
  auto it = t.live.find(*handle);
  *handle = 0;
  if (it == t.live.end()) return;
  std::unique_ptr<Grouping> g = std::move(it->second);
  t.live.erase(it);
  try {
    keep_recent(std::move(g));
  } catch (const std::bad_alloc&) {
    // Not kept: a later grouping of the pattern is searched for again.
  }
}

void U3VGRP_REPORT_BY_IDX(int* handle, int* voff) {
  static const char* const fn = "U3VGRP_REPORT_BY_IDX";
  if (!handle || *handle == 0) return;
  const Grouping* g = find(*handle);
  if (!g || !g->computed) {
    head(fn);
    if (!g) {
      kvoprintf(kvHisDev, "Unknown grouping handle %d\n", *handle);
    } else {
      kvoprintf(kvHisDev, "Grouping %d has not been computed\n", *handle);
    }
    return;
  }
  const long long off = voff ? *voff : 0;
  const int ncols = g->ngroups > 0 ? g->group_ptr[g->ngroups] : 0;
  kvoprintf(kvHisDev, "%d group%s for %d variable%s, lower bound %d\n", g->ngroups,
            g->ngroups == 1 ? "" : "s", ncols, ncols == 1 ? "" : "s", g->lower_bound);
  // Positions follow the group's head line and wrap before 80 columns, continuation lines
  // indented by four spaces.
  constexpr size_t kWidth = 80;
  std::string line;
  for (int grp = 0; grp < g->ngroups; ++grp) {
    const int first = g->group_ptr[grp], last = g->group_ptr[grp + 1];
    char buf[64];
    std::snprintf(buf, sizeof buf, "Group %d: %d variable%s:", grp + 1, last - first,
                  last - first == 1 ? "" : "s");
    line = buf;
    for (int i = first; i < last; ++i) {
      std::snprintf(buf, sizeof buf, " %lld", off + g->group_cols[i] + 1);
      if (line.size() + std::strlen(buf) >= kWidth) {
        line += '\n';
        kvowrite(kvHisDev, line.data(), static_cast<int>(line.size()));
        line = "   ";
      }
      line += buf;
    }
    line += '\n';
    kvowrite(kvHisDev, line.data(), static_cast<int>(line.size()));
  }
}

void U3NJAC_COMPUTE(int* vgrp, double* x, double* scale, int* vstat, double* f, int* voff, int* icn,
                    double* par, double* pert, double* bj, int* request, int* status) {
  static const char* const fn = "U3NJAC_COMPUTE";
  (void)vstat;
  (void)par;
  int ignored = 0;
  if (!status) status = &ignored;
  *status = 0;
  if (!request) {
    *status = 1;
    head(fn);
    kvoprintf(kvHisDev, "No request flag given\n");
    return;
  }
  const int req = *request;
  *request = 0;
  if (vgrp && *vgrp == 0) return;  // a block without non-zeros has nothing to difference
  Grouping* g = vgrp ? find(*vgrp) : nullptr;
  if (!g || !g->computed) {
    *status = 1;
    head(fn);
    if (!g) {
      kvoprintf(kvHisDev, "Unknown grouping handle %d\n", vgrp ? *vgrp : 0);
    } else {
      kvoprintf(kvHisDev, "Grouping %d has not been computed\n", *vgrp);
    }
    return;
  }
  if (req == -1) {
    abandon(*g, x, f);
    return;
  }
  if (req != 0 && req != 1) {
    *status = 1;
    head(fn);
    kvoprintf(kvHisDev, "Unknown request %d\n", req);
    return;
  }
  if (g->nnz == 0) {
    g->phase = Phase::Idle;
    return;
  }
  if (!x || !f || !bj) {
    *status = 1;
    head(fn);
    kvoprintf(kvHisDev, "No variable, residual or Jacobian values given\n");
    return;
  }
  try {
    if (req == 0) {
      // A sequence left half-way puts its values back before a new one starts.
      if (g->phase == Phase::Group) abandon(*g, x, f);
      g->phase = Phase::Idle;
      if (!pert || !(*pert > 0.0) || !std::isfinite(*pert)) {
        *status = 1;
        head(fn);
        kvoprintf(kvHisDev, "The perturbation size is not a positive number\n");
        return;
      }
      // The pattern must still be the one the grouping was made from. The whole slice is
      // compared without stopping, which the compiler turns into wide comparisons; the first
      // difference is looked for only when there is one.
      if (icn && voff && !same_columns(icn, *voff, g->nz_col)) {
        for (int k = 0; k < g->nnz; ++k) {
          if (static_cast<int64_t>(icn[k]) - *voff != g->nz_col[k] + 1) {
            *status = 1;
            head(fn);
            kvoprintf(kvHisDev,
                      "Non-zero %d is at variable %d but the grouping has it at variable %lld\n",
                      k + 1, icn[k], static_cast<long long>(*voff) + g->nz_col[k] + 1);
            return;
          }
        }
      }
      g->pert = *pert;
      // Everything the sequence needs is allocated here, so later calls cannot fail half way.
      // Every entry is written before it is read: the steps of a group's columns as it is
      // perturbed, the base residuals from the first evaluation.
      g->step.resize(g->nvar);
      g->f0.resize(g->neq);
      g->saved.resize(g->largest_group);
      g->phase = Phase::Base;
      *request = 1;  // residuals at the unperturbed point first
      return;
    }
    if (g->phase == Phase::Idle) {
      *status = 1;
      head(fn);
      kvoprintf(kvHisDev, "Request 1 without a differencing sequence under way\n");
      return;
    }
    if (g->phase == Phase::Base) {
      std::copy(f, f + g->neq, g->f0.begin());
      g->group = 0;
    } else {
      for (int i = g->group_nz_ptr[g->group]; i < g->group_nz_ptr[g->group + 1]; ++i) {
        const int r = g->group_nz_row[i];
        bj[g->group_nz[i]] = (f[r] - g->f0[r]) / g->step[g->group_nz_col[i]];
      }
      restore_group(*g, x);
      ++g->group;
    }
    if (g->group < g->ngroups) {
      perturb_group(*g, x, scale);
      g->phase = Phase::Group;
      *request = 1;
      return;
    }
    std::copy(g->f0.begin(), g->f0.end(), f);
    g->phase = Phase::Idle;
  } catch (const std::bad_alloc&) {
    abandon(*g, x, f);
    *status = 1;
    head(fn);
    kvoprintf(kvHisDev, "Not enough memory for the differencing\n");
  }
}

}  // extern "C"
