// SPDX-License-Identifier: BSD-3-Clause
// Numeric sparsity detection: the pattern found, the step away from bounds and zero, the refusal
// of unusable values, residual failures, empty blocks and growth of the entry arrays.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "toy_model.h"

namespace {

// A linear test model: equation i is the sum of (j + 1) x_j over the columns j it depends on.
// Variables are X1..Xn. Every residual call records the variable values it saw.
struct Model {
  int nvar = 0, neq = 0;
  int defined_eqns = -1;                  // equations put into the list; -1 means all
  std::vector<std::pair<int, int>> deps;  // (row, column), block-local, 1-based
  std::vector<double> value, lower, upper, scale;
  std::vector<int> fail_calls;   // residual calls (1-based) that report a problem
  int nan_row = 0, nan_var = 0;  // this equation is not a number while this variable is moved
  int inf_row = 0;               // this equation is always infinite
  int calls = 0;
  std::vector<std::vector<double>> seen;
} m;

void model_ini(int b, int vs, int es, int, int* status) {
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(b, &varlst, &eqnlst, &jac);
  for (int j = 0; j < m.nvar; ++j)
    kvoref::define_var(varlst, vs + j, ("X" + std::to_string(j + 1)).c_str(), m.value[j],
                       m.lower[j], m.upper[j], m.scale[j]);
  int ne = m.defined_eqns < 0 ? m.neq : m.defined_eqns;
  for (int i = 0; i < ne; ++i)
    kvoref::define_eqn(eqnlst, es + i, ("E" + std::to_string(i + 1)).c_str());
  kvoblk_set_vstop(b, vs + m.nvar - 1);
  kvoblk_set_estop(b, es + m.neq - 1);
  *status = 0;
}

void model_res(int b, int* status) {
  ++m.calls;
  int varlst = blk_inq_matrix_varlst(b), eqnlst = blk_inq_matrix_eqnlst(b);
  int vs = kvoblk_inq_vstart(b), es = kvoblk_inq_estart(b);
  std::vector<double> x(m.nvar);
  for (int j = 0; j < m.nvar; ++j) x[j] = kvovarlst_inq_var_value(varlst, vs + j, 0);
  m.seen.push_back(x);
  std::vector<double> r(m.neq, 0.0);
  for (auto [row, col] : m.deps) r[row - 1] += (col + 1) * x[col - 1];
  if (m.nan_row > 0 && x[m.nan_var - 1] != m.value[m.nan_var - 1]) r[m.nan_row - 1] = NAN;
  if (m.inf_row > 0) r[m.inf_row - 1] = HUGE_VAL;
  double* vec = kvoeqnlst_vec_residual(eqnlst);
  int n = kvoeqnlst_inq_neqn(eqnlst);
  for (int i = 0; i < m.neq; ++i)
    if (es + i <= n) vec[es + i - 1] = r[i];
  for (int c : m.fail_calls)
    if (c == m.calls) *status = 1;
}

// Sets up a model of nvar variables (value 1, no bounds, scale 1) and neq equations.
void shape(int nvar, int neq) {
  m = Model();
  m.nvar = nvar;
  m.neq = neq;
  m.value.assign(nvar, 1.0);
  m.lower.assign(nvar, -1e35);
  m.upper.assign(nvar, 1e35);
  m.scale.assign(nvar, 1.0);
}

using Entries = std::vector<std::pair<int, int>>;
using kvotest::pattern_entries;

}  // namespace

class NumericPattern : public kvotest::PlacedBlockTest {
 protected:
  NumericPattern() { list_capacity = 100; }
  void SetUp() override {
    PlacedBlockTest::SetUp();
    shape(5, 3);
  }
  // Makes and places the block for the current model at variable 11, equation 21.
  void place() {
    b = make_block("R1");
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->ini = model_ini;
    t->res = model_res;
    ASSERT_TRUE(place_block(b, 11, 21, 1));
  }
  kv_jac_t detect_three_by_five(bool included);
  double value(int j) { return kvovarlst_inq_var_value(lists.varlst, 10 + j, 0); }

  int b = 0;
};

