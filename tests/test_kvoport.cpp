// SPDX-License-Identifier: BSD-3-Clause
// Port attributes: names, PHASE, SPEC, TYPE and STREAM by name and by number, the messages of
// every refusal, and the iteration over a port's variables.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <kvoblk/kvoport.h>
#include "fixture.h"

using kvotest::KvoTest;

// ---- A variable list service that can misbehave ----------------------------------------------
// The test program puts its own variable-name and variable-attribute services in front of the
// reference host's. Normally they pass every call on; switched on, the first writes names as
// long as its buffer allows and the second records the attribute names it is given.
namespace {

enum class NameMode { kHost, kLongest, kUnterminated };
NameMode name_mode = NameMode::kHost;
std::vector<std::string> assigned_attrs;
// Switched on, the conversion answers 0 whatever it made, as a host may whose callers look at
// the target's kind only.
bool coerce_answers_zero = false;

template <class F>
F next_service(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void kvovarlst_inq_var_name(int varlst, int pos,
                                                                              char* buffer) {
  switch (name_mode) {
    case NameMode::kLongest:  // 139 characters and the terminator: the whole 140 characters
      std::memset(buffer, 'V', 139);
      buffer[139] = '\0';
      return;
    case NameMode::kUnterminated:  // all 140 characters, no terminator
      std::memset(buffer, 'W', 140);
      return;
    case NameMode::kHost:
      break;
  }
  using Fn = void (*)(int, int, char*);
  static Fn host = next_service<Fn>("kvovarlst_inq_var_name");
  host(varlst, pos, buffer);
}

extern "C" __attribute__((visibility("default"))) int kvovarlst_assign_value(int varlst,
                                                                             const char* attr,
                                                                             const value_t* value) {
  if (name_mode != NameMode::kHost) {
    assigned_attrs.push_back(attr);
    return 1;
  }
  using Fn = int (*)(int, const char*, const value_t*);
  static Fn host = next_service<Fn>("kvovarlst_assign_value");
  return host(varlst, attr, value);
}

extern "C" __attribute__((visibility("default"))) int value_coerce(const value_t* source,
                                                                   value_t* target, int kind,
                                                                   int zero) {
  using Fn = int (*)(const value_t*, value_t*, int, int);
  static Fn host = next_service<Fn>("value_coerce");
  const int made = host(source, target, kind, zero);
  return coerce_answers_zero ? 0 : made;
}

namespace {

char* dup(const char* s) {
  char* c = static_cast<char*>(std::malloc(std::strlen(s) + 1));
  std::strcpy(c, s);
  return c;
}

void set_id(value_t* v, const char* s) { value_assign_id(v, dup(s)); }
void set_string(value_t* v, const char* s) { value_assign_string(v, dup(s)); }
void set_int(value_t* v, int i) {
  kvo_number_t n{};
  n.ival = i;
  n.rval = i;
  n.is_int = 1;
  value_assign_number(v, &n);
}
std::string text_of(const value_t& v) { return v.u.text ? v.u.text : "<null>"; }

// SPEC of one variable, straight from the variable list.
std::string var_spec(int varlst, const char* name) {
  value_t v;
  value_init(&v);
  const std::string attr = std::string(name) + ".SPEC";
  kvovarlst_lookup_value(varlst, attr.c_str(), &v);
  std::string s = v.kind == VALUE_EMPTY        ? "<empty>"
                  : v.kind == VALUE_IDENTIFIER ? text_of(v)
                                               : "<kind " + std::to_string(v.kind) + ">";
  value_destroy(&v);
  return s;
}
void set_var_spec(int varlst, const char* name, const value_t* value) {
  const std::string attr = std::string(name) + ".SPEC";
  kvovarlst_assign_value(varlst, attr.c_str(), value);
}

// Records every visit and stops at a chosen variable.
struct Visits {
  std::vector<int> vars;
  std::vector<int> lists;
  int stop_at = -1;
};
int record_visit(int varlst, int var, void* user) {
  auto* v = static_cast<Visits*>(user);
  v->vars.push_back(var);
  v->lists.push_back(varlst);
  return var == v->stop_at ? 1 : 0;
}

// A model numbering of its ports that offers a port the block's array does not hold.
kvoref::Port* model_port = nullptr;
int model_num_ports(int) { return 1; }
nux_port* model_get_port_n(int, int i) { return i == 1 ? model_port : nullptr; }

// A model look-up by name that destroys the block it is asked about and still offers a port.
nux_port* destroying_get_port(int blkptr, const char*) {
  kvoblk_destroy(blkptr);
  return model_port;
}
// The same, making another block at the freed handle before it answers.
int reborn = 0;
nux_port* replacing_get_port(int blkptr, const char*) {
  kvoblk_destroy(blkptr);
  reborn = kvoblk_base_create(0);
  return model_port;
}

}  // namespace

// A block "B1" with port IN over variables X1, X3 and X4 (one empty position among them), port
// EMPTY without variables, and variable X2 that belongs to no port.
class PortAttr : public KvoTest {
 protected:
  void SetUp() override {
    KvoTest::SetUp();
    name_mode = NameMode::kHost;
    coerce_answers_zero = false;
    assigned_attrs.clear();
    lists = kvoref::make_lists(10);
    for (int i = 1; i <= 4; ++i)
      kvoref::define_var(lists.varlst, i, ("X" + std::to_string(i)).c_str(), 0.0);
    cntr = new kvoref::Container(lists);
    b = kvoblk_base_create(0);
    kvoblk_set_blkid(b, "B1");
    in = new kvoref::Port("IN", {1, 0, 3, 4});
    empty = new kvoref::Port("EMPTY");
    ASSERT_FALSE(kvoblk_add_port(b, in));
    ASSERT_FALSE(kvoblk_add_port(b, empty));
    kvoblk_register_container(b, cntr);
    value_init(&v);
    ASSERT_EQ(his(), "");
  }
  void TearDown() override {
    value_destroy(&v);
    kvoblk_destroy(b);
    delete cntr;
    name_mode = NameMode::kHost;
    coerce_answers_zero = false;
    KvoTest::TearDown();
  }

  // Assigns an identifier by names.
  void assign_id(const char* port, const char* attr, const char* s) {
    value_t x;
    value_init(&x);
    set_id(&x, s);
    kvoblk_port_assign_value(b, port, attr, &x);
    value_destroy(&x);
  }
  void assign_string(const char* port, const char* attr, const char* s) {
    value_t x;
    value_init(&x);
    set_string(&x, s);
    kvoblk_port_assign_value(b, port, attr, &x);
    value_destroy(&x);
  }
  // Looks the attribute up into v and describes the result as "<kind>:<text>".
  std::string lookup(const char* port, const char* attr) {
    if (!kvoblk_port_lookup_value(b, port, attr, &v)) return "false";
    switch (v.kind) {
      case VALUE_EMPTY:
        return "empty";
      case VALUE_IDENTIFIER:
        return "id:" + text_of(v);
      case VALUE_STRING:
        return "string:" + text_of(v);
      default:
        return "kind " + std::to_string(v.kind);
    }
  }

  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  int b = 0;
  kvoref::Port* in = nullptr;
  kvoref::Port* empty = nullptr;
  value_t v;
};

// ---- Names ---------------------------------------------------------------------------------

TEST_F(PortAttr, NameTableHoldsTheFourNamesInNumberOrder) {
  ASSERT_STREQ(kvoblk_port_attr_names[0], "PHASE");
  ASSERT_STREQ(kvoblk_port_attr_names[1], "SPEC");
  ASSERT_STREQ(kvoblk_port_attr_names[2], "TYPE");
  ASSERT_STREQ(kvoblk_port_attr_names[3], "STREAM");
  // Each number reaches the attribute its name reaches.
  in->mat().set_phase(1);
  in->mat().set_stream("S9");
  for (int n = 0; n < 4; ++n) {
    value_t by_number;
    value_init(&by_number);
    kvoblk_port_lookup_attr(b, in, n, &by_number);
    EXPECT_TRUE(kvoblk_port_lookup_value(b, "IN", kvoblk_port_attr_names[n], &v));
    EXPECT_EQ(by_number.kind, v.kind) << n;
    if (v.kind == VALUE_IDENTIFIER) {
      EXPECT_EQ(text_of(by_number), text_of(v)) << n;
    }
    value_destroy(&by_number);
  }
}

TEST_F(PortAttr, NamesAreExactAndCaseSensitive) {
  // Wrong case, prefixes and extensions, names of a right length that are none of the four
  // (including ones that land on a used or the unused hash slot), and names outside 4..6.
  const std::string very_long(1000, 'S');
  for (const char* name :
       {"phase",  "Spec",  "type",   "stream",  "PHAS", "PHASES", "SPE",
        "SPECS",  "TYPEX", "STREA",  "STREAMS", "SPEX", "TYPO",   "PHASF",
        "STREAN", "XXXX",  "ABCDEF", "",        "P",    "PHASE ", very_long.c_str()}) {
    set_id(&v, "LEFTOVER");
    EXPECT_FALSE(kvoblk_port_lookup_value(b, "IN", name, &v)) << name;
    EXPECT_EQ(v.kind, VALUE_EMPTY) << name;
    assign_id("IN", name, "LIQUID");
    EXPECT_EQ(his(), "Assignment to unknown port attribute '" + std::string(name) + "'\n");
  }
  EXPECT_FALSE(kvoblk_port_lookup_value(b, "IN", nullptr, &v));
  assign_id("IN", nullptr, "LIQUID");
  EXPECT_EQ(his(), "Assignment to unknown port attribute ''\n");
  EXPECT_EQ(in->mat().phase(), 0);
}

// ---- Lookup by names -----------------------------------------------------------------------

TEST_F(PortAttr, LookupOfUnknownPortOrNoBlockAnswersFalseEmptiedAndSilent) {
  set_id(&v, "LEFTOVER");
  EXPECT_FALSE(kvoblk_port_lookup_value(b, "OUT", "PHASE", &v));
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  set_id(&v, "LEFTOVER");
  EXPECT_FALSE(kvoblk_port_lookup_value(b, nullptr, "PHASE", &v));
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  EXPECT_FALSE(kvoblk_port_lookup_value(b, "in", "PHASE", &v));
  set_id(&v, "LEFTOVER");
  EXPECT_FALSE(kvoblk_port_lookup_value(0, "IN", "PHASE", &v));
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, LookupWithoutValueOnlyTestsExistence) {
  EXPECT_TRUE(kvoblk_port_lookup_value(b, "IN", "STREAM", nullptr));
  EXPECT_TRUE(kvoblk_port_lookup_value(b, "EMPTY", "SPEC", nullptr));
  EXPECT_FALSE(kvoblk_port_lookup_value(b, "IN", "COLOUR", nullptr));
  EXPECT_FALSE(kvoblk_port_lookup_value(b, "OUT", "STREAM", nullptr));
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, LookupMayNameThePortOrAttributeByTheTextOfItsOwnValue) {
  in->mat().set_phase(2);
  set_id(&v, "IN");
  EXPECT_EQ(lookup(v.u.text, "PHASE"), "id:LIQUID");
  set_id(&v, "PHASE");
  EXPECT_EQ(lookup("IN", v.u.text), "id:LIQUID");
}

TEST_F(PortAttr, BadHandleIsReportedAndChangesNothing) {
  EXPECT_FALSE(kvoblk_port_lookup_value(b + 1, "IN", "PHASE", &v));
  EXPECT_EQ(his(),
            "!! kvoblk_port_lookup_value: Invalid block handle " + std::to_string(b + 1) + "\n");
  assign_id("IN", "PHASE", "LIQUID");  // on the good block, for comparison below
  ASSERT_EQ(in->mat().phase(), 2);
  value_t x;
  value_init(&x);
  set_id(&x, "VAPOR");
  kvoblk_port_assign_value(-7, "IN", "PHASE", &x);
  EXPECT_EQ(his(), "!! kvoblk_port_assign_value: Invalid block handle -7\n");
  kvoblk_port_assign_attr(-7, in, 0, &x);
  EXPECT_EQ(his(), "!! kvoblk_port_assign_attr: Invalid block handle -7\n");
  EXPECT_EQ(in->mat().phase(), 2);
  kvoblk_port_lookup_attr(-7, in, 0, &x);
  EXPECT_EQ(x.kind, VALUE_EMPTY);
  EXPECT_EQ(his(), "!! kvoblk_port_lookup_attr: Invalid block handle -7\n");
  value_destroy(&x);
}

// ---- Assignment by names -------------------------------------------------------------------

TEST_F(PortAttr, AssignmentToUnknownPortIsReportedBeforeTheAttribute) {
  assign_id("OUT", "NOSUCH", "LIQUID");
  EXPECT_EQ(his(), "Assignment to unknown port 'OUT'\n");
  assign_id(nullptr, "PHASE", "LIQUID");
  EXPECT_EQ(his(), "Assignment to unknown port ''\n");
  assign_id("IN", "NOSUCH", "LIQUID");
  EXPECT_EQ(his(), "Assignment to unknown port attribute 'NOSUCH'\n");
  assign_id("IN", "PHASE", "LIQUID");  // handle 0 below changes nothing and says nothing
  value_t x;
  value_init(&x);
  set_id(&x, "VAPOR");
  kvoblk_port_assign_value(0, "IN", "PHASE", &x);
  value_destroy(&x);
  EXPECT_EQ(in->mat().phase(), 2);
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, AssignmentReachesAPortOfTheModelsOwnNumbering) {
  model_port = new kvoref::Port("SIDE");
  kvoblk_ops_t* t = kvoblk_inq_ops(b);
  t->inq_num_ports = model_num_ports;
  t->get_port_n = model_get_port_n;
  assign_id("SIDE", "PHASE", "SOLID");
  EXPECT_EQ(model_port->mat().phase(), 4);
  EXPECT_EQ(lookup("SIDE", "PHASE"), "id:SOLID");
  EXPECT_EQ(lookup("IN", "PHASE"), "false");
  EXPECT_EQ(his(), "");
  model_port->destroy();
  model_port = nullptr;
}

TEST_F(PortAttr, ByNameOperationsEndWithTheBlockTheirPortLookUpDestroyed) {
  model_port = new kvoref::Port("SIDE");
  kvoblk_inq_ops(b)->get_port = destroying_get_port;
  assign_id("SIDE", "PHASE", "SOLID");
  EXPECT_EQ(his(), "");
  b = kvoblk_base_create(0);
  kvoblk_inq_ops(b)->get_port = destroying_get_port;
  set_id(&v, "LEFTOVER");
  EXPECT_EQ(lookup("SIDE", "PHASE"), "false");
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  EXPECT_EQ(his(), "");
  EXPECT_EQ(model_port->mat().phase(), 0);
  b = kvoblk_base_create(0);  // for the fixture's teardown
  model_port->destroy();
  model_port = nullptr;
}

TEST_F(PortAttr, ByNameOperationsEndWithTheBlockTheirPortLookUpReplaced) {
  model_port = new kvoref::Port("SIDE");
  kvoblk_inq_ops(b)->get_port = replacing_get_port;
  assign_id("SIDE", "PHASE", "SOLID");
  ASSERT_EQ(reborn, b);  // the scene needs the handle taken again
  kvoblk_inq_ops(b)->get_port = replacing_get_port;
  set_id(&v, "LEFTOVER");
  EXPECT_EQ(lookup("SIDE", "PHASE"), "false");
  ASSERT_EQ(reborn, b);
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  // The port the old block's look-up offered is not the new block's to change.
  EXPECT_EQ(model_port->mat().phase(), 0);
  EXPECT_EQ(his(), "");
  model_port->destroy();
  model_port = nullptr;
}

// ---- PHASE, TYPE, STREAM -------------------------------------------------------------------

TEST_F(PortAttr, PhaseStoresTheServiceCodeAndLooksUpItsName) {
  EXPECT_EQ(lookup("IN", "PHASE"), "id:UNDEFINED");
  assign_id("IN", "PHASE", "LIQUID");
  EXPECT_EQ(in->mat().phase(), 2);
  EXPECT_EQ(lookup("IN", "PHASE"), "id:LIQUID");
  // A string is accepted as an identifier; a name the service does not know is stored as the
  // code the service gives for it, without a message.
  assign_string("IN", "PHASE", "VAPOR");
  EXPECT_EQ(lookup("IN", "PHASE"), "id:VAPOR");
  assign_id("IN", "PHASE", "PLASMA");
  EXPECT_EQ(in->mat().phase(), nuxLookupPortPhase("PLASMA"));
  EXPECT_EQ(lookup("IN", "PHASE"), "id:UNDEFINED");
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, TypeSetsTypeAndBasisTogether) {
  assign_id("IN", "TYPE", "MASS_FLOW");
  EXPECT_EQ(in->type(), 1);
  EXPECT_EQ(in->mat().basis(), 2);
  EXPECT_EQ(lookup("IN", "TYPE"), "id:MASS_FLOW");
  assign_id("IN", "TYPE", "HEAT");
  EXPECT_EQ(in->type(), 2);
  EXPECT_EQ(in->mat().basis(), 0);
  EXPECT_EQ(lookup("IN", "TYPE"), "id:HEAT");
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, UnknownTypeIsReportedAndChangesNeitherTypeNorBasis) {
  assign_id("IN", "TYPE", "MOLE_FLOW");
  assign_id("IN", "TYPE", "mole_flow");
  EXPECT_EQ(his(), "Unknown port type mole_flow assigned to port IN.\n");
  EXPECT_EQ(in->type(), 1);
  EXPECT_EQ(in->mat().basis(), 1);
  // A number is made an identifier first and is just as unknown.
  value_t x;
  value_init(&x);
  set_int(&x, 42);
  kvoblk_port_assign_value(b, "IN", "TYPE", &x);
  value_destroy(&x);
  EXPECT_EQ(his(), "Unknown port type 42 assigned to port IN.\n");
  EXPECT_EQ(lookup("IN", "TYPE"), "id:MOLE_FLOW");
}

TEST_F(PortAttr, TypeWithoutANameLooksUpTrueAndEmpty) {
  in->set_type(2);
  in->mat().set_basis(5);
  set_id(&v, "LEFTOVER");
  EXPECT_EQ(lookup("IN", "TYPE"), "empty");
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, StreamIsAssignedAsStringAndLookedUpAsIdentifier) {
  EXPECT_EQ(lookup("IN", "STREAM"), "id:");  // no stream yet: an empty identifier
  assign_string("IN", "STREAM", "S12");
  EXPECT_STREQ(in->mat().stream(), "S12");
  EXPECT_EQ(lookup("IN", "STREAM"), "id:S12");
  assign_id("IN", "STREAM", "S13");  // an identifier converts to a string
  EXPECT_EQ(lookup("IN", "STREAM"), "id:S13");
  value_t x;
  value_init(&x);
  set_int(&x, 7);
  kvoblk_port_assign_value(b, "IN", "STREAM", &x);
  value_destroy(&x);
  EXPECT_EQ(lookup("IN", "STREAM"), "id:7");
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, FixedStreamIsReportedReadOnlyAndKept) {
  assign_string("IN", "STREAM", "S12");
  in->mat().stream_fixed = true;
  assign_string("IN", "STREAM", "S99");
  EXPECT_EQ(his(), "The STREAM attribute of port IN in block B1 is read-only\n");
  EXPECT_EQ(lookup("IN", "STREAM"), "id:S12");
}

TEST_F(PortAttr, ValueOfWrongKindIsReportedWithBlockPortAndAttribute) {
  assign_string("IN", "STREAM", "S12");
  in->mat().set_phase(3);
  value_t none;
  value_init(&none);
  kvoblk_port_assign_value(b, "IN", "STREAM", &none);
  EXPECT_EQ(his(), "Wrong type value assigned to port attribute 'B1.IN.STR.STREAM' \n");
  kvoblk_port_assign_value(b, "IN", "PHASE", &none);
  EXPECT_EQ(his(), "Wrong type value assigned to port attribute 'B1.IN.STR.PHASE' \n");
  kvoblk_port_assign_value(b, "IN", "TYPE", nullptr);
  EXPECT_EQ(his(), "Wrong type value assigned to port attribute 'B1.IN.STR.TYPE' \n");
  kvoblk_port_assign_attr(b, in, 1, &none);
  EXPECT_EQ(his(), "Wrong type value assigned to port attribute 'B1.IN.STR.SPEC' \n");
  EXPECT_EQ(lookup("IN", "STREAM"), "id:S12");
  EXPECT_EQ(lookup("IN", "PHASE"), "id:MIXED");
  EXPECT_EQ(var_spec(lists.varlst, "X1"), "<empty>");
  // Without a block id the name starts with an empty part.
  kvoblk_set_blkid(b, nullptr);
  kvoblk_port_assign_value(b, "IN", "STREAM", &none);
  EXPECT_EQ(his(), "Wrong type value assigned to port attribute '.IN.STR.STREAM' \n");
}

TEST_F(PortAttr, KindIsJudgedByTheConvertedValueNotByTheConversionsAnswer) {
  coerce_answers_zero = true;
  assign_id("IN", "PHASE", "LIQUID");
  assign_string("IN", "STREAM", "S12");
  value_t none;
  value_init(&none);
  kvoblk_port_assign_value(b, "IN", "TYPE", &none);
  EXPECT_EQ(his(), "Wrong type value assigned to port attribute 'B1.IN.STR.TYPE' \n");
  EXPECT_EQ(lookup("IN", "PHASE"), "id:LIQUID");
  EXPECT_EQ(lookup("IN", "STREAM"), "id:S12");
}

// ---- By number -----------------------------------------------------------------------------

TEST_F(PortAttr, NumberOutsideTheTableIsReportedOnAssignmentAndEmptiesOnLookup) {
  value_t x;
  value_init(&x);
  set_id(&x, "LIQUID");
  for (int n : {-1, 4, 1000}) {
    kvoblk_port_assign_attr(b, in, n, &x);
    EXPECT_EQ(his(), "Unexpected attribute index in kvoblk_port_assign_attr\n") << n;
    set_id(&v, "LEFTOVER");
    kvoblk_port_lookup_attr(b, in, n, &v);
    EXPECT_EQ(v.kind, VALUE_EMPTY) << n;
  }
  EXPECT_EQ(in->mat().phase(), 0);
  // Handle 0 and a null port: nothing, not even a message.
  kvoblk_port_assign_attr(0, in, 0, &x);
  kvoblk_port_assign_attr(b, nullptr, 0, &x);
  kvoblk_port_assign_attr(b, nullptr, 9, &x);
  set_id(&v, "LEFTOVER");
  kvoblk_port_lookup_attr(b, nullptr, 0, &v);
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  kvoblk_port_lookup_attr(b, in, 0, nullptr);
  EXPECT_EQ(in->mat().phase(), 0);
  EXPECT_EQ(his(), "");
  value_destroy(&x);
}

// ---- SPEC ----------------------------------------------------------------------------------

TEST_F(PortAttr, SpecIsSpreadOverThePortsVariablesOnly) {
  assign_id("IN", "SPEC", "FIXED");
  EXPECT_EQ(var_spec(lists.varlst, "X1"), "FIXED");
  EXPECT_EQ(var_spec(lists.varlst, "X2"), "<empty>");
  EXPECT_EQ(var_spec(lists.varlst, "X3"), "FIXED");
  EXPECT_EQ(var_spec(lists.varlst, "X4"), "FIXED");
  EXPECT_EQ(lookup("IN", "SPEC"), "id:FIXED");
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, SpecLooksUpEmptyWhenTheVariablesDisagree) {
  assign_id("IN", "SPEC", "FIXED");
  value_t other;
  value_init(&other);
  set_id(&other, "FREE");
  set_var_spec(lists.varlst, "X4", &other);  // the last variable differs
  EXPECT_EQ(lookup("IN", "SPEC"), "empty");
  set_id(&other, "FIXE");  // a prefix is not the same text
  set_var_spec(lists.varlst, "X4", &other);
  EXPECT_EQ(lookup("IN", "SPEC"), "empty");
  set_string(&other, "FIXED");  // the same text as a string is not the same identifier
  set_var_spec(lists.varlst, "X4", &other);
  EXPECT_EQ(lookup("IN", "SPEC"), "empty");
  value_destroy(&other);
  set_var_spec(lists.varlst, "X4", &other);  // no SPEC at all
  EXPECT_EQ(lookup("IN", "SPEC"), "empty");
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, SpecLookupStopsAtAFirstVariableWithoutIdentifier) {
  value_t s;
  value_init(&s);
  set_string(&s, "FIXED");
  set_var_spec(lists.varlst, "X1", &s);
  set_id(&s, "FREE");
  set_var_spec(lists.varlst, "X3", &s);
  EXPECT_EQ(lookup("IN", "SPEC"), "string:FIXED");  // the first result, unchanged
  set_int(&s, 3);
  set_var_spec(lists.varlst, "X1", &s);
  EXPECT_TRUE(kvoblk_port_lookup_value(b, "IN", "SPEC", &v));
  EXPECT_EQ(v.kind, VALUE_NUMBER);
  EXPECT_EQ(v.u.number.ival, 3);
  value_destroy(&s);
}

TEST_F(PortAttr, SpecAssignmentPassesTheValueAsGiven) {
  // The port converts only to check the kind; the variables receive the original value.
  value_t s;
  value_init(&s);
  set_string(&s, "FIXED");
  kvoblk_port_assign_value(b, "IN", "SPEC", &s);
  value_destroy(&s);
  EXPECT_EQ(lookup("IN", "SPEC"), "string:FIXED");
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, SpecOfAPortWithoutVariablesIsTrueAndEmpty) {
  assign_id("EMPTY", "SPEC", "FIXED");
  for (const char* x : {"X1", "X2", "X3", "X4"}) EXPECT_EQ(var_spec(lists.varlst, x), "<empty>");
  set_id(&v, "LEFTOVER");
  EXPECT_EQ(lookup("EMPTY", "SPEC"), "empty");
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, SpecWithoutContainerDoesNothingSilently) {
  int c = kvoblk_base_create(0);
  kvoblk_set_blkid(c, "C1");
  auto* p = new kvoref::Port("P", {1, 2});
  ASSERT_FALSE(kvoblk_add_port(c, p));
  value_t x;
  value_init(&x);
  set_id(&x, "FIXED");
  kvoblk_port_assign_value(c, "P", "SPEC", &x);
  value_destroy(&x);
  EXPECT_EQ(var_spec(lists.varlst, "X1"), "<empty>");
  set_id(&v, "LEFTOVER");
  EXPECT_TRUE(kvoblk_port_lookup_value(c, "P", "SPEC", &v));
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  EXPECT_EQ(his(), "");
  kvoblk_destroy(c);
}

TEST_F(PortAttr, SpecWithoutVariableListIsReported) {
  kvoref::Lists none;
  cntr->set_lists(none);
  assign_id("IN", "SPEC", "FIXED");
  EXPECT_EQ(his(), "Block B1 does not have a variable list\n");
  EXPECT_TRUE(kvoblk_port_lookup_value(b, "IN", "SPEC", &v));
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  EXPECT_EQ(his(), "Block B1 does not have a variable list\n");
  cntr->set_lists(lists);
  EXPECT_EQ(var_spec(lists.varlst, "X1"), "<empty>");
}

TEST_F(PortAttr, SpecNamesOfTheLongestVariableNamesAreComposedWhole) {
  // The reference host keeps 128 characters of a name: the longest it gives out still works.
  const std::string longest(128, 'L');
  kvoref::define_var(lists.varlst, 1, longest.c_str(), 0.0);
  assign_id("IN", "SPEC", "FIXED");
  EXPECT_EQ(var_spec(lists.varlst, longest.c_str()), "FIXED");
  EXPECT_EQ(lookup("IN", "SPEC"), "id:FIXED");
  // A service that fills the whole 140-character buffer: the suffix lands behind the name
  // without running past it, and an unterminated name is cut at 139 characters.
  name_mode = NameMode::kLongest;
  assign_id("IN", "SPEC", "FREE");
  name_mode = NameMode::kUnterminated;
  assign_id("IN", "SPEC", "FREE");
  name_mode = NameMode::kHost;
  ASSERT_EQ(assigned_attrs.size(), 6u);
  EXPECT_EQ(assigned_attrs[0], std::string(139, 'V') + ".SPEC");
  EXPECT_EQ(assigned_attrs[5], std::string(139, 'W') + ".SPEC");
  EXPECT_EQ(his(), "");
}

// ---- Iteration -----------------------------------------------------------------------------

TEST_F(PortAttr, IterationVisitsThePortsVariablesInOrderAndStopsWhenAsked) {
  Visits seen;
  kvoblk_port_iterate(b, in, record_visit, &seen);
  EXPECT_EQ(seen.vars, (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(seen.lists, (std::vector<int>(3, lists.varlst)));
  Visits stopped;
  stopped.stop_at = 3;
  kvoblk_port_iterate(b, in, record_visit, &stopped);
  EXPECT_EQ(stopped.vars, (std::vector<int>{1, 3}));
  EXPECT_EQ(his(), "");
}

// A port whose material throws, and a visitor that throws: the port's code and the caller's
// are not the library's to let escape. Each call ends with the exception reported, an
// assignment with nothing changed and a look-up with the value emptied.
namespace {
struct ThrowingMaterialPort : kvoref::Port {
  using kvoref::Port::Port;
  INUXPortMaterial* material() override { throw std::runtime_error("no room"); }
};
int throwing_visit(int, int, void*) { throw 1; }
}  // namespace

TEST_F(PortAttr, ExceptionsFromThePortOrTheVisitorAreReportedAndGoNoFurther) {
  auto* odd = new ThrowingMaterialPort("ODD", {2});
  ASSERT_FALSE(kvoblk_add_port(b, odd));
  const std::string said = ": A routine of block B1 ended with an exception\n";
  assign_id("ODD", "TYPE", "HEAT");
  EXPECT_EQ(odd->type(), 0);
  EXPECT_EQ(his(), "!! kvoblk_port_assign_attr" + said);
  set_id(&v, "stale");
  kvoblk_port_lookup_attr(b, odd, 0, &v);
  EXPECT_EQ(v.kind, VALUE_EMPTY);
  EXPECT_EQ(his(), "!! kvoblk_port_lookup_attr" + said);
  kvoblk_port_iterate(b, in, throwing_visit, nullptr);
  EXPECT_EQ(his(), "!! kvoblk_port_iterate" + said);
}

// A port whose variables after the first cannot be read: a SPEC look-up cut short has not
// compared every variable, so the first one's SPEC is not the port's.
namespace {
struct ThrowingVarPort : kvoref::Port {
  using kvoref::Port::Port;
  int var(int position) const override {
    if (position > 0) throw std::runtime_error("gone");
    return kvoref::Port::var(position);
  }
};
}  // namespace

TEST_F(PortAttr, SpecLookupCutShortByAnExceptionIsEmptied) {
  assign_id("IN", "SPEC", "FIXED");
  ASSERT_FALSE(kvoblk_add_port(b, new ThrowingVarPort("ODD", {1, 3})));
  EXPECT_EQ(lookup("ODD", "SPEC"), "empty");
  EXPECT_EQ(his(), "!! kvoblk_port_lookup_attr: A routine of block B1 ended with an exception\n");
}

TEST_F(PortAttr, IterationWithoutBlockPortVisitorOrContainerDoesNothing) {
  Visits seen;
  kvoblk_port_iterate(0, in, record_visit, &seen);
  kvoblk_port_iterate(b, nullptr, record_visit, &seen);
  kvoblk_port_iterate(b, in, nullptr, &seen);
  int c = kvoblk_base_create(0);
  kvoblk_port_iterate(c, in, record_visit, &seen);
  kvoblk_destroy(c);
  EXPECT_TRUE(seen.vars.empty());
  EXPECT_EQ(his(), "");
}

// A visitor that deletes the port it is walking, or destroys the whole block, at its first
// variable and asks to go on: the walk ends there instead of reading the port it freed.
namespace {
struct Demolition {
  int blkptr = 0;
  bool whole_block = false;
  std::vector<int> vars;
};
int demolish(int, int var, void* user) {
  auto* d = static_cast<Demolition*>(user);
  d->vars.push_back(var);
  if (d->vars.size() == 1) {
    if (d->whole_block)
      kvoblk_destroy(d->blkptr);
    else
      kvoblk_delete_port(d->blkptr, "IN");
  }
  return 0;
}
}  // namespace

TEST_F(PortAttr, IterationEndsWhenTheVisitorDeletesThePortOrDestroysTheBlock) {
  Demolition port_gone;
  port_gone.blkptr = b;
  kvoblk_port_iterate(b, in, demolish, &port_gone);
  EXPECT_EQ(port_gone.vars, (std::vector<int>{1}));
  EXPECT_EQ(kvoblk_get_port(b, "IN"), nullptr);
  EXPECT_EQ(kvoblk_inq_num_ports(b), 1);

  auto* p = new kvoref::Port("P", {2, 3});
  ASSERT_FALSE(kvoblk_add_port(b, p));
  Demolition block_gone;
  block_gone.blkptr = b;
  block_gone.whole_block = true;
  kvoblk_port_iterate(b, p, demolish, &block_gone);
  EXPECT_EQ(block_gone.vars, (std::vector<int>{2}));
  b = kvoblk_base_create(0);  // for the fixture's teardown
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, IterationOverAnotherBlocksPortEndsWhenTheVisitorDestroysThatBlock) {
  const int other = kvoblk_base_create(0);
  auto* p = new kvoref::Port("P", {2, 3});
  ASSERT_FALSE(kvoblk_add_port(other, p));
  Demolition holder_gone;
  holder_gone.blkptr = other;
  holder_gone.whole_block = true;
  kvoblk_port_iterate(b, p, demolish, &holder_gone);  // the port goes with its block
  EXPECT_EQ(holder_gone.vars, (std::vector<int>{2}));
  EXPECT_EQ(his(), "");
}

// A visitor that, at its first variable, destroys the block iterated and makes another at the
// same handle.
namespace {
struct Rebirth {
  int blkptr = 0, made = 0;
  std::vector<int> vars;
};
int rebirth(int, int var, void* user) {
  auto* r = static_cast<Rebirth*>(user);
  r->vars.push_back(var);
  if (r->vars.size() == 1) {
    kvoblk_destroy(r->blkptr);
    r->made = kvoblk_base_create(0);
  }
  return 0;
}
}  // namespace

TEST_F(PortAttr, IterationEndsWhenTheVisitorReplacesTheBlockIterated) {
  // The port is another block's, which outlives the iterated one.
  const int other = kvoblk_base_create(0);
  auto* p = new kvoref::Port("P", {2, 3});
  ASSERT_FALSE(kvoblk_add_port(other, p));
  Rebirth r;
  r.blkptr = b;
  kvoblk_port_iterate(b, p, rebirth, &r);
  ASSERT_EQ(r.made, b);  // the scene needs the handle taken again
  EXPECT_EQ(r.vars, (std::vector<int>{2}));
  kvoblk_destroy(other);
  EXPECT_EQ(his(), "");
}

// A port of another block whose own answers (its count, or a variable) destroy the block
// iterated, once armed: nothing is visited after that.
namespace {
struct BlockDestroyingPort : kvoref::Port {
  using kvoref::Port::Port;
  mutable int victim = 0;
  mutable bool in_count = false;
  int num_vars() const override {
    if (in_count) destroy_victim();
    return kvoref::Port::num_vars();
  }
  int var(int position) const override {
    destroy_victim();
    return kvoref::Port::var(position);
  }
  void destroy_victim() const {
    if (victim != 0) kvoblk_destroy(victim);
    victim = 0;
  }
};
int record(int, int var, void* user) {
  static_cast<std::vector<int>*>(user)->push_back(var);
  return 0;
}
}  // namespace

TEST_F(PortAttr, IterationEndsWhenThePortsOwnAnswersDestroyTheBlockIterated) {
  const int other = kvoblk_base_create(0);
  auto* p = new BlockDestroyingPort("P", {2, 3});
  ASSERT_FALSE(kvoblk_add_port(other, p));
  for (bool in_count : {true, false}) {
    p->in_count = in_count;
    p->victim = b;
    std::vector<int> seen;
    kvoblk_port_iterate(b, p, record, &seen);
    EXPECT_EQ(seen, std::vector<int>{}) << (in_count ? "num_vars" : "var");
    b = kvoblk_base_create(0);
    kvoblk_register_container(b, cntr);
  }
  kvoblk_destroy(other);
  EXPECT_EQ(his(), "");
}

TEST_F(PortAttr, IterationGoesOnWhenTheVisitorDeletesAnotherPortAndThisOneMoves) {
  auto* p = new kvoref::Port("P", {2, 3, 5});
  ASSERT_FALSE(kvoblk_add_port(b, p));
  Demolition other;  // deletes IN at the first variable: P moves from entry 3 to entry 2
  other.blkptr = b;
  kvoblk_port_iterate(b, p, demolish, &other);
  EXPECT_EQ(other.vars, (std::vector<int>{2, 3, 5}));
  EXPECT_EQ(kvoblk_get_port_n(b, 2), p);
  EXPECT_EQ(his(), "");
}
