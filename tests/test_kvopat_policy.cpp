// SPDX-License-Identifier: BSD-3-Clause
// Pattern initialisation policy: the non-zero reservation at dimensioning, dimensioning itself,
// and pattern initialisation by the model, by numeric detection, with its failures.
#include <climits>
#include <string>
#include <vector>

#include "toy_model.h"

namespace {

// A model of nvar variables and neq equations where equation i depends on variables i and i+1
// (or on every variable when dense). Its dimensioning reports its own sizes and a count of its
// choosing; its own pattern writes (estart, vstart) and (estart, vstart + 1).
struct Model {
  int nvar = 4, neq = 3;
  bool dense = false;
  int selfdim_nnz = 500, selfdim_status = 0;
  int selfpat_status = 0, selfpat_calls = 0;
  bool switched_bounds = false;
} m;

void model_selfdim(int, int* nvar, int* neqn, int* nnz, int* status) {
  *nvar = m.nvar;
  *neqn = m.neq;
  *nnz = m.selfdim_nnz;
  *status = m.selfdim_status;
}

void model_ini(int b, int vs, int es, int, int* status) {
  int varlst = blk_inq_matrix_varlst(b), eqnlst = blk_inq_matrix_eqnlst(b);
  for (int j = 0; j < m.nvar; ++j)
    kvoref::define_var(varlst, vs + j, ("X" + std::to_string(j + 1)).c_str(), 1.0);
  if (m.switched_bounds) kvoref::define_var(varlst, vs, "X1", 1.0, 2.0, 0.0);
  for (int i = 0; i < m.neq; ++i)
    kvoref::define_eqn(eqnlst, es + i, ("E" + std::to_string(i + 1)).c_str());
  kvoblk_set_vstop(b, vs + m.nvar - 1);
  kvoblk_set_estop(b, es + m.neq - 1);
  *status = 0;
}

void model_res(int b, int* status) {
  int varlst = blk_inq_matrix_varlst(b), eqnlst = blk_inq_matrix_eqnlst(b);
  int vs = kvoblk_inq_vstart(b), es = kvoblk_inq_estart(b);
  for (int i = 0; i < m.neq; ++i) {
    double r = 0;
    for (int j = 0; j < m.nvar; ++j)
      if (m.dense || j == i || j == i + 1)
        r += (j + 1) * kvovarlst_inq_var_value(varlst, vs + j, 0);
    kvoeqnlst_vec_residual(eqnlst)[es + i - 1] = r;
  }
  *status = 0;
}

void model_selfpat(int b, kv_jac_t* jac, int* status) {
  ++m.selfpat_calls;
  int es = kvoblk_inq_estart(b), vs = kvoblk_inq_vstart(b), nzs = kvoblk_inq_nzstart(b);
  kvoref::set_nz(*jac, nzs, es, vs);
  kvoref::set_nz(*jac, nzs + 1, es, vs + 1);
  *status = m.selfpat_status;
}

}  // namespace

class PatternPolicy : public kvotest::PlacedBlockTest {
 protected:
  PatternPolicy() { list_capacity = 1000; }
  void SetUp() override {
    PlacedBlockTest::SetUp();
    m = Model();
    b = make();
  }
  int make() {
    int blk = make_block("R1");
    kvoblk_ops_t* t = kvoblk_inq_ops(blk);
    t->selfdim = model_selfdim;
    t->ini = model_ini;
    t->res = model_res;
    t->selfpat = model_selfpat;
    return blk;
  }
  // Registers the container and places the block at variable 11, equation 21, non-zero 101.
  void place() { ASSERT_TRUE(place_block(b, 11, 21, 101)); }
  // A refused initialisation: no pattern type, the stop the block had, no pattern object left.
  void expect_refused(int nzstop) {
    EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);
    EXPECT_EQ(kvoblk_inq_nzstop(b), nzstop);
    EXPECT_EQ(kvoref::live_pattern_objects(), 0);
  }
  // Dimensions the block with a model that reports nvar, neq and nnz; answers the reservation.
  int reserve(int nvar, int neq, int nnz = 77) {
    m.nvar = nvar, m.neq = neq, m.selfdim_nnz = nnz;
    int v = 0, e = 0, n = 0, st = 0;
    kvoblk_dim(b, &v, &e, &n, &st);
    EXPECT_EQ(st, 0);
    return n;
  }
  void global_nz(int k, int* eqn, int* var) {
    *eqn = kvojac_inq_nz_eqnnum(lists.jac, k);
    *var = kvojac_inq_nz_varnum(lists.jac, k);
  }

  int b = 0;
};

