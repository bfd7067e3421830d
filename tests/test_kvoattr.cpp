// SPDX-License-Identifier: BSD-3-Clause
// The block attributes: names, descriptions, lookup into tagged values and assignment from them,
// with every refusal and consistency message.
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include <kvoblk/kvoattr.h>
#include "fixture.h"

#ifdef KVOBLK_WHITEBOX
namespace kvoblk {
namespace detail {
// The lookup and assignment by attribute number behind the base routines.
void lookup_attr(int blkptr, int number, value_t* value);
void assign_attr(int blkptr, int number, const value_t* value);
}  // namespace detail
}  // namespace kvoblk
#endif

using kvotest::KvoTest;

namespace {

// A tagged value that releases what it owns.
struct Value {
  value_t v;
  Value() { value_init(&v); }
  ~Value() { value_destroy(&v); }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  static void text(Value& x, int kind, const char* s) {
    char* c = strdup(s);
    if (kind == VALUE_STRING)
      value_assign_string(&x.v, c);
    else
      value_assign_id(&x.v, c);
  }
};

void set_id(Value& x, const char* s) { Value::text(x, VALUE_IDENTIFIER, s); }
void set_string(Value& x, const char* s) { Value::text(x, VALUE_STRING, s); }
void set_int(Value& x, int32_t i) {
  kvo_number_t n{};
  n.ival = i;
  n.is_int = 1;
  value_assign_number(&x.v, &n);
}
void set_real(Value& x, double r) {
  kvo_number_t n{};
  n.rval = r;
  value_assign_number(&x.v, &n);
}
void set_logical(Value& x, int flag) { value_assign_logical(&x.v, flag); }

std::string assertion_head(const std::string& condition) {
  return "Assertion '" + condition + "' failed in source/kvoblk/kvblk:";
}

int inq_attr_mask = -1;
void model_inq_attr(int b, nux_blk_t* info) {
  kvoblk_base_inq_attr(b, info);
  inq_attr_mask = info->request;
  info->model = "CSTR";
}
void silent_inq_attr(int, nux_blk_t*) {}  // leaves the model text unset

// Blocks whose operation tables carry the attribute routines, as creation will install them.
class Attributes : public KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    b = make("B1", true);
  }
  void TearDown() override {
    kvoblk_destroy(b);
    KvoTest::TearDown();
  }

  // A block made with analytic support (kvoblk_base_create) or without (kvoblk_base_create_1).
  static int make(const char* id, bool analytic) {
    int blk = analytic ? kvoblk_base_create(0) : kvoblk_base_create_1(0);
    kvoblk_set_blkid(blk, id);
    kvoblk_ops_t* t = kvoblk_inq_ops(blk);
    t->num_attr = kvoblk_base_num_attr;
    t->name_attr = kvoblk_base_name_attr;
    t->lookup_value = kvoblk_base_lookup_value;
    t->assign_value = kvoblk_base_assign_value;
    t->describe_attr = kvoblk_base_describe_attr;
    return blk;
  }

  // Assigns and expects the call to report a known name.
  void assign(const char* name, Value& x) { EXPECT_TRUE(kvoblk_assign_value(b, name, &x.v)); }

  // Looks up and expects the call to report a known name.
  void lookup(const char* name, Value& x) { ASSERT_TRUE(kvoblk_lookup_value(b, name, &x.v)); }

  int b = 0;
};

const char* const kAllNames[13] = {"DERIV_METHOD", "INCLUDED",   "MODEL",         "PERT",
                                   "DIAG_LEVEL",   "NLRATIODEV", "NLRATIO",       "ZEROTOL",
                                   "MOVE",         "MOVEAMOUNT", "SPARSITY_FILE", "SPARSITY_GEN",
                                   "SPARSITY_TYPE"};

}  // namespace

// ---- Names and descriptions ----------------------------------------------------------------

