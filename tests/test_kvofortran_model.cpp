// SPDX-License-Identifier: BSD-3-Clause
// The Fortran entry points for models without glue code (operation slots by name, items and
// values by block-local number) and the gfortran names of the entry points.
#include <kvoblk/kvofortran.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fixture.h"

using kvotest::KvoTest;

namespace {
void res_routine(int, int* status) { *status = 0; }
bool delete_routine(int, const char*) { return false; }
}  // namespace

// A block placed at variable 5, equation 4 and non-zero 7 with three of each.
class FortranModel : public KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    lists = kvoref::make_lists(20);
    cntr = std::make_unique<kvoref::Container>(lists);
    int n = KVOBLK_WORD_COUNT;
    b = _KVOBLK_BASE_CREATE_1_F(&n);
    kvoblk_base_register_container(b, cntr.get());
    for (int i = 1; i <= 10; ++i) {
      kvoref::define_var(lists.varlst, i, ("V" + std::to_string(i)).c_str(), 10.0 * i);
      kvoref::define_eqn(lists.eqnlst, i, ("E" + std::to_string(i)).c_str());
    }
    for (int k = 1; k <= 10; ++k) kvoref::set_nz(lists.jac, k, k, k);
    kvoblk_set_vstart(b, 5), kvoblk_set_vstop(b, 7);
    kvoblk_set_estart(b, 4), kvoblk_set_estop(b, 6);
    kvoblk_set_nzstart(b, 7), kvoblk_set_nzstop(b, 9);
  }
  void TearDown() override {
    kvoblk_destroy(b);
    cntr.reset();
    KvoTest::TearDown();
  }
  int b = 0;
  kvoref::Lists lists;
  std::unique_ptr<kvoref::Container> cntr;
};

TEST_F(FortranModel, FillsTheSlotNamedAndRefusesUnknownNames) {
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_RESTORE);  // the second creation routine
  auto res = reinterpret_cast<void (*)()>(&res_routine);
  EXPECT_EQ(_KVOBLK_SET_OP_F(&b, "res     ", 8, res), 1);  // blank padding as Fortran keeps it
  EXPECT_EQ(kvoblk_inq_ops(b)->res, &res_routine);
  // The last slot: names and slots are in the same order all the way down.
  EXPECT_EQ(kvoblk_set_op_f_(&b, "delete_port", reinterpret_cast<void (*)()>(&delete_routine), 11),
            1);
  EXPECT_EQ(kvoblk_inq_ops(b)->delete_port, &delete_routine);
  his();
  EXPECT_EQ(_KVOBLK_SET_OP_F(&b, "resid", 5, res), 0);
  EXPECT_EQ(his(), "!! _KVOBLK_SET_OP_F: Unknown operation 'resid'\n");
  int none = 0;
  EXPECT_EQ(_KVOBLK_SET_OP_F(&none, "res", 3, res), 0);
  EXPECT_EQ(his(), "");
}

TEST_F(FortranModel, ReadsAndWritesItemsByBlockLocalNumber) {
  int i = 2;
  double v = -1.5;
  EXPECT_EQ(_KVOBLK_INQ_VAR_F(&b, &i), 60.0);
  _KVOBLK_SET_VAR_F(&b, &i, &v);
  EXPECT_EQ(kvovarlst_inq_var_value(lists.varlst, 6, 0), -1.5);
  _KVOBLK_SET_RES_F(&b, &i, &v);
  EXPECT_EQ(kvoeqnlst_vec_residual(lists.eqnlst)[4], -1.5);
  EXPECT_EQ(_KVOBLK_INQ_RES_F(&b, &i), -1.5);
  int k = 3, e = 0, c = 0;
  _KVOBLK_SET_JAC_F(&b, &k, &v);
  EXPECT_EQ(_KVOBLK_INQ_JAC_F(&b, &k), -1.5);
  _KVOBLK_INQ_NZ_F(&b, &k, &e, &c);  // non-zero 9 links equation 9 and variable 9
  EXPECT_EQ(e, 9 - 4 + 1);
  EXPECT_EQ(c, 9 - 5 + 1);
  his();
  // Outside the block: refused with a message, nothing written, reads give 0.
  int outside[] = {0, 4, -2147483647};
  for (int n : outside) {
    _KVOBLK_SET_VAR_F(&b, &n, &v);
    EXPECT_EQ(_KVOBLK_INQ_RES_F(&b, &n), 0.0);
    _KVOBLK_SET_JAC_F(&b, &n, &v);
  }
  EXPECT_EQ(kvovarlst_inq_var_value(lists.varlst, 4, 0), 40.0);
  EXPECT_EQ(kvovarlst_inq_var_value(lists.varlst, 8, 0), 80.0);
  EXPECT_EQ(his(),
            "!! _KVOBLK_SET_VAR_F: Variable 0 is outside the block\n"
            "!! _KVOBLK_INQ_RES_F: Equation 0 is outside the block\n"
            "!! _KVOBLK_SET_JAC_F: Non-zero 0 is outside the block\n"
            "!! _KVOBLK_SET_VAR_F: Variable 4 is outside the block\n"
            "!! _KVOBLK_INQ_RES_F: Equation 4 is outside the block\n"
            "!! _KVOBLK_SET_JAC_F: Non-zero 4 is outside the block\n"
            "!! _KVOBLK_SET_VAR_F: Variable -2147483647 is outside the block\n"
            "!! _KVOBLK_INQ_RES_F: Equation -2147483647 is outside the block\n"
            "!! _KVOBLK_SET_JAC_F: Non-zero -2147483647 is outside the block\n");
}

