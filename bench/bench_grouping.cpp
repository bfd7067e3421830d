// SPDX-License-Identifier: BSD-3-Clause
// Column grouping of the reference host on the benchmark set of patterns, side by side with
// ColPack's partial distance-2 column colouring under each of its orderings (when ColPack is
// installed): groups against the lower bound (the fullest row) and against ColPack's best, the
// time against ColPack's fastest ordering reaching its best count, the growth of the time from
// 1e5 to 1e6 non-zeros, and grouped forward-difference Jacobians against one column at a time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#ifdef KVOBLK_HAVE_COLPACK
#include <ColPack/ColPackHeaders.h>
#endif

#include <kvoblk/kvoblk.h>
#include "cstr.h"
#include "kvorefhost.h"
#include "sparsity_patterns.h"

namespace {

using patgen::Pattern;

// Processor time of this single-threaded program, so that other load on the machine does not
// skew the ratios between timings taken in one run.
double now() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0.0 : n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// A pattern with a residual routine on live arrays for the Jacobian benchmark.
struct Case {
  Pattern p;
  std::vector<double> x, f;
  std::function<void(double* x, double* f)> residuals;
  std::function<double*()> values;
  std::function<double*()> resid;
  int columns_used() const {
    return static_cast<int>(std::set<int>(p.cols.begin(), p.cols.end()).size());
  }
};

// Synthetic residuals: row r is the sum over its non-zeros of a_k (x + x^2 / 2) at the column,
// a few operations per non-zero like a simple balance equation.
void synthetic(Case& c) {
  c.x.assign(c.p.nvar, 0.0);
  c.f.assign(c.p.neq, 0.0);
  for (int i = 0; i < c.p.nvar; ++i) c.x[i] = 1.0 + 0.001 * (i % 97);
  Case* self = &c;
  c.residuals = [self](double* x, double* f) {
    std::fill(f, f + self->p.neq, -1.0);
    const int nnz = self->p.nnz();
    const int* rows = self->p.rows.data();
    const int* cols = self->p.cols.data();
    for (int k = 0; k < nnz; ++k) {
      const double v = x[cols[k] - 1];
      f[rows[k] - 1] += (0.5 + 0.125 * (k & 7)) * (v + 0.5 * v * v);
    }
  };
  c.values = [self] { return self->x.data(); };
  c.resid = [self] { return self->f.data(); };
}

// The stirred-tank chain as a real block in its own lists; its residuals come from the model
// through the residual dispatcher.
struct CstrFlowsheet {
  kvoref::Lists lists;
  std::unique_ptr<kvoref::Container> cntr;
  int block = 0;
};

void cstr_chain(Case& c, int ntanks) {
  static CstrFlowsheet* fs = new CstrFlowsheet;
  c.p.name = "CSTR chain " + std::to_string(ntanks) + " tanks";
  fs->lists = kvoref::make_lists(cstr_nnz(ntanks));
  fs->cntr = std::make_unique<kvoref::Container>(fs->lists);
  fs->block = cstr_create("R1", ntanks);
  kvoblk_base_register_container(fs->block, fs->cntr.get());
  int status = 0;
  kvoblk_ini(fs->block, 1, 1, 1, &status);
  kvoblk_selfpat(fs->block, &fs->lists.jac, &status);
  if (status != 0) std::fprintf(stderr, "stirred-tank chain: pattern status %d\n", status);
  c.p.nvar = cstr_nvars(ntanks);
  c.p.neq = cstr_neqns(ntanks);
  KVJacIrn irn(&fs->lists.jac);
  KVJacIcn icn(&fs->lists.jac);
  for (int k = 0; k < cstr_nnz(ntanks); ++k) c.p.add(irn[k], icn[k]);
  const int blk = fs->block;
  const int varlst = fs->lists.varlst, eqnlst = fs->lists.eqnlst;
  c.residuals = [blk](double*, double*) {
    int st = 0;
    kvoblk_res(blk, &st);
  };
  c.values = [varlst] { return kvovarlst_vec_value(varlst); };
  c.resid = [eqnlst] { return kvoeqnlst_vec_residual(eqnlst); };
}

// The benchmark set, then the two 3-D grids that with the random patterns give the growth of
// the time from 1e5 to 1e6 non-zeros. Built on first use, once the program runs.
const std::vector<std::function<Pattern()>>& makers() {
  static const std::vector<std::function<Pattern()>> m = {
      [] { return patgen::tridiagonal(100000); },
      [] { return patgen::block_tridiagonal(10000, 5); },
      [] { return patgen::laplacian2d(100); },
      [] { return patgen::laplacian2d(300); },
      [] { return patgen::laplacian3d(40); },
      [] { return patgen::random5(20000, 20240607u); },
      [] { return patgen::random5(200000, 20240607u); },
      [] { return patgen::arrowhead(5000); },
      [] { return Pattern(); },  // the stirred-tank chain, built from the model
      [] { return patgen::band7(100000); },
      [] { return patgen::staged_column(2000, 8); },
      [] { return patgen::laplacian3d(24); },
      [] { return patgen::laplacian3d(52); },
  };
  return m;
}
constexpr int kCstr = 8;

Case* get_case(int i) {
  static std::map<int, std::unique_ptr<Case>> all;
  auto it = all.find(i);
  if (it != all.end()) return it->second.get();
  auto c = std::make_unique<Case>();
  if (i == kCstr) {
    cstr_chain(*c, 10000);
  } else {
    c->p = makers()[i]();
    synthetic(*c);
  }
  return (all[i] = std::move(c)).get();
}

int make_grouping(const Pattern& p, int* groups) {
  int nvar = p.nvar, neq = p.neq, nnz = p.nnz(), h = 0;
  U3VGRP_CREATE(&nvar, &neq, &nnz, &h);
  int info = 0, off = 0, zero = 0, status = 0;
  U3VGRP_COMPUTE(const_cast<int*>(p.rows.data()), const_cast<int*>(p.cols.data()), &info, &off,
                 &off, &zero, &h, &status);
  if (status != 0) std::fprintf(stderr, "%s: grouping status %d\n", p.name.c_str(), status);
  *groups = info;
  return h;
}

// Seconds per call of fn, timed over enough calls to outlast the clock's grain (>= 20 ms).
template <class Fn>
double per_call(Fn fn) {
  int calls = 0;
  const double start = now();
  double spent = 0.0;
  do {
    fn();
    ++calls;
    spent = now() - start;
  } while (spent < 0.02);
  return spent / calls;
}

#ifdef KVOBLK_HAVE_COLPACK
const char* const kOrders[] = {"NATURAL", "LARGEST_FIRST", "SMALLEST_LAST", "INCIDENCE_DEGREE",
                               "RANDOM"};
constexpr int kNumOrders = 5;

// The pattern in ColPack's row-compressed input: per row its count, then its columns from 0.
struct ColPackInput {
  std::vector<std::vector<unsigned int>> store;
  std::vector<unsigned int*> rows;
  explicit ColPackInput(const Pattern& p) : store(p.neq), rows(p.neq) {
    for (int r = 0; r < p.neq; ++r) store[r].push_back(0);
    for (int k = 0; k < p.nnz(); ++k) store[p.rows[k] - 1].push_back(p.cols[k] - 1);
    for (int r = 0; r < p.neq; ++r) {
      store[r][0] = static_cast<unsigned int>(store[r].size() - 1);
      rows[r] = store[r].data();
    }
  }
};

// Builds ColPack's graph from its input and colours it: what a caller pays for a grouping.
int colpack_colour(ColPackInput& in, const Pattern& p, const char* order) {
  ColPack::BipartiteGraphPartialColoringInterface g(SRC_MEM_ADOLC, in.rows.data(), p.neq, p.nvar);
  g.PartialDistanceTwoColoring(order, "COLUMN_PARTIAL_DISTANCE_TWO");
  return g.GetRightVertexColorCount();
}
#endif

#ifdef KVOBLK_HAVE_COLPACK
// ---- Groups on a wider set ----------------------------------------------------------------
// Patterns beyond the benchmark set, for the group count alone: random rows of 2 to 12 columns
// (square, twice as wide, twice as tall, and of varying length), 5- and 9-point grids, 7- and
// 27-point cubes, bands, block tridiagonals, staged columns, arrowheads and rows of power-law
// lengths, at several sizes and seeds.

// Rows of k distinct columns (1 to 2k - 1 when `varying`), the diagonal among them where there
// is one.
Pattern random_rows(int neq, int nvar, int k, uint32_t seed, bool varying) {
  Pattern p;
  p.name = "random " + std::to_string(k) + (varying ? " varying " : " ") + std::to_string(neq) +
           "x" + std::to_string(nvar) + " seed " + std::to_string(seed);
  p.neq = neq;
  p.nvar = nvar;
  std::mt19937 gen(seed);
  std::set<int> row;
  for (int i = 1; i <= neq; ++i) {
    const int len = std::min(nvar, varying ? 1 + static_cast<int>(gen() % (2 * k - 1)) : k);
    row.clear();
    if (i <= nvar) row.insert(i);
    while (static_cast<int>(row.size()) < len) row.insert(1 + static_cast<int>(gen() % nvar));
    for (int c : row) p.add(i, c);
  }
  return p;
}

// A grid of m^dim points, each coupled to the points within one step along every axis (the
// full 3^dim neighbourhood) or along one axis at a time (the 2 dim + 1 point stencil).
Pattern grid(int m, int dim, bool full) {
  Pattern p;
  p.name = std::to_string(full ? (dim == 2 ? 9 : 27) : 2 * dim + 1) + "-point grid " +
           std::to_string(m) + "^" + std::to_string(dim);
  const int m3 = dim == 3 ? m : 1;
  p.nvar = p.neq = m * m * m3;
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j)
      for (int k = 0; k < m3; ++k)
        for (int a = -1; a <= 1; ++a)
          for (int b = -1; b <= 1; ++b)
            for (int c = (dim == 3 ? -1 : 0); c <= (dim == 3 ? 1 : 0); ++c) {
              const int x = i + a, y = j + b, z = k + c;
              if ((!full && (a != 0) + (b != 0) + (c != 0) > 1) || x < 0 || y < 0 || z < 0 ||
                  x >= m || y >= m || z >= m3)
                continue;
              p.add((i * m + j) * m3 + k + 1, (x * m + y) * m3 + z + 1);
            }
  return p;
}

