// SPDX-License-Identifier: BSD-3-Clause
// The final report: a stream table of every connection and boundary stream, the overall material
// balance, and per block its size, derivative method, pattern source and evaluations; with
// --compare-methods a table of the four methods' costs.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "cstr.h"
#include "kvoconnect.h"
#include "state.h"

namespace kvoflow {

namespace {

bool is_flow(int kind) {
  return kind == kvoref::KIND_VOLUME_FLOW || kind == kvoref::KIND_MOLAR_FLOW;
}
bool is_composition(int kind) {
  return kind == kvoref::KIND_CONCENTRATION || kind == kvoref::KIND_MOLE_FRACTION;
}

Stream stream_of(const Plant& plant, kvoref::Port* port, const std::string& name,
                 const std::string& from, const std::string& to) {
  Stream s;
  s.name = name;
  s.from = from;
  s.to = to;
  const int varlst = plant.lists().varlst;
  for (int j = 0; j < port->num_vars(); ++j) {
    StreamRow r;
    r.label = port->label(j);
    if (r.label.empty()) r.label = "v" + std::to_string(j + 1);
    r.kind = port->kind(j);
    r.value = port->var(j) >= 1 ? kvovarlst_inq_var_value(varlst, port->var(j), 0) : 0.0;
    s.rows.push_back(r);
  }
  return s;
}

// Component flows of a stream (flow times each composition), keyed by the composition's label;
// empty when the stream has no flow or no composition.
std::map<std::string, double> component_flows(const Stream& s) {
  std::map<std::string, double> c;
  const StreamRow* flow = nullptr;
  for (const StreamRow& r : s.rows)
    if (is_flow(r.kind)) flow = &r;
  if (!flow) return c;
  for (const StreamRow& r : s.rows)
    if (is_composition(r.kind)) c[r.label] = flow->value * r.value;
  return c;
}

std::string unit_of(const std::vector<Stream>& streams) {
  for (const Stream& s : streams)
    for (const StreamRow& r : s.rows)
      if (r.kind == kvoref::KIND_VOLUME_FLOW) return "kmol/h";  // m3/h times kmol/m3
  return "kmol/h";
}

}  // namespace

void collect_results(RunState& run) {
  const Plant& plant = *run.plant;
  run.streams.clear();
  std::vector<Stream> feeds, products;
  if (const kvoref::Connections* conns = plant.connections())
    for (const kvoref::Connections::Info& c : conns->list()) {
      // A connection whose outlet port is gone carries no stream to show.
      if (c.from)
        run.streams.push_back(stream_of(plant, c.from, c.name, kvoref::port_full_name(c.from),
                                        kvoref::port_full_name(c.to)));
    }
  // Ports no connection uses are where material enters (inlets) or leaves (outlets).
  for (const BlockRun& b : run.blocks) {
    for (int i = 1, n = kvoblk_inq_num_ports(b.blk); i <= n; ++i) {
      auto* port = dynamic_cast<kvoref::Port*>(kvoblk_get_port_n(b.blk, i));
      if (!port || (plant.connections() && plant.connections()->of_port(port))) continue;
      const std::string name = kvoref::port_full_name(port);
      if (port->direction() == kvoref::PORT_INLET) {
        feeds.push_back(stream_of(plant, port, "feed " + name, "(feed)", name));
        run.streams.push_back(feeds.back());
      } else if (port->direction() == kvoref::PORT_OUTLET) {
        products.push_back(stream_of(plant, port, "product " + name, name, "(product)"));
        run.streams.push_back(products.back());
      }
    }
  }

  // The overall balance: what the feeds bring, what the products take away, and what the
  // reactions make or use. Only the stirred-tank chain reacts among the built-in models: each
  // tank converts V k CA^n of A into as much B, by its rate law at the tank's solved state.
  Balance& bal = run.balance;
  bal = Balance();
  bal.unit = unit_of(run.streams);
  std::map<std::string, double> in, out, made;
  for (const Stream& s : feeds)
    for (const auto& [c, f] : component_flows(s)) in[c] += f;
  for (const Stream& s : products)
    for (const auto& [c, f] : component_flows(s)) out[c] += f;
  for (const BlockRun& b : run.blocks) {
    if (!cstr_is_block(b.blk)) continue;
    const CstrParams p = cstr_params(b.blk);
    double reacted = 0.0;
    for (int tank = 1, n = cstr_ntanks(b.blk); tank <= n; ++tank) {
      const double ca = cstr_value(b.blk, tank, CSTR_CA);
      reacted += p.volume * p.rate_constant * (p.order == 1 ? ca : ca * ca);
    }
    made["CA"] -= reacted;
    made["CB"] += reacted;
  }
  std::set<std::string> names;
  for (const auto* m : {&in, &out, &made})
    for (const auto& kv : *m) names.insert(kv.first);
  bal.available = !in.empty() && !out.empty();
  if (!bal.available) return;
  for (const std::string& c : names) {
    bal.components.push_back(c);
    bal.in.push_back(in[c]);
    bal.out.push_back(out[c]);
    bal.made.push_back(made[c]);
    bal.total_in += in[c];
    bal.total_out += out[c];
    bal.total_made += made[c];
  }
  const double scale = std::max(std::fabs(bal.total_in), 1e-300);
  bal.closure = std::fabs(bal.total_in + bal.total_made - bal.total_out) / scale;
  for (size_t k = 0; k < bal.components.size(); ++k)
    bal.closure = std::max(bal.closure, std::fabs(bal.in[k] + bal.made[k] - bal.out[k]) / scale);
  if (std::isnan(bal.closure)) bal.closure = INFINITY;
  bal.closes = bal.closure <= run.spec.solver.balance_tolerance;
}

namespace {

void heading(const char* title) { kvoprintf(kvHisDev, "\n== %s ==\n", title); }

const char* unit_text(int kind) {
  const char* u = kvoref::port_var_kind_unit(kind);
  return u && *u ? u : "";
}

// Streams as columns, their variables as rows; streams of another kind of variable (a thermal
// stream beside liquid ones) get their own table.
void stream_tables(const RunState& run) {
  std::vector<std::vector<const Stream*>> tables;
  std::vector<std::string> signatures;
  for (const Stream& s : run.streams) {
    std::string sig;
    for (const StreamRow& r : s.rows) sig += r.label + "/" + std::to_string(r.kind) + ";";
    auto it = std::find(signatures.begin(), signatures.end(), sig);
    if (it == signatures.end()) {
      signatures.push_back(sig);
      tables.push_back({&s});
    } else {
      tables[it - signatures.begin()].push_back(&s);
    }
  }
  constexpr size_t kPerTable = 6;  // streams side by side within 100 columns
  for (const auto& table : tables) {
    for (size_t first = 0; first < table.size(); first += kPerTable) {
      const size_t last = std::min(table.size(), first + kPerTable);
      kvoprintf(kvHisDev, "\n  %-16s", "stream");
      for (size_t i = first; i < last; ++i) kvoprintf(kvHisDev, " %12zu", i + 1);
      kvoprintf(kvHisDev, "\n  %-16s", "from");
      for (size_t i = first; i < last; ++i) kvoprintf(kvHisDev, " %12.12s", table[i]->from.c_str());
      kvoprintf(kvHisDev, "\n  %-16s", "to");
      for (size_t i = first; i < last; ++i) kvoprintf(kvHisDev, " %12.12s", table[i]->to.c_str());
      kvoprintf(kvHisDev, "\n");
      const Stream& head = *table.front();
      for (size_t r = 0; r < head.rows.size(); ++r) {
        char label[64];
        std::snprintf(label, sizeof label, "%s %s", head.rows[r].label.c_str(),
                      unit_text(head.rows[r].kind));
        kvoprintf(kvHisDev, "  %-16s", label);
        for (size_t i = first; i < last; ++i)
          kvoprintf(kvHisDev, " %12.5g", table[i]->rows[r].value);
        kvoprintf(kvHisDev, "\n");
      }
      // A column holds 12 characters; a longer port name is cut there (two outlets of one
      // block with a long id would look alike), so such streams are named in full below.
      for (size_t i = first; i < last; ++i)
        if (table[i]->from.size() > 12 || table[i]->to.size() > 12)
          kvoprintf(kvHisDev, "  %-16zu %s -> %s\n", i + 1, table[i]->from.c_str(),
                    table[i]->to.c_str());
    }
  }
}

void balance_table(const RunState& run) {
  const Balance& b = run.balance;
  if (!b.available) {
    kvoprintf(kvHisDev,
              "  No feed and product streams with a flow and a composition: no material "
              "balance.\n");
    return;
  }
  kvoprintf(kvHisDev, "  %-34s", b.unit.c_str());
  for (const std::string& c : b.components) kvoprintf(kvHisDev, " %12s", c.c_str());
  kvoprintf(kvHisDev, " %12s\n", "total");
  const struct {
    const char* what;
    const std::vector<double>& v;
    double total;
  } rows[] = {{"enters with the feeds", b.in, b.total_in},
              {"leaves with the products", b.out, b.total_out},
              {"made (+) or used (-) by reaction", b.made, b.total_made}};
  for (const auto& row : rows) {
    kvoprintf(kvHisDev, "  %-34s", row.what);
    for (double x : row.v) kvoprintf(kvHisDev, " %12.6f", x);
    kvoprintf(kvHisDev, " %12.6f\n", row.total);
  }
  kvoprintf(kvHisDev, "  %-34s", "in + made - out");
  for (size_t k = 0; k < b.components.size(); ++k)
    kvoprintf(kvHisDev, " %12.3e", b.in[k] + b.made[k] - b.out[k]);
  kvoprintf(kvHisDev, " %12.3e\n", b.total_in + b.total_made - b.total_out);
  if (b.closes)
    kvoprintf(kvHisDev, "  The overall material balance closes to %.1e relative (required %s).\n",
              b.closure, tolerance_text(run.spec.solver.balance_tolerance).c_str());
  else
    kvoprintf(kvHisDev,
              "  The overall material balance does NOT close: %.1e relative, more than the "
              "required %s.\n",
              b.closure, tolerance_text(run.spec.solver.balance_tolerance).c_str());
}

std::string pattern_text(const BlockRun& b) {
  switch (b.pattern) {
    case KVOBLK_PAT_SELF:
      return "SELF (stated by the model)";
    case KVOBLK_PAT_NUMERIC:
      return "NUMERIC (detected, " + std::to_string(b.detection_residuals) + " evaluations)";
    case KVOBLK_PAT_RESTORE:
      return b.pattern_file.empty() ? std::string("RESTORE (detected, no pattern file)")
             : b.file_found         ? "RESTORE (read from " + b.pattern_file + ")"
             : b.file_saved         ? "RESTORE (detected, saved to " + b.pattern_file + ")"
                                    : "RESTORE (detected, not saved to " + b.pattern_file + ")";
    default:
      return "none";
  }
}

int count(int start, int stop) { return stop >= start ? stop - start + 1 : 0; }

}  // namespace

void print_report(const RunState& run) {
  const SolveRun& m = run.main;
  heading(("Results: " + (run.spec.title.empty() ? run.spec.file : run.spec.title)).c_str());
  if (m.report.converged)
    kvoprintf(kvHisDev, "  Solved in %d Newton steps: largest residual %.2e.\n",
              m.report.iterations, m.report.norm);
  else
    kvoprintf(kvHisDev, "  NOT SOLVED: %s. The values below are the best point reached.\n",
              m.report.message.c_str());

  heading("Streams");
  stream_tables(run);

  heading("Overall material balance");
  balance_table(run);

  heading("Blocks");
  kvoprintf(kvHisDev, "  %-8s %-12s %-16s %5s %5s %6s %9s %9s %8s  %s\n", "block", "model",
            "method", "vars", "eqns", "nz", "res evals", "jac evals", "updates", "pattern source");
  for (const BlockRun& b : run.blocks) {
    kvoprintf(kvHisDev, "  %-8s %-12s %-16s %5d %5d %6d %9ld %9d %8d  %s\n", b.spec->id.c_str(),
              b.model.c_str(), method_name(b.method),
              count(kvoblk_inq_vstart(b.blk), kvoblk_inq_vstop(b.blk)),
              count(kvoblk_inq_estart(b.blk), kvoblk_inq_estop(b.blk)),
              count(kvoblk_inq_nzstart(b.blk), kvoblk_inq_nzstop(b.blk)), b.counts.residuals,
              b.counts.jacobians, b.counts.updates, pattern_text(b).c_str());
  }
  if (const kvoref::Connections* c = run.plant->connections())
    kvoprintf(kvHisDev, "  %-8s %-12s %-16s %5s %5d %6d  (%d connection equations)\n", "streams",
              "", "", "", count(c->estart(), c->estop()), count(c->nzstart(), c->nzstop()),
              count(c->estart(), c->estop()));
  kvoprintf(kvHisDev,
            "  res evals: runs of the block's residual routine in the solve, those for numeric\n"
            "  derivatives and updates included; jac evals: Jacobian requests answered, updates:\n"
            "  those answered by a Schubert update.\n");

  if (!run.compared.empty()) {
    heading("Derivative methods compared (every block, same start)");
    kvoprintf(kvHisDev, "  %-16s %9s %6s %9s %9s %8s %9s\n", "method", "converged", "steps",
              "res evals", "jac evals", "updates", "time ms");
    for (const SolveRun& s : run.compared) {
      if (s.refused) {
        kvoprintf(kvHisDev, "  %-16s %s\n", s.label.c_str(), s.refused_why.c_str());
        continue;
      }
      kvoprintf(kvHisDev, "  %-16s %9s %6d %9ld %9d %8d %9.2f\n", s.label.c_str(),
                s.report.converged ? "yes" : "no", s.report.iterations, s.counts.residuals,
                s.counts.jacobians, s.counts.updates, 1000.0 * s.seconds);
    }
  }
}

}  // namespace kvoflow
