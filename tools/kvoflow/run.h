// SPDX-License-Identifier: BSD-3-Clause
// One run of the flowsheet runner: read the file, build the flowsheet, check it, solve it, report
// it, and write the JSON results and drawings asked for.
#pragma once

#include <string>
#include <vector>

namespace kvoflow {

struct Options {
  std::string file;
  std::string workdir = ".";  // pattern files of RESTORE blocks are read and written here
  std::string json;           // --json FILE
  std::string svg_dir;        // --svg DIR
  std::vector<std::string> plugin_dirs;  // --plugin-dir: where bare plug-in names are looked for
  std::string svg_block;                 // the block whose column groups are drawn; empty: chosen
  bool quiet = false;
  bool compare_methods = false;
  bool check_derivatives = false;  // check the models' patterns and derivatives before solving
};

// Exit statuses.
enum : int {
  EXIT_SOLVED = 0,
  EXIT_INPUT = 1,   // the flowsheet file, a plug-in, a port, a connection or the degrees of freedom
  EXIT_USAGE = 2,   // the command line
  EXIT_SOLVE = 3,   // singular, diverging, not converged, or the balance does not close
  EXIT_OUTPUT = 4,  // a result file or drawing could not be written
};

int run(const Options& options);

}  // namespace kvoflow
