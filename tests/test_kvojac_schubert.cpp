// SPDX-License-Identifier: BSD-3-Clause
// The Schubert update: when it may be used, the secant correction of each row, the SMALL,
// NOISE and NORM tests, its failures and its reports at every diagnostic level.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <kvoblk/kvojac.h>
#include "toy_model.h"

using kvotest::KvoTest;
namespace W = kvoblk_word;

namespace {

int32_t& wordof(int b, int k) { return ib0[b + k]; }

// The shared toy model as a diagonal block, r_i = c_i * x_i^p, one non-zero per row; further
// non-zeros, placed after the diagonal, are structure only.
kvotest::ToyModel& m = kvotest::toy;

class Schubert : public kvotest::PlacedBlockTest {
 protected:
  // Places an n-row block with coefficients c (all 1 when empty) and gives it last-iterate
  // buffers.
  void place(int n, int power, std::vector<double> c = {}) {
    m.diagonal(n, c);
    m.power = power;
    m.x_step = 0.0;
    m.fail_status = 5;
    // The further non-zeros are given globally; the block sits at 1, 1, 1.
    for (auto& e : extra) m.nz.emplace_back(e.first - 1, e.second - 1);
    b = PlacedBlockTest::place();
    lastx = blk_allocate_lastx(b);
    lastf = blk_allocate_lastf(b);
  }

  // The last iterate x0 (with its residuals), the current point x and the current Jacobian
  // values a of the diagonal.
  void point(const std::vector<double>& x0, const std::vector<double>& x,
             const std::vector<double>& a) {
    for (int i = 0; i < m.neq; ++i) {
      lastx[i] = x0[i];
      lastf[i] = m.coef[i] * (m.power == 1 ? x0[i] : x0[i] * x0[i]);
      kvovarlst_set_var_value(lists.varlst, i + 1, x[i], 0);
      kvojac_set_nz_value(lists.jac, i + 1, a[i]);
    }
  }

  int update() {
    int st = 99;
    blk_schubert_update(b, &st);
    return st;
  }

  std::vector<std::pair<int, int>> extra;  // global equation and variable of further non-zeros
  int b = 0;
  double* lastx = nullptr;
  double* lastf = nullptr;
};

}  // namespace

// ---- The update -------------------------------------------------------------------------------

TEST_F(Schubert, OneByOneSecantGivesExactlyThree) {
  place(1, 2);
  point({1.0}, {2.0}, {2.0});
  EXPECT_EQ(update(), 0);
  EXPECT_EQ(bj(1), 3.0);
  EXPECT_EQ(m.res_calls, 1);
  EXPECT_EQ(his(), "");
}

TEST_F(Schubert, ExactLinearJacobianSkipsEveryRowAsNoiseAndChangesNothing) {
  place(3, 1, {2.0, 3.0, 4.0});
  point({1.0, 1.0, 1.0}, {2.0, 1.5, 3.0}, {2.0, 3.0, 4.0});
  EXPECT_EQ(update(), -3);
  EXPECT_EQ(bj(1), 2.0);
  EXPECT_EQ(bj(2), 3.0);
  EXPECT_EQ(bj(3), 4.0);
}

TEST_F(Schubert, AllRowsSkippedIsReportedAtLevelsSixSevenAndEight) {
  place(3, 1, {2.0, 3.0, 4.0});
  const std::vector<double> x0 = {1.0, 1.0, 1.0}, x = {2.0, 1.5, 3.0}, a = {2.0, 3.0, 4.0};
  for (int level : {4, 5}) {
    kvoblk_set_diag_level(b, level);
    point(x0, x, a);
    EXPECT_EQ(update(), -3);
    EXPECT_EQ(his(), "") << level;
  }
  kvoblk_set_diag_level(b, 6);
  point(x0, x, a);
  update();
  EXPECT_EQ(his(), "\nWarning in Schubert update. Skipped update for all rows in block B1\n");
  kvoblk_set_diag_level(b, 7);
  point(x0, x, a);
  update();
  EXPECT_EQ(his(), "\nWarning in Schubert update. Skipped update for 3 rows in block B1\n");
  kvoblk_set_diag_level(b, 9);
  point(x0, x, a);
  update();
  EXPECT_EQ(his(),
            "\nWarning in Schubert update. These rows were not updated for block B1\n"
            "         1  because NOISE test fails.\n"
            "         2  because NOISE test fails.\n"
            "         3  because NOISE test fails.\n");
}