TEST_F(Attributes, AreThirteenNamedInTheirFixedOrder) {
  EXPECT_EQ(kvoblk_num_attr(b), 13);
  for (int i = 0; i < 13; ++i) {
    ASSERT_NE(kvoblk_name_attr(b, i), nullptr) << i;
    EXPECT_STREQ(kvoblk_name_attr(b, i), kAllNames[i]);
  }
  EXPECT_EQ(kvoblk_name_attr(b, 13), nullptr);
  EXPECT_EQ(kvoblk_name_attr(b, -1), nullptr);
  EXPECT_EQ(kvoblk_name_attr(b, INT_MIN), nullptr);
  EXPECT_EQ(his(), "");
}

TEST_F(Attributes, DescriptionsAndReadOnlyFlagsComeFromOneConstantTable) {
  const struct {
    const char* text;
    int read_only;
  } expected[13] = {{"Derivative method", 0},
                    {"Included in flowsheet", 1},
                    {"Model type", 1},
                    {"Perturbation size", 0},
                    {"Diagnostic Level", 0},
                    {"Nonlinearity ratio deviation", 0},
                    {"Nonlinearity ratio", 1},
                    {"Zero tolerance", 0},
                    {"Move variables during numeric sparsity detection", 0},
                    {"Amount to move variables during sparsity detection", 0},
                    {"Sparsity file", 1},
                    {"PATINI", 1},
                    {"PATTYPE", 1}};
  for (int i = 0; i < 13; ++i) {
    const nuxblock_attr_desc* d = kvoblk_describe_attr(b, kAllNames[i]);
    ASSERT_NE(d, nullptr) << kAllNames[i];
    EXPECT_STREQ(d->description, expected[i].text);
    EXPECT_EQ(d->read_only, expected[i].read_only) << kAllNames[i];
    // The same record for every block and every call: the caller never frees it.
    EXPECT_EQ(kvoblk_base_describe_attr(0, kAllNames[i]), d);
  }
}

TEST_F(Attributes, NamesMatchOnlyExactlyAndCaseSensitively) {
  const std::string very_long(5000, 'P');
  for (const char* name : {"deriv_method", "Pert", "DERIV_METHO", "DERIV_METHODX", "PER", "",
                           "SPARSITY_TYPES", "MOVE ", " MOVE",
                           // these share a hash slot with PERT and MOVE
                           "PART", "MAVE", very_long.c_str()}) {
    EXPECT_EQ(kvoblk_describe_attr(b, name), nullptr) << name;
    EXPECT_FALSE(kvoblk_lookup_value(b, name, nullptr)) << name;
    Value x;
    set_int(x, 3);
    EXPECT_FALSE(kvoblk_assign_value(b, name, &x.v)) << name;
    EXPECT_EQ(x.v.kind, VALUE_NUMBER) << name;  // an unknown name leaves the record alone
  }
  EXPECT_EQ(kvoblk_describe_attr(b, nullptr), nullptr);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(err(), "");
}

// ---- Lookup --------------------------------------------------------------------------------

TEST_F(Attributes, LookupGivesTheCreationDefaultsOfAnAnalyticBlock) {
  Value x;
  lookup("DERIV_METHOD", x);
  ASSERT_EQ(x.v.kind, VALUE_IDENTIFIER);
  EXPECT_STREQ(x.v.u.text, "ANALYTIC");
  lookup("INCLUDED", x);
  ASSERT_EQ(x.v.kind, VALUE_LOGICAL);
  EXPECT_EQ(x.v.u.logical, 1);
  lookup("MODEL", x);
  ASSERT_EQ(x.v.kind, VALUE_STRING);
  EXPECT_STREQ(x.v.u.text, "");
  lookup("MOVE", x);
  ASSERT_EQ(x.v.kind, VALUE_LOGICAL);
  EXPECT_EQ(x.v.u.logical, 1);
  lookup("SPARSITY_FILE", x);
  EXPECT_EQ(x.v.kind, VALUE_EMPTY);
  lookup("SPARSITY_GEN", x);
  ASSERT_EQ(x.v.kind, VALUE_IDENTIFIER);
  EXPECT_STREQ(x.v.u.text, "SELF");
  lookup("SPARSITY_TYPE", x);
  ASSERT_EQ(x.v.kind, VALUE_IDENTIFIER);
  EXPECT_STREQ(x.v.u.text, "ANALYTIC");

  const struct {
    const char* name;
    double value;
  } reals[] = {{"PERT", 1e-6},
               {"NLRATIODEV", 0.01},
               {"NLRATIO", 1.0},
               {"ZEROTOL", 1e-12},
               {"MOVEAMOUNT", 0.01}};
  for (const auto& r : reals) {
    lookup(r.name, x);
    ASSERT_EQ(x.v.kind, VALUE_NUMBER) << r.name;
    EXPECT_EQ(x.v.u.number.rval, r.value) << r.name;
    EXPECT_EQ(x.v.u.number.is_int, 0) << r.name;
    EXPECT_EQ(x.v.u.number.code, 0) << r.name;
    EXPECT_EQ(x.v.u.number.field, 0) << r.name;
    EXPECT_EQ(x.v.u.number.extra, 0) << r.name;
  }
  EXPECT_EQ(his(), "");
}

