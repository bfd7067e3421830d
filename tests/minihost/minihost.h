// SPDX-License-Identifier: BSD-3-Clause
// The minimal test host's own set-up call, beside the host interface it implements.
#pragma once

#include <kvoblk/host/nux_framework.h>

namespace minihost {

// Makes the flowsheet's lists (handle 1 each) with room for nvar variables, neqn equations and
// nnz non-zeros, all values 0.
__attribute__((visibility("default"))) void make_lists(int nvar, int neqn, int nnz);

// How often an entry call asked a Jacobian or pattern object for an entry it does not hold.
__attribute__((visibility("default"))) int entries_outside();

// A container that hands out list handle 1 and global offsets 0.
class Container : public NUXBlockCallback {
 public:
  bool isof_type(const char*) const override { return true; }
  int run_script(NUXEOBlock*, kvopipe*, EBSContext*, int, const value_t*) override { return 0; }
  void port_removed(nux_port*) override {}
  int varlst() override { return 1; }
  int eqnlst() override { return 1; }
  int jacobian() override { return 1; }
  int global_var_offset() override { return 0; }
  int global_eqn_offset() override { return 0; }
  int global_jac_offset() override { return 0; }
  void pre_structural_edit(NUXEOBlock*, int, int, int) override {}
  void post_structural_edit(NUXEOBlock*, int, int, int) override {}
  NUXEOCntr* containing_container(const NUXEOCntr&) override { return nullptr; }
  void ports_changed() override {}
};

}  // namespace minihost