TEST_F(Schubert, StepThatMovesNothingSkipsEveryRowForNormOverNoise) {
  place(2, 2);
  kvoblk_set_diag_level(b, 8);
  point({1.0, 3.0}, {1.0, 3.0}, {5.0, 5.0});
  EXPECT_EQ(update(), -2);
  EXPECT_EQ(bj(1), 5.0);
  EXPECT_EQ(his(),
            "\nWarning in Schubert update. These rows were not updated for block B1\n"
            "         1  because NORM  test fails.\n"
            "         2  because NORM  test fails.\n");
}

// Squared row steps of 1e-10 and 1e-6 against a total of about 1: the first is negligible
// (1e-8 of it is lost in the total), the second is not.
TEST_F(Schubert, NormTestWeighsTheRowStepAgainstTheWholeStep) {
  place(3, 2);
  kvoblk_set_diag_level(b, 8);
  point({0.0, 0.0, 0.0}, {1.0, 1.0e-5, 1.0e-3}, {0.0, 0.0, 0.0});
  EXPECT_EQ(update(), -1);
  EXPECT_EQ(bj(1), 1.0);
  EXPECT_EQ(bj(2), 0.0);
  EXPECT_NEAR(bj(3), 1.0e-3, 1e-18);
  EXPECT_EQ(his(),
            "\nWarning in Schubert update. These rows were not updated for block B1\n"
            "         2  because NORM  test fails.\n");
}

TEST_F(Schubert, StepThresholdIsRelativeToTheLastValuePlusOne) {
  // With h = 1e-6, a step of 0.0005 from 1000 is below 0.001001; from 0 it is above 1e-6.
  place(2, 2);
  kvoblk_set_diag_level(b, 8);
  point({1000.0, 0.0}, {1000.0005, 0.0005}, {0.0, 0.0});
  EXPECT_EQ(update(), -1);
  EXPECT_EQ(bj(1), 0.0);
  EXPECT_NEAR(bj(2), 0.0005, 1e-15);  // the secant slope of x^2 between 0 and 0.0005
  EXPECT_EQ(his(),
            "\nWarning in Schubert update. These rows were not updated for block B1\n"
            "         1  because SMALL test fails.\n");
}

// A step exactly at its threshold counts as a move, and a secant residual exactly at the noise
// level is not noise: both rows are updated. The other row stays put each time.
TEST_F(Schubert, StepAtItsThresholdAndSecantAtTheNoiseLevelStillUpdate) {
  place(2, 1, {1.0e10, 1.0});
  // Row 1: df = 1e10, a dx = 9999999999, so the secant residual is 1 = 1e-10 * (0 + 1e10).
  point({0.0, 1.0}, {1.0, 1.0}, {9999999999.0, 1.0});
  EXPECT_EQ(update(), -1);
  EXPECT_EQ(bj(1), 1.0e10);
  // Row 2: a step of 1e-6 from 0, its threshold (|0| + 1) h.
  point({0.0, 0.0}, {0.0, 1.0e-6}, {1.0e10, 0.5});
  EXPECT_EQ(update(), -1);
  EXPECT_NEAR(bj(2), 1.0, 1e-12);
}

TEST_F(Schubert, TwoOfFiveRowsSkippedAreCountedAtSevenAndListedAtEight) {
  place(5, 2);
  // Row 1 moves too little (SMALL), row 3 not at all (NORM); rows 2, 4 and 5 are updated.
  const std::vector<double> x0 = {1000.0, 1.0, 2.0, 1.0, 1.0};
  const std::vector<double> x = {1000.0005, 2.0, 2.0, 1.5, 0.5};
  const std::vector<double> a = {0.0, 2.0, 4.0, 2.0, 2.0};
  kvoblk_set_diag_level(b, 6);
  point(x0, x, a);
  EXPECT_EQ(update(), -2);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(bj(2), 3.0);
  EXPECT_EQ(bj(4), 2.5);
  EXPECT_EQ(bj(5), 1.5);
  EXPECT_EQ(bj(3), 4.0);
  kvoblk_set_diag_level(b, 7);
  point(x0, x, a);
  EXPECT_EQ(update(), -2);
  EXPECT_EQ(his(), "\nWarning in Schubert update. Skipped update for 2 rows in block B1\n");
  kvoblk_set_diag_level(b, 8);
  point(x0, x, a);
  EXPECT_EQ(update(), -2);
  EXPECT_EQ(his(),
            "\nWarning in Schubert update. These rows were not updated for block B1\n"
            "         1  because SMALL test fails.\n"
            "         3  because NORM  test fails.\n");
}