TEST_F(Attributes, LookupOfDiagLevelGivesAnIntegerNumberWithCode44) {
  kvoblk_set_diag_level(b, -7);
  Value x;
  lookup("DIAG_LEVEL", x);
  ASSERT_EQ(x.v.kind, VALUE_NUMBER);
  EXPECT_EQ(x.v.u.number.ival, -7);
  EXPECT_EQ(x.v.u.number.is_int, 1);
  EXPECT_EQ(x.v.u.number.code, 44);
  EXPECT_EQ(x.v.u.number.field, 0);
  EXPECT_EQ(x.v.u.number.extra, 0);
}

TEST_F(Attributes, LookupNamesEveryCodeAndGivesNothingForAnUnknownOne) {
  const int nb = make("B2", false);
  Value x;
  ASSERT_TRUE(kvoblk_lookup_value(nb, "DERIV_METHOD", &x.v));
  EXPECT_STREQ(x.v.u.text, "NUMERIC");
  ASSERT_TRUE(kvoblk_lookup_value(nb, "SPARSITY_GEN", &x.v));
  EXPECT_STREQ(x.v.u.text, "RESTORE");
  ASSERT_TRUE(kvoblk_lookup_value(nb, "SPARSITY_TYPE", &x.v));
  EXPECT_STREQ(x.v.u.text, "UNDEFINED");
  kvoblk_destroy(nb);

  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_NUMERIC);
  lookup("DERIV_METHOD", x);
  EXPECT_STREQ(x.v.u.text, "UPDATE_NUMERIC");
  kvoblk_set_deriv_type(b, KVOBLK_UPDATE_ANALYTIC);
  lookup("DERIV_METHOD", x);
  EXPECT_STREQ(x.v.u.text, "UPDATE_ANALYTIC");
  kvoblk_set_pat_ini_type(b, KVOBLK_PAT_NUMERIC);
  lookup("SPARSITY_GEN", x);
  EXPECT_STREQ(x.v.u.text, "NUMERIC");
  kvoblk_set_pat_type(b, KVOBLK_PATTYPE_NUMERIC);
  lookup("SPARSITY_TYPE", x);
  EXPECT_STREQ(x.v.u.text, "NUMERIC");

  kvoblk_settings_t* s = kvoblk_inq_settings(b);
  s->deriv_type = 5;
  s->pat_ini_type = 0;
  s->pat_type = -1;
  lookup("DERIV_METHOD", x);
  EXPECT_EQ(x.v.kind, VALUE_EMPTY);
  lookup("SPARSITY_GEN", x);
  ASSERT_EQ(x.v.kind, VALUE_IDENTIFIER);
  EXPECT_STREQ(x.v.u.text, "UNDEFINED");
  lookup("SPARSITY_TYPE", x);
  EXPECT_EQ(x.v.kind, VALUE_EMPTY);
  EXPECT_EQ(his(), "");
}

