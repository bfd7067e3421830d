// SPDX-License-Identifier: BSD-3-Clause
// Structure digest of a large block: 100,000 variables and equations and 1,000,000 non-zeros,
// sampled at density 1 (one entry in a thousand) against hashing every entry (density 1000).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include <kvoblk/kvoblk.h>
#include "kvorefhost.h"

namespace {

constexpr int kVars = 100000;
constexpr int kEqns = 100000;
constexpr int kNonZeros = 1000000;

// One flowsheet holding one block that covers all of it, built once for every benchmark.
struct Flowsheet {
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  int block = 0;

  Flowsheet() {
    kvoref::reset();
    lists = kvoref::make_lists(kNonZeros);
    for (int i = 1; i <= kVars; ++i)
      kvoref::define_var(lists.varlst, i, ("REACTOR.HOLDUP.X" + std::to_string(i)).c_str(), 0.0);
    for (int i = 1; i <= kEqns; ++i)
      kvoref::define_eqn(lists.eqnlst, i, ("REACTOR.BALANCE.E" + std::to_string(i)).c_str());
    // Ten entries a row, columns spread over the whole block.
    for (int p = 1; p <= kNonZeros; ++p) {
      const int row = 1 + (p - 1) / 10;
      const int col =
          1 + static_cast<int>((static_cast<long long>(row) * 7919 + p * 104729LL) % kVars);
      kvoref::set_nz(lists.jac, p, row, col);
    }
    cntr = new kvoref::Container(lists);
    block = kvoblk_base_create(0);
    kvoblk_register_container(block, cntr);
    kvoblk_set_vstart(block, 1);
    kvoblk_set_vstop(block, kVars);
    kvoblk_set_estart(block, 1);
    kvoblk_set_estop(block, kEqns);
    kvoblk_set_nzstart(block, 1);
    kvoblk_set_nzstop(block, kNonZeros);
  }
};

Flowsheet& flowsheet() {
  static Flowsheet* f = new Flowsheet;
  return *f;
}

// The whole structure digest at density k: names of variables, then equations, then pattern.
void digest(int block, int k, unsigned char out[16]) {
  kvo_md5_ctx ctx{nullptr};
  MD5Init(&ctx);
  kvblkchks_var_checksum(block, k, &ctx);
  kvblkchks_eqn_checksum(block, k, &ctx);
  kvblkchks_jac_checksum(block, k, &ctx);
  MD5Final(out, &ctx);
}

// What a digest at density k hashes: the number of texts and their bytes, counted from the
// lists themselves.
struct Fed {
  double texts = 0;
  double bytes = 0;
};
Fed fed(int k) {
  const Flowsheet& f = flowsheet();
  const int stride = k >= 1 && k <= 1000 ? 1000 / k : 1000;
  Fed r;
  for (int v = 1; v <= kVars; v += stride, ++r.texts)
    r.bytes += std::strlen(kvovarlst_lookup_var_name(f.lists.varlst, v));
  for (int e = 1; e <= kEqns; e += stride, ++r.texts)
    r.bytes += std::strlen(kvoeqnlst_lookup_eqn_name(f.lists.eqnlst, e));
  for (int p = 1; p <= kNonZeros; p += stride, ++r.texts)
    r.bytes += std::to_string(kvojac_inq_nz_eqnnum(f.lists.jac, p)).size() + 1 +
               std::to_string(kvojac_inq_nz_varnum(f.lists.jac, p)).size();
  return r;
}

// Seconds for one digest at density k: the best of a few runs.
double seconds_per_digest(int k, int runs) {
  const int block = flowsheet().block;
  unsigned char out[16];
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    digest(block, k, out);
    benchmark::DoNotOptimize(out);
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

void report(benchmark::State& state, int k) {
  const Fed f = fed(k);
  state.counters["texts_hashed"] = f.texts;
  state.counters["bytes_fed"] = f.bytes;
  state.counters["digests_per_s"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(f.bytes) * state.iterations());
}

// Density 1, the library's own setting: about 1,200 texts.
void BM_StructureDigestSampled(benchmark::State& state) {
  const int block = flowsheet().block;
  unsigned char out[16];
  for (auto _ : state) {
    digest(block, 1, out);
    benchmark::DoNotOptimize(out);
  }
  report(state, 1);
  // The baseline in the same run: every entry hashed, timed against the sampled digest.
  const double all = seconds_per_digest(1000, 3);
  const double sampled = seconds_per_digest(1, 200);
  state.counters["all_entries_ms"] = all * 1e3;
  state.counters["sampled_us"] = sampled * 1e6;
  state.counters["gain_vs_all_entries"] = all / sampled;
}
BENCHMARK(BM_StructureDigestSampled)->Unit(benchmark::kMicrosecond);

// Density 1000: every name and every non-zero, 1,200,000 texts.
void BM_StructureDigestAllEntries(benchmark::State& state) {
  const int block = flowsheet().block;
  unsigned char out[16];
  for (auto _ : state) {
    digest(block, 1000, out);
    benchmark::DoNotOptimize(out);
  }
  report(state, 1000);
}
BENCHMARK(BM_StructureDigestAllEntries)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