// Detects the pattern of a placed 3 x 5 block (included or not) and checks the entries, the
// calls and that the values are back; answers the pattern, or 0 after a failure.
kv_jac_t NumericPattern::detect_three_by_five(bool included) {
  m.deps = {{1, 1}, {3, 1}, {2, 2}, {1, 3}, {3, 4}, {1, 5}};
  m.value = {1, 2, -3, 4, 5};
  place();
  if (!included) {
    kvoblk_set_included(b, 0);
    his();  // what exclusion prints is not what is tested here
  }
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  EXPECT_NE(p, 0);
  if (!p) return 0;
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 5}, {1, 3}, {1, 1}, {2, 2}, {3, 4}, {3, 1}}));
  EXPECT_EQ(m.calls, 6);  // the base point and one perturbation per variable
  for (int j = 1; j <= 5; ++j) EXPECT_EQ(value(j), m.value[j - 1]) << j;
  return p;
}

TEST_F(NumericPattern, FindsEachRowsColumnsInDecreasingOrderAndRestoresValues) {
  kv_jac_t p = detect_three_by_five(true);
  ASSERT_NE(p, 0);
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(his(), "");
  kvojac_destroy(&p);
}

// Exclusion withdraws a block from the solve, not from detection: its pattern is still found
// from the model's residuals, and the block stays excluded.
TEST_F(NumericPattern, ExcludedBlockIsDetectedFromItsModelsResiduals) {
  kv_jac_t p = detect_three_by_five(false);
  ASSERT_NE(p, 0);
  EXPECT_EQ(kvoblk_inq_included(b), 0);
  // The ordinary residual request still does nothing for it.
  int status = 0;
  kvoblk_res(b, &status);
  EXPECT_EQ(m.calls, 6);
  EXPECT_EQ(his(), "");
  kvojac_destroy(&p);
}

TEST_F(NumericPattern, ZeroValuesAreMovedAwayAndPerturbedRelativeToTheMovedValue) {
  shape(3, 1);
  m.deps = {{1, 1}, {1, 2}, {1, 3}};
  m.value = {0.0, 0.0, 0.0};
  m.upper[1] = 0.01;  // too close to its upper bound to move up
  m.scale[2] = 5.0;
  place();
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_NE(p, 0);
  ASSERT_EQ(m.seen.size(), 4u);
  EXPECT_EQ(m.seen[0], (std::vector<double>{0.01, -0.01, 0.01}));
  const double h = 1e-6 * (0.01 + 1.0);
  EXPECT_EQ(m.seen[1][0], 0.01 + h);
  EXPECT_EQ(m.seen[2][1], -0.01 - h);
  EXPECT_EQ(m.seen[3][2], 0.01 + h);  // the scale plays no part once moved
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 3}, {1, 2}, {1, 1}}));
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(value(j), 0.0);
  kvojac_destroy(&p);
}

TEST_F(NumericPattern, WithoutMoveAZeroValueIsPerturbedByItsScale) {
  shape(1, 1);
  m.deps = {{1, 1}};
  m.value = {0.0};
  m.scale = {5.0};
  place();
  kvoblk_set_move(b, 0);
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_EQ(m.seen.size(), 2u);
  EXPECT_EQ(m.seen[0][0], 0.0);
  EXPECT_EQ(m.seen[1][0], 1e-6 * 5.0);
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 1}}));
  kvojac_destroy(&p);
}

TEST_F(NumericPattern, AScaleOfZeroOrNotANumberStillMovesAZeroValue) {
  // A host that leaves a scale at 0 (or gives one that is not a number) must not cost the
  // variable its column: the step is then taken as for a scale of 1; a negative scale counts by
  // its size.
  shape(3, 1);
  m.deps = {{1, 1}, {1, 2}, {1, 3}};
  m.value = {0.0, 0.0, 0.0};
  m.scale = {0.0, NAN, -4.0};
  place();
  kvoblk_set_move(b, 0);
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  EXPECT_EQ(errors, 0);
  ASSERT_EQ(m.seen.size(), 4u);
  EXPECT_EQ(m.seen[1][0], 1e-6);
  EXPECT_EQ(m.seen[2][1], 1e-6);
  EXPECT_EQ(m.seen[3][2], 4e-6);
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 3}, {1, 2}, {1, 1}}));
  kvojac_destroy(&p);
}

