// SPDX-License-Identifier: BSD-3-Clause
// The stirred-tank chain model: creation and its refusals, placement in the lists with each way
// of getting the pattern, port binding, residuals at the closed-form steady state, the analytic
// Jacobian against finite differences on the model's own pattern and on a reordered one, the
// call counters, a Newton solve with every derivative method, and the scripts it offers.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cstr.h"
#include "fixture.h"

namespace {

using Entry = std::pair<int, int>;  // equation and variable number of a non-zero

class CstrTest : public kvotest::KvoTest {
 protected:
  void TearDown() override {
    for (int b : blocks_) kvoblk_destroy(b);
    blocks_.clear();
    cntr_.reset();
    KvoTest::TearDown();
  }

  // Fresh lists and a container over them with the given global offsets.
  void make_lists(int nz_capacity, int var_offset = 0, int eqn_offset = 0) {
    lists_ = kvoref::make_lists(nz_capacity);
    cntr_ = std::make_unique<kvoref::Container>(lists_, var_offset, eqn_offset, 0);
  }

  // Creates a block, registers it with the container and places it at the given starts.
  int place(int ntanks, const CstrParams& p, int vstart = 1, int estart = 1, int nzstart = 1,
            const char* id = "R1") {
    int blk = cstr_create(id, ntanks, p);
    EXPECT_NE(blk, 0);
    blocks_.push_back(blk);
    kvoblk_base_register_container(blk, cntr_.get());
    int status = -1;
    kvoblk_ini(blk, vstart, estart, nzstart, &status);
    EXPECT_EQ(status, 0);
    return blk;
  }

  // Creates a block that gets its pattern the given way (and from `file` for RESTORE),
  // registers it and places it at 1, 1, 1; answers the block and the placement status.
  std::pair<int, int> place_with(int pat_ini, int ntanks, const CstrParams& p,
                                 const std::string& file = "") {
    int blk = cstr_create("R1", ntanks, p);
    EXPECT_NE(blk, 0);
    blocks_.push_back(blk);
    EXPECT_EQ(kvoblk_set_pat_ini_type(blk, pat_ini), pat_ini);
    if (!file.empty()) kvoblk_set_pat_file(blk, file.c_str());
    kvoblk_base_register_container(blk, cntr_.get());
    int status = -1;
    kvoblk_ini(blk, 1, 1, 1, &status);
    return {blk, status};
  }

  // The entries a placed block holds in the flowsheet Jacobian.
  std::set<Entry> placed_pattern(int blk) {
    std::set<Entry> nz;
    for (int k = kvoblk_inq_nzstart(blk); k <= kvoblk_inq_nzstop(blk); ++k)
      nz.emplace(kvojac_inq_nz_eqnnum(lists_.jac, k), kvojac_inq_nz_varnum(lists_.jac, k));
    return nz;
  }

  // The block's own pattern, written into the flowsheet Jacobian.
  std::vector<Entry> self_pattern(int blk) {
    int status = -1;
    kvoblk_selfpat(blk, &lists_.jac, &status);
    EXPECT_EQ(status, 0);
    std::vector<Entry> nz;
    for (int k = kvoblk_inq_nzstart(blk); k <= kvoblk_inq_nzstop(blk); ++k)
      nz.emplace_back(kvojac_inq_nz_eqnnum(lists_.jac, k), kvojac_inq_nz_varnum(lists_.jac, k));
    return nz;
  }

  double residual(int pos) { return kvoeqnlst_inq_eqn_value(lists_.eqnlst, pos); }

  void set_value(int pos, double v) { kvovarlst_set_var_value(lists_.varlst, pos, v, 0); }
  double value(int pos) { return kvovarlst_inq_var_value(lists_.varlst, pos, 0); }

  // Gives every variable of the block a value away from any solution.
  void scatter_values(int blk, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(0.2, 3.0);
    for (int v = kvoblk_inq_vstart(blk); v <= kvoblk_inq_vstop(blk); ++v) set_value(v, d(gen));
  }

  // Central-difference derivative of equation position e with respect to variable position v.
  double fd_derivative(int blk, int e, int v) {
    const double x = value(v);
    const double h = 1e-6 * std::max(1.0, std::fabs(x));
    int status = 0;
    set_value(v, x + h);
    kvoblk_res(blk, &status);
    const double up = residual(e);
    set_value(v, x - h);
    kvoblk_res(blk, &status);
    const double down = residual(e);
    set_value(v, x);
    return (up - down) / (2 * h);
  }