// A trial point where a variable is not a number or a residual is infinite: the rows it
// reaches keep their values and are counted and named, the others are still updated. A row
// that one of the three tests holds back anyway keeps that test's name (row 2: its only
// variable did not move by its threshold, as a step that is not a number never does).
TEST_F(Schubert, RowsReachedByAValueThatIsNotFiniteKeepTheirValues) {
  extra = {{1, 2}};  // row 1 also depends on variable 2
  place(4, 2);
  kvoblk_set_diag_level(b, 8);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  point({1.0, 1.0, 1.0, 1.0}, {2.0, nan, 2.0, 2.0}, {2.0, 2.0, 2.0, 2.0});
  kvojac_set_nz_value(lists.jac, 5, 2.0);
  m.coef[2] = std::numeric_limits<double>::infinity();  // row 3's residual is now infinite
  EXPECT_EQ(update(), -3);
  for (int k : {1, 2, 3, 5}) EXPECT_EQ(bj(k), 2.0) << k;
  EXPECT_EQ(bj(4), 3.0);
  EXPECT_EQ(his(),
            "\nWarning in Schubert update. These rows were not updated for block B1\n"
            "         1  because FINITE test fails.\n"
            "         2  because SMALL test fails.\n"
            "         3  because FINITE test fails.\n");
  // A last iterate recorded at such a point stays out of the next update as well.
  m.coef[2] = 1.0;
  point({1.0, 1.0, 1.0, 1.0}, {2.0, 2.0, 2.0, 2.0}, {2.0, 2.0, 2.0, 2.0});
  lastf[1] = nan;
  EXPECT_EQ(update(), -1);
  EXPECT_EQ(bj(2), 2.0);
  EXPECT_EQ(bj(3), 3.0);
}

// With no step threshold every variable counts as moved, also one that stayed put; its row has
// a step norm of 0, which must hold it back even when the total is not a number.
TEST_F(Schubert, RowThatDidNotMoveIsNotDividedByZeroWhenTheTotalIsNotANumber) {
  place(2, 2);
  kvoblk_set_pertsize(b, 0.0);
  kvoblk_set_diag_level(b, 8);
  point({1.0, 1.0}, {1.0, std::numeric_limits<double>::quiet_NaN()}, {2.0, 2.0});
  lastf[0] = 0.5;  // a residual change well above the noise
  EXPECT_EQ(update(), -2);
  EXPECT_EQ(bj(1), 2.0);
  EXPECT_EQ(bj(2), 2.0);
  EXPECT_EQ(his(),
            "\nWarning in Schubert update. These rows were not updated for block B1\n"
            "         1  because NORM  test fails.\n"
            "         2  because SMALL test fails.\n");
}

// A row left without non-zeros has no step of its own: the NORM test holds it back, whatever its
// residual did, and the row that took its non-zero is updated over both.
TEST_F(Schubert, RowWithoutNonZerosIsHeldBackByTheNormTest) {
  place(2, 2);
  kvojac_set_nz_eqnnum(lists.jac, 2, 1);  // the second non-zero now lies in row 1
  kvoblk_set_diag_level(b, 8);
  point({1.0, 1.0}, {2.0, 3.0}, {2.0, 2.0});
  EXPECT_EQ(update(), -1);
  // Row 1: secant residual 3 - 2 * 1 - 2 * 2 = -3 over a step norm of 1 + 4.
  EXPECT_DOUBLE_EQ(bj(1), 2.0 - 3.0 / 5.0);
  EXPECT_DOUBLE_EQ(bj(2), 2.0 - 6.0 / 5.0);
  EXPECT_EQ(his(),
            "\nWarning in Schubert update. These rows were not updated for block B1\n"
            "         2  because NORM  test fails.\n");
}