// Several defaults coincide (INCLUDED and MOVE are both true, NLRATIODEV and MOVEAMOUNT both
// 0.01), so each attribute gets a value of its own here: reading one setting for another shows.
TEST_F(Attributes, LookupReadsEverySettingFromItsOwnSource) {
  kvoref::Lists lists = kvoref::make_lists(10);
  kvoref::Container cntr(lists);
  kvoblk_register_container(b, &cntr);
  kvoblk_set_included(b, 0);
  kvoblk_set_move(b, 1);
  kvoblk_set_pertsize(b, 3e-5);
  kvoblk_set_nlratiodev(b, 0.25);
  kvoblk_set_zerotol(b, 7e-10);
  kvoblk_set_moveamount(b, 0.125);
  kvoblk_set_nlratio(b, 1.5);
  Value x;
  lookup("INCLUDED", x);
  ASSERT_EQ(x.v.kind, VALUE_LOGICAL);
  EXPECT_EQ(x.v.u.logical, 0);
  lookup("MOVE", x);
  ASSERT_EQ(x.v.kind, VALUE_LOGICAL);
  EXPECT_EQ(x.v.u.logical, 1);
  const std::pair<const char*, double> reals[] = {{"PERT", 3e-5},
                                                  {"NLRATIODEV", 0.25},
                                                  {"NLRATIO", 1.5},
                                                  {"ZEROTOL", 7e-10},
                                                  {"MOVEAMOUNT", 0.125}};
  for (const auto& [name, real] : reals) {
    lookup(name, x);
    ASSERT_EQ(x.v.kind, VALUE_NUMBER) << name;
    EXPECT_EQ(x.v.u.number.rval, real) << name;
  }
  kvoblk_destroy(b);  // before the container it is registered with
  b = 0;
}

TEST_F(Attributes, LookupEmptiesTheRecordAndLeavesUnsetRealsEmpty) {
  Value x;
  set_string(x, "old text");  // released by the lookup, or the leak check fails
  kvoblk_set_pertsize(b, 1e35);
  lookup("PERT", x);
  EXPECT_EQ(x.v.kind, VALUE_EMPTY);
  set_real(x, 4.0);
  kvoblk_set_zerotol(b, std::numeric_limits<double>::quiet_NaN());
  lookup("ZEROTOL", x);
  EXPECT_EQ(x.v.kind, VALUE_EMPTY);
  // A value just beside the marker is a value.
  kvoblk_set_moveamount(b, 1e34);
  lookup("MOVEAMOUNT", x);
  ASSERT_EQ(x.v.kind, VALUE_NUMBER);
  EXPECT_EQ(x.v.u.number.rval, 1e34);
}

TEST_F(Attributes, LookupOfTextsGivesFreshCopies) {
  kvoblk_set_pat_file(b, "b1.pat");
  Value x;
  lookup("SPARSITY_FILE", x);
  ASSERT_EQ(x.v.kind, VALUE_STRING);
  EXPECT_STREQ(x.v.u.text, "b1.pat");
  EXPECT_NE(x.v.u.text, kvoblk_inq_pat_file(b));
  // The value outlives a change of the block's name.
  kvoblk_set_pat_file(b, "other.pat");
  EXPECT_STREQ(x.v.u.text, "b1.pat");
}

TEST_F(Attributes, LookupOfModelAsksTheModelsOwnInquiry) {
  kvoblk_inq_ops(b)->inq_attr = model_inq_attr;
  inq_attr_mask = -1;
  Value x;
  lookup("MODEL", x);
  EXPECT_EQ(inq_attr_mask, 0);
  ASSERT_EQ(x.v.kind, VALUE_STRING);
  EXPECT_STREQ(x.v.u.text, "CSTR");

  // An inquiry that sets no model text gives the empty text, not a read through null.
  kvoblk_inq_ops(b)->inq_attr = silent_inq_attr;
  lookup("MODEL", x);
  ASSERT_EQ(x.v.kind, VALUE_STRING);
  EXPECT_STREQ(x.v.u.text, "");

  // With no inquiry at all the dispatcher says so and the text is empty.
  kvoblk_inq_ops(b)->inq_attr = nullptr;
  lookup("MODEL", x);
  EXPECT_STREQ(x.v.u.text, "");
  EXPECT_EQ(his(), "!! kvoblk_inq_attr: Attempt to call an undefined function\n");
}

