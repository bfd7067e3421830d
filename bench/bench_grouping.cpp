// Column grouping and grouped forward-difference Jacobians of the reference host on five
// patterns: residual evaluations per Jacobian against the lower bound (the fullest row) and
// against one column at a time, grouping time and Jacobian time against one residual evaluation.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cstr.h"
#include <kvoblk/kvoblk.h>
#include "kvorefhost.h"

namespace {

// Processor time of this single-threaded program, so that other load on the machine does not
// skew the ratios between timings taken in one run.
struct Clock {
  static double now() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }
};

// A block's pattern (local numbers from 1) and its residual routine on live arrays.
struct Case {
  std::string name;
  int nvar = 0, neq = 0;
  std::vector<int> rows, cols;
  std::vector<double> x, f;
  // Evaluates the residuals; x and f are the arrays the differencing works on.
  std::function<void(double* x, double* f)> residuals;
  // Where x and f live (the block's lists for the stirred-tank chain, the case's own vectors
  // for the synthetic patterns).
  std::function<double*()> values;
  std::function<double*()> resid;

  int nnz() const { return static_cast<int>(rows.size()); }
  void add(int r, int c) {
    rows.push_back(r);
    cols.push_back(c);
  }
  int lower_bound() const {
    std::vector<std::set<int>> in_row(neq + 1);
    for (int k = 0; k < nnz(); ++k) in_row[rows[k]].insert(cols[k]);
    size_t lb = 0;
    for (const auto& r : in_row) lb = std::max(lb, r.size());
    return static_cast<int>(lb);
  }
  int columns_used() const {
    return static_cast<int>(std::set<int>(cols.begin(), cols.end()).size());
  }
};

// Synthetic residuals: row r is the sum over its non-zeros of a_k (x + x^2 / 2) at the column,
// a few operations per non-zero like a simple balance equation.
void synthetic(Case& c) {
  c.x.assign(c.nvar, 0.0);
  c.f.assign(c.neq, 0.0);
  for (int i = 0; i < c.nvar; ++i) c.x[i] = 1.0 + 0.001 * (i % 97);
  Case* self = &c;
  c.residuals = [self](double* x, double* f) {
    std::fill(f, f + self->neq, -1.0);
    for (int k = 0; k < self->nnz(); ++k) {
      const double v = x[self->cols[k] - 1];
      f[self->rows[k] - 1] += (0.5 + 0.125 * (k & 7)) * (v + 0.5 * v * v);
    }
  };
  c.values = [self] { return self->x.data(); };
  c.resid = [self] { return self->f.data(); };
}

std::unique_ptr<Case> tridiagonal(int n) {
  auto c = std::make_unique<Case>();
  c->name = "tridiagonal n=100000";
  c->nvar = c->neq = n;
  for (int i = 1; i <= n; ++i)
    for (int j = std::max(1, i - 1); j <= std::min(n, i + 1); ++j) c->add(i, j);
  synthetic(*c);
  return c;
}

std::unique_ptr<Case> block_tridiagonal(int nblocks, int size) {
  auto c = std::make_unique<Case>();
  c->name = "block tridiagonal 5x5 n=10000";
  c->nvar = c->neq = nblocks * size;
  for (int b = 0; b < nblocks; ++b)
    for (int r = 0; r < size; ++r)
      for (int bc = std::max(0, b - 1); bc <= std::min(nblocks - 1, b + 1); ++bc)
        for (int k = 0; k < size; ++k) c->add(b * size + r + 1, bc * size + k + 1);
  synthetic(*c);
  return c;
}

std::unique_ptr<Case> laplacian(int m) {
  auto c = std::make_unique<Case>();
  c->name = "Laplacian 100x100";
  c->nvar = c->neq = m * m;
  const int di[] = {-1, 0, 0, 0, 1}, dj[] = {0, -1, 0, 1, 0};
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j)
      for (int d = 0; d < 5; ++d) {
        const int a = i + di[d], b = j + dj[d];
        if (a >= 0 && a < m && b >= 0 && b < m) c->add(i * m + j + 1, a * m + b + 1);
      }
  synthetic(*c);
  return c;
}

std::unique_ptr<Case> random_sparse(int n) {
  auto c = std::make_unique<Case>();
  c->name = "random n=20000";
  c->nvar = c->neq = n;
  std::mt19937 gen(20240607u);
  std::uniform_int_distribution<int> pick(1, n);
  for (int i = 1; i <= n; ++i) {
    std::set<int> row = {i};
    while (row.size() < 5) row.insert(pick(gen));
    for (int col : row) c->add(i, col);
  }
  synthetic(*c);
  return c;
}

// The stirred-tank chain as a real block in its own lists; its residuals come from the model
// through the residual dispatcher.
struct CstrFlowsheet {
  kvoref::Lists lists;
  std::unique_ptr<kvoref::Container> cntr;
  int block = 0;
};

