// Jacobian evaluation of a stirred-tank chain of about a million non-zeros: the library's
// numeric Jacobian (kvoblk_jac under NUMERIC) against a bare grouped-differencing loop written
// here with the same groups and the same residual routine, and one Schubert update against one
// numeric Jacobian of the same block.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "cstr.h"
#include <kvoblk/kvoblk.h>
#include <kvoblk/kvojac.h>
#include "kvorefhost.h"

namespace {

// Processor time of this single-threaded program, so that other load on the machine does not
// skew ratios between timings taken in one run.
double now() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// 90910 tanks: 11 non-zeros per tank, 1000010 in all.
constexpr int kTanks = 90910;

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

  bool make(int method) {
    kvoref::reset();
    lists = kvoref::make_lists(cstr_nnz(kTanks));
    cntr = new kvoref::Container(lists);
    blk = cstr_create("R1", kTanks);
    if (!blk) return false;
    kvoblk_ops_t* t = kvoblk_inq_ops(blk);
    model_res = t->res;
    t->res = counted_res;
    t->pre_solve = kvoblk_base_pre_solve;
    t->post_solve = kvoblk_base_post_solve;
    kvoblk_base_register_container(blk, cntr);
    int st = 0;
    kvoblk_ini(blk, 1, 1, 1, &st);
    kvoblk_selfpat(blk, &lists.jac, &st);
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
// columns by pert * max(|x|, 1), evaluate, difference every non-zero in those columns, restore.
struct BareLoop {
  std::vector<int> col_start, col_nz;  // non-zeros (block-local) of each column
  std::vector<int> nz_row;
  std::vector<double> f0, h, saved;

  explicit BareLoop(const Chain& c) {
    col_start.assign(c.nvar + 1, 0);
    nz_row.resize(c.nnz);
    std::vector<int> nz_col(c.nnz);
    for (int k = 0; k < c.nnz; ++k) {
      nz_row[k] = kvojac_inq_nz_eqnnum(c.lists.jac, c.ns + k) - c.es;
      nz_col[k] = kvojac_inq_nz_varnum(c.lists.jac, c.ns + k) - c.vs;
      ++col_start[nz_col[k] + 1];
    }
    for (int j = 0; j < c.nvar; ++j) col_start[j + 1] += col_start[j];
    col_nz.resize(c.nnz);
    std::vector<int> fill(col_start.begin(), col_start.end() - 1);
    for (int k = 0; k < c.nnz; ++k) col_nz[fill[nz_col[k]]++] = k;
    f0.resize(c.neq);
    h.resize(c.nvar);
  }

  void run(const Chain& c) {
    int st = 0;
    const double pert = kvoblk_inq_pertsize(c.blk);
    counted_res(c.blk, &st);
    const double* f = kvoeqnlst_vec_residual(c.lists.eqnlst) + (c.es - 1);
    std::copy(f, f + c.neq, f0.begin());
    for (const auto& g : c.groups) {
      double* x = kvovarlst_vec_value(c.lists.varlst) + (c.vs - 1);
      saved.resize(g.size());
      for (size_t i = 0; i < g.size(); ++i) {
        const int j = g[i];
        saved[i] = x[j];
        const double step = pert * std::max(std::fabs(x[j]), 1.0);
        x[j] += step;
        h[j] = x[j] - saved[i];
      }
      counted_res(c.blk, &st);
      f = kvoeqnlst_vec_residual(c.lists.eqnlst) + (c.es - 1);
      x = kvovarlst_vec_value(c.lists.varlst) + (c.vs - 1);
      double* bj = kvojac_vec_bj(c.lists.jac) + (c.ns - 1);
      for (size_t i = 0; i < g.size(); ++i) {
        const int j = g[i];
        for (int p = col_start[j]; p < col_start[j + 1]; ++p) {
          const int k = col_nz[p];
          bj[k] = (f[nz_row[k]] - f0[nz_row[k]]) / h[j];
        }
        x[j] = saved[i];
      }
    }
    double* fr = kvoeqnlst_vec_residual(c.lists.eqnlst) + (c.es - 1);
    std::copy(f0.begin(), f0.end(), fr);
  }
};

void BM_NumericJacobianOverhead(benchmark::State& state) {
  Chain c;
  if (!c.make(KVOBLK_NUMERIC)) {
    state.SkipWithError("could not set up the block");
    return;
  }
  BareLoop bare(c);
  double lib_time = 0.0, bare_time = 0.0;
  long lib_res = 0;
  int status = 0;
  for (auto _ : state) {
    res_calls = 0;
    double t0 = now();
    kvoblk_jac(c.blk, &status);
    double t1 = now();
    lib_res += res_calls;
    bare.run(c);
    double t2 = now();
    lib_time += t1 - t0;
    bare_time += t2 - t1;
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
  state.counters["lib_ms"] = 1e3 * lib_time / n;
  state.counters["bare_ms"] = 1e3 * bare_time / n;
  state.counters["lib_ns_per_nz"] = 1e9 * lib_time / n / c.nnz;
  state.counters["ratio_lib_to_bare"] = bare_time > 0 ? lib_time / bare_time : 0.0;
  c.destroy();
}
BENCHMARK(BM_NumericJacobianOverhead)->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_SchubertUpdateAgainstNumeric(benchmark::State& state) {
  Chain c;
  if (!c.make(KVOBLK_UPDATE_NUMERIC)) {
    state.SkipWithError("could not set up the block");
    return;
  }
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
  double update_time = 0.0, numeric_time = 0.0;
  long skipped = 0;
  for (auto _ : state) {
    double t0 = now();
    blk_schubert_update(c.blk, &status);
    double t1 = now();
    if (status < 0) skipped -= status;
    int st = 0;
    blk_numeric_jac(c.blk, &st);
    double t2 = now();
    update_time += t1 - t0;
    numeric_time += t2 - t1;
    if (status > 0 || st != 0) {
      state.SkipWithError("evaluation failed");
      break;
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["nnz"] = c.nnz;
  state.counters["update_ms"] = 1e3 * update_time / n;
  state.counters["numeric_ms"] = 1e3 * numeric_time / n;
  state.counters["rows_skipped"] = skipped / n;
  state.counters["ratio_update_to_numeric"] = numeric_time > 0 ? update_time / numeric_time : 0.0;
  c.destroy();
}
BENCHMARK(BM_SchubertUpdateAgainstNumeric)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
