// SPDX-License-Identifier: BSD-3-Clause
// Variable grouping, the last-iterate buffers, the numeric Jacobian's request loop, the base
// pre- and post-solve, and the identifier scanner.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <kvoblk/kvojac.h>
#include "cstr.h"
#include "toy_model.h"

using kvotest::KvoTest;
namespace W = kvoblk_word;

namespace {

int32_t& wordof(int b, int k) { return ib0[b + k]; }

// The shared toy model: the tests set its shape, the fixture places it.
kvotest::ToyModel& m = kvotest::toy;

class NumericJac : public kvotest::PlacedBlockTest {
 protected:
  void dense(int n) { m.dense(n); }
  void diagonal(int n) {
    std::vector<double> c;
    for (int e = 0; e < n; ++e) c.push_back(2.0 + e);
    m.diagonal(n, c);
  }

  // True when the refhost no longer knows grouping `handle`.
  bool grouping_released(int handle) {
    int voff = 0;
    U3VGRP_REPORT_BY_IDX(&handle, &voff);
    return his().find("Unknown grouping handle") != std::string::npos;
  }

  double value(int pos) { return kvovarlst_inq_var_value(lists.varlst, pos, 0); }
};

}  // namespace

// ---- Grouping ----------------------------------------------------------------------------------

