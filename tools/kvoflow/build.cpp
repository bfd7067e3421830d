// SPDX-License-Identifier: BSD-3-Clause
// Building the flowsheet from the file: blocks made by their models with the file's settings,
// ports checked, the plant sized and placed (numeric pattern detection shows its progress),
// connections made, variables fixed and guessed, and the degrees of freedom checked. Every
// problem is reported at the line of the file that caused it.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "kvoconnect.h"
#include "paths.h"
#include "state.h"

namespace kvoflow {

RunState::~RunState() { plant.reset(); }

void RunState::say(const char* format, ...) const {
  if (options.quiet) return;
  va_list args;
  va_start(args, format);
  const std::string text = kvoref::vformat(format, args);
  va_end(args);
  kvoref::start_line(kvHisDev);  // after a library message printed without its line end
  kvowrite(kvHisDev, text.data(), static_cast<int>(text.size()));
}

std::vector<double> snapshot(const Plant& plant) {
  std::vector<double> x;
  const int varlst = plant.lists().varlst;
  for (int p = 1, n = kvovarlst_inq_nvar(varlst); p <= n; ++p)
    x.push_back(kvovarlst_inq_var_value(varlst, p, 0));
  return x;
}

void restore(const Plant& plant, const std::vector<double>& values) {
  const int varlst = plant.lists().varlst;
  const int n = kvovarlst_inq_nvar(varlst);
  for (int p = 1; p <= n && p <= static_cast<int>(values.size()); ++p)
    kvovarlst_set_var_value(varlst, p, values[p - 1], 0);
}

namespace {

std::string join_names(const std::vector<int>& positions, size_t limit,
                       const char* (*name)(int list, int pos), int list) {
  std::string s;
  size_t shown = 0;
  for (int p : positions) {
    if (shown == limit) {
      s += " and " + std::to_string(positions.size() - shown) + " more";
      break;
    }
    s += (s.empty() ? "" : ", ") + std::string(name(list, p));
    ++shown;
  }
  return s;
}

const char* var_name_at(int list, int pos) { return kvovarlst_lookup_var_name(list, pos); }
const char* eqn_name_at(int list, int pos) { return kvoeqnlst_lookup_eqn_name(list, pos); }

}  // namespace

std::string var_names(const Plant& plant, const std::vector<int>& positions, size_t limit) {
  return join_names(positions, limit, var_name_at, plant.lists().varlst);
}

std::string eqn_names(const Plant& plant, const std::vector<int>& positions, size_t limit) {
  return join_names(positions, limit, eqn_name_at, plant.lists().eqnlst);
}

namespace {

// ---- Progress of numeric pattern detection ---------------------------------------------------
// While the plant places its blocks, the residual routine of each block that detects its pattern
// numerically is wrapped so that every quarter of the nvar + 1 evaluations the detection makes
// is shown. The wrapper goes again as soon as the blocks are placed.
struct Watch {
  void (*original)(int, int*) = nullptr;
  long calls = 0;
  long expected = 0;
  int shown = 0;  // quarters shown
  std::string id;
  const RunState* run = nullptr;
};
std::map<int, Watch> watches;

void watched_res(int blk, int* status) {
  auto it = watches.find(blk);
  if (it == watches.end()) return;  // cannot happen: the wrapper is installed with its entry
  Watch& w = it->second;
  ++w.calls;
  w.original(blk, status);
  if (w.expected <= 0) return;
  const int quarter = static_cast<int>(std::min(4L, w.calls * 4 / w.expected));
  if (quarter > w.shown) {
    w.shown = quarter;
    w.run->say("  pattern detection for block %s: %3d %% (%ld of %ld residual evaluations)\n",
               w.id.c_str(), quarter * 25, std::min(w.calls, w.expected), w.expected);
  }
}

// Detection is long enough to show its progress from this many evaluations on.
constexpr long kLongDetection = 40;

void watch_detection(RunState& run) {
  for (BlockRun& b : run.blocks) {
    const bool detects =
        b.pattern == KVOBLK_PAT_NUMERIC || (b.pattern == KVOBLK_PAT_RESTORE && !b.file_found);
    if (!detects) continue;
    int nvar = 0, neqn = 0, nnz = 0, status = 0;
    kvoblk_selfdim(b.blk, &nvar, &neqn, &nnz, &status);
    kvoblk_ops_t* t = kvoblk_inq_ops(b.blk);
    if (status != 0 || nvar + 1 < kLongDetection || !t || !t->res) continue;
    Watch w;
    w.original = t->res;
    w.expected = nvar + 1;
    w.id = b.spec->id;
    w.run = &run;
    watches[b.blk] = w;
    t->res = watched_res;
  }
}

void unwatch_detection(RunState& run) {
  for (BlockRun& b : run.blocks) {
    auto it = watches.find(b.blk);
    if (it == watches.end()) continue;
    if (kvoblk_ops_t* t = kvoblk_inq_ops(b.blk))
      if (t->res == watched_res) t->res = it->second.original;
    b.detection_residuals = it->second.calls;
    watches.erase(it);
  }
}

std::string port_list(int blk) {
  std::string s;
  for (int i = 1, n = kvoblk_inq_num_ports(blk); i <= n; ++i) {
    nux_port* p = kvoblk_get_port_n(blk, i);
    if (p && p->name()) s += (s.empty() ? "" : ", ") + std::string(p->name());
  }
  return s.empty() ? "none" : s;
}

// What the messages about misspelt variable names need, read from the lists once, at the first
// such name: the names the plant holds, each block's variables in list order and the file's
// block ids. Asking the plant for a name it does not hold makes it read the whole variable list
// again, and so did finding a block's variables for the advice, so that a file that misspelt the
// name in every fix took time growing with the square of the flowsheet.
class Misspellings {
 public:
  explicit Misspellings(const RunState& run) : run_(run) {}

