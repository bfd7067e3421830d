// SPDX-License-Identifier: BSD-3-Clause
// The thirteen block attributes: their names, descriptions and read-only flags, the name lookup
// by a scan of the name table, and the base routines that read and assign them through tagged
// values.
#include <kvoblk/kvoattr.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// Attribute numbers: the position in the tables below, fixed, and what the host sees.
enum Attr : int {
  DERIV_METHOD = 0,
  INCLUDED = 1,
  MODEL = 2,
  PERT = 3,
  DIAG_LEVEL = 4,
  NLRATIODEV = 5,
  NLRATIO = 6,
  ZEROTOL = 7,
  MOVE = 8,
  MOVEAMOUNT = 9,
  SPARSITY_FILE = 10,
  SPARSITY_GEN = 11,
  SPARSITY_TYPE = 12,
  NUM_ATTRS = 13
};

constexpr const char* kNames[NUM_ATTRS] = {"DERIV_METHOD", "INCLUDED",      "MODEL",
                                           "PERT",         "DIAG_LEVEL",    "NLRATIODEV",
                                           "NLRATIO",      "ZEROTOL",       "MOVE",
                                           "MOVEAMOUNT",   "SPARSITY_FILE", "SPARSITY_GEN",
                                           "SPARSITY_TYPE"};

constexpr nuxblock_attr_desc kDescs[NUM_ATTRS] = {
    {"Derivative method", 0},
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
    {"PATTYPE", 1},
};

// ---- Name lookup ---------------------------------------------------------------------------
// The number of the attribute called `name`, or -1. Each comparison stops at the first
// character that differs, so a very long or unterminated text is read no further than one past
// the longest name.
int find_attr(const char* name) {
  if (!name) return -1;
  for (int a = 0; a < NUM_ATTRS; ++a)
    if (std::strcmp(name, kNames[a]) == 0) return a;
  return -1;
}

// ---- Identifier texts of the coded settings ------------------------------------------------

const char* deriv_text(int code) { return kvoblk_name::of(kvoblk_name::deriv_type, code); }

const char* pat_ini_text(int code) { return kvoblk_name::of(kvoblk_name::pat_ini_type, code); }

const char* pat_type_text(int code) { return kvoblk_name::of(kvoblk_name::pat_type, code); }

// ---- Filling a result ----------------------------------------------------------------------

// The value takes a fresh heap copy of `text`; without memory it stays empty.
void give_id(value_t* value, const char* text) {
  if (!text) return;
  if (char* copy = copy_text(text)) value_assign_id(value, copy);
}

void give_string(value_t* value, const char* text) {
  if (!text) return;
  if (char* copy = copy_text(text)) value_assign_string(value, copy);
}

// A real setting equal to the unset marker 1e35, or not a number, has no value.
void give_real(value_t* value, double v) {
  if (std::isnan(v) || v == 1e35) return;
  kvo_number_t n{};
  n.rval = v;
  n.code = 0;
  n.field = 0;
  n.is_int = 0;
  n.extra = 0;
  value_assign_number(value, &n);
}

void give_integer(value_t* value, int32_t i, int16_t code) {
  kvo_number_t n{};
  n.ival = i;
  n.code = code;
  n.field = 0;
  n.is_int = 1;
  n.extra = 0;
  value_assign_number(value, &n);
}

// ---- Assignment helpers --------------------------------------------------------------------

// "<block id>.<attribute name>", or the block id alone for a number outside the table; a block
// without a name contributes an empty text. Heap text released by the caller; null without
// memory, which the messages print as the block id.
char* qualified_name(int blkptr, int number) {
  const char* id = text(blkid(blkptr));
  if (number < 0 || number >= NUM_ATTRS) return copy_text(id);
  const size_t ni = std::strlen(id);
  const size_t na = std::strlen(kNames[number]);
  char* q = static_cast<char*>(heap_malloc(ni + 1 + na + 1));
  if (!q) return nullptr;
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the name's copy below ends the text
  std::memcpy(q, id, ni);
  q[ni] = '.';
  std::memcpy(q + ni + 1, kNames[number], na + 1);
  return q;
}

