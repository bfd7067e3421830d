// SPDX-License-Identifier: BSD-3-Clause
// Drawings of a flowsheet run as SVG: the Jacobian's sparsity pattern with each block's slice in
// its own colour, one block's pattern with its column groups coloured, and the convergence
// history. Each file is written whole to a temporary name and then renamed over the old one.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kvoflow {

// A non-zero: equation and variable, 1-based positions of the drawing's rows and columns.
using Cell = std::pair<int, int>;

struct SpySlice {
  std::string id;  // block id
  int first_row = 1, last_row = 0;
  int first_col = 1, last_col = 0;
};

struct SpyPlot {
  std::string title;
  int rows = 0, cols = 0;
  std::vector<Cell> cells;
  std::vector<SpySlice> blocks;      // each block's rows and columns
  std::vector<int> connection_rows;  // rows that are connection equations
  std::vector<int> fixed_cols;       // columns of fixed variables (drawn pale)
};

struct GroupPlot {
  std::string title;
  int rows = 0, cols = 0;
  std::vector<Cell> cells;        // block-local
  std::vector<int> group_of_col;  // 1-based group of each column (index 0 = column 1)
  std::vector<std::string> col_names;
};

struct Series {
  std::string label;
  std::vector<double> values;  // one per Newton step, from step 0
};

struct HistoryPlot {
  std::string title;
  std::string y_label;
  double tolerance = 0.0;  // drawn as a dashed line when > 0
  std::vector<Series> series;
};

std::string spy_svg(const SpyPlot& plot);
std::string groups_svg(const GroupPlot& plot);
std::string history_svg(const HistoryPlot& plot);

// Writes `text` to `path`, replacing a file there only once the new one is complete and on the
// medium; the new file keeps the old one's permissions.
bool write_file(const std::string& path, const std::string& text, std::string* why);

}  // namespace kvoflow
