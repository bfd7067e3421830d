// SPDX-License-Identifier: BSD-3-Clause
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
// same set of non-zeros always gives the same groups, whatever their order. On large patterns
// the time goes into reaching memory, not into colouring: the first pass therefore also lists
// every column's conflicting columns once, which the later passes read in one stretch, memory
// is asked for ahead of its use, and the working arrays are kept for the next grouping.
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
// the unperturbed point are left in f when the sequence ends. The quotients are kept until the
// last group is done and then written into the Jacobian in one pass, so a sequence that does
// not finish leaves the Jacobian as it was. The variable statuses and the 100-element parameter
// array are not used.
//
// Request 0 first checks that the column numbers it is given are still those the grouping was
// made from. Where they are held by one of the reference host's Jacobians and no Jacobian has
// been edited through the list services since they were last found so, the check is known to
// pass and is skipped. The scales are read when request 0 starts the sequence and must not
// change until it ends.
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
#include <cstdlib>
#include <cstring>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KVOREF_STREAM_STORES 1
#else
#define KVOREF_STREAM_STORES 0
#endif

#include "kvorefhost.h"
#include "pattern_edits.h"

namespace {

enum class Phase { Idle, Base, Group };

// Memory for the grouping's large arrays. Above kHugeBytes it comes in whole 2 MB pages and
// the system is asked to back it with huge pages where it can: the colouring reads these
// arrays column by column in an order that jumps across all of them, and with small pages
// nearly every such jump on a pattern of a million non-zeros also misses the address cache.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kHugeBytes = 2 * kHugePage;

void* big_alloc(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugeBytes) {
    void* p = nullptr;
    const size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (whole < bytes || posix_memalign(&p, kHugePage, whole) != 0) return nullptr;
    madvise(p, whole, MADV_HUGEPAGE);  // advice only: without it the pages are small
    return p;
  }
#endif
  return std::malloc(bytes ? bytes : 1);
}