TEST_F(Attributes, LookupWithoutARecordOnlyTestsTheName) {
  EXPECT_TRUE(kvoblk_lookup_value(b, "MODEL", nullptr));
  EXPECT_TRUE(kvoblk_lookup_value(b, "SPARSITY_TYPE", nullptr));
  EXPECT_FALSE(kvoblk_lookup_value(b, "MODELS", nullptr));
  EXPECT_EQ(his(), "");
  EXPECT_EQ(err(), "");
}

TEST_F(Attributes, LookupRefusesHandleZeroAndANullNameWithAnAssertionLine) {
  Value x;
  set_int(x, 9);
  EXPECT_FALSE(kvoblk_base_lookup_value(0, "PERT", &x.v));
  std::string e = err();
  EXPECT_EQ(e.substr(0, assertion_head("kvoblk_lookup_value: NULL blkptr").size()),
            assertion_head("kvoblk_lookup_value: NULL blkptr"));
  EXPECT_EQ(e.back(), '\n');
  EXPECT_FALSE(kvoblk_base_lookup_value(b, nullptr, &x.v));
  e = err();
  EXPECT_EQ(e.substr(0, assertion_head("kvoblk_lookup_value: NULL attrname").size()),
            assertion_head("kvoblk_lookup_value: NULL attrname"));
  EXPECT_EQ(x.v.kind, VALUE_NUMBER);
  EXPECT_EQ(x.v.u.number.ival, 9);
  // Through the dispatcher handle 0 is answered silently.
  EXPECT_FALSE(kvoblk_lookup_value(0, "PERT", &x.v));
  EXPECT_EQ(err(), "");
  EXPECT_EQ(his(), "");
}

TEST_F(Attributes, BaseRoutinesRefuseAHandleThatIsNoBlock) {
  const int bad = b + 1;
  Value x;
  set_int(x, 9);
  EXPECT_FALSE(kvoblk_base_lookup_value(bad, "PERT", &x.v));
  EXPECT_FALSE(kvoblk_base_assign_value(bad, "PERT", &x.v));
  const std::string n = std::to_string(bad);
  EXPECT_EQ(his(), "!! kvoblk_base_lookup_value: Invalid block handle " + n +
                       "\n!! kvoblk_base_assign_value: Invalid block handle " + n + "\n");
  EXPECT_EQ(x.v.kind, VALUE_NUMBER);
}

// ---- Assignment ----------------------------------------------------------------------------

TEST_F(Attributes, DerivMethodAcceptsTheFourExactIdentifiers) {
  Value x;
  set_id(x, "NUMERIC");
  assign("DERIV_METHOD", x);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_NUMERIC);
  set_string(x, "UPDATE_NUMERIC");  // a string converts to an identifier
  assign("DERIV_METHOD", x);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_UPDATE_NUMERIC);
  set_id(x, "UPDATE_ANALYTIC");
  assign("DERIV_METHOD", x);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_UPDATE_ANALYTIC);
  set_id(x, "ANALYTIC");
  assign("DERIV_METHOD", x);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_ANALYTIC);
  EXPECT_EQ(his(), "");
}

TEST_F(Attributes, DerivMethodReportsAnUnknownTypeAndKeepsTheMethod) {
  Value x;
  set_id(x, "numeric");
  assign("DERIV_METHOD", x);
  set_id(x, "NUMERICAL");
  assign("DERIV_METHOD", x);
  set_id(x, "UPDATE");
  assign("DERIV_METHOD", x);
  set_int(x, 2);  // the code is not a name
  assign("DERIV_METHOD", x);
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_ANALYTIC);
  EXPECT_EQ(his(),
            "Unknown derivative type: B1.DERIV_METHOD = numeric\n"
            "Unknown derivative type: B1.DERIV_METHOD = NUMERICAL\n"
            "Unknown derivative type: B1.DERIV_METHOD = UPDATE\n"
            "Unknown derivative type: B1.DERIV_METHOD = 2\n");
}

