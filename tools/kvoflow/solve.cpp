// SPDX-License-Identifier: BSD-3-Clause
// Solving the plant: Newton's method from the starting point with one progress line per step,
// then, when asked, once more with each of the four derivative methods from the same start.
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include "kvoconnect.h"
#include "state.h"

namespace kvoflow {

namespace {

SolveRun solve_once(RunState& run, const std::string& label, int method) {
  Plant& plant = *run.plant;
  SolveRun s;
  s.label = label;
  s.method = method;
  kvoref::NewtonOptions options;
  options.max_iterations = run.spec.solver.max_iterations;
  options.tolerance = run.spec.solver.tolerance;
  options.step_limit = run.spec.solver.step_limit;
  options.progress = [&](const kvoref::NewtonProgress& p) {
    s.history.push_back(p.norm);
    const Plant::BlockCounts c = plant.total_counts();
    if (p.step == 0) {
      run.say("  %4s  %10s  %-28s  %7s  %19s\n", "", "largest", "", "step", "evaluations so far");
      run.say("  %4s  %10s  %-28s  %7s  %9s  %9s\n", "step", "residual", "in equation", "length",
              "residual", "Jacobian");
    }
    char length[16] = "-";
    if (p.step > 0) std::snprintf(length, sizeof length, "%7.3g", p.step_length);
    run.say("  %4d  %10.3e  %-28s  %7s  %9ld  %9d%s\n", p.step, p.norm, p.worst_name.c_str(),
            length, c.residuals, c.jacobians, p.refreshed ? "  (Jacobians refreshed)" : "");
  };
  plant.reset_counts();
  const auto t0 = std::chrono::steady_clock::now();
  s.report = plant.solve(options);
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  s.counts = plant.total_counts();
  if (s.history.empty()) s.history = s.report.history;
  return s;
}

// The variables that sat on a bound where the solve stopped, each with that bound ("NAME (lower
// bound 0)"), at most `limit` of them and a count of the rest.
std::string on_bounds(const Plant& plant, const kvoref::NewtonReport& r, size_t limit) {
  const int varlst = plant.lists().varlst;
  std::vector<std::pair<int, bool>> held;  // position, on the lower bound
  for (int p : r.at_lower) held.emplace_back(p, true);
  for (int p : r.at_upper) held.emplace_back(p, false);
  std::string s;
  for (size_t i = 0; i < held.size() && i < limit; ++i) {
    const int p = held[i].first;
    const bool lower = held[i].second;
    s += kvoref::format("%s%s (%s bound %.6g)", s.empty() ? "" : ", ",
                        kvovarlst_lookup_var_name(varlst, p), lower ? "lower" : "upper",
                        lower ? kvovarlst_inq_var_lower(varlst, p, 0)
                              : kvovarlst_inq_var_upper(varlst, p, 0));
  }
  if (held.size() > limit)
    s += kvoref::format(" and %d more", static_cast<int>(held.size() - limit));
  return s;
}

// What went wrong in a solve, in sentences, with the equations and variables to look at.
void explain(const RunState& run, const SolveRun& s) {
  const Plant& plant = *run.plant;
  kvoprintf(kvHisDev, "The solve (%s) stopped: %s.\n", s.label.c_str(), s.report.message.c_str());
  // A variable held on a bound is where the equations most often have no solution, and where
  // a Jacobian turns singular: a flow or a phase that would have to vanish or turn negative.
  const int held = static_cast<int>(s.report.at_lower.size() + s.report.at_upper.size());
  if (s.report.singular && (!s.report.singular_eqns.empty() || !s.report.singular_vars.empty()))
    kvoprintf(kvHisDev,
              "  The structurally singular part: equations %s cannot be solved for variables "
              "%s.\n",
              eqn_names(plant, s.report.singular_eqns, 24).c_str(),
              var_names(plant, s.report.singular_vars, 24).c_str());
  else if (s.report.singular && held == 0)
    kvoprintf(kvHisDev, "  Other starting guesses ([guess] in the flowsheet file) may avoid it.\n");
  if (held > 0)
    kvoprintf(kvHisDev,
              "  Where it stopped, %d free variable%s on a bound: %s. The flowsheet may have no "
              "solution within the bounds (a flow or a phase that would have to vanish or "
              "turn negative).\n",
              held, held == 1 ? " was" : "s were", on_bounds(plant, s.report, 12).c_str());
  if (s.report.diverged || s.report.iterations > 0)
    kvoprintf(kvHisDev,
              "  The variables hold the best point reached (largest residual %.3e); the report "
              "shows it.\n",
              s.report.norm);
  // A wrong analytic derivative makes Newton's method creep or run off, which looks like a
  // flowsheet without a solution; the models' derivatives are checked where the solve ended.
  name_differing_derivatives(run);
}

}  // namespace

int solve_plant(RunState& run) {
  Plant& plant = *run.plant;
  run.start = snapshot(plant);
  run.say("\nSolving (Newton's method, sparse LU; converged when no residual exceeds %s)\n",
          tolerance_text(run.spec.solver.tolerance).c_str());
  run.main = solve_once(run, "as specified", 0);
  for (BlockRun& b : run.blocks) b.counts = plant.counts(b.blk);
  if (!run.main.report.converged) explain(run, run.main);

  if (run.options.compare_methods) {
    const std::vector<double> solution = snapshot(plant);
    for (int m = KVOBLK_ANALYTIC; m <= KVOBLK_UPDATE_ANALYTIC; ++m) {
      restore(plant, run.start);
      run.say("\nSolving with %s in every block, from the same start\n", method_name(m));
      if (!plant.set_method(m)) {
        SolveRun s;
        s.label = method_name(m);
        s.method = m;
        s.refused = true;
        for (const BlockRun& b : run.blocks)
          if (kvoblk_inq_deriv_type(b.blk) != m)
            s.refused_why += (s.refused_why.empty() ? "" : ", ") + b.spec->id;
        s.refused_why = "refused by block " + s.refused_why;
        run.say("  %s\n", s.refused_why.c_str());
        run.compared.push_back(s);
        continue;
      }
      run.compared.push_back(solve_once(run, method_name(m), m));
      if (!run.compared.back().report.converged) explain(run, run.compared.back());
    }
    for (const BlockRun& b : run.blocks) kvoblk_set_deriv_type(b.blk, b.method);
    restore(plant, solution);
  }
  return run.main.report.converged ? EXIT_SOLVED : EXIT_SOLVE;
}

}  // namespace kvoflow
