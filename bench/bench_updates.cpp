// SPDX-License-Identifier: BSD-3-Clause
// Do the update methods pull their weight? Residual evaluations (every run of a block's residual
// routine: the solver's passes, numeric Jacobians, Schubert updates) to converge with NUMERIC
// against UPDATE_NUMERIC, from the same cold start, in the same run: stirred-tank chains of 10,
// 100 and 300 tanks, the recycle flowsheet, and three classic nonlinear test systems (Broyden's
// tridiagonal function, the extended Rosenbrock function, the extended Powell singular function;
// Moré, Garbow and Hillstrom's collection) as one block each with a residual routine only.
#include <benchmark/benchmark.h>
#include <kvoblk/kvomodel.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plant.h"

namespace {

// ---- Test systems as blocks with residuals only ----------------------------------------------
enum System { BROYDEN = 1, ROSENBROCK, POWELL };
constexpr int kSystemWord = kvoblk_word::count;  // which system
constexpr int kSizeWord = kSystemWord + 1;       // n

int sys_n(int blk) { return kvomodel::word(blk, kSizeWord); }

void sys_selfdim(int blk, int* nvar, int* neqn, int* nnz, int* status) {
  *nvar = *neqn = sys_n(blk);
  *nnz = 3 * sys_n(blk);  // enough for every system here
  *status = 0;
}

double sys_start(int system, int i) {
  switch (system) {
    case BROYDEN:
      return -1.0;
    case ROSENBROCK:
      return i % 2 == 0 ? -1.2 : 1.0;
    default: {
      static const double x0[4] = {3.0, -1.0, 0.0, 1.0};
      return x0[i % 4];
    }
  }
}

void sys_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  const int n = sys_n(blk), system = kvomodel::word(blk, kSystemWord);
  for (int i = 0; i < n; ++i) {
    const std::string x = "T.X(" + std::to_string(i + 1) + ")";
    const std::string f = "T.F(" + std::to_string(i + 1) + ")";
    kvoref::define_var(varlst, vstart + i, x.c_str(), sys_start(system, i));
    kvoref::define_eqn(eqnlst, estart + i, f.c_str());
  }
  kvoblk_set_vstop(blk, vstart + n - 1);
  kvoblk_set_estop(blk, estart + n - 1);
  kvoblk_set_nzstop(blk, nzstart - 1);
  int errors = 0;
  kvoblk_pat_ini(blk, nzstart, &errors);
  *status = errors != 0;
}

void sys_res(int blk, int* status) {
  const double* x = kvomodel::var_values(blk);
  double* f = kvomodel::residuals(blk);
  const int n = sys_n(blk);
  *status = x && f ? 0 : 1;
  if (*status) return;
  switch (kvomodel::word(blk, kSystemWord)) {
    case BROYDEN:
      for (int i = 0; i < n; ++i)
        f[i] = (3.0 - 2.0 * x[i]) * x[i] - (i > 0 ? x[i - 1] : 0.0) -
               2.0 * (i + 1 < n ? x[i + 1] : 0.0) + 1.0;
      break;
    case ROSENBROCK:
      for (int i = 0; i + 1 < n; i += 2) {
        f[i] = 10.0 * (x[i + 1] - x[i] * x[i]);
        f[i + 1] = 1.0 - x[i];
      }
      break;
    default:
      for (int i = 0; i + 3 < n; i += 4) {
        f[i] = x[i] + 10.0 * x[i + 1];
        f[i + 1] = std::sqrt(5.0) * (x[i + 2] - x[i + 3]);
        f[i + 2] = (x[i + 1] - 2.0 * x[i + 2]) * (x[i + 1] - 2.0 * x[i + 2]);
        f[i + 3] = std::sqrt(10.0) * (x[i] - x[i + 3]) * (x[i] - x[i + 3]);
      }
  }
}

// A block of a test system: NUMERIC derivatives, pattern by numeric detection.
int sys_create(int system, int n) {
  const int blk = kvoblk_base_create(kSizeWord + 1);
  kvoblk_set_blkid(blk, "T");
  kvomodel::word(blk, kSystemWord) = system;
  kvomodel::word(blk, kSizeWord) = n;
  kvoblk_set_deriv_type(blk, KVOBLK_NUMERIC);
  kvoblk_set_pat_ini_type(blk, KVOBLK_PAT_NUMERIC);
  blk_selfjac_disable(blk);
  blk_selfpat_disable(blk);
  kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  t->selfdim = sys_selfdim;
  t->ini = sys_ini;
  t->res = sys_res;
  return blk;
}

