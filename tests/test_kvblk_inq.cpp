// SPDX-License-Identifier: BSD-3-Clause
// The block inquiry that fills the block-information record, its optional statistics, and the
// one-line block report.
#include <cmath>
#include <cstring>
#include <string>

#include <kvoblk/kvojac.h>
#include "toy_model.h"

using kvotest::toy;

namespace {

void report_slot(int b, int* status) {
  *status = 5;  // the dispatcher leaves 0 whatever the routine says
  kvoblk_base_report(b);
}

// The toy with four variables and three equations placed from (2, 3, 4). Non-zeros,
// block-local (equation, variable): (1,1) (1,2) (2,2) (2,3) (3,4) (3,1) and one on equation 1
// and a variable of no block. With every variable at 1 the residuals are 1, 2 and 3.
class Inquiry : public kvotest::PlacedBlockTest {
 protected:
  Inquiry() { list_capacity = 50; }
  void SetUp() override {
    PlacedBlockTest::SetUp();
    toy.nvar = 4;
    toy.neq = 3;
    toy.nz = {{0, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 3}, {2, 0}, {0, 8}};
    toy.coef = {0.5, 0.5, 1.0, 1.0, 1.5, 1.5};
    toy.x_step = 0.0;
    b = place(2, 3, 4);
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->inq_attr = kvoblk_base_inq_attr;
    t->report = report_slot;
    // Variable 2 fixed, variable 3 connected (code 2), variable 4 connected (code 4) but only
    // in equation 3, which is inactive.
    kvoref::set_var_status(lists.varlst, 3, kvoref::VAR_FIXED);
    kvoref::set_var_status(lists.varlst, 4, 2 << kvoref::VAR_CONNECTED_SHIFT);
    kvoref::set_var_status(lists.varlst, 5, 4 << kvoref::VAR_CONNECTED_SHIFT);
    kvoref::set_eqn_status(lists.eqnlst, 5, 0);
    toy.res_calls = 0;
  }

  // The record as the block fills it for `mask`, every byte 0x5A beforehand.
  nux_blk_t inquire(int32_t mask) {
    nux_blk_t info;
    std::memset(&info, 0x5A, sizeof info);
    info.request = mask;
    kvoblk_base_inq_attr(b, &info);
    return info;
  }

  static int32_t untouched() {
    int32_t w;
    std::memset(&w, 0x5A, sizeof w);
    return w;
  }

  int b = 0;
};

}  // namespace

TEST_F(Inquiry, HandleZeroPrintsTheAssertionLineAndTouchesNothing) {
  nux_blk_t info;
  std::memset(&info, 0x5A, sizeof info);
  kvoblk_base_inq_attr(0, &info);
  const std::string line = err();
  const std::string head =
      "Assertion 'kvoblk_base_inq_attr: blkptr is 0' failed in source/kvoblk/kvblk:";
  EXPECT_EQ(line.substr(0, head.size()), head);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(info.vstart, untouched());
  kvoblk_base_inq_attr(b, nullptr);  // no record: nothing to fill
  EXPECT_EQ(his(), "");
}

TEST_F(Inquiry, FillsEveryAlwaysFieldAndLeavesRequestedOnesAlone) {
  nux_blk_t info = inquire(0);
  EXPECT_EQ(info.request, 0);
  EXPECT_EQ(info.block, nullptr);
  ASSERT_NE(info.model, nullptr);
  EXPECT_STREQ(info.model, "");
  EXPECT_STREQ(info.blkid, "B1");
  EXPECT_STREQ(info.type, "        ");
  EXPECT_EQ(std::string(info.subid), std::string(64, ' '));
  EXPECT_EQ(info.included, 1);
  for (int32_t w : info.reserved100) EXPECT_EQ(w, 0);
  EXPECT_EQ(info.vstart, 2);
  EXPECT_EQ(info.vstop, 5);
  EXPECT_EQ(info.estart, 3);
  EXPECT_EQ(info.estop, 5);
  EXPECT_EQ(info.nzstart, 4);
  EXPECT_EQ(info.nzstop, 10);
  EXPECT_EQ(info.nvar, 4);
  EXPECT_EQ(info.neqn, 3);
  EXPECT_EQ(info.nnz, 7);
  EXPECT_EQ(info.nnz_free, 0);
  for (int32_t w : info.reserved168) EXPECT_EQ(w, 0);
  EXPECT_EQ(info.reserved196, 0);
  EXPECT_EQ(info.reserved232, 0);
  EXPECT_EQ(info.deriv_type, KVOBLK_NUMERIC);
  EXPECT_EQ(info.pertsize, 1e-6);
  EXPECT_EQ(info.nlratiodev, 0.01);
  // Filled only on request, or never.
  EXPECT_EQ(info.unused95, 0x5A);
  EXPECT_EQ(info.unused212, untouched());
  EXPECT_EQ(info.nvar_active, untouched());
  EXPECT_EQ(info.nvar_fixed, untouched());
  EXPECT_EQ(info.neqn_active, untouched());
  EXPECT_EQ(info.nconn2, untouched());
  int32_t norm_word;
  std::memcpy(&norm_word, &info.resnorm, sizeof norm_word);
  EXPECT_EQ(norm_word, untouched());
  EXPECT_EQ(toy.res_calls, 0);
}