TEST_F(Schubert, NonZerosOutsideTheBlockTakeNoPart) {
  extra = {{1, 40}, {60, 1}};  // a variable and an equation of no block
  place(2, 2);
  point({1.0, 1.0}, {2.0, 3.0}, {2.0, 2.0});
  kvojac_set_nz_value(lists.jac, 3, 7.0);
  kvojac_set_nz_value(lists.jac, 4, 8.0);
  EXPECT_EQ(update(), 0);
  EXPECT_EQ(bj(1), 3.0);
  EXPECT_EQ(bj(2), 4.0);
  EXPECT_EQ(bj(3), 7.0);
  EXPECT_EQ(bj(4), 8.0);
}

// Rows whose non-zeros come in several separate runs and in runs of more than one, a row left
// out between updated ones, a non-zero of no block between two corrected ones, and an odd
// number of corrections: the values must be those of the update taken one non-zero at a time,
// in non-zero order, to the last bit.
TEST_F(Schubert, RowsInSeveralRunsGetTheOneAtATimeValuesExactly) {
  // Row 6 is (6, 6) then (6, 3), one run; (1, 40) belongs to no block.
  extra = {{6, 3}, {2, 5}, {1, 40}, {1, 6}, {4, 1}, {5, 2}, {1, 2}, {2, 4}, {4, 6}, {2, 1}, {5, 6}};
  place(6, 2, {1.5, 0.7, 2.0, 1.1, 3.0, 0.9});
  // Variable 3 stays put: row 3, whose only non-zero it is, is left out; row 6 is updated
  // through its other variables.
  const std::vector<double> x0 = {1.0, 2.0, 3.0, 0.5, 1.25, 2.5};
  const std::vector<double> x = {1.3, 1.7, 3.0, 0.9, 1.1, 2.2};
  const std::vector<double> a = {2.9, 3.1, 12.0, 1.3, 7.1, 4.3};
  point(x0, x, a);
  const int nnz = 6 + static_cast<int>(extra.size());
  std::vector<int> row(nnz), col(nnz);
  std::vector<double> value(nnz);
  for (int k = 0; k < nnz; ++k) {
    row[k] = k < 6 ? k : extra[k - 6].first - 1;
    col[k] = k < 6 ? k : extra[k - 6].second - 1;
    if (k >= 6) kvojac_set_nz_value(lists.jac, k + 1, 0.25 * k - 1.0);
    value[k] = bj(k + 1);
  }
  std::vector<double> norm(6, 0.0), secant(6);
  std::vector<bool> moved(6, false);
  for (int i = 0; i < 6; ++i) secant[i] = m.coef[i] * (x[i] * x[i]) - m.coef[i] * (x0[i] * x0[i]);
  for (int k = 0; k < nnz; ++k) {
    if (col[k] >= 6) continue;
    const double dx = x[col[k]] - x0[col[k]];
    norm[row[k]] += dx * dx;
    secant[row[k]] -= value[k] * dx;
    moved[row[k]] = moved[row[k]] || std::fabs(dx) >= (std::fabs(x0[col[k]]) + 1.0) * 1e-6;
  }
  ASSERT_FALSE(moved[2]);
  ASSERT_TRUE(moved[5]);
  EXPECT_EQ(update(), -1);
  int corrected = 0;
  for (int k = 0; k < nnz; ++k) {
    double expected = value[k];
    if (col[k] < 6 && moved[row[k]]) {
      expected = value[k] + (x[col[k]] - x0[col[k]]) * secant[row[k]] / norm[row[k]];
      ++corrected;
    }
    EXPECT_EQ(bj(k + 1), expected) << "non-zero " << k + 1;
  }
  EXPECT_EQ(corrected % 2, 1);
}

