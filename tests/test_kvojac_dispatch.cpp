// SPDX-License-Identifier: BSD-3-Clause
// The Jacobian dispatchers: the method in force, the fall-back of the update methods, the
// recording of the last iterate, group requests and the guards.
#include <string>

#include <kvoblk/kvojac.h>
#include "toy_model.h"

using kvotest::KvoTest;
namespace W = kvoblk_word;

namespace {

int32_t& wordof(int b, int k) { return ib0[b + k]; }

// The shared toy model as one equation r = x^2 in one variable, with its analytic Jacobian;
// it counts its calls.
kvotest::ToyModel& m = kvotest::toy;

class JacDispatch : public kvotest::PlacedBlockTest {
 protected:
  void SetUp() override {
    PlacedBlockTest::SetUp();
    kvoref::set_absolute_base(lists.eqnlst, 100);
    m.diagonal(1);
    m.power = 2;
    b = place(1, 1, 1, true);  // analytic support on, so every method is accepted
  }

  void set_x(double x) {
    kvovarlst_set_var_value(lists.varlst, 1, x, 0);
    int st = 0;
    kvoblk_res(b, &st);  // the host evaluates the residuals before asking for the Jacobian
  }
  double bj() { return PlacedBlockTest::bj(1); }
  int jac() {
    int st = 99;
    kvoblk_jac(b, &st);
    return st;
  }
  // History text of a numeric fall-back at level 5 or more: the fall-back's own line, then the
  // report of the grouping made for that one evaluation, whose group lines are the numeric
  // service's. Answers the text before the report.
  std::string his_with_grouping() {
    const std::string text = his();
    const std::string report =
        "Variable grouping information for block: B1\n"
        "--------------------------------------------------\n";
    const size_t at = text.find(report);
    EXPECT_NE(at, std::string::npos) << text;
    return at == std::string::npos ? text : text.substr(0, at);
  }
  void solve_with(int method) {
    ASSERT_EQ(kvoblk_set_deriv_type(b, method), method);
    int st = -1;
    kvoblk_pre_solve(b, &st);
    ASSERT_EQ(st, 0);
  }

  int b = 0;
};

const char* const kNotIterated =
    "\nSchubert update not used for block B1 because it has not iterated. Using alternate "
    "jacobian method.\n";

}  // namespace

// ---- Guards ------------------------------------------------------------------------------------

