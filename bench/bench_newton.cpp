// Newton on a CSTR chain: residual evaluations to converge with numeric Jacobians against
// Schubert updates of them, from the same starting point, in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "cstr.h"
#include "kvorefhost.h"

namespace {

class BlockUnit : public kvoref::SolverUnit {
 public:
  explicit BlockUnit(int blk) : blk_(blk) {}
  const char* name() const override { return "R1"; }
  void pre_solve(int& st) override { kvoblk_pre_solve(blk_, &st); }
  void residuals(int& st) override { kvoblk_res(blk_, &st); }
  void jacobian(int& st) override { kvoblk_jac(blk_, &st); }
  void post_solve(int& st) override { kvoblk_post_solve(blk_, &st); }

 private:
  int blk_;
};

struct Chain {
  explicit Chain(int tanks) {
    kvoref::reset();
    kvoref::capture(kvHisDev, true);
    CstrParams p;
    p.order = 2;  // second order: the balances are truly nonlinear
    p.rate_constant = 0.8;
    blk = cstr_create("R1", tanks, p);
    int nv = 0, ne = 0, nz = 0, st = 0;
    kvoblk_dim(blk, &nv, &ne, &nz, &st);
    lists = kvoref::make_lists(nz);
    cntr = new kvoref::Container(lists);
    kvoblk_register_container(blk, cntr);
    kvoblk_ini(blk, 1, 1, 1, &st);
    for (CstrVar v : {CSTR_F, CSTR_CA, CSTR_CB})
      kvoref::set_var_status(lists.varlst, cstr_var(blk, 0, v), kvoref::VAR_FIXED);
    const double* x = kvovarlst_vec_value(lists.varlst);
    start.assign(x, x + kvovarlst_inq_nvar(lists.varlst));
  }
  ~Chain() {
    kvoblk_destroy(blk);
    delete cntr;
    kvoref::reset();
  }
  // Solves from the starting point with one method; answers the residual evaluations.
  long solve(int method, kvoref::NewtonReport* report) {
    double* x = kvovarlst_vec_value(lists.varlst);
    std::copy(start.begin(), start.end(), x);
    kvoblk_set_deriv_type(blk, method);
    BlockUnit unit(blk);
    cstr_reset_call_counts();
    *report = kvoref::newton_solve(lists, {&unit});
    kvoref::take(kvHisDev);
    return cstr_residual_calls();
  }
  int blk = 0;
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  std::vector<double> start;
};

void BM_NewtonCstrChain(benchmark::State& state) {
  Chain chain(static_cast<int>(state.range(0)));
  kvoref::NewtonReport numeric, update;
  long numeric_evals = 0, update_evals = 0;
  double numeric_ms = 0, update_ms = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    numeric_evals = chain.solve(KVOBLK_NUMERIC, &numeric);
    auto t1 = std::chrono::steady_clock::now();
    update_evals = chain.solve(KVOBLK_UPDATE_NUMERIC, &update);
    auto t2 = std::chrono::steady_clock::now();
    numeric_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    update_ms = std::chrono::duration<double, std::milli>(t2 - t1).count();
  }
  if (!numeric.converged || !update.converged) state.SkipWithError("a solve did not converge");
  state.counters["numeric_steps"] = numeric.iterations;
  state.counters["update_steps"] = update.iterations;
  state.counters["numeric_res_evals"] = static_cast<double>(numeric_evals);
  state.counters["update_res_evals"] = static_cast<double>(update_evals);
  state.counters["update_over_numeric_evals"] =
      static_cast<double>(update_evals) / static_cast<double>(numeric_evals);
  state.counters["numeric_ms"] = numeric_ms;
  state.counters["update_ms"] = update_ms;
}
BENCHMARK(BM_NewtonCstrChain)->Arg(10)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