// Rows whose lengths follow a power law and whose columns crowd towards the first ones.
Pattern power_law(int n, uint32_t seed) {
  Pattern p;
  p.name = "power-law rows n=" + std::to_string(n) + " seed " + std::to_string(seed);
  p.nvar = p.neq = n;
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::set<int> row;
  for (int i = 1; i <= n; ++i) {
    const int len = std::min(n, static_cast<int>(2.0 / std::pow(u(gen) + 1e-9, 0.6)));
    row.clear();
    row.insert(i);
    while (static_cast<int>(row.size()) < len)
      row.insert(std::clamp(1 + static_cast<int>(n * u(gen) * u(gen)), 1, n));
    for (int c : row) p.add(i, c);
  }
  return p;
}

std::vector<Pattern> wider_set() {
  std::vector<Pattern> set;
  for (int k : {2, 3, 4, 6, 8, 12})
    for (int n : {500, 3000, 20000})
      for (uint32_t seed : {1u, 2u, 3u}) set.push_back(random_rows(n, n, k, seed, false));
  for (int k : {3, 5, 8})
    for (int n : {1000, 10000})
      for (uint32_t seed : {4u, 5u}) {
        set.push_back(random_rows(n, 2 * n, k, seed, false));
        set.push_back(random_rows(2 * n, n, k, seed, false));
        set.push_back(random_rows(n, n, k, seed, true));
      }
  for (int m : {10, 37, 64, 150}) {
    set.push_back(grid(m, 2, false));
    set.push_back(grid(m, 2, true));
  }
  for (int m : {6, 13, 20, 31}) {
    set.push_back(grid(m, 3, false));
    set.push_back(grid(m, 3, true));
  }
  for (int half : {1, 2, 4, 7, 10})
    set.push_back(patgen::banded("band half-width " + std::to_string(half), 1000, half));
  for (int size : {2, 3, 5, 8}) set.push_back(patgen::block_tridiagonal(500, size));
  for (int stages : {50, 500})
    for (int comps : {2, 5, 12}) set.push_back(patgen::staged_column(stages, comps));
  for (int n : {10, 100, 2000}) set.push_back(patgen::arrowhead(n));
  for (uint32_t seed : {1u, 2u, 3u})
    for (int n : {1000, 10000}) set.push_back(power_law(n, seed));
  return set;
}

