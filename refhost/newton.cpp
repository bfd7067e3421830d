// SPDX-License-Identifier: BSD-3-Clause
// The reference host's flowsheet solver: Newton's method over every active equation and free
// variable of the flowsheet's lists, with the linear systems solved by a sparse LU (KLU) that is
// factored once and refactored on later iterations. After every step it measures each unit's
// nonlinearity ratio (how well the unit's Jacobian predicted the change of its residuals) and
// hands it to the unit, asks for fresh Jacobians when a step gained too little, stops a solve
// that diverges at the best point seen, and names the structurally singular part of a singular
// system.
#include <klu.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "kvorefhost.h"
#include "system.h"

namespace kvoref {

namespace {

// Largest absolute residual of the system's equations, and the equation that has it.
double residual_norm(const Lists& l, const detail::System& s, int* worst) {
  const double* f = kvoeqnlst_vec_residual(l.eqnlst);
  double norm = 0.0;
  *worst = 0;
  for (int e : s.eqn_of_row) {
    double r = std::fabs(f[e - 1]);
    if (std::isnan(r)) {  // a residual that is not a number decides the norm
      *worst = e;
      return r;
    }
    if (r > norm || *worst == 0) {
      norm = r;
      *worst = e;
    }
  }
  return norm;
}

bool run(const std::vector<SolverUnit*>& units, void (SolverUnit::*op)(int&), const char* what,
         std::string* message) {
  for (SolverUnit* u : units) {
    int status = 0;
    (u->*op)(status);
    if (status > 0) {
      *message = format("the %s of %s failed with status %d", what, u->name(), status);
      return false;
    }
  }
  return true;
}

double two_norm(const std::vector<double>& v) {
  double sum = 0.0;
  for (double d : v) sum += d * d;
  return std::sqrt(sum);
}

// A unit's nonlinearity ratio over one step: 1 + |actual - predicted| / scale over the unit's
// rows (2-norms), where the scale is the larger of the change the unit's Jacobian predicted and
// the whole system's residual before the step. Measured against the system's residual, a unit
// whose linear model is off by a little does not ask for a fresh Jacobian while the step still
// has far larger residuals to remove elsewhere; measured against its own predicted change, a unit
// that the step moves a lot must predict that move well. An error no larger than the solve's
// tolerance is rounding, not nonlinearity: the ratio is 1. A unit whose Jacobian predicted no
// change against a change beyond rounding gets kNlratioRefresh.
double nlratio(const std::vector<int>& rows, const std::vector<double>& f_old,
               const std::vector<double>& f_new, const std::vector<double>& predicted,
               double system_start, double tolerance) {
  double err = 0.0, pred = 0.0;
  for (int i : rows) {
    const double actual = f_new[i] - f_old[i];
    err += (actual - predicted[i]) * (actual - predicted[i]);
    pred += predicted[i] * predicted[i];
  }
  if (std::sqrt(err) <= tolerance) return 1.0;
  const double scale = std::max(pred, system_start);
  return scale > 0.0 ? 1.0 + std::sqrt(err / scale) : kNlratioRefresh;
}

// "A.X(1), A.X(2) and 3 more" style list of names of list positions.
std::string name_list(const std::vector<int>& positions, const char* (*name)(int, int), int list) {
  constexpr size_t kShown = 8;
  std::string out;
  for (size_t i = 0; i < positions.size() && i < kShown; ++i) {
    if (i) out += ", ";
    out += name(list, positions[i]);
  }
  if (positions.size() > kShown)
    out += " and " + std::to_string(positions.size() - kShown) + " more";
  return out;
}

// The solver's memory of the best point: the free variables' values where the largest residual
// was smallest.
struct BestPoint {
  double norm = INFINITY;
  std::vector<double> x;
};

void capture(const Lists& l, const detail::System& s, std::vector<double>* x) {
  x->resize(s.var_of_col.size());
  for (size_t i = 0; i < s.var_of_col.size(); ++i)
    (*x)[i] = kvovarlst_inq_var_value(l.varlst, s.var_of_col[i], 0);
}

}  // namespace

NewtonReport newton_solve(const Lists& lists, const std::vector<SolverUnit*>& units,
                          const NewtonOptions& options) {
  NewtonReport report;
  // A tolerance that no residual can meet, or a step limit that moves nothing or everything,
  // would spend every iteration allowed and then blame the flowsheet.
  if (!(options.tolerance >= 0.0)) {
    report.message = "the tolerance must be a number of 0 or more";
    return report;
  }
  if (!(options.step_limit > 0.0)) {
    report.message = "the step limit must be a number above 0";
    return report;
  }
  std::vector<SolverUnit*> started;
  for (SolverUnit* u : units) {
    int status = 0;
    u->pre_solve(status);
    started.push_back(u);
    if (status > 0) {
      report.message = format("the pre-solve of %s failed with status %d", u->name(), status);
      break;
    }
  }

  klu_common common;
  klu_defaults(&common);
  klu_symbolic* symbolic = nullptr;
  klu_numeric* numeric = nullptr;
  const detail::System sys = detail::build_system(lists);
  const int n = static_cast<int>(sys.var_of_col.size());
  const int m = static_cast<int>(sys.eqn_of_row.size());
  std::vector<double> Ax(sys.Ai.size()), step(n);

  if (report.message.empty() && n != m)
    report.message = format("the flowsheet has %d free variables but %d active equations", n, m);

  // Rows of each unit, for its nonlinearity ratio.
  std::vector<std::vector<int>> unit_rows(units.size());
  for (size_t u = 0; u < units.size(); ++u) {
    int first = 1, last = 0;
    units[u]->equation_range(&first, &last);
    for (int e = std::max(first, 1); e <= last && e < static_cast<int>(sys.row_of_eqn.size()); ++e)
      if (sys.row_of_eqn[e] >= 0) unit_rows[u].push_back(sys.row_of_eqn[e]);
  }

  BestPoint best;
  std::vector<double> f_old(m), predicted(m), x_old, x_new;
  bool have_step = false;
  double lambda = 0.0;
  auto restore_best = [&]() {
    report.at_lower.clear();
    report.at_upper.clear();
    for (int i = 0; i < n; ++i) {
      const int p = sys.var_of_col[i];
      const double x = kvovarlst_inq_var_value(lists.varlst, p, 0);
      if (x == kvovarlst_inq_var_lower(lists.varlst, p, 0))
        report.at_lower.push_back(p);
      else if (x == kvovarlst_inq_var_upper(lists.varlst, p, 0))
        report.at_upper.push_back(p);
    }
    if (best.x.empty() || report.iterations == 0) return;
    for (int i = 0; i < n; ++i)
      kvovarlst_set_var_value(lists.varlst, sys.var_of_col[i], best.x[i], 0);
    std::string ignored;
    ++report.residual_calls;
    run(units, &SolverUnit::residuals, "residual evaluation", &ignored);
    int worst = 0;
    report.norm = residual_norm(lists, sys, &worst);
  };

  while (report.message.empty()) {
    ++report.residual_calls;
    // A unit that cannot evaluate the point a step reached leaves the lists holding that point
    // with residuals of the one before: the variables go back to the best point seen, as they
    // do when a Jacobian cannot be evaluated.
    if (!run(units, &SolverUnit::residuals, "residual evaluation", &report.message)) {
      restore_best();
      break;
    }
    int worst = 0;
    report.norm = residual_norm(lists, sys, &worst);
    report.history.push_back(report.norm);
    const double* f = kvoeqnlst_vec_residual(lists.eqnlst);

    NewtonProgress progress;
    progress.step = report.iterations;
    progress.norm = report.norm;
    progress.worst_eqn = worst;
    progress.worst_name = worst ? kvoeqnlst_lookup_eqn_name(lists.eqnlst, worst) : "";
    progress.step_length = have_step ? lambda : 0.0;

    // How well did each unit's linear model predict the step's effect on its residuals?
    if (have_step && std::isfinite(report.norm)) {
      std::vector<double> f_new(m);
      for (int i = 0; i < m; ++i) f_new[i] = f[sys.eqn_of_row[i] - 1];
      if (options.nlratio) {
        double system_start = 0.0;
        for (int i = 0; i < m; ++i) system_start += f_old[i] * f_old[i];
        for (size_t u = 0; u < units.size(); ++u)
          units[u]->set_nlratio(
              nlratio(unit_rows[u], f_old, f_new, predicted, system_start, options.tolerance));
      }
      // A step that gained too little for the share of the Newton step taken: every Jacobian
      // of the next step is evaluated afresh.
      const double wanted = 1.0 - (1.0 - options.refresh_reduction) * lambda;
      if (two_norm(f_new) > wanted * two_norm(f_old)) {
        for (SolverUnit* u : units) u->set_nlratio(kNlratioRefresh);
        ++report.refreshes;
        progress.refreshed = true;
      }
    }
    progress.residual_passes = report.residual_calls;
    progress.jacobian_passes = report.jacobian_calls;
    if (options.trace)
      kvoprintf(kvHisDev, "  Newton iteration %2d: largest residual %.3e\n", report.iterations,
                report.norm);
    if (options.progress) options.progress(progress);

    if (report.norm <= options.tolerance) {
      report.converged = true;
      break;
    }
    if (!std::isfinite(report.norm)) {
      report.message = format("the residual of equation %s is not a number",
                              kvoeqnlst_lookup_eqn_name(lists.eqnlst, worst));
      report.diverged = report.iterations > 0;
      restore_best();
      break;
    }
    if (report.iterations > 0 && report.norm > 1.0 &&
        report.norm > options.divergence_factor * best.norm) {
      report.message = format(
          "the solve diverges: the largest residual grew from %.3e to %.3e (equation %s); the "
          "variables are back at the best point seen",
          best.norm, report.norm, kvoeqnlst_lookup_eqn_name(lists.eqnlst, worst));
      report.diverged = true;
      restore_best();
      break;
    }
    if (report.norm < best.norm) {
      best.norm = report.norm;
      capture(lists, sys, &best.x);
    }
    if (report.iterations >= options.max_iterations) {
      report.message =
          format("no convergence after %d iterations: largest residual %.3e in equation %s",
                 report.iterations, report.norm, kvoeqnlst_lookup_eqn_name(lists.eqnlst, worst));
      restore_best();
      break;
    }
    ++report.jacobian_calls;
    if (!run(units, &SolverUnit::jacobian, "Jacobian evaluation", &report.message)) {
      restore_best();
      break;
    }

    // Gather the Jacobian values into the compressed columns, summing duplicates.
    std::fill(Ax.begin(), Ax.end(), 0.0);
    const double* bj = kvojac_vec_bj(lists.jac);
    for (size_t k = 0; k < sys.slot_of_nz.size(); ++k)
      if (sys.slot_of_nz[k] >= 0) Ax[sys.slot_of_nz[k]] += bj[k];

    if (!symbolic)
      symbolic =
          klu_analyze(n, const_cast<int*>(sys.Ap.data()), const_cast<int*>(sys.Ai.data()), &common);
    bool factored = false;
    // A refactorisation keeps the old pivot order; when that has become unstable, factor anew.
    if (symbolic && numeric)
      factored = klu_refactor(const_cast<int*>(sys.Ap.data()), const_cast<int*>(sys.Ai.data()),
                              Ax.data(), symbolic, numeric, &common) &&
                 klu_rcond(symbolic, numeric, &common) && common.rcond >= 1e-12;
    if (symbolic && !factored) {
      if (numeric) klu_free_numeric(&numeric, &common);
      numeric = klu_factor(const_cast<int*>(sys.Ap.data()), const_cast<int*>(sys.Ai.data()),
                           Ax.data(), symbolic, &common);
      factored = numeric != nullptr && common.status == KLU_OK;
    }
    if (!factored) {
      report.singular = true;
      const StructuralReport st = structural_singularity(lists);
      std::vector<int> eqns = st.over_eqns, vars = st.over_vars;
      eqns.insert(eqns.end(), st.under_eqns.begin(), st.under_eqns.end());
      vars.insert(vars.end(), st.under_vars.begin(), st.under_vars.end());
      std::sort(eqns.begin(), eqns.end());
      eqns.erase(std::unique(eqns.begin(), eqns.end()), eqns.end());
      std::sort(vars.begin(), vars.end());
      vars.erase(std::unique(vars.begin(), vars.end()), vars.end());
      report.singular_eqns = eqns;
      report.singular_vars = vars;
      if (st.singular())
        report.message = "the Jacobian is structurally singular: equations " +
                         name_list(eqns, kvoeqnlst_lookup_eqn_name, lists.eqnlst) +
                         " cannot be matched with variables " +
                         name_list(vars, kvovarlst_lookup_var_name, lists.varlst);
      else
        report.message = "the Jacobian is singular (the linear system has no unique solution)";
      restore_best();
      break;
    }
    for (int i = 0; i < n; ++i) step[i] = -f[sys.eqn_of_row[i] - 1];
    if (!klu_solve(symbolic, numeric, n, 1, step.data(), &common)) {
      report.message = "the linear solve failed";
      restore_best();
      break;
    }
    if (!std::all_of(step.begin(), step.end(), [](double d) { return std::isfinite(d); })) {
      report.message = "the linear solve gave a step that is not a number";
      restore_best();
      break;
    }

    // Limit the step so that no variable changes by more than its share, then keep every
    // variable within its bounds.
    lambda = 1.0;
    capture(lists, sys, &x_old);
    for (int i = 0; i < n; ++i) {
      const double allowed = options.step_limit * std::max(std::fabs(x_old[i]), 1.0);
      if (std::fabs(step[i]) * lambda > allowed) lambda = allowed / std::fabs(step[i]);
    }
    for (int i = 0; i < m; ++i) f_old[i] = f[sys.eqn_of_row[i] - 1];
    for (int i = 0; i < n; ++i) {
      const int p = sys.var_of_col[i];
      double x = x_old[i] + lambda * step[i];
      x = std::min(std::max(x, kvovarlst_inq_var_lower(lists.varlst, p, 0)),
                   kvovarlst_inq_var_upper(lists.varlst, p, 0));
      kvovarlst_set_var_value(lists.varlst, p, x, 0);
    }
    // The change of every residual the Jacobian predicts for the step actually taken.
    capture(lists, sys, &x_new);
    std::fill(predicted.begin(), predicted.end(), 0.0);
    for (int j = 0; j < n; ++j) {
      const double dx = x_new[j] - x_old[j];
      if (dx == 0.0) continue;
      for (int p = sys.Ap[j]; p < sys.Ap[j + 1]; ++p) predicted[sys.Ai[p]] += Ax[p] * dx;
    }
    have_step = true;
    ++report.iterations;
  }

  if (numeric) klu_free_numeric(&numeric, &common);
  if (symbolic) klu_free_symbolic(&symbolic, &common);
  for (SolverUnit* u : started) {
    int status = 0;
    u->post_solve(status);
  }
  return report;
}

}  // namespace kvoref