// The kind an accepted value must be converted to; 0 for the attributes that refuse assignment.
int required_kind(int number) {
  switch (number) {
    case DERIV_METHOD:
      return VALUE_IDENTIFIER;
    case PERT:
    case DIAG_LEVEL:
    case NLRATIODEV:
    case ZEROTOL:
    case MOVEAMOUNT:
      return VALUE_NUMBER;
    case MOVE:
      return VALUE_LOGICAL;
    default:
      return 0;
  }
}

// "<message><qualified name> = <given value>\n" for the refusals that show the value.
void print_with_value(const char* format, const char* qname, const value_t* value) {
  kvoprintf(kvHisDev, format, qname);
  value_print(kvHisDev, value);
  kvoprintf(kvHisDev, "\n");
}

double number_as_real(const kvo_number_t& n) {
  return n.is_int ? static_cast<double>(n.ival) : n.rval;
}

// Whether a number gives a diagnostic level: every number does but a real that is not a number.
bool is_level(const kvo_number_t& n) { return n.is_int || !std::isnan(n.rval); }

// The diagnostic level of a number that is one: the integer, or the real truncated toward zero.
// A real past either end of the word gives that end: far below every threshold is silence, as
// the 32-bit truncation gives it, and far above is every message, where the truncation would
// give silence too.
int32_t number_as_level(const kvo_number_t& n) {
  if (n.is_int) return n.ival;
  if (n.rval >= 2147483648.0) return INT32_MAX;
  if (n.rval <= -2147483649.0) return INT32_MIN;
  return static_cast<int32_t>(n.rval);
}

// Applies a converted value to a settable attribute.
void apply(int blkptr, int number, const char* qname, const value_t* given,
           const value_t& converted) {
  switch (number) {
    case DERIV_METHOD: {
      static const char* const methods[] = {"ANALYTIC", "NUMERIC", "UPDATE_NUMERIC",
                                            "UPDATE_ANALYTIC"};
      const char* id = text(converted.u.text);
      for (int m = 0; m < 4; ++m) {
        if (std::strcmp(id, methods[m]) == 0) {
          kvoblk_set_deriv_type(blkptr, m + 1);
          return;
        }
      }
      print_with_value("Unknown derivative type: %s = ", qname, given);
      return;
    }
    case PERT:
      kvoblk_set_pertsize(blkptr, number_as_real(converted.u.number));
      return;
    case NLRATIODEV:
      kvoblk_set_nlratiodev(blkptr, number_as_real(converted.u.number));
      return;
    case ZEROTOL:
      kvoblk_set_zerotol(blkptr, number_as_real(converted.u.number));
      return;
    case MOVEAMOUNT:
      kvoblk_set_moveamount(blkptr, number_as_real(converted.u.number));
      return;
    case DIAG_LEVEL: {
      word(blkptr, W::diag_level) = number_as_level(converted.u.number);
      return;
    }
    case MOVE:
      kvoblk_set_move(blkptr, converted.u.logical);
      return;
    default:
      return;
  }
}

}  // namespace

