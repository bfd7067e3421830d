// Numeric sparsity detection of a large sparse block with a cheap residual: residual
// evaluations per detection, time per variable, and the cost against the model's own residual
// evaluations at the same points.
#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

#include <kvoblk/kvoblk.h>
#include "kvorefhost.h"

namespace {

// A tridiagonal model: r_i = x_{i-1} - 2 x_i + x_{i+1} + 0.1 x_i^2 over n variables and n
// equations. It reads and writes the live arrays, so each evaluation costs a few operations per
// equation and the detection's own work is what remains to be seen.
int g_n = 0;
long g_evals = 0;

void tri_ini(int b, int vs, int es, int, int* status) {
  int varlst = blk_inq_matrix_varlst(b), eqnlst = blk_inq_matrix_eqnlst(b);
  for (int j = 0; j < g_n; ++j) kvoref::define_var(varlst, vs + j, "X", 1.0 + 0.001 * j);
  for (int i = 0; i < g_n; ++i) kvoref::define_eqn(eqnlst, es + i, "E");
  kvoblk_set_vstop(b, vs + g_n - 1);
  kvoblk_set_estop(b, es + g_n - 1);
  *status = 0;
}

void tri_residual(const double* x, double* r, int n) {
  for (int i = 0; i < n; ++i) {
    double left = i > 0 ? x[i - 1] : 0.0;
    double right = i + 1 < n ? x[i + 1] : 0.0;
    r[i] = left - 2.0 * x[i] + right + 0.1 * x[i] * x[i];
  }
}

void tri_res(int b, int* status) {
  ++g_evals;
  const double* x = kvovarlst_vec_value(blk_inq_matrix_varlst(b)) + (kvoblk_inq_vstart(b) - 1);
  double* r = kvoeqnlst_vec_residual(blk_inq_matrix_eqnlst(b)) + (kvoblk_inq_estart(b) - 1);
  tri_residual(x, r, g_n);
  *status = 0;
}

// Processor time, so that other work on the machine does not skew the ratio.
double seconds_since(std::clock_t t0) {
  return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
}

void BM_NumericDetection(benchmark::State& state) {
  g_n = static_cast<int>(state.range(0));
  kvoref::reset();
  kvoref::Lists lists = kvoref::make_lists(1);
  kvoref::Container cntr(lists);
  int b = kvoblk_base_create_1(0);
  kvoblk_set_blkid(b, "TRI");
  kvoblk_inq_ops(b)->ini = tri_ini;
  kvoblk_inq_ops(b)->res = tri_res;
  kvoblk_register_container(b, &cntr);
  int st = 0;
  kvoblk_ini(b, 1, 1, 1, &st);

  double total = 0.0;
  long evals = 0, runs = 0;
  int nnz = 0;
  for (auto _ : state) {
    g_evals = 0;
    int errors = 0;
    std::clock_t t0 = std::clock();
    kv_jac_t p = kvoblk_npat(b, &errors);
    total += seconds_since(t0);
    if (errors != 0 || p == 0) state.SkipWithError("detection failed");
    nnz = kvojac_inq_nnz(p);
    kvojac_destroy(&p);
    evals += g_evals;
    ++runs;
  }

  // Baseline: the model alone at the same kind of points (perturb one variable, evaluate,
  // restore), timed on a sample of columns and scaled to the n + 1 evaluations of a detection.
  const int sample = g_n < 2000 ? g_n : 2000;
  double* x = kvovarlst_vec_value(lists.varlst);
  double* r = kvoeqnlst_vec_residual(lists.eqnlst);
  std::clock_t t0 = std::clock();
  for (int j = 0; j < sample; ++j) {
    const double keep = x[j];
    x[j] += 1e-6 * (keep + 1.0);
    tri_residual(x, r, g_n);
    x[j] = keep;
  }
  const double model_only = seconds_since(t0) / sample * (g_n + 1);
  benchmark::DoNotOptimize(r[0]);

  const double per_run = runs ? total / runs : 0.0;
  state.counters["variables"] = g_n;
  state.counters["nnz"] = nnz;
  state.counters["res_evals"] = runs ? static_cast<double>(evals) / runs : 0.0;
  state.counters["res_evals_per_var"] = runs ? static_cast<double>(evals) / runs / g_n : 0.0;
  state.counters["us_per_var"] = per_run / g_n * 1e6;
  state.counters["model_only_us_per_var"] = model_only / g_n * 1e6;
  state.counters["ratio_to_model_only"] = model_only > 0 ? per_run / model_only : 0.0;
  kvoblk_destroy(b);
  kvoref::reset();
}

}  // namespace

BENCHMARK(BM_NumericDetection)->Arg(10000)->Unit(benchmark::kMillisecond);
// One detection of 100,000 variables evaluates 10^10 equation values; once is enough.
BENCHMARK(BM_NumericDetection)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