TEST_F(NumericPattern, VariableAtItsUpperBoundIsPerturbedDownAndStillFound) {
  shape(2, 1);
  m.deps = {{1, 1}, {1, 2}};
  m.value = {2.0, -2.0};
  m.upper[0] = 2.0;
  m.lower[1] = -2.0;
  place();
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_EQ(m.seen.size(), 3u);
  EXPECT_EQ(m.seen[1][0], 2.0 - 3e-6);
  EXPECT_EQ(m.seen[2][1], -2.0 + 3e-6);  // at the lower bound: up, against the sign
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 2}, {1, 1}}));
  kvojac_destroy(&p);
}

TEST_F(NumericPattern, FixedVariableIsAcceptedAndLeftUnmovedWithAnEmptyColumn) {
  shape(3, 2);
  m.deps = {{1, 1}, {1, 2}, {2, 2}, {2, 3}};
  m.value = {1.0, 0.0, 1.0};
  m.lower[1] = m.upper[1] = 0.0;  // fixed at zero: not moved either
  place();
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_NE(p, 0);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(his(), "");
  for (const auto& x : m.seen) EXPECT_EQ(x[1], 0.0);
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 1}, {2, 3}}));
  kvojac_destroy(&p);
}

TEST_F(NumericPattern, RefusesSwitchedBoundsAndValuesOutsideBeforeAnyResidual) {
  shape(5, 2);
  m.lower[1] = 2.0, m.upper[1] = 1.0, m.value[1] = 1.5;
  m.value[2] = std::numeric_limits<double>::quiet_NaN();
  m.lower[3] = 5.0, m.upper[3] = 4.0, m.value[3] = 4.0;  // switched bounds never hold a value
  m.upper[4] = 0.5;
  place();
  kvoblk_set_pat_type(b, KVOBLK_PATTYPE_ANALYTIC);
  int errors = 3;
  EXPECT_EQ(kvoblk_npat(b, &errors), 0);
  EXPECT_EQ(errors, 4);
  EXPECT_EQ(m.calls, 0);
  EXPECT_EQ(his(),
            "Variable 1 , X2 is outside its bounds\n"
            "Variable 1 , X2 has the bounds switched.\n"
            "Variable 2 , X3 is outside its bounds\n"
            "Variable 3 , X4 is outside its bounds\n"
            "Variable 3 , X4 has the bounds switched.\n"
            "Variable 4 , X5 is outside its bounds\n"
            "\nSparsity not computed. Please correct previous mistakes and try again.\n");
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_ANALYTIC);
  EXPECT_EQ(value(2), 1.5);
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
}

// An infinite value has no step that moves it, whatever its bounds: it is refused with the
// values outside their bounds instead of losing its column, and the entries of every equation
// it reaches, to residuals that stay infinite.
TEST_F(NumericPattern, RefusesAnInfiniteValueEvenWithinInfiniteBounds) {
  shape(2, 1);
  m.deps = {{1, 1}, {1, 2}};
  m.value[1] = -HUGE_VAL;
  m.lower[1] = -HUGE_VAL;
  m.upper[1] = HUGE_VAL;
  place();
  int errors = 0;
  EXPECT_EQ(kvoblk_npat(b, &errors), 0);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(m.calls, 0);
  EXPECT_EQ(his(),
            "Variable 1 , X2 is outside its bounds\n"
            "\nSparsity not computed. Please correct previous mistakes and try again.\n");
  EXPECT_EQ(value(2), -HUGE_VAL);
}

TEST_F(NumericPattern, ResidualFailureStaysAFailureWhateverLaterEvaluationsReport) {
  const std::string warning =
      "\nError in numerical sparsity.Errors/warnings in residuals for block R1\n"
      "Sparsity may be wrong.";
  m.deps = {{1, 1}, {2, 2}};
  m.value = {0.0, 1, 1, 1, 1};
  place();
  for (std::vector<int> fail : {std::vector<int>{1}, {2}, {6}}) {
    m.fail_calls = fail;
    m.calls = 0;
    int errors = 0;
    EXPECT_EQ(kvoblk_npat(b, &errors), 0) << fail[0];
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(m.calls, 6);
    EXPECT_EQ(his(), warning);
    EXPECT_EQ(kvoblk_inq_pat_type(b), 0);
    EXPECT_EQ(value(1), 0.0);  // the move away from zero is undone too
  }
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
}