TEST_F(NumericJac, PreSolveBuildsTheGroupingAndPostSolveReleasesIt) {
  dense(3);
  int b = place();
  int st = -1;
  kvoblk_pre_solve(b, &st);
  EXPECT_EQ(st, 0);
  const int handle = wordof(b, W::vgrp);
  EXPECT_NE(handle, 0);
  kvoblk_post_solve(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  EXPECT_TRUE(grouping_released(handle));
  EXPECT_EQ(err(), "");
}

TEST_F(NumericJac, NewGroupingReleasesTheOneItReplaces) {
  dense(3);
  int b = place();
  int st = -1;
  blk_compute_vgrp(b, 1, &st);
  const int first = wordof(b, W::vgrp);
  blk_compute_vgrp(b, 1, &st);
  EXPECT_EQ(st, 0);
  const int second = wordof(b, W::vgrp);
  EXPECT_NE(second, 0);
  EXPECT_NE(second, first);
  EXPECT_TRUE(grouping_released(first));
  EXPECT_FALSE(grouping_released(second));
}

TEST_F(NumericJac, BlockWithoutNonZerosGetsNoGrouping) {
  m.nvar = m.neq = 2;
  int b = place();
  int st = -1;
  blk_compute_vgrp(b, 1, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(m.res_calls, 0);
  EXPECT_EQ(his(), "");
}

TEST_F(NumericJac, GroupingReportAppearsFromLevelFive) {
  dense(2);
  int b = place();
  int st = -1;
  kvoblk_set_diag_level(b, 4);
  blk_compute_vgrp(b, 1, &st);
  EXPECT_EQ(his(), "");
  kvoblk_set_diag_level(b, 5);
  blk_compute_vgrp(b, 1, &st);
  const std::string head =
      "Variable grouping information for block: B1\n"
      "--------------------------------------------------\n";
  const std::string text = his();
  ASSERT_GT(text.size(), head.size());  // the service's own group lines follow
  EXPECT_EQ(text.substr(0, head.size()), head);
}

TEST_F(NumericJac, FailedGroupingKeepsTheOldOneAndPassesTheStatusOn) {
  dense(2);
  int b = place();
  int st = -1;
  blk_compute_vgrp(b, 1, &st);
  const int old = wordof(b, W::vgrp);
  his();
  // A non-zero pointing at a variable of no block: the service refuses the pattern.
  kvoref::set_nz(lists.jac, 2, 1, 9);
  blk_compute_vgrp(b, 1, &st);
  EXPECT_NE(st, 0);
  EXPECT_NE(his(), "");
  EXPECT_EQ(wordof(b, W::vgrp), old);
  EXPECT_FALSE(grouping_released(old));
}

TEST_F(NumericJac, NonZerosBeyondTheJacobianAreRefusedBeforeTheServiceSeesThem) {
  dense(2);
  int b = place();
  kvoblk_set_nzstop(b, 500);
  int st = -1;
  blk_compute_vgrp(b, 1, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  EXPECT_EQ(his(), "!! blk_compute_vgrp: Non-zeros 1 to 500 of block B1 are not in the Jacobian\n");
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! blk_compute_vgrp: Non-zeros 1 to 500 of block B1 are not in the Jacobian\n");
  // Range words so far apart that their count fits no word are not a block without non-zeros.
  kvoblk_set_nzstart(b, 0);
  kvoblk_set_nzstop(b, 2147483647);
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(),
            "!! blk_compute_vgrp: Non-zeros 0 to 2147483647 of block B1 are not in the Jacobian\n");
  EXPECT_EQ(m.res_calls, 0);
}

// ---- Last-iterate buffers
// ------------------------------------------------------------------------

TEST_F(NumericJac, LastIterateBuffersAreReplacedAndReleased) {
  dense(3);
  int b = place();
  double* x1 = blk_allocate_lastx(b);
  ASSERT_NE(x1, nullptr);
  for (int i = 0; i < 3; ++i) x1[i] = i;  // the whole buffer is writable
  double* x2 = blk_allocate_lastx(b);     // the first one is released (the leak check sees it)
  ASSERT_NE(x2, nullptr);
  EXPECT_NE(wordof(b, W::lastx), 0);
  double* f = blk_allocate_lastf(b);
  ASSERT_NE(f, nullptr);
  blk_destroy_lastx(b);
  blk_destroy_lastf(b);
  EXPECT_EQ(wordof(b, W::lastx), 0);
  EXPECT_EQ(wordof(b, W::lastf), 0);
  blk_destroy_lastx(b);  // nothing left: nothing happens
  EXPECT_EQ(his(), "");
}

TEST_F(NumericJac, EmptyRangeGetsNoBufferAndLosesTheOldOne) {
  dense(2);
  int b = place();
  ASSERT_NE(blk_allocate_lastx(b), nullptr);
  kvoblk_set_vstop(b, kvoblk_inq_vstart(b) - 1);
  EXPECT_EQ(blk_allocate_lastx(b), nullptr);
  EXPECT_EQ(wordof(b, W::lastx), 0);
  EXPECT_EQ(blk_allocate_lastx(0), nullptr);
  EXPECT_EQ(blk_allocate_lastf(0), nullptr);
}

// ---- Numeric Jacobian
// ----------------------------------------------------------------------------

TEST_F(NumericJac, OneGroupCostsTwoResidualEvaluations) {
  diagonal(4);
  m.power = 2;
  int b = place();
  int st = -1;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(m.res_calls, 2);
  for (int k = 1; k <= 4; ++k) {
    const double x = value(k);
    EXPECT_NEAR(bj(k), 2.0 * m.coef[k - 1] * x, 1e-5 * (1 + x)) << k;
  }
}

namespace {
// The toy's residuals, noting the grouping the block holds while its Jacobian is differenced.
int grouping_seen = 0;
void res_noting_grouping(int blk, int* status) {
  grouping_seen = ib0[blk + W::vgrp];
  kvotest::toy_res(blk, status);
}
}  // namespace

TEST_F(NumericJac, DenseBlockCostsOneEvaluationPerColumnPlusTheBase) {
  dense(3);
  int b = place(5, 7, 11);
  kvoblk_inq_ops(b)->res = res_noting_grouping;
  grouping_seen = 0;
  int st = -1;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(m.res_calls, 4);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(bj(11 + k), m.coef[k], 1e-6 * m.coef[k]) << k;
  // Made for this evaluation only: used while differencing, then released, not just forgotten.
  ASSERT_NE(grouping_seen, 0);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  EXPECT_TRUE(grouping_released(grouping_seen));
}

TEST_F(NumericJac, UsesTheGroupingOfThePreSolveAndKeepsIt) {
  dense(2);
  int b = place();
  int st = -1;
  kvoblk_pre_solve(b, &st);
  const int handle = wordof(b, W::vgrp);
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(wordof(b, W::vgrp), handle);
  EXPECT_FALSE(grouping_released(handle));
  kvoblk_post_solve(b, &st);
}

TEST_F(NumericJac, PatternEditedWithinASolveIsRefusedNotDifferencedByTheOldGrouping) {
  diagonal(2);
  m.power = 2;
  int b = place();
  int st = -1;
  kvoblk_pre_solve(b, &st);
  // Both non-zeros now in the first equation, the counts and columns unchanged: the variables
  // share a row, and perturbing them together as the old grouping does would mix their
  // derivatives.
  m.nz = {{0, 0}, {0, 1}};
  kvoref::set_nz(lists.jac, 2, 1, 2);
  his();
  blk_numeric_jac(b, &st);
  EXPECT_NE(st, 0);
  EXPECT_NE(his().find("Non-zero 2 is at equation 1 but the grouping has it at equation 2\n"),
            std::string::npos);
  kvoblk_post_solve(b, &st);
}

TEST_F(NumericJac, LeavesValuesAndBaseResidualsAsTheyWere) {
  dense(3);
  m.power = 2;
  int b = place();
  int st = -1;
  kvoblk_res(b, &st);
  std::vector<double> x0, r0;
  for (int v = 1; v <= 3; ++v) x0.push_back(value(v));
  for (int e = 1; e <= 3; ++e) r0.push_back(kvoeqnlst_inq_eqn_value(lists.eqnlst, e));
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 0);
  for (int v = 1; v <= 3; ++v) EXPECT_EQ(value(v), x0[v - 1]);
  for (int e = 1; e <= 3; ++e) EXPECT_EQ(kvoeqnlst_inq_eqn_value(lists.eqnlst, e), r0[e - 1]);
}

TEST_F(NumericJac, ResidualFailureStopsTheLoopWithItsStatusAndPutsValuesBack) {
  dense(3);
  int b = place();
  m.fail_at = 2;  // the first perturbed evaluation
  const double x1 = value(1);
  int st = -1;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 7);
  EXPECT_EQ(m.res_calls, 2);
  EXPECT_EQ(value(1), x1);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  // The next evaluation starts afresh.
  m.fail_at = 0;
  m.res_calls = 0;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(m.res_calls, 4);
}