TEST_F(PatternPolicy, NumericReservationIsDenseForSmallBlocksAndAFillShareBeyond) {
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  EXPECT_EQ(reserve(10, 10), 100);
  EXPECT_EQ(reserve(11, 10), 33);
  EXPECT_EQ(reserve(100, 100), 3000);
  EXPECT_EQ(reserve(10, 0), 77);
  EXPECT_EQ(reserve(-3, 10), 77);
  kvoblk_inq_settings(b)->pat_fill_percent = 50;
  kvoblk_inq_settings(b)->pat_dense_limit = 200;
  EXPECT_EQ(reserve(20, 10), 200);
  EXPECT_EQ(reserve(21, 10), 105);
}

TEST_F(PatternPolicy, LargeBlocksAreReservedFromWideProductsClampedTo32Bits) {
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  EXPECT_EQ(reserve(10000, 10000), 30000000);   // 1e8 x 30 leaves 32 bits
  EXPECT_EQ(reserve(50000, 50000), 750000000);  // the product itself leaves 32 bits
  EXPECT_EQ(reserve(100000, 100000), INT_MAX);  // the reservation does too
  kvoblk_inq_settings(b)->pat_dense_limit = INT_MAX;
  EXPECT_EQ(reserve(46341, 46341), 644246484);  // just above the dense limit
  kvoblk_inq_settings(b)->pat_fill_percent = INT_MAX;
  EXPECT_EQ(reserve(INT_MAX, INT_MAX), INT_MAX);
}

TEST_F(PatternPolicy, SelfKeepsTheModelsCountAndAnUnknownTypeCountsAnError) {
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  blk_selfpat_enable(b);
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_SELF);
  EXPECT_EQ(reserve(100, 100, 512), 512);
  // The model's status and the reservation's error add up.
  m.selfdim_status = 3;
  kvoblk_inq_settings(b)->pat_ini_type = 0;
  int nvar = 0, neq = 0, nnz = 0, st = 0;
  kvoblk_dim(b, &nvar, &neq, &nnz, &st);
  EXPECT_EQ(nnz, 512);
  EXPECT_EQ(st, 4);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternPolicy, RestoreWithoutAFileReservesTheEstimate) {
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_RESTORE);
  kvoblk_set_pat_file(b, "/nonexistent/dir/r1.pat");
  EXPECT_EQ(reserve(11, 10), 33);
}

TEST_F(PatternPolicy, DimensioningAsksTheModelThenReserves) {
  m.nvar = 11, m.neq = 10;
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  int nvar = -1, neq = -1, nnz = -1, st = -1;
  kvoblk_dim(b, &nvar, &neq, &nnz, &st);
  EXPECT_EQ(nvar, 11);
  EXPECT_EQ(neq, 10);
  EXPECT_EQ(nnz, 33);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternPolicy, DimensioningWithoutBlockOrRoutineAnswersZeroWithStatusOne) {
  int nvar = 5, neq = 5, nnz = 5, st = 0;
  kvoblk_dim(0, &nvar, &neq, &nnz, &st);
  EXPECT_EQ(nvar + neq + nnz, 0);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "");
  kvoblk_dim(0, nullptr, nullptr, nullptr, nullptr);

  kvoblk_inq_ops(b)->selfdim = nullptr;
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  nvar = neq = nnz = 5;
  kvoblk_dim(b, &nvar, &neq, &nnz, &st);
  EXPECT_EQ(nvar + neq + nnz, 0);
  EXPECT_EQ(st, 1);
  EXPECT_EQ(his(), "!! kvoblk_selfdim: Attempt to call an undefined function\n");
}

// A dimensioning routine that destroys its own block ends the dimensioning with its status: the
// reservation has no block to ask, and the caller's handle is not called invalid.
TEST_F(PatternPolicy, DimensioningEndsWithTheBlockItsRoutineDestroyed) {
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  kvoblk_inq_ops(b)->selfdim = [](int blk, int* nvar, int* neq, int* nnz, int* status) {
    *nvar = 11, *neq = 10, *nnz = 7;
    kvoblk_destroy(blk);
    *status = 0;
  };
  int nvar = 0, neq = 0, nnz = 0, st = -1;
  kvoblk_dim(b, &nvar, &neq, &nnz, &st);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(nnz, 7);
  EXPECT_EQ(his(), "");
}