// An allocator that leaves the elements of a resized vector unset. The grouping's large arrays
// are written in full right after they are sized; setting them to zero first would be one more
// pass over memory, which on a pattern of a million non-zeros does not stay in the caches.
template <class T>
struct Unset : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = Unset<U>;
  };
  Unset() = default;
  template <class U>
  explicit Unset(const Unset<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    void* p = big_alloc(n * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept { std::free(p); }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};
using Ints = std::vector<int, Unset<int>>;

struct Grouping {
  Grouping(int v, int e, int z) : nvar(v), neq(e), nnz(z) {}
  int nvar, neq, nnz;

  // The grouping, once computed: local 0-based column of every non-zero, per group its columns,
  // per group its non-zeros' rows and the places of their columns in group_cols side by side for
  // the quotients, and where each non-zero stands in that group order.
  bool computed = false;
  int lower_bound = 0;
  int ngroups = 0;
  int largest_group = 0;
  Ints nz_col;
  std::vector<int> group_ptr;
  Ints group_cols;
  std::vector<int> group_nz_ptr;
  Ints group_nz_row, group_nz_slot;
  Ints nz_pos;

  // Where the columns were last found to be the grouping's own: the column numbers given, the
  // variable offset, and the count of pattern edits then. Set only for column numbers held by
  // one of the host's Jacobians, whose every edit the count sees.
  const int* checked_icn = nullptr;
  int checked_voff = 0;
  uint64_t checked_edits = 0;

  // Differencing sequence under way: phase, group being perturbed, perturbation size, base
  // residuals, saved values of the perturbed group's columns and the steps taken, in group
  // order.
  Phase phase = Phase::Idle;
  int group = 0;
  double pert = 0.0;
  // The scales of the sequence when every one of them is 1 in magnitude: the steps then need
  // not read them column by column.
  const double* unit_scale = nullptr;
  std::vector<double> f0;
  std::vector<double> saved;
  std::vector<double> step;
  // The quotients of the groups done so far, in group order; written into the Jacobian in
  // non-zero order when the last group is done.
  std::vector<double> quot;
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

// The pattern in both directions with repeated entries dropped. Each row is one run in `runs`:
// its number of distinct columns, then those columns in increasing order. Each column lists
// where the runs of its rows start, in increasing row order, so that a colouring pass reaches a
// row's columns in one step.
struct Structure {
  int nrow = 0, ncol = 0;
  Ints runs;
  std::vector<int> col_ptr;
  Ints col_runs;
  std::vector<int> active;  // columns with at least one non-zero, increasing
  int lower_bound = 0;
  double pass_work = 0.0;  // sum of the squared row lengths: the work of one colouring pass
  // Rows reach across more than an eighth of the columns on average: a column's neighbours
  // then lie far apart, and so do their lists.
  bool wide = false;
};

// Room for ints that is handed out as it is, not cleared (the lists are written before they
// are read, and only as far as they are written does the memory get touched).
struct IntRoom {
  struct Free {
    void operator()(int* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<int[], Free> data;
  size_t size = 0;
  // Room for n ints, or nullptr when that much memory cannot be had.
  int* get(size_t n) {
    if (n > size) {
      data.reset();
      size = 0;
      if (n <= std::numeric_limits<size_t>::max() / sizeof(int))
        data.reset(static_cast<int*>(big_alloc(n * sizeof(int))));
      if (data) size = n;
    }
    return data.get();
  }
};

// Working arrays of a grouping: the structure, the colourings, the lists and the saturation
// colouring's words and stacks. They are kept for the next grouping, which then needs no fresh
// memory from the operating system (on large patterns that costs about as much as the search
// itself), and dropped after a pattern of more than kKeptWorkNonZeros non-zeros.
struct Work {
  Structure s;
  Ints rows;
  std::vector<int> next, best, trial, order, degree, ptr, met;
  std::vector<uint8_t> bytes, narrow, first_colours;
  std::vector<uint16_t> seen16;
  std::vector<uint32_t> seen32;
  std::vector<uint64_t> seen64;
  std::vector<std::vector<int>> stack;
  IntRoom list;
  // Arrays of released groupings, handed to the next grouping's arrays: fresh memory from the
  // system costs a page fault per 4 KB, about 3,600 for a grouping of a million non-zeros.
  std::vector<Ints> spare;
  std::vector<uint16_t>& seen(uint16_t) { return seen16; }
  std::vector<uint32_t>& seen(uint32_t) { return seen32; }
  std::vector<uint64_t>& seen(uint64_t) { return seen64; }
};
constexpr size_t kKeptWorkNonZeros = kRecentNonZeros;

// The working arrays kept from the last grouping; never destroyed, like the table.
std::unique_ptr<Work>& kept_work() {
  static auto* w = new std::unique_ptr<Work>;
  return *w;
}

Work& work() {
  std::unique_ptr<Work>& w = kept_work();
  if (!w) w = std::make_unique<Work>();
  return *w;
}

// At most this many released arrays are kept, enough for one grouping's.
constexpr size_t kSpareArrays = 8;

// An array of n ints, not set: the smallest kept one that holds n, else a fresh one. A kept
// array more than twice that size stays for a grouping of its own size: a small grouping would
// hold it on, also among the recent groupings, which are counted by their non-zeros, and the
// next large grouping would take fresh memory, round after round.
Ints take_ints(size_t n) {
  Ints a;
  if (std::unique_ptr<Work>& w = kept_work()) {
    std::vector<Ints>& spare = w->spare;
    auto fit = spare.end();
    for (auto it = spare.begin(); it != spare.end(); ++it)
      if (it->capacity() >= n && it->capacity() / 2 <= n &&
          (fit == spare.end() || it->capacity() < fit->capacity()))
        fit = it;
    if (fit != spare.end()) {
      a.swap(*fit);
      spare.erase(fit);
    }
  }
  a.resize(n);
  return a;
}

// Keeps a released array for a later take_ints, when working memory is kept at all and the
// array is of a size it is kept for; a kept array too small to be of use makes room.
void give_back(Ints& a) noexcept {
  std::unique_ptr<Work>& w = kept_work();
  if (!w || a.capacity() == 0 || a.capacity() > kKeptWorkNonZeros) return;
  std::vector<Ints>& spare = w->spare;
  if (spare.size() >= kSpareArrays) {
    auto least = std::min_element(spare.begin(), spare.end(), [](const Ints& x, const Ints& y) {
      return x.capacity() < y.capacity();
    });
    if (least->capacity() >= a.capacity()) return;
    spare.erase(least);
  }
  try {
    spare.emplace_back();
  } catch (const std::bad_alloc&) {
    return;  // not kept: the array is freed with its owner
  }
  spare.back().swap(a);
  spare.back().clear();
}

// Entries go to their rows' runs in entry order, which writes in sequence when they come row
// by row as they usually do; a run is sorted only when it is not already increasing, and the
// runs are then closed up and transposed in one sweep each.
void build_structure(int nrow, int ncol, const Ints& rows, const Ints& cols, Structure& s,
                     std::vector<int>& next) {
  s.nrow = nrow;
  s.ncol = ncol;
  s.lower_bound = 0;
  s.pass_work = 0.0;
  s.wide = false;
  const size_t nnz = rows.size();
  // next[r]: where the next column of row r goes, each row's room preceded by its length word.
  next.assign(static_cast<size_t>(nrow) + 1, 0);
  for (size_t k = 0; k < nnz; ++k) ++next[rows[k] + 1];
  for (int r = 0, sum = 0; r < nrow; ++r) {
    const int count = next[r + 1];
    next[r] = sum + 1;
    sum += count + 1;
  }
  s.runs.resize(nnz + nrow);
  int* runs = s.runs.data();
  for (size_t k = 0; k < nnz; ++k) runs[next[rows[k]]++] = cols[k];
  // Each row's columns increasing and distinct, closed up behind the rows before it.
  int at = 0;
  double reach = 0.0;
  for (int r = 0, begin = 1; r < nrow; ++r) {
    int* b = runs + begin;
    int* e = runs + next[r];
    begin = next[r] + 1;
    if (std::adjacent_find(b, e, [](int x, int y) { return x >= y; }) != e) {
      std::sort(b, e);
      e = std::unique(b, e);
    }
    const int len = static_cast<int>(e - b);
    runs[at] = len;
    if (runs + at + 1 != b) std::memmove(runs + at + 1, b, sizeof(int) * len);
    if (len > 0) reach += static_cast<double>(runs[at + len] - runs[at + 1]);
    at += len + 1;
    s.lower_bound = std::max(s.lower_bound, len);
    s.pass_work += static_cast<double>(len) * len;
  }
  s.runs.resize(at);
  s.wide = reach > static_cast<double>(nrow) * ncol / 8;
  // Transpose: the runs of every column's rows, increasing because rows are visited in order.
  s.col_ptr.assign(static_cast<size_t>(ncol) + 1, 0);
  for (int r = 0; r < at; r += runs[r] + 1)
    for (int j = 1; j <= runs[r]; ++j) ++s.col_ptr[runs[r + j] + 1];
  for (int c = 0; c < ncol; ++c) s.col_ptr[c + 1] += s.col_ptr[c];
  s.col_runs.resize(s.col_ptr[ncol]);
  {
    std::vector<int>& fill = next;
    fill.assign(s.col_ptr.begin(), s.col_ptr.end() - 1);
    int* col_runs = s.col_runs.data();
    for (int r = 0; r < at; r += runs[r] + 1)
      for (int j = 1; j <= runs[r]; ++j) col_runs[fill[runs[r + j]]++] = r;
  }
  s.active.clear();
  for (int c = 0; c < ncol; ++c)
    if (s.col_ptr[c + 1] > s.col_ptr[c]) s.active.push_back(c);
}

// Asks for the memory at p ahead of its use. The empty statement after it keeps the compiler
// from dropping a loop that does nothing but ask.
inline void ask_for(const void* p) {
  __builtin_prefetch(p);
  asm volatile("");
}

// The columns a column conflicts with, reached through its rows' runs: every other column of
// each of its rows, rows in increasing order, with repetitions and the column itself.
struct ThroughRows {
  const int* col_ptr;
  const int* col_runs;
  const int* runs;
  template <class F>
  void operator()(int v, F&& f) const {
    for (int i = col_ptr[v]; i < col_ptr[v + 1]; ++i) {
      const int* run = runs + col_runs[i];
      for (int j = 1; j <= run[0]; ++j) f(run[j]);
    }
  }
  // Asks for the runs of v's rows ahead of their use.
  void prefetch(int v) const {
    for (int i = col_ptr[v]; i < col_ptr[v + 1]; ++i) ask_for(runs + col_runs[i]);
  }
};

// The same columns from a list kept per column: each once, in the order ThroughRows first
// meets it, without the column itself. Everything the colourings do with a column met again or
// with the column itself changes nothing, so both give the same colours; the list is read in
// one stretch where ThroughRows jumps to every row.
struct FromList {
  const int* ptr;
  const int* list;
  template <class F>
  void operator()(int v, F&& f) const {
    for (int i = ptr[v]; i < ptr[v + 1]; ++i) f(list[i]);
  }
  void prefetch(int v) const {
    ask_for(list + ptr[v]);
    ask_for(list + ptr[v] + 16);
  }
};

// Bits set in a word.
inline int bits_in(uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<int>((x * 0x0101010101010101ull) >> 56);
}

// Greedy colourings over column orders. Colours are worked on in bytes while fewer than 256
// are allowed, so that the colours a pass looks up stay in the processor's nearer caches.
//
// The first pass, in the natural order, also lists every column's conflicting columns, which
// later passes then read in one stretch per column instead of jumping to each of its rows:
// on large patterns those jumps, not the colouring, are what takes the time. The lists are
// kept while they hold at most kListedPerNonZero entries per non-zero; patterns with long
// rows go on through the rows.
class Colouring {
 public:
  explicit Colouring(Work& w)
      : s_(w.s),
        w_(w),
        rows_{w.s.col_ptr.data(), w.s.col_runs.data(), w.s.runs.data()},
        bytes_(w.bytes),
        degree_(w.degree) {}

  // The columns in increasing order, each with the smallest colour (1, 2, ...) no neighbour
  // coloured before it has; columns without non-zeros keep 0. Answers 255 when more than 254
  // colours would be needed (colour again with greedy, which then has the lists).
  //
  // The lists are only wanted when the search goes on, that is once this order needs more
  // colours than the lower bound. From that column on they are written as the columns are
  // coloured; the columns before it are listed at that moment, in one catch-up sweep. An order
  // that reaches the bound writes none.
  int natural(std::vector<int>& colour) {
    const int ncol = s_.ncol;
    std::vector<uint8_t>& colours = w_.first_colours;
    colours.assign(ncol, 0);
    // met[u] == v: u is on the list of v being written. Set from -1, so no column starts met.
    w_.met.assign(ncol, -1);
    degree_.assign(ncol, 0);
    const size_t cap = std::min<size_t>(kListedPerNonZero * s_.col_runs.size(), INT_MAX - 1);
    std::vector<int>& ptr = w_.ptr;
    // Raw pointers in locals: a store through one of them could otherwise be taken to change
    // the others and force them to be read again.
    const int* col_ptr = s_.col_ptr.data();
    const int* col_runs = s_.col_runs.data();
    const int* runs = s_.runs.data();
    uint8_t* cl = colours.data();
    int* deg = degree_.data();
    int* list = nullptr;
    int* at = nullptr;
    bool unlisted = false;  // the lists were started and outgrew their room
    bool stream = false;    // the lists are written past the caches
    size_t len = 0;
    int used = 0, max_degree = 0;
    // Once the colours exceed the bound, the columns before v are listed in one sweep and the
    // lists go on from v.
    auto start_lists = [&](int v) {
      if (list || unlisted || (used <= s_.lower_bound && used < 255)) return;
      // The work is compared as a double: on a 32-bit target it may exceed what a size_t holds.
      const size_t room =
          (s_.pass_work < static_cast<double>(cap) ? static_cast<size_t>(s_.pass_work) : cap) + 1;
      stream = kStreamStores && s_.wide && room >= kHugeBytes / sizeof(int);
      list = w_.list.get(room);
      if (list) {
        ptr.assign(static_cast<size_t>(ncol) + 1, 0);
        at = ptr.data();
        for (int u = 0; u < v && list; ++u) {
          if (len + static_cast<size_t>(deg[u]) > cap) list = nullptr;
          if (list)
            len = stream ? list_one<false, true>(u, cl, list, len, at, nullptr)
                         : list_one<false, false>(u, cl, list, len, at, nullptr);
        }
      }
      unlisted = !list;
    };
    std::vector<int> forbidden;
    for (int v = 0; v < ncol; ++v) {
      if (v + kAhead < ncol) rows_.prefetch(v + kAhead);
      const int from = col_ptr[v], to = col_ptr[v + 1];
      int d = 0;
      for (int i = from; i < to; ++i) d += runs[col_runs[i]] - 1;
      deg[v] = d;
      max_degree = std::max(max_degree, d);
      start_lists(v);
      if (list && len + static_cast<size_t>(d) > cap) {
        list = nullptr;
        unlisted = true;
      }
      uint64_t seen = 1;
      if (list)
        len = stream ? list_one<true, true>(v, cl, list, len, at, &seen)
                     : list_one<true, false>(v, cl, list, len, at, &seen);
      if (from == to || used >= 255) continue;
      int c;
      if (list && used < 63) {
        c = __builtin_ctzll(~seen);  // the colours were seen while listing
      } else if (list) {
        c = smallest_free(FromList{at, list}, v, cl, used, 255, forbidden, v);
      } else {
        c = smallest_free(rows_, v, cl, used, 255, forbidden, v);
      }
      if (c >= 255) {
        used = 255;
        continue;
      }
      cl[v] = static_cast<uint8_t>(c);
      used = std::max(used, c);
    }
    start_lists(ncol);  // the last column may be the one that needed a colour too many
#if KVOREF_STREAM_STORES
    if (stream) _mm_sfence();
#endif
    max_degree_ = max_degree;
    if (list) list_ = FromList{ptr.data(), list};
    if (used >= 255) return 255;
    colour.assign(ncol, 0);
    for (int u : s_.active) colour[u] = cl[u];
    return used;
  }

  // Colours the columns in `order` (1, 2, ...; uncoloured columns keep 0), each with the
  // smallest colour no neighbour coloured before it has. Gives up as soon as `limit` colours
  // would be needed and then answers `limit`.
  int greedy(const std::vector<int>& order, int limit, std::vector<int>& colour) {
    colour.assign(s_.ncol, 0);
    if (limit > 255)
      return listed() ? greedy_in(order, limit, colour.data(), list_)
                      : greedy_in(order, limit, colour.data(), rows_);
    bytes_.assign(s_.ncol, 0);
    const int used = listed() ? greedy_in(order, limit, bytes_.data(), list_)
                              : greedy_in(order, limit, bytes_.data(), rows_);
    if (used < limit)
      for (int v : s_.active) colour[v] = bytes_[v];
    return used;
  }

  // Saturation-degree colouring: repeatedly colours the uncoloured column whose neighbours
  // already show the most distinct colours with the smallest colour they do not show; among
  // equals the one that reached its saturation last, and at the start the largest degree. The
  // order adapts to the colours given, which finds the tight colourings of grid stencils and
  // random patterns that fixed orders miss. Each column keeps one bit per colour below
  // `limit`, which also tells a repeated neighbour from a new one; columns wait on one stack
  // per saturation, where an entry left behind by a later rise is skipped when it comes up.
  // Answers `limit` as soon as it would be reached, and 0 (not tried) for more than 62
  // colours, where the bits no longer fit one word. Needs natural() first (the degrees).
  int saturation(int limit, std::vector<int>& colour) {
    if (limit > 63) return 0;
    colour.assign(s_.ncol, 0);
    bytes_.assign(s_.ncol, 0);
    uint8_t* cl = bytes_.data();
    // The narrowest word that holds the bits, so that the words of many columns share a line.
    int used;
    if (listed()) {
      used = limit <= 15   ? saturation_in<uint16_t, true>(limit, cl)
             : limit <= 31 ? saturation_in<uint32_t, true>(limit, cl)
                           : saturation_in<uint64_t, true>(limit, cl);
    } else {
      used = limit <= 15   ? saturation_in<uint16_t, false>(limit, cl)
             : limit <= 31 ? saturation_in<uint32_t, false>(limit, cl)
                           : saturation_in<uint64_t, false>(limit, cl);
    }
    if (used < limit)
      for (int v : s_.active) colour[v] = bytes_[v];
    return used;
  }

 private:
  static constexpr size_t kListedPerNonZero = 8;
  static constexpr bool kStreamStores = KVOREF_STREAM_STORES != 0;
  // Columns ahead of the one being coloured whose rows or list are asked for in advance.
  static constexpr int kAhead = 24;

  bool listed() const { return list_.ptr != nullptr; }

  // Writes the list of column v at `len` and answers where it ends: every column of v's rows
  // other than v, once, in the order the rows meet them. A column is met once its stamp is v,
  // so nothing needs clearing afterwards; the list is written without a branch on the stamp (a
  // column met before is overwritten by the next). With kSeen, the bits of the neighbours'
  // colours (below 63) go into *seen on the way. With kStream the list goes past the caches:
  // on wide patterns of many non-zeros it is read again only much later and in another order,
  // and writing it through the caches would push out the colours and rows being worked on.
  template <bool kSeen, bool kStream>
  size_t list_one(int v, const uint8_t* cl, int* list, size_t len, int* at, uint64_t* seen) const {
    const size_t first = len;
    const int* col_ptr = rows_.col_ptr;
    const int* col_runs = rows_.col_runs;
    const int* runs = rows_.runs;
    int* met = w_.met.data();
    uint64_t bits = 0;
    met[v] = v;
    for (int i = col_ptr[v]; i < col_ptr[v + 1]; ++i) {
      const int* run = runs + col_runs[i];
      for (int j = 1; j <= run[0]; ++j) {
        const int u = run[j];
#if KVOREF_STREAM_STORES
        if (kStream)
          _mm_stream_si32(list + len, u);
        else
#endif
          list[len] = u;
        len += met[u] != v;
        met[u] = v;
        if (kSeen) bits |= uint64_t{1} << (cl[u] & 63);
      }
    }
    at[v] = static_cast<int>(first);
    at[v + 1] = static_cast<int>(len);
    if (kSeen) *seen |= bits;
    return len;
  }

  // The smallest colour from 1 up that none of v's neighbours has, or `limit` when it would
  // be that or more. While fewer than 63 colours are in use they fit one word (bit 0 stands
  // for uncoloured neighbours); beyond, a colour is forbidden by tagging it with `tag`.
  template <class T, class Reach>
  static int smallest_free(const Reach& reach, int v, const T* cl, int used, int limit,
                           std::vector<int>& forbidden, int tag) {
    int c = 1;
    if (used < 63) {
      uint64_t seen = 1;
      reach(v, [&](int u) { seen |= uint64_t{1} << cl[u]; });
      c = __builtin_ctzll(~seen);
    } else {
      if (forbidden.empty()) forbidden.assign(static_cast<size_t>(limit) + 2, -1);
      reach(v, [&](int u) { forbidden[cl[u]] = tag; });
      while (forbidden[c] == tag) ++c;
    }
    return std::min(c, limit);
  }

  template <class T, class Reach>
  int greedy_in(const std::vector<int>& order, int limit, T* cl, const Reach& reach) {
    std::vector<int> forbidden;
    int used = 0;
    const size_t count = order.size();
    for (size_t n = 0; n < count; ++n) {
      const int v = order[n];
      if (n + kAhead < count) reach.prefetch(order[n + kAhead]);
      const int c = smallest_free(reach, v, cl, used, limit, forbidden, static_cast<int>(n));
      if (c >= limit) return limit;
      cl[v] = static_cast<T>(c);
      used = std::max(used, c);
    }
    return used;
  }

  // The saturation colouring with the colours seen by each column in one word of type W,
  // whose top bit marks the column as coloured, so that a neighbour is looked at through that
  // word alone; a column's saturation is the number of colour bits set. The words sit in an
  // array of their own, as narrow as the colours allow, so that on large patterns they stay in
  // the processor's nearer caches. Neighbours come from the lists when they were made
  // (kListed), else through the rows.
  template <class W, bool kListed>
  int saturation_in(int limit, uint8_t* cl) {
    constexpr W kDone = W(W{1} << (8 * sizeof(W) - 1));
    std::vector<W>& words = w_.seen(W{});
    words.assign(static_cast<size_t>(s_.ncol) + 1, 0);
    W* nd = words.data();
    const FromList listed = list_;
    const ThroughRows rows = rows_;
    auto reach = [&](int v, auto&& f) {
      if constexpr (kListed) {
        listed(v, f);
      } else {
        rows(v, f);
      }
    };
    auto ask_for_list = [&](int v) {
      if constexpr (kListed) {
        listed.prefetch(v);
      } else {
        rows.prefetch(v);
      }
    };
    std::vector<std::vector<int>>& stack = w_.stack;
    stack.resize(static_cast<size_t>(limit) + 1);
    for (std::vector<int>& entries : stack) entries.clear();
    {
      // Increasing degree, so that the largest comes off the stack first; the lower number
      // first among equal degrees (a counting sort, stable).
      std::vector<int> start(static_cast<size_t>(max_degree_) + 2, 0);
      for (int v : s_.active) ++start[degree_[v] + 1];
      for (int d = 0; d <= max_degree_; ++d) start[d + 1] += start[d];
      std::vector<int>& s0 = stack[0];
      s0.resize(s_.active.size());
      for (auto it = s_.active.rbegin(); it != s_.active.rend(); ++it)
        s0[start[degree_[*it]]++] = *it;
    }
    int used = 0, top = 0;
    for (size_t left = s_.active.size(); left > 0;) {
      while (stack[top].empty()) --top;
      const int v = stack[top].back();
      stack[top].pop_back();
      // An entry left behind by a later rise, or by the column's colouring, is skipped.
      if ((nd[v] & kDone) || bits_in(nd[v]) != top) continue;
      --left;
      const int c = __builtin_ctzll(~static_cast<uint64_t>(nd[v]));  // first not shown
      if (c + 1 >= limit) return limit;
      cl[v] = static_cast<uint8_t>(c + 1);
      nd[v] |= kDone;
      used = std::max(used, c + 1);
      const W bit = W(W{1} << c);
      // The neighbours' words are asked for together before the updates, whose branches
      // would otherwise wait for them one by one; a neighbour that rises to the top is likely
      // coloured next, so its neighbours are asked for too.
      if constexpr (kListed) {
        // Their list starts too: the one that rises to the top has its list asked for at once.
        const int* starts = listed.ptr;
        reach(v, [nd, starts](int u) {
          ask_for(nd + u);
          ask_for(starts + u);
        });
      } else {
        reach(v, [nd](int u) { ask_for(nd + u); });
      }
      reach(v, [&](int u) {
        W& m = nd[u];
        if (m & (bit | kDone)) return;
        m |= bit;
        const int up = bits_in(m);
        stack[up].push_back(u);
        if (up >= top) {
          top = up;
          ask_for_list(u);
        }
      });
    }
    return used;
  }

  const Structure& s_;
  Work& w_;
  ThroughRows rows_;
  FromList list_{nullptr, nullptr};
  std::vector<uint8_t>& bytes_;
  std::vector<int>& degree_;  // per column the entries of its rows other than its own
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
int colour_pattern(Work& w) {
  const Structure& s = w.s;
  std::vector<int>& best = w.best;
  const int n = static_cast<int>(s.active.size());
  best.assign(s.ncol, 0);
  if (n == 0) return 0;
  if (s.lower_bound == n) {
    // A row holds every column: each column is a group of its own, no search needed.
    for (int i = 0; i < n; ++i) best[s.active[i]] = i + 1;
    return n;
  }
  Colouring col(w);
  const double pass = s.pass_work;
  double budget = kBudgetPasses * pass;
  // Most patterns need far fewer than 255 colours: try with colours in bytes first.
  int groups = col.natural(best);
  if (groups == 255) groups = col.greedy(s.active, n + 1, best);
  budget -= pass;
  std::vector<int>& trial = w.trial;
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
  std::vector<int>& order = w.order;
  order.resize(n);
  std::vector<int> size, classes, at;
  for (int round = 0, stale = 0; groups > s.lower_bound && budget >= pass && stale < kStaleRounds;
       ++round) {
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

// The groups' columns and non-zeros from the colour (group number from 1, 0 for none) of every
// column. Colours come in bytes when fewer than 256 are used, so that looking up the colour of
// every non-zero's column stays in the processor's nearer caches.
template <class T>
void assemble(Grouping& g, int ngroups, const T* colour, const Ints& rows, const Ints& cols) {
  std::vector<int> group_ptr(ngroups + 1, 0);
  for (int c = 0; c < g.nvar; ++c)
    if (colour[c]) ++group_ptr[colour[c]];
  for (int i = 0; i < ngroups; ++i) group_ptr[i + 1] += group_ptr[i];
  Ints group_cols = take_ints(group_ptr[ngroups]);
  Ints slot = take_ints(g.nvar);  // where each grouped column stands in group_cols
  {
    std::vector<int> fill(group_ptr.begin(), group_ptr.end() - 1);
    for (int c = 0; c < g.nvar; ++c) {
      if (!colour[c]) continue;
      const int at = fill[colour[c] - 1]++;
      group_cols[at] = c;
      slot[c] = at;
    }
  }
  std::vector<int> nz_ptr(ngroups + 1, 0);
  for (int c : cols) ++nz_ptr[colour[c]];
  for (int i = 0; i < ngroups; ++i) nz_ptr[i + 1] += nz_ptr[i];
  Ints nz_pos = take_ints(cols.size());
  Ints group_nz_row = take_ints(cols.size());
  Ints group_nz_slot = take_ints(cols.size());
  {
    std::vector<int> fill(nz_ptr.begin(), nz_ptr.end() - 1);
    for (size_t k = 0; k < cols.size(); ++k) {
      const int at = fill[colour[cols[k]] - 1]++;
      nz_pos[k] = at;
      group_nz_row[at] = rows[k];
      group_nz_slot[at] = slot[cols[k]];
    }
  }
  g.ngroups = ngroups;
  g.largest_group = 0;
  for (int i = 0; i < ngroups; ++i)
    g.largest_group = std::max(g.largest_group, group_ptr[i + 1] - group_ptr[i]);
  g.group_ptr = std::move(group_ptr);
  g.group_cols = std::move(group_cols);
  g.group_nz_ptr = std::move(nz_ptr);
  g.group_nz_row = std::move(group_nz_row);
  g.group_nz_slot = std::move(group_nz_slot);
  g.nz_pos = std::move(nz_pos);
  give_back(slot);
}

// Builds the grouping of g from the non-zeros' local rows and columns.
void fill_grouping(Grouping& g, const Ints& rows, Ints&& cols) {
  Work& w = work();
  build_structure(g.neq, g.nvar, rows, cols, w.s, w.next);
  const int ngroups = colour_pattern(w);
  g.lower_bound = w.s.lower_bound;
  if (ngroups < 256) {
    w.narrow.assign(w.best.begin(), w.best.end());
    assemble(g, ngroups, w.narrow.data(), rows, cols);
  } else {
    assemble(g, ngroups, w.best.data(), rows, cols);
  }
  g.nz_col = std::move(cols);
  g.computed = true;
}

// Hands the groups' large arrays of g to the kept working memory and empties them.
void release_arrays(Grouping& g) {
  for (Ints* a : {&g.nz_col, &g.group_cols, &g.nz_pos, &g.group_nz_row, &g.group_nz_slot}) {
    give_back(*a);
    a->clear();
  }
}

void clear_grouping(Grouping& g) {
  g.computed = false;
  g.lower_bound = g.ngroups = g.largest_group = 0;
  release_arrays(g);
  g.group_ptr.clear();
  g.group_nz_ptr.clear();
  g.checked_icn = nullptr;
  g.phase = Phase::Idle;
}

// Whether the computed grouping g was made from exactly these non-zeros (local rows and
// columns from 0, in this order): every non-zero is found through the group lists at its row
// and column.
bool made_from(const Grouping& g, const Ints& rows, const Ints& cols) {
  if (!g.computed || static_cast<size_t>(g.nnz) != rows.size()) return false;
  for (size_t k = 0; k < cols.size(); ++k)
    if (g.nz_col[k] != cols[k]) return false;
  for (size_t k = 0; k < rows.size(); ++k)
    if (rows[k] != g.group_nz_row[g.nz_pos[k]]) return false;
  return true;
}

// Moves the groups of a recently released grouping made from the same non-zeros into g;
// false when there is none.
bool take_recent(Grouping& g, const Ints& rows, const Ints& cols) {
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
    g.group_nz_row.swap(r.group_nz_row);
    g.group_nz_slot.swap(r.group_nz_slot);
    g.nz_pos.swap(r.nz_pos);
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
  if (!g->computed || g->nnz == 0 || static_cast<size_t>(g->nnz) > kRecentNonZeros) {
    release_arrays(*g);
    return;
  }
  g->phase = Phase::Idle;
  std::vector<double>().swap(g->f0);
  std::vector<double>().swap(g->saved);
  std::vector<double>().swap(g->step);
  std::vector<double>().swap(g->quot);
  Table& t = table();
  // Counted only once it is in the list: a list that cannot grow keeps nothing.
  const size_t nnz = static_cast<size_t>(g->nnz);
  t.recent.push_front(std::move(g));
  t.recent_nnz += nnz;
  while (t.recent_nnz > kRecentNonZeros) {
    t.recent_nnz -= static_cast<size_t>(t.recent.back()->nnz);
    release_arrays(*t.recent.back());
    t.recent.pop_back();
  }
}

// ---- Differencing ---------------------------------------------------------------------------

// Where x_j goes when x_j + h overflows (downward instead) or is x_j again (a step below the
// spacing of doubles at x_j: the neighbouring double instead).
double unusual_move(double xc, double h) {
  double moved = xc + h;
  if (!std::isfinite(moved)) moved = xc - h;
  if (moved == xc) {
    const double inf = std::numeric_limits<double>::infinity();
    moved = std::nextafter(xc, xc == std::numeric_limits<double>::max() ? -inf : inf);
  }
  return moved;
}

// Perturbs the columns of group g.group, saving their values and recording the steps taken in
// group order, so that a group's steps lie together for its quotients.
void perturb_group(Grouping& g, double* x, const double* scale) {
  const int first = g.group_ptr[g.group], last = g.group_ptr[g.group + 1];
  const int* cols = g.group_cols.data();
  double* saved = g.saved.data();
  double* step = g.step.data();
  const double pert = g.pert;
  for (int i = first; i < last; ++i) {
    const int c = cols[i];
    const double xc = x[c];
    double s = 1.0;
    if (scale) {
      s = std::fabs(scale[c]);
      if (!(s > 0.0) || !std::isfinite(s)) s = 1.0;
    }
    const double h = pert * std::max(std::fabs(xc), s);
    double moved = xc + h;
    if (__builtin_expect(!std::isfinite(moved) || moved == xc, 0)) moved = unusual_move(xc, h);
    saved[i - first] = xc;
    step[i] = moved - xc;
    x[c] = moved;
  }
}

// Whether every one of the n scales is 1 in magnitude. One pass in order, comparing bit
// patterns with the sign cleared, so that the compiler compares several at a time.
bool unit_scales(const double* scale, int n) {
  uint64_t diff = 0;
  const uint64_t one = 0x3ff0000000000000u, magnitude = 0x7fffffffffffffffu;
  for (int c = 0; c < n; ++c) {
    uint64_t bits;
    std::memcpy(&bits, scale + c, sizeof bits);
    diff |= (bits & magnitude) ^ one;
  }
  return diff == 0;
}

void restore_group(const Grouping& g, double* x) {
  const int first = g.group_ptr[g.group], last = g.group_ptr[g.group + 1];
  const int* cols = g.group_cols.data();
  const double* saved = g.saved.data();
  for (int i = first; i < last; ++i) x[cols[i]] = saved[i - first];
}

// Whether icn[k] - voff is column nz_col[k] + 1 for every non-zero k. The differences are
// taken modulo 2^32, which for 32-bit numbers and columns from 0 to nvar - 1 tells equal from
// unequal exactly, and four running sums let the processor compare several at a time.
bool same_columns(const int* icn, int voff, const Ints& nz_col) {
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

// The quotients (f_r - f0_r) / h_j of the group just evaluated, kept in group order. Writing
// them into the Jacobian once, in non-zero order, after the last group passes over its values
// once; written group by group, every group would pass over all of them.
void difference_group(Grouping& g, const double* f) {
  const int first = g.group_nz_ptr[g.group], last = g.group_nz_ptr[g.group + 1];
  const int* row = g.group_nz_row.data();
  const int* slot = g.group_nz_slot.data();
  const double* f0 = g.f0.data();
  const double* step = g.step.data();
  double* q = g.quot.data();
  int i = first;
#if defined(__GNUC__) && __FLT_EVAL_METHOD__ == 0
  // Two quotients per division instruction: the divider, not memory, bounds this loop, and a
  // lane of a packed division rounds exactly as a single one does. Not where doubles are
  // evaluated wider (x87), where the pair would be rounded otherwise than the single ones.
  typedef double Two __attribute__((vector_size(16)));
  for (; i + 1 < last; i += 2) {
    const Two num = {f[row[i]] - f0[row[i]], f[row[i + 1]] - f0[row[i + 1]]};
    const Two den = {step[slot[i]], step[slot[i + 1]]};
    const Two quotient = num / den;
    std::memcpy(q + i, &quotient, sizeof quotient);
  }
#endif
  for (; i < last; ++i) q[i] = (f[row[i]] - f0[row[i]]) / step[slot[i]];
}

void write_quotients(const Grouping& g, double* bj) {
  const int* pos = g.nz_pos.data();
  const double* q = g.quot.data();
  for (int k = 0; k < g.nnz; ++k) bj[k] = q[pos[k]];
}

// The first non-zero whose equation is not where the grouping has it, relative to the first
// non-zero's (a block whose equations all moved by one amount still shares them as before), or
// 0 when all are; the equation found and the one expected in *at and *want. The rows are those
// of the host Jacobian holding the column numbers at icn; column numbers it does not hold are
// not checked so.
int moved_row(const Grouping& g, const int* icn, int* at, long long* want) {
  const int* irn = kvoref::detail::rows_beside(icn, static_cast<size_t>(g.nnz));
  if (!irn || g.nnz == 0) return 0;
  const int* row = g.group_nz_row.data();
  const int* pos = g.nz_pos.data();
  const long long base = static_cast<long long>(irn[0]) - row[pos[0]];
  for (int k = 1; k < g.nnz; ++k) {
    if (static_cast<long long>(irn[k]) - row[pos[k]] == base) continue;
    *at = irn[k];
    *want = base + row[pos[k]];
    return k + 1;
  }
  return 0;
}

// Notes that the column numbers at icn, with the variable offset voff, are the grouping's own,
// when they are held by a host Jacobian: until its next pattern edit they need no new check.
void note_checked(Grouping& g, const int* icn, int voff) {
  g.checked_icn = nullptr;
  if (!kvoref::detail::rows_beside(icn, static_cast<size_t>(g.nnz))) return;
  g.checked_icn = icn;
  g.checked_voff = voff;
  g.checked_edits = kvoref::detail::pattern_edits();
}

bool known_columns(const Grouping& g, const int* icn, int voff) {
  return g.checked_icn && icn == g.checked_icn && voff == g.checked_voff &&
         g.checked_edits == kvoref::detail::pattern_edits();
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
  table().recent.clear();
  table().recent_nnz = 0;
  kept_work().reset();
}

}  // namespace detail

void forget_groupings() {
  for (std::unique_ptr<Grouping>& g : table().recent) release_arrays(*g);
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
    Ints& rows = work().rows;
    rows.resize(g->nnz);
    Ints cols = take_ints(g->nnz);
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
    // Without non-zeros the pattern and its offsets may be left out.
    note_checked(*g, icn, voff ? *voff : 0);
    if (static_cast<size_t>(g->nnz) > kKeptWorkNonZeros) kept_work().reset();
  } catch (const std::bad_alloc&) {
    kept_work().reset();
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
      // The pattern must still be the one the grouping was made from, unless the host's
      // Jacobian holding these column numbers has not been edited since they were last found
      // so. The whole slice is compared without stopping, which the compiler turns into wide
      // comparisons; the first difference is looked for only when there is one.
      if (icn && voff && !known_columns(*g, icn, *voff)) {
        if (!same_columns(icn, *voff, g->nz_col)) {
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
        // An entry moved to another equation of the block, its column kept, makes variables
        // share an equation that the grouping perturbs together.
        int at = 0;
        long long want = 0;
        if (const int k = moved_row(*g, icn, &at, &want)) {
          *status = 1;
          head(fn);
          kvoprintf(kvHisDev,
                    "Non-zero %d is at equation %d but the grouping has it at equation %lld\n", k,
                    at, want);
          return;
        }
        note_checked(*g, icn, *voff);
      }
      g->pert = *pert;
      g->unit_scale = scale && unit_scales(scale, g->nvar) ? scale : nullptr;
      // Everything the sequence needs is allocated here, so later calls cannot fail half way.
      // Every entry is written before it is read: the steps of a group's columns as it is
      // perturbed, the base residuals from the first evaluation, the quotients group by group.
      g->step.resize(g->nvar);
      g->f0.resize(g->neq);
      g->saved.resize(g->largest_group);
      g->quot.resize(g->nnz);
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
      difference_group(*g, f);
      restore_group(*g, x);
      ++g->group;
    }
    if (g->group < g->ngroups) {
      perturb_group(*g, x, scale && scale == g->unit_scale ? nullptr : scale);
      g->phase = Phase::Group;
      *request = 1;
      return;
    }
    write_quotients(*g, bj);
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
