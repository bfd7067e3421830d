// SPDX-License-Identifier: BSD-3-Clause
// Sparsity patterns generated with fixed seeds: block-local (row, column) pairs counted from 1,
// grouped by row. The grouping and Jacobian benchmarks' set, and the grouping tests' patterns.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace patgen {

struct Pattern {
  std::string name;
  int nvar = 0, neq = 0;
  std::vector<int> rows, cols;
  int nnz() const { return static_cast<int>(rows.size()); }
  void add(int r, int c) {
    rows.push_back(r);
    cols.push_back(c);
  }
  // The largest number of distinct columns in one row: no grouping has fewer groups.
  int lower_bound() const {
    std::vector<int> count(neq + 1, 0);
    // Rows are generated without repeated columns, so counting entries is enough.
    for (int r : rows) ++count[r];
    return *std::max_element(count.begin(), count.end());
  }
};

inline Pattern banded(const std::string& name, int n, int half) {
  Pattern p;
  p.name = name;
  p.nvar = p.neq = n;
  for (int i = 1; i <= n; ++i)
    for (int j = std::max(1, i - half); j <= std::min(n, i + half); ++j) p.add(i, j);
  return p;
}

inline Pattern tridiagonal(int n) { return banded("tridiagonal n=" + std::to_string(n), n, 1); }

// Bandwidth 7: the diagonal and three on each side.
inline Pattern band7(int n) { return banded("banded bw 7 n=" + std::to_string(n), n, 3); }

inline Pattern block_tridiagonal(int nblocks, int size) {
  Pattern p;
  p.name = "block tridiagonal " + std::to_string(size) + "x" + std::to_string(size) + " " +
           std::to_string(nblocks) + " blocks";
  p.nvar = p.neq = nblocks * size;
  for (int b = 0; b < nblocks; ++b)
    for (int r = 0; r < size; ++r)
      for (int bc = std::max(0, b - 1); bc <= std::min(nblocks - 1, b + 1); ++bc)
        for (int k = 0; k < size; ++k) p.add(b * size + r + 1, bc * size + k + 1);
  return p;
}

// 5-point Laplacian on an m x m grid.
inline Pattern laplacian2d(int m) {
  Pattern p;
  p.name = "5-point Laplacian " + std::to_string(m) + "x" + std::to_string(m);
  p.nvar = p.neq = m * m;
  const int di[] = {-1, 0, 0, 0, 1}, dj[] = {0, -1, 0, 1, 0};
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j)
      for (int d = 0; d < 5; ++d) {
        const int a = i + di[d], b = j + dj[d];
        if (a >= 0 && a < m && b >= 0 && b < m) p.add(i * m + j + 1, a * m + b + 1);
      }
  return p;
}

// 7-point Laplacian on an m x m x m grid.
inline Pattern laplacian3d(int m) {
  Pattern p;
  p.name = "7-point Laplacian " + std::to_string(m) + "^3";
  p.nvar = p.neq = m * m * m;
  const int d[7][3] = {{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}, {0, 0, 0},
                       {0, 0, 1},  {0, 1, 0},  {1, 0, 0}};
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j)
      for (int k = 0; k < m; ++k)
        for (const auto& s : d) {
          const int a = i + s[0], b = j + s[1], c = k + s[2];
          if (a >= 0 && a < m && b >= 0 && b < m && c >= 0 && c < m)
            p.add((i * m + j) * m + k + 1, (a * m + b) * m + c + 1);
        }
  return p;
}

// The diagonal and four other distinct random columns per row.
inline Pattern random5(int n, uint32_t seed) {
  Pattern p;
  p.name = "random 5 per row n=" + std::to_string(n);
  p.nvar = p.neq = n;
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> pick(1, n);
  int row[5];
  for (int i = 1; i <= n; ++i) {
    int len = 0;
    row[len++] = i;
    while (len < 5) {
      const int c = pick(gen);
      if (std::find(row, row + len, c) == row + len) row[len++] = c;
    }
    std::sort(row, row + len);
    for (int k = 0; k < len; ++k) p.add(i, row[k]);
  }
  return p;
}

// Arrowhead: the first row and the first column full, and the diagonal.
inline Pattern arrowhead(int n) {
  Pattern p;
  p.name = "arrowhead n=" + std::to_string(n);
  p.nvar = p.neq = n;
  for (int j = 1; j <= n; ++j) p.add(1, j);
  for (int i = 2; i <= n; ++i) {
    p.add(i, 1);
    p.add(i, i);
  }
  return p;
}

// A staged column: per stage the compositions of `ncomp` components and the temperature; each
// of the stage's ncomp + 1 equations couples to all compositions of its own and its
// neighbouring stages and to its own temperature.
inline Pattern staged_column(int nstages, int ncomp) {
  Pattern p;
  p.name = "staged column " + std::to_string(nstages) + " stages x " + std::to_string(ncomp);
  const int per = ncomp + 1;
  p.nvar = p.neq = nstages * per;
  std::vector<int> row;
  for (int s = 0; s < nstages; ++s)
    for (int e = 0; e < per; ++e) {
      row.clear();
      for (int t = std::max(0, s - 1); t <= std::min(nstages - 1, s + 1); ++t)
        for (int c = 0; c < ncomp; ++c) row.push_back(t * per + c + 1);
      row.push_back(s * per + ncomp + 1);
      std::sort(row.begin(), row.end());
      for (int c : row) p.add(s * per + e + 1, c);
    }
  return p;
}

}  // namespace patgen