// Blocks of random size at offsets, with further non-zeros in and out of the block, in row
// order or shuffled (rows in several runs, odd and even numbers of corrections), steps that are
// zero, below the threshold or not a number, and last residuals that are not a number: the
// status and every value are those of the update computed plainly.
TEST_F(Schubert, RandomBlocksGetThePlainUpdateToTheBit) {
  std::mt19937 gen(4242);
  auto below = [&gen](int n) { return static_cast<int>(gen() % static_cast<unsigned>(n)); };
  const double odd[] = {0.0, 1.0, -2.0, 1e-9, 1e300, std::nan(""), 3.5, -0.75};
  for (int t = 0; t < 1000; ++t) {
    SCOPED_TRACE("case " + std::to_string(t));
    const int n = 1 + below(9);
    m.diagonal(n);
    // Out of the block: the equation and the variable before it (the block starts at 2 or later).
    for (int q = below(12); q > 0; --q)
      m.nz.emplace_back(below(6) == 0 ? -1 : below(n), below(6) == 0 ? -1 : below(n));
    if (below(2)) std::shuffle(m.nz.begin(), m.nz.end(), gen);
    m.coef.resize(m.nz.size());
    for (double& c : m.coef) c = 0.5 + 0.25 * below(8);
    m.power = 2;
    const int vs = 2 + below(5), es = 2 + below(5), ns = 1 + below(9);
    b = PlacedBlockTest::place(vs, es, ns);
    ASSERT_NE(b, 0);
    lastx = blk_allocate_lastx(b);
    lastf = blk_allocate_lastf(b);
    auto inside = [n](const std::pair<int, int>& nz) {
      return nz.first >= 0 && nz.first < n && nz.second >= 0 && nz.second < n;
    };
    std::vector<double> x0(n), x(n);
    for (int i = 0; i < n; ++i) {
      x0[i] = below(5) == 0 ? odd[below(8)] : below(100) / 13.0;
      const int step = below(4);
      x[i] = step == 0 ? x0[i] : step == 1 ? x0[i] + 1e-7 : x0[i] + below(50) / 17.0 - 1.0;
      if (below(25) == 0) x[i] = std::nan("");
      lastx[i] = x0[i];
      lastf[i] = 0.0;
      kvovarlst_set_var_value(lists.varlst, vs + i, x[i], 0);
    }
    for (size_t k = 0; k < m.nz.size(); ++k)
      if (inside(m.nz[k]))
        lastf[m.nz[k].first] += m.coef[k] * (x0[m.nz[k].second] * x0[m.nz[k].second]);
    if (below(10) == 0) lastf[below(n)] = std::nan("");
    const int nnz = static_cast<int>(m.nz.size());
    std::vector<double> a(nnz);
    for (int k = 0; k < nnz; ++k) {
      a[k] = below(20) == 0 ? 0.0 : below(200) / 9.0 - 5.0;
      kvojac_set_nz_value(lists.jac, ns + k, a[k]);
    }
    const int status = update();
    his();

    const double* f = kvoeqnlst_vec_residual(lists.eqnlst) + es - 1;
    const double h = kvoblk_inq_pertsize(b);
    std::vector<double> dx(n), norm(n, 0.0), secant(n);
    std::vector<int> reason(n, 1);  // 0 updated, else skipped
    std::vector<bool> moved(n);
    double total = 0.0;
    for (int j = 0; j < n; ++j) {
      dx[j] = x[j] - x0[j];
      moved[j] = std::fabs(dx[j]) >= (std::fabs(x0[j]) + 1.0) * h;
      total += dx[j] * dx[j];
    }
    for (int i = 0; i < n; ++i) secant[i] = f[i] - lastf[i];
    for (int k = 0; k < nnz; ++k) {
      if (!inside(m.nz[k])) continue;
      const auto [i, j] = m.nz[k];
      norm[i] += dx[j] * dx[j];
      secant[i] -= a[k] * dx[j];
      if (moved[j]) reason[i] = 0;
    }
    int skipped = 0;
    for (int i = 0; i < n; ++i) {
      if (1e-10 * (std::fabs(lastf[i]) + std::fabs(f[i])) > std::fabs(secant[i])) reason[i] = 2;
      if (total + 1e-8 * norm[i] == total) reason[i] = 3;
      if (!std::isfinite(secant[i]) || !std::isfinite(norm[i])) reason[i] = 4;
      skipped += reason[i] != 0;
    }
    EXPECT_EQ(status, -skipped);
    for (int k = 0; k < nnz; ++k) {
      double want = a[k];
      if (inside(m.nz[k]) && reason[m.nz[k].first] == 0) {
        const auto [i, j] = m.nz[k];
        want = a[k] + dx[j] * secant[i] / norm[i];
      }
      const double got = bj(ns + k);
      EXPECT_TRUE(std::memcmp(&got, &want, sizeof got) == 0)
          << "non-zero " << k << ": " << got << ", not " << want;
    }
    destroy_block(b);
  }
}

// ---- Failures --------------------------------------------------------------------------------