TEST_F(FortranModel, DefinesItemsAndPatternEntriesBeyondTheStopsButNotBeforeTheStart) {
  int i = 4, e = 4, k = 2;
  double v = 7.0;
  _KVOBLK_DEFINE_VAR_F(&b, &i, "R1.T  ", 6, &v);  // position 8: the stop is not checked yet
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists.varlst, 8), "R1.T");
  EXPECT_EQ(kvovarlst_inq_var_value(lists.varlst, 8, 0), 7.0);
  kvoblk_define_eqn_f_(&b, &e, "R1.HEAT", 7);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 7), "R1.HEAT");
  _KVOBLK_SET_PAT_F(&b, &lists.jac, &k, &e, &i);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 8), 7);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 8), 8);
  his();
  int zero = 0;
  _KVOBLK_DEFINE_VAR_F(&b, &zero, "X", 1, &v);
  _KVOBLK_SET_PAT_F(&b, &lists.jac, &k, &zero, &i);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 8), 7);
  EXPECT_EQ(his(),
            "!! _KVOBLK_DEFINE_VAR_F: Variable 0 is outside the block\n"
            "!! _KVOBLK_SET_PAT_F: Equation 0 is outside the block\n");
}

// A name left blank (an unfilled CHARACTER variable) or absent defines nothing: the item keeps
// the name and value it had, and the message says which item had no name.
TEST_F(FortranModel, RefusesBlankOrAbsentItemNames) {
  int i = 2, e = 3;
  double v = 7.0;
  _KVOBLK_DEFINE_VAR_F(&b, &i, "        ", 8, &v);
  kvoblk_define_var_f_(&b, &i, nullptr, &v, 0);
  _KVOBLK_DEFINE_EQN_F(&b, &e, "\0\0\0\0", 4);
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists.varlst, 6), "V6");
  EXPECT_EQ(kvovarlst_inq_var_value(lists.varlst, 6, 0), 60.0);
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 6), "E6");
  EXPECT_EQ(his(),
            "!! _KVOBLK_DEFINE_VAR_F: Variable 2 is given a blank name\n"
            "!! _KVOBLK_DEFINE_VAR_F: Variable 2 is given a blank name\n"
            "!! _KVOBLK_DEFINE_EQN_F: Equation 3 is given a blank name\n");
}

// A block not yet registered with a container has no lists: an item defined then is lost, so
// the model is told; handle 0 stays silent.
TEST_F(FortranModel, DefiningWithoutListsIsReported) {
  int n = 0, one = 1, zero = 0;
  double v = 1.0;
  const int lone = _KVOBLK_BASE_CREATE_F(&n);
  _KVOBLK_DEFINE_VAR_F(&lone, &one, "L.X", 3, &v);
  _KVOBLK_DEFINE_EQN_F(&lone, &one, "L.E", 3);
  _KVOBLK_DEFINE_VAR_F(&zero, &one, "L.X", 3, &v);
  _KVOBLK_DEFINE_EQN_F(&zero, &one, "L.E", 3);
  kvoblk_destroy(lone);
  EXPECT_EQ(his(),
            "!! _KVOBLK_DEFINE_VAR_F: Variable 1 cannot be defined: the block has no variable "
            "list\n"
            "!! _KVOBLK_DEFINE_EQN_F: Equation 1 cannot be defined: the block has no equation "
            "list\n");
}

