// SPDX-License-Identifier: BSD-3-Clause
// The models a flowsheet file can name: the built-in library and the plug-ins the file lists.
// Each model creates a block with its ports from a block's table of the file.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "flowfile.h"

namespace kvoflow {

struct ParamSpec {
  std::string name;
  Value::Kind kind;  // INTEGER also accepts nothing but whole numbers; REAL accepts both
  bool required;
  std::string meaning;  // with the unit, for the messages and the README
  double lo, hi;        // accepted range of a number
};

// Creates a block of the model for `spec` (parameters already checked against `params` for a
// built-in model); answers the handle, or 0 with a sentence in *why.
using CreateFn = std::function<int(const BlockSpec& spec, std::string* why)>;

struct ModelDef {
  std::string name;
  std::string summary;
  std::string plugin;             // the shared object, for a plug-in model
  std::vector<ParamSpec> params;  // empty for a plug-in, which checks its own
  CreateFn create;
};

class Catalogue {
 public:
  Catalogue();
  ~Catalogue();
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;

  // Opens every plug-in the file lists and finds its entry point; errors at the plug-in's line.
  // A path with a folder in it is taken from the flowsheet file's folder; a bare file name is
  // looked for in each of `dirs`, then in the flowsheet file's folder.
  void load_plugins(const FlowsheetSpec& spec, const std::vector<std::string>& dirs,
                    Diagnostics& diag);
  // Where a plug-in's shared object is, by the rule above ("" when it is nowhere).
  static std::string locate(const PluginSpec& plugin, const std::string& flowsheet_file,
                            const std::vector<std::string>& dirs);
  const ModelDef* find(const std::string& name) const;
  // Every block's model known and its parameters present, known and of the right kind.
  void check_blocks(const FlowsheetSpec& spec, Diagnostics& diag) const;
  const std::vector<ModelDef>& models() const { return models_; }

 private:
  struct Library;
  std::vector<ModelDef> models_;
  std::vector<std::unique_ptr<Library>> libraries_;
  std::vector<std::string> unloaded_;  // plug-in models that could not be loaded (reported)
};

// Parameter look-ups for the built-in models' creation functions, after check_blocks.
double real_param(const BlockSpec& spec, const std::string& name, double fallback);
int int_param(const BlockSpec& spec, const std::string& name, int fallback);

}  // namespace kvoflow