  // Checks the values selfjac wrote for the entries nzstart..nzstop against finite differences;
  // entries hold global numbers, which the offsets turn back into list positions.
  void expect_jacobian_matches_fd(int blk, int var_offset = 0, int eqn_offset = 0) {
    int status = -1;
    kvoblk_selfjac(blk, &status);
    ASSERT_EQ(status, 0);
    for (int k = kvoblk_inq_nzstart(blk); k <= kvoblk_inq_nzstop(blk); ++k) {
      const int e = kvojac_inq_nz_eqnnum(lists_.jac, k) - eqn_offset;
      const int v = kvojac_inq_nz_varnum(lists_.jac, k) - var_offset;
      double analytic = 0;
      kvojac_inq_nz_value(lists_.jac, k, &analytic);
      const double fd = fd_derivative(blk, e, v);
      EXPECT_NEAR(analytic, fd, 1e-6 * std::max(1.0, std::fabs(fd)))
          << kvoeqnlst_lookup_eqn_name(lists_.eqnlst, e) << " by "
          << kvovarlst_lookup_var_name(lists_.varlst, v);
    }
  }

  kvoref::Lists lists_;
  std::unique_ptr<kvoref::Container> cntr_;
  std::vector<int> blocks_;
};

CstrParams second_order() {
  CstrParams p;
  p.order = 2;
  p.rate_constant = 0.8;
  p.volume = 3.0;
  p.feed_cb = 0.3;
  return p;
}

// ---- Creation ------------------------------------------------------------------------------

TEST_F(CstrTest, CreateRefusesBadParametersWithAMessage) {
  CstrParams bad_order;
  bad_order.order = 3;
  CstrParams bad_volume;
  bad_volume.volume = 0.0;
  CstrParams bad_rate;
  bad_rate.rate_constant = -1.0;
  CstrParams bad_feed;
  bad_feed.feed_ca = std::nan("");

  EXPECT_EQ(cstr_create("R1", 0, CstrParams()), 0);
  EXPECT_EQ(cstr_create("R1", CSTR_MAX_TANKS + 1, CstrParams()), 0);
  EXPECT_EQ(cstr_create("R1", 2, bad_order), 0);
  EXPECT_EQ(cstr_create("R1", 2, bad_volume), 0);
  EXPECT_EQ(cstr_create("R1", 2, bad_rate), 0);
  EXPECT_EQ(cstr_create("R1", 2, bad_feed), 0);
  const std::string text = his();
  EXPECT_NE(text.find("!! cstr_create: 0 tanks, 1 to 100000 expected\n"), std::string::npos);
  EXPECT_NE(text.find("reaction order must be 1 or 2"), std::string::npos);
  EXPECT_NE(text.find("tank volume must be positive"), std::string::npos);
  EXPECT_NE(text.find("rate constant must not be negative"), std::string::npos);
  EXPECT_NE(text.find("feed values must be finite"), std::string::npos);
  EXPECT_EQ(kvoref::live_blocks(), 0);
}

TEST_F(CstrTest, ParametersSurviveAMovingWorkspace) {
  // The fixture moves the workspace on every allocation: later blocks move the earlier ones.
  CstrParams p = second_order();
  p.feed_flow = 7.25;
  int a = cstr_create("A", 5, p);
  int b = cstr_create("B", 2, CstrParams());
  blocks_ = {a, b};
  ASSERT_NE(a, 0);
  ASSERT_NE(b, 0);
  EXPECT_TRUE(cstr_is_block(a));
  EXPECT_FALSE(cstr_is_block(0));
  EXPECT_EQ(cstr_ntanks(a), 5);
  const CstrParams q = cstr_params(a);
  EXPECT_EQ(q.order, 2);
  EXPECT_EQ(q.volume, 3.0);
  EXPECT_EQ(q.rate_constant, 0.8);
  EXPECT_EQ(q.feed_flow, 7.25);
  EXPECT_EQ(q.feed_cb, 0.3);
  EXPECT_STREQ(kvoblk_blkid(a), "A");
  EXPECT_EQ(kvoblk_inq_deriv_type(a), KVOBLK_ANALYTIC);
  EXPECT_EQ(kvoblk_isof_type(a, "CSTR"), 1);
  EXPECT_EQ(kvoblk_isof_type(a, "KVOBLK"), 1);
}

TEST_F(CstrTest, SelfdimReportsTheBlockSize) {
  int blk = cstr_create("R1", 4, CstrParams());
  blocks_.push_back(blk);
  int nvar = 0, neqn = 0, nnz = 0, status = -1;
  kvoblk_selfdim(blk, &nvar, &neqn, &nnz, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(nvar, 15);
  EXPECT_EQ(neqn, 12);
  EXPECT_EQ(nnz, 44);
  EXPECT_EQ(cstr_nvars(0), 0);
}

// ---- Placement and ports -------------------------------------------------------------------

TEST_F(CstrTest, PlacementDefinesNamedVariablesAndEquationsAtTheStarts) {
  make_lists(100);
  int blk = place(3, CstrParams(), 5, 4, 7);
  EXPECT_EQ(kvoblk_inq_vstop(blk), 5 + 12 - 1);
  EXPECT_EQ(kvoblk_inq_estop(blk), 4 + 9 - 1);
  EXPECT_EQ(kvoblk_inq_nzstop(blk), 7 + 33 - 1);
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists_.varlst, 5), "R1.IN.F");
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists_.varlst, 7), "R1.IN.CB");
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists_.varlst, 9), "R1.CA(1)");
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists_.varlst, 16), "R1.CB(3)");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists_.eqnlst, 4), "R1.FLOW(1)");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists_.eqnlst, 12), "R1.BALB(3)");
  EXPECT_EQ(cstr_var(blk, 2, CSTR_CA), 5 + 3 * 2 + 1);
  EXPECT_EQ(cstr_eqn(blk, 3, CSTR_BALA), 4 + 6 + 1);
  EXPECT_EQ(cstr_var(blk, 4, CSTR_F), 0);
  EXPECT_EQ(cstr_eqn(blk, 0, CSTR_FLOW), 0);
  // Every tank starts at the feed.
  EXPECT_EQ(cstr_value(blk, 3, CSTR_CA), CstrParams().feed_ca);
  EXPECT_EQ(cstr_conversion(blk), 0.0);
}