TEST_F(Schubert, MissingLastIterateIsStatusOneWithAMessageFromLevelFour) {
  place(2, 2);
  blk_destroy_lastf(b);
  kvojac_set_nz_value(lists.jac, 1, 6.0);
  kvoblk_set_diag_level(b, 3);
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(his(), "");
  kvoblk_set_diag_level(b, 4);
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(his(), "\nError in Schubert update.Could not find last iterate for block B1\n");
  EXPECT_EQ(bj(1), 6.0);
  EXPECT_EQ(m.res_calls, 0);
}

TEST_F(Schubert, BuffersMadeForAnotherPlacementAreNoLastIterate) {
  place(3, 2);
  point({1.0, 1.0, 1.0}, {2.0, 2.0, 2.0}, {2.0, 2.0, 2.0});
  kvoblk_set_vstop(b, 2);  // the block shrank after the buffers were made
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(his(), "\nError in Schubert update.Could not find last iterate for block B1\n");
  // Recording into the unfit buffer writes nothing.
  kvovarlst_set_var_value(lists.varlst, 1, 42.0, 0);
  blk_store_lastx(b);
  EXPECT_EQ(lastx[0], 1.0);
}

TEST_F(Schubert, BlockWithoutNonZerosIsStatusTwo) {
  place(2, 2);
  kvoblk_set_nzstop(b, 0);
  EXPECT_EQ(update(), 2);
  EXPECT_EQ(his(), "\nError in Schubert update.Number of  nonzeros for block B1 is 0\n");
  kvoblk_set_diag_level(b, 3);
  EXPECT_EQ(update(), 2);
  EXPECT_EQ(his(), "");
  // Range words far apart give a count that says so rather than one that wrapped.
  kvoblk_set_diag_level(b, 4);
  kvoblk_set_nzstart(b, 2147483647);
  kvoblk_set_nzstop(b, -2147483647 - 1);
  EXPECT_EQ(update(), 2);
  EXPECT_EQ(his(), "\nError in Schubert update.Number of  nonzeros for block B1 is -2147483648\n");
}

TEST_F(Schubert, BlockEmptiedAfterItsBuffersWereMadeIsStatusTwoWithEveryEmptyCount) {
  place(2, 2);
  kvoblk_set_vstop(b, 0);
  kvoblk_set_estop(b, 0);
  EXPECT_EQ(update(), 2);
  EXPECT_EQ(his(),
            "\nError in Schubert update.Number of variables for block B1 is 0\n"
            "\nError in Schubert update.Number of equations for block B1 is 0\n");
  kvoblk_set_nzstop(b, 0);
  EXPECT_EQ(update(), 2);
  EXPECT_EQ(his(),
            "\nError in Schubert update.Number of variables for block B1 is 0\n"
            "\nError in Schubert update.Number of equations for block B1 is 0\n"
            "\nError in Schubert update.Number of  nonzeros for block B1 is 0\n");
  EXPECT_EQ(m.res_calls, 0);
}

TEST_F(Schubert, ResidualFailureIsStatusThreeAndLeavesTheJacobian) {
  place(2, 2);
  point({1.0, 1.0}, {2.0, 2.0}, {2.0, 2.0});
  m.fail_at = 1;
  EXPECT_EQ(update(), 3);
  EXPECT_EQ(his(), "\nError in Schubert update.Could not compute residuals for block B1\n");
  EXPECT_EQ(bj(1), 2.0);
}

namespace {
void destroying_res(int b, int* status) {
  *status = 0;
  kvoblk_destroy(b);
}
}  // namespace

TEST_F(Schubert, ResidualRoutineThatDestroysTheBlockIsStatusThree) {
  place(2, 2);
  point({1.0, 1.0}, {2.0, 2.0}, {2.0, 2.0});
  kvoblk_inq_ops(b)->res = destroying_res;
  EXPECT_EQ(update(), 3);
  EXPECT_EQ(his(), "\nError in Schubert update.Could not compute residuals for block \n");
  EXPECT_EQ(bj(1), 2.0);
  blocks.clear();  // destroyed already
}

// The same when the routine also makes another block at the handle: that block is not updated,
// and the message names no block, as for one that is gone.
namespace {
int replaced_by = 0;
void replacing_res(int b, int* status) {
  *status = 0;
  kvoblk_destroy(b);
  replaced_by = kvoblk_base_create(0);
  kvoblk_set_blkid(replaced_by, "NEW");
}
}  // namespace

