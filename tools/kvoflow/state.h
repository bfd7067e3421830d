// SPDX-License-Identifier: BSD-3-Clause
// What one run of the runner holds from the file to the report: the file's contents, the models,
// the plant built on the reference host, the solves and the balance. The steps in build.cpp,
// solve.cpp, report.cpp and output.cpp fill it in that order.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <kvoblk/host/kvo_host_export.h>

#include "flowfile.h"
#include "models.h"
#include "plant.h"
#include "run.h"

namespace kvoflow {

struct BlockRun {
  const BlockSpec* spec = nullptr;
  int blk = 0;
  std::string model;
  int method = 0;                // the derivative method in force for the main solve
  int pattern = 0;               // the pattern source in force
  std::string pattern_file;      // RESTORE: the file, with the work directory
  bool file_found = false;       // RESTORE: the file was there before the block was placed
  bool file_saved = false;       // RESTORE without a file: the detected pattern was saved
  Plant::BlockCounts counts;     // of the main solve (pattern detection excluded)
  long detection_residuals = 0;  // residual runs made to detect the pattern while placing
};

struct SolveRun {
  std::string label;  // the method's name, or "as specified"
  int method = 0;     // 0: each block's own
  bool refused = false;
  std::string refused_why;
  kvoref::NewtonReport report;
  std::vector<double> history;  // largest residual at every point, step 0 first
  Plant::BlockCounts counts;
  double seconds = 0.0;
};

struct StreamRow {
  std::string label;  // "F", "CA", ...
  int kind = 0;
  double value = 0.0;
};

struct Stream {
  std::string name;  // "R1.OUT -> FL.FEED"
  std::string from, to;
  std::vector<StreamRow> rows;
};

struct Balance {
  bool available = false;  // some feed and product streams carry a flow and a composition
  std::vector<std::string> components;
  std::vector<double> in, out, made;  // per component, kmol/h
  double total_in = 0.0, total_out = 0.0, total_made = 0.0;
  double closure = 0.0;  // largest |in + made - out| over components and total, over total_in
  bool closes = false;
  std::string unit;
};

struct RunState {
  Options options;
  FlowsheetSpec spec;
  Catalogue catalogue;
  std::unique_ptr<Plant> plant;
  std::vector<BlockRun> blocks;
  std::vector<double> start;  // every variable value before the first solve
  SolveRun main;
  std::vector<SolveRun> compared;
  std::vector<Stream> streams;
  Balance balance;

  ~RunState();  // the plant (and with it every block) goes before the plug-ins close
  void say(const char* format, ...) const KVOHOST_PRINTF_FORMAT(2, 3);  // progress
};

// Steps of a run. Each answers an exit status, EXIT_SOLVED when it went well.
int build_plant(RunState& run, Diagnostics& diag);
int check_degrees_of_freedom(RunState& run, Diagnostics& diag);
// With --check-derivatives: the models' stated patterns against numeric detection and their
// analytic Jacobians against numeric differences, at the starting point, which it leaves as is.
void check_derivatives(RunState& run);
// After a solve that failed: the analytic derivatives that differ from numeric differences at the
// point the variables hold, of the blocks the solve ran with analytic derivatives, named by block,
// equation and variable; nothing when all agree.
void name_differing_derivatives(const RunState& run);
int solve_plant(RunState& run);
void collect_results(RunState& run);
void print_report(const RunState& run);
int write_outputs(const RunState& run);

// Every variable value of the plant's lists, and putting them back.
std::vector<double> snapshot(const Plant& plant);
void restore(const Plant& plant, const std::vector<double>& values);

// The list names of variable or equation positions, joined by ", ", at most `limit` of them.
std::string var_names(const Plant& plant, const std::vector<int>& positions, size_t limit = 12);
std::string eqn_names(const Plant& plant, const std::vector<int>& positions, size_t limit = 12);

}  // namespace kvoflow