// Our groups against ColPack's best ordering on every pattern of the wider set: how many
// patterns get more groups (named in the label), fewer, or as many.
void BM_GroupsWiderSet(benchmark::State& state) {
  int more = 0, fewer = 0, as_many = 0, at_bound = 0;
  std::string worse;
  for (auto _ : state) {
    for (const Pattern& p : wider_set()) {
      int groups = 0;
      int h = make_grouping(p, &groups);
      U3VGRP_DESTROY(&h);
      kvoref::forget_groupings();
      ColPackInput in(p);
      int best = INT_MAX;
      for (const char* order : kOrders) best = std::min(best, colpack_colour(in, p, order));
      if (groups > best) {
        ++more;
        worse += " " + p.name + ": " + std::to_string(groups) + " vs " + std::to_string(best);
      }
      fewer += groups < best;
      as_many += groups == best;
      at_bound += groups == p.lower_bound();
    }
    state.SetIterationTime(1e-3);
  }
  state.counters["patterns"] = more + fewer + as_many;
  state.counters["more_than_cp_best"] = more;
  state.counters["fewer_than_cp_best"] = fewer;
  state.counters["as_many_as_cp_best"] = as_many;
  state.counters["at_lower_bound"] = at_bound;
  state.SetLabel(worse.empty() ? "never more groups than ColPack's best" : "more:" + worse);
}
#endif

