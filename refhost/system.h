// SPDX-License-Identifier: BSD-3-Clause
// The sparse system the reference host's solver works on: which list positions take part and
// where each non-zero of the global Jacobian lands in the compressed-column matrix. Internal to
// the reference host.
#pragma once

#include <vector>

#include "kvorefhost.h"

namespace kvoref {
namespace detail {

struct System {
  std::vector<int> var_of_col;  // list position of each unknown
  std::vector<int> eqn_of_row;  // list position of each equation
  std::vector<int> col_of_var;  // per list position (index p): its column, or -1
  std::vector<int> row_of_eqn;  // per list position: its row, or -1
  std::vector<int> Ap, Ai;      // compressed columns
  std::vector<int> slot_of_nz;  // per Jacobian entry: its value slot, or -1
};

// Unknowns: defined, not fixed, not excluded variables. Equations: defined, active ones.
// Duplicate entries of one position share a slot.
System build_system(const Lists& lists);

}  // namespace detail
}  // namespace kvoref