// Range words a model set below the first list position, or far apart, give no position at
// all: nothing is read or written in front of the live arrays.
TEST_F(FortranModel, ItemsOfARangeStartingBelowTheListsAreOutsideTheBlock) {
  kvoblk_set_estart(b, -2);
  kvoblk_set_vstart(b, -2);
  kvoblk_set_estop(b, 2147483647);
  double* r = kvoeqnlst_vec_residual(lists.eqnlst);
  const std::vector<double> before(r, r + 10);
  int e = 1, big = 2147483647;
  double v = 9.0;
  _KVOBLK_SET_RES_F(&b, &e, &v);
  EXPECT_EQ(_KVOBLK_INQ_RES_F(&b, &e), 0.0);
  _KVOBLK_SET_VAR_F(&b, &e, &v);
  EXPECT_EQ(_KVOBLK_INQ_RES_F(&b, &big), 0.0);  // inside the range, past the list
  EXPECT_EQ(std::vector<double>(r, r + 10), before);
  int k = 1, eq = -1, var = -1;
  kvoblk_set_estart(b, -2147483647 - 1);  // equation 7 of non-zero 7 has no local number
  _KVOBLK_INQ_NZ_F(&b, &k, &eq, &var);
  EXPECT_EQ(eq, 0);
  EXPECT_EQ(var, 7 + 3);
  EXPECT_EQ(his(),
            "!! _KVOBLK_SET_RES_F: Equation 1 is outside the block\n"
            "!! _KVOBLK_INQ_RES_F: Equation 1 is outside the block\n"
            "!! _KVOBLK_SET_VAR_F: Variable 1 is outside the block\n");
}

// The gfortran names take each CHARACTER length after all other arguments, as a size_t.
TEST_F(FortranModel, GfortranNamesBehaveAsTheEntryPointsTheyAreNamedAfter) {
  blk_set_blkid_f_(&b, "FEED    ", 8);
  EXPECT_STREQ(kvoblk_blkid(b), "FEED");
  char id[9] = "########";
  EXPECT_EQ(kvoblk_id_(&b, id, 8), 5);
  EXPECT_EQ(std::string(id, 8), "FEED    ");
  EXPECT_EQ(kvoblk_inq_vstart_f_(&b), 5);
  const int nzstop = 8;
  kvoblk_set_nzstop_f_(&b, &nzstop);
  EXPECT_EQ(_KVOBLK_INQ_NZSTOP_F(&b), 8);
  EXPECT_EQ(kvoblk_get_port_f_(&b, "OUT", 3), 0);
  int pos = 4, count = -1;
  char token[4] = {'#', '#', '#', '#'};
  kvovarid_next_("B1.TEMP", &pos, token, &count, 7, 4);
  EXPECT_EQ(std::string(token, 4), "TEMP");
  EXPECT_EQ(count, 4);
  EXPECT_EQ(pos, 9);
}

// A model the host dimensions (counts `dims`) and then places at variable 5, equation 4 and
// non-zero 7, its stops 0 as removal leaves them; `ini_body` and `selfpat_body` are its routines.
namespace {
int dims[3];
std::function<void(int, int, int, int)> ini_body;
std::function<void(int, kv_jac_t*)> selfpat_body;
}  // namespace

class DimensionedFortranModel : public FortranModel {
 protected:
  void SetUp() override {
    FortranModel::SetUp();
    kvoblk_set_blkid(b, "B1");
    kvoblk_ops_t* t = kvoblk_inq_ops(b);
    t->selfdim = [](int, int* nv, int* ne, int* nz, int*) {
      *nv = dims[0], *ne = dims[1], *nz = dims[2];
    };
    t->ini = [](int blk, int vs, int es, int nzs, int*) { ini_body(blk, vs, es, nzs); };
    t->selfpat = [](int blk, kv_jac_t* jac, int*) { selfpat_body(blk, jac); };
    blk_selfpat_enable(b);
    kvoblk_set_pat_ini_type(b, KVOBLK_PAT_SELF);
    kvoblk_set_vstop(b, 0), kvoblk_set_estop(b, 0), kvoblk_set_nzstop(b, 0);
    dims[0] = dims[1] = dims[2] = 3;
  }
  void dim() {
    int nvar = 0, neq = 0, nnz = 0, status = 0;
    kvoblk_dim(b, &nvar, &neq, &nnz, &status);
  }
  void place() {
    int status = 0;
    his();
    kvoblk_ini(b, 5, 4, 7, &status);
  }
  void define(int i, int e) {
    double v = -1.0;
    _KVOBLK_DEFINE_VAR_F(&b, &i, "B1.X", 4, &v);
    _KVOBLK_DEFINE_EQN_F(&b, &e, "B1.E", 4);
  }
};