namespace kvoblk {
namespace detail {

// Fills `value` with attribute `number` of the block. A model's own table may hand numbers the
// base table does not know; those are reported and leave the value empty.
void lookup_attr(int blkptr, int number, value_t* value) {
  if (blkptr == 0) {
    assertion("kvoblk_lookup_value: NULL blkptr", __LINE__);
    return;
  }
  if (!value) {
    assertion("kvoblk_lookup_value: NULL val", __LINE__);
    return;
  }
  if (!live(blkptr, "kvoblk_lookup_attr")) return;
  value_destroy(value);
  switch (number) {
    case DERIV_METHOD:
      give_id(value, deriv_text(kvoblk_inq_deriv_type(blkptr)));
      break;
    case SPARSITY_GEN:
      give_id(value, pat_ini_text(kvoblk_inq_pat_ini_type(blkptr)));
      break;
    case SPARSITY_TYPE:
      give_id(value, pat_type_text(kvoblk_inq_pat_type(blkptr)));
      break;
    case INCLUDED:
      value_assign_logical(value, word(blkptr, W::included));
      break;
    case MOVE:
      value_assign_logical(value, kvoblk_inq_move(blkptr));
      break;
    case MODEL: {
      // Through the dispatcher, so that a model's own inquiry names the model. Zeroed first: an
      // inquiry that sets no model text gives the empty text.
      nux_blk_t info{};
      info.request = 0;
      kvoblk_inq_attr(blkptr, &info);
      give_string(value, text(info.model));
      break;
    }
    case PERT:
      give_real(value, kvoblk_inq_pertsize(blkptr));
      break;
    case NLRATIODEV:
      give_real(value, kvoblk_inq_nlratiodev(blkptr));
      break;
    case NLRATIO:
      give_real(value, kvoblk_inq_nlratio(blkptr));
      break;
    case ZEROTOL:
      give_real(value, kvoblk_inq_zerotol(blkptr));
      break;
    case MOVEAMOUNT:
      give_real(value, kvoblk_inq_moveamount(blkptr));
      break;
    case DIAG_LEVEL:
      give_integer(value, word(blkptr, W::diag_level), 44);
      break;
    case SPARSITY_FILE:
      give_string(value, kvoblk_inq_pat_file(blkptr));
      break;
    default:
      head("kvoblk_lookup_attr");
      kvoprintf(kvHisDev, "bad attribute index (%s : %d)\n", text(blkid(blkptr)), number);
      break;
  }
}

// Assigns `value` to attribute `number` of the block, or reports why not. A null value changes
// nothing and prints nothing.
void assign_attr(int blkptr, int number, const value_t* value) {
  if (!live(blkptr, "kvoblk_assign_attr") || !value) return;
  char* q = qualified_name(blkptr, number);
  const char* qname = q ? q : text(blkid(blkptr));

  if (const int kind = required_kind(number)) {
    value_t converted;
    value_init(&converted);
    value_coerce(value, &converted, kind, 0);
    // A number that gives no level is as unusable for DIAG_LEVEL as a text that is no number.
    if (converted.kind != kind || (number == DIAG_LEVEL && !is_level(converted.u.number))) {
      print_with_value("Type mismatch in assignment: %s = ", qname, value);
    } else {
      apply(blkptr, number, qname, value, converted);
    }
    value_destroy(&converted);
  } else {
    switch (number) {
      case INCLUDED:
        kvoprintf(kvHisDev,
                  "Assignment to %s no longer allowed.\nUse EXCLUDE BLOCK or INCLUDE BLOCK "
                  "instead.\n",
                  qname);
        break;
      case MODEL:
        kvoprintf(kvHisDev, "The %s attribute is read-only: %s\n", "MODEL", qname);
        break;
      case NLRATIO:
      case SPARSITY_FILE:
      case SPARSITY_GEN:
      case SPARSITY_TYPE:
        kvoprintf(kvHisDev, "The model attribute is read-only: %s\n", qname);
        break;
      default:
        kvoprintf(kvHisDev, "!! Unknown attribute number (%d) in kvoblk_assign_attr (%s)\n", number,
                  qname);
        break;
    }
  }
  std::free(q);
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

KVOBLK_API int kvoblk_base_num_attr(int) { return NUM_ATTRS; }

KVOBLK_API const char* kvoblk_base_name_attr(int, int number) {
  return number >= 0 && number < NUM_ATTRS ? kNames[number] : nullptr;
}

KVOBLK_API const nuxblock_attr_desc* kvoblk_base_describe_attr(int, const char* name) {
  const int a = find_attr(name);
  return a < 0 ? nullptr : &kDescs[a];
}

KVOBLK_API bool kvoblk_base_lookup_value(int blkptr, const char* name, value_t* value) {
  if (blkptr == 0) {
    assertion("kvoblk_lookup_value: NULL blkptr", __LINE__);
    return false;
  }
  if (!name) {
    assertion("kvoblk_lookup_value: NULL attrname", __LINE__);
    return false;
  }
  if (!live(blkptr, __func__)) return false;
  const int a = find_attr(name);
  if (a < 0) return false;
  if (value) lookup_attr(blkptr, a, value);
  return true;
}

KVOBLK_API bool kvoblk_base_assign_value(int blkptr, const char* name, const value_t* value) {
  if (blkptr == 0) {
    assertion("kvoblk_assign_value: NULL blkptr", __LINE__);
    return false;
  }
  if (!name) {
    assertion("kvoblk_assign_value: NULL attrname", __LINE__);
    return false;
  }
  if (!live(blkptr, __func__)) return false;
  const int a = find_attr(name);
  if (a < 0) return false;
  assign_attr(blkptr, a, value);
  return true;
}

}  // extern "C"
