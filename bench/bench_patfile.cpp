// SPDX-License-Identifier: BSD-3-Clause
// The sparsity pattern file: restoring a pattern from its file against detecting it numerically
// (the ratio restore/detect, measured in the same iteration), and the time to write and to read
// the file of a pattern with one million non-zeros, each against writing or reading the same
// (row, column) pairs as plain text with fprintf and strtol in the same iteration.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <kvoblk/kvoblk.h>
#include "cstr.h"
#include "kvorefhost.h"

namespace {

namespace fs = std::filesystem;

// A dense block of kDense variables and equations: equation i is (i + 1) times the weighted sum
// of all variables, so every equation depends on every variable (one million non-zeros) while a
// residual evaluation stays cheap and the detection's cost is its own bookkeeping.
constexpr int kDense = 1000;

void dense_ini(int b, int vs, int es, int nzs, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  for (int i = 0; i < kDense; ++i) {
    kvoref::define_var(varlst, vs + i, ("DENSE.X" + std::to_string(i + 1)).c_str(), 1.0);
    kvoref::define_eqn(eqnlst, es + i, ("DENSE.E" + std::to_string(i + 1)).c_str());
  }
  kvoblk_set_vstop(b, vs + kDense - 1);
  kvoblk_set_estop(b, es + kDense - 1);
  kvoblk_set_nzstop(b, nzs - 1);
  *status = 0;
}

void dense_res(int b, int* status) {
  *status = 0;
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  const double* x = kvovarlst_vec_value(varlst) + kvoblk_inq_vstart(b) - 1;
  double* r = kvoeqnlst_vec_residual(eqnlst) + kvoblk_inq_estart(b) - 1;
  double sum = 0;
  for (int j = 0; j < kDense; ++j) sum += (j + 1) * x[j];
  for (int i = 0; i < kDense; ++i) r[i] = (i + 1) * sum;
}

// One flowsheet with a chain of 1000 tanks (3003 variables, 11000 non-zeros) and the dense
// block, each with its own pattern file in a scratch directory.
struct Flowsheet {
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  int cstr = 0, dense = 0;
  fs::path dir;

