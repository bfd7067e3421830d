// SPDX-License-Identifier: BSD-3-Clause
// A faulty plug-in: the concentrator with one fault chosen by the model name the flowsheet gives
// it. WRONGJAC answers 2 for d FLOW / d OUT.F, which is 1; MISSNZ states a pattern without the
// entry (BALA, IN.CA), which its residual has; NOID names its variables without the block id;
// TWINS names two of its variables alike; ORDER refuses the block with its parameters' names in
// the order they arrive; THROWS lets an exception that is no standard one leave the entry point;
// PORTS leaves its inlet unbound and binds its outlet to the three positions before its own;
// FAILRES answers status 1 from every residual evaluation; STRAYNZ states its entry (BALA, IN.CA)
// at the variable before its own first one; RESTORES chooses a pattern restored from a file
// without naming one; NOSTOPS defines its items but records no last variable or equation;
// INITHROWS lets an exception leave its ini routine.
#define kvoblk_plugin_create concentrator_create
#include "../../examples/plugin/concentrator.cpp"
#undef kvoblk_plugin_create

namespace {

void wrong_selfjac(int blk, int* status) {
  conc_selfjac(blk, status);
  for (int k = kvoblk_inq_nzstart(blk); k <= kvoblk_inq_nzstop(blk); ++k) {
    int e = 0, i = 0;
    if (kvomodel::pattern_entry(blk, k, &e, &i) && e == FLOW && i == OUT_F)
      kvomodel::set_jacobian_value(blk, k, 2.0);
  }
}

void short_selfpat(int blk, kv_jac_t* jac, int* status) {
  conc_selfpat(blk, jac, status);
  if (*status != 0) return;
  // The entries after (BALA, IN.CA) move up by one and the last goes.
  const int nzstart = kvoblk_inq_nzstart(blk);
  for (int k = 4; k < kNonZeros; ++k)
    kvomodel::set_pattern_entry(blk, *jac, nzstart + k - 1, kPattern[k][0], kPattern[k][1]);
  kvoblk_set_nzstop(blk, nzstart + kNonZeros - 2);
}

void noid_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  conc_ini(blk, vstart, estart, nzstart, status);
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  for (int i = 0; i < kVars; ++i)
    kvoref::define_var(varlst, vstart + i, kVarNames[i],
                       kvovarlst_inq_var_value(varlst, vstart + i, 0), 0.0);
}

// TWINS gives its outlet flow the inlet flow's name.
void twins_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  conc_ini(blk, vstart, estart, nzstart, status);
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  const std::string name = kvovarlst_lookup_var_name(varlst, vstart + IN_F);
  kvoref::define_var(varlst, vstart + OUT_F, name.c_str(),
                     kvovarlst_inq_var_value(varlst, vstart + OUT_F, 0), 0.0);
}

// PORTS: the inlet bound to nothing, the outlet to variables of the block placed before it.
void ports_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  conc_ini(blk, vstart, estart, nzstart, status);
  for (int p = 1; p <= kvoblk_inq_num_ports(blk); ++p) {
    nux_port* port = kvoblk_get_port_n(blk, p);
    for (int j = 0; port && j < port->num_vars(); ++j)
      port->set_var(j, p == 1 ? 0 : vstart - 3 + j);
  }
}

void failing_res(int, int* status) { *status = 1; }

void throwing_ini(int, int, int, int, int*) { throw 1; }

void nostops_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  conc_ini(blk, vstart, estart, nzstart, status);
  kvoblk_set_vstop(blk, vstart - 1);
  kvoblk_set_estop(blk, estart - 1);
}

void stray_selfpat(int blk, kv_jac_t* jac, int* status) {
  conc_selfpat(blk, jac, status);
  if (*status == 0) kvomodel::set_pattern_entry(blk, *jac, kvoblk_inq_nzstart(blk) + 3, BALA, -1);
}

}  // namespace

extern "C" KVOBLK_PLUGIN_EXPORT int kvoblk_plugin_create(const kvoblk_plugin_request* request) {
  if (std::strcmp(request->model, "THROWS") == 0) throw 42;
  if (std::strcmp(request->model, "ORDER") == 0) {
    std::string names;
    for (int k = 0; k < request->nparams; ++k)
      names += (k ? " " : "") + std::string(request->params[k].name);
    std::snprintf(request->message, static_cast<size_t>(request->message_size), "%s",
                  names.c_str());
    return 0;
  }
  const int blk = concentrator_create(request);
  kvoblk_ops_t* t = blk ? kvoblk_inq_ops(blk) : nullptr;
  if (t && std::strcmp(request->model, "WRONGJAC") == 0) t->selfjac = wrong_selfjac;
  if (t && std::strcmp(request->model, "MISSNZ") == 0) t->selfpat = short_selfpat;
  if (t && std::strcmp(request->model, "NOID") == 0) t->ini = noid_ini;
  if (t && std::strcmp(request->model, "TWINS") == 0) t->ini = twins_ini;
  if (t && std::strcmp(request->model, "PORTS") == 0) t->ini = ports_ini;
  if (t && std::strcmp(request->model, "FAILRES") == 0) t->res = failing_res;
  if (t && std::strcmp(request->model, "STRAYNZ") == 0) t->selfpat = stray_selfpat;
  if (t && std::strcmp(request->model, "NOSTOPS") == 0) t->ini = nostops_ini;
  if (t && std::strcmp(request->model, "INITHROWS") == 0) t->ini = throwing_ini;
  if (t && std::strcmp(request->model, "RESTORES") == 0)
    kvoblk_set_pat_ini_type(blk, KVOBLK_PAT_RESTORE);
  return blk;
}