TEST_F(Inquiry, BlockIdIsCutToEightCharactersAndAMissingOneIsEmpty) {
  kvoblk_set_blkid(b, "ABCDEFGHIJK");
  EXPECT_STREQ(inquire(0).blkid, "ABCDEFGH");
  kvoblk_set_blkid(b, nullptr);
  EXPECT_STREQ(inquire(0).blkid, "");
}

TEST_F(Inquiry, StatisticsCountVariablesOfActiveNonZeros) {
  for (int32_t mask : {1, 64, 128, 256, 512}) {
    nux_blk_t info = inquire(mask);
    EXPECT_EQ(info.nvar_active, 3) << mask;  // variables 1, 2 and 3; 4 only in equation 3
    EXPECT_EQ(info.nvar_fixed, 1) << mask;
    EXPECT_EQ(info.nconn2, 1) << mask;
    EXPECT_EQ(info.nconn3, 0) << mask;
    EXPECT_EQ(info.nconn4, 0) << mask;
    // Active non-zeros on free variables, the one outside the block included.
    EXPECT_EQ(info.nnz_free, 3) << mask;
    EXPECT_EQ(info.neqn_active, untouched()) << mask;
  }
}

// Codes 3 and 4 each have their own word; variable 1 is in an active equation.
TEST_F(Inquiry, ConnectionCodesThreeAndFourAreCountedInTheirOwnWords) {
  kvoref::set_var_status(lists.varlst, 2, 3 << kvoref::VAR_CONNECTED_SHIFT);
  nux_blk_t info = inquire(1);
  EXPECT_EQ(info.nconn2, 1);
  EXPECT_EQ(info.nconn3, 1);
  EXPECT_EQ(info.nconn4, 0);
  kvoref::set_var_status(lists.varlst, 2, 4 << kvoref::VAR_CONNECTED_SHIFT);
  info = inquire(1);
  EXPECT_EQ(info.nconn2, 1);
  EXPECT_EQ(info.nconn3, 0);
  EXPECT_EQ(info.nconn4, 1);
}

TEST_F(Inquiry, FreeNonZerosCanBeAskedForWithoutTheStatistics) {
  nux_blk_t info = inquire(NUX_BLK_REQ_FREE_NZS);
  EXPECT_EQ(info.nnz_free, 3);
  EXPECT_EQ(info.nvar_active, untouched());
}

TEST_F(Inquiry, ActiveEquationsAndResidualNormOnRequest) {
  nux_blk_t info = inquire(NUX_BLK_REQ_ACTIVE_EQNS);
  EXPECT_EQ(info.neqn_active, 2);
  EXPECT_EQ(toy.res_calls, 0);
  info = inquire(NUX_BLK_REQ_NORM);
  EXPECT_EQ(toy.res_calls, 1);
  EXPECT_DOUBLE_EQ(info.resnorm, std::sqrt(14.0));
  EXPECT_EQ(info.neqn_active, untouched());
}

// A residual routine that destroys its block and makes another at the freed handle: the
// inquiry ends with the block it was asked about, filling nothing from the other one.
namespace {
int replaced_by = 0;
void replacing_res(int blkptr, int* status) {
  *status = 0;
  kvoblk_destroy(blkptr);
  replaced_by = kvoblk_base_create(0);
}
}  // namespace

