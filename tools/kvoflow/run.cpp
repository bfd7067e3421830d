// SPDX-License-Identifier: BSD-3-Clause
// One run of the flowsheet runner from the file to the report: each step stops the run with its
// exit status when it fails, and nothing is solved before the whole input has been checked.
#include "run.h"

#include <cstdio>

#include "state.h"

namespace kvoflow {

namespace {

void print_errors(const Diagnostics& diag) {
  for (const std::string& line : diag.lines()) std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

int run_steps(RunState& run) {
  Diagnostics diag(run.options.file);
  run.spec = read_flowsheet(run.options.file, diag);
  // The models are checked even when the file has other errors, so one run shows them all.
  run.catalogue.load_plugins(run.spec, run.options.plugin_dirs, diag);
  run.catalogue.check_blocks(run.spec, diag);
  if (diag.ok() && !run.options.svg_block.empty() && !run.spec.block(run.options.svg_block)) {
    std::fprintf(stderr, "kvoflow: --svg-block %s names no block of %s\n",
                 run.options.svg_block.c_str(), run.options.file.c_str());
    return EXIT_USAGE;
  }
  if (!diag.ok()) {
    print_errors(diag);
    return EXIT_INPUT;
  }
  run.say("Flowsheet %s%s%s\n", run.options.file.c_str(), run.spec.title.empty() ? "" : ": ",
          run.spec.title.c_str());
  int status = build_plant(run, diag);
  if (status == EXIT_SOLVED) status = check_degrees_of_freedom(run, diag);
  if (status != EXIT_SOLVED) {
    print_errors(diag);
    return status;
  }
  if (run.options.check_derivatives) check_derivatives(run);
  status = solve_plant(run);
  collect_results(run);
  print_report(run);
  if (status == EXIT_SOLVED && !run.balance.closes && run.balance.available) status = EXIT_SOLVE;
  const int written = write_outputs(run);
  return status != EXIT_SOLVED ? status : written;
}

}  // namespace

int run(const Options& options) {
  RunState state;
  state.options = options;
  return run_steps(state);
}

}  // namespace kvoflow
