// SPDX-License-Identifier: BSD-3-Clause
// An example plug-in model for kvoflow: a concentrator (evaporator) that boils off a fraction e of
// a liquid stream's solvent and keeps every dissolved component, so the components' flows are
// the same in and out. Ports IN and OUT carry the stirred-tank chain's liquid stream: volumetric
// flow F (m3/h) and concentrations CA, CB (kmol/m3). Variables (block-local index):
//
//   0 IN.F   1 IN.CA   2 IN.CB   3 OUT.F   4 OUT.CA   5 OUT.CB
//
// Equations and their derivatives:
//
//   FLOW:  F_out - (1 - e) F_in          = 0   d/dF_out = 1, d/dF_in = -(1 - e)
//   BALA:  F_out CA_out - F_in CA_in     = 0   d/dF_out = CA_out, d/dCA_out = F_out,
//                                              d/dF_in = -CA_in, d/dCA_in = -F_in
//   BALB:  F_out CB_out - F_in CB_in     = 0   likewise with CB
//
// Parameter: evaporated = e, the fraction of the inlet's volume boiled off (0 <= e < 1).
//
// The whole plug-in is this file: the model's routines, and the one C entry point the runner
// calls, kvoblk_plugin_create (see kvoblk/kvoplugin.h). Built as a shared object by the project
// (examples/plugin), or by hand against the installed library.
#include <kvoblk/kvoblk.h>
#include <kvoblk/kvomodel.h>
#include <kvoblk/kvoplugin.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "kvoconnect.h"
#include "kvorefhost.h"

namespace {

// The model's own record word: the evaporated fraction, a double in two words.
constexpr int kEvaporated = kvoblk_word::count;
constexpr int kWords = kvoblk_word::count + kvomodel::kRealWords;

constexpr int kVars = 6, kEqns = 3, kNonZeros = 10;
enum { IN_F, IN_CA, IN_CB, OUT_F, OUT_CA, OUT_CB };
enum { FLOW, BALA, BALB };
const char* const kVarNames[kVars] = {"IN.F", "IN.CA", "IN.CB", "OUT.F", "OUT.CA", "OUT.CB"};
const char* const kEqnNames[kEqns] = {"FLOW", "BALA", "BALB"};

// The pattern, row by row: (equation, variable).
const int kPattern[kNonZeros][2] = {{FLOW, IN_F},  {FLOW, OUT_F},  {BALA, IN_F}, {BALA, IN_CA},
                                    {BALA, OUT_F}, {BALA, OUT_CA}, {BALB, IN_F}, {BALB, IN_CB},
                                    {BALB, OUT_F}, {BALB, OUT_CB}};

double evaporated(int blk) { return kvomodel::real(blk, kEvaporated); }

// d(equation e)/d(variable i) at the block's current values.
double partial(int blk, int e, int i) {
  const double* x = kvomodel::var_values(blk);
  if (!x) return 0.0;
  switch (e) {
    case FLOW:
      return i == OUT_F ? 1.0 : i == IN_F ? -(1.0 - evaporated(blk)) : 0.0;
    case BALA:
    case BALB: {
      const int cin = e == BALA ? IN_CA : IN_CB, cout = e == BALA ? OUT_CA : OUT_CB;
      if (i == OUT_F) return x[cout];
      if (i == cout) return x[OUT_F];
      if (i == IN_F) return -x[cin];
      if (i == cin) return -x[IN_F];
      return 0.0;
    }
    default:
      return 0.0;
  }
}

void conc_selfdim(int, int* nvar, int* neqn, int* nnz, int* status) {
  *nvar = kVars;
  *neqn = kEqns;
  *nnz = kNonZeros;
  *status = 0;
}

// Defines the variables and equations at the given starts, binds the ports and takes the
// pattern the way the block's pattern source says.
void conc_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  *status = 0;
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  const std::string id = kvoblk_blkid(blk) ? kvoblk_blkid(blk) : "";
  if (varlst == 0 || eqnlst == 0) {
    *status = 1;
    return;
  }
  // Starting values: one m3/h of a 1 kmol/m3 solution of A, concentrated as the fraction says.
  const double start[kVars] = {1.0, 1.0, 0.0, 1.0 - evaporated(blk), 1.0 / (1.0 - evaporated(blk)),
                               0.0};
  for (int i = 0; i < kVars; ++i)
    kvoref::define_var(varlst, vstart + i, (id + "." + kVarNames[i]).c_str(), start[i], 0.0);
  for (int e = 0; e < kEqns; ++e)
    kvoref::define_eqn(eqnlst, estart + e, (id + "." + kEqnNames[e]).c_str());
  kvoblk_set_vstop(blk, vstart + kVars - 1);
  kvoblk_set_estop(blk, estart + kEqns - 1);
  for (int p = 1, n = kvoblk_inq_num_ports(blk); p <= n; ++p) {
    nux_port* port = kvoblk_get_port_n(blk, p);
    if (!port || !port->name()) continue;
    const int first = std::strcmp(port->name(), "IN") == 0 ? IN_F : OUT_F;
    for (int j = 0; j < 3 && j < port->num_vars(); ++j) port->set_var(j, vstart + first + j);
  }
  kvoblk_set_nzstop(blk, nzstart - 1);
  int errors = 0;
  kvoblk_pat_ini(blk, nzstart, &errors);
  if (errors != 0) *status = 1;
}