namespace {

// Residuals sqrt(1 - x1) and x2: defined for x1 <= 1 only, so a step upwards from x1 = 1 leaves
// the model's domain.
void domain_res(int b, int* status) {
  const int varlst = blk_inq_matrix_varlst(b), eqnlst = blk_inq_matrix_eqnlst(b);
  double* r = kvoeqnlst_vec_residual(eqnlst);
  r[0] = std::sqrt(1.0 - kvovarlst_inq_var_value(varlst, 1, 0));
  r[1] = kvovarlst_inq_var_value(varlst, 2, 0);
  *status = 0;
}

}  // namespace

TEST_F(NumericJac, DerivativeThatIsNotAFiniteNumberIsNamedInAWarning) {
  diagonal(2);
  int b = place();
  kvoblk_inq_ops(b)->res = domain_res;
  kvovarlst_set_var_value(lists.varlst, 1, 1.0, 0);
  int st = -1;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_TRUE(std::isnan(bj(1)));
  EXPECT_EQ(his(),
            "\nWarning in numerical Jacobian for block B1: 1 derivative(s) not a finite number, "
            "the first of equation 1 (E1) with respect to variable 1 (X1). Jacobian may be "
            "wrong.\n");
  // Inside the domain nothing is said; below the warning level neither.
  kvovarlst_set_var_value(lists.varlst, 1, 0.5, 0);
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(), "");
  kvovarlst_set_var_value(lists.varlst, 1, 1.0, 0);
  kvoblk_set_diag_level(b, 3);
  blk_numeric_jac(b, &st);
  EXPECT_EQ(his(), "");
}

// A residual routine that, at its first perturbed evaluation, asks for its own block's Jacobian,
// ends the solve or destroys the block. The differencing under way must not be restarted, lose
// its grouping or read the released record, and the variables must come back.
namespace {
enum class Reentry { jac, post_solve, destroy, replace } reentry;
int inner_status = -1;
int replaced_by = 0;
void reentering_res(int b, int* status) {
  kvotest::toy_res(b, status);
  if (m.res_calls != 2) return;
  inner_status = -1;
  if (reentry == Reentry::jac) kvoblk_jac(b, &inner_status);
  if (reentry == Reentry::post_solve) kvoblk_post_solve(b, &inner_status);
  if (reentry == Reentry::destroy || reentry == Reentry::replace) kvoblk_destroy(b);
  if (reentry == Reentry::replace) replaced_by = kvoblk_base_create(0);
}
}  // namespace

