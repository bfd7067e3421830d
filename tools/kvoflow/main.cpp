// SPDX-License-Identifier: BSD-3-Clause
// kvoflow: runs a flowsheet file. See `kvoflow --help` and the README's section on the runner.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "kvoblk/kvoblk.h"
#include "run.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

#if defined(_WIN32)
UINT console_code_page = 0;
void restore_console_code_page() { SetConsoleOutputCP(console_code_page); }

// Under the UTF-8 code page the report is UTF-8 throughout (names from the command line and
// from the flowsheet file alike), but a console shows bytes in a code page of its own (an OEM
// one such as 850, where "ü" comes out as two letters). It is told UTF-8 for the run and given
// its own back at the end. Without a console (output to a file or pipe) nothing changes.
void utf8_console() {
  if (GetACP() != CP_UTF8) return;
  console_code_page = GetConsoleOutputCP();
  if (console_code_page != 0 && console_code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
    std::atexit(restore_console_code_page);
}
#endif

const char* const kUsage =
    "usage: kvoflow [options] FLOWSHEET.toml\n"
    "  --workdir DIR      read and write the pattern files of RESTORE blocks in DIR (default .)\n"
    "  --plugin-dir DIR   look for plug-ins named without a folder in DIR (may be repeated)\n"
    "  --json FILE        write the results as JSON to FILE\n"
    "  --svg DIR          draw the Jacobian, one block's column groups and the convergence\n"
    "  --svg-block ID     with --svg, the block whose column groups are drawn\n"
    "  --compare-methods  solve again with each of the four derivative methods\n"
    "  --check-derivatives  compare the models' patterns and analytic derivatives with\n"
    "                     numeric ones before solving\n"
    "  --quiet            no progress lines, only the report\n"
    "  --version          print the version of the library and exit\n"
    "exit status: 0 solved, 1 an error in the input, 2 a bad command line, 3 the solve failed\n"
    "or the material balance does not close, 4 a result file cannot be written\n";

// Set when an option that takes a value was given none (or another option in its place).
std::string missing_value;

bool value_of(int argc, char** argv, int* i, const char* name, std::string* out) {
  const std::string arg = argv[*i];
  const std::string eq = std::string(name) + "=";
  std::string value;
  if (arg == name) {
    // "--json --quiet" forgot the file name; it would otherwise write a file named --quiet.
    if (*i + 1 >= argc || argv[*i + 1][0] == '\0' || std::strncmp(argv[*i + 1], "--", 2) == 0) {
      missing_value = name;
      return false;
    }
    value = argv[++*i];
  } else if (arg.rfind(eq, 0) == 0) {
    value = arg.substr(eq.size());
    if (value.empty()) {
      missing_value = name;
      return false;
    }
  } else {
    return false;
  }
  *out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  utf8_console();
#endif
  kvoflow::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
#if defined(_WIN32)
    const bool help = arg == "--help" || arg == "-h" || arg == "/?";  // "/?" as Windows asks
#else
    const bool help = arg == "--help" || arg == "-h";
#endif
    if (help) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("kvoflow %s\n", kvoblk_version());
      return 0;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--compare-methods") {
      o.compare_methods = true;
    } else if (arg == "--check-derivatives") {
      o.check_derivatives = true;
    } else if (std::string dir; value_of(argc, argv, &i, "--plugin-dir", &dir)) {
      o.plugin_dirs.push_back(dir);
    } else if (value_of(argc, argv, &i, "--workdir", &o.workdir) ||
               value_of(argc, argv, &i, "--json", &o.json) ||
               value_of(argc, argv, &i, "--svg", &o.svg_dir) ||
               value_of(argc, argv, &i, "--svg-block", &o.svg_block)) {
    } else if (!missing_value.empty()) {
      std::fprintf(stderr, "kvoflow: %s needs a value\n%s", missing_value.c_str(), kUsage);
      return kvoflow::EXIT_USAGE;
    } else if (!arg.empty() && arg[0] != '-' && o.file.empty()) {
      o.file = arg;
    } else {
      std::fprintf(stderr, "kvoflow: unexpected argument %s\n%s", arg.c_str(), kUsage);
      return kvoflow::EXIT_USAGE;
    }
  }
#if defined(_WIN32)
  // A folder completed by the console ends in a backslash, and "C:\My Runs\" then keeps its
  // closing quote and runs on into the next argument. No Windows file name holds a quote.
  std::vector<std::string> names = {o.file, o.workdir, o.json, o.svg_dir};
  names.insert(names.end(), o.plugin_dirs.begin(), o.plugin_dirs.end());
  for (const std::string& name : names) {
    if (name.find('"') == std::string::npos) continue;
    std::fprintf(stderr,
                 "kvoflow: no file name holds a quotation mark: %s (a backslash before a "
                 "closing quote, as in \"C:\\My Runs\\\", makes the quote part of the name; "
                 "leave that backslash out or double it)\n",
                 name.c_str());
    return kvoflow::EXIT_USAGE;
  }
#endif
  if (o.file.empty()) {
    std::fputs(kUsage, stderr);
    return kvoflow::EXIT_USAGE;
  }
  // The block's groups are drawn only among the drawings; alone the option would do nothing.
  if (!o.svg_block.empty() && o.svg_dir.empty()) {
    std::fprintf(stderr,
                 "kvoflow: --svg-block chooses the block drawn with --svg DIR; give both\n%s",
                 kUsage);
    return kvoflow::EXIT_USAGE;
  }
  try {
    return kvoflow::run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvoflow: stopped by an internal error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "kvoflow: stopped by an internal error\n");
  }
  return kvoflow::EXIT_SOLVE;
}