// Detection evaluates through the block's detection slot, which a model may fill with a more
// tolerant routine; an empty slot is reported and counts as no failure.
TEST_F(NumericPattern, ResidualsComeThroughTheDetectionSlotWhichReportsWhenEmpty) {
  m.deps = {{1, 1}, {2, 2}};
  m.fail_calls = {1, 2, 3, 4, 5, 6};  // the ordinary routine fails every time
  place();
  static int tolerant_calls;
  tolerant_calls = 0;
  kvoblk_inq_ops(b)->npat_res = [](int blk, int* status) {
    ++tolerant_calls;
    model_res(blk, status);
    *status = 0;
  };
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_NE(p, 0);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(tolerant_calls, 6);
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 1}, {2, 2}}));
  kvojac_destroy(&p);

  kvoblk_inq_ops(b)->npat_res = nullptr;
  int status = 7;
  kvoblk_npat_res(b, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(his(), "!! kvoblk_npat_res: Attempt to call an undefined function\n");
}

// A detection whose evaluations would run no routine finds nothing to tell an empty pattern
// from a missing one: it says so once, perturbs nothing and gives no pattern.
TEST_F(NumericPattern, EmptyEvaluationSlotFailsTheDetectionWithoutPerturbing) {
  const std::string warning =
      "\nError in numerical sparsity.Errors/warnings in residuals for block R1\n"
      "Sparsity may be wrong.";
  m.value = {0.0, 1, 1, 1, 1};
  place();
  kvoblk_inq_ops(b)->res = nullptr;
  int errors = 0;
  EXPECT_EQ(kvoblk_npat(b, &errors), 0);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "!! kvoblk_res: Attempt to call an undefined function\n" + warning);
  kvoblk_inq_ops(b)->res = model_res;
  kvoblk_inq_ops(b)->npat_res = nullptr;
  EXPECT_EQ(kvoblk_npat(b, &errors), 0);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(his(), "!! kvoblk_npat_res: Attempt to call an undefined function\n" + warning);
  EXPECT_EQ(m.calls, 0);
  EXPECT_EQ(value(1), 0.0);
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);
}

// The zero tolerance is a strict bound three times over: a value is moved only below it,
// stepped relative to its size only above it, and a change counts only above it.
TEST_F(NumericPattern, ZeroToleranceIsStrictForMovingSteppingAndCounting) {
  shape(3, 1);
  m.deps = {{1, 1}, {1, 2}, {1, 3}};  // slopes 2, 3 and 4
  m.value = {8.0, 8.0, 3.0};
  m.scale[2] = 2.0;
  place();
  kvoblk_set_pertsize(b, 0.5);
  kvoblk_set_zerotol(b, 3.0);
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_NE(p, 0);
  ASSERT_EQ(m.seen.size(), 4u);
  EXPECT_EQ(m.seen[0], (std::vector<double>{8.0, 8.0, 3.0}));  // 3 is not below 3: not moved
  EXPECT_EQ(m.seen[1][0], 12.5);                               // h = 0.5 x (8 + 1)
  EXPECT_EQ(m.seen[3][2], 4.0);  // 3 is not above 3: h = 0.5 x its scale
  // Changes of 2, 3 and 4 per unit step against a tolerance of 3: only the last counts.
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 3}}));
  kvojac_destroy(&p);
}

// A residual that turns into no number under a perturbation passes no tolerance, so its
// entry is missing: the detection still succeeds, as before, but says so.
TEST_F(NumericPattern, AResidualThatIsNotANumberIsNamedNotPassedOverInSilence) {
  m.deps = {{1, 1}, {2, 2}, {3, 4}};
  m.nan_row = 3;
  m.nan_var = 4;
  place();
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_NE(p, 0);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 1}, {2, 2}}));
  EXPECT_EQ(his(),
            "\nWarning in numerical sparsity for block R1: the residual of equation 3 (E3) was not "
            "a number at the base point or with variable 4 (X4) perturbed. Sparsity may be "
            "wrong.\n");
  kvojac_destroy(&p);
}