TEST_F(NumericJac, ResidualRoutineThatReentersLeavesTheDifferencingWhole) {
  dense(3);
  m.power = 2;
  int b = place();
  int st = -1;
  blk_numeric_jac(b, &st);
  std::vector<double> expected;
  for (int k = 1; k <= 9; ++k) expected.push_back(bj(k));
  const std::vector<double> x0 = {value(1), value(2), value(3)};
  kvoblk_inq_ops(b)->res = reentering_res;
  for (Reentry r : {Reentry::jac, Reentry::post_solve}) {
    reentry = r;
    m.res_calls = 0;
    for (int k = 1; k <= 9; ++k) kvojac_set_nz_value(lists.jac, k, 0.0);
    kvoblk_pre_solve(b, &st);
    const int handle = wordof(b, W::vgrp);
    blk_numeric_jac(b, &st);
    EXPECT_EQ(st, 0);
    for (int k = 1; k <= 9; ++k) EXPECT_EQ(bj(k), expected[k - 1]) << k;
    EXPECT_EQ(std::vector<double>({value(1), value(2), value(3)}), x0);
    if (r == Reentry::jac) {
      EXPECT_EQ(inner_status, 1);
      EXPECT_EQ(his(),
                "!! blk_numeric_jac: The numeric Jacobian of block B1 is already being computed\n");
      kvoblk_post_solve(b, &st);
    }
    EXPECT_EQ(wordof(b, W::vgrp), 0);
    EXPECT_TRUE(grouping_released(handle));
  }
  reentry = Reentry::destroy;
  m.res_calls = 0;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! blk_numeric_jac: Block " + std::to_string(b) +
                       " was destroyed while its Jacobian was being computed\n");
  EXPECT_EQ(std::vector<double>({value(1), value(2), value(3)}), x0);
  blocks.clear();  // destroyed already
}

// The same when the routine also makes another block at the handle: the differencing ends as
// for a block that is gone, and the block there now gets none of its evaluations.
TEST_F(NumericJac, ResidualRoutineThatReplacesTheBlockEndsTheDifferencing) {
  dense(3);
  int b = place();
  const std::vector<double> x0 = {value(1), value(2), value(3)};
  kvoblk_inq_ops(b)->res = reentering_res;
  reentry = Reentry::replace;
  m.res_calls = 0;
  int st = -1;
  blk_numeric_jac(b, &st);
  ASSERT_EQ(replaced_by, b);  // the scene needs the handle taken again
  EXPECT_EQ(st, 1);
  EXPECT_EQ(m.res_calls, 2);
  EXPECT_EQ(his(), "!! blk_numeric_jac: Block " + std::to_string(b) +
                       " was destroyed while its Jacobian was being computed\n");
  EXPECT_EQ(std::vector<double>({value(1), value(2), value(3)}), x0);
}

// A residual routine that, at its first perturbed evaluation, makes the Jacobian shorter than
// the block's non-zeros: the quotients have nowhere to go. The differencing is refused with the
// values put back, and nothing is written past the Jacobian's end (entries dropped read 0 when
// it grows again).
namespace {
kv_jac_t shrunk_jac = 0;
void shrinking_res(int b, int* status) {
  kvotest::toy_res(b, status);
  if (m.res_calls == 2) kvoref::resize_jac(shrunk_jac, 2);
}
}  // namespace

TEST_F(NumericJac, ResidualRoutineThatShortensTheJacobianIsRefusedWithValuesPutBack) {
  dense(3);
  m.power = 2;
  int b = place();
  int st = -1;
  kvoblk_res(b, &st);
  const std::vector<double> x0 = {value(1), value(2), value(3)};
  const double r1 = kvoeqnlst_inq_eqn_value(lists.eqnlst, 1);
  shrunk_jac = lists.jac;
  kvoblk_inq_ops(b)->res = shrinking_res;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(m.res_calls, 2);
  EXPECT_EQ(his(), "!! blk_numeric_jac: Non-zeros 1 to 9 of block B1 are not in the Jacobian\n");
  EXPECT_EQ(std::vector<double>({value(1), value(2), value(3)}), x0);
  EXPECT_EQ(kvoeqnlst_inq_eqn_value(lists.eqnlst, 1), r1);
  kvoref::resize_jac(lists.jac, 9);
  for (int k = 3; k <= 9; ++k) EXPECT_EQ(bj(k), 0.0) << k;
}

TEST_F(NumericJac, BaseResidualFailureStopsAfterOneEvaluation) {
  dense(2);
  int b = place();
  m.fail_at = 1;
  int st = -1;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 7);
  EXPECT_EQ(m.res_calls, 1);
}

TEST_F(NumericJac, NoRoomForTheScalesIsStatusOneWithoutEvaluation) {
  dense(2);
  int b = place();
  int st = -1;
  kvoblk_pre_solve(b, &st);
  kvotest::fail_nothrow_new_after(1);
  blk_numeric_jac(b, &st);
  kvotest::fail_nothrow_new_after(0);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(m.res_calls, 0);
  EXPECT_EQ(his(), "!! blk_numeric_jac: Not enough memory to compute the Jacobian of block B1\n");
  EXPECT_NE(wordof(b, W::vgrp), 0);  // the solve's grouping stays
  kvoblk_post_solve(b, &st);
}

