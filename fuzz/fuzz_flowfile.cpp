// SPDX-License-Identifier: BSD-3-Clause
// Fuzz target for the runner's flowsheet file: each input is the text of a flowsheet file,
// written to a file of its own and taken through the runner's steps: reading, the models'
// check, and when those pass, building the plant in a fresh work directory, the degrees of
// freedom, the derivative check, a short solve and the report. Whatever the file holds: every
// error is one line that names the file and a line of it (or the whole file), a step that fails
// says why, a file that reads without errors names only blocks, ports and pattern files it may,
// nothing is written outside the work directory, and nothing is left behind. Reading the same
// text twice finds the same errors.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flowfile.h"
#include "fuzz_host.h"
#include "models.h"
#include "paths.h"
#include "run.h"
#include "state.h"

namespace fs = std::filesystem;

namespace {

// Inputs larger than this are not tried: the reader's cost grows with the text, and a page or
// two holds every construct of the file.
constexpr size_t kMostBytes = 16 << 10;
// A plant is built only from blocks this small and this few, so that pattern detection (one
// residual evaluation per variable) and the solve stay cheap under the sanitizers.
constexpr long long kMostTanks = 40;
constexpr size_t kMostBlocks = 24;
// The solve is cut to this many Newton steps.
constexpr int kMostSteps = 6;

// The one plug-in the target may load: the example concentrator of this build.
#ifdef FUZZ_FLOWFILE_PLUGIN
const char* const kPlugin = FUZZ_FLOWFILE_PLUGIN;
#else
const char* const kPlugin = "";
#endif

// Every error is "FILE:LINE:COLUMN: sentence" at a line of the file (the line after the last
// one for an error at the end), or "FILE: sentence" for the whole file; and one line of
// printable text.
void check_lines(const kvoflow::Diagnostics& diag, const std::string& file, long long lines) {
  for (const std::string& e : diag.lines()) {
    // The line at fault is shown before the run stops.
#define LINE_CHECK(c) ((c) ? (void)0 : (std::fprintf(stderr, "%s\n", e.c_str()), FUZZ_CHECK(c)))
    // No control character: a line break would split the error, others garble the terminal.
    LINE_CHECK(std::none_of(e.begin(), e.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    }));
    LINE_CHECK(e.compare(0, file.size() + 1, file + ":") == 0);
    const std::string rest = e.substr(file.size() + 1);
    if (rest.compare(0, 1, " ") == 0) {
      LINE_CHECK(rest.size() > 1);
      continue;
    }
    long long line = 0, column = 0;
    int used = 0;
    LINE_CHECK(std::sscanf(rest.c_str(), "%lld:%lld: %n", &line, &column, &used) == 2 && used > 0);
    LINE_CHECK(line >= 1 && line <= lines + 1);
    LINE_CHECK(column >= 1);
    LINE_CHECK(rest.size() > static_cast<size_t>(used));
#undef LINE_CHECK
  }
}

// Whether `path` (lexically) lies inside `dir`.
bool inside(const fs::path& dir, const fs::path& path) {
  const fs::path rel = path.lexically_normal().lexically_relative(dir.lexically_normal());
  return !rel.empty() && *rel.begin() != ".." && !rel.is_absolute();
}

// Whether a pattern file named in the file stays below the work directory: a relative name
// without "..". The runner makes the folders a name passes through, as the system walks them,
// so "../x/../work/R1.pat" makes x beside the work directory.
bool below(const fs::path& name) {
  if (name.has_root_path()) return false;
  for (const fs::path& part : name)
    if (part == "..") return false;
  return true;
}

// What a file that reads without errors promises the builder.
void check_spec(const kvoflow::FlowsheetSpec& spec) {
  FUZZ_CHECK(!spec.blocks.empty());
  std::vector<std::string> ids;
  for (const kvoflow::BlockSpec& b : spec.blocks) {
    FUZZ_CHECK(!b.id.empty() && b.id.size() <= 32 && !b.model.empty());
    FUZZ_CHECK(b.pos.line >= 1);
    FUZZ_CHECK(b.pattern != KVOBLK_PAT_RESTORE || !b.pattern_file.empty());
    ids.push_back(b.id);
  }
  std::sort(ids.begin(), ids.end());
  FUZZ_CHECK(std::adjacent_find(ids.begin(), ids.end()) == ids.end());
  for (const kvoflow::ConnectionSpec& c : spec.connections) {
    FUZZ_CHECK(spec.block(c.from.block) && spec.block(c.to.block));
    FUZZ_CHECK(!c.from.port.empty() && !c.to.port.empty());
  }
  for (const kvoflow::VarValue& v : spec.fixed) FUZZ_CHECK(!v.name.empty() && v.pos.line >= 1);
  for (const kvoflow::VarValue& v : spec.guesses) FUZZ_CHECK(!v.name.empty() && v.pos.line >= 1);
}