// ---- One comparison ----------------------------------------------------------------------------
struct Outcome {
  bool converged = false;
  int steps = 0;
  long evals = 0;
  int updates = 0;
};

// Builds a fresh plant with `make`, solves it with `method` from its cold start.
Outcome run(const std::function<bool(Plant&)>& make, int method) {
  kvoref::reset();
  kvoref::capture(kvHisDev, true);
  Outcome o;
  {
    Plant plant;
    if (!make(plant) || !plant.set_method(method)) return o;
    plant.reset_counts();  // numeric pattern detection is not the solver's work
    const kvoref::NewtonReport r = plant.solve();
    o.converged = r.converged;
    o.steps = r.iterations;
    o.evals = plant.total_counts().residuals;
    o.updates = plant.total_counts().updates;
  }
  kvoref::reset();
  return o;
}

std::function<bool(Plant&)> chain(int tanks) {
  return [tanks](Plant& p) {
    CstrParams c;
    c.order = 2;  // second order: the balances are truly nonlinear
    c.rate_constant = 0.8;
    const int blk = cstr_create("R1", tanks, c);
    if (!p.add(blk) || !p.build()) return false;
    return p.fix("R1.IN.F", c.feed_flow) && p.fix("R1.IN.CA", c.feed_ca) &&
           p.fix("R1.IN.CB", c.feed_cb);
  };
}

std::function<bool(Plant&)> test_system(int system, int n) {
  return [system, n](Plant& p) { return p.add(sys_create(system, n)) && p.build(); };
}

// The recycle flowsheet sized as the shipped one (examples/flowsheets/recycle.toml: 20 tanks of
// 0.6 m3; its concentrator plug-in after the loop is left out) with every block's NLRATIODEV (the
// deviation of the nonlinearity ratio that rules an update out) set to `deviation`.
std::function<bool(Plant&)> recycle(double deviation) {
  return [deviation](Plant& p) {
    RecycleSpec spec;
    spec.ntanks = 20;
    spec.volume = 0.6;
    if (!build_recycle(p, spec)) return false;
    for (int blk : p.blocks()) kvoblk_set_nlratiodev(blk, deviation);
    return true;
  };
}

void compare(benchmark::State& state, const std::function<bool(Plant&)>& make) {
  Outcome numeric, update;
  for (auto _ : state) {
    numeric = run(make, KVOBLK_NUMERIC);
    update = run(make, KVOBLK_UPDATE_NUMERIC);
  }
  if (!numeric.converged || !update.converged) state.SkipWithError("a solve did not converge");
  state.counters["numeric_steps"] = numeric.steps;
  state.counters["update_steps"] = update.steps;
  state.counters["numeric_res_evals"] = static_cast<double>(numeric.evals);
  state.counters["update_res_evals"] = static_cast<double>(update.evals);
  state.counters["schubert_updates"] = update.updates;
  state.counters["update_over_numeric"] =
      numeric.evals ? static_cast<double>(update.evals) / static_cast<double>(numeric.evals) : 0.0;
}

void BM_CstrChain(benchmark::State& s) { compare(s, chain(static_cast<int>(s.range(0)))); }
// Argument: NLRATIODEV in hundredths (1 is the library's default 0.01).
void BM_Recycle(benchmark::State& s) {
  compare(s, recycle(0.01 * static_cast<double>(s.range(0))));
}
void BM_BroydenTridiagonal(benchmark::State& s) {
  compare(s, test_system(BROYDEN, static_cast<int>(s.range(0))));
}
void BM_ExtendedRosenbrock(benchmark::State& s) {
  compare(s, test_system(ROSENBROCK, static_cast<int>(s.range(0))));
}
void BM_ExtendedPowell(benchmark::State& s) {
  compare(s, test_system(POWELL, static_cast<int>(s.range(0))));
}

BENCHMARK(BM_CstrChain)->Arg(10)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Recycle)->Arg(1)->Arg(5)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_BroydenTridiagonal)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ExtendedRosenbrock)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ExtendedPowell)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
