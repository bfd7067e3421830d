// SPDX-License-Identifier: BSD-3-Clause
// The run's results as JSON (--json FILE) and as drawings (--svg DIR): the flowsheet Jacobian's
// pattern, one block's column groups and the convergence history.
#include <cstring>
#include <filesystem>
#include <set>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "kvoconnect.h"
#include "paths.h"
#include "state.h"
#include "svg.h"

namespace kvoflow {

namespace {

using json = nlohmann::ordered_json;

int count(int start, int stop) { return stop >= start ? stop - start + 1 : 0; }

json solve_json(const SolveRun& s) {
  json j;
  j["label"] = s.label;
  if (s.method) j["method"] = method_name(s.method);
  if (s.refused) {
    j["refused"] = s.refused_why;
    return j;
  }
  j["converged"] = s.report.converged;
  j["message"] = s.report.message;
  j["steps"] = s.report.iterations;
  j["largest_residual"] = s.report.norm;
  j["residual_evaluations"] = s.counts.residuals;
  j["jacobian_evaluations"] = s.counts.jacobians;
  j["schubert_updates"] = s.counts.updates;
  j["seconds"] = s.seconds;
  j["history"] = s.history;
  return j;
}

std::string results_json(const RunState& run) {
  json j;
  j["flowsheet"] = utf8_of(run.spec.file);
  j["title"] = run.spec.title;
  j["solve"] = solve_json(run.main);
  json blocks = json::array();
  for (const BlockRun& b : run.blocks) {
    json x;
    x["id"] = b.spec->id;
    x["model"] = b.model;
    x["method"] = method_name(b.method);
    x["pattern_source"] = pattern_name(b.pattern);
    if (b.pattern == KVOBLK_PAT_RESTORE) {
      x["pattern_file"] = utf8_of(b.pattern_file);
      x["pattern_file_found"] = b.file_found;
      x["pattern_file_saved"] = b.file_found || b.file_saved;
    }
    x["variables"] = count(kvoblk_inq_vstart(b.blk), kvoblk_inq_vstop(b.blk));
    x["equations"] = count(kvoblk_inq_estart(b.blk), kvoblk_inq_estop(b.blk));
    x["nonzeros"] = count(kvoblk_inq_nzstart(b.blk), kvoblk_inq_nzstop(b.blk));
    x["residual_evaluations"] = b.counts.residuals;
    x["jacobian_evaluations"] = b.counts.jacobians;
    x["schubert_updates"] = b.counts.updates;
    x["detection_evaluations"] = b.detection_residuals;
    blocks.push_back(x);
  }
  j["blocks"] = blocks;
  json streams = json::array();
  for (const Stream& s : run.streams) {
    json x;
    x["name"] = s.name;
    x["from"] = s.from;
    x["to"] = s.to;
    json vars = json::array();
    for (const StreamRow& r : s.rows)
      vars.push_back({{"label", r.label},
                      {"kind", kvoref::port_var_kind_name(r.kind)},
                      {"unit", kvoref::port_var_kind_unit(r.kind)},
                      {"value", r.value}});
    x["variables"] = vars;
    streams.push_back(x);
  }
  j["streams"] = streams;
  const Balance& b = run.balance;
  if (b.available) {
    json x;
    x["unit"] = b.unit;
    json comps = json::array();
    for (size_t k = 0; k < b.components.size(); ++k)
      comps.push_back({{"component", b.components[k]},
                       {"in", b.in[k]},
                       {"out", b.out[k]},
                       {"made", b.made[k]}});
    x["components"] = comps;
    x["total_in"] = b.total_in;
    x["total_out"] = b.total_out;
    x["total_made"] = b.total_made;
    x["relative_closure"] = b.closure;
    x["tolerance"] = run.spec.solver.balance_tolerance;
    x["closes"] = b.closes;
    j["material_balance"] = x;
  }
  if (!run.compared.empty()) {
    json methods = json::array();
    for (const SolveRun& s : run.compared) methods.push_back(solve_json(s));
    j["methods"] = methods;
  }
  // In list order. An ordered object finds a key by searching all before it, so the entries are
  // appended to its list directly and a repeated name (the first place, the last value) is
  // found through an index: a flowsheet of 100,000 variables is written in linear time.
  json vars = json::object();
  auto& entries = static_cast<json::object_t::Container&>(vars.get_ref<json::object_t&>());
  std::unordered_map<std::string, size_t> where;
  const int varlst = run.plant->lists().varlst;
  for (int p = 1, n = kvovarlst_inq_nvar(varlst); p <= n; ++p) {
    const char* name = kvovarlst_lookup_var_name(varlst, p);
    if (!name || !*name) continue;
    const double value = kvovarlst_inq_var_value(varlst, p, 0);
    const auto [at, first] = where.emplace(name, entries.size());
    if (first)
      entries.emplace_back(name, value);
    else
      entries[at->second].second = value;
  }
  j["variables"] = std::move(vars);
  // Names come from the file and the command line and need not be UTF-8: a byte that is not
  // is written as U+FFFD rather than losing the results.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// ---- Drawings --------------------------------------------------------------------------------

SpyPlot flowsheet_plot(const RunState& run) {
  const kvoref::Lists& l = run.plant->lists();
  SpyPlot p;
  p.title =
      "Flowsheet Jacobian: " + (run.spec.title.empty() ? utf8_of(run.spec.file) : run.spec.title);
  p.rows = kvoeqnlst_inq_neqn(l.eqnlst);
  p.cols = kvovarlst_inq_nvar(l.varlst);
  for (const BlockRun& b : run.blocks)
    p.blocks.push_back({b.spec->id, kvoblk_inq_estart(b.blk), kvoblk_inq_estop(b.blk),
                        kvoblk_inq_vstart(b.blk), kvoblk_inq_vstop(b.blk)});
  if (const kvoref::Connections* c = run.plant->connections())
    for (int e = c->estart(); e <= c->estop(); ++e) p.connection_rows.push_back(e);
  for (int v = 1; v <= p.cols; ++v)
    if (kvovarlst_inq_var_status(l.varlst, v) & kvoref::VAR_FIXED) p.fixed_cols.push_back(v);
  // Non-zeros of the blocks and the connections; positions past the used ones are not drawn.
  std::set<Cell> cells;
  for (int k = 1, n = kvojac_inq_nnz(l.jac); k <= n; ++k) {
    const int e = kvojac_inq_nz_eqnnum(l.jac, k), v = kvojac_inq_nz_varnum(l.jac, k);
    if (e >= 1 && e <= p.rows && v >= 1 && v <= p.cols) cells.emplace(e, v);
  }
  p.cells.assign(cells.begin(), cells.end());
  return p;
}

// The block's column groups as the host's grouping service forms them for numeric Jacobians.
// The groups are read off a dry run of the service's differencing protocol on a copy of the
// block's variables: at every request the variables it perturbed together are one group.
std::vector<int> column_groups(const std::vector<Cell>& local, int nvar, int neq) {
  std::vector<int> group(nvar, 0);
  int nnz = static_cast<int>(local.size());
  if (nnz == 0 || nvar == 0) return group;
  std::vector<int> irn, icn;
  for (const Cell& c : local) {
    irn.push_back(c.first);
    icn.push_back(c.second);
  }
  int handle = 0, info = 0, eoff = 0, voff = 0, zero = 0, status = 0;
  U3VGRP_CREATE(&nvar, &neq, &nnz, &handle);
  if (handle == 0) return group;
  U3VGRP_COMPUTE(irn.data(), icn.data(), &info, &eoff, &voff, &zero, &handle, &status);
  if (status == 0) {
    std::vector<double> x(nvar, 1.0), scale(nvar, 1.0), f(std::max(neq, 1), 0.0), bj(nnz, 0.0),
        par(100, 0.0);
    std::vector<int> vstat(nvar, 0);
    double pert = 1e-6;
    int request = 0, g = 0;
    // One request per group and one for the base point; the bound only guards against a
    // service that never finishes.
    for (int round = 0; round <= nvar + 1; ++round) {
      U3NJAC_COMPUTE(&handle, x.data(), scale.data(), vstat.data(), f.data(), &voff, icn.data(),
                     par.data(), &pert, bj.data(), &request, &status);
      if (status != 0 || request != 1) break;
      // A request at the unperturbed point (the base residuals) is no group.
      bool moved = false;
      for (int v = 0; v < nvar; ++v) moved = moved || x[v] != 1.0;
      if (!moved) continue;
      ++g;
      for (int v = 0; v < nvar; ++v)
        if (x[v] != 1.0) group[v] = g;
    }
    if (request == 1) {
      request = -1;
      U3NJAC_COMPUTE(&handle, x.data(), scale.data(), vstat.data(), f.data(), &voff, icn.data(),
                     par.data(), &pert, bj.data(), &request, &status);
    }
  }
  U3VGRP_DESTROY(&handle);
  return group;
}

const BlockRun* pattern_block(const RunState& run) {
  for (const BlockRun& b : run.blocks)
    if (b.spec->id == run.options.svg_block) return &b;
  // Without a choice: the block whose numeric Jacobians use the groups, else the largest.
  for (const BlockRun& b : run.blocks)
    if (b.method == KVOBLK_NUMERIC || b.method == KVOBLK_UPDATE_NUMERIC) return &b;
  if (run.blocks.empty()) return nullptr;
  const BlockRun* best = &run.blocks.front();
  for (const BlockRun& b : run.blocks)
    if (count(kvoblk_inq_nzstart(b.blk), kvoblk_inq_nzstop(b.blk)) >
        count(kvoblk_inq_nzstart(best->blk), kvoblk_inq_nzstop(best->blk)))
      best = &b;
  return best;
}

GroupPlot block_plot(const RunState& run, const BlockRun& b) {
  const kvoref::Lists& l = run.plant->lists();
  GroupPlot p;
  const int vs = kvoblk_inq_vstart(b.blk), es = kvoblk_inq_estart(b.blk);
  p.rows = count(es, kvoblk_inq_estop(b.blk));
  p.cols = count(vs, kvoblk_inq_vstop(b.blk));
  p.title = "Block " + b.spec->id + " (" + b.model + "): pattern and column groups";
  for (int k = kvoblk_inq_nzstart(b.blk); k <= kvoblk_inq_nzstop(b.blk); ++k) {
    const int e = kvojac_inq_nz_eqnnum(l.jac, k) - es + 1;
    const int v = kvojac_inq_nz_varnum(l.jac, k) - vs + 1;
    if (e >= 1 && e <= p.rows && v >= 1 && v <= p.cols) p.cells.emplace_back(e, v);
  }
  p.group_of_col = column_groups(p.cells, p.cols, p.rows);
  const std::string prefix = b.spec->id + ".";
  for (int v = vs; v < vs + p.cols; ++v) {
    std::string name = kvovarlst_lookup_var_name(l.varlst, v);
    if (name.rfind(prefix, 0) == 0) name = name.substr(prefix.size());
    p.col_names.push_back(name);
  }
  return p;
}

HistoryPlot history_plot(const RunState& run) {
  HistoryPlot p;
  p.title = "Convergence: largest residual per Newton step";
  p.y_label = "largest absolute residual";
  p.tolerance = run.spec.solver.tolerance;
  if (run.compared.empty()) {
    p.series.push_back({"as specified", run.main.history});
  } else {
    for (const SolveRun& s : run.compared)
      if (!s.refused) p.series.push_back({s.label, s.history});
  }
  return p;
}

}  // namespace

int write_outputs(const RunState& run) {
  int status = EXIT_SOLVED;
  std::string why;
  // A result or drawing is never written over a file the run read or wrote: the flowsheet file,
  // the plug-ins, the blocks' pattern files, and for a drawing the results.
  std::vector<std::pair<std::string, std::string>> kept = {
      {run.options.file, "the flowsheet file"}};
  for (const ModelDef& m : run.catalogue.models())
    if (!m.plugin.empty()) kept.emplace_back(m.plugin, "the plug-in");
  for (const BlockRun& b : run.blocks)
    if (b.pattern == KVOBLK_PAT_RESTORE && !b.pattern_file.empty())
      kept.emplace_back(b.pattern_file, "the pattern file");
  auto is_input = [&kept](const std::string& path) {
    for (const auto& [file, what] : kept) {
      if (!same_file(path_of(path), path_of(file))) continue;
      kvoref::start_line(kvHisDev);
      kvoprintf(kvHisDev, "!! kvoflow: will not write over %s %s\n", what.c_str(), path.c_str());
      return true;
    }
    return false;
  };
  if (!run.options.json.empty()) {
    if (is_input(run.options.json))
      status = EXIT_OUTPUT;
    else if (write_file(run.options.json, results_json(run), &why))
      run.say("Results written to %s\n", run.options.json.c_str());
    else {
      kvoref::start_line(kvHisDev);
      kvoprintf(kvHisDev, "!! kvoflow: %s\n", why.c_str());
      status = EXIT_OUTPUT;
    }
  }
  if (!run.options.json.empty()) kept.emplace_back(run.options.json, "the results");
  if (!run.options.svg_dir.empty()) {
    const std::filesystem::path dir = path_of(run.options.svg_dir);
    make_folders(dir);
    std::vector<std::pair<std::string, std::string>> files;
    files.emplace_back(name_of(dir / "jacobian.svg"), spy_svg(flowsheet_plot(run)));
    if (const BlockRun* b = pattern_block(run))
      files.emplace_back(name_of(dir / ("pattern-" + b->spec->id + ".svg")),
                         groups_svg(block_plot(run, *b)));
    files.emplace_back(name_of(dir / "convergence.svg"), history_svg(history_plot(run)));
    for (const auto& [path, text] : files) {
      if (is_input(path)) {
        status = EXIT_OUTPUT;
      } else if (write_file(path, text, &why)) {
        run.say("Drawing written to %s\n", path.c_str());
      } else {
        kvoref::start_line(kvHisDev);
        kvoprintf(kvHisDev, "!! kvoflow: %s\n", why.c_str());
        status = EXIT_OUTPUT;
      }
    }
  }
  return status;
}

}  // namespace kvoflow
