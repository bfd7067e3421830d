// SPDX-License-Identifier: BSD-3-Clause
// Jacobian evaluation of blocks of about a million non-zeros (a stirred-tank chain, a banded
// block of bandwidth 7 and a random block of 5 per row): the library's numeric Jacobian
// (kvoblk_jac under NUMERIC) against a bare grouped-differencing loop written here with the
// same groups, each group's non-zeros kept together, and the same residual routine; and one
// Schubert update against one numeric Jacobian of the same block.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <kvoblk/kvoblk.h>
#include <kvoblk/kvojac.h>
#include "cstr.h"
#include "kvorefhost.h"
#include "sparsity_patterns.h"

namespace {

// Processor time of this single-threaded program, so that other load on the machine does not
// skew ratios between timings taken in one run.
double now() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// 90910 tanks: 11 non-zeros per tank, 1000010 in all.
constexpr int kTanks = 90910;

// The blocks benchmarked: the stirred-tank chain from its model, and synthetic blocks of a
// generated pattern.
enum Kind { kCstr = 0, kBanded = 1, kRandom = 2 };
const char* const kKindNames[] = {"CSTR chain 90910 tanks", "banded bw 7 n=142858",
                                  "random 5 per row n=200000"};

// A synthetic block: the pattern's variables and equations, its non-zeros written straight into
// the Jacobian at placement, and residuals f_r = -1 + sum over the row's non-zeros of
// a_k (x + x^2 / 2) at the column, a few operations per non-zero like a balance equation.
patgen::Pattern* g_pattern = nullptr;

void pattern_ini(int b, int vs, int es, int nzs, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  const patgen::Pattern& p = *g_pattern;
  for (int j = 0; j < p.nvar; ++j) kvoref::define_var(varlst, vs + j, "X", 0.5 + 0.01 * (j % 37));
  for (int i = 0; i < p.neq; ++i) kvoref::define_eqn(eqnlst, es + i, "E");
  for (int k = 0; k < p.nnz(); ++k) {
    kvojac_set_nz_eqnnum(jac, nzs + k, es + p.rows[k] - 1);
    kvojac_set_nz_varnum(jac, nzs + k, vs + p.cols[k] - 1);
  }
  kvoblk_set_vstop(b, vs + p.nvar - 1);
  kvoblk_set_estop(b, es + p.neq - 1);
  kvoblk_set_nzstop(b, nzs + p.nnz() - 1);
  *status = 0;
}

void pattern_res(int b, int* status) {
  const patgen::Pattern& p = *g_pattern;
  const double* x = kvovarlst_vec_value(blk_inq_matrix_varlst(b)) + (kvoblk_inq_vstart(b) - 1);
  double* f = kvoeqnlst_vec_residual(blk_inq_matrix_eqnlst(b)) + (kvoblk_inq_estart(b) - 1);
  std::fill(f, f + p.neq, -1.0);
  const int* rows = p.rows.data();
  const int* cols = p.cols.data();
  for (int k = 0, n = p.nnz(); k < n; ++k) {
    const double v = x[cols[k] - 1];
    f[rows[k] - 1] += (0.5 + 0.125 * (k & 7)) * (v + 0.5 * v * v);
  }
  *status = 0;
}

int make_pattern_block(Kind kind) {
  static patgen::Pattern banded = patgen::band7(142858);
  static patgen::Pattern random = patgen::random5(200000, 20240607u);
  g_pattern = kind == kBanded ? &banded : &random;
  const int b = kvoblk_base_create_1(0);
  kvoblk_set_blkid(b, kind == kBanded ? "BAND" : "RANDOM");
  kvoblk_inq_ops(b)->ini = pattern_ini;
  kvoblk_inq_ops(b)->res = pattern_res;
  return b;
}

int block_nnz(Kind kind) { return kind == kCstr ? cstr_nnz(kTanks) : 1000000; }

// The model's residual routine, wrapped to count its calls; both paths call it.
void (*model_res)(int, int*) = nullptr;
long res_calls = 0;
void counted_res(int blk, int* status) {
  ++res_calls;
  model_res(blk, status);
}

struct Chain {
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  int blk = 0;
  int vs = 0, es = 0, ns = 0, nvar = 0, neq = 0, nnz = 0;
  // The grouping the library made at pre-solve, read back from its report: per group the
  // block-local columns (0-based).
  std::vector<std::vector<int>> groups;
  int lower_bound = 0;