  // Whether the plant holds no variable `name`.
  bool missing(const std::string& name) {
    if (read_) return names_.count(name) == 0;
    if (run_.plant->var(name) != 0) return false;
    read();
    return true;
  }

  // "; block B has <up to 8 of its variables>" or "; there is no block B", for the block that
  // `name` names before its first full stop.
  std::string advice(const std::string& name) {
    read();
    const std::string id = name.substr(0, name.find('.'));
    if (!ids_.count(id)) return "; there is no block " + id;
    const auto it = vars_of_.find(id);
    return "; block " + id + " has " +
           var_names(*run_.plant, it == vars_of_.end() ? std::vector<int>() : it->second, 8);
  }

 private:
  void read() {
    if (read_) return;
    read_ = true;
    const int varlst = run_.plant->lists().varlst;
    for (int p = 1, n = kvovarlst_inq_nvar(varlst); p <= n; ++p) {
      const char* name = kvovarlst_lookup_var_name(varlst, p);
      if (!name || !*name) continue;
      names_.insert(name);
      // A block's variables are those named "<id>.<item>"; ids hold no full stop.
      if (const char* dot = std::strchr(name, '.'))
        vars_of_[std::string(name, static_cast<size_t>(dot - name))].push_back(p);
    }
    for (const BlockSpec& b : run_.spec.blocks) ids_.insert(b.id);
  }