// An infinite residual stays infinite under every perturbation and so equals itself: its row
// loses its entries, which the detection says.
TEST_F(NumericPattern, AResidualInfiniteAtTheBasePointIsNamed) {
  m.deps = {{1, 1}, {2, 2}};
  m.inf_row = 2;
  place();
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_NE(p, 0);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 1}}));
  EXPECT_EQ(his(),
            "\nWarning in numerical sparsity for block R1: the residual of equation 2 (E2) was "
            "infinite at the base point. Sparsity may be wrong.\n");
  kvojac_destroy(&p);
}

TEST_F(NumericPattern, HostWithoutRoomForThePatternObjectFailsAndSaysSo) {
  m.deps = {{1, 1}, {2, 2}};
  place();
  kvoref::refuse_pattern_objects(true);
  int errors = 0;
  EXPECT_EQ(kvoblk_npat(b, &errors), 0);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(),
            "!! kvoblk_npat: The Jacobian service gave no pattern object for the 2 non-zeros of "
            "block R1\n");
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);
  EXPECT_EQ(value(1), 1.0);
}

TEST_F(NumericPattern, BlockWithoutVariablesOrEquationsReportsItsCounts) {
  for (auto [nv, ne] : {std::pair<int, int>{0, 2}, {2, 0}, {0, 0}}) {
    shape(nv, ne);
    place();
    int errors = 0;
    EXPECT_EQ(kvoblk_npat(b, &errors), 0);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(m.calls, 0);
    std::string want;
    if (nv == 0) want += "\nError in numerical sparsity.Number of variables for block R1 is 0\n";
    if (ne == 0) want += "\nError in numerical sparsity.Number of equations for block R1 is 0\n";
    EXPECT_EQ(his(), want);
    destroy_block(b);
    b = 0;
  }
  // A range reaching across the whole word shows its count as it is, not wrapped to a positive.
  shape(0, 2);
  place();
  kvoblk_set_vstart(b, INT32_MAX);
  kvoblk_set_vstop(b, INT32_MIN);
  int errors = 0;
  EXPECT_EQ(kvoblk_npat(b, &errors), 0);
  EXPECT_EQ(his(),
            "\nError in numerical sparsity.Number of variables for block R1 is -2147483648\n");
}

// A residual routine that destroys its block ends the detection at once: the values go back,
// no pattern is handed out for a block that is gone, and the missing block is said once.
TEST_F(NumericPattern, BlockDestroyedByItsResidualRoutineEndsTheDetection) {
  m.deps = {{1, 1}, {2, 2}};
  place();
  static int gone_at;
  gone_at = 3;
  kvoblk_inq_ops(b)->res = [](int blk, int* status) {
    model_res(blk, status);
    if (m.calls == gone_at) kvoblk_base_destroy(blk);
  };
  blocks.clear();  // the block goes during the detection
  int errors = 0;
  EXPECT_EQ(kvoblk_npat(b, &errors), 0);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(m.calls, 3);
  EXPECT_EQ(his(), "!! kvoblk_npat: Block " + std::to_string(b) +
                       " was destroyed while its sparsity was being computed\n");
  for (int j = 1; j <= 5; ++j) EXPECT_EQ(value(j), 1.0) << j;
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
}

// The same when the routine also makes another block at the handle: the detection does not go
// on over that block, nor gives it a pattern type.
TEST_F(NumericPattern, BlockReplacedByItsResidualRoutineEndsTheDetection) {
  m.deps = {{1, 1}, {2, 2}};
  place();
  static int replaced_by, fresh_type;
  replaced_by = 0;
  kvoblk_inq_ops(b)->res = [](int blk, int* status) {
    model_res(blk, status);
    if (m.calls != 3) return;
    kvoblk_base_destroy(blk);
    replaced_by = kvoblk_base_create(0);
    fresh_type = kvoblk_inq_pat_type(replaced_by);
  };
  int errors = 0;
  EXPECT_EQ(kvoblk_npat(b, &errors), 0);
  ASSERT_EQ(replaced_by, b);  // the scene needs the handle taken again
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(m.calls, 3);
  EXPECT_EQ(his(), "!! kvoblk_npat: Block " + std::to_string(b) +
                       " was destroyed while its sparsity was being computed\n");
  for (int j = 1; j <= 5; ++j) EXPECT_EQ(value(j), 1.0) << j;
  EXPECT_EQ(kvoblk_inq_pat_type(b), fresh_type);
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
}