TEST_F(CstrTest, NamesAreClippedTo128Characters) {
  make_lists(100);
  const std::string id(140, 'X');
  int blk = place(1, CstrParams(), 1, 1, 1, id.c_str());
  EXPECT_EQ(std::string(kvovarlst_lookup_var_name(lists_.varlst, 1)), id.substr(0, 128));
  EXPECT_EQ(std::string(kvoeqnlst_lookup_eqn_name(lists_.eqnlst, 1)).size(), 128u);
  EXPECT_EQ(cstr_ntanks(blk), 1);
}

TEST_F(CstrTest, PlacementWithoutListsFailsAndPlacesNothing) {
  int blk = cstr_create("R1", 2, CstrParams());
  blocks_.push_back(blk);
  int status = 0;
  kvoblk_ini(blk, 1, 1, 1, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(kvoblk_inq_vstop(blk), 0);
  EXPECT_NE(his().find("!! cstr: block R1 has no lists to be placed in\n"), std::string::npos);
}

TEST_F(CstrTest, PortsAreBoundToFeedAndLastTankWhetherAddedBeforeOrAfterPlacement) {
  make_lists(100);
  int blk = cstr_create("R1", 3, CstrParams());
  blocks_.push_back(blk);
  kvoblk_base_register_container(blk, cntr_.get());
  auto* in = new kvoref::Port("IN", {0, 0, 0});
  auto* other = new kvoref::Port("DRAIN", {0});
  ASSERT_FALSE(kvoblk_add_port(blk, in));
  ASSERT_FALSE(kvoblk_add_port(blk, other));
  int status = 0;
  kvoblk_ini(blk, 10, 1, 1, &status);
  auto* out = new kvoref::Port("OUT", {0, 0, 0});
  ASSERT_FALSE(kvoblk_add_port(blk, out));
  EXPECT_EQ(in->vars(), (std::vector<int>{10, 11, 12}));
  EXPECT_EQ(out->vars(), (std::vector<int>{19, 20, 21}));
  EXPECT_EQ(other->vars(), std::vector<int>{0});

  // Moved back out of the lists and placed elsewhere, the block binds its ports afresh.
  kvoblk_de_ini(blk, &status);
  EXPECT_EQ(in->vars(), (std::vector<int>{0, 0, 0}));
  kvoblk_ini(blk, 1, 1, 1, &status);
  EXPECT_EQ(in->vars(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(out->vars(), (std::vector<int>{10, 11, 12}));

  auto* duplicate = new kvoref::Port("OUT", {0, 0, 0});
  EXPECT_TRUE(kvoblk_add_port(blk, duplicate));
  EXPECT_EQ(duplicate->vars(), (std::vector<int>{0, 0, 0}));
  duplicate->destroy();
}

TEST_F(CstrTest, SetFeedChangesAPlacedBlocksFeedVariables) {
  make_lists(100);
  int blk = place(2, CstrParams());
  EXPECT_TRUE(cstr_set_feed(blk, 4.0, 1.5, 0.25));
  EXPECT_EQ(cstr_value(blk, 0, CSTR_F), 4.0);
  EXPECT_EQ(cstr_value(blk, 0, CSTR_CA), 1.5);
  EXPECT_EQ(cstr_value(blk, 0, CSTR_CB), 0.25);
  EXPECT_EQ(cstr_params(blk).feed_ca, 1.5);
  EXPECT_FALSE(cstr_set_feed(blk, INFINITY, 1.0, 0.0));
}

// ---- Residuals -----------------------------------------------------------------------------

class CstrOrderTest : public CstrTest, public ::testing::WithParamInterface<int> {
 protected:
  CstrParams params() const { return GetParam() == 1 ? CstrParams() : second_order(); }
};

TEST_P(CstrOrderTest, ResidualsVanishAtTheClosedFormSteadyState) {
  make_lists(200);
  const CstrParams p = params();
  const int n = 4;
  int blk = place(n, p, 3, 2, 1);
  int status = -1;
  kvoblk_res(blk, &status);
  ASSERT_EQ(status, 0);
  // At the starting guess (no conversion) the A balances are far from zero.
  EXPECT_GT(std::fabs(residual(cstr_eqn(blk, 1, CSTR_BALA))), 1.0);

  for (int tank = 0; tank <= n; ++tank) {
    double f, ca, cb;
    ASSERT_TRUE(cstr_exact_state(p, tank, &f, &ca, &cb));
    set_value(cstr_var(blk, tank, CSTR_F), f);
    set_value(cstr_var(blk, tank, CSTR_CA), ca);
    set_value(cstr_var(blk, tank, CSTR_CB), cb);
  }
  kvoblk_res(blk, &status);
  ASSERT_EQ(status, 0);
  for (int e = kvoblk_inq_estart(blk); e <= kvoblk_inq_estop(blk); ++e)
    EXPECT_NEAR(residual(e), 0.0, 1e-12) << kvoeqnlst_lookup_eqn_name(lists_.eqnlst, e);
  // Equations outside the block stay untouched.
  EXPECT_EQ(residual(1), 0.0);
  const double conversion = cstr_conversion(blk);
  EXPECT_GT(conversion, 0.0);
  EXPECT_LT(conversion, 1.0);
}

TEST_P(CstrOrderTest, AnalyticJacobianMatchesFiniteDifferences) {
  make_lists(200);
  int blk = place(3, params(), 4, 2, 6);
  self_pattern(blk);
  scatter_values(blk, 7);
  expect_jacobian_matches_fd(blk);
}

INSTANTIATE_TEST_SUITE_P(Orders, CstrOrderTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 1 ? "FirstOrder" : "SecondOrder";
                         });

TEST(CstrExactState, FirstOrderTanksEachDivideCaByOnePlusDamkoehler) {
  CstrParams p;  // V k / F = 4 * 1.5 / 10 = 0.6
  double f, ca, cb;
  ASSERT_TRUE(cstr_exact_state(p, 2, &f, &ca, &cb));
  EXPECT_DOUBLE_EQ(ca, 2.0 / (1.6 * 1.6));
  EXPECT_DOUBLE_EQ(cb, 2.0 - ca);
  EXPECT_EQ(f, 10.0);
  EXPECT_FALSE(cstr_exact_state(p, -1, &f, &ca, &cb));
  p.feed_flow = 0.0;
  EXPECT_FALSE(cstr_exact_state(p, 1, &f, &ca, &cb));
}

// ---- Pattern and Jacobian ------------------------------------------------------------------

TEST_F(CstrTest, SelfPatternCoversEveryFiniteDifferenceNonZeroOnce) {
  make_lists(100);
  const int n = 3;
  int blk = place(n, second_order(), 2, 3, 5);
  const std::vector<Entry> nz = self_pattern(blk);
  ASSERT_EQ(static_cast<int>(nz.size()), cstr_nnz(n));
  EXPECT_EQ(kvoblk_inq_nzstop(blk), 5 + cstr_nnz(n) - 1);
  const std::set<Entry> pattern(nz.begin(), nz.end());
  EXPECT_EQ(pattern.size(), nz.size()) << "an entry is written twice";

  // Every derivative that is not zero at a scattered point must be in the pattern, and the
  // pattern must stay inside the block.
  scatter_values(blk, 11);
  for (int e = kvoblk_inq_estart(blk); e <= kvoblk_inq_estop(blk); ++e) {
    for (int v = kvoblk_inq_vstart(blk); v <= kvoblk_inq_vstop(blk); ++v) {
      if (std::fabs(fd_derivative(blk, e, v)) > 1e-9) {
        EXPECT_TRUE(pattern.count({e, v})) << kvoeqnlst_lookup_eqn_name(lists_.eqnlst, e) << " by "
                                           << kvovarlst_lookup_var_name(lists_.varlst, v);
      }
    }
  }
  for (const Entry& entry : nz) {
    EXPECT_GE(entry.first, kvoblk_inq_estart(blk));
    EXPECT_LE(entry.first, kvoblk_inq_estop(blk));
    EXPECT_GE(entry.second, kvoblk_inq_vstart(blk));
    EXPECT_LE(entry.second, kvoblk_inq_vstop(blk));
  }
}

TEST_F(CstrTest, JacobianFillsAPatternInAnotherOrder) {
  // A pattern restored from a file or found numerically need not follow the model's order,
  // and may hold entries the model knows to be zero.
  make_lists(100);
  int blk = place(2, second_order());
  std::vector<Entry> nz = self_pattern(blk);
  std::reverse(nz.begin(), nz.end());
  nz.back() = {cstr_eqn(blk, 2, CSTR_FLOW), cstr_var(blk, 0, CSTR_CA)};  // structurally zero
  for (size_t i = 0; i < nz.size(); ++i)
    kvoref::set_nz(lists_.jac, static_cast<int>(i) + 1, nz[i].first, nz[i].second);
  kvojac_set_nz_value(lists_.jac, static_cast<int>(nz.size()), 99.0);
  scatter_values(blk, 3);
  expect_jacobian_matches_fd(blk);
  double zero = -1;
  kvojac_inq_nz_value(lists_.jac, static_cast<int>(nz.size()), &zero);
  EXPECT_EQ(zero, 0.0);
}

TEST_F(CstrTest, PatternAndJacobianUseListPositionsWhateverTheContainerOffsets) {
  make_lists(100, 1000, 500);
  int blk = place(2, CstrParams(), 3, 2, 4);
  const std::vector<Entry> nz = self_pattern(blk);
  EXPECT_EQ(nz.front(), Entry(2, 3));  // FLOW(1) by IN.F
  scatter_values(blk, 5);
  expect_jacobian_matches_fd(blk);
  // The numeric Jacobian on the model's own pattern agrees with the analytic one.
  std::vector<double> analytic(kvojac_vec_bj(lists_.jac), kvojac_vec_bj(lists_.jac) + 100);
  kvoblk_set_deriv_type(blk, KVOBLK_NUMERIC);
  int status = -1;
  kvoblk_jac(blk, &status);
  ASSERT_EQ(status, 0);
  for (int k = kvoblk_inq_nzstart(blk); k <= kvoblk_inq_nzstop(blk); ++k)
    EXPECT_NEAR(kvojac_vec_bj(lists_.jac)[k - 1], analytic[k - 1],
                1e-5 * std::max(1.0, std::fabs(analytic[k - 1])));
}

TEST_F(CstrTest, TwoBlocksInOneListKeepToTheirOwnRanges) {
  make_lists(100);
  int r1 = place(2, CstrParams(), 1, 1, 1, "R1");
  int r2 = place(3, second_order(), kvoblk_inq_vstop(r1) + 1, kvoblk_inq_estop(r1) + 1,
                 kvoblk_inq_nzstop(r1) + 1, "R2");
  self_pattern(r1);
  self_pattern(r2);
  scatter_values(r1, 1);
  scatter_values(r2, 2);
  kvojac_set_nz_value(lists_.jac, kvoblk_inq_nzstart(r2), 42.0);
  int status = 0;
  kvoblk_selfjac(r1, &status);
  double untouched = 0;
  kvojac_inq_nz_value(lists_.jac, kvoblk_inq_nzstart(r2), &untouched);
  EXPECT_EQ(untouched, 42.0);
  expect_jacobian_matches_fd(r2);
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists_.varlst, kvoblk_inq_vstart(r2)), "R2.IN.F");
}