// Whether the plant is small enough to build, and touches only files the target allows: pattern
// files below the work directory (the example plug-in is checked before loading).
bool worth_building(const kvoflow::RunState& run) {
  if (run.spec.blocks.size() > kMostBlocks) return false;
  for (const kvoflow::BlockSpec& b : run.spec.blocks) {
    if (const kvoflow::Parameter* t = b.param("tanks"))
      if (t->value.kind == kvoflow::Value::INTEGER && t->value.integer > kMostTanks) return false;
    if (!b.pattern_file.empty() && !below(kvoflow::path_of_utf8(b.pattern_file))) return false;
  }
  return true;
}

// The files of `dir` and below, by path.
std::vector<std::string> files_of(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec))
    out.push_back(it->path().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMostBytes) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const fs::path sheet_dir = kvofuzz::scratch() / "sheet", work = kvofuzz::scratch() / "work";
  std::error_code ec;
  fs::remove_all(kvofuzz::scratch(), ec);
  fs::create_directories(sheet_dir);
  const std::string file = (sheet_dir / "f.toml").string();
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  const long long lines = std::count(text.begin(), text.end(), '\n') + 1;

  kvofuzz::Host host;
  {
    kvoflow::RunState run;
    run.options.file = file;
    run.options.workdir = work.string();
    run.options.quiet = true;
    if (*kPlugin) run.options.plugin_dirs = {fs::path(kPlugin).parent_path().string()};

    kvoflow::Diagnostics diag(file);
    run.spec = kvoflow::read_flowsheet(file, diag);
    check_lines(diag, file, lines);
    {
      // Reading the text again, from memory, finds the same errors.
      kvoflow::Diagnostics again(file);
      kvoflow::parse_flowsheet(text, file, again);
      FUZZ_CHECK(again.lines() == diag.lines());
    }
    // Only the example plug-in is opened; any other shared object the file reaches is not.
    for (const kvoflow::PluginSpec& p : run.spec.plugins) {
      const std::string at = kvoflow::Catalogue::locate(p, run.spec.file, run.options.plugin_dirs);
      if (!at.empty() && (!*kPlugin || !fs::equivalent(at, kPlugin, ec))) return 0;
    }
    run.catalogue.load_plugins(run.spec, run.options.plugin_dirs, diag);
    run.catalogue.check_blocks(run.spec, diag);
    check_lines(diag, file, lines);
    if (!diag.ok()) return 0;
    check_spec(run.spec);
    if (!worth_building(run)) return 0;

    int status = kvoflow::build_plant(run, diag);
    FUZZ_CHECK(status == kvoflow::EXIT_SOLVED || status == kvoflow::EXIT_INPUT);
    FUZZ_CHECK((status == kvoflow::EXIT_SOLVED) == diag.ok());
    if (status == kvoflow::EXIT_SOLVED) {
      status = kvoflow::check_degrees_of_freedom(run, diag);
      FUZZ_CHECK(status == kvoflow::EXIT_SOLVED || status == kvoflow::EXIT_INPUT);
      FUZZ_CHECK((status == kvoflow::EXIT_SOLVED) == diag.ok());
    }
    check_lines(diag, file, lines);
    if (status == kvoflow::EXIT_SOLVED) {
      kvoflow::check_derivatives(run);
      run.spec.solver.max_iterations = std::min(run.spec.solver.max_iterations, kMostSteps);
      status = kvoflow::solve_plant(run);
      FUZZ_CHECK(status == kvoflow::EXIT_SOLVED || status == kvoflow::EXIT_SOLVE);
      kvoflow::collect_results(run);
      kvoflow::print_report(run);
    }
    host.his();
  }
  // The flowsheet file is as it was, and everything else written is in the work directory.
  for (const std::string& f : files_of(kvofuzz::scratch()))
    FUZZ_CHECK(f == sheet_dir.string() || f == file || f == work.string() || inside(work, f));
  {
    std::ifstream in(file, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    FUZZ_CHECK(after == text);
  }
  FUZZ_CHECK(kvoref::live_pattern_objects() == 0);
  return 0;
}