  // Sets the block up for the benchmark's kind (its first argument) and labels the run; a
  // block that cannot be made skips the benchmark with a message.
  bool make_for(benchmark::State& state, int method) {
    const Kind kind = static_cast<Kind>(state.range(0));
    state.SetLabel(kKindNames[kind]);
    if (make(kind, method)) return true;
    state.SkipWithError("could not set up the block");
    return false;
  }

  bool make(Kind kind, int method) {
    kvoref::reset();
    lists = kvoref::make_lists(block_nnz(kind));
    cntr = new kvoref::Container(lists);
    blk = kind == kCstr ? cstr_create("R1", kTanks) : make_pattern_block(kind);
    if (!blk) return false;
    kvoblk_ops_t* t = kvoblk_inq_ops(blk);
    model_res = t->res;
    t->res = counted_res;
    t->pre_solve = kvoblk_base_pre_solve;
    t->post_solve = kvoblk_base_post_solve;
    kvoblk_base_register_container(blk, cntr);
    int st = 0;
    kvoblk_ini(blk, 1, 1, 1, &st);
    if (kind == kCstr) kvoblk_selfpat(blk, &lists.jac, &st);
    if (st != 0) return false;
    vs = kvoblk_inq_vstart(blk);
    es = kvoblk_inq_estart(blk);
    ns = kvoblk_inq_nzstart(blk);
    nvar = kvoblk_inq_vstop(blk) - vs + 1;
    neq = kvoblk_inq_estop(blk) - es + 1;
    nnz = kvoblk_inq_nzstop(blk) - ns + 1;
    // Values away from the solution so that every derivative is non-trivial.
    for (int v = 0; v < nvar; ++v)
      kvovarlst_set_var_value(lists.varlst, vs + v, 0.5 + 0.01 * (v % 37), 0);
    if (kvoblk_set_deriv_type(blk, method) != method) return false;
    kvoref::capture(kvHisDev, true);
    kvoblk_set_diag_level(blk, method == KVOBLK_NUMERIC ? 5 : 4);
    kvoblk_pre_solve(blk, &st);
    kvoblk_set_diag_level(blk, 4);
    const std::string report = kvoref::take(kvHisDev);
    kvoref::capture(kvHisDev, false);
    if (st != 0) return false;
    if (method == KVOBLK_NUMERIC && !read_groups(report)) return false;
    std::vector<int> per_row(neq, 0);
    for (int k = ns; k < ns + nnz; ++k) ++per_row[kvojac_inq_nz_eqnnum(lists.jac, k) - es];
    lower_bound = *std::max_element(per_row.begin(), per_row.end());
    return true;
  }

  // Parses the grouping report: "Group g: n variables: p p p ..." with continuation lines.
  bool read_groups(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    groups.clear();
    while (std::getline(in, line)) {
      std::string body;
      if (line.rfind("Group ", 0) == 0) {
        groups.emplace_back();
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) return false;
        body = line.substr(second + 1);
      } else if (!groups.empty() && line.rfind("   ", 0) == 0) {
        body = line;
      } else {
        continue;
      }
      std::istringstream nums(body);
      long long p;
      while (nums >> p) groups.back().push_back(static_cast<int>(p - vs));
    }
    size_t columns = 0;
    for (const auto& g : groups) columns += g.size();
    return !groups.empty() && columns == static_cast<size_t>(nvar);
  }

  void destroy() {
    int st = 0;
    kvoblk_post_solve(blk, &st);
    kvoblk_destroy(blk);
    delete cntr;
    kvoref::reset();
  }
};

// Grouped forward differences written out: the base residuals, then per group perturb its
// columns by pert * max(|x|, 1), evaluate, difference the group's non-zeros (kept together,
// with their rows and columns beside them), restore.
struct BareLoop {
  std::vector<int> nz_ptr, nz_k, nz_row, nz_col;  // per group its non-zeros (block-local)
  std::vector<double> f0, h, saved;

  explicit BareLoop(const Chain& c) {
    std::vector<int> group_of(c.nvar, 0);
    for (size_t g = 0; g < c.groups.size(); ++g)
      for (int j : c.groups[g]) group_of[j] = static_cast<int>(g);
    nz_ptr.assign(c.groups.size() + 1, 0);
    std::vector<int> row(c.nnz), col(c.nnz);
    for (int k = 0; k < c.nnz; ++k) {
      row[k] = kvojac_inq_nz_eqnnum(c.lists.jac, c.ns + k) - c.es;
      col[k] = kvojac_inq_nz_varnum(c.lists.jac, c.ns + k) - c.vs;
      ++nz_ptr[group_of[col[k]] + 1];
    }
    for (size_t g = 0; g < c.groups.size(); ++g) nz_ptr[g + 1] += nz_ptr[g];
    nz_k.resize(c.nnz);
    nz_row.resize(c.nnz);
    nz_col.resize(c.nnz);
    std::vector<int> fill(nz_ptr.begin(), nz_ptr.end() - 1);
    for (int k = 0; k < c.nnz; ++k) {
      const int at = fill[group_of[col[k]]]++;
      nz_k[at] = k;
      nz_row[at] = row[k];
      nz_col[at] = col[k];
    }
    f0.resize(c.neq);
    h.resize(c.nvar);
  }