// ---- Pattern initialisation at placement ---------------------------------------------------

// A scratch directory of its own for each test that writes pattern files.
class CstrPatternTest : public CstrTest {
 protected:
  void SetUp() override {
    CstrTest::SetUp();
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("cstr_pattern_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    CstrTest::TearDown();
    std::filesystem::remove_all(dir_);
  }
  std::string file(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST_F(CstrTest, SelfPatternIsWrittenAtPlacement) {
  make_lists(100);
  int blk = place(3, second_order(), 2, 3, 5);
  EXPECT_EQ(kvoblk_inq_nzstop(blk), 5 + cstr_nnz(3) - 1);
  EXPECT_EQ(kvoblk_inq_pat_type(blk), KVOBLK_PATTYPE_ANALYTIC);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists_.jac, 5), cstr_eqn(blk, 1, CSTR_FLOW));
  EXPECT_EQ(kvojac_inq_nz_varnum(lists_.jac, 5), cstr_var(blk, 0, CSTR_F));
}

TEST_F(CstrTest, NumericDetectionFindsExactlyTheModelsOwnEntries) {
  // The feed carries no B, so d BALB / d F is zero at the starting point; the detection moves
  // such values away from zero first and still finds the entry. Three tanks fill 33 of 108
  // places, more than the library's default capacity estimate of 30 % would hold.
  make_lists(200);
  auto [blk, status] = place_with(KVOBLK_PAT_NUMERIC, 3, CstrParams());
  ASSERT_EQ(status, 0);
  EXPECT_EQ(kvoblk_inq_pat_type(blk), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(kvoblk_inq_nzstop(blk), cstr_nnz(3));
  const std::set<Entry> detected = placed_pattern(blk);
  const std::vector<Entry> own = self_pattern(blk);
  EXPECT_EQ(detected, std::set<Entry>(own.begin(), own.end()));
  EXPECT_EQ(his(), "");
  // Detection restores the values it perturbed.
  EXPECT_EQ(cstr_value(blk, 2, CSTR_CB), 0.0);
}

TEST_F(CstrTest, ReservationForADetectedPatternHoldsTheModelsEntriesForAnyTankCount) {
  for (int n = 1; n <= 8; ++n) {
    SCOPED_TRACE(n);
    make_lists(400);
    int nvar = 0, neqn = 0, nnz = 0, status = -1;
    int probe = cstr_create("R1", n, CstrParams());
    blocks_.push_back(probe);
    kvoblk_set_pat_ini_type(probe, KVOBLK_PAT_NUMERIC);
    kvoblk_dim(probe, &nvar, &neqn, &nnz, &status);
    EXPECT_EQ(status, 0);
    EXPECT_GE(nnz, cstr_nnz(n));
    auto [blk, placed] = place_with(KVOBLK_PAT_NUMERIC, n, CstrParams());
    EXPECT_EQ(placed, 0);
    EXPECT_EQ(kvoblk_inq_nzstop(blk), cstr_nnz(n));
  }
  EXPECT_EQ(his(), "");
}

TEST_F(CstrPatternTest, RestoreDetectsAndSavesOnTheFirstRunAndReadsTheFileSilentlyAfter) {
  const std::string path = file("R1.pat");
  make_lists(200);
  auto [first, status] = place_with(KVOBLK_PAT_RESTORE, 2, second_order(), path);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(his(), "\nWarning while restoring sparsity pattern from file " + path +
                       " for block R1\nFile could not be opened.\n"
                       "Computing sparsity numerically and saving it to file.\n\n");
  ASSERT_TRUE(std::filesystem::is_regular_file(path));
  const std::set<Entry> saved = placed_pattern(first);
  EXPECT_EQ(saved.size(), static_cast<size_t>(cstr_nnz(2)));

  // The next run: fresh lists, a new block of the same shape.
  kvoblk_destroy(first);
  blocks_.clear();
  make_lists(200);
  int nvar = 0, neqn = 0, nnz = 0;
  int probe = cstr_create("R1", 2, second_order());
  blocks_.push_back(probe);
  kvoblk_set_pat_ini_type(probe, KVOBLK_PAT_RESTORE);
  kvoblk_set_pat_file(probe, path.c_str());
  kvoblk_dim(probe, &nvar, &neqn, &nnz, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(nnz, cstr_nnz(2));  // the file's count, not the estimate
  auto [second, status2] = place_with(KVOBLK_PAT_RESTORE, 2, second_order(), path);
  ASSERT_EQ(status2, 0);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(placed_pattern(second), saved);
  EXPECT_EQ(kvoblk_inq_pat_type(second), KVOBLK_PATTYPE_NUMERIC);
}

TEST_F(CstrPatternTest, PlacementFailsWithStatusOneWhenThePatternFileIsDamaged) {
  const std::string path = file("R1.pat");
  std::ofstream(path) << "Number of variables : 9\n";
  make_lists(200);
  auto [blk, status] = place_with(KVOBLK_PAT_RESTORE, 2, CstrParams(), path);
  EXPECT_EQ(status, 1);
  const std::string text = his();
  EXPECT_NE(text.find("Failed to get the block dimensions from the file."), std::string::npos);
  EXPECT_NE(text.find("!! cstr: block R1 has no sparsity pattern\n"), std::string::npos);
  // No non-zeros written, and none claimed.
  EXPECT_EQ(kvoblk_inq_nzstop(blk), 0);
  EXPECT_EQ(kvoblk_inq_pat_type(blk), KVOBLK_PATTYPE_UNDEFINED);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists_.jac, 1), 0);
  // The variables and equations are there all the same, so the block can be taken out again.
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists_.varlst, 1), "R1.IN.F");
}