TEST_F(JacDispatch, HandleZeroIsStatusOneAndABadHandleIsNamed) {
  int st = 0;
  kvoblk_jac(0, &st);
  EXPECT_EQ(st, 1);
  st = 0;
  kvoblk_group_jac(0, 0, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "");
  kvoblk_jac(b + 1, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! kvoblk_jac: Invalid block handle " + std::to_string(b + 1) + "\n");
  kvoblk_jac(b, nullptr);  // no status word: still evaluated
  EXPECT_EQ(m.selfjac_calls, 1);
}

TEST_F(JacDispatch, ExcludedBlockEvaluatesAndRecordsNothing) {
  solve_with(KVOBLK_UPDATE_NUMERIC);
  const int lastx = wordof(b, W::lastx);
  kvoblk_set_included(b, 0);
  m.res_calls = m.selfjac_calls = 0;
  EXPECT_EQ(jac(), 0);
  int st = 99;
  kvoblk_group_jac(b, 0, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(m.res_calls + m.selfjac_calls, 0);
  EXPECT_EQ(wordof(b, W::iterated), 0);
  EXPECT_EQ(wordof(b, W::lastx), lastx);
  EXPECT_EQ(his(), "");
  // Nor does it overwrite the point an earlier evaluation recorded: the next update is still
  // the secant from x = 1, not from the point the excluded request saw.
  kvoblk_set_included(b, 1);
  set_x(1.0);
  EXPECT_EQ(jac(), 0);
  kvoblk_set_included(b, 0);
  set_x(5.0);
  EXPECT_EQ(jac(), 0);
  kvoblk_set_included(b, 1);
  set_x(2.0);
  EXPECT_EQ(jac(), 0);
  EXPECT_NEAR(bj(), 3.0, 1e-9);
}

TEST_F(JacDispatch, MethodOutsideOneToFourIsAnInternalError) {
  for (int method : {0, 5, -1}) {
    kvoblk_inq_settings(b)->deriv_type = method;
    EXPECT_EQ(jac(), 1);
    EXPECT_EQ(his(), "!! kvoblk_jac: Internal error (Unknown method).\n");
    int st = 0;
    kvoblk_group_jac(b, 3, &st);
    EXPECT_EQ(st, 1);
    EXPECT_EQ(his(), "!! kvoblk_group_jac: Internal error (Unknown method).\n");
  }
  EXPECT_EQ(m.res_calls + m.selfjac_calls, 0);
  EXPECT_EQ(wordof(b, W::iterated), 0);
}

// ---- Analytic and numeric
// ------------------------------------------------------------------------

TEST_F(JacDispatch, AnalyticRunsTheModelRoutine) {
  set_x(3.0);
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(m.selfjac_calls, 1);
  EXPECT_EQ(bj(), 6.0);
  EXPECT_EQ(wordof(b, W::iterated), 0);
  // Called directly, the model's routine runs also for an excluded block.
  kvoblk_set_included(b, 0);
  int st = 99;
  kvoblk_selfjac(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(m.selfjac_calls, 2);
}

TEST_F(JacDispatch, AnalyticOnAJacobianShorterThanTheBlockIsRefusedWithoutRunningTheModel) {
  set_x(3.0);
  kvoref::resize_jac(lists.jac, 0);  // the block's non-zero 1 is no longer held
  EXPECT_EQ(jac(), 1);
  EXPECT_EQ(his(), "!! kvoblk_jac: Non-zeros 1 to 1 of block B1 are not in the Jacobian\n");
  int st = 99;
  kvoblk_group_jac(b, 101, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! kvoblk_group_jac: Non-zeros 1 to 1 of block B1 are not in the Jacobian\n");
  // The fall-back of the analytic update method is guarded alike.
  solve_with(KVOBLK_UPDATE_ANALYTIC);
  EXPECT_EQ(jac(), 1);
  EXPECT_EQ(his(), "!! kvoblk_jac: Non-zeros 1 to 1 of block B1 are not in the Jacobian\n");
  EXPECT_EQ(m.selfjac_calls, 0);
  kvoref::resize_jac(lists.jac, 1);
  ASSERT_EQ(kvoblk_set_deriv_type(b, KVOBLK_ANALYTIC), KVOBLK_ANALYTIC);
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(m.selfjac_calls, 1);
}

TEST_F(JacDispatch, AnalyticGroupRequestGoesThroughTheGroupRoutineAndItsRangeCheck) {
  int st = 99;
  kvoblk_group_jac(b, 101, &st);  // the block's only equation has absolute index 101
  EXPECT_EQ(st, 0);
  EXPECT_EQ(m.selfjac_calls, 1);
  kvoblk_group_jac(b, 102, &st);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(m.selfjac_calls, 1);
  EXPECT_EQ(his(),
            "!! kvoblk_group_selfjac: Illegal equation group 102 specified in block B1, (valid "
            "range is 101 to 101)\n");
  kvoblk_group_jac(b, 100, &st);  // below the block's first equation as well
  EXPECT_EQ(st, 1);
  EXPECT_EQ(m.selfjac_calls, 1);
  EXPECT_EQ(his(),
            "!! kvoblk_group_selfjac: Illegal equation group 100 specified in block B1, (valid "
            "range is 101 to 101)\n");
}

TEST_F(JacDispatch, GroupRangeReachesEquationsPastTheEndOfTheList) {
  // The block's stop names positions the equation list does not hold (yet): their absolute
  // indices are still their own, so the block's last group is not refused.
  kvoblk_set_estop(b, 3);
  int st = 99;
  kvoblk_group_jac(b, 103, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(m.selfjac_calls, 1);
  EXPECT_EQ(his(), "");
}

namespace {
int group_routine_calls = 0, group_routine_group = 0;
void group_routine(int, int group, int* status) {
  ++group_routine_calls;
  group_routine_group = group;
  *status = 0;
}
}  // namespace

TEST_F(JacDispatch, GroupRoutineServesNamedGroupsOnlyAndEmptySlotsReportThemselves) {
  group_routine_calls = 0;
  kvoblk_inq_ops(b)->group_selfjac = group_routine;
  int st = 99;
  kvoblk_group_jac(b, 0, &st);  // the whole block: the block's own routine
  EXPECT_EQ(m.selfjac_calls, 1);
  EXPECT_EQ(group_routine_calls, 0);
  kvoblk_group_jac(b, 500, &st);  // the model's group routine judges its groups itself
  EXPECT_EQ(st, 0);
  EXPECT_EQ(group_routine_calls, 1);
  EXPECT_EQ(group_routine_group, 500);
  EXPECT_EQ(m.selfjac_calls, 1);
  EXPECT_EQ(his(), "");

  kvoblk_inq_ops(b)->selfjac = nullptr;
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(his(), "!! kvoblk_selfjac: Attempt to call an undefined function\n");
  // The whole block has no routine although a group routine is there: said, not passed off
  // as evaluated, and the group routine is not handed group 0.
  st = 99;
  kvoblk_group_jac(b, 0, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(), "!! kvoblk_group_selfjac: Attempt to call an undefined function\n");
  EXPECT_EQ(group_routine_calls, 1);
  kvoblk_set_nlratio(b, 1.5);
  kvoblk_inq_ops(b)->nlratio = nullptr;
  kvoblk_nlratio(b);
  EXPECT_EQ(his(), "!! kvoblk_nlratio: Attempt to call an undefined function\n");
  EXPECT_EQ(kvoblk_inq_nlratio(b), 1.5);
}

TEST_F(JacDispatch, NumericGroupRequestWarnsForAGroupAndEvaluatesTheWholeBlock) {
  kvoblk_set_deriv_type(b, KVOBLK_NUMERIC);
  set_x(2.0);
  m.res_calls = m.selfjac_calls = 0;
  int st = 99;
  kvoblk_group_jac(b, 0, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(m.res_calls, 2);
  EXPECT_NEAR(bj(), 4.0, 1e-5);
  kvojac_set_nz_value(lists.jac, 1, 0.0);
  kvoblk_group_jac(b, 7, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(),
            "!! kvoblk_group_jac: Warning: non-analytic jacobian evaluation requested for "
            "equation group 7 in block B1\nperformance will be less than optimal\n");
  EXPECT_NEAR(bj(), 4.0, 1e-5);
  EXPECT_EQ(m.selfjac_calls, 0);
}

// ---- Update methods
// ------------------------------------------------------------------------------

TEST_F(JacDispatch, UpdateNumericFirstDifferencesThenAppliesTheSecantUpdate) {
  kvoblk_set_diag_level(b, 5);
  solve_with(KVOBLK_UPDATE_NUMERIC);
  set_x(1.0);
  m.res_calls = m.selfjac_calls = 0;
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(his_with_grouping(), kNotIterated);
  EXPECT_EQ(m.res_calls, 2);  // numeric: base point and one group
  EXPECT_NEAR(bj(), 2.0, 1e-5);
  EXPECT_EQ(wordof(b, W::iterated), 1);

  set_x(2.0);
  m.res_calls = m.selfjac_calls = 0;
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(m.res_calls, 1);     // the update's own evaluation at the current point
  EXPECT_NEAR(bj(), 3.0, 1e-9);  // the secant slope of x^2 between 1 and 2

  set_x(4.0);
  EXPECT_EQ(jac(), 0);
  EXPECT_NEAR(bj(), 6.0, 1e-9);  // against the point the previous update recorded
  int st = -1;
  kvoblk_post_solve(b, &st);
  EXPECT_EQ(wordof(b, W::iterated), 0);
  EXPECT_EQ(wordof(b, W::lastx), 0);
}

TEST_F(JacDispatch, RatioTooFarFromOneKeepsEveryEvaluationNumeric) {
  kvoblk_set_diag_level(b, 5);
  kvoblk_set_nlratio(b, 1.05);
  solve_with(KVOBLK_UPDATE_NUMERIC);
  set_x(1.0);
  jac();
  EXPECT_EQ(his_with_grouping(), kNotIterated);
  set_x(2.0);
  m.res_calls = m.selfjac_calls = 0;
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(his_with_grouping(),
            "\nSchubert update not used for block B1 because it has a too large Nonlin. ratio "
            "deviation. Using alternate jacobian method.\n");
  EXPECT_EQ(m.res_calls, 2);
  EXPECT_NEAR(bj(), 4.0, 1e-5);

  kvoblk_set_nlratio(b, 1.005);
  set_x(3.0);
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(his(), "");
  EXPECT_NEAR(bj(), 5.0, 1e-5);  // secant between 2 and 3
}

TEST_F(JacDispatch, OutsideASolveTheUpdateFallsBackEvenWhenIterated) {
  kvoblk_set_diag_level(b, 5);
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
  blk_allocate_lastx(b);
  blk_allocate_lastf(b);
  wordof(b, W::iterated) = 1;
  set_x(3.0);
  m.res_calls = m.selfjac_calls = 0;
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(his_with_grouping(),
            "\nSchubert update not used for block B1 because it is not being solved. Using "
            "alternate jacobian method.\n");
  EXPECT_EQ(m.res_calls, 2);
  EXPECT_NEAR(bj(), 6.0, 1e-5);
}

TEST_F(JacDispatch, UpdateAnalyticFallsBackToTheModelRoutine) {
  solve_with(KVOBLK_UPDATE_ANALYTIC);
  set_x(1.0);
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(m.selfjac_calls, 1);
  EXPECT_EQ(bj(), 2.0);
  EXPECT_EQ(wordof(b, W::iterated), 1);
  set_x(2.0);
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(m.selfjac_calls, 1);
  EXPECT_EQ(bj(), 3.0);
  // A group request under an update method is a whole-block update, with the warning.
  set_x(4.0);
  int st = 99;
  kvoblk_group_jac(b, 101, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(bj(), 6.0);
  EXPECT_EQ(his(),
            "!! kvoblk_group_jac: Warning: non-analytic jacobian evaluation requested for "
            "equation group 101 in block B1\nperformance will be less than optimal\n");
}

TEST_F(JacDispatch, GroupFallBackOfUpdateAnalyticChecksTheGroupAndStillRecordsThePoint) {
  solve_with(KVOBLK_UPDATE_ANALYTIC);
  set_x(1.0);
  int st = 99;
  kvoblk_group_jac(b, 102, &st);  // not iterated: the group's analytic Jacobian, refused
  EXPECT_EQ(st, 1);
  EXPECT_EQ(m.selfjac_calls, 0);
  EXPECT_EQ(his(),
            "!! kvoblk_group_selfjac: Illegal equation group 102 specified in block B1, (valid "
            "range is 101 to 101)\n");
  EXPECT_EQ(wordof(b, W::iterated), 1);
  set_x(2.0);
  EXPECT_EQ(jac(), 0);
  EXPECT_EQ(m.selfjac_calls, 0);
  EXPECT_EQ(bj(), 3.0);  // 0 corrected by the secant from the point recorded at x = 1
}

TEST_F(JacDispatch, SkippedRowsComeBackAsANegativeStatusAndStillRecordThePoint) {
  solve_with(KVOBLK_UPDATE_NUMERIC);
  set_x(1.0);
  jac();
  EXPECT_EQ(jac(), -1);  // nothing moved: the only row fails the NORM test
  EXPECT_EQ(wordof(b, W::iterated), 1);
}

// An evaluation whose model routine destroys the block and makes another at its handle records
// no point: the block there now has not iterated.
namespace {
int replacement = 0;
void replacing_selfjac(int blk, int* status) {
  *status = 0;
  kvoblk_destroy(blk);
  replacement = kvoblk_base_create(0);
}
}  // namespace

TEST_F(JacDispatch, RoutineThatReplacesTheBlockLeavesTheNewBlockNotIterated) {
  solve_with(KVOBLK_UPDATE_ANALYTIC);
  set_x(1.0);
  kvoblk_inq_ops(b)->selfjac = replacing_selfjac;
  EXPECT_EQ(jac(), 0);
  ASSERT_EQ(replacement, b);  // the scene needs the handle taken again
  EXPECT_EQ(wordof(b, W::iterated), 0);
}

TEST_F(JacDispatch, UpdateMethodChosenAfterThePreSolveFindsNoLastIterate) {
  solve_with(KVOBLK_NUMERIC);
  ASSERT_NE(wordof(b, W::vgrp), 0);
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
  set_x(1.0);
  EXPECT_EQ(jac(), 0);  // not iterated: numeric, on the solve's grouping
  EXPECT_EQ(wordof(b, W::iterated), 1);
  set_x(2.0);
  EXPECT_EQ(jac(), 1);
  EXPECT_EQ(his(), "\nError in Schubert update.Could not find last iterate for block B1\n");
  int st = -1;
  kvoblk_post_solve(b, &st);
  EXPECT_EQ(wordof(b, W::vgrp), 0);
}