TEST_F(Attributes, DerivMethodLeavesTheSupportRuleToTheSetter) {
  const int nb = make("B2", false);
  Value x;
  set_id(x, "ANALYTIC");
  EXPECT_TRUE(kvoblk_assign_value(nb, "DERIV_METHOD", &x.v));
  EXPECT_EQ(kvoblk_inq_deriv_type(nb), KVOBLK_NUMERIC);
  EXPECT_EQ(his(), "Block B2 does not support \"DERIV_METHOD = ANALYTIC\".\n");
  // A logical cannot become a method name in this value service's terms.
  set_logical(x, 1);
  EXPECT_TRUE(kvoblk_assign_value(nb, "DERIV_METHOD", &x.v));
  EXPECT_EQ(his(), "Unknown derivative type: B2.DERIV_METHOD = TRUE\n");
  kvoblk_destroy(nb);
}

TEST_F(Attributes, RealsTakeTheIntegerOrTheRealOfTheNumber) {
  Value x;
  set_int(x, 3);
  x.v.u.number.rval = 99.0;  // not meant: the integer flag is set
  assign("PERT", x);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 3.0);
  set_real(x, 2.5e-7);
  x.v.u.number.ival = 99;  // not meant
  assign("PERT", x);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 2.5e-7);
  set_string(x, "1e-5");
  assign("NLRATIODEV", x);
  EXPECT_EQ(kvoblk_inq_nlratiodev(b), 1e-5);
  set_real(x, 1e-9);
  assign("ZEROTOL", x);
  EXPECT_EQ(kvoblk_inq_zerotol(b), 1e-9);
  set_int(x, -2);
  assign("MOVEAMOUNT", x);
  EXPECT_EQ(kvoblk_inq_moveamount(b), -2.0);
  EXPECT_EQ(his(), "");
}

TEST_F(Attributes, TypeMismatchIsReportedWithTheGivenValueAndChangesNothing) {
  Value x;
  set_string(x, "abc");
  assign("PERT", x);
  set_id(x, "big");
  assign("DIAG_LEVEL", x);
  set_string(x, "maybe");
  assign("MOVE", x);
  Value empty;
  assign("ZEROTOL", empty);
  EXPECT_EQ(his(),
            "Type mismatch in assignment: B1.PERT = \"abc\"\n"
            "Type mismatch in assignment: B1.DIAG_LEVEL = big\n"
            "Type mismatch in assignment: B1.MOVE = \"maybe\"\n"
            "Type mismatch in assignment: B1.ZEROTOL = \n");
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_EQ(kvoblk_inq_diag_level(b), 4);
  EXPECT_EQ(kvoblk_inq_move(b), 1);
  EXPECT_EQ(kvoblk_inq_zerotol(b), 1e-12);
  // The given value is the caller's and stays as it was.
  EXPECT_EQ(x.v.kind, VALUE_STRING);
  EXPECT_STREQ(x.v.u.text, "maybe");
}

TEST_F(Attributes, DiagLevelTruncatesTowardZeroWithoutARangeCheck) {
  Value x;
  set_real(x, 2.9);
  assign("DIAG_LEVEL", x);
  EXPECT_EQ(kvoblk_inq_diag_level(b), 2);
  set_real(x, -2.9);
  assign("DIAG_LEVEL", x);
  EXPECT_EQ(kvoblk_inq_diag_level(b), -2);
  set_int(x, 1000);
  assign("DIAG_LEVEL", x);
  EXPECT_EQ(kvoblk_inq_diag_level(b), 1000);
  set_string(x, "6");
  assign("DIAG_LEVEL", x);
  EXPECT_EQ(kvoblk_inq_diag_level(b), 6);
  EXPECT_EQ(his(), "");
}