TEST_F(CstrTest, BlockInListsWithoutAJacobianHoldsNoNonZeros) {
  lists_ = kvoref::make_lists(10);
  kvoref::Lists no_jacobian = lists_;
  no_jacobian.jac = 0;
  cntr_ = std::make_unique<kvoref::Container>(no_jacobian);
  int blk = place(2, CstrParams(), 1, 1, 4);
  EXPECT_EQ(kvoblk_inq_nzstop(blk), 3);
  EXPECT_EQ(kvoblk_inq_vstop(blk), cstr_nvars(2));
}

// ---- Call counters -------------------------------------------------------------------------

TEST_F(CstrTest, CountersCountTheResidualAndJacobianRoutines) {
  make_lists(100);
  int blk = place(2, CstrParams());
  cstr_reset_call_counts();
  int status = 0;
  kvoblk_res(blk, &status);
  kvoblk_res(blk, &status);
  kvoblk_jac(blk, &status);  // ANALYTIC: the model's routine
  EXPECT_EQ(cstr_residual_calls(), 2);
  EXPECT_EQ(cstr_jacobian_calls(), 1);

  // A numeric Jacobian costs residual evaluations and no analytic one.
  ASSERT_EQ(kvoblk_set_deriv_type(blk, KVOBLK_NUMERIC), KVOBLK_NUMERIC);
  cstr_reset_call_counts();
  kvoblk_jac(blk, &status);
  EXPECT_EQ(status, 0);
  EXPECT_GT(cstr_residual_calls(), 1);
  EXPECT_EQ(cstr_jacobian_calls(), 0);
}

