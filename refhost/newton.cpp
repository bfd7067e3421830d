// The reference host's flowsheet solver: Newton's method over every active equation and free
// variable of the flowsheet's lists, with the linear systems solved by a sparse LU (KLU) that is
// factored once and refactored on later iterations.
#include <klu.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "kvorefhost.h"

namespace kvoref {

namespace {

// The sparse system of one flowsheet: which list positions take part, and where each non-zero
// of the global Jacobian lands in the compressed-column matrix.
struct System {
  std::vector<int> var_of_col;  // list position of each unknown
  std::vector<int> eqn_of_row;  // list position of each equation
  std::vector<int> Ap, Ai;      // compressed columns
  std::vector<int> slot_of_nz;  // per Jacobian entry: its value slot, or -1
};

bool defined_var(int varlst, int p) { return kvovarlst_lookup_var_name(varlst, p)[0] != '\0'; }

System build_system(const Lists& l) {
  System s;
  int nvar = kvovarlst_inq_nvar(l.varlst);
  std::vector<int> col_of_var(nvar + 1, -1);
  for (int p = 1; p <= nvar; ++p) {
    int st = kvovarlst_inq_var_status(l.varlst, p);
    if (defined_var(l.varlst, p) && !(st & VAR_FIXED) && !(st & VAR_EXCLUDED)) {
      col_of_var[p] = static_cast<int>(s.var_of_col.size());
      s.var_of_col.push_back(p);
    }
  }
  int neqn = kvoeqnlst_inq_neqn(l.eqnlst);
  std::vector<int> row_of_eqn(neqn + 1, -1);
  for (int e = 1; e <= neqn; ++e) {
    if (kvoeqnlst_lookup_eqn_name(l.eqnlst, e)[0] != '\0' &&
        u3rinc_c(kvoeqnlst_inq_eqn_status(l.eqnlst, e))) {
      row_of_eqn[e] = static_cast<int>(s.eqn_of_row.size());
      s.eqn_of_row.push_back(e);
    }
  }
  // Collect (column, row) pairs; duplicates of one position share a slot and are summed.
  int nnz = kvojac_inq_nnz(l.jac);
  s.slot_of_nz.assign(nnz, -1);
  std::map<std::pair<int, int>, std::vector<int>> cells;
  for (int k = 1; k <= nnz; ++k) {
    int e = kvojac_inq_nz_eqnnum(l.jac, k), v = kvojac_inq_nz_varnum(l.jac, k);
    if (e < 1 || e > neqn || v < 1 || v > nvar) continue;
    if (row_of_eqn[e] < 0 || col_of_var[v] < 0) continue;
    cells[{col_of_var[v], row_of_eqn[e]}].push_back(k - 1);
  }
  int n = static_cast<int>(s.var_of_col.size());
  s.Ap.assign(n + 1, 0);
  for (const auto& c : cells) {
    int slot = static_cast<int>(s.Ai.size());
    s.Ai.push_back(c.first.second);
    ++s.Ap[c.first.first + 1];
    for (int k : c.second) s.slot_of_nz[k] = slot;
  }
  for (int j = 0; j < n; ++j) s.Ap[j + 1] += s.Ap[j];
  return s;
}

// Largest absolute residual of the system's equations, and the equation that has it.
double residual_norm(const Lists& l, const System& s, int* worst) {
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

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buffer[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
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

}  // namespace

NewtonReport newton_solve(const Lists& lists, const std::vector<SolverUnit*>& units,
                          const NewtonOptions& options) {
  NewtonReport report;
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
  System sys = build_system(lists);
  const int n = static_cast<int>(sys.var_of_col.size());
  std::vector<double> Ax(sys.Ai.size()), step(n);

  if (report.message.empty() && n != static_cast<int>(sys.eqn_of_row.size()))
    report.message = format("the flowsheet has %d free variables but %d active equations", n,
                            static_cast<int>(sys.eqn_of_row.size()));

  while (report.message.empty()) {
    ++report.residual_calls;
    if (!run(units, &SolverUnit::residuals, "residual evaluation", &report.message)) break;
    int worst = 0;
    report.norm = residual_norm(lists, sys, &worst);
    if (options.trace)
      kvoprintf(kvHisDev, "  Newton iteration %2d: largest residual %.3e\n", report.iterations,
                report.norm);
    if (report.norm <= options.tolerance) {
      report.converged = true;
      break;
    }
    if (!std::isfinite(report.norm)) {
      report.message = format("the residual of equation %s is not a number",
                              kvoeqnlst_lookup_eqn_name(lists.eqnlst, worst));
      break;
    }
    if (report.iterations >= options.max_iterations) {
      report.message =
          format("no convergence after %d iterations: largest residual %.3e in equation %s",
                 report.iterations, report.norm, kvoeqnlst_lookup_eqn_name(lists.eqnlst, worst));
      break;
    }
    ++report.jacobian_calls;
    if (!run(units, &SolverUnit::jacobian, "Jacobian evaluation", &report.message)) break;

    // Gather the Jacobian values into the compressed columns, summing duplicates.
    std::fill(Ax.begin(), Ax.end(), 0.0);
    const double* bj = kvojac_vec_bj(lists.jac);
    for (size_t k = 0; k < sys.slot_of_nz.size(); ++k)
      if (sys.slot_of_nz[k] >= 0) Ax[sys.slot_of_nz[k]] += bj[k];

    if (!symbolic) symbolic = klu_analyze(n, sys.Ap.data(), sys.Ai.data(), &common);
    bool factored = false;
    // A refactorisation keeps the old pivot order; when that has become unstable, factor anew.
    if (symbolic && numeric)
      factored = klu_refactor(sys.Ap.data(), sys.Ai.data(), Ax.data(), symbolic, numeric,
                              &common) &&
                 klu_rcond(symbolic, numeric, &common) && common.rcond >= 1e-12;
    if (symbolic && !factored) {
      if (numeric) klu_free_numeric(&numeric, &common);
      numeric = klu_factor(sys.Ap.data(), sys.Ai.data(), Ax.data(), symbolic, &common);
      factored = numeric != nullptr && common.status == KLU_OK;
    }
    if (!factored) {
      report.message = "the Jacobian is singular (the linear system has no unique solution)";
      break;
    }
    const double* f = kvoeqnlst_vec_residual(lists.eqnlst);
    for (int i = 0; i < n; ++i) step[i] = -f[sys.eqn_of_row[i] - 1];
    if (!klu_solve(symbolic, numeric, n, 1, step.data(), &common)) {
      report.message = "the linear solve failed";
      break;
    }
    if (!std::all_of(step.begin(), step.end(), [](double d) { return std::isfinite(d); })) {
      report.message = "the linear solve gave a step that is not a number";
      break;
    }

    // Limit the step so that no variable changes by more than its share, then keep every
    // variable within its bounds.
    double lambda = 1.0;
    for (int i = 0; i < n; ++i) {
      double x = kvovarlst_inq_var_value(lists.varlst, sys.var_of_col[i], 0);
      double allowed = options.step_limit * std::max(std::fabs(x), 1.0);
      if (std::fabs(step[i]) * lambda > allowed) lambda = allowed / std::fabs(step[i]);
    }
    for (int i = 0; i < n; ++i) {
      int p = sys.var_of_col[i];
      double x = kvovarlst_inq_var_value(lists.varlst, p, 0) + lambda * step[i];
      x = std::min(std::max(x, kvovarlst_inq_var_lower(lists.varlst, p, 0)),
                   kvovarlst_inq_var_upper(lists.varlst, p, 0));
      kvovarlst_set_var_value(lists.varlst, p, x, 0);
    }
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