  void run(const Chain& c) {
    int st = 0;
    const double pert = kvoblk_inq_pertsize(c.blk);
    counted_res(c.blk, &st);
    const double* f = kvoeqnlst_vec_residual(c.lists.eqnlst) + (c.es - 1);
    std::copy(f, f + c.neq, f0.begin());
    for (size_t g = 0; g < c.groups.size(); ++g) {
      const std::vector<int>& cols = c.groups[g];
      double* x = kvovarlst_vec_value(c.lists.varlst) + (c.vs - 1);
      saved.resize(cols.size());
      for (size_t i = 0; i < cols.size(); ++i) {
        const int j = cols[i];
        saved[i] = x[j];
        const double step = pert * std::max(std::fabs(x[j]), 1.0);
        x[j] += step;
        h[j] = x[j] - saved[i];
      }
      counted_res(c.blk, &st);
      f = kvoeqnlst_vec_residual(c.lists.eqnlst) + (c.es - 1);
      x = kvovarlst_vec_value(c.lists.varlst) + (c.vs - 1);
      double* bj = kvojac_vec_bj(c.lists.jac) + (c.ns - 1);
      for (int i = nz_ptr[g]; i < nz_ptr[g + 1]; ++i)
        bj[nz_k[i]] = (f[nz_row[i]] - f0[nz_row[i]]) / h[nz_col[i]];
      for (size_t i = 0; i < cols.size(); ++i) x[cols[i]] = saved[i];
    }
    double* fr = kvoeqnlst_vec_residual(c.lists.eqnlst) + (c.es - 1);
    std::copy(f0.begin(), f0.end(), fr);
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0.0 : n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The library's numeric Jacobian against the bare loop, alternating in every iteration; the
// ratio is the median of the per-iteration ratios, with its range.
void BM_NumericJacobianOverhead(benchmark::State& state) {
  Chain c;
  if (!c.make_for(state, KVOBLK_NUMERIC)) return;
  BareLoop bare(c);
  std::vector<double> lib, raw, ratio;
  long lib_res = 0;
  int status = 0;
  bool lib_first = true;
  for (auto _ : state) {
    // Which of the two goes first alternates, so that neither always finds the other's data in
    // the caches.
    double t_lib = 0.0, t_bare = 0.0;
    for (int turn = 0; turn < 2; ++turn) {
      const double t0 = now();
      if ((turn == 0) == lib_first) {
        res_calls = 0;
        kvoblk_jac(c.blk, &status);
        lib_res += res_calls;
        t_lib = now() - t0;
      } else {
        bare.run(c);
        t_bare = now() - t0;
      }
    }
    lib_first = !lib_first;
    lib.push_back(t_lib);
    raw.push_back(t_bare);
    ratio.push_back(t_lib / t_bare);
    if (status != 0) {
      state.SkipWithError("numeric Jacobian failed");
      break;
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["nnz"] = c.nnz;
  state.counters["groups"] = static_cast<double>(c.groups.size());
  state.counters["lower_bound"] = c.lower_bound;
  state.counters["res_per_jac"] = lib_res / n;
  state.counters["lib_ms"] = 1e3 * median(lib);
  state.counters["bare_ms"] = 1e3 * median(raw);
  state.counters["lib/bare"] = median(ratio);
  state.counters["lib/bare_min"] = *std::min_element(ratio.begin(), ratio.end());
  state.counters["lib/bare_max"] = *std::max_element(ratio.begin(), ratio.end());
  c.destroy();
}
BENCHMARK(BM_NumericJacobianOverhead)
    ->Arg(kCstr)
    ->Arg(kBanded)
    ->Iterations(48)
    ->Unit(benchmark::kMillisecond);

// A solve after a solve: the pre-solve of a NUMERIC block whose pattern and placement have not
// changed since the last solve, against making its grouping afresh (the same non-zeros with
// two of them listed in the other order, a different two each time, which no kept grouping
// matches).
void BM_GroupingReuse(benchmark::State& state) {
  Chain c;
  if (!c.make_for(state, KVOBLK_NUMERIC)) return;
  int status = 0;
  kvoblk_post_solve(c.blk, &status);
  std::vector<int> rows(c.nnz), cols(c.nnz);
  for (int k = 0; k < c.nnz; ++k) {
    rows[k] = kvojac_inq_nz_eqnnum(c.lists.jac, c.ns + k);
    cols[k] = kvojac_inq_nz_varnum(c.lists.jac, c.ns + k);
  }
  std::vector<double> again, fresh, ratio;
  int swapped = 0;
  for (auto _ : state) {
    std::vector<int> r = rows, q = cols;
    std::swap(r[swapped], r[swapped + 1]);
    std::swap(q[swapped], q[swapped + 1]);
    swapped += 2;
    double t0 = now();
    kvoblk_pre_solve(c.blk, &status);
    double t1 = now();
    kvoblk_post_solve(c.blk, &status);
    int nvar = c.nvar, neq = c.neq, nnz = c.nnz, h = 0, info = 0, zero = 0, st = 0;
    int eoff = c.es - 1, voff = c.vs - 1;
    double t2 = now();
    U3VGRP_CREATE(&nvar, &neq, &nnz, &h);
    U3VGRP_COMPUTE(r.data(), q.data(), &info, &eoff, &voff, &zero, &h, &st);
    double t3 = now();
    U3VGRP_DESTROY(&h);
    again.push_back(t1 - t0);
    fresh.push_back(t3 - t2);
    ratio.push_back((t1 - t0) / (t3 - t2));
    if (status != 0 || st != 0) {
      state.SkipWithError("grouping failed");
      break;
    }
  }
  state.counters["nnz"] = c.nnz;
  state.counters["pre_solve_again_ms"] = 1e3 * median(again);
  state.counters["grouping_ms"] = 1e3 * median(fresh);
  state.counters["again/grouping"] = median(ratio);
  state.counters["again/grouping_max"] = *std::max_element(ratio.begin(), ratio.end());
  kvoblk_pre_solve(c.blk, &status);
  c.destroy();
}
BENCHMARK(BM_GroupingReuse)->Arg(kBanded)->Arg(kCstr)->Iterations(5)->Unit(benchmark::kMillisecond);

// One Schubert update against one numeric Jacobian of the same block, alternating; the
// ratio is the median of the per-iteration ratios, with its range.
void BM_SchubertUpdateAgainstNumeric(benchmark::State& state) {
  Chain c;
  if (!c.make_for(state, KVOBLK_UPDATE_NUMERIC)) return;
  int status = 0;
  // The last iterate, then a step of every variable so that every row is updated.
  kvoblk_res(c.blk, &status);
  blk_store_lastx(c.blk);
  blk_store_lastf(c.blk);
  for (int v = 0; v < c.nvar; ++v) {
    const double x = kvovarlst_inq_var_value(c.lists.varlst, c.vs + v, 0);
    kvovarlst_set_var_value(c.lists.varlst, c.vs + v, x * 1.01 + 0.001, 0);
  }
  // A grouping as a NUMERIC block has it during a solve, so that the numeric Jacobian is
  // timed without making one; the post-solve releases it.
  blk_compute_vgrp(c.blk, 1, &status);
  std::vector<double> update, numeric, ratio;
  long skipped = 0;
  for (auto _ : state) {
    double t0 = now();
    blk_schubert_update(c.blk, &status);
    double t1 = now();
    if (status < 0) skipped -= status;
    int st = 0;
    blk_numeric_jac(c.blk, &st);
    double t2 = now();
    update.push_back(t1 - t0);
    numeric.push_back(t2 - t1);
    ratio.push_back((t1 - t0) / (t2 - t1));
    if (status > 0 || st != 0) {
      state.SkipWithError("evaluation failed");
      break;
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["nnz"] = c.nnz;
  state.counters["update_ms"] = 1e3 * median(update);
  state.counters["numeric_ms"] = 1e3 * median(numeric);
  state.counters["rows_skipped"] = skipped / n;
  state.counters["update/numeric"] = median(ratio);
  state.counters["update/numeric_min"] = *std::min_element(ratio.begin(), ratio.end());
  state.counters["update/numeric_max"] = *std::max_element(ratio.begin(), ratio.end());
  c.destroy();
}
BENCHMARK(BM_SchubertUpdateAgainstNumeric)
    ->Arg(kBanded)
    ->Arg(kRandom)
    ->Arg(kCstr)
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