TEST_F(NumericPattern, MissingOrUnknownBlockCountsOneErrorAndGivesNone) {
  int errors = 0;
  EXPECT_EQ(kvoblk_npat(0, &errors), 0);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoblk_npat(12345, nullptr), 0);
  EXPECT_EQ(his(), "!! kvoblk_npat: Invalid block handle 12345\n");
}

TEST_F(NumericPattern, DenseBlocksGrowTheEntryArraysAndKeepEveryEntry) {
  // 13 x 10 starts with 52 entries, 100 x 100 with 4000: both need growth when dense.
  for (auto [nv, ne] : {std::pair<int, int>{1, 1}, {13, 10}, {100, 100}, {300, 2}}) {
    shape(nv, ne);
    for (int i = 1; i <= ne; ++i)
      for (int j = 1; j <= nv; ++j) m.deps.emplace_back(i, j);
    place();
    int errors = 0;
    kv_jac_t p = kvoblk_npat(b, &errors);
    ASSERT_NE(p, 0);
    Entries want;
    for (int i = 1; i <= ne; ++i)
      for (int j = nv; j >= 1; --j) want.emplace_back(i, j);
    EXPECT_EQ(pattern_entries(p), want) << nv << "x" << ne;
    kvojac_destroy(&p);
    destroy_block(b);
    b = 0;
  }
}

TEST_F(NumericPattern, EquationsBeyondTheListReadAsZeroWithoutTouchingMemory) {
  m.deps = {{1, 1}, {3, 5}};
  m.defined_eqns = 1;  // equations 2 and 3 of the block are not in the list
  place();
  int errors = 0;
  kv_jac_t p = kvoblk_npat(b, &errors);
  ASSERT_NE(p, 0);
  EXPECT_EQ(pattern_entries(p), (Entries{{1, 1}}));
  kvojac_destroy(&p);
}

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// A block whose first kArrowDense columns reach every equation and whose equation i also
// depends on its own variable: cheap to evaluate at any size.
constexpr int kArrowDense = 41;
[[maybe_unused]] void arrow_res(int b, int* status) {
  *status = 0;
  const int n = kvoblk_inq_vstop(b) - kvoblk_inq_vstart(b) + 1;
  const double* x = kvovarlst_vec_value(blk_inq_matrix_varlst(b)) + kvoblk_inq_vstart(b) - 1;
  double* r = kvoeqnlst_vec_residual(blk_inq_matrix_eqnlst(b)) + kvoblk_inq_estart(b) - 1;
  double dense = 0.0;
  for (int j = 0; j < kArrowDense; ++j) dense += (j + 1) * x[j];
  for (int i = 0; i < n; ++i) r[i] = dense + (i >= kArrowDense ? (i + 1) * x[i] : 0.0);
}

}  // namespace

TEST_F(NumericPattern, LargeBlocksNeedMemoryInProportionToThePatternFound) {
  if (kAddressSanitizer)
    GTEST_SKIP() << "the address space limit does not fit the sanitizer's shadow memory";
  // 12,000 x 12,000 with dense first columns: reserving 5 % of nvar x neq up front takes 58 MB,
  // projecting the dense columns onto the rest more than a gigabyte; the half a million entries
  // found need a few megabytes.
  constexpr int n = 12000;
  shape(n, n);
  place();
  kvoblk_inq_ops(b)->res = arrow_res;
  // The detection runs in a child process whose address space is limited to what it has now
  // plus 32 MB.
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    long long size_kb = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmSize: %lld", &size_kb) == 1) break;
      std::fclose(f);
    }
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = static_cast<rlim_t>(size_kb * 1024 + (32ll << 20));
    setrlimit(RLIMIT_AS, &limit);
    int errors = 0;
    kv_jac_t p = kvoblk_npat(b, &errors);
    const int want = n * kArrowDense + (n - kArrowDense);
    std::_Exit(p != 0 && errors == 0 && kvojac_inq_nnz(p) == want ? 0 : 1);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << "status " << wstatus;
}
