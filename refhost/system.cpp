// SPDX-License-Identifier: BSD-3-Clause
// The sparse system of a flowsheet's lists, as the solver and the structural analysis see it.
#include "system.h"

#include <map>
#include <utility>

namespace kvoref {
namespace detail {

namespace {
bool defined_var(int varlst, int p) { return kvovarlst_lookup_var_name(varlst, p)[0] != '\0'; }
}  // namespace

System build_system(const Lists& l) {
  System s;
  const int nvar = kvovarlst_inq_nvar(l.varlst);
  s.col_of_var.assign(nvar + 1, -1);
  for (int p = 1; p <= nvar; ++p) {
    const int st = kvovarlst_inq_var_status(l.varlst, p);
    if (defined_var(l.varlst, p) && !(st & VAR_FIXED) && !(st & VAR_EXCLUDED)) {
      s.col_of_var[p] = static_cast<int>(s.var_of_col.size());
      s.var_of_col.push_back(p);
    }
  }
  const int neqn = kvoeqnlst_inq_neqn(l.eqnlst);
  s.row_of_eqn.assign(neqn + 1, -1);
  for (int e = 1; e <= neqn; ++e) {
    if (kvoeqnlst_lookup_eqn_name(l.eqnlst, e)[0] != '\0' &&
        u3rinc_c(kvoeqnlst_inq_eqn_status(l.eqnlst, e))) {
      s.row_of_eqn[e] = static_cast<int>(s.eqn_of_row.size());
      s.eqn_of_row.push_back(e);
    }
  }
  // Collect (column, row) pairs; duplicates of one position share a slot and are summed.
  const int nnz = kvojac_inq_nnz(l.jac);
  s.slot_of_nz.assign(nnz, -1);
  std::map<std::pair<int, int>, std::vector<int>> cells;
  for (int k = 1; k <= nnz; ++k) {
    const int e = kvojac_inq_nz_eqnnum(l.jac, k), v = kvojac_inq_nz_varnum(l.jac, k);
    if (e < 1 || e > neqn || v < 1 || v > nvar) continue;
    if (s.row_of_eqn[e] < 0 || s.col_of_var[v] < 0) continue;
    cells[{s.col_of_var[v], s.row_of_eqn[e]}].push_back(k - 1);
  }
  const int n = static_cast<int>(s.var_of_col.size());
  s.Ap.assign(n + 1, 0);
  for (const auto& c : cells) {
    const int slot = static_cast<int>(s.Ai.size());
    s.Ai.push_back(c.first.second);
    ++s.Ap[c.first.first + 1];
    for (int k : c.second) s.slot_of_nz[k] = slot;
  }
  for (int j = 0; j < n; ++j) s.Ap[j + 1] += s.Ap[j];
  return s;
}

}  // namespace detail
}  // namespace kvoref