// Median grouping time and non-zeros per case, for the growth exponents.
std::map<int, std::pair<double, int>>& medians() {
  static std::map<int, std::pair<double, int>> m;
  return m;
}

// Grouping time and groups, in the same run as ColPack under each ordering. Repetitions
// alternate between the two so that a change of machine load hits both.
void BM_Grouping(benchmark::State& state, int which) {
  const Pattern& p = get_case(which)->p;
  const int reps = p.nnz() > 500000 ? 3 : 5;
  int groups = 0;
  std::vector<double> ours;
#ifdef KVOBLK_HAVE_COLPACK
  ColPackInput in(p);
  int cp_groups[kNumOrders] = {};
  std::vector<double> cp_time[kNumOrders];
#endif
  for (auto _ : state) {
    for (int rep = 0; rep < reps; ++rep) {
      const double t = per_call([&] {
        int h = make_grouping(p, &groups);
        U3VGRP_DESTROY(&h);
        kvoref::forget_groupings();  // the next one searches again
      });
      ours.push_back(t);
#ifdef KVOBLK_HAVE_COLPACK
      for (int o = 0; o < kNumOrders; ++o)
        cp_time[o].push_back(per_call([&] { cp_groups[o] = colpack_colour(in, p, kOrders[o]); }));
#endif
    }
    state.SetIterationTime(median(ours));
  }
  const double med = median(ours);
  medians()[which] = {med, p.nnz()};
  state.counters["nnz"] = p.nnz();
  state.counters["lower_bound"] = p.lower_bound();
  state.counters["groups"] = groups;
  state.counters["ms"] = 1e3 * med;
  state.counters["ms_min"] = 1e3 * *std::min_element(ours.begin(), ours.end());
  state.counters["ms_max"] = 1e3 * *std::max_element(ours.begin(), ours.end());
#ifdef KVOBLK_HAVE_COLPACK
  // ColPack's best count and its fastest ordering reaching it; the ratio of our time to that
  // ordering's, as the median of the per-repetition ratios with their range.
  int best = cp_groups[0];
  for (int o = 1; o < kNumOrders; ++o) best = std::min(best, cp_groups[o]);
  int fastest = -1;
  for (int o = 0; o < kNumOrders; ++o)
    if (cp_groups[o] == best && (fastest < 0 || median(cp_time[o]) < median(cp_time[fastest])))
      fastest = o;
  std::vector<double> ratio;
  for (size_t r = 0; r < ours.size(); ++r) ratio.push_back(ours[r] / cp_time[fastest][r]);
  state.counters["cp_best_groups"] = best;
  state.counters["groups-cp_best"] = groups - best;
  state.counters["cp_ms"] = 1e3 * median(cp_time[fastest]);
  state.counters["time/cp"] = median(ratio);
  state.counters["time/cp_min"] = *std::min_element(ratio.begin(), ratio.end());
  state.counters["time/cp_max"] = *std::max_element(ratio.begin(), ratio.end());
  std::string label = "ColPack";
  char buf[96];
  for (int o = 0; o < kNumOrders; ++o) {
    std::snprintf(buf, sizeof buf, " %s%s:%d/%.2fms", o == fastest ? "*" : "", kOrders[o],
                  cp_groups[o], 1e3 * median(cp_time[o]));
    label += buf;
  }
  state.SetLabel(label);
#else
  state.SetLabel("ColPack not installed: no comparison (make bench installs libcolpack-dev)");
#endif
}

// Growth exponent of the grouping time from about 1e5 to 1e6 non-zeros: random patterns of 5
// per row (n = 20,000 and 200,000) and 7-point Laplacians (24^3 and 52^3). The two sizes are
// timed in turn, kGrowthPairs times, each time as the table times them (per call, over at least
// 20 ms of calls); each pair gives log(t_large / t_small) / log(nnz_large / nnz_small), and the
// figure is the median of those with their range. "exponent_of_table_medians" is the same
// taken from the table's own medians, which were timed apart, between ColPack's runs.
constexpr int kGrowthPairs = 7;

