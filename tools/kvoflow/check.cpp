// SPDX-License-Identifier: BSD-3-Clause
// Checking the models before the solve (--check-derivatives): every pattern a model states is
// compared with the one numeric detection finds, and every analytic Jacobian with numeric
// differences at the starting point, each difference named by block, equation and variable.
// After a solve that failed, the analytic Jacobians are compared again where it ended.
#include <cmath>
#include <cstdlib>

#include <kvoblk/kvopat_compare.h>

#include "state.h"

namespace kvoflow {

namespace {

// A difference finite differencing cannot make: above its truncation and rounding errors at
// the library's perturbation (1e-6 relative), and well below a wrong term or factor.
constexpr double kRelTol = 1e-3, kAbsTol = 1e-6;

// Up to this many differing derivatives of one block are listed; the rest are counted.
constexpr int kShown = 20;

// Compares the block's analytic derivatives with numeric ones and names those that differ. With
// `intro`, only differences are told, the first of all headed by *intro, which is then cleared.
void compare_values(const RunState& run, const BlockRun& b, const char** intro = nullptr) {
  int count = 0, errors = 0;
  int* positions = nullptr;
  double *analytic = nullptr, *numeric = nullptr;
  kvoblk_jac_compare(b.blk, 0.0, kRelTol, kAbsTol, &count, &positions, &analytic, &numeric,
                     &errors);
  const kvoref::Lists& l = run.plant->lists();
  int differ = 0;
  for (int k = 0; k < count; ++k) {
    // Opposite signs alone are no fault when both values are below what differencing resolves.
    if (!(std::fabs(analytic[k] - numeric[k]) > kAbsTol) && !std::isnan(analytic[k] - numeric[k]))
      continue;
    if (differ == 0 && intro && *intro) {
      kvoprintf(kvHisDev, "%s", *intro);
      *intro = nullptr;
    }
    if (differ++ == 0)
      kvoprintf(kvHisDev,
                "  block %s: analytic derivatives that differ from numeric differences:\n",
                b.spec->id.c_str());
    if (differ > kShown) continue;
    // A host may answer no name, or an empty one; an unnamed item is shown as "?".
    const auto shown = [](const char* name) { return name && *name ? name : "?"; };
    const char* eqn =
        kvoeqnlst_lookup_eqn_name(l.eqnlst, kvojac_inq_nz_eqnnum(l.jac, positions[k]));
    const char* var =
        kvovarlst_lookup_var_name(l.varlst, kvojac_inq_nz_varnum(l.jac, positions[k]));
    kvoprintf(kvHisDev, "    d %s / d %s: analytic %.6g, numeric %.6g\n", shown(eqn), shown(var),
              analytic[k], numeric[k]);
  }
  std::free(positions);
  std::free(analytic);
  std::free(numeric);
  if (intro) {
    if (errors == 0 && differ > kShown) kvoprintf(kvHisDev, "    and %d more\n", differ - kShown);
    return;
  }
  if (errors != 0)
    kvoprintf(kvHisDev,
              "  block %s: its analytic and numeric Jacobians could not both be evaluated "
              "(status %d)\n",
              b.spec->id.c_str(), errors);
  else if (differ > kShown)
    kvoprintf(kvHisDev, "    and %d more\n", differ - kShown);
  else if (differ == 0)
    kvoprintf(kvHisDev, "  block %s: analytic derivatives agree with numeric differences\n",
              b.spec->id.c_str());
}

}  // namespace

void check_derivatives(RunState& run) {
  const std::vector<double> start = snapshot(*run.plant);
  kvoprintf(kvHisDev, "\nChecking the models' patterns and derivatives at the starting point\n");
  for (const BlockRun& b : run.blocks) {
    // A pattern the model states: numeric detection must find no entry it lacks. The library
    // prints the comparison, naming every differing equation and variable.
    if (kvoblk_inq_pat_type(b.blk) == KVOBLK_PATTYPE_ANALYTIC) {
      int errors = 0;
      kvoblk_npat_compare(b.blk, 0.0, 0.0, &errors);
    }
    if (b.method == KVOBLK_ANALYTIC || b.method == KVOBLK_UPDATE_ANALYTIC) compare_values(run, b);
  }
  // The comparisons leave the Jacobian at numeric values and each block's variables as they
  // were; the whole start goes back all the same, so the solve starts where it would have.
  restore(*run.plant, start);
}

void name_differing_derivatives(const RunState& run) {
  const char* intro =
      "  At the point the variables hold, these analytic derivatives differ from numeric "
      "differences, which alone can keep Newton's method from converging:\n";
  // The method the solve used, which --compare-methods sets in every block for its solves.
  for (const BlockRun& b : run.blocks) {
    const int method = kvoblk_inq_deriv_type(b.blk);
    if (method == KVOBLK_ANALYTIC || method == KVOBLK_UPDATE_ANALYTIC)
      compare_values(run, b, &intro);
  }
}

}  // namespace kvoflow