// The same when the routine also makes another block at the handle: that block reserves
// nothing for the counts of the one that went.
int replacement_block = 0;
TEST_F(PatternPolicy, DimensioningEndsWithTheBlockItsRoutineReplaced) {
  const int lone = kvoblk_base_create(0);
  kvoblk_inq_ops(lone)->selfdim = [](int blk, int* nvar, int* neq, int* nnz, int* status) {
    *nvar = 11, *neq = 10, *nnz = 7;
    kvoblk_destroy(blk);
    replacement_block = kvoblk_base_create(0);
    kvoblk_set_pat_ini_type(replacement_block, KVOBLK_PAT_NUMERIC);
    *status = 0;
  };
  int nvar = 0, neq = 0, nnz = 0, st = -1;
  kvoblk_dim(lone, &nvar, &neq, &nnz, &st);
  ASSERT_EQ(replacement_block, lone);  // the scene needs the handle taken again
  EXPECT_EQ(st, 0);
  EXPECT_EQ(nnz, 7);
  EXPECT_EQ(his(), "");
  kvoblk_destroy(lone);
}

TEST_F(PatternPolicy, SelfPatternIsTheModelsAndKeepsEarlierErrors) {
  blk_selfpat_enable(b);
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_SELF);
  place();
  int errors = 2;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(m.selfpat_calls, 1);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_ANALYTIC);
  int e = 0, v = 0;
  global_nz(102, &e, &v);
  EXPECT_EQ(e, 21);
  EXPECT_EQ(v, 12);

  m.selfpat_status = 9;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 3);
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_ANALYTIC);
  EXPECT_EQ(his(), "");
}

// A model pattern that was never written is one error in words and no pattern type: an empty
// pattern slot, or a pattern routine that destroys its own block.
TEST_F(PatternPolicy, SelfPatternNeverWrittenCountsOneError) {
  blk_selfpat_enable(b);
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_SELF);
  place();
  kvoblk_inq_ops(b)->selfpat = nullptr;
  int errors = 0;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "!! kvoblk_selfpat: Attempt to call an undefined function\n");
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);

  kvoblk_inq_ops(b)->selfpat = [](int blk, kv_jac_t*, int* status) {
    kvoblk_destroy(blk);
    *status = 0;
  };
  errors = 2;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 3);
  EXPECT_EQ(his(), "!! kvoblk_pat_ini: Block " + std::to_string(b) +
                       " was destroyed while its sparsity was being initialised\n");
}

// A pattern routine that destroys its block and makes another at its handle has initialised
// nothing: the error is counted in the same words, and the other block gets no pattern type.
TEST_F(PatternPolicy, SelfPatternOfABlockItsRoutineReplacedCountsOneErrorAndTypesNothing) {
  blk_selfpat_enable(b);
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_SELF);
  place();
  static int fresh_type;
  kvoblk_inq_ops(b)->selfpat = [](int blk, kv_jac_t*, int* status) {
    kvoblk_destroy(blk);
    replacement_block = kvoblk_base_create(0);
    kvoblk_set_pat_type(replacement_block, KVOBLK_PATTYPE_NUMERIC);
    fresh_type = kvoblk_inq_pat_type(replacement_block);
    *status = 0;
  };
  int errors = 2;
  kvoblk_pat_ini(b, 101, &errors);
  ASSERT_EQ(replacement_block, b);  // the scene needs the handle taken again
  EXPECT_EQ(errors, 3);
  EXPECT_EQ(his(), "!! kvoblk_pat_ini: Block " + std::to_string(b) +
                       " was destroyed while its sparsity was being initialised\n");
  EXPECT_EQ(kvoblk_inq_pat_type(b), fresh_type);
}

TEST_F(PatternPolicy, WithoutJacobianNothingHappensAndNoErrorIsCounted) {
  blk_selfpat_enable(b);
  for (int type : {KVOBLK_PAT_SELF, KVOBLK_PAT_NUMERIC}) {
    kvoblk_set_pat_ini_type(b, type);
    kvoblk_set_pat_type(b, KVOBLK_PATTYPE_NUMERIC);
    int errors = 0;
    kvoblk_pat_ini(b, 101, &errors);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);
  }
  EXPECT_EQ(m.selfpat_calls, 0);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternPolicy, NumericPatternIsWrittenInGlobalNumbersFromTheStart) {
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  place();
  int errors = 0;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(kvoblk_inq_nzstop(b), 106);  // 3 rows of two entries
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_NUMERIC);
  const int want[6][2] = {{21, 12}, {21, 11}, {22, 13}, {22, 12}, {23, 14}, {23, 13}};
  for (int k = 0; k < 6; ++k) {
    int e = 0, v = 0;
    global_nz(101 + k, &e, &v);
    EXPECT_EQ(e, want[k][0]) << k;
    EXPECT_EQ(v, want[k][1]) << k;
  }
  EXPECT_EQ(kvoref::live_pattern_objects(), 0);
  EXPECT_EQ(his(), "");
}