TEST_F(Schubert, ResidualRoutineThatReplacesTheBlockIsStatusThree) {
  place(2, 2);
  point({1.0, 1.0}, {2.0, 2.0}, {2.0, 2.0});
  kvoblk_inq_ops(b)->res = replacing_res;
  EXPECT_EQ(update(), 3);
  ASSERT_EQ(replaced_by, b);  // the scene needs the handle taken again
  EXPECT_EQ(his(), "\nError in Schubert update.Could not compute residuals for block \n");
  EXPECT_EQ(bj(1), 2.0);
}

namespace {
void releasing_res(int b, int* status) {
  *status = 0;
  blk_destroy_lastf(b);
}

// A residual routine that drops the block's last equation and variable: the last iterate
// describes the block as it was, and the dropped row is no longer the block's to update.
void narrowing_res(int b, int* status) {
  kvotest::toy_res(b, status);
  kvoblk_set_estop(b, 2);
  kvoblk_set_vstop(b, 2);
}
// One that makes the last-iterate buffers anew, of the same sizes: they hold no iterate yet.
void reallocating_res(int b, int* status) {
  kvotest::toy_res(b, status);
  blk_allocate_lastx(b);
  blk_allocate_lastf(b);
}
}  // namespace

TEST_F(Schubert, ResidualRoutineThatReleasesTheLastIterateIsStatusOneWithItsMessage) {
  place(2, 2);
  point({1.0, 1.0}, {2.0, 2.0}, {2.0, 2.0});
  kvoblk_inq_ops(b)->res = releasing_res;
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(his(), "\nError in Schubert update.Could not find last iterate for block B1\n");
  EXPECT_EQ(bj(1), 2.0);
}

TEST_F(Schubert, ResidualRoutineThatNarrowsTheBlockFindsNoLastIterateAndLeavesTheJacobian) {
  place(3, 2);
  point({1.0, 1.0, 1.0}, {2.0, 2.0, 2.0}, {2.0, 2.0, 2.0});
  kvoblk_inq_ops(b)->res = narrowing_res;
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(his(), "\nError in Schubert update.Could not find last iterate for block B1\n");
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(bj(k), 2.0) << k;
  kvoblk_set_estop(b, 3);
  kvoblk_set_vstop(b, 3);
  kvoblk_inq_ops(b)->res = reallocating_res;
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(his(), "\nError in Schubert update.Could not find last iterate for block B1\n");
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(bj(k), 2.0) << k;
}

TEST_F(Schubert, NoRoomForWorkArraysLeavesTheJacobian) {
  place(2, 2);
  point({1.0, 1.0}, {2.0, 2.0}, {2.0, 2.0});
  kvotest::fail_nothrow_new_after(3);
  EXPECT_EQ(update(), 1);
  kvotest::fail_nothrow_new_after(0);
  EXPECT_EQ(bj(1), 2.0);
  EXPECT_EQ(bj(2), 2.0);
  EXPECT_EQ(his(),
            "!! blk_schubert_update: Not enough memory to update the Jacobian of block B1\n");
}

TEST_F(Schubert, JacobianShorterThanTheBlockIsRefusedAndLeftAsItIs) {
  place(3, 2);
  point({1.0, 1.0, 1.0}, {2.0, 2.0, 2.0}, {2.0, 2.0, 2.0});
  kvoref::resize_jac(lists.jac, 2);
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(m.res_calls, 0);
  EXPECT_EQ(bj(1), 2.0);
  EXPECT_EQ(bj(2), 2.0);
  EXPECT_EQ(his(),
            "!! blk_schubert_update: Non-zeros 1 to 3 of block B1 are not in the Jacobian\n");
}

namespace {
kv_jac_t shrunk_jac = 0;
void shrinking_res(int b, int* status) {
  *status = 0;
  kvoref::resize_jac(shrunk_jac, 2);
  (void)b;
}
}  // namespace

TEST_F(Schubert, ResidualRoutineThatShortensTheJacobianIsRefusedAndLeavesIt) {
  place(3, 2);
  point({1.0, 1.0, 1.0}, {2.0, 2.0, 2.0}, {2.0, 2.0, 2.0});
  shrunk_jac = lists.jac;
  kvoblk_inq_ops(b)->res = shrinking_res;
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(bj(1), 2.0);
  EXPECT_EQ(bj(2), 2.0);
  EXPECT_EQ(his(),
            "!! blk_schubert_update: Non-zeros 1 to 3 of block B1 are not in the Jacobian\n");
}

