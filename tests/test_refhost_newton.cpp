// SPDX-License-Identifier: BSD-3-Clause
// The reference host's Newton solver on small systems whose units write their own residuals and
// Jacobians straight into the lists.
#include <cmath>
#include <functional>
#include <vector>

#include "fixture.h"

using kvotest::KvoTest;

namespace {

// A unit that evaluates through two functions over the lists and counts its calls.
struct Unit : kvoref::SolverUnit {
  std::function<void(double*, const double*)> res;
  std::function<void(double*, const double*)> jac;
  kvoref::Lists l;
  int pre = 0, post = 0, pre_status = 0;
  // The residual and Jacobian passes that fail with status 2, 0 for none.
  int res_calls = 0, fail_res_call = 0, jac_calls = 0, fail_jac_call = 0;
  const char* name() const override { return "U1"; }
  void pre_solve(int& st) override { ++pre, st = pre_status; }
  void post_solve(int& st) override { ++post, st = 0; }
  void residuals(int& st) override {
    res(kvoeqnlst_vec_residual(l.eqnlst), kvovarlst_vec_value(l.varlst));
    st = ++res_calls == fail_res_call ? 2 : 0;
  }
  void jacobian(int& st) override {
    jac(kvojac_vec_bj(l.jac), kvovarlst_vec_value(l.varlst));
    st = ++jac_calls == fail_jac_call ? 2 : 0;
  }
};

}  // namespace

class Newton : public KvoTest {
 protected:
  // x^2 = 4, x*y = 6, solved from (1, 1): the root (2, 3).
  void SetUp() override {
    KvoTest::SetUp();
    u.l = kvoref::make_lists(3);
    kvoref::define_var(u.l.varlst, 1, "X", 1.0, -10, 10);
    kvoref::define_var(u.l.varlst, 2, "Y", 1.0, -10, 10);
    kvoref::define_eqn(u.l.eqnlst, 1, "SQUARE");
    kvoref::define_eqn(u.l.eqnlst, 2, "PRODUCT");
    kvoref::set_nz(u.l.jac, 1, 1, 1);
    kvoref::set_nz(u.l.jac, 2, 2, 1);
    kvoref::set_nz(u.l.jac, 3, 2, 2);
    u.res = [](double* f, const double* x) {
      f[0] = x[0] * x[0] - 4;
      f[1] = x[0] * x[1] - 6;
    };
    u.jac = [](double* bj, const double* x) {
      bj[0] = 2 * x[0];
      bj[1] = x[1];
      bj[2] = x[0];
    };
  }
  Unit u;
};

TEST_F(Newton, ConvergesQuadraticallyToTheRoot) {
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  ASSERT_TRUE(r.converged) << r.message;
  EXPECT_NEAR(kvovarlst_inq_var_value(u.l.varlst, 1, 0), 2.0, 1e-10);
  EXPECT_NEAR(kvovarlst_inq_var_value(u.l.varlst, 2, 0), 3.0, 1e-10);
  EXPECT_LE(r.iterations, 8);
  EXPECT_EQ(r.residual_calls, r.iterations + 1);
  EXPECT_EQ(r.jacobian_calls, r.iterations);
  EXPECT_EQ(u.pre, 1);
  EXPECT_EQ(u.post, 1);
}

TEST_F(Newton, FixedVariablesAreNotUnknowns) {
  kvoref::set_var_status(u.l.varlst, 1, kvoref::VAR_FIXED);
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.message, "the flowsheet has 1 free variables but 2 active equations");
  EXPECT_EQ(u.post, 1);
}

TEST_F(Newton, SingularJacobianIsReportedInWords) {
  u.jac = [](double* bj, const double*) { bj[0] = bj[1] = bj[2] = 0.0; };
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.message, "the Jacobian is singular (the linear system has no unique solution)");
}

TEST_F(Newton, ASingularJacobianAfterAWorseStepLeavesTheBestPoint) {
  // The first step makes the residuals larger; the Jacobian at the new point is singular. The
  // variables go back to the starting point, the best one seen, with its residuals.
  u.res = [](double* f, const double* x) {
    f[0] = 0.5 + 10 * (x[0] - 1) * (x[0] - 1);
    f[1] = 0.5 + 10 * (x[1] - 1) * (x[1] - 1);
  };
  int calls = 0;
  u.jac = [&calls](double* bj, const double*) {
    const double d = ++calls == 1 ? 1.0 : 0.0;
    bj[0] = d, bj[1] = 0.0, bj[2] = d;
  };
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  EXPECT_EQ(r.message, "the Jacobian is singular (the linear system has no unique solution)");
  EXPECT_EQ(r.iterations, 1);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 1, 0), 1.0);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 2, 0), 1.0);
  EXPECT_EQ(r.norm, 0.5);
  EXPECT_EQ(kvoeqnlst_vec_residual(u.l.eqnlst)[0], 0.5);
}