TEST_F(PatternPolicy, PatternDenserThanTheEstimateIsRefusedUnwritten) {
  m.nvar = m.neq = 20;
  m.dense = true;
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  kvoblk_inq_settings(b)->pat_fill_percent = 30;
  place();
  const int nzstop = kvoblk_inq_nzstop(b);
  int errors = 1;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(his(),
            "\nError creating sparsity pattern for block R1\n"
            "Max. number of nonzeros is too small. Please increase the matrix density factor.\n"
            "Max. number of nonzeros     : 120\n"
            "Detected number of nonzeros : 400\n\n");
  expect_refused(nzstop);
  int e = 0, v = 0;
  global_nz(101, &e, &v);
  EXPECT_EQ(e + v, 0);

  // The remedy the message names: a fill share that estimates exactly the detected count
  // admits the pattern whole.
  kvoblk_inq_settings(b)->pat_fill_percent = 100;
  errors = 0;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(kvoblk_inq_nzstop(b), 500);
  global_nz(500, &e, &v);
  EXPECT_EQ(e, 40);
}

TEST_F(PatternPolicy, JacobianCountedShortOfThePatternIsAFailure) {
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  place();
  kvoref::resize_jac(lists.jac, 103);  // the host holds three of the six entries
  const int nzstop = kvoblk_inq_nzstop(b);
  int errors = 0;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "!! kvoblk_pat_ini: Non-zeros 101 to 106 of block R1 are not in the Jacobian\n");
  expect_refused(nzstop);
  int e = 0, v = 0;
  global_nz(101, &e, &v);
  EXPECT_EQ(e + v, 0);
}

TEST_F(PatternPolicy, FailedDetectionCountsOneErrorAndWritesNothing) {
  m.switched_bounds = true;
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  place();
  const int nzstop = kvoblk_inq_nzstop(b);
  int errors = 0;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);
  EXPECT_EQ(kvoblk_inq_nzstop(b), nzstop);
  EXPECT_EQ(his(),
            "Variable 0 , X1 is outside its bounds\n"
            "Variable 0 , X1 has the bounds switched.\n"
            "\nSparsity not computed. Please correct previous mistakes and try again.\n");
}

TEST_F(PatternPolicy, MissingNonZeroStartIsRefused) {
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  place();
  const int nzstop = kvoblk_inq_nzstop(b);
  int errors = 0;
  kvoblk_pat_ini(b, 0, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "!! kvoblk_pat_ini: Invalid non-zero start 0 for 6 non-zeros of block R1\n");
  expect_refused(nzstop);

  // An empty pattern writes nothing, but its stop would lie before the smallest start a word
  // can hold: the block would claim every non-zero the words can count.
  kvoblk_inq_ops(b)->res = [](int, int* status) { *status = 0; };
  errors = 0;
  kvoblk_pat_ini(b, INT_MIN, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "!! kvoblk_pat_ini: Invalid non-zero start " + std::to_string(INT_MIN) +
                       " for 0 non-zeros of block R1\n");
  expect_refused(nzstop);

  // Any other start holds an empty pattern: a block without non-zeros may have been given no
  // position for them.
  errors = 0;
  kvoblk_pat_ini(b, 0, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_NUMERIC);
  EXPECT_EQ(kvoblk_inq_nzstop(b), -1);
}

TEST_F(PatternPolicy, UnknownTypeOrMissingBlockCountsOneError) {
  kvoblk_inq_settings(b)->pat_ini_type = 0;
  kvoblk_set_pat_type(b, KVOBLK_PATTYPE_NUMERIC);
  int errors = 0;
  kvoblk_pat_ini(b, 101, &errors);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(his(), "!! kvoblk_pat: Internal error (Unknown type).\n");
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_UNDEFINED);
  kvoblk_pat_ini(0, 101, &errors);
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(his(), "");
  kvoblk_pat_ini(0, 101, nullptr);
}
