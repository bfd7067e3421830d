// SPDX-License-Identifier: BSD-3-Clause
// Port naming service, the structure editor's object-name check and the blank-fill utility.
#include <cstring>

#include "kvorefhost.h"

namespace {

struct PhaseEntry {
  int code;
  const char* name;
};
const PhaseEntry kPhases[] = {
    {0, "UNDEFINED"}, {1, "VAPOR"}, {2, "LIQUID"}, {3, "MIXED"}, {4, "SOLID"},
};

struct TypeEntry {
  const char* name;
  int type;
  int basis;
};
const TypeEntry kTypes[] = {
    {"MOLE_FLOW", 1, 1},
    {"MASS_FLOW", 1, 2},
    {"HEAT", 2, 0},
    {"WORK", 3, 0},
};

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

extern "C" {

INUXPortMaterial::nux_port_phase nuxLookupPortPhase(const char* name) {
  if (!name) return 0;
  for (const PhaseEntry& p : kPhases) {
    if (std::strcmp(p.name, name) == 0) return p.code;
  }
  return 0;
}

bool nuxLookupPortType(const char* name, int* type, INUXPortMaterial::nux_port_basis* basis) {
  if (!name) return false;
  for (const TypeEntry& t : kTypes) {
    if (std::strcmp(t.name, name) == 0) {
      if (type) *type = t.type;
      if (basis) *basis = t.basis;
      return true;
    }
  }
  return false;
}

const char* nuxPortPhaseName(INUXPortMaterial::nux_port_phase phase) {
  for (const PhaseEntry& p : kPhases) {
    if (p.code == phase) return p.name;
  }
  return kPhases[0].name;
}

const char* nuxPortTypeName(int type, INUXPortMaterial::nux_port_basis basis) {
  for (const TypeEntry& t : kTypes) {
    if (t.type == type && t.basis == basis) return t.name;
  }
  return nullptr;
}

int stred_kvopt_object(const char* name) {
  if (!name || !is_letter(name[0])) return 0;
  for (const char* p = name + 1; *p; ++p) {
    if (!is_letter(*p) && !is_digit(*p) && *p != '_') return 0;
  }
  return 1;
}

void IU_CLRSTR(char* text, int length) {
  if (text && length > 0) std::memset(text, ' ', static_cast<size_t>(length));
}

}  // extern "C"