TEST_F(Newton, TheVariablesOnABoundAreThoseWhereTheSolveStoppedNotAtTheBestPoint) {
  // The first step is clipped onto X's lower bound 0, where the residual is larger and the
  // Jacobian singular: X goes back to 0.4, and the report names it as held on its bound.
  kvoref::define_var(u.l.varlst, 1, "X", 0.4, 0.0, 10.0);
  u.res = [](double* f, const double* x) {
    f[0] = 0.5 + 10 * (x[0] - 0.4) * (x[0] - 0.4);
    f[1] = x[1] - 1;
  };
  u.jac = [](double* bj, const double* x) {
    bj[0] = x[0] > 0 ? 1.0 : 0.0;
    bj[1] = 0.0;
    bj[2] = 1.0;
  };
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  EXPECT_TRUE(r.singular);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 1, 0), 0.4);
  EXPECT_EQ(r.at_lower, std::vector<int>{1});
  EXPECT_TRUE(r.at_upper.empty());
}

TEST_F(Newton, GivesUpAfterTheIterationLimitNamingTheWorstEquation) {
  kvoref::NewtonOptions o;
  o.max_iterations = 1;
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u}, o);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.message.rfind("no convergence after 1 iterations: largest residual ", 0), 0u)
      << r.message;
  EXPECT_NE(r.message.find("in equation"), std::string::npos);
}

TEST_F(Newton, FailedPreSolveStillPostSolvesWhatStarted) {
  u.pre_status = 3;
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  EXPECT_EQ(r.message, "the pre-solve of U1 failed with status 3");
  EXPECT_EQ(u.post, 1);
  EXPECT_EQ(r.residual_calls, 0);
}

TEST_F(Newton, StepLimitAndBoundsKeepVariablesInRange) {
  kvoref::define_var(u.l.varlst, 1, "X", 1.0, 0.5, 1.5);
  kvoref::NewtonOptions o;
  o.max_iterations = 3;
  kvoref::newton_solve(u.l, {&u}, o);
  double x = kvovarlst_inq_var_value(u.l.varlst, 1, 0);
  EXPECT_GE(x, 0.5);
  EXPECT_LE(x, 1.5);
}

TEST_F(Newton, ResidualThatIsNotANumberIsNeverConvergence) {
  u.res = [](double* f, const double*) {
    f[0] = std::nan("");
    f[1] = 0.0;
  };
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.message, "the residual of equation SQUARE is not a number");
}

TEST_F(Newton, StepThatIsNotANumberLeavesTheVariablesAlone) {
  u.jac = [](double* bj, const double*) {
    bj[0] = std::nan("");
    bj[1] = 1.0;
    bj[2] = 1.0;
  };
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 1, 0), 1.0);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 2, 0), 1.0);
}

TEST_F(Newton, AResidualOrJacobianThatFailsAfterAStepLeavesTheBestPoint) {
  // The first step reaches a point the unit cannot evaluate: the variables go back to the
  // starting point, and the norm reported is that point's, not the one before the failure.
  u.fail_res_call = 2;
  kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u});
  EXPECT_EQ(r.message, "the residual evaluation of U1 failed with status 2");
  EXPECT_EQ(r.iterations, 1);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 1, 0), 1.0);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 2, 0), 1.0);
  EXPECT_EQ(r.norm, 5.0);
  EXPECT_EQ(kvoeqnlst_vec_residual(u.l.eqnlst)[1], -5.0);
  EXPECT_EQ(u.post, 1);
  // A Jacobian that fails at a point worse than the start: back to the start as well.
  u.res = [](double* f, const double* x) {
    f[0] = 0.5 + 10 * (x[0] - 1) * (x[0] - 1);
    f[1] = 0.5 + 10 * (x[1] - 1) * (x[1] - 1);
  };
  u.jac = [](double* bj, const double*) { bj[0] = 1.0, bj[1] = 0.0, bj[2] = 1.0; };
  u.fail_res_call = 0;
  u.jac_calls = 0;
  u.fail_jac_call = 2;
  r = kvoref::newton_solve(u.l, {&u});
  EXPECT_EQ(r.message, "the Jacobian evaluation of U1 failed with status 2");
  EXPECT_EQ(r.iterations, 1);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 1, 0), 1.0);
  EXPECT_EQ(r.norm, 0.5);
  // A failure at the starting point leaves it as it was.
  u.res_calls = 0;
  u.fail_res_call = 1;
  r = kvoref::newton_solve(u.l, {&u});
  EXPECT_EQ(r.iterations, 0);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 1, 0), 1.0);
}

TEST_F(Newton, AToleranceOrStepLimitNoSolveCanUseIsRefusedBeforeAnyUnitRuns) {
  // A negative or NaN tolerance can never be met, so every iteration would be spent for a report
  // that blames the flowsheet; a step limit of 0 never moves, a NaN one never limits.
  for (double tol : {-1e-9, std::nan("")}) {
    kvoref::NewtonOptions o;
    o.tolerance = tol;
    const kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u}, o);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.message, "the tolerance must be a number of 0 or more");
  }
  for (double limit : {0.0, -0.5, std::nan("")}) {
    kvoref::NewtonOptions o;
    o.step_limit = limit;
    const kvoref::NewtonReport r = kvoref::newton_solve(u.l, {&u}, o);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.message, "the step limit must be a number above 0");
  }
  EXPECT_EQ(u.pre + u.res_calls, 0);
  EXPECT_EQ(kvovarlst_inq_var_value(u.l.varlst, 1, 0), 1.0);
  // A tolerance of 0 is a legal, strict request.
  kvoref::NewtonOptions o;
  o.tolerance = 0.0;
  EXPECT_TRUE(kvoref::newton_solve(u.l, {&u}, o).converged);
}
