// SPDX-License-Identifier: BSD-3-Clause
// The conformance checks every unit model passes: its analytic Jacobian against central
// differences of its residuals, its stated pattern against numeric detection at two points, and
// the same residuals, pattern and Jacobian when the block is placed at non-zero list positions in
// a container with non-zero global offsets. Run with the fixture's moving workspace, so a model
// that keeps a pointer into the workspace across a call fails too.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kvotest {

struct ModelCase {
  std::string name;
  // Makes a fresh block of the model (any id); 0 when it cannot.
  std::function<int()> create;
};

// What one placement of a model gives, in block-local terms.
struct ModelSample {
  int nvar = 0, neqn = 0;
  std::vector<std::pair<int, int>> stated;    // (equation, variable) from selfpat, sorted
  std::vector<std::pair<int, int>> detected;  // union of detection at the two points, sorted
  std::vector<double> residuals;              // at the second point
  std::vector<double> jacobian;               // analytic, dense neqn x nvar, at the second point
  double worst_jacobian_error = 0.0;          // analytic against central differences, relative
  std::string where_worst;                    // "equation e, variable v" of that error
  int nnz_dimensioned = 0;                    // what kvoblk_dim reserved
  double worst_method_difference = 0.0;       // other methods against the analytic values
  int worst_method = 0;
};

// Places a block of the model at the given list positions in a container with the given global
// offsets and samples it. Positions before the block hold other items. False (with a gtest
// failure) when the block cannot be made, dimensioned or placed.
bool sample_model(const ModelCase& model, int vstart, int estart, int nzstart, int offset,
                  ModelSample* out);

// Runs every check on one model (gtest expectations, each naming the model).
void check_model_conformance(const ModelCase& model);

}  // namespace kvotest