TEST_F(NumericJac, BlockOutsideItsListsIsRefused) {
  dense(2);
  int b = place();
  kvoblk_set_vstop(b, 50);  // the variable list holds 2
  int st = -1;
  blk_numeric_jac(b, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(m.res_calls, 0);
  EXPECT_EQ(his(), "!! blk_numeric_jac: Block B1 lies outside its variable or equation list\n");
}

TEST_F(NumericJac, HandleZeroDoesNothingAndABadHandleIsNamed) {
  int st = -1;
  blk_numeric_jac(0, &st);
  EXPECT_EQ(st, 0);
  blk_compute_vgrp(0, 1, &st);
  blk_destroy_vgrp(0);
  EXPECT_EQ(his(), "");
  blk_numeric_jac(12345, &st);
  EXPECT_EQ(his(), "!! blk_numeric_jac: Invalid block handle 12345\n");
}

// ---- Against the analytic Jacobian of the stirred-tank chain
// -------------------------------------

class NumericCstr : public KvoTest {};

TEST_F(NumericCstr, AgreesWithTheAnalyticJacobianToForwardDifferenceAccuracy) {
  for (int order : {1, 2}) {
    kvoref::Lists lists = kvoref::make_lists(200);
    kvoref::Container cntr(lists);
    CstrParams p;
    p.order = order;
    int b = cstr_create("R1", 6, p);
    ASSERT_NE(b, 0);
    kvoblk_base_register_container(b, &cntr);
    int st = -1;
    kvoblk_ini(b, 3, 2, 5, &st);
    ASSERT_EQ(st, 0);
    kvoblk_selfpat(b, &lists.jac, &st);
    ASSERT_EQ(st, 0);
    // Values away from the steady state, with a spread of sizes.
    for (int v = kvoblk_inq_vstart(b), i = 0; v <= kvoblk_inq_vstop(b); ++v, ++i)
      kvovarlst_set_var_value(lists.varlst, v, 0.3 + 0.7 * (i % 5) + 2.0 * (i % 3), 0);

    kvoblk_jac(b, &st);  // ANALYTIC
    ASSERT_EQ(st, 0);
    const int ns = kvoblk_inq_nzstart(b), ne = kvoblk_inq_nzstop(b);
    std::vector<double> analytic;
    for (int k = ns; k <= ne; ++k) {
      double a = 0.0;
      kvojac_inq_nz_value(lists.jac, k, &a);
      analytic.push_back(a);
      kvojac_set_nz_value(lists.jac, k, -999.0);
    }
    ASSERT_EQ(kvoblk_set_deriv_type(b, KVOBLK_NUMERIC), KVOBLK_NUMERIC);
    kvoblk_jac(b, &st);
    ASSERT_EQ(st, 0);
    for (int k = ns; k <= ne; ++k) {
      double n = 0.0;
      kvojac_inq_nz_value(lists.jac, k, &n);
      const double a = analytic[k - ns];
      // Forward differences with a relative step of 1e-6: error about step x curvature.
      EXPECT_NEAR(n, a, 2e-5 * (1.0 + std::fabs(a))) << "order " << order << " nz " << k;
    }
    kvoblk_destroy(b);
  }
  EXPECT_EQ(his(), "");
}

// ---- Base pre- and post-solve -------------------------------------------------------------------

TEST_F(NumericJac, PreSolveOfAnUpdateMethodMakesBuffersAndClearsIterated) {
  dense(3);
  int b = place();
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
  wordof(b, W::iterated) = 1;
  int st = -1;
  kvoblk_base_pre_solve(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_NE(wordof(b, W::lastx), 0);
  EXPECT_NE(wordof(b, W::lastf), 0);
  EXPECT_EQ(wordof(b, W::iterated), 0);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  // A second pre-solve replaces the buffers; the leak check sees the old ones released.
  kvoblk_base_pre_solve(b, &st);
  wordof(b, W::iterated) = 1;
  kvoblk_base_post_solve(b, &st);
  EXPECT_EQ(wordof(b, W::lastx), 0);
  EXPECT_EQ(wordof(b, W::lastf), 0);
  EXPECT_EQ(wordof(b, W::iterated), 0);
}

TEST_F(NumericJac, PostSolveReleasesWhatThePreSolveMadeAfterAMethodChange) {
  dense(3);
  int b = place();
  int st = -1;
  kvoblk_base_pre_solve(b, &st);  // NUMERIC: a grouping
  const int handle = wordof(b, W::vgrp);
  ASSERT_NE(handle, 0);
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
  wordof(b, W::iterated) = 1;
  kvoblk_base_post_solve(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  EXPECT_TRUE(grouping_released(handle));
  EXPECT_EQ(wordof(b, W::iterated), 0);

  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
  kvoblk_base_pre_solve(b, &st);  // buffers
  kvoblk_set_deriv_type(b, KVOBLK_NUMERIC);
  wordof(b, W::iterated) = 1;
  kvoblk_base_post_solve(b, &st);
  EXPECT_EQ(wordof(b, W::lastx), 0);
  EXPECT_EQ(wordof(b, W::lastf), 0);
  EXPECT_EQ(wordof(b, W::iterated), 1);  // reset only under an update method
}

TEST_F(NumericJac, ExcludedBlockPreparesNothingButStillReleases) {
  dense(3);
  int b = place();
  int st = -1;
  kvoblk_base_pre_solve(b, &st);
  const int handle = wordof(b, W::vgrp);
  kvoblk_set_included(b, 0);
  ASSERT_EQ(kvoblk_inq_included(b), 0);
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
  wordof(b, W::iterated) = 1;
  kvoblk_base_pre_solve(b, &st);
  EXPECT_EQ(wordof(b, W::lastx), 0);
  EXPECT_EQ(wordof(b, W::vgrp), handle);
  kvoblk_base_post_solve(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  EXPECT_TRUE(grouping_released(handle));
  EXPECT_EQ(wordof(b, W::iterated), 1);  // an excluded block's flag is left alone
}

TEST_F(NumericJac, GroupingFailureBecomesThePreSolveStatus) {
  dense(2);
  int b = place();
  kvoref::set_nz(lists.jac, 1, 1, 9);
  int st = 0;
  kvoblk_pre_solve(b, &st);
  EXPECT_NE(st, 0);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
  EXPECT_EQ(kvoblk_inq_eo_state(b), KVOBLK_SOLVING);
  kvoblk_base_pre_solve(0, &st);
  EXPECT_EQ(st, 0);
}

// ---- Identifier scanner -------------------------------------------------------------------------

namespace {
struct Scan {
  std::string token;
  int count;
  int pos;
};
Scan scan(const std::string& text, int pos, int toklen = 8) {
  std::string token(toklen, '#');
  int count = -1;
  KVOVARID_NEXT(text.data(), static_cast<int>(text.size()), &pos, &token[0], toklen, &count);
  return {token, count, pos};
}
}  // namespace

TEST(VaridNext, SplitsAnIdentifierAtFullStops) {
  Scan a = scan("B1.TEMP", 1);
  EXPECT_EQ(a.token, "B1      ");
  EXPECT_EQ(a.count, 2);
  EXPECT_EQ(a.pos, 4);
  Scan b = scan("B1.TEMP", 4);
  EXPECT_EQ(b.token, "TEMP    ");
  EXPECT_EQ(b.count, 4);
  EXPECT_EQ(b.pos, 9);
  Scan c = scan(".X", 1);
  EXPECT_EQ(c.token, "        ");
  EXPECT_EQ(c.count, 0);
  EXPECT_EQ(c.pos, 2);
}

TEST(VaridNext, StopsAtABlankAndCutsALongComponentToTheToken) {
  Scan a = scan("AB CD", 1);
  EXPECT_EQ(a.token, "AB      ");
  EXPECT_EQ(a.pos, 4);
  Scan b = scan("LONGNAME.X", 1, 4);
  EXPECT_EQ(b.token, "LONG");
  EXPECT_EQ(b.count, 8);
  EXPECT_EQ(b.pos, 10);
}

TEST(VaridNext, PositionOutsideTheTextGivesAnEmptyComponent) {
  for (int pos : {0, -3, 8, 100}) {
    Scan s = scan("B1.TEMP", pos);
    EXPECT_EQ(s.token, "        ") << pos;
    EXPECT_EQ(s.count, 0) << pos;
    EXPECT_EQ(s.pos, pos + 1) << pos;
  }
  Scan end = scan("B1", 2147483647);
  EXPECT_EQ(end.pos, 2147483647);
}
