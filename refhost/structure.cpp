// SPDX-License-Identifier: BSD-3-Clause
// Structural analysis of the flowsheet's system: which equations and variables make the
// Jacobian's pattern singular, by a maximum matching (BTF's maximum transversal) and alternating
// paths from the unmatched equations and variables.
#include <btf.h>

#include <algorithm>
#include <vector>

#include "kvorefhost.h"
#include "system.h"

namespace kvoref {

StructuralReport structural_singularity(const Lists& lists) {
  StructuralReport rep;
  const detail::System s = detail::build_system(lists);
  const int nrow = static_cast<int>(s.eqn_of_row.size());
  const int ncol = static_cast<int>(s.var_of_col.size());
  rep.equations = nrow;
  rep.unknowns = ncol;
  if (nrow == 0 || ncol == 0) return rep;

  // Column form of the pattern, and its row form for the walks from unmatched rows.
  std::vector<int> Ap = s.Ap, Ai = s.Ai;
  std::vector<int> match(nrow, -1), work(5 * static_cast<size_t>(ncol));
  double done = 0.0;
  rep.matched =
      btf_maxtrans(nrow, ncol, Ap.data(), Ai.data(), 0.0, &done, match.data(), work.data());
  std::vector<int> row_of_col(ncol, -1);
  for (int i = 0; i < nrow; ++i)
    if (match[i] >= 0) row_of_col[match[i]] = i;
  std::vector<std::vector<int>> cols_of_row(nrow);
  for (int j = 0; j < ncol; ++j)
    for (int p = Ap[j]; p < Ap[j + 1]; ++p) cols_of_row[Ai[p]].push_back(j);

  // Over-determined part: from every unmatched row, its columns, then the rows matched to them.
  std::vector<char> row_seen(nrow, 0), col_seen(ncol, 0);
  std::vector<int> stack;
  for (int i = 0; i < nrow; ++i)
    if (match[i] < 0) {
      row_seen[i] = 1;
      stack.push_back(i);
    }
  while (!stack.empty()) {
    const int i = stack.back();
    stack.pop_back();
    for (int j : cols_of_row[i]) {
      if (col_seen[j]) continue;
      col_seen[j] = 1;
      const int r = row_of_col[j];
      if (r >= 0 && !row_seen[r]) {
        row_seen[r] = 1;
        stack.push_back(r);
      }
    }
  }
  for (int i = 0; i < nrow; ++i)
    if (row_seen[i]) rep.over_eqns.push_back(s.eqn_of_row[i]);
  for (int j = 0; j < ncol; ++j)
    if (col_seen[j]) rep.over_vars.push_back(s.var_of_col[j]);

  // Under-determined part: from every unmatched column, its rows, then the columns matched to
  // them.
  std::fill(row_seen.begin(), row_seen.end(), 0);
  std::fill(col_seen.begin(), col_seen.end(), 0);
  for (int j = 0; j < ncol; ++j)
    if (row_of_col[j] < 0) {
      col_seen[j] = 1;
      stack.push_back(j);
    }
  while (!stack.empty()) {
    const int j = stack.back();
    stack.pop_back();
    for (int p = Ap[j]; p < Ap[j + 1]; ++p) {
      const int i = Ai[p];
      if (row_seen[i]) continue;
      row_seen[i] = 1;
      const int c = match[i];
      if (c >= 0 && !col_seen[c]) {
        col_seen[c] = 1;
        stack.push_back(c);
      }
    }
  }
  for (int i = 0; i < nrow; ++i)
    if (row_seen[i]) rep.under_eqns.push_back(s.eqn_of_row[i]);
  for (int j = 0; j < ncol; ++j)
    if (col_seen[j]) rep.under_vars.push_back(s.var_of_col[j]);
  std::sort(rep.over_eqns.begin(), rep.over_eqns.end());
  std::sort(rep.over_vars.begin(), rep.over_vars.end());
  std::sort(rep.under_eqns.begin(), rep.under_eqns.end());
  std::sort(rep.under_vars.begin(), rep.under_vars.end());
  return rep;
}

}  // namespace kvoref