  Flowsheet() {
    kvoref::reset();
    dir = fs::temp_directory_path() / "kvoblk_bench_patfile";
    fs::create_directories(dir);
    lists = kvoref::make_lists(20000);
    cntr = new kvoref::Container(lists);
    int status = 0;

    cstr = cstr_create("CHAIN", 1000);
    kvoblk_base_register_container(cstr, cntr);
    kvoblk_ini(cstr, 1, 1, 1, &status);
    kvoblk_set_pat_file(cstr, (dir / "chain.pat").c_str());

    dense = kvoblk_base_create_1(0);
    kvoblk_set_blkid(dense, "DENSE");
    kvoblk_inq_ops(dense)->ini = dense_ini;
    kvoblk_inq_ops(dense)->res = dense_res;
    kvoblk_register_container(dense, cntr);
    kvoblk_ini(dense, kvoblk_inq_vstop(cstr) + 1, kvoblk_inq_estop(cstr) + 1,
               kvoblk_inq_nzstop(cstr) + 1, &status);
    kvoblk_set_pat_file(dense, (dir / "dense.pat").c_str());
  }
  ~Flowsheet() { fs::remove_all(dir); }
};

Flowsheet& flowsheet() {
  static Flowsheet f;
  return f;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Times one call that answers a pattern object, releases the object and counts its entries.
template <class F>
double timed(F call, int* nnz, int* errors) {
  auto start = std::chrono::steady_clock::now();
  kv_jac_t pattern = call();
  double t = seconds_since(start);
  *nnz = kvojac_inq_nnz(pattern);
  if (pattern)
    kvojac_destroy(&pattern);
  else
    ++*errors;
  return t;
}

// Makes sure the block's pattern file exists (written by the numeric fallback of the restore).
void ensure_file(int block) {
  if (fs::exists(kvoblk_inq_pat_file(block))) return;
  int errors = 0;
  kv_jac_t pattern = kvoblk_rpat(block, &errors);
  if (pattern) kvojac_destroy(&pattern);
  kvoref::take(kvHisDev);
}

// Restore from the file against numeric detection, both in every iteration; the reported time
// is the restore's. Argument 0: the tank chain, 1: the dense block.
void BM_RestoreAgainstDetect(benchmark::State& state) {
  Flowsheet& f = flowsheet();
  kvoref::capture(kvHisDev, true);
  const int block = state.range(0) == 0 ? f.cstr : f.dense;
  ensure_file(block);
  double detect = 0, restore = 0;
  int nnz = 0, errors = 0;
  for (auto _ : state) {
    detect += timed([&] { return kvoblk_npat(block, &errors); }, &nnz, &errors);
    double t = timed([&] { return kvoblk_rpat(block, &errors); }, &nnz, &errors);
    restore += t;
    state.SetIterationTime(t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["detect_ms"] = 1e3 * detect / n;
  state.counters["restore_ms"] = 1e3 * restore / n;
  state.counters["restore_over_detect"] = restore / detect;
  state.counters["nnz"] = nnz;
  state.counters["errors"] = errors;
  kvoref::take(kvHisDev);
}
BENCHMARK(BM_RestoreAgainstDetect)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// The pattern's (row, column) pairs, restored from the block's file.
void pattern_pairs(int block, std::vector<int>* rows, std::vector<int>* cols) {
  int errors = 0;
  kv_jac_t p = kvoblk_rpat(block, &errors);
  rows->clear();
  cols->clear();
  for (int k = 1; p && k <= kvojac_inq_nnz(p); ++k) {
    rows->push_back(kvojac_inq_nz_eqnnum(p, k));
    cols->push_back(kvojac_inq_nz_varnum(p, k));
  }
  if (p) kvojac_destroy(&p);
}

// The plain-text baseline: the pairs as "row column" lines written with fprintf, and read back
// line by line with fgets and strtol. Seconds taken.
double plain_write(const std::string& path, const std::vector<int>& rows,
                   const std::vector<int>& cols) {
  auto start = std::chrono::steady_clock::now();
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return 0;
  for (size_t k = 0; k < rows.size(); ++k) std::fprintf(f, "%d %d\n", rows[k], cols[k]);
  std::fclose(f);
  return seconds_since(start);
}

double plain_read(const std::string& path, std::vector<int>* rows, std::vector<int>* cols) {
  auto start = std::chrono::steady_clock::now();
  rows->clear();
  cols->clear();
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return 0;
  char line[64];
  while (std::fgets(line, sizeof line, f)) {
    char* end = nullptr;
    const long r = std::strtol(line, &end, 10);
    const long c = std::strtol(end, nullptr, 10);
    rows->push_back(static_cast<int>(r));
    cols->push_back(static_cast<int>(c));
  }
  std::fclose(f);
  return seconds_since(start);
}

// Writing a file of one million non-zeros. The library writes a file only as the fallback of a
// restore that finds none, so each iteration times that fallback and, as its baseline, the
// detection alone; the write is the difference.
void BM_WriteMillion(benchmark::State& state) {
  Flowsheet& f = flowsheet();
  kvoref::capture(kvHisDev, true);
  const std::string path = kvoblk_inq_pat_file(f.dense);
  const std::string plain = (f.dir / "plain.txt").string();
  ensure_file(f.dense);
  std::vector<int> rows, cols;
  pattern_pairs(f.dense, &rows, &cols);
  double write = 0, baseline = 0;
  int nnz = 0, errors = 0;
  for (auto _ : state) {
    double detect = timed([&] { return kvoblk_npat(f.dense, &errors); }, &nnz, &errors);
    std::remove(path.c_str());
    double fallback = timed([&] { return kvoblk_rpat(f.dense, &errors); }, &nnz, &errors);
    double t = fallback > detect ? fallback - detect : 0;
    write += t;
    baseline += plain_write(plain, rows, cols);
    state.SetIterationTime(t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["write_ms"] = 1e3 * write / n;
  state.counters["fprintf_ms"] = 1e3 * baseline / n;
  state.counters["write/fprintf"] = baseline > 0 ? write / baseline : 0;
  state.counters["ns_per_nz"] = 1e9 * write / n / nnz;
  state.counters["file_MB"] = static_cast<double>(fs::file_size(path)) / 1e6;
  state.counters["nnz"] = nnz;
  state.counters["errors"] = errors;
  kvoref::take(kvHisDev);
}
BENCHMARK(BM_WriteMillion)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Reading the same file back into a pattern: three passes over it, the digest check and the
// pattern object.
void BM_ReadMillion(benchmark::State& state) {
  Flowsheet& f = flowsheet();
  kvoref::capture(kvHisDev, true);
  ensure_file(f.dense);
  const std::string plain = (f.dir / "plain.txt").string();
  std::vector<int> rows, cols;
  pattern_pairs(f.dense, &rows, &cols);
  plain_write(plain, rows, cols);
  double read = 0, baseline = 0;
  int nnz = 0, errors = 0;
  for (auto _ : state) {
    double t = timed([&] { return kvoblk_rpat(f.dense, &errors); }, &nnz, &errors);
    read += t;
    baseline += plain_read(plain, &rows, &cols);
    state.SetIterationTime(t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["read_ms"] = 1e3 * read / n;
  state.counters["strtol_ms"] = 1e3 * baseline / n;
  state.counters["read/strtol"] = baseline > 0 ? read / baseline : 0;
  state.counters["ns_per_nz"] = 1e9 * read / n / nnz;
  state.counters["nnz"] = nnz;
  state.counters["errors"] = errors;
  kvoref::take(kvHisDev);
}
BENCHMARK(BM_ReadMillion)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