// ---- Newton solve --------------------------------------------------------------------------

// The solver's view of one block, through the block's dispatchers.
class Unit : public kvoref::SolverUnit {
 public:
  explicit Unit(int blk) : blk_(blk) {}
  const char* name() const override { return kvoblk_blkid(blk_); }
  void pre_solve(int& status) override { kvoblk_pre_solve(blk_, &status); }
  void residuals(int& status) override { kvoblk_res(blk_, &status); }
  void jacobian(int& status) override { kvoblk_jac(blk_, &status); }
  void post_solve(int& status) override { kvoblk_post_solve(blk_, &status); }

 private:
  int blk_;
};

TEST_F(CstrTest, NewtonReachesTheClosedFormSteadyStateWithEveryDerivativeMethod) {
  make_lists(200);
  const CstrParams p = second_order();
  const int n = 4;
  int blk = place(n, p);
  for (int q = CSTR_F; q <= CSTR_CB; ++q)
    kvoref::set_var_status(lists_.varlst, cstr_var(blk, 0, static_cast<CstrVar>(q)),
                           kvoref::VAR_FIXED);
  std::vector<double> start;
  for (int v = kvoblk_inq_vstart(blk); v <= kvoblk_inq_vstop(blk); ++v) start.push_back(value(v));

  for (int method :
       {KVOBLK_ANALYTIC, KVOBLK_NUMERIC, KVOBLK_UPDATE_NUMERIC, KVOBLK_UPDATE_ANALYTIC}) {
    SCOPED_TRACE(method);
    ASSERT_EQ(kvoblk_set_deriv_type(blk, method), method);
    for (size_t i = 0; i < start.size(); ++i) set_value(static_cast<int>(i) + 1, start[i]);
    cstr_reset_call_counts();
    Unit unit(blk);
    const kvoref::NewtonReport r = kvoref::newton_solve(lists_, {&unit});
    ASSERT_TRUE(r.converged) << r.message;
    for (int tank = 1; tank <= n; ++tank) {
      double f, ca, cb;
      ASSERT_TRUE(cstr_exact_state(p, tank, &f, &ca, &cb));
      EXPECT_NEAR(cstr_value(blk, tank, CSTR_F), f, 1e-9);
      EXPECT_NEAR(cstr_value(blk, tank, CSTR_CA), ca, 1e-9);
      EXPECT_NEAR(cstr_value(blk, tank, CSTR_CB), cb, 1e-9);
    }
    // Which routine made the Jacobians: the analytic one every time, never, or only for the
    // first Jacobian of the solve, after which the Schubert updates take over.
    const long expected_selfjac = method == KVOBLK_ANALYTIC          ? r.jacobian_calls
                                  : method == KVOBLK_UPDATE_ANALYTIC ? 1
                                                                     : 0;
    EXPECT_EQ(cstr_jacobian_calls(), expected_selfjac);
    if (method != KVOBLK_ANALYTIC) {
      EXPECT_GT(cstr_residual_calls(), r.residual_calls);
    }
  }
  EXPECT_EQ(his(), "");
}

