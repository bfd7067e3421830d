// SPDX-License-Identifier: BSD-3-Clause
// The Fortran example: a two-stream mixer whose model is written in Fortran, driven as a
// flowsheet of one block. The program creates the block (the Fortran code names it through the
// library's Fortran entry points), dimensions it, registers it with a container, gives it three
// ports and places it, which runs the Fortran placement routine and its pattern. Then it checks
// the Fortran analytic Jacobian against numeric differencing, solves the mixer by Newton's method
// once with each of the two methods, and compares the product with the mixing rule.
//
// Usage: fortran_mixer     Exit status 0 when every step succeeded, 1 when one failed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "kvorefhost.h"
#include "mixer.h"

namespace {

// Feeds: 2 kg/s at 300 K and 3 kg/s at 350 K give 5 kg/s at 330 K.
constexpr double kFeed[4] = {2.0, 300.0, 3.0, 350.0};
constexpr double kAgreement = 1e-8;     // of the solution with the mixing rule
constexpr double kJacAgreement = 1e-5;  // of the analytic and numeric Jacobians, relative

bool fail(const char* what) {
  kvoprintf(kvHisDev, "!! fortran_mixer: %s\n", what);
  return false;
}

class MixerUnit : public kvoref::SolverUnit {
 public:
  explicit MixerUnit(int blk) : blk_(blk) {}
  const char* name() const override { return "MIX1"; }
  void pre_solve(int& status) override { kvoblk_pre_solve(blk_, &status); }
  void residuals(int& status) override { kvoblk_res(blk_, &status); }
  void jacobian(int& status) override { kvoblk_jac(blk_, &status); }
  void post_solve(int& status) override { kvoblk_post_solve(blk_, &status); }

 private:
  int blk_;
};

// Feeds fixed at their values, the product back at its starting guess.
void start(const kvoref::Lists& lists, int blk) {
  const int vs = kvoblk_inq_vstart(blk);
  for (int i = 0; i < 4; ++i) {
    kvovarlst_set_var_value(lists.varlst, vs + i, kFeed[i], 0);
    kvoref::set_var_status(lists.varlst, vs + i, kvoref::VAR_FIXED);
  }
  kvovarlst_set_var_value(lists.varlst, vs + MIX_F, 2.0, 0);
  kvovarlst_set_var_value(lists.varlst, vs + MIX_T, 300.0, 0);
}

// The block's Jacobian values by one method.
std::vector<double> jacobian(const kvoref::Lists& lists, int blk, int method, bool* ok) {
  std::vector<double> values;
  if (mixer_set_method(blk, method) != method) {
    *ok = fail("the Fortran code could not choose the derivative method");
    return values;
  }
  int status = 0;
  kvoblk_jac(blk, &status);
  if (status != 0) {
    *ok = fail("the Jacobian could not be evaluated");
    return values;
  }
  const double* bj = kvojac_vec_bj(lists.jac);
  const int last = std::min(kvoblk_inq_nzstop(blk), kvojac_inq_nnz(lists.jac));
  for (int k = std::max(kvoblk_inq_nzstart(blk), 1); bj && k <= last; ++k)
    values.push_back(bj[k - 1]);
  return values;
}

bool check_jacobian(const kvoref::Lists& lists, int blk) {
  bool ok = true;
  const std::vector<double> analytic = jacobian(lists, blk, KVOBLK_ANALYTIC, &ok);
  const std::vector<double> numeric = jacobian(lists, blk, KVOBLK_NUMERIC, &ok);
  if (!ok) return false;
  if (analytic.size() != 9 || numeric.size() != 9)
    return fail("the block does not hold 9 non-zeros");
  double worst = 0.0;
  for (size_t k = 0; k < analytic.size(); ++k) {
    const double d = std::fabs(analytic[k] - numeric[k]) / std::fmax(1.0, std::fabs(analytic[k]));
    worst = std::fmax(worst, d);
  }
  kvoprintf(kvHisDev,
            "Analytic Jacobian from Fortran against numeric differencing: %zu non-zeros, "
            "largest relative difference %.1e\n",
            analytic.size(), worst);
  return worst <= kJacAgreement || fail("the analytic Jacobian disagrees with the numeric one");
}

bool solve(const kvoref::Lists& lists, int blk, int method, const char* method_name) {
  start(lists, blk);
  if (mixer_set_method(blk, method) != method)
    return fail("the Fortran code could not choose the derivative method");
  MixerUnit unit(blk);
  const kvoref::NewtonReport r = kvoref::newton_solve(lists, {&unit});
  const int vs = kvoblk_inq_vstart(blk);
  const double flow = kvovarlst_inq_var_value(lists.varlst, vs + MIX_F, 0);
  const double temp = kvovarlst_inq_var_value(lists.varlst, vs + MIX_T, 0);
  kvoprintf(kvHisDev, "%-8s converged %s after %d iterations: product %.6f kg/s at %.6f K\n",
            method_name, r.converged ? "yes" : "no", r.iterations, flow, temp);
  if (!r.converged) return fail(r.message.c_str());
  const double want_flow = kFeed[0] + kFeed[2];
  const double want_temp = (kFeed[0] * kFeed[1] + kFeed[2] * kFeed[3]) / want_flow;
  if (!(std::fabs(flow - want_flow) <= kAgreement && std::fabs(temp - want_temp) <= kAgreement))
    return fail("the solution does not follow the mixing rule");
  return true;
}

bool run() {
  const int blk = mixer_create("MIX1");
  if (blk == 0) return fail("the mixer block could not be made");
  int nvar = 0, neqn = 0, nnz = 0, status = 0;
  kvoblk_dim(blk, &nvar, &neqn, &nnz, &status);
  kvoprintf(kvHisDev, "Mixer %s asks for %d variables, %d equations, %d non-zeros\n",
            kvoblk_blkid(blk), nvar, neqn, nnz);
  kvoref::Lists lists = kvoref::make_lists(nnz);
  auto* cntr = new kvoref::Container(lists);
  kvoblk_register_container(blk, cntr);
  for (const char* port : {"IN1", "IN2", "OUT"}) kvoblk_add_port(blk, new kvoref::Port(port));
  bool ok = status == 0 || fail("the mixer could not be dimensioned");
  if (ok) {
    kvoblk_ini(blk, 1, 1, 1, &status);
    ok = status == 0 || fail("the mixer could not be placed");
  }
  if (ok) {
    kvoprintf(kvHisDev, "Placed: variables %d..%d, equations %d..%d, non-zeros %d..%d\n",
              kvoblk_inq_vstart(blk), kvoblk_inq_vstop(blk), kvoblk_inq_estart(blk),
              kvoblk_inq_estop(blk), kvoblk_inq_nzstart(blk), kvoblk_inq_nzstop(blk));
    ok = mixer_ports_agree(blk);
    start(lists, blk);
    ok = check_jacobian(lists, blk) && ok;
    for (int method : {KVOBLK_ANALYTIC, KVOBLK_NUMERIC})
      ok = solve(lists, blk, method, kvoblk_name::deriv_type[method]) && ok;
    mixer_report(blk);
  }
  kvoblk_destroy(blk);
  delete cntr;
  return ok;
}

}  // namespace

int main() {
  const bool ok = run();
  kvoprintf(kvHisDev, ok ? "fortran_mixer: all steps succeeded\n" : "fortran_mixer: failed\n");
  return ok ? 0 : 1;
}