std::unique_ptr<Case> cstr_chain(int ntanks, CstrFlowsheet& fs) {
  auto c = std::make_unique<Case>();
  c->name = "CSTR chain " + std::to_string(ntanks) + " tanks";
  fs.lists = kvoref::make_lists(cstr_nnz(ntanks));
  fs.cntr = std::make_unique<kvoref::Container>(fs.lists);
  fs.block = cstr_create("R1", ntanks);
  kvoblk_base_register_container(fs.block, fs.cntr.get());
  int status = 0;
  kvoblk_ini(fs.block, 1, 1, 1, &status);
  kvoblk_selfpat(fs.block, &fs.lists.jac, &status);
  if (status != 0) std::fprintf(stderr, "stirred-tank chain: pattern status %d\n", status);
  c->nvar = cstr_nvars(ntanks);
  c->neq = cstr_neqns(ntanks);
  KVJacIrn irn(&fs.lists.jac);
  KVJacIcn icn(&fs.lists.jac);
  for (int k = 0; k < cstr_nnz(ntanks); ++k) c->add(irn[k], icn[k]);
  const int blk = fs.block;
  const int varlst = fs.lists.varlst, eqnlst = fs.lists.eqnlst;
  c->residuals = [blk](double*, double*) {
    int st = 0;
    kvoblk_res(blk, &st);
  };
  c->values = [varlst] { return kvovarlst_vec_value(varlst); };
  c->resid = [eqnlst] { return kvoeqnlst_vec_residual(eqnlst); };
  return c;
}

// The cases are built on first use, once the program runs, not during static initialisation.
constexpr int kCases = 5;
const char* const kCaseNames[kCases] = {"tridiagonal n=100000", "block tridiagonal 5x5 n=10000",
                                        "Laplacian 100x100", "random n=20000",
                                        "CSTR chain 10000 tanks"};

Case* get_case(int i) {
  static std::vector<std::unique_ptr<Case>>* all = nullptr;
  static CstrFlowsheet* cstr = nullptr;
  if (!all) {
    all = new std::vector<std::unique_ptr<Case>>;
    cstr = new CstrFlowsheet;
    all->push_back(tridiagonal(100000));
    all->push_back(block_tridiagonal(2000, 5));
    all->push_back(laplacian(100));
    all->push_back(random_sparse(20000));
    all->push_back(cstr_chain(10000, *cstr));
  }
  return (*all)[i].get();
}

// Seconds of one residual evaluation, from enough repetitions to outlast the clock's grain.
double residual_seconds(Case& c) {
  int reps = 0;
  const auto start = Clock::now();
  double spent = 0.0;
  do {
    c.residuals(c.values(), c.resid());
    ++reps;
    spent = Clock::now() - start;
  } while (spent < 0.1 || reps < 5);
  return spent / reps;
}

int make_grouping(Case& c, int* groups) {
  int nvar = c.nvar, neq = c.neq, nnz = c.nnz(), h = 0;
  U3VGRP_CREATE(&nvar, &neq, &nnz, &h);
  int info = 0, off = 0, zero = 0, status = 0;
  U3VGRP_COMPUTE(c.rows.data(), c.cols.data(), &info, &off, &off, &zero, &h, &status);
  if (status != 0) std::fprintf(stderr, "%s: grouping status %d\n", c.name.c_str(), status);
  *groups = info;
  return h;
}

// Grouping time, with the resulting numbers of evaluations as counters.
void BM_Grouping(benchmark::State& state, int which) {
  Case* c = get_case(which);
  const double residual = residual_seconds(*c);
  int groups = 0;
  double spent = 0.0;
  for (auto _ : state) {
    const auto start = Clock::now();
    int h = make_grouping(*c, &groups);
    U3VGRP_DESTROY(&h);
    spent += Clock::now() - start;
  }
  const double per_grouping = spent / static_cast<double>(state.iterations());
  const int lb = c->lower_bound();
  const int columns = c->columns_used();
  state.counters["groups"] = groups;
  state.counters["lower_bound"] = lb;
  state.counters["groups/bound"] = static_cast<double>(groups) / lb;
  // One residual evaluation at the base point plus one per group, against one per column.
  state.counters["evals"] = groups + 1;
  state.counters["one_column_evals"] = columns + 1;
  state.counters["evals/one_column"] = static_cast<double>(groups + 1) / (columns + 1);
  state.counters["grouping/residual"] = per_grouping / residual;
}

// One whole numeric Jacobian: the differencing calls and the residual evaluations they ask for.
void BM_NumericJacobian(benchmark::State& state, int which) {
  Case* c = get_case(which);
  const double residual = residual_seconds(*c);
  int groups = 0;
  int h = make_grouping(*c, &groups);
  std::vector<double> scale(c->nvar, 1.0), par(100, 1e-4), bj(c->nnz(), 0.0);
  std::vector<int> vstat(c->nvar, 0);
  double pert = 1e-6;
  int voff = 0, evals = 0;
  double spent = 0.0;
  for (auto _ : state) {
    const auto start = Clock::now();
    int request = 0, status = 0;
    evals = 0;
    for (;;) {
      U3NJAC_COMPUTE(&h, c->values(), scale.data(), vstat.data(), c->resid(), &voff, c->cols.data(),
                     par.data(), &pert, bj.data(), &request, &status);
      if (status != 0 || request != 1) break;
      c->residuals(c->values(), c->resid());
      ++evals;
    }
    spent += Clock::now() - start;
    benchmark::DoNotOptimize(bj.data());
  }
  U3VGRP_DESTROY(&h);
  const double per_jacobian = spent / static_cast<double>(state.iterations());
  state.counters["evals"] = evals;
  state.counters["evals/(bound+1)"] = static_cast<double>(evals) / (c->lower_bound() + 1);
  state.counters["evals/one_column"] = static_cast<double>(evals) / (c->columns_used() + 1);
  state.counters["jacobian/residual"] = per_jacobian / residual;
  state.counters["ns/nz"] = 1e9 * per_jacobian / c->nnz();
}

const bool registered = [] {
  for (int i = 0; i < kCases; ++i) {
    const std::string name = kCaseNames[i];
    benchmark::RegisterBenchmark(("Grouping/" + name).c_str(), BM_Grouping, i)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("NumericJacobian/" + name).c_str(), BM_NumericJacobian, i)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