// ---- Scripts -------------------------------------------------------------------------------

TEST_F(CstrTest, OffersSetupInitAndConnectScripts) {
  make_lists(100);
  int blk = cstr_create("R7", 2, CstrParams());
  blocks_.push_back(blk);
  int count = 0;
  kvoblk_inq_nscript(blk, &count);
  ASSERT_EQ(count, 3);
  char name[32];
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) {
    kvoblk_inq_scriptid(blk, i, name);
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"SETUP", "INIT", "CONNECT"}));
  EXPECT_EQ(kvoblk_acquire_script(blk, "ALIAS"), nullptr);

  kvoblk_set_diag_level(blk, 5);
  kvoblk_base_typical_register(blk, cntr_.get());
  int status = 0;
  kvoblk_ini(blk, 1, 1, 1, &status);
  ASSERT_EQ(cntr_->scripts_run.size(), 3u);
  EXPECT_EQ(cntr_->scripts_run[0].name, "SETUP");
  EXPECT_EQ(cntr_->scripts_run[0].text, "FIX R7.IN.F, R7.IN.CA, R7.IN.CB");
  EXPECT_EQ(cntr_->scripts_run[1].name, "CONNECT");
  EXPECT_EQ(cntr_->scripts_run[1].text,
            "PORT IN = (R7.IN.F, R7.IN.CA, R7.IN.CB); PORT OUT = (R7.F(2), R7.CA(2), R7.CB(2))");
  EXPECT_EQ(cntr_->scripts_run[2].name, "INIT");
  EXPECT_NE(his().find("Block R7       invoking script method SETUP\n"), std::string::npos);
  EXPECT_EQ(kvoref::live_scripts(), 0);
}

TEST_F(CstrTest, ReportGivesTheConversionOfAPlacedBlock) {
  make_lists(100);
  int blk = place(1, CstrParams());
  set_value(cstr_var(blk, 1, CSTR_CA), 0.5);  // a quarter of the A left
  int status = -1;
  kvoblk_report(blk, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(rep(), "R1       1 tanks  F 10 m3/h  CA 2 -> 0.5 kmol/m3  conversion 75.0 %\n");
}

}  // namespace