// The latest dimensioning counts; once the model sets its stop, that stop bounds as before.
TEST_F(DimensionedFortranModel, VariablePastTheDimensionedCountIsRefusedWhilePlacing) {
  dims[0] = 5;
  dim();
  dims[0] = 3;
  dim();
  ini_body = [this](int blk, int vs, int, int) {
    define(4, 1);
    kvoblk_set_vstop(blk, vs + 2);
    define(5, 1);
  };
  place();
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists.varlst, 8), "V8");  // the next block's
  EXPECT_EQ(kvovarlst_inq_var_value(lists.varlst, 8, 0), 80.0);
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists.varlst, 9), "B1.X");
  EXPECT_EQ(his(),
            "!! _KVOBLK_DEFINE_VAR_F: Variable 4 lies past the 3 variables block B1 was "
            "dimensioned for\n");
}

TEST_F(DimensionedFortranModel, EquationPastTheDimensionedCountIsRefusedWhilePlacing) {
  dims[1] = 1;
  dim();
  ini_body = [this](int, int, int, int) { define(1, 2); };
  place();
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 5), "E5");
  EXPECT_EQ(his(),
            "!! _KVOBLK_DEFINE_EQN_F: Equation 2 lies past the 1 equation block B1 was "
            "dimensioned for\n");
}

// The pattern routine runs after the variable and equation stops are set, before nzstop is.
TEST_F(DimensionedFortranModel, PatternEntryPastTheDimensionedCountIsRefusedWhilePlacing) {
  dims[2] = 2;
  dim();
  ini_body = [](int blk, int vs, int es, int nzs) {
    int errors = 0;
    kvoblk_set_vstop(blk, vs + 2), kvoblk_set_estop(blk, es + 2);
    kvoblk_pat_ini(blk, nzs, &errors);
    kvoblk_set_nzstop(blk, nzs + 1);
  };
  selfpat_body = [](int blk, kv_jac_t* jac) {
    for (int k = 1; k <= 3; ++k) _KVOBLK_SET_PAT_F(&blk, jac, &k, &k, &k);
  };
  place();
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 8), 5);
  EXPECT_EQ(kvojac_inq_nz_varnum(lists.jac, 9), 9);
  EXPECT_EQ(his(),
            "!! _KVOBLK_SET_PAT_F: Non-zero 3 lies past the 2 non-zeros block B1 was "
            "dimensioned for\n");
}

TEST_F(DimensionedFortranModel, WithoutADimensioningOrOutsideAPlacementOnlyTheStartBounds) {
  ini_body = [this](int, int, int, int) { define(4, 4); };
  place();
  dim();
  define(5, 5);
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists.varlst, 8), "B1.X");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 8), "B1.E");
  EXPECT_EQ(his(), "");
}

// A model that first empties its ranges (each stop one before its start, as the Fortran example
// mixer does with nzstop before its pattern is initialised) has recorded no stop that holds its
// items: the counts still bound the definitions.
TEST_F(DimensionedFortranModel, StopsSetBeforeTheStartsLeaveTheCountsInForce) {
  dims[0] = dims[1] = dims[2] = 2;
  dim();
  ini_body = [this](int blk, int vs, int es, int nzs) {
    kvoblk_set_vstop(blk, vs - 1), kvoblk_set_estop(blk, es - 1), kvoblk_set_nzstop(blk, nzs - 1);
    define(3, 3);
    int errors = 0;
    kvoblk_pat_ini(blk, nzs, &errors);
  };
  selfpat_body = [](int blk, kv_jac_t* jac) {
    for (int k = 1; k <= 3; ++k) _KVOBLK_SET_PAT_F(&blk, jac, &k, &k, &k);
  };
  place();
  EXPECT_STREQ(kvovarlst_lookup_var_name(lists.varlst, 7), "V7");
  EXPECT_STREQ(kvoeqnlst_lookup_eqn_name(lists.eqnlst, 6), "E6");
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 9), 9);
  EXPECT_EQ(kvojac_inq_nz_eqnnum(lists.jac, 8), 5);
  EXPECT_EQ(his(),
            "!! _KVOBLK_DEFINE_VAR_F: Variable 3 lies past the 2 variables block B1 was "
            "dimensioned for\n"
            "!! _KVOBLK_DEFINE_EQN_F: Equation 3 lies past the 2 equations block B1 was "
            "dimensioned for\n"
            "!! _KVOBLK_SET_PAT_F: Non-zero 3 lies past the 2 non-zeros block B1 was "
            "dimensioned for\n"
            "!! _KVOBLK_SET_PAT_F: Equation 3 lies past the 2 equations block B1 was "
            "dimensioned for\n"
            "!! _KVOBLK_SET_PAT_F: Variable 3 lies past the 2 variables block B1 was "
            "dimensioned for\n");
}