void conc_res(int blk, int* status) {
  const double* x = kvomodel::var_values(blk);
  if (!x || !kvomodel::residuals(blk)) {
    *status = 1;
    return;
  }
  *status = 0;
  const double f = x[IN_F], g = x[OUT_F];
  const double r[kEqns] = {g - (1.0 - evaporated(blk)) * f, g * x[OUT_CA] - f * x[IN_CA],
                           g * x[OUT_CB] - f * x[IN_CB]};
  for (int e = 0; e < kEqns; ++e) kvomodel::set_residual(blk, e, r[e]);
}

// Fills whatever pattern the block holds (its own, a detected one or a restored one).
void conc_selfjac(int blk, int* status) {
  *status = 0;
  for (int k = kvoblk_inq_nzstart(blk); k <= kvoblk_inq_nzstop(blk); ++k) {
    int e = 0, i = 0;
    if (kvomodel::pattern_entry(blk, k, &e, &i))
      kvomodel::set_jacobian_value(blk, k, partial(blk, e, i));
  }
}

void conc_selfpat(int blk, kv_jac_t* jac, int* status) {
  if (!jac || *jac == 0) {
    *status = 1;
    return;
  }
  *status = 0;
  const int nzstart = kvoblk_inq_nzstart(blk);
  for (int k = 0; k < kNonZeros; ++k)
    kvomodel::set_pattern_entry(blk, *jac, nzstart + k, kPattern[k][0], kPattern[k][1]);
  kvoblk_set_nzstop(blk, nzstart + kNonZeros - 1);
}

void fail(const kvoblk_plugin_request* request, const char* sentence) {
  if (request && request->message && request->message_size > 0)
    std::snprintf(request->message, static_cast<size_t>(request->message_size), "%s", sentence);
}

int create(const kvoblk_plugin_request* request) {
  if (!request || request->version != KVOBLK_PLUGIN_VERSION) {
    fail(request, "this plug-in was built for request version 1");
    return 0;
  }
  double e = 0.5;
  for (int k = 0; k < request->nparams; ++k) {
    const kvoblk_plugin_param& p = request->params[k];
    if (std::strcmp(p.name, "evaporated") != 0) {
      fail(request, "the concentrator takes one parameter, evaporated");
      return 0;
    }
    if (p.kind != KVOBLK_PARAM_NUMBER || !(p.number >= 0.0 && p.number < 1.0)) {
      fail(request, "parameter evaporated must be a number from 0 up to (not including) 1");
      return 0;
    }
    e = p.number;
  }
  const int blk = kvoblk_base_create(kWords);
  if (blk == 0) {
    fail(request, "the workspace has no room for the block");
    return 0;
  }
  kvoblk_set_blkid(blk, request->id);
  kvomodel::set_real(blk, kEvaporated, e);
  // A small block whose pattern fills more than the library's default share of its cells asks
  // for that share, so that a detected or restored pattern fits what was reserved.
  if (kvoblk_settings_t* s = kvoblk_inq_settings(blk))
    if (s->pat_fill_percent < 100 * kNonZeros / (kVars * kEqns) + 1)
      s->pat_fill_percent = 100 * kNonZeros / (kVars * kEqns) + 1;
  kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  t->selfdim = conc_selfdim;
  t->ini = conc_ini;
  t->res = conc_res;
  t->selfjac = conc_selfjac;
  t->selfpat = conc_selfpat;
  // The stirred-tank chain's liquid stream on both ports, so the concentrator connects to it.
  const kvoref::StreamSpec liquid{{kvoref::KIND_VOLUME_FLOW, kvoref::KIND_CONCENTRATION,
                                   kvoref::KIND_CONCENTRATION},
                                  {"F", "CA", "CB"}};
  if (!kvomodel::add_port(blk, kvoref::stream_port("IN", kvoref::PORT_INLET, liquid)) ||
      !kvomodel::add_port(blk, kvoref::stream_port("OUT", kvoref::PORT_OUTLET, liquid))) {
    kvoblk_destroy(blk);
    fail(request, "the block refused its ports");
    return 0;
  }
  return blk;
}

}  // namespace

extern "C" KVOBLK_PLUGIN_EXPORT int kvoblk_plugin_create(const kvoblk_plugin_request* request) {
  try {
    return create(request);
  } catch (...) {
    fail(request, "the concentrator failed while creating the block");
    return 0;
  }
}