// A real that truncates into the 32-bit range is stored truncated. One beyond it (whether given
// as a real or as a text) stands for the level at that end of the word: far below every
// threshold, silence, as the 32-bit truncation gave it; far above, every message. A real that
// is not a number has no level to give: it is refused as of the wrong kind and the level stays.
TEST_F(Attributes, DiagLevelOutsideTheIntegerRangeIsTheNearestEndAndNotANumberIsRefused) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, int> cases[] = {{2147483647.9, INT_MAX}, {-2147483648.9, INT_MIN},
                                          {2147483648.0, INT_MAX}, {-2147483649.0, INT_MIN},
                                          {1e20, INT_MAX},         {1e300, INT_MAX},
                                          {-1e300, INT_MIN},       {inf, INT_MAX},
                                          {-inf, INT_MIN}};
  Value x;
  for (auto [real, level] : cases) {
    kvoblk_set_diag_level(b, 6);
    set_real(x, real);
    assign("DIAG_LEVEL", x);
    EXPECT_EQ(kvoblk_inq_diag_level(b), level) << real;
  }
  set_string(x, "2147483648");
  assign("DIAG_LEVEL", x);
  EXPECT_EQ(kvoblk_inq_diag_level(b), INT_MAX);
  EXPECT_EQ(his(), "");
  kvoblk_set_diag_level(b, 6);
  set_real(x, std::numeric_limits<double>::quiet_NaN());
  assign("DIAG_LEVEL", x);
  EXPECT_EQ(his(), "Type mismatch in assignment: B1.DIAG_LEVEL = nan\n");
  EXPECT_EQ(kvoblk_inq_diag_level(b), 6);
}

TEST_F(Attributes, MoveTakesALogicalOrWhatConvertsToOne) {
  Value x;
  set_logical(x, 0);
  assign("MOVE", x);
  EXPECT_EQ(kvoblk_inq_move(b), 0);
  set_string(x, "yes");
  assign("MOVE", x);
  EXPECT_EQ(kvoblk_inq_move(b), 1);
  set_int(x, 0);
  assign("MOVE", x);
  EXPECT_EQ(kvoblk_inq_move(b), 0);
  EXPECT_EQ(his(), "");
}

TEST_F(Attributes, ReadOnlyAttributesRefuseWithTheirOwnMessages) {
  // Inclusion is switched through the container's lists.
  kvoref::Lists lists = kvoref::make_lists(10);
  kvoref::Container cntr(lists);
  kvoblk_register_container(b, &cntr);
  kvoblk_set_included(b, 0);
  ASSERT_EQ(kvoblk_inq_included(b), 0);
  kvoblk_set_pat_file(b, "keep.pat");
  Value x;
  set_logical(x, 1);
  assign("INCLUDED", x);
  set_string(x, "CSTR");
  assign("MODEL", x);
  set_real(x, 2.0);
  assign("NLRATIO", x);
  set_string(x, "new.pat");
  assign("SPARSITY_FILE", x);
  set_id(x, "NUMERIC");
  assign("SPARSITY_GEN", x);
  assign("SPARSITY_TYPE", x);
  EXPECT_EQ(his(),
            "Assignment to B1.INCLUDED no longer allowed.\n"
            "Use EXCLUDE BLOCK or INCLUDE BLOCK instead.\n"
            "The MODEL attribute is read-only: B1.MODEL\n"
            "The model attribute is read-only: B1.NLRATIO\n"
            "The model attribute is read-only: B1.SPARSITY_FILE\n"
            "The model attribute is read-only: B1.SPARSITY_GEN\n"
            "The model attribute is read-only: B1.SPARSITY_TYPE\n");
  EXPECT_EQ(kvoblk_inq_included(b), 0);
  EXPECT_EQ(kvoblk_inq_nlratio(b), 1.0);
  EXPECT_STREQ(kvoblk_inq_pat_file(b), "keep.pat");
  EXPECT_EQ(kvoblk_inq_pat_ini_type(b), KVOBLK_PAT_SELF);
  EXPECT_EQ(kvoblk_inq_pat_type(b), KVOBLK_PATTYPE_ANALYTIC);
  kvoblk_destroy(b);  // before the container it is registered with
  b = 0;
}

TEST_F(Attributes, QualifiedNameOfABlockWithoutAnIdStartsAtTheFullStop) {
  kvoblk_set_blkid(b, nullptr);
  Value x;
  set_string(x, "x");
  assign("PERT", x);
  set_logical(x, 0);
  assign("INCLUDED", x);
  EXPECT_EQ(his(),
            "Type mismatch in assignment: .PERT = \"x\"\n"
            "Assignment to .INCLUDED no longer allowed.\n"
            "Use EXCLUDE BLOCK or INCLUDE BLOCK instead.\n");
}

