// SPDX-License-Identifier: BSD-3-Clause
// Fuzz target for the block attributes: each input is a block id and a sequence of look-ups,
// assignments and descriptions by name (one of the thirteen or any bytes) with tagged values of
// every kind. Checked after each step: the answer is true exactly for the thirteen names, a
// look-up gives the kind and value the block's settings say, an assignment changes at most the
// setting it names (a diagnostic level from a real is truncated, to the nearer end of the 32-bit
// range beyond it; a real that is not a number is refused as a type mismatch), the given value
// is left as it was, an unknown name changes and prints nothing, and no text is leaked.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <kvoblk/kvoattr.h>
#include "fuzz_host.h"
#include "snapshot.h"

namespace {

using kvofuzz::Input;
using kvotest::bits_of;

const char* const kNames[13] = {"DERIV_METHOD", "INCLUDED",   "MODEL",         "PERT",
                                "DIAG_LEVEL",   "NLRATIODEV", "NLRATIO",       "ZEROTOL",
                                "MOVE",         "MOVEAMOUNT", "SPARSITY_FILE", "SPARSITY_GEN",
                                "SPARSITY_TYPE"};
const char* const kDescriptions[13] = {"Derivative method",
                                       "Included in flowsheet",
                                       "Model type",
                                       "Perturbation size",
                                       "Diagnostic Level",
                                       "Nonlinearity ratio deviation",
                                       "Nonlinearity ratio",
                                       "Zero tolerance",
                                       "Move variables during numeric sparsity detection",
                                       "Amount to move variables during sparsity detection",
                                       "Sparsity file",
                                       "PATINI",
                                       "PATTYPE"};
const int kReadOnly[13] = {0, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1};
enum {
  DERIV_METHOD,
  INCLUDED,
  MODEL,
  PERT,
  DIAG_LEVEL,
  NLRATIODEV,
  NLRATIO,
  ZEROTOL,
  MOVE,
  MOVEAMOUNT,
  SPARSITY_FILE,
  SPARSITY_GEN,
  SPARSITY_TYPE
};

int number_of(const char* name) {
  for (int a = 0; a < 13; ++a)
    if (std::strcmp(name, kNames[a]) == 0) return a;
  return -1;
}

// Everything an attribute can show or change, compared field by field.
struct State {
  int deriv, diag, move, pat_ini, pat_type, included;
  uint64_t pert, nlratiodev, nlratio, zerotol, moveamount;
  std::string pat_file, id;
  bool has_pat_file;