TEST_F(Inquiry, ResidualRoutineThatReplacesTheBlockEndsTheInquiry) {
  kvoblk_inq_ops(b)->res = replacing_res;
  const nux_blk_t info = inquire(NUX_BLK_REQ_NORM);
  ASSERT_EQ(replaced_by, b);  // the scene needs the handle taken again
  EXPECT_EQ(info.nvar, 4);
  int32_t norm_word;
  std::memcpy(&norm_word, &info.resnorm, sizeof norm_word);
  EXPECT_EQ(norm_word, untouched());
  EXPECT_EQ(info.deriv_type, untouched());
  EXPECT_EQ(his(), "");
}

TEST_F(Inquiry, BlockWithoutVariablesCountsFreeNonZerosOnlyForBitEight) {
  kvoblk_set_vstop(b, 1);
  nux_blk_t info = inquire(1);
  EXPECT_EQ(info.nvar, 0);
  EXPECT_EQ(info.nvar_active, 0);
  EXPECT_EQ(info.nnz_free, 0);
  info = inquire(1 | NUX_BLK_REQ_FREE_NZS);
  EXPECT_EQ(info.nvar_active, 0);
  EXPECT_EQ(info.nnz_free, 3);
}

// Last positions a model set to the largest int: the counts walk what the Jacobian and the
// equation list hold and end.
TEST_F(Inquiry, StopsAtTheLargestIntCountOnlyWhatTheListsHold) {
  kvoblk_set_nzstop(b, 2147483647);
  kvoblk_set_estop(b, 2147483647);
  nux_blk_t info = inquire(NUX_BLK_REQ_FREE_NZS | NUX_BLK_REQ_ACTIVE_EQNS);
  EXPECT_EQ(info.nnz_free, 3);
  EXPECT_EQ(info.neqn_active, 2);
}

TEST_F(Inquiry, StatisticsOfARangeToTheLargestIntCountWhatTheListHolds) {
  kvoblk_set_vstop(b, kvovarlst_inq_nvar(lists.varlst));
  const nux_blk_t within = inquire(1);
  kvoblk_set_vstop(b, 2147483647);
  const nux_blk_t beyond = inquire(1);
  EXPECT_EQ(beyond.nvar, 2147483646);
  EXPECT_GT(within.nvar_active, 0);
  EXPECT_EQ(beyond.nvar_active, within.nvar_active);
  EXPECT_EQ(beyond.nvar_fixed, within.nvar_fixed);
  EXPECT_EQ(beyond.nconn2, within.nconn2);
  EXPECT_EQ(beyond.nconn4, within.nconn4);
}

TEST_F(Inquiry, NoRoomForTheIncidenceCountsLeavesStatisticsZero) {
  kvotest::fail_nothrow_new_after(1);
  nux_blk_t info = inquire(1);
  kvotest::fail_nothrow_new_after(0);
  EXPECT_EQ(info.nvar_active, 0);
  EXPECT_EQ(info.nvar_fixed, 0);
  EXPECT_EQ(info.nvar, 4);
  // The free non-zeros asked for with the statistics need no counters: they are counted still.
  EXPECT_EQ(info.nnz_free, 3);
}

// ---- Report
// --------------------------------------------------------------------------------------

TEST_F(Inquiry, ReportShowsTheIdRightAlignedAndBlankTypeAndSubid) {
  int st = -1;
  kvoblk_report(b, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(rep(), "BLOCK:       B1 TYPE:          SUBID: " + std::string(64, ' ') + "\n");
  EXPECT_EQ(his(), "");
  kvoblk_base_report(0);
  EXPECT_EQ(rep(), "");
}

namespace {
void silent_inq_attr(int, nux_blk_t*) {}
}  // namespace

TEST_F(Inquiry, ReportOfAModelWhoseInquiryWritesNoTextsPrintsBlankFields) {
  kvoblk_inq_ops(b)->inq_attr = silent_inq_attr;
  kvoblk_base_report(b);
  EXPECT_EQ(rep(), "BLOCK:          TYPE:          SUBID: " + std::string(64, ' ') + "\n");
  kvoblk_inq_ops(b)->inq_attr = nullptr;
  kvoblk_base_report(b);
  EXPECT_EQ(his(), "!! kvoblk_inq_attr: Attempt to call an undefined function\n");
  EXPECT_EQ(rep(), "BLOCK:          TYPE:          SUBID: " + std::string(64, ' ') + "\n");
}