// Reference passes for the growth figures: one greedy colouring pass over conflict lists made
// beforehand, with the columns taken in order or in a fixed shuffled order. They do no more
// than read each column's list and its neighbours' colours, so their growth from the small to
// the large pattern is what this machine's memory alone makes of the two ways a grouping reads
// its lists: the iterated rounds nearly in order, the saturation order in an order known only
// as it goes.
struct ListPass {
  std::vector<int> ptr, list, in_order, shuffled;
  std::vector<uint8_t> colour;

  explicit ListPass(const Pattern& p) {
    const int nnz = p.nnz();
    std::vector<int> row_ptr(p.neq + 1, 0), col_ptr(p.nvar + 1, 0), row_cols(nnz), col_rows(nnz);
    for (int k = 0; k < nnz; ++k) {
      ++row_ptr[p.rows[k]];
      ++col_ptr[p.cols[k]];
    }
    for (int i = 0; i < p.neq; ++i) row_ptr[i + 1] += row_ptr[i];
    for (int j = 0; j < p.nvar; ++j) col_ptr[j + 1] += col_ptr[j];
    std::vector<int> rfill(row_ptr.begin(), row_ptr.end() - 1);
    std::vector<int> cfill(col_ptr.begin(), col_ptr.end() - 1);
    for (int k = 0; k < nnz; ++k) {
      row_cols[rfill[p.rows[k] - 1]++] = p.cols[k] - 1;
      col_rows[cfill[p.cols[k] - 1]++] = p.rows[k] - 1;
    }
    std::vector<int> met(p.nvar, -1);
    ptr.assign(p.nvar + 1, 0);
    for (int v = 0; v < p.nvar; ++v) {
      met[v] = v;
      for (int i = col_ptr[v]; i < col_ptr[v + 1]; ++i)
        for (int j = row_ptr[col_rows[i]]; j < row_ptr[col_rows[i] + 1]; ++j)
          if (met[row_cols[j]] != v) {
            met[row_cols[j]] = v;
            list.push_back(row_cols[j]);
          }
      ptr[v + 1] = static_cast<int>(list.size());
    }
    in_order.resize(p.nvar);
    for (int v = 0; v < p.nvar; ++v) in_order[v] = v;
    shuffled = in_order;
    std::mt19937 gen(20240607u);
    std::shuffle(shuffled.begin(), shuffled.end(), gen);
    colour.assign(p.nvar, 0);
  }

  int pass(const std::vector<int>& order) {
    std::fill(colour.begin(), colour.end(), 0);
    int used = 0;
    for (int v : order) {
      uint64_t seen = 1;
      for (int i = ptr[v]; i < ptr[v + 1]; ++i) seen |= uint64_t{1} << (colour[list[i]] & 63);
      const int c = __builtin_ctzll(~seen);
      colour[v] = static_cast<uint8_t>(c);
      used = std::max(used, c);
    }
    return used;
  }

  double seconds(bool in_turn) {
    const std::vector<int>& order = in_turn ? in_order : shuffled;
    return per_call([&] { benchmark::DoNotOptimize(pass(order)); });
  }
};

void BM_GroupingGrowth(benchmark::State& state, int small, int large) {
  const Pattern& p1 = get_case(small)->p;
  const Pattern& p2 = get_case(large)->p;
  const double size_ratio = std::log(static_cast<double>(p2.nnz()) / p1.nnz());
  auto time_of = [](const Pattern& p) {
    int g = 0;
    return per_call([&] {
      int h = make_grouping(p, &g);
      U3VGRP_DESTROY(&h);
      kvoref::forget_groupings();
    });
  };
  ListPass l1(p1), l2(p2);
  std::vector<double> exponents, t1, t2, in_order, any_order;
  for (auto _ : state) {
    for (int pair = 0; pair < kGrowthPairs; ++pair) {
      t1.push_back(time_of(p1));
      t2.push_back(time_of(p2));
      exponents.push_back(std::log(t2.back() / t1.back()) / size_ratio);
      in_order.push_back(std::log(l2.seconds(true) / l1.seconds(true)) / size_ratio);
      any_order.push_back(std::log(l2.seconds(false) / l1.seconds(false)) / size_ratio);
    }
    state.SetIterationTime(1e-3);
  }
  state.counters["list_pass_in_order_exponent"] = median(in_order);
  state.counters["list_pass_shuffled_exponent"] = median(any_order);
  state.counters["nnz_small"] = p1.nnz();
  state.counters["nnz_large"] = p2.nnz();
  state.counters["ms_small"] = 1e3 * median(t1);
  state.counters["ms_large"] = 1e3 * median(t2);
  state.counters["exponent"] = median(exponents);
  state.counters["exponent_min"] = *std::min_element(exponents.begin(), exponents.end());
  state.counters["exponent_max"] = *std::max_element(exponents.begin(), exponents.end());
  if (medians().count(small) && medians().count(large))
    state.counters["exponent_of_table_medians"] =
        std::log(medians()[large].first / medians()[small].first) / size_ratio;
}