  static State of(int b) {
    State s;
    s.deriv = kvoblk_inq_deriv_type(b);
    s.diag = kvoblk_inq_diag_level(b);
    s.move = kvoblk_inq_move(b);
    s.pat_ini = kvoblk_inq_pat_ini_type(b);
    s.pat_type = kvoblk_inq_pat_type(b);
    s.included = kvoblk_inq_included(b);
    s.pert = bits_of(kvoblk_inq_pertsize(b));
    s.nlratiodev = bits_of(kvoblk_inq_nlratiodev(b));
    s.nlratio = bits_of(kvoblk_inq_nlratio(b));
    s.zerotol = bits_of(kvoblk_inq_zerotol(b));
    s.moveamount = bits_of(kvoblk_inq_moveamount(b));
    s.has_pat_file = kvoblk_inq_pat_file(b) != nullptr;
    s.pat_file = s.has_pat_file ? kvoblk_inq_pat_file(b) : "";
    s.id = kvoblk_blkid(b) ? kvoblk_blkid(b) : "";
    return s;
  }
  // Equal in every field except the one attribute `except` may change (-1: none).
  bool same_but(const State& o, int except) const {
    return (except == DERIV_METHOD || deriv == o.deriv) &&
           (except == DIAG_LEVEL || diag == o.diag) && (except == MOVE || move == o.move) &&
           pat_ini == o.pat_ini && pat_type == o.pat_type && included == o.included &&
           (except == PERT || pert == o.pert) &&
           (except == NLRATIODEV || nlratiodev == o.nlratiodev) && nlratio == o.nlratio &&
           (except == ZEROTOL || zerotol == o.zerotol) &&
           (except == MOVEAMOUNT || moveamount == o.moveamount) && has_pat_file == o.has_pat_file &&
           pat_file == o.pat_file && id == o.id;
  }
};

// A deep copy of a value for comparison.
struct Shown {
  int kind;
  unsigned char number[sizeof(kvo_number_t)];
  std::string text;
  int logical;
  static Shown of(const value_t& v) {
    Shown s{};
    s.kind = v.kind;
    if (v.kind == VALUE_NUMBER) std::memcpy(s.number, &v.u.number, sizeof s.number);
    if ((v.kind == VALUE_STRING || v.kind == VALUE_IDENTIFIER) && v.u.text) s.text = v.u.text;
    if (v.kind == VALUE_LOGICAL) s.logical = v.u.logical;
    return s;
  }
  bool operator==(const Shown& o) const {
    return kind == o.kind && std::memcmp(number, o.number, sizeof number) == 0 && text == o.text &&
           logical == o.logical;
  }
};

char* heap_text(const std::string& s) {
  char* t = static_cast<char*>(std::malloc(s.size() + 1));
  std::memcpy(t, s.c_str(), s.size() + 1);
  return t;
}

// Reals that lie on the edges of what an attribute may be given.
double special_real(uint8_t k) {
  static const double table[] = {NAN,          INFINITY,     -INFINITY,     1e300,         -1e300,
                                 2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0, 2.9,
                                 -2.9,         0.0,          -0.0,          1e35,          1e-6};
  return table[k % (sizeof table / sizeof table[0])];
}

// A tagged value made from the input.
void make_value(Input& in, value_t* v) {
  value_init(v);
  switch (in.byte() % 6) {
    case 0:
      break;
    case 1:
    case 5: {
      kvo_number_t n{};
      n.ival = in.value<int32_t>();
      n.rval = in.value<double>();
      n.code = in.value<int16_t>();
      n.field = in.value<int16_t>();
      n.is_int = in.byte() & 1;
      n.extra = in.byte();
      // Half the reals come from a table of edge values, so that they are reached at once.
      if ((n.extra & 0x80) != 0) n.rval = special_real(n.extra);
      value_assign_number(v, &n);
      break;
    }
    case 2:
      value_assign_string(v, heap_text(in.bytes(40).c_str()));
      break;
    case 3:
      value_assign_id(v, heap_text(in.bytes(40).c_str()));
      break;
    case 4:
      value_assign_logical(v, in.byte());
      break;
  }
}

// Whether a number gives a diagnostic level, and the level it is stored as: a real is truncated,
// and one past an end of the word gives that end.
bool is_level(const kvo_number_t& n) { return n.is_int || !std::isnan(n.rval); }
int32_t level_of(const kvo_number_t& n) {
  if (n.is_int) return n.ival;
  if (n.rval >= 2147483648.0) return INT32_MAX;
  if (n.rval <= -2147483649.0) return INT32_MIN;
  return static_cast<int32_t>(n.rval);
}

// What a look-up of attribute a must give, checked against the block's own settings.
void check_lookup(int b, int a, const value_t& v) {
  auto real_ok = [&](double setting) {
    if (setting == 1e35 || std::isnan(setting)) return v.kind == VALUE_EMPTY;
    return v.kind == VALUE_NUMBER && v.u.number.is_int == 0 && v.u.number.code == 0 &&
           bits_of(v.u.number.rval) == bits_of(setting);
  };
  auto id_ok = [&](int code, const char* const* texts, int count) {
    if (code < 0 || code >= count) return v.kind == VALUE_EMPTY;
    return v.kind == VALUE_IDENTIFIER && std::strcmp(v.u.text, texts[code]) == 0;
  };
  static const char* const methods[] = {"", "ANALYTIC", "NUMERIC", "UPDATE_NUMERIC",
                                        "UPDATE_ANALYTIC"};
  static const char* const inits[] = {"UNDEFINED", "SELF", "NUMERIC", "RESTORE"};
  static const char* const types[] = {"UNDEFINED", "ANALYTIC", "NUMERIC"};
  switch (a) {
    case DERIV_METHOD: {
      const int code = kvoblk_inq_deriv_type(b);
      FUZZ_CHECK(code >= 1 ? id_ok(code, methods, 5) : v.kind == VALUE_EMPTY);
      break;
    }
    case SPARSITY_GEN:
      FUZZ_CHECK(id_ok(kvoblk_inq_pat_ini_type(b), inits, 4));
      break;
    case SPARSITY_TYPE:
      FUZZ_CHECK(id_ok(kvoblk_inq_pat_type(b), types, 3));
      break;
    case INCLUDED:
      FUZZ_CHECK(v.kind == VALUE_LOGICAL && (v.u.logical != 0) == (kvoblk_inq_included(b) != 0));
      break;
    case MOVE:
      FUZZ_CHECK(v.kind == VALUE_LOGICAL && (v.u.logical != 0) == (kvoblk_inq_move(b) != 0));
      break;
    case MODEL:
      FUZZ_CHECK(v.kind == VALUE_STRING && v.u.text && v.u.text[0] == 0);
      break;
    case PERT:
      FUZZ_CHECK(real_ok(kvoblk_inq_pertsize(b)));
      break;
    case NLRATIODEV:
      FUZZ_CHECK(real_ok(kvoblk_inq_nlratiodev(b)));
      break;
    case NLRATIO:
      FUZZ_CHECK(real_ok(kvoblk_inq_nlratio(b)));
      break;
    case ZEROTOL:
      FUZZ_CHECK(real_ok(kvoblk_inq_zerotol(b)));
      break;
    case MOVEAMOUNT:
      FUZZ_CHECK(real_ok(kvoblk_inq_moveamount(b)));
      break;
    case DIAG_LEVEL:
      FUZZ_CHECK(v.kind == VALUE_NUMBER && v.u.number.is_int == 1 && v.u.number.code == 44 &&
                 v.u.number.ival == kvoblk_inq_diag_level(b));
      break;
    case SPARSITY_FILE:
      if (kvoblk_inq_pat_file(b))
        FUZZ_CHECK(v.kind == VALUE_STRING && std::strcmp(v.u.text, kvoblk_inq_pat_file(b)) == 0);
      else
        FUZZ_CHECK(v.kind == VALUE_EMPTY);
      break;
  }
}

// What an assignment of `given` to attribute a may have changed, and how.
void check_assign(int b, int a, const value_t& given, const State& before, const State& after,
                  const std::string& text) {
  if (kReadOnly[a]) {
    FUZZ_CHECK(after.same_but(before, -1));
    FUZZ_CHECK(!text.empty());
    return;
  }
  FUZZ_CHECK(after.same_but(before, a));
  // The value the library converts to, made the same way.
  const int kind = a == DERIV_METHOD ? VALUE_IDENTIFIER : a == MOVE ? VALUE_LOGICAL : VALUE_NUMBER;
  value_t converted;
  value_init(&converted);
  value_coerce(&given, &converted, kind, 0);
  if (converted.kind != kind || (a == DIAG_LEVEL && !is_level(converted.u.number))) {
    FUZZ_CHECK(after.same_but(before, -1));
    FUZZ_CHECK(text.find("Type mismatch in assignment: ") == 0);
  } else if (a == DIAG_LEVEL) {
    FUZZ_CHECK(after.diag == level_of(converted.u.number));
    FUZZ_CHECK(text.empty());
  } else if (a == DERIV_METHOD) {
    static const char* const methods[] = {"ANALYTIC", "NUMERIC", "UPDATE_NUMERIC",
                                          "UPDATE_ANALYTIC"};
    int m = 0;
    for (int k = 0; k < 4; ++k)
      if (std::strcmp(converted.u.text, methods[k]) == 0) m = k + 1;
    if (m == 0) {
      FUZZ_CHECK(after.deriv == before.deriv);
      FUZZ_CHECK(text.find("Unknown derivative type: ") == 0);
    } else {
      FUZZ_CHECK(after.deriv == before.deriv || after.deriv == m);
    }
  } else if (a != MOVE) {
    const kvo_number_t& n = converted.u.number;
    const uint64_t wanted = bits_of(n.is_int ? static_cast<double>(n.ival) : n.rval);
    const uint64_t now = a == PERT         ? after.pert
                         : a == NLRATIODEV ? after.nlratiodev
                         : a == ZEROTOL    ? after.zerotol
                                           : after.moveamount;
    const uint64_t was = a == PERT         ? before.pert
                         : a == NLRATIODEV ? before.nlratiodev
                         : a == ZEROTOL    ? before.zerotol
                                           : before.moveamount;
    FUZZ_CHECK(now == wanted || now == was);
  }
  value_destroy(&converted);
  (void)b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvofuzz::Host host;
  Input in(data, size);
  const int b = (in.byte() & 1) ? kvoblk_base_create(0) : kvoblk_base_create_1(0);
  FUZZ_CHECK(b != 0);
  const std::string id = in.bytes(24);
  if (!id.empty()) kvoblk_set_blkid(b, id.c_str());
  host.his();

  for (int step = 0; step < 32 && !in.empty(); ++step) {
    const uint8_t op = in.byte();
    const uint8_t pick = in.byte();
    // A name of the table, or any bytes, in a buffer of exactly its size plus the terminator.
    const std::string name_text = (pick & 0x80) ? in.bytes(24) : kNames[pick % 13];
    const size_t name_len = std::strlen(name_text.c_str());
    char* name = static_cast<char*>(std::malloc(name_len + 1));
    std::memcpy(name, name_text.c_str(), name_len + 1);
    const int a = number_of(name);
    const State before = State::of(b);

    switch (op % 4) {
      case 0: {  // look-up into a record that holds a text: emptied first for a known name
        value_t v;
        value_init(&v);
        value_assign_string(&v, heap_text("sentinel"));
        FUZZ_CHECK(kvoblk_lookup_value(b, name, &v) == (a >= 0));
        if (a >= 0)
          check_lookup(b, a, v);
        else
          FUZZ_CHECK(v.kind == VALUE_STRING && std::strcmp(v.u.text, "sentinel") == 0);
        value_destroy(&v);
        FUZZ_CHECK(State::of(b).same_but(before, -1));
        FUZZ_CHECK(host.his().empty());
        break;
      }
      case 1: {  // assignment of a value of any kind
        value_t v;
        make_value(in, &v);
        const Shown given = Shown::of(v);
        FUZZ_CHECK(kvoblk_assign_value(b, name, &v) == (a >= 0));
        FUZZ_CHECK(Shown::of(v) == given);
        const State after = State::of(b);
        const std::string text = host.his();
        if (a < 0) {
          FUZZ_CHECK(after.same_but(before, -1));
          FUZZ_CHECK(text.empty());
        } else {
          check_assign(b, a, v, before, after, text);
        }
        value_destroy(&v);
        break;
      }
      case 2: {  // description
        const nuxblock_attr_desc* d = kvoblk_describe_attr(b, name);
        FUZZ_CHECK((d != nullptr) == (a >= 0));
        if (d) {
          FUZZ_CHECK(std::strcmp(d->description, kDescriptions[a]) == 0);
          FUZZ_CHECK(d->read_only == kReadOnly[a]);
        }
        break;
      }
      case 3:  // look-up of the name alone
        FUZZ_CHECK(kvoblk_lookup_value(b, name, nullptr) == (a >= 0));
        FUZZ_CHECK(State::of(b).same_but(before, -1));
        break;
    }
    std::free(name);
  }
  kvoblk_destroy(b);
  return 0;
}