  const RunState& run_;
  bool read_ = false;
  std::unordered_set<std::string> names_, ids_;
  std::unordered_map<std::string, std::vector<int>> vars_of_;
};

// True when the value lies within the variable's bounds; otherwise says which one it passes.
// A fixed value or guess outside them leaves the solver nowhere to start from, and what it
// reports then (a singular Jacobian, variables held on a bound) would not name the cause.
bool within_bounds(const Plant& plant, const VarValue& v, const char* what, Diagnostics& diag) {
  const int varlst = plant.lists().varlst, p = plant.var(v.name);
  const double lo = kvovarlst_inq_var_lower(varlst, p, 0),
               hi = kvovarlst_inq_var_upper(varlst, p, 0);
  // A bound that is not a number bounds nothing, as in the solver.
  if (!(v.value < lo) && !(v.value > hi)) return true;
  char text[160];
  std::snprintf(text, sizeof text, "%s %g lies %s the %s bound %g of ", what, v.value,
                v.value < lo ? "below" : "above", v.value < lo ? "lower" : "upper",
                v.value < lo ? lo : hi);
  diag.error(v.pos, text + v.name);
  return false;
}

void fix_and_guess(RunState& run, Diagnostics& diag) {
  Plant& plant = *run.plant;
  Misspellings misspelt(run);
  std::map<std::string, int> seen;
  for (const VarValue& v : run.spec.fixed) {
    auto [it, fresh] = seen.emplace(v.name, v.pos.line);
    if (!fresh) {
      diag.error(v.pos,
                 "variable " + v.name + " is already fixed at line " + std::to_string(it->second));
      continue;
    }
    if (misspelt.missing(v.name)) {
      diag.error(v.pos, "there is no variable " + v.name + misspelt.advice(v.name));
      continue;
    }
    if (within_bounds(plant, v, "the fixed value", diag)) plant.fix(v.name, v.value);
  }
  for (const VarValue& v : run.spec.guesses) {
    if (misspelt.missing(v.name)) {
      diag.error(v.pos, "there is no variable " + v.name + " to guess" + misspelt.advice(v.name));
      continue;
    }
    if (seen.count(v.name)) {
      diag.error(v.pos, "variable " + v.name + " is fixed at line " + std::to_string(seen[v.name]) +
                            "; a guess for it has no effect");
      continue;
    }
    if (within_bounds(plant, v, "the guess", diag)) plant.set_value(v.name, v.value);
  }
}

// Variables are found by name ([fix], [guess], the results): a model that names its variables
// without its block id gives two blocks of it the same names, and then only one of each pair
// could be fixed or reported. Each block that repeats an earlier block's names, or one of its
// own, is refused at its line, with up to six of the names.
bool distinct_variable_names(const RunState& run, Diagnostics& diag) {
  const int varlst = run.plant->lists().varlst, nvar = kvovarlst_inq_nvar(varlst);
  std::vector<int> owner(static_cast<size_t>(nvar) + 1, -1);  // position in run.blocks
  for (size_t i = 0; i < run.blocks.size(); ++i)
    for (int p = std::max(1, kvoblk_inq_vstart(run.blocks[i].blk)),
             last = std::min(nvar, kvoblk_inq_vstop(run.blocks[i].blk));
         p <= last; ++p)
      owner[p] = static_cast<int>(i);
  std::unordered_map<std::string, int> first;                       // name: its first position
  std::map<std::pair<int, int>, std::vector<std::string>> repeats;  // (earlier, later) block
  for (int p = 1; p <= nvar; ++p) {
    const char* name = kvovarlst_lookup_var_name(varlst, p);
    if (!name || !*name) continue;
    const auto [at, fresh] = first.emplace(name, p);
    if (!fresh) repeats[{owner[at->second], owner[p]}].push_back(name);
  }
  for (const auto& [pair, names] : repeats) {
    const auto id = [&](int i) {
      return i >= 0 ? "block " + run.blocks[i].spec->id : std::string("the flowsheet");
    };
    std::string list;
    for (size_t k = 0; k < names.size() && k < 6; ++k) list += (k ? ", " : "") + names[k];
    if (names.size() > 6) list += " and " + std::to_string(names.size() - 6) + " more";
    // A block may also repeat a name of its own, whatever its model puts before the item.
    const std::string text =
        pair.first == pair.second
            ? id(pair.second) + " gives more than one of its variables the same name (" + list +
                  "); each variable must have a name of its own"
            : id(pair.second) + " names variables as " + id(pair.first) + " does (" + list +
                  "); a model must name them <block id>.<item>, so that each variable has a name "
                  "of its own";
    if (pair.second >= 0)
      diag.error(run.blocks[pair.second].spec->pos, text);
    else
      diag.error(text);
  }
  return repeats.empty();
}

// The model's ini routine defines the block's items and records the last of them: a block that
// announced items but records none holds nothing, the next block is placed over what it
// defined, and every later message about it would name that block's items. Said first, alone.
bool items_recorded(const RunState& run, Diagnostics& diag) {
  bool ok = true;
  for (const BlockRun& b : run.blocks) {
    int nvar = 0, neqn = 0, nnz = 0, status = 0;
    kvoblk_selfdim(b.blk, &nvar, &neqn, &nnz, &status);
    const int vars = std::max(kvoblk_inq_vstop(b.blk) - kvoblk_inq_vstart(b.blk) + 1, 0);
    const int eqns = std::max(kvoblk_inq_estop(b.blk) - kvoblk_inq_estart(b.blk) + 1, 0);
    const bool holds = (vars > 0 || nvar <= 0) && (eqns > 0 || neqn <= 0);
    if (status != 0 || holds) continue;
    diag.error(b.spec->pos, "block " + b.spec->id + " (model " + b.model + ") announced " +
                                std::to_string(nvar) + " variables and " + std::to_string(neqn) +
                                " equations but holds " + std::to_string(vars) + " and " +
                                std::to_string(eqns) +
                                " after placement; the model's ini routine records its last "
                                "variable and equation (kvoblk_set_vstop, kvoblk_set_estop)");
    ok = false;
  }
  return ok;
}

// A port carries variables of its own block: the model's ini routine binds each port variable
// to one of the positions it defines. A port left unbound would have its connection refused with
// advice to place a block that is placed, and one bound to another block's variable would join
// or report the wrong variable without a word; each such port is named at its block's line.
bool ports_bound(const RunState& run, Diagnostics& diag) {
  const int varlst = run.plant->lists().varlst, nvar = kvovarlst_inq_nvar(varlst);
  bool ok = true;
  for (const BlockRun& b : run.blocks) {
    const int first = kvoblk_inq_vstart(b.blk), last = kvoblk_inq_vstop(b.blk);
    for (int i = 1, n = kvoblk_inq_num_ports(b.blk); i <= n; ++i) {
      const nux_port* p = kvoblk_get_port_n(b.blk, i);
      if (!p) continue;
      const std::string port = "port " + std::string(p->name() ? p->name() : "?") + " of block " +
                               b.spec->id + " (model " + b.model + ")";
      for (int j = 0; j < p->num_vars(); ++j) {
        const int v = p->var(j);
        if (v >= 1 && v >= first && v <= last) continue;
        const char* name = v >= 1 && v <= nvar ? kvovarlst_lookup_var_name(varlst, v) : nullptr;
        diag.error(b.spec->pos,
                   port +
                       (name ? " has its variable " + std::to_string(j + 1) + " bound to " + name +
                                   ", which is not a variable of the block"
                             : " has its variable " + std::to_string(j + 1) +
                                   " bound to no variable") +
                       "; the model's ini routine binds each port variable to one of the "
                       "block's own positions (set_var)");
        ok = false;
        break;
      }
    }
  }
  return ok;
}

// A model's own pattern (SELF) goes into the Jacobian as the model writes it: an entry at
// another block's variable or equation, or at none, would couple the wrong items or leave a
// column empty, and the solve would fail or succeed without a word about the pattern. The first
// such entry of each block is named at its line.
bool patterns_inside(const RunState& run, Diagnostics& diag) {
  const kvoref::Lists& l = run.plant->lists();
  const int nvar = kvovarlst_inq_nvar(l.varlst), neqn = kvoeqnlst_inq_neqn(l.eqnlst);
  const int nnz = kvojac_inq_nnz(l.jac);
  const auto named = [](const char* name, int pos) {
    return name && *name ? std::string(name) : "position " + std::to_string(pos);
  };
  bool ok = true;
  for (const BlockRun& b : run.blocks) {
    const int blk = b.blk, nzstart = kvoblk_inq_nzstart(blk);
    for (int k = std::max(nzstart, 1), last = std::min(kvoblk_inq_nzstop(blk), nnz); k <= last;
         ++k) {
      const int e = kvojac_inq_nz_eqnnum(l.jac, k), v = kvojac_inq_nz_varnum(l.jac, k);
      if (e >= kvoblk_inq_estart(blk) && e <= kvoblk_inq_estop(blk) &&
          v >= kvoblk_inq_vstart(blk) && v <= kvoblk_inq_vstop(blk))
        continue;
      const char* ename = e >= 1 && e <= neqn ? kvoeqnlst_lookup_eqn_name(l.eqnlst, e) : nullptr;
      const char* vname = v >= 1 && v <= nvar ? kvovarlst_lookup_var_name(l.varlst, v) : nullptr;
      diag.error(b.spec->pos, "block " + b.spec->id + " (model " + b.model +
                                  ") has its pattern entry " + std::to_string(k - nzstart + 1) +
                                  " at equation " + named(ename, e) + " and variable " +
                                  named(vname, v) +
                                  ", which are not both the block's own; the model's selfpat "
                                  "gives each entry a block-local equation and variable "
                                  "(set_pattern_entry)");
      ok = false;
      break;
    }
  }
  return ok;
}

// The variable and equation counts a pattern file's header announces; false when it names
// neither (the library has read the file by then and reported what is wrong with it).
bool announced_sizes(const std::string& file, int* nvar, int* neq) {
  std::ifstream in(path_of(file));
  std::string line;
  bool has_nvar = false, has_neq = false;
  while (!(has_nvar && has_neq) && std::getline(in, line)) {
    const auto count = [&line](const char* label, int* n) {
      if (line.compare(0, std::strlen(label), label) != 0) return false;
      const size_t colon = line.find(':');
      return colon != std::string::npos && std::sscanf(line.c_str() + colon + 1, "%d", n) == 1;
    };
    if (!has_nvar) has_nvar = count("Number of variables", nvar);
    if (!has_neq) has_neq = count("Number of equations", neq);
  }
  return has_nvar && has_neq;
}

// The library restores a pattern file of fewer variables or equations than its block, whose
// sizes may be maxima: its digest samples only the first names and entries. Here the sizes
// are final, and such a file is the block's at another size (a chain given more stages) whose
// pattern would leave the new variables without entries. It is refused at the block's line,
// with the file to delete.
bool pattern_files_fit(const RunState& run, Diagnostics& diag) {
  bool fit = true;
  for (const BlockRun& b : run.blocks) {
    if (b.pattern != KVOBLK_PAT_RESTORE || !b.file_found) continue;
    const int nvar = std::max(0, kvoblk_inq_vstop(b.blk) - kvoblk_inq_vstart(b.blk) + 1);
    const int neq = std::max(0, kvoblk_inq_estop(b.blk) - kvoblk_inq_estart(b.blk) + 1);
    int file_nvar = 0, file_neq = 0;
    if (!announced_sizes(b.pattern_file, &file_nvar, &file_neq) ||
        (file_nvar == nvar && file_neq == neq))
      continue;
    diag.error(b.spec->pattern_file_pos.line ? b.spec->pattern_file_pos : b.spec->pos,
               "block " + b.spec->id + " has " + std::to_string(nvar) + " variables and " +
                   std::to_string(neq) + " equations, but its pattern file " + b.pattern_file +
                   " is of " + std::to_string(file_nvar) + " and " + std::to_string(file_neq) +
                   "; delete it to have the pattern detected and saved afresh");
    fit = false;
  }
  return fit;
}

}  // namespace

int build_plant(RunState& run, Diagnostics& diag) {
  const FlowsheetSpec& spec = run.spec;
  run.plant = std::make_unique<Plant>();
  Plant& plant = *run.plant;

  // Blocks: made by their models, then given the file's settings.
  run.say("Creating %zu block%s\n", spec.blocks.size(), spec.blocks.size() == 1 ? "" : "s");
  std::unordered_map<int, size_t> held_at;  // the blocks made so far: positions in run.blocks
  // The pattern files the file names, so that a default file given to a block below is never
  // another block's. Keyed by the path in the work directory, where a file named by its full
  // path and one named relative to it are the same file.
  // The key is taken from the wide name: a narrow one would turn letters the code page lacks
  // into '?', and two different files into one.
  const auto in_workdir = [&run](const std::string& file) {
    return full_file_key(path_of(run.options.workdir) / path_of_utf8(file));
  };
  std::unordered_map<std::string, const BlockSpec*> pattern_files;  // file key: its block
  const auto line_of = [](const BlockSpec& b) {
    return b.pattern_file_pos.line ? b.pattern_file_pos : b.id_pos.line ? b.id_pos : b.pos;
  };
  for (const BlockSpec& b : spec.blocks) {
    if (b.pattern != KVOBLK_PAT_RESTORE || b.pattern_file.empty()) continue;
    // The reader told apart files named alike; one named by its full path and another relative
    // to the work directory are only seen to be one here. Two blocks restoring from one file
    // would each overwrite the other's pattern and never restore again.
    const auto [at, first] = pattern_files.emplace(in_workdir(b.pattern_file), &b);
    if (first) continue;
    const BlockSpec& other = *at->second;
    diag.error(line_of(b), "pattern file " + b.pattern_file + " is already used by block " +
                               other.id + " at line " + std::to_string(line_of(other).line) + " (" +
                               other.pattern_file + ", the same file in the work directory)");
  }
  if (!diag.ok()) return EXIT_INPUT;
  for (const BlockSpec& b : spec.blocks) {
    const ModelDef* model = run.catalogue.find(b.model);
    std::string why;
    int blk = 0;
    try {
      blk = model->create(b, &why);
    } catch (const std::exception& e) {
      blk = 0;
      why = std::string("the model failed: ") + e.what();
    } catch (...) {
      // A plug-in's entry point must not throw; one that does still costs only its block.
      blk = 0;
      why = "the model failed with an exception that is no standard one";
    }
    if (blk == 0) {
      diag.error(b.pos, "block " + b.id + " (model " + b.model + ") cannot be created: " + why);
      continue;
    }
    // A model that hands back a block the flowsheet already holds would have that block
    // renamed and set up anew under this one's id. The holder is named from the flowsheet,
    // since the model may have renamed it.
    if (const auto held = held_at.find(blk); held != held_at.end()) {
      diag.error(b.pos, "block " + b.id + " (model " + b.model +
                            ") cannot be created: the model answered block " +
                            run.blocks[held->second].spec->id +
                            ", which the flowsheet already holds");
      continue;
    }
    BlockRun r;
    r.spec = &b;
    r.blk = blk;
    r.model = b.model;
    const char* made_id = kvoblk_blkid(blk);
    if (!made_id || b.id != made_id) kvoblk_set_blkid(blk, b.id.c_str());
    if (b.method != 0 && kvoblk_set_deriv_type(blk, b.method) != b.method) {
      diag.error(b.method_pos, "block " + b.id + " refuses the derivative method " +
                                   method_name(b.method) +
                                   " (a model without analytic derivatives takes NUMERIC or "
                                   "UPDATE_NUMERIC)");
    }
    if (b.pattern != 0 && kvoblk_set_pat_ini_type(blk, b.pattern) != b.pattern)
      diag.error(b.pattern_pos,
                 "block " + b.id + " refuses the pattern source " + pattern_name(b.pattern));
    if (kvoblk_settings_t* s = kvoblk_inq_settings(blk)) r.pattern = s->pat_ini_type;
    // A block whose model chooses RESTORE without naming a file gets the default a block with
    // pattern = "RESTORE" gets, <id>.pat in the work directory: with no file at all the library
    // could neither restore nor save its pattern, and would detect it at every run.
    std::string file = b.pattern_file;
    const char* own = kvoblk_inq_pat_file(blk);
    if (file.empty() && r.pattern == KVOBLK_PAT_RESTORE && !(own && *own)) {
      file = b.id + ".pat";
      const auto [at, fresh] = pattern_files.emplace(in_workdir(file), &b);
      if (!fresh)
        diag.error(b.pos, "block " + b.id + " (model " + b.model + ") restores its pattern from " +
                              file + ", which is the pattern file of block " + at->second->id +
                              "; give it pattern = \"RESTORE\" and a pattern_file of another "
                              "name");
    }
    if (!file.empty()) {
      r.pattern_file = name_of(path_of(run.options.workdir) / path_of_utf8(file));
      // The library reaches a long path by its long form itself; its messages name the file as
      // the flowsheet does.
      kvoblk_set_pat_file(blk, r.pattern_file.c_str());
      // Windows opens the console for "CON.pat" (a block CON's default file) and waits there
      // for input; such a name names no file.
      if (const std::string device = device_of(path_of(r.pattern_file)); !device.empty())
        diag.error(b.pattern_file_pos.line ? b.pattern_file_pos : b.pos,
                   "the pattern file " + r.pattern_file + " of block " + b.id +
                       " is a name Windows takes for the device " + device +
                       "; name another file with pattern_file");
      r.file_found = std::filesystem::is_regular_file(status_of(path_of(r.pattern_file)));
      // The library reads a pattern file and may write it; one that is the flowsheet file
      // would be refused as damaged, with the advice to delete it.
      if (r.file_found && same_file(path_of(r.pattern_file), path_of(spec.file)))
        diag.error(b.pattern_file_pos, "the pattern file " + r.pattern_file +
                                           " is the flowsheet file itself; name another file");
    }
    kvoblk_set_diag_level(blk, b.diag_level >= 0 ? b.diag_level : spec.diag_level);
    r.method = kvoblk_inq_deriv_type(blk);
    // A model may choose RESTORE and its own file when the flowsheet names none.
    if (r.pattern == KVOBLK_PAT_RESTORE && r.pattern_file.empty()) {
      r.pattern_file = own ? own : "";
      r.file_found = !r.pattern_file.empty() &&
                     std::filesystem::is_regular_file(status_of(path_of(r.pattern_file)));
    }
    // The plant says why it refuses a block, on the history device.
    if (!plant.add(blk)) {
      diag.error(b.pos, "block " + b.id +
                            " cannot join the flowsheet (the reason is given "
                            "above)");
      continue;  // the plant destroyed the block
    }
    held_at.emplace(blk, run.blocks.size());
    run.blocks.push_back(r);
  }
  if (!diag.ok()) return EXIT_INPUT;

  // Every port a connection names must exist before anything is placed.
  for (const ConnectionSpec& c : spec.connections) {
    for (const auto& [ref, at] : {std::pair<const PortRef&, Pos>{c.from, c.from_pos},
                                  std::pair<const PortRef&, Pos>{c.to, c.to_pos}}) {
      if (!plant.port(ref.block, ref.port))
        diag.error(at, "block " + ref.block + " has no port " + ref.port + "; its ports are " +
                           port_list(plant.block(ref.block)));
    }
  }
  if (!diag.ok()) return EXIT_INPUT;

  // Sizing and placement; every block says how it gets its pattern.
  for (const BlockRun& b : run.blocks) {
    const char* how = b.pattern == KVOBLK_PAT_SELF      ? "stated by the model"
                      : b.pattern == KVOBLK_PAT_NUMERIC ? "detected numerically"
                      : b.file_found                    ? "restored from "
                                                        : "detected numerically and saved to ";
    run.say("  block %-8s %-12s method %-16s pattern %s (%s%s)\n", b.spec->id.c_str(),
            b.model.c_str(), method_name(b.method), pattern_name(b.pattern), how,
            b.pattern == KVOBLK_PAT_RESTORE ? b.pattern_file.c_str() : "");
  }
  if (!run.options.workdir.empty()) {
    make_folders(path_of(run.options.workdir));
  }
  // A pattern file may name a folder of its own; it is made, so that the pattern can be saved.
  for (const BlockRun& b : run.blocks) {
    if (b.pattern != KVOBLK_PAT_RESTORE || b.file_found) continue;
    const std::filesystem::path folder = long_form(path_of(b.pattern_file)).parent_path();
    if (!folder.empty()) make_folders(folder);
  }
  // The library reads a pattern file's header when it sizes the block; a file it refuses there
  // (damaged, or another block's) stops the plant before any block is placed, so each one is
  // tried here, where the block it belongs to is known.
  bool files_read = true;
  for (const BlockRun& b : run.blocks) {
    if (b.pattern != KVOBLK_PAT_RESTORE || !b.file_found) continue;
    // A model that cannot say its size is the plant's to report, not the file's fault.
    int nvar = 0, neqn = 0, nnz = 0, status = 0;
    kvoblk_selfdim(b.blk, &nvar, &neqn, &nnz, &status);
    if (status != 0) continue;
    kvoblk_dim(b.blk, &nvar, &neqn, &nnz, &status);
    if (status == 0) continue;
    diag.error(b.spec->pattern_file_pos.line ? b.spec->pattern_file_pos : b.spec->pos,
               "block " + b.spec->id + " cannot use the pattern file " + b.pattern_file +
                   " (see the messages above); delete it to have the pattern detected and "
                   "saved afresh");
    files_read = false;
  }
  if (!files_read) return EXIT_INPUT;
  // Below diagnostic level 4 the library takes a missing pattern file for an error instead of
  // detecting the pattern and saving it; a quieter level must not cost the block its pattern,
  // so such blocks are placed at level 4 and then given their own level back.
  std::vector<std::pair<int, int>> quiet_restores;  // block, its level
  for (const BlockRun& b : run.blocks) {
    const int level = kvoblk_inq_diag_level(b.blk);
    if (b.pattern == KVOBLK_PAT_RESTORE && !b.file_found && level < 4) {
      quiet_restores.emplace_back(b.blk, level);
      kvoblk_set_diag_level(b.blk, 4);
    }
  }
  watch_detection(run);
  run.say("Sizing and placing the blocks\n");
  // Room for the connection equations: a stream rarely carries more than eight variables; the
  // lists grow if one does.
  const int room = 8 * static_cast<int>(spec.connections.size()) + 8;
  // Plant::build reports its own failures on the history device; they are shown as they are.
  const bool refused = !plant.build(room);
  unwatch_detection(run);
  for (const auto& [blk, level] : quiet_restores) kvoblk_set_diag_level(blk, level);
  if (refused) {
    // A pattern file the library refused (a damaged file, another block's) stays
    // refused at every run until it goes; say which one, at the block's line. Placement stops
    // at the block that failed: it has variables but no pattern, those after it have neither.
    for (const BlockRun& b : run.blocks)
      if (b.pattern == KVOBLK_PAT_RESTORE && b.file_found &&
          kvoblk_inq_vstop(b.blk) >= kvoblk_inq_vstart(b.blk) &&
          kvoblk_inq_pat_type(b.blk) == KVOBLK_PATTYPE_UNDEFINED)
        diag.error(b.spec->pattern_file_pos.line ? b.spec->pattern_file_pos : b.spec->pos,
                   "block " + b.spec->id + " cannot use the pattern file " + b.pattern_file +
                       " (see the messages above); delete it to have the pattern detected "
                       "and saved afresh");
    // Otherwise name the block placement stopped at, at its line: the plant knows it (one whose
    // ini ended in an exception is never in eo_form, so the last block in eo_form is not it).
    // A block that was to detect its pattern and has none lost it to its model's residuals.
    const BlockRun* stopped = nullptr;
    if (const auto at = held_at.find(plant.stopped_at()); at != held_at.end())
      stopped = &run.blocks[at->second];
    if (diag.ok() && stopped) {
      const BlockRun& b = *stopped;
      const bool detects =
          b.pattern == KVOBLK_PAT_NUMERIC || (b.pattern == KVOBLK_PAT_RESTORE && !b.file_found);
      diag.error(b.spec->pos,
                 "block " + b.spec->id + " (model " + b.model + ") could not be placed" +
                     (detects && kvoblk_inq_pat_type(b.blk) == KVOBLK_PATTYPE_UNDEFINED
                          ? ": numeric detection gave it no pattern, as when the model's "
                            "residual routine fails at the starting values"
                          : "") +
                     " (see the messages above)");
    }
    if (diag.ok())
      diag.error("the flowsheet cannot be placed in its lists (see the messages above)");
    return EXIT_INPUT;
  }
  if (!items_recorded(run, diag)) return EXIT_INPUT;
  if (!pattern_files_fit(run, diag)) return EXIT_INPUT;
  // A pattern that could not be saved is detected again by the next run: say so here, not
  // only in the library's warning.
  for (BlockRun& b : run.blocks) {
    if (b.pattern != KVOBLK_PAT_RESTORE || b.file_found || b.pattern_file.empty()) continue;
    b.file_saved = std::filesystem::is_regular_file(status_of(path_of(b.pattern_file)));
    if (!b.file_saved) {
      kvoref::start_line(kvHisDev);
      kvoprintf(kvHisDev,
                "!! kvoflow: block %s: its pattern could not be saved to %s; the next run "
                "detects it again\n",
                b.spec->id.c_str(), b.pattern_file.c_str());
    }
  }

  if (!distinct_variable_names(run, diag)) return EXIT_INPUT;
  const bool ports = ports_bound(run, diag);
  if (!patterns_inside(run, diag) || !ports) return EXIT_INPUT;

  // Connections: a refusal is reported at the connection's line with the reason.
  for (const ConnectionSpec& c : spec.connections)
    if (plant.connect(c.from.text(), c.to.text()) == 0)
      diag.error(c.pos, "the connection " + c.from.text() + " -> " + c.to.text() +
                            " is refused: " + plant.connections()->refusal());
  if (!diag.ok()) return EXIT_INPUT;
  run.say("Connected %zu stream%s\n", spec.connections.size(),
          spec.connections.size() == 1 ? "" : "s");

  fix_and_guess(run, diag);
  return diag.ok() ? EXIT_SOLVED : EXIT_INPUT;
}

int check_degrees_of_freedom(RunState& run, Diagnostics& diag) {
  Plant& plant = *run.plant;
  const int dof = plant.degrees_of_freedom();
  const kvoref::StructuralReport s = kvoref::structural_singularity(plant.lists());
  const std::string counts =
      std::to_string(s.unknowns) + " free variables, " + std::to_string(s.equations) + " equations";
  if (dof > 0) {
    diag.error("the flowsheet has " + std::to_string(dof) + " degree" + (dof == 1 ? "" : "s") +
               " of freedom too many (" + counts + "): fix " + std::to_string(dof) +
               " more of the variables that no equation determines: " +
               var_names(plant, s.under_vars, 24));
    return EXIT_INPUT;
  }
  if (dof < 0) {
    // Fixed variables inside the over-determined equations are the likely culprits.
    std::set<int> over(s.over_eqns.begin(), s.over_eqns.end());
    std::set<int> fixed;
    const kvoref::Lists& l = plant.lists();
    for (int k = 1, n = kvojac_inq_nnz(l.jac); k <= n; ++k) {
      const int e = kvojac_inq_nz_eqnnum(l.jac, k), v = kvojac_inq_nz_varnum(l.jac, k);
      if (over.count(e) && v >= 1 && v <= kvovarlst_inq_nvar(l.varlst) &&
          (kvovarlst_inq_var_status(l.varlst, v) & kvoref::VAR_FIXED))
        fixed.insert(v);
    }
    diag.error("the flowsheet has " + std::to_string(-dof) + " equation" + (dof == -1 ? "" : "s") +
               " too many (" + counts + "): these equations compete " +
               "for too few free variables: " + eqn_names(plant, s.over_eqns, 24) +
               (fixed.empty() ? std::string()
                              : "; free " + std::to_string(-dof) + " of the fixed variables " +
                                    var_names(plant, {fixed.begin(), fixed.end()}, 24)));
    return EXIT_INPUT;
  }
  if (s.singular()) {
    std::string text = "the flowsheet is square (" + counts +
                       ") but structurally singular: no equation can be solved for some "
                       "variables";
    if (!s.over_eqns.empty())
      text += "; equations " + eqn_names(plant, s.over_eqns, 24) +
              (s.over_vars.empty() ? std::string(" involve no free variable")
                                   : " involve only " + var_names(plant, s.over_vars, 24));
    if (!s.under_vars.empty())
      text += "; variables " + var_names(plant, s.under_vars, 24) +
              (s.under_eqns.empty() ? std::string(" appear in no equation")
                                    : " appear only in " + eqn_names(plant, s.under_eqns, 24));
    diag.error(text);
    return EXIT_INPUT;
  }
  run.say("Degrees of freedom: 0 (%s)\n", counts.c_str());
  return EXIT_SOLVED;
}

}  // namespace kvoflow