// Variables 2 to 4 of a list of 3: the last one would be read as 0 and the block's own first
// variable left out, an update of the wrong step.
TEST_F(Schubert, BlockOutsideItsListsIsRefusedAndLeftAsItIs) {
  place(3, 2);
  point({1.0, 1.0, 1.0}, {2.0, 2.0, 2.0}, {2.0, 2.0, 2.0});
  kvoblk_set_vstart(b, 2);
  kvoblk_set_vstop(b, 4);
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(m.res_calls, 0);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(bj(k), 2.0) << k;
  EXPECT_EQ(his(), "!! blk_schubert_update: Block B1 lies outside its variable or equation list\n");
  kvoblk_set_vstart(b, 1);
  kvoblk_set_vstop(b, 3);
}

TEST_F(Schubert, BlockWhoseContainerHasNoJacobianIsRefused) {
  place(2, 2);
  point({1.0, 1.0}, {2.0, 2.0}, {2.0, 2.0});
  kvoref::Lists none = lists;
  none.jac = 0;
  cntr->set_lists(none);
  EXPECT_EQ(update(), 1);
  EXPECT_EQ(m.res_calls, 0);
  EXPECT_EQ(his(),
            "!! blk_schubert_update: Non-zeros 1 to 2 of block B1 are not in the Jacobian\n");
  cntr->set_lists(lists);
}

// ---- Recording the last iterate ----------------------------------------------------------------

TEST_F(Schubert, StoresCurrentValuesAndResiduals) {
  place(2, 2, {1.0, 3.0});
  kvovarlst_set_var_value(lists.varlst, 1, 4.0, 0);
  kvovarlst_set_var_value(lists.varlst, 2, 5.0, 0);
  int st = 0;
  kvoblk_res(b, &st);
  blk_store_lastx(b);
  blk_store_lastf(b);
  EXPECT_EQ(lastx[0], 4.0);
  EXPECT_EQ(lastx[1], 5.0);
  EXPECT_EQ(lastf[0], 16.0);
  EXPECT_EQ(lastf[1], 75.0);
  blk_destroy_lastx(b);
  blk_store_lastx(b);  // no buffer: nothing to write
  blk_store_lastx(0);
  EXPECT_EQ(his(), "");
}

// ---- Whether an update may be used ------------------------------------------------------------

TEST_F(Schubert, CheckGivesItsReasonFromLevelFive) {
  place(1, 2);
  kvoblk_set_diag_level(b, 4);
  EXPECT_EQ(blk_schubert_check(b), -1);
  EXPECT_EQ(his(), "");
  kvoblk_set_diag_level(b, 5);
  EXPECT_EQ(blk_schubert_check(b), -1);
  EXPECT_EQ(his(),
            "\nSchubert update not used for block B1 because it is not being solved. Using "
            "alternate jacobian method.\n");
  wordof(b, W::being_solved) = 1;
  EXPECT_EQ(blk_schubert_check(b), -2);
  EXPECT_EQ(his(),
            "\nSchubert update not used for block B1 because it has not iterated. Using "
            "alternate jacobian method.\n");
  wordof(b, W::iterated) = 1;
  kvoblk_set_nlratio(b, 1.02);
  EXPECT_EQ(blk_schubert_check(b), -3);
  EXPECT_EQ(his(),
            "\nSchubert update not used for block B1 because it has a too large Nonlin. ratio "
            "deviation. Using alternate jacobian method.\n");
  kvoblk_set_nlratio(b, 1.005);
  EXPECT_EQ(blk_schubert_check(b), 1);
  EXPECT_EQ(his(), "");
}

TEST_F(Schubert, DeviationEqualToTheLimitOrNotANumberRulesTheUpdateOut) {
  place(1, 2);
  wordof(b, W::being_solved) = 1;
  wordof(b, W::iterated) = 1;
  EXPECT_EQ(blk_schubert_check(b), 1);  // the ratio a model never computes stays 1.0
  kvoblk_set_nlratio(b, 0.5);
  kvoblk_set_nlratiodev(b, 0.5);
  EXPECT_EQ(blk_schubert_check(b), -3);
  kvoblk_set_nlratiodev(b, 0.01);
  kvoblk_set_nlratio(b, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(blk_schubert_check(b), -3);
  EXPECT_EQ(blk_schubert_check(0), 0);
}