// Seconds of one residual evaluation, from enough repetitions to outlast the clock's grain.
double residual_seconds(Case& c) {
  return per_call([&] { c.residuals(c.values(), c.resid()); });
}

// One whole numeric Jacobian: the differencing calls and the residual evaluations they ask for.
void BM_NumericJacobian(benchmark::State& state, int which) {
  Case* c = get_case(which);
  const double residual = residual_seconds(*c);
  int groups = 0;
  int h = make_grouping(c->p, &groups);
  std::vector<double> scale(c->p.nvar, 1.0), par(100, 1e-4), bj(c->p.nnz(), 0.0);
  std::vector<int> vstat(c->p.nvar, 0);
  double pert = 1e-6;
  int voff = 0, evals = 0;
  double spent = 0.0;
  for (auto _ : state) {
    const double start = now();
    int request = 0, status = 0;
    evals = 0;
    for (;;) {
      U3NJAC_COMPUTE(&h, c->values(), scale.data(), vstat.data(), c->resid(), &voff,
                     c->p.cols.data(), par.data(), &pert, bj.data(), &request, &status);
      if (status != 0 || request != 1) break;
      c->residuals(c->values(), c->resid());
      ++evals;
    }
    spent += now() - start;
    benchmark::DoNotOptimize(bj.data());
  }
  U3VGRP_DESTROY(&h);
  const double per_jacobian = spent / static_cast<double>(state.iterations());
  state.counters["evals"] = evals;
  state.counters["evals/(bound+1)"] = static_cast<double>(evals) / (c->p.lower_bound() + 1);
  state.counters["evals/one_column"] = static_cast<double>(evals) / (c->columns_used() + 1);
  state.counters["jacobian/residual"] = per_jacobian / residual;
  state.counters["ns/nz"] = 1e9 * per_jacobian / c->p.nnz();
}

const bool registered = [] {
#ifdef KVOBLK_HAVE_COLPACK
  // Processor time of all threads is what is measured, and both sides are compared on one
  // thread: ColPack's idle OpenMP workers would otherwise spin on the clock of its timings.
  omp_set_num_threads(1);
#endif
  const int n = static_cast<int>(makers().size());
  // Names are known only once the patterns exist; the cases are numbered here.
  const char* const names[] = {
      "tridiagonal n=100000",          "block tridiagonal 5x5 10000 blocks",
      "5-point Laplacian 100x100",     "5-point Laplacian 300x300",
      "7-point Laplacian 40^3",        "random 5 per row n=20000",
      "random 5 per row n=200000",     "arrowhead n=5000",
      "CSTR chain 10000 tanks",        "banded bw 7 n=100000",
      "staged column 2000 stages x 8", "7-point Laplacian 24^3",
      "7-point Laplacian 52^3"};
  for (int i = 0; i < n; ++i)
    benchmark::RegisterBenchmark((std::string("Grouping/") + names[i]).c_str(), BM_Grouping, i)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("GroupingGrowth/random 1e5 to 1e6 nnz", BM_GroupingGrowth, 5, 6)
      ->Iterations(1)
      ->UseManualTime();
  benchmark::RegisterBenchmark("GroupingGrowth/7-point Laplacian 1e5 to 1e6 nnz", BM_GroupingGrowth,
                               11, 12)
      ->Iterations(1)
      ->UseManualTime();
#ifdef KVOBLK_HAVE_COLPACK
  benchmark::RegisterBenchmark("GroupsWiderSet", BM_GroupsWiderSet)->Iterations(1)->UseManualTime();
#endif
  for (int i : {0, 4, 5, kCstr, 10})
    benchmark::RegisterBenchmark((std::string("NumericJacobian/") + names[i]).c_str(),
                                 BM_NumericJacobian, i)
        ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