TEST_F(Attributes, QualifiedNameKeepsALongBlockIdWhole) {
  const std::string id(300, 'K');
  kvoblk_set_blkid(b, id.c_str());
  Value x;
  assign("MODEL", x);
  EXPECT_EQ(his(), "The MODEL attribute is read-only: " + id + ".MODEL\n");
}

TEST_F(Attributes, AssignmentWithoutAValueOnlyTestsTheName) {
  for (const char* name : kAllNames) EXPECT_TRUE(kvoblk_assign_value(b, name, nullptr)) << name;
  EXPECT_FALSE(kvoblk_assign_value(b, "NOTANATTR", nullptr));
  EXPECT_EQ(his(), "");
  EXPECT_EQ(err(), "");
  EXPECT_EQ(kvoblk_inq_deriv_type(b), KVOBLK_ANALYTIC);
  EXPECT_EQ(kvoblk_inq_pertsize(b), 1e-6);
  EXPECT_EQ(kvoblk_inq_diag_level(b), 4);
  EXPECT_EQ(kvoblk_inq_move(b), 1);
}

TEST_F(Attributes, AssignmentRefusesHandleZeroAndANullNameWithAnAssertionLine) {
  Value x;
  set_int(x, 7);
  EXPECT_FALSE(kvoblk_base_assign_value(0, "DIAG_LEVEL", &x.v));
  std::string e = err();
  EXPECT_EQ(e.substr(0, assertion_head("kvoblk_assign_value: NULL blkptr").size()),
            assertion_head("kvoblk_assign_value: NULL blkptr"));
  EXPECT_EQ(e.back(), '\n');
  EXPECT_FALSE(kvoblk_base_assign_value(b, nullptr, &x.v));
  e = err();
  EXPECT_EQ(e.substr(0, assertion_head("kvoblk_assign_value: NULL attrname").size()),
            assertion_head("kvoblk_assign_value: NULL attrname"));
  EXPECT_EQ(kvoblk_inq_diag_level(b), 4);
  EXPECT_EQ(his(), "");
}

// ---- Numbers the base table does not know --------------------------------------------------
// These reach the lookup and assignment by number, which only a model's own table can drive, so
// they run only in a build that links the library's objects into the test program.
#ifdef KVOBLK_WHITEBOX

TEST_F(Attributes, LookupByAnUnknownNumberReportsTheBlockAndTheNumber) {
  Value x;
  set_int(x, 1);
  kvoblk::detail::lookup_attr(b, 13, &x.v);
  EXPECT_EQ(x.v.kind, VALUE_EMPTY);
  kvoblk::detail::lookup_attr(b, -4, &x.v);
  EXPECT_EQ(his(),
            "!! kvoblk_lookup_attr: bad attribute index (B1 : 13)\n"
            "!! kvoblk_lookup_attr: bad attribute index (B1 : -4)\n");
}

TEST_F(Attributes, LookupByNumberRefusesHandleZeroAndANullRecord) {
  Value x;
  set_int(x, 1);
  kvoblk::detail::lookup_attr(0, 3, &x.v);
  std::string e = err();
  EXPECT_EQ(e.substr(0, assertion_head("kvoblk_lookup_value: NULL blkptr").size()),
            assertion_head("kvoblk_lookup_value: NULL blkptr"));
  EXPECT_EQ(x.v.kind, VALUE_NUMBER);
  kvoblk::detail::lookup_attr(b, 3, nullptr);
  e = err();
  EXPECT_EQ(e.substr(0, assertion_head("kvoblk_lookup_value: NULL val").size()),
            assertion_head("kvoblk_lookup_value: NULL val"));
}

TEST_F(Attributes, AssignmentByAnUnknownNumberNamesOnlyTheBlock) {
  Value x;
  set_int(x, 1);
  kvoblk::detail::assign_attr(b, 13, &x.v);
  kvoblk::detail::assign_attr(b, -1, &x.v);
  EXPECT_EQ(his(),
            "!! Unknown attribute number (13) in kvoblk_assign_attr (B1)\n"
            "!! Unknown attribute number (-1) in kvoblk_assign_attr (B1)\n");
}

#endif  // KVOBLK_WHITEBOX
