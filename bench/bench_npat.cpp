// SPDX-License-Identifier: BSD-3-Clause
// Numeric sparsity detection of a large sparse block with a cheap residual: residual
// evaluations per detection, time per variable against the model's own residual evaluations at
// the same points, the detection's peak virtual and resident memory per non-zero found, and
// restoring the same pattern from its file against detecting it.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// A field of /proc/self/status in bytes ("VmPeak", "VmHWM", "VmSize", "VmRSS"); 0 if unknown.
long long status_bytes(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long long kb = 0;
  const size_t len = std::strlen(field);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, field, len) == 0 && line[len] == ':') {
      kb = std::atoll(line + len + 1);
      break;
    }
  }
  std::fclose(f);
  return kb * 1024;
}

// What one detection in a child process measured.
struct Outcome {
  double detect_s = 0;
  double restore_s = 0;  // the median restore
  double restore_min_s = 0, restore_max_s = 0;
  long long vm_peak = 0;   // growth of the peak virtual size during the detection
  long long rss_peak = 0;  // growth of the peak resident size during the detection
  long evals = 0;
  int nnz = 0;
  int errors = 0;
};

// Restores timed per detection benchmark: one takes milliseconds, so a single timing would be
// at the mercy of the machine's load; their median is the figure.
constexpr int kRestores = 9;

// Runs one detection in a forked child, whose peak sizes start at its size when forked, so the
// growth of the peaks is what the detection itself needed. With `restore`, the child then saves
// the pattern to a file (the restore's fallback) and times restoring it kRestores times.
bool run_child(int b, bool restore, Outcome* out) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    Outcome o;
    const long long vm0 = status_bytes("VmSize"), rss0 = status_bytes("VmRSS");
    g_evals = 0;
    std::clock_t t0 = std::clock();
    kv_jac_t p = kvoblk_npat(b, &o.errors);
    o.detect_s = seconds_since(t0);
    o.vm_peak = status_bytes("VmPeak") - vm0;
    o.rss_peak = status_bytes("VmHWM") - rss0;
    o.evals = g_evals;
    o.nnz = p ? kvojac_inq_nnz(p) : 0;
    if (p) kvojac_destroy(&p);
    if (restore) {
      const std::string path = "/tmp/kvoblk_bench_npat_" + std::to_string(getpid()) + ".pat";
      kvoblk_set_pat_file(b, path.c_str());
      kvoref::capture(kvHisDev, true);
      p = kvoblk_rpat(b, &o.errors);  // finds no file: detects and writes it
      if (p) kvojac_destroy(&p);
      double times[kRestores];
      for (double& t : times) {
        t0 = std::clock();
        p = kvoblk_rpat(b, &o.errors);
        t = seconds_since(t0);
        if (!p || kvojac_inq_nnz(p) != o.nnz) ++o.errors;
        if (p) kvojac_destroy(&p);
      }
      std::sort(times, times + kRestores);
      o.restore_s = times[kRestores / 2];
      o.restore_min_s = times[0];
      o.restore_max_s = times[kRestores - 1];
      std::remove(path.c_str());
    }
    const ssize_t w = write(fds[1], &o, sizeof o);
    _exit(w == static_cast<ssize_t>(sizeof o) ? 0 : 1);
  }
  close(fds[1]);
  const ssize_t r = read(fds[0], out, sizeof *out);
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return r == static_cast<ssize_t>(sizeof *out) && WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
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

  double total = 0.0, restore = 0.0, restore_min = 0.0, restore_max = 0.0;
  long evals = 0, runs = 0;
  long long vm_peak = 0, rss_peak = 0;
  int nnz = 0;
  bool first = true;
  for (auto _ : state) {
    Outcome o;
    // The restores are timed in the first run only: their file needs one more detection.
    if (!run_child(b, first, &o) || o.errors != 0 || o.nnz == 0) {
      state.SkipWithError("detection failed");
      break;
    }
    if (first) {
      restore = o.restore_s;
      restore_min = o.restore_min_s;
      restore_max = o.restore_max_s;
    }
    first = false;
    state.SetIterationTime(o.detect_s);
    total += o.detect_s;
    evals += o.evals;
    vm_peak = std::max(vm_peak, o.vm_peak);
    rss_peak = std::max(rss_peak, o.rss_peak);
    nnz = o.nnz;
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
  const double items = 2.0 * g_n;  // variables and equations
  state.counters["variables"] = g_n;
  state.counters["nnz"] = nnz;
  state.counters["res_evals_per_var"] = runs ? static_cast<double>(evals) / runs / g_n : 0.0;
  state.counters["us_per_var"] = per_run / g_n * 1e6;
  state.counters["ratio_to_model_only"] = model_only > 0 ? per_run / model_only : 0.0;
  // Peak memory of the detection: bytes per non-zero found, and what is left beyond 64 bytes
  // per non-zero, per variable and equation (the part that must not grow with nvar x neq).
  state.counters["vm_peak_B_per_nz"] = nnz ? static_cast<double>(vm_peak) / nnz : 0.0;
  state.counters["rss_peak_B_per_nz"] = nnz ? static_cast<double>(rss_peak) / nnz : 0.0;
  state.counters["vm_beyond_64_per_nz_B_per_item"] =
      std::max(0.0, static_cast<double>(vm_peak) - 64.0 * nnz) / items;
  state.counters["rss_beyond_64_per_nz_B_per_item"] =
      std::max(0.0, static_cast<double>(rss_peak) - 64.0 * nnz) / items;
  state.counters["restore_ms"] = 1e3 * restore;
  state.counters["restore_ms_min"] = 1e3 * restore_min;
  state.counters["restore_ms_max"] = 1e3 * restore_max;
  // Against the median restore, and against the slowest one (the ratio's low end).
  state.counters["detect_over_restore"] = restore > 0 ? per_run / restore : 0.0;
  state.counters["detect_over_restore_min"] = restore_max > 0 ? per_run / restore_max : 0.0;
  kvoblk_destroy(b);
  kvoref::reset();
}

}  // namespace

BENCHMARK(BM_NumericDetection)
    ->Arg(10000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// One detection of 100,000 variables evaluates 10^10 equation values; once is enough.
BENCHMARK(BM_NumericDetection)
    ->Arg(100000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
