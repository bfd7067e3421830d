// SPDX-License-Identifier: BSD-3-Clause
// Port attributes: PHASE, SPEC, TYPE and STREAM of a block's ports by name and by number, the
// SPEC attribute spread over the port's variables, and the iteration over a port's variables.
#include <kvoblk/kvoport.h>

#include <cstring>

#include "kvblk_internal.h"

using namespace kvoblk::detail;

// Declared with default visibility in the header.
extern "C" {
const char* const kvoblk_port_attr_names[4] = {"PHASE", "SPEC", "TYPE", "STREAM"};
}

namespace {

enum PortAttr : int { kPhase = 0, kSpec = 1, kType = 2, kStream = 3, kNumAttrs = 4 };

// The attribute number of an exact, case-sensitive name, or -1.
int attr_number(const char* name) {
  if (!name) return -1;
  for (int attr = 0; attr < kNumAttrs; ++attr)
    if (std::strcmp(name, kvoblk_port_attr_names[attr]) == 0) return attr;
  return -1;
}

// ---- SPEC of the port's variables ----------------------------------------------------------
// The variable list service writes a name of at most 139 characters and its terminator into a
// 140-character buffer. The buffer has room for the suffix behind the longest such name, so
// ".SPEC" can be appended to whatever the service wrote.
constexpr int kVarName = 140;
constexpr char kSpecSuffix[] = ".SPEC";

struct SpecName {
  char text[kVarName + sizeof kSpecSuffix - 1];
};

void spec_name(int varlst, int var, SpecName* name) {
  std::memset(name->text, 0, sizeof name->text);
  kvovarlst_inq_var_name(varlst, var, name->text);
  name->text[kVarName - 1] = '\0';  // a name the service left unterminated is cut here
  const size_t n = std::strlen(name->text);
  std::memcpy(name->text + n, kSpecSuffix, sizeof kSpecSuffix);
}

// Assignment: every variable receives the value; the iteration always goes on.
int assign_spec(int varlst, int var, void* user) {
  SpecName name;
  spec_name(varlst, var, &name);
  kvovarlst_assign_value(varlst, name.text, static_cast<const value_t*>(user));
  return 0;
}

// Lookup: the first variable's SPEC goes straight into the value; every later variable must
// carry the same identifier, else the value is emptied and the iteration stops.
struct SpecLookup {
  value_t* value;
  bool first;
};

bool same_identifier(const value_t& a, const value_t& b) {
  return a.kind == VALUE_IDENTIFIER && b.kind == VALUE_IDENTIFIER &&
         std::strcmp(text(a.u.text), text(b.u.text)) == 0;
}

int lookup_spec(int varlst, int var, void* user) {
  auto* look = static_cast<SpecLookup*>(user);
  SpecName name;
  spec_name(varlst, var, &name);
  if (look->first) {
    look->first = false;
    kvovarlst_lookup_value(varlst, name.text, look->value);
    return look->value->kind == VALUE_IDENTIFIER ? 0 : 1;
  }
  value_t scratch;
  value_init(&scratch);
  kvovarlst_lookup_value(varlst, name.text, &scratch);
  const bool same = same_identifier(scratch, *look->value);
  value_destroy(&scratch);
  if (same) return 0;
  value_destroy(look->value);
  return 1;
}

// The value becomes an identifier holding a fresh copy of the text; when no copy can be made
// it stays empty rather than holding a text it does not own.
void give_identifier(value_t* value, const char* s) {
  char* copy = copy_text(text(s));
  if (copy) value_assign_id(value, copy);
}

void iterate(int blkptr, nux_port* port, kvoblk_port_visitor_t visitor, void* user) {
  // A block made at the handle meanwhile is another one: its serial tells.
  const uint64_t serial = facts(blkptr)->serial;
  NUXBlockCallback* cntr = container(blkptr);
  if (!cntr) return;
  const int varlst = cntr->varlst();
  if (varlst == 0) {
    kvoprintf(kvHisDev, "Block %s does not have a variable list\n", id_text(blkptr));
    return;
  }
  // The container's answer is its code too, and may have replaced the block.
  if (!same_serial(blkptr, serial)) return;
  // The visitor may delete the port or destroy the block that holds it (this one or another),
  // and that block's ports with it: the walk then ends rather than read a port that is gone.
  // Which block holds the port is asked of the record of holders, which answers at once, not by
  // searching a port array before every variable: walking every port of a block then takes time
  // in proportion to their variables, not to their number squared.
  // The port's own count and variables are host code as well, and are checked the same way
  // before a port or a block they may have taken away is read or visited.
  const int holder = port_holder(port);
  auto still_there = [&] {
    return same_serial(blkptr, serial) && (holder == 0 || port_holder(port) == holder);
  };
  const int n = port->num_vars();
  for (int i = 0; i < n && still_there(); ++i) {
    const int var = port->var(i);
    if (var == 0) continue;
    if (!still_there() || visitor(varlst, var, user) != 0) return;
  }
}

// `conv` is the caller's, initialised and destroyed by it.
void assign_attr(int blkptr, nux_port* port, int number, const value_t* value, value_t* conv) {
  const int kind = number == kStream ? VALUE_STRING : VALUE_IDENTIFIER;
  // The kind the converted value holds decides, not what the conversion answers.
  if (value) value_coerce(value, conv, kind, 0);
  if (!value || conv->kind != kind) {
    kvoprintf(kvHisDev, "Wrong type value assigned to port attribute '%s.%s.STR.%s' ",
              id_text(blkptr), text(port->name()), kvoblk_port_attr_names[number]);
    if (value) value_print(kvHisDev, value);
    kvoprintf(kvHisDev, "\n");
    return;
  }
  const char* given = text(conv->u.text);
  INUXPortMaterial* material = port->material();
  switch (number) {
    case kPhase:
      if (material) material->set_phase(nuxLookupPortPhase(given));
      break;
    case kSpec:
      // The variables receive the value as given: the variable list decides what it accepts.
      kvoblk_port_iterate(blkptr, port, assign_spec, const_cast<value_t*>(value));
      break;
    case kType: {
      int type = 0;
      INUXPortMaterial::nux_port_basis basis = 0;
      if (nuxLookupPortType(given, &type, &basis)) {
        port->set_type(type);
        if (material) material->set_basis(basis);
      } else {
        kvoprintf(kvHisDev, "Unknown port type %s assigned to port %s.\n", given,
                  text(port->name()));
      }
      break;
    }
    case kStream:
      // A port without a material has no stream to set: as read-only as a fixed one.
      if (!material || !material->set_stream(given)) {
        kvoprintf(kvHisDev, "The STREAM attribute of port %s in block %s is read-only\n",
                  text(port->name()), id_text(blkptr));
      }
      break;
    default:
      break;
  }
}

void lookup_attr(int blkptr, nux_port* port, int number, value_t* value) {
  INUXPortMaterial* material = port->material();
  switch (number) {
    case kPhase:
      if (material) {
        const char* name = nuxPortPhaseName(material->phase());
        if (name) give_identifier(value, name);
      }
      break;
    case kSpec: {
      // The walk's exceptions go on to the caller, which empties the value: a walk cut short
      // has not compared every variable, so what the first one gave is not the port's SPEC.
      SpecLookup look{value, true};
      iterate(blkptr, port, lookup_spec, &look);
      break;
    }
    case kType:
      if (material) {
        const char* name = nuxPortTypeName(port->type(), material->basis());
        if (name) give_identifier(value, name);
      }
      break;
    case kStream:
      give_identifier(value, material ? material->stream() : nullptr);
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" {

// The port's own operations, its material and the port naming service are host code, and the
// visitor is the caller's: an exception must not reach a C or Fortran caller. It ends the call
// with a message.
KVOBLK_API void kvoblk_port_iterate(int blkptr, nux_port* port, kvoblk_port_visitor_t visitor,
                                    void* user) {
  if (!port || !visitor || !live(blkptr, __func__)) return;
  try {
    iterate(blkptr, port, visitor, user);
  } catch (...) {
    report_exception(__func__, blkptr);
  }
}

KVOBLK_API void kvoblk_port_assign_attr(int blkptr, nux_port* port, int number,
                                        const value_t* value) {
  if (!port || !live(blkptr, __func__)) return;
  if (number < 0 || number >= kNumAttrs) {
    kvoprintf(kvHisDev, "Unexpected attribute index in kvoblk_port_assign_attr\n");
    return;
  }
  value_t conv;
  value_init(&conv);
  try {
    assign_attr(blkptr, port, number, value, &conv);
  } catch (...) {
    report_exception(__func__, blkptr);
  }
  value_destroy(&conv);
}

// A look-up that ends with an exception leaves the value empty.
KVOBLK_API void kvoblk_port_lookup_attr(int blkptr, nux_port* port, int number, value_t* value) {
  if (!value) return;
  value_destroy(value);
  if (!port || number < 0 || number >= kNumAttrs || !live(blkptr, __func__)) return;
  try {
    lookup_attr(blkptr, port, number, value);
  } catch (...) {
    value_destroy(value);
    report_exception(__func__, blkptr);
  }
}

KVOBLK_API void kvoblk_port_assign_value(int blkptr, const char* port, const char* attr,
                                         const value_t* value) {
  if (!live(blkptr, __func__)) return;
  const uint64_t serial = serial_of(blkptr);
  nux_port* p = port ? kvoblk_get_port(blkptr, port) : nullptr;
  // The look-up may be the model's routine, which may have destroyed the block, and made another
  // at its handle: the assignment ends there, and the port found is not the other block's.
  if (!same_serial(blkptr, serial)) return;
  if (!p) {
    kvoprintf(kvHisDev, "Assignment to unknown port '%s'\n", text(port));
    return;
  }
  const int number = attr_number(attr);
  if (number < 0) {
    kvoprintf(kvHisDev, "Assignment to unknown port attribute '%s'\n", text(attr));
    return;
  }
  kvoblk_port_assign_attr(blkptr, p, number, value);
}

KVOBLK_API bool kvoblk_port_lookup_value(int blkptr, const char* port, const char* attr,
                                         value_t* value) {
  // The names are read before the value is emptied: a caller may name the port or the
  // attribute by the text of the very value it wants filled.
  const int number = attr_number(attr);
  const uint64_t serial = live(blkptr, __func__) ? serial_of(blkptr) : 0;
  nux_port* p = serial != 0 && port ? kvoblk_get_port(blkptr, port) : nullptr;
  // The look-up may be the model's routine, which may have destroyed the block, and made another
  // at its handle: it then has no port to look up.
  const bool found = p && number >= 0 && same_serial(blkptr, serial);
  if (value) value_destroy(value);
  if (!found) return false;
  if (value) kvoblk_port_lookup_attr(blkptr, p, number, value);
  return true;
}

KVOBLK_API int kvoport_create() { return 0; }

KVOBLK_API void kvoport_add_range() {}

}  // extern "C"
