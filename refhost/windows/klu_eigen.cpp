// SPDX-License-Identifier: BSD-3-Clause
// KLU's and BTF's calls as the reference host uses them, carried out by Eigen: SparseLU with a
// COLAMD ordering for the factorisations, and augmenting paths for the maximum transversal.
#include <Eigen/SparseCore>
#include <Eigen/SparseLU>

#include <algorithm>
#include <vector>

#include "btf.h"
#include "klu.h"

using Matrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

struct klu_symbolic {
  int n = 0;
  std::vector<int> Ap, Ai;
};

struct klu_numeric {
  Eigen::SparseLU<Matrix, Eigen::COLAMDOrdering<int>> lu;
  double rcond = 0.0;
};

namespace {

// Factors the matrix (Ap, Ai, Ax) of the analysed pattern into `num`. Every factorisation picks
// its pivots afresh, so a refactorisation never keeps a pivot order that went bad; the condition
// estimate that guards KLU's refactorisation is therefore reported as 1 after any success.
bool factor(const int* Ap, const int* Ai, const double* Ax, const klu_symbolic& sym,
            klu_numeric* num) {
  std::vector<Eigen::Triplet<double, int>> entries;
  for (int j = 0; j < sym.n; ++j)
    for (int p = Ap[j]; p < Ap[j + 1]; ++p) entries.emplace_back(Ai[p], j, Ax[p]);
  Matrix a(sym.n, sym.n);
  a.setFromTriplets(entries.begin(), entries.end());
  a.makeCompressed();
  num->lu.compute(a);
  num->rcond = num->lu.info() == Eigen::Success ? 1.0 : 0.0;
  return num->rcond > 0.0;
}

}  // namespace

int klu_defaults(klu_common* common) {
  if (!common) return 0;
  *common = klu_common{};
  return 1;
}

klu_symbolic* klu_analyze(int n, int* Ap, int* Ai, klu_common* common) {
  if (!common) return nullptr;
  if (n <= 0 || !Ap || !Ai) {
    common->status = KLU_INVALID;
    return nullptr;
  }
  auto* sym = new klu_symbolic;
  sym->n = n;
  sym->Ap.assign(Ap, Ap + n + 1);
  sym->Ai.assign(Ai, Ai + Ap[n]);
  common->status = KLU_OK;
  return sym;
}

klu_numeric* klu_factor(int* Ap, int* Ai, double* Ax, klu_symbolic* symbolic, klu_common* common) {
  if (!common) return nullptr;
  if (!symbolic || !Ap || !Ai || !Ax) {
    common->status = KLU_INVALID;
    return nullptr;
  }
  auto* num = new klu_numeric;
  if (!factor(Ap, Ai, Ax, *symbolic, num)) {
    delete num;
    common->status = KLU_SINGULAR;
    return nullptr;
  }
  common->status = KLU_OK;
  return num;
}

int klu_refactor(int* Ap, int* Ai, double* Ax, klu_symbolic* symbolic, klu_numeric* numeric,
                 klu_common* common) {
  if (!common) return 0;
  if (!symbolic || !numeric || !Ap || !Ai || !Ax) {
    common->status = KLU_INVALID;
    return 0;
  }
  const bool ok = factor(Ap, Ai, Ax, *symbolic, numeric);
  common->status = ok ? KLU_OK : KLU_SINGULAR;
  return ok ? 1 : 0;
}

int klu_rcond(klu_symbolic* symbolic, klu_numeric* numeric, klu_common* common) {
  if (!common) return 0;
  if (!symbolic || !numeric) {
    common->status = KLU_INVALID;
    return 0;
  }
  common->rcond = numeric->rcond;
  return 1;
}

int klu_solve(klu_symbolic* symbolic, klu_numeric* numeric, int ldim, int nrhs, double* B,
              klu_common* common) {
  if (!common) return 0;
  if (!symbolic || !numeric || !B || ldim < symbolic->n || nrhs < 0) {
    common->status = KLU_INVALID;
    return 0;
  }
  for (int r = 0; r < nrhs; ++r) {
    Eigen::Map<Eigen::VectorXd> b(B + static_cast<long long>(r) * ldim, symbolic->n);
    Eigen::VectorXd x = numeric->lu.solve(b);
    if (numeric->lu.info() != Eigen::Success) {
      common->status = KLU_SINGULAR;
      return 0;
    }
    b = x;
  }
  common->status = KLU_OK;
  return 1;
}

int klu_free_symbolic(klu_symbolic** symbolic, klu_common* common) {
  if (!common) return 0;
  if (symbolic) {
    delete *symbolic;
    *symbolic = nullptr;
  }
  return 1;
}

int klu_free_numeric(klu_numeric** numeric, klu_common* common) {
  if (!common) return 0;
  if (numeric) {
    delete *numeric;
    *numeric = nullptr;
  }
  return 1;
}

int btf_maxtrans(int nrow, int ncol, int* Ap, int* Ai, double, double*, int* match, int*) {
  if (nrow <= 0 || ncol < 0 || !Ap || !Ai || !match) return 0;
  std::vector<std::vector<int>> cols_of_row(nrow);
  for (int j = 0; j < ncol; ++j)
    for (int p = Ap[j]; p < Ap[j + 1]; ++p)
      if (Ai[p] >= 0 && Ai[p] < nrow) cols_of_row[Ai[p]].push_back(j);
  std::vector<int> row_of_col(ncol, -1);
  std::fill(match, match + nrow, -1);
  // One augmenting path from each row, searched depth-first without recursion; a column is
  // visited at most once per search.
  std::vector<int> stamp(ncol, -1), path_col, next_edge;
  std::vector<int> path_row;
  int matched = 0;
  for (int start = 0; start < nrow; ++start) {
    path_row.assign(1, start);
    path_col.clear();
    next_edge.assign(1, 0);
    bool found = false;
    while (!path_row.empty() && !found) {
      const int i = path_row.back();
      int& e = next_edge.back();
      if (e == static_cast<int>(cols_of_row[i].size())) {
        path_row.pop_back();
        next_edge.pop_back();
        if (!path_col.empty()) path_col.pop_back();
        continue;
      }
      const int j = cols_of_row[i][e++];
      if (stamp[j] == start) continue;
      stamp[j] = start;
      path_col.push_back(j);
      if (row_of_col[j] < 0) {
        found = true;
      } else {
        path_row.push_back(row_of_col[j]);
        next_edge.push_back(0);
      }
    }
    if (!found) continue;
    // Flip the path: row k takes column k of the path.
    for (size_t k = 0; k < path_row.size(); ++k) {
      match[path_row[k]] = path_col[k];
      row_of_col[path_col[k]] = path_row[k];
    }
    ++matched;
  }
  return matched;
}
