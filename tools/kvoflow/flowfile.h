// SPDX-License-Identifier: BSD-3-Clause
// The flowsheet file: what a process engineer writes by hand (TOML), read into plain data with
// the file position of every item, so that any later check can still name the line at fault.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kvoflow {

// A line and column of the flowsheet file (both from 1; 0 when unknown).
struct Pos {
  int line = 0;
  int column = 0;
};

// Errors found in the input, each as "FILE:LINE:COLUMN: sentence". Collected rather than thrown,
// so one run shows every mistake in the file.
class Diagnostics {
 public:
  explicit Diagnostics(std::string file) : file_(std::move(file)) {}
  void error(const Pos& pos, const std::string& sentence);
  // An error that belongs to no line of the file (a plug-in that cannot be opened is still
  // reported at the line that names it; this is for whole-file problems).
  void error(const std::string& sentence);
  bool ok() const { return entries_.empty(); }
  // The errors in the order of the file's lines; those of the whole file last.
  std::vector<std::string> lines() const;
  const std::string& file() const { return file_; }

 private:
  struct Entry {
    Pos pos;
    std::string text;
  };
  std::string file_;
  std::vector<Entry> entries_;
};

// A parameter value as written: a whole number, a real, a text, a truth value or a list of
// numbers.
struct Value {
  enum Kind { INTEGER, REAL, TEXT, BOOLEAN, LIST };
  Kind kind = REAL;
  long long integer = 0;
  double real = 0.0;  // also the value of an INTEGER
  std::string text;
  bool boolean = false;
  std::vector<double> list;
  Pos pos;
};
const char* kind_name(Value::Kind kind);

struct Parameter {
  std::string name;
  Value value;
  Pos pos;  // of the key
};

struct BlockSpec {
  std::string id;
  Pos pos;  // of the block's table
  Pos id_pos;
  std::string model;
  Pos model_pos;
  std::vector<Parameter> params;
  std::vector<std::string> unreadable_params;  // given, but not readable (already reported)
  bool unreadable_table = false;               // [block.parameters] is no table (reported)
  int method = 0;  // KVOBLK_ANALYTIC..KVOBLK_UPDATE_ANALYTIC; 0: the model's default
  Pos method_pos;
  int pattern = 0;  // KVOBLK_PAT_SELF, _NUMERIC, _RESTORE; 0: the model's default
  Pos pattern_pos;
  std::string pattern_file;  // RESTORE: relative to the work directory
  Pos pattern_file_pos;
  int diag_level = -1;  // -1: the flowsheet's level
  Pos diag_pos;
  const Parameter* param(const std::string& name) const;
};

// One end of a connection: "BLOCK.PORT".
struct PortRef {
  std::string block;
  std::string port;
  std::string text() const { return block + "." + port; }
};

struct ConnectionSpec {
  PortRef from;  // an outlet
  PortRef to;    // an inlet
  Pos pos;       // of the connection's table
  Pos from_pos, to_pos;
};

// A variable named by its list name with a value: fixed or a starting guess.
struct VarValue {
  std::string name;
  double value = 0.0;
  Pos pos;
};

struct PluginSpec {
  std::string model;  // the model name blocks use
  std::string path;   // as written: a bare file name or a path
  Pos pos;
};

struct SolverSpec {
  int max_iterations = 50;
  double tolerance = 1e-9;
  double step_limit = 0.5;
  double balance_tolerance = 1e-9;  // relative closure of the overall material balance
};

// A tolerance as the run prints it: in powers of ten with the digit after the point only when
// it is not 0, so 1e-09 and 2.5e-09.
std::string tolerance_text(double x);

struct FlowsheetSpec {
  std::string file;
  std::string title;
  int diag_level = 4;
  SolverSpec solver;
  std::vector<PluginSpec> plugins;
  std::vector<std::string> unreadable_plugins;  // models whose plug-in entry is already reported
  std::vector<BlockSpec> blocks;
  std::vector<ConnectionSpec> connections;
  std::vector<VarValue> fixed;
  std::vector<VarValue> guesses;
  const BlockSpec* block(const std::string& id) const;
};

// Reads and checks the file's form: every table and key known, every value of the right kind,
// block ids unique and well formed, connections naming "BLOCK.PORT" with known blocks and no
// port used twice. Models, parameters and ports are checked against the models later (see
// models.h). Errors go to `diag`; the answer is complete only when diag.ok().
FlowsheetSpec read_flowsheet(const std::string& path, Diagnostics& diag);
// The same from text, `name` standing for the file in messages.
FlowsheetSpec parse_flowsheet(const std::string& text, const std::string& name, Diagnostics& diag);

// Names of the derivative methods and pattern sources as the file writes them.
const char* method_name(int method);
const char* pattern_name(int pattern);

}  // namespace kvoflow
