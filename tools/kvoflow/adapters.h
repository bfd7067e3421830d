// SPDX-License-Identifier: BSD-3-Clause
// The built-in unit models as the runner offers them: each model's name, its parameters with
// their meaning and range, and a creation function over the model library in examples/models.
#pragma once

#include <string>
#include <vector>

#include "models.h"

namespace kvoflow {

struct BuiltinModel {
  std::string name;
  std::string summary;
  std::vector<ParamSpec> params;
  CreateFn create;
};

const std::vector<BuiltinModel>& builtin_models();

}  // namespace kvoflow
