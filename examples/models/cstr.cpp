// SPDX-License-Identifier: BSD-3-Clause
// The stirred-tank chain model: block creation, its routines in the operation table (size,
// placement with pattern initialisation, residuals, analytic Jacobian, pattern, scripts,
// report), call counters and the small C++ API.
//
// The model's parameters live in the block record's own words after the library's, so they
// move with the record and go with it when the block is destroyed. The record sits in a
// workspace that may move on any allocation: every access goes through ib0 afresh.
#include "cstr.h"

#include <kvoblk/kvomodel.h>

#include <cmath>
#include <cstring>
#include <string>

#include "kvoconnect.h"
#include "kvorefhost.h"
#include "units.h"

namespace {

namespace CW {
enum : int {
  ntanks = kvoblk_word::count,  // 22
  order = 23,
  volume = 24,  // each real takes two words
  rate = 26,
  feed_flow = 28,
  feed_ca = 30,
  feed_cb = 32,
  count = 34
};
}  // namespace CW

constexpr int kVarsPerTank = 3;
constexpr int kNzPerTank = 11;
constexpr size_t kMaxName = 128;

// How often the residual and the analytic Jacobian routine ran, over all blocks: what a
// derivative method costs in model work (see cstr_residual_calls).
long residual_calls = 0;
long jacobian_calls = 0;

int& word(int blk, int k) { return ib0[blk + k]; }

double real(int blk, int k) {
  double v;
  std::memcpy(&v, &ib0[blk + k], sizeof v);
  return v;
}

void set_real(int blk, int k, double v) { std::memcpy(&ib0[blk + k], &v, sizeof v); }

// Everything a routine needs from the record, copied out in one go so that no routine holds a
// reference into the workspace while it calls the host.
struct Model {
  int n;
  int order;
  double vk;  // volume times rate constant
  int vs, es, nzs;
};

Model load(int blk) {
  Model m;
  m.n = word(blk, CW::ntanks);
  m.order = word(blk, CW::order);
  m.vk = real(blk, CW::volume) * real(blk, CW::rate);
  m.vs = word(blk, kvoblk_word::vstart);
  m.es = word(blk, kvoblk_word::estart);
  m.nzs = word(blk, kvoblk_word::nzstart);
  return m;
}

// Rate term V k CA^n and its derivative with respect to CA.
double rate(const Model& m, double ca) { return m.order == 1 ? m.vk * ca : m.vk * ca * ca; }
double rate_dca(const Model& m, double ca) { return m.order == 1 ? m.vk : 2.0 * m.vk * ca; }

// The structure of one tank's three equations: each non-zero names the equation, whether the
// variable belongs to the tank upstream (the feed for tank 1) and which variable it is. The
// pattern is written in this order; the Jacobian looks entries up by their numbers instead, so
// that it also fills a pattern that was restored or found numerically in another order.
struct TankNz {
  CstrEqn eqn;
  bool upstream;
  CstrVar var;
};
// clang-format off
constexpr TankNz kTankNz[kNzPerTank] = {
    {CSTR_FLOW, true, CSTR_F}, {CSTR_FLOW, false, CSTR_F},
    {CSTR_BALA, true, CSTR_F}, {CSTR_BALA, true, CSTR_CA},
    {CSTR_BALA, false, CSTR_F}, {CSTR_BALA, false, CSTR_CA},
    {CSTR_BALB, true, CSTR_F}, {CSTR_BALB, true, CSTR_CB},
    {CSTR_BALB, false, CSTR_F}, {CSTR_BALB, false, CSTR_CA}, {CSTR_BALB, false, CSTR_CB},
};
// clang-format on

// Derivative of equation `e` (0-based within the block) with respect to variable `v` (0-based
// within the block), at the values `x` (the block's variables). Zero outside the structure.
double partial(const Model& m, const double* x, int e, int v) {
  if (e < 0 || e >= kVarsPerTank * m.n || v < 0 || v >= kVarsPerTank * (m.n + 1)) return 0.0;
  const int tank = e / kVarsPerTank;  // 0-based; its upstream unit is `tank`, itself tank + 1
  const int unit = v / kVarsPerTank;
  const bool upstream = unit == tank;
  if (!upstream && unit != tank + 1) return 0.0;
  const double* p = x + kVarsPerTank * tank;
  const double* c = p + kVarsPerTank;
  const int q = v % kVarsPerTank;
  switch (e % kVarsPerTank) {
    case CSTR_FLOW:
      return q != CSTR_F ? 0.0 : upstream ? -1.0 : 1.0;
    case CSTR_BALA:
      if (upstream) return q == CSTR_F ? p[CSTR_CA] : q == CSTR_CA ? p[CSTR_F] : 0.0;
      return q == CSTR_F ? -c[CSTR_CA] : q == CSTR_CA ? -c[CSTR_F] - rate_dca(m, c[CSTR_CA]) : 0.0;
    default:  // CSTR_BALB
      if (upstream) return q == CSTR_F ? p[CSTR_CB] : q == CSTR_CB ? p[CSTR_F] : 0.0;
      if (q == CSTR_F) return -c[CSTR_CB];
      if (q == CSTR_CA) return rate_dca(m, c[CSTR_CA]);
      return -c[CSTR_F];
  }
}

std::string clipped(std::string s) {
  if (s.size() > kMaxName) s.resize(kMaxName);
  return s;
}

const char* const kQtyName[3] = {"F", "CA", "CB"};
const char* const kEqnName[3] = {"FLOW", "BALA", "BALB"};

std::string var_name(const char* id, int tank, int q) {
  std::string base = std::string(id ? id : "") + ".";
  if (tank == 0) return clipped(base + "IN." + kQtyName[q]);
  return clipped(base + kQtyName[q] + "(" + std::to_string(tank) + ")");
}

std::string eqn_name(const char* id, int tank, int e) {
  return clipped(std::string(id ? id : "") + "." + kEqnName[e] + "(" + std::to_string(tank) + ")");
}

bool placed(int blk) { return kvoblk_inq_eo_state(blk) != KVOBLK_NOT_INITIALISED; }

// Gives a port named IN or OUT the variables it stands for, for a block whose variables start
// at `vstart`; other ports are left alone.
void bind_port(int blk, nux_port* port, int vstart) {
  if (!port || !port->name()) return;
  int unit;
  if (std::strcmp(port->name(), "IN") == 0)
    unit = 0;
  else if (std::strcmp(port->name(), "OUT") == 0)
    unit = word(blk, CW::ntanks);
  else
    return;
  const int n = port->num_vars() < kVarsPerTank ? port->num_vars() : kVarsPerTank;
  for (int j = 0; j < n; ++j) port->set_var(j, vstart + kVarsPerTank * unit + j);
}

// ---- Routines of the operation table -----------------------------------------------------

void cstr_selfdim(int blk, int* nvar, int* neqn, int* nnz, int* status) {
  const int n = word(blk, CW::ntanks);
  *nvar = cstr_nvars(n);
  *neqn = cstr_neqns(n);
  *nnz = cstr_nnz(n);
  *status = 0;
}

void cstr_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  *status = 0;
  const int n = word(blk, CW::ntanks);
  const double feed[3] = {real(blk, CW::feed_flow), real(blk, CW::feed_ca), real(blk, CW::feed_cb)};
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  const char* id = kvoblk_blkid(blk);
  if (varlst == 0 || eqnlst == 0) {
    kvoprintf(kvHisDev, "!! cstr: block %s has no lists to be placed in\n", id ? id : "");
    kvoblk_set_vstop(blk, vstart - 1);
    kvoblk_set_estop(blk, estart - 1);
    kvoblk_set_nzstop(blk, nzstart - 1);
    *status = 1;
    return;
  }
  // Every tank starts at the feed: no conversion yet, so the balances start far from zero and
  // the solver has real work to do.
  for (int tank = 0; tank <= n; ++tank)
    for (int q = 0; q < kVarsPerTank; ++q)
      kvoref::define_var(varlst, vstart + kVarsPerTank * tank + q, var_name(id, tank, q).c_str(),
                         feed[q], 0.0);
  for (int tank = 1; tank <= n; ++tank)
    for (int e = 0; e < kVarsPerTank; ++e)
      kvoref::define_eqn(eqnlst, estart + kVarsPerTank * (tank - 1) + e,
                         eqn_name(id, tank, e).c_str());
  kvoblk_set_vstop(blk, vstart + cstr_nvars(n) - 1);
  kvoblk_set_estop(blk, estart + cstr_neqns(n) - 1);
  for (int i = 1, np = kvoblk_inq_num_ports(blk); i <= np; ++i)
    bind_port(blk, kvoblk_get_port_n(blk, i), vstart);
  // The pattern comes the way the block's pattern initialisation type says: from selfpat, by
  // numeric detection or from the pattern file. The library sets nzstop; until it does the
  // block holds no non-zeros, which is also what a block without a Jacobian keeps.
  kvoblk_set_nzstop(blk, nzstart - 1);
  int errors = 0;
  kvoblk_pat_ini(blk, nzstart, &errors);
  if (errors != 0) {
    kvoprintf(kvHisDev, "!! cstr: block %s has no sparsity pattern\n", id ? id : "");
    *status = 1;
  }
}

void cstr_res(int blk, int* status) {
  *status = 0;
  ++residual_calls;
  const Model m = load(blk);
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  const double* x = kvovarlst_vec_value(varlst);
  double* r = kvoeqnlst_vec_residual(eqnlst);
  if (!x || !r || m.vs + kVarsPerTank * (m.n + 1) - 1 > kvovarlst_inq_nvar(varlst) ||
      m.es + kVarsPerTank * m.n - 1 > kvoeqnlst_inq_neqn(eqnlst)) {
    *status = 1;
    return;
  }
  x += m.vs - 1;
  r += m.es - 1;
  for (int i = 0; i < m.n; ++i, x += kVarsPerTank, r += kVarsPerTank) {
    const double* p = x;
    const double* c = x + kVarsPerTank;
    const double reaction = rate(m, c[CSTR_CA]);
    r[CSTR_FLOW] = c[CSTR_F] - p[CSTR_F];
    r[CSTR_BALA] = p[CSTR_F] * p[CSTR_CA] - c[CSTR_F] * c[CSTR_CA] - reaction;
    r[CSTR_BALB] = p[CSTR_F] * p[CSTR_CB] - c[CSTR_F] * c[CSTR_CB] + reaction;
  }
}

void cstr_selfjac(int blk, int* status) {
  *status = 0;
  ++jacobian_calls;
  const Model m = load(blk);
  const int nzstop = word(blk, kvoblk_word::nzstop);
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  const double* x = kvovarlst_vec_value(varlst);
  double* bj = kvojac_vec_bj(jac);
  if (!x || !bj || m.vs + kVarsPerTank * (m.n + 1) - 1 > kvovarlst_inq_nvar(varlst)) {
    *status = 1;
    return;
  }
  // Non-zeros name list positions, as the library's own pattern initialisation writes them.
  const int eoff = m.es;
  const int voff = m.vs;
  KVJacIrn rows(&jac);
  KVJacIcn cols(&jac);
  const int last = nzstop < rows.size() ? nzstop : rows.size();
  x += m.vs - 1;
  for (int k = m.nzs < 1 ? 1 : m.nzs; k <= last; ++k)
    bj[k - 1] = partial(m, x, rows[k - 1] - eoff, cols[k - 1] - voff);
}

void cstr_selfpat(int blk, kv_jac_t* jac, int* status) {
  *status = 0;
  if (!jac || *jac == 0) {
    *status = 1;
    return;
  }
  const Model m = load(blk);
  const int e0 = m.es;  // list positions, whatever the container's global offsets
  const int v0 = m.vs;
  int k = m.nzs;
  for (int i = 0; i < m.n; ++i) {
    for (const TankNz& nz : kTankNz) {
      const int unit = nz.upstream ? i : i + 1;
      kvojac_set_nz_eqnnum(*jac, k, e0 + kVarsPerTank * i + nz.eqn);
      kvojac_set_nz_varnum(*jac, k, v0 + kVarsPerTank * unit + nz.var);
      ++k;
    }
  }
  kvoblk_set_nzstop(blk, k - 1);
}

// Scripts the model offers: SETUP fixes the feed, INIT states where the guesses come from,
// CONNECT names what the ports carry.
const int kScripts[] = {0, 1, 4};  // SETUP, INIT, CONNECT in kvoblk_script_names

void cstr_inq_nscript(int, int* count) { *count = 3; }

void cstr_inq_scriptid(int, int index, char* name) {
  if (index < 1 || index > 3) return;
  std::strcpy(name, kvoblk_script_names[kScripts[index - 1]]);
}

kvopipe* cstr_acquire_script(int blk, const char* name) {
  if (!name) return nullptr;
  const char* id = kvoblk_blkid(blk);
  const int n = cstr_ntanks(blk);
  auto v = [&](int tank, int q) { return var_name(id, tank, q); };
  std::string text;
  if (std::strcmp(name, "SETUP") == 0) {
    text = "FIX " + v(0, 0) + ", " + v(0, 1) + ", " + v(0, 2);
  } else if (std::strcmp(name, "INIT") == 0) {
    text = "GUESS " + v(1, 0) + ".." + v(n, 2) + " FROM FEED";
  } else if (std::strcmp(name, "CONNECT") == 0) {
    text = "PORT IN = (" + v(0, 0) + ", " + v(0, 1) + ", " + v(0, 2) + "); PORT OUT = (" + v(n, 0) +
           ", " + v(n, 1) + ", " + v(n, 2) + ")";
  } else {
    return nullptr;
  }
  return kvoref::make_script(name, text.c_str());
}

void cstr_report(int blk, int* status) {
  *status = 0;
  const char* id = kvoblk_blkid(blk);
  const int n = cstr_ntanks(blk);
  if (!placed(blk)) {
    kvoprintf(kvRepDev, "%-8s %d tanks, not placed\n", id ? id : "", n);
    return;
  }
  kvoprintf(kvRepDev, "%-8s %d tanks  F %.4g m3/h  CA %.4g -> %.4g kmol/m3  conversion %.1f %%\n",
            id ? id : "", n, cstr_value(blk, n, CSTR_F), cstr_value(blk, 0, CSTR_CA),
            cstr_value(blk, n, CSTR_CA), 100.0 * cstr_conversion(blk));
}

int cstr_isof_type(int blk, const char* type) {
  return (type && std::strcmp(type, "CSTR") == 0) || kvoblk_base_isof_type(blk, type);
}

// The library's own port insertion, kept from the first table so that the model can bind a
// port added after placement.
bool (*base_add_port)(int, nux_port*) = nullptr;

bool cstr_add_port(int blk, nux_port* port) {
  if (!base_add_port) return true;
  const bool refused = base_add_port(blk, port);
  if (!refused && placed(blk)) bind_port(blk, port, word(blk, kvoblk_word::vstart));
  return refused;
}

bool params_ok(const char* fn, const CstrParams& p) {
  const char* problem = nullptr;
  if (p.order != 1 && p.order != 2)
    problem = "reaction order must be 1 or 2";
  else if (!std::isfinite(p.volume) || p.volume <= 0.0)
    problem = "tank volume must be positive";
  else if (!std::isfinite(p.rate_constant) || p.rate_constant < 0.0)
    problem = "rate constant must not be negative";
  else if (!std::isfinite(p.feed_flow) || !std::isfinite(p.feed_ca) || !std::isfinite(p.feed_cb))
    problem = "feed values must be finite";
  if (problem && fn) kvoprintf(kvHisDev, "!! %s: %s\n", fn, problem);
  return problem == nullptr;
}

}  // namespace

// ---- API -------------------------------------------------------------------------------------

int cstr_nvars(int ntanks) {
  return ntanks >= 1 && ntanks <= CSTR_MAX_TANKS ? kVarsPerTank * (ntanks + 1) : 0;
}

int cstr_neqns(int ntanks) {
  return ntanks >= 1 && ntanks <= CSTR_MAX_TANKS ? kVarsPerTank * ntanks : 0;
}

int cstr_nnz(int ntanks) {
  return ntanks >= 1 && ntanks <= CSTR_MAX_TANKS ? kNzPerTank * ntanks : 0;
}

int cstr_create(const char* id, int ntanks, const CstrParams& params) {
  if (ntanks < 1 || ntanks > CSTR_MAX_TANKS) {
    kvoprintf(kvHisDev, "!! cstr_create: %d tanks, 1 to %d expected\n", ntanks, CSTR_MAX_TANKS);
    return 0;
  }
  if (!params_ok("cstr_create", params)) return 0;
  const int blk = kvoblk_base_create(CW::count);
  if (blk == 0) {
    kvoprintf(kvHisDev, "!! cstr_create: no room for block %s\n", id ? id : "");
    return 0;
  }
  kvoblk_set_blkid(blk, id);
  word(blk, CW::ntanks) = ntanks;
  word(blk, CW::order) = params.order;
  set_real(blk, CW::volume, params.volume);
  set_real(blk, CW::rate, params.rate_constant);
  set_real(blk, CW::feed_flow, params.feed_flow);
  set_real(blk, CW::feed_ca, params.feed_ca);
  set_real(blk, CW::feed_cb, params.feed_cb);

  // A pattern found by detection or read from a file must fit the library's capacity estimate,
  // nvar * neq * pat_fill_percent / 100 for blocks above the dense limit. Three tanks have 33 of
  // 108 possible entries, more than the default 30 %: the block asks for the percentage its own
  // structure needs, so that every way of getting the pattern fits.
  if (kvoblk_settings_t* s = kvoblk_inq_settings(blk)) {
    const long long cells = static_cast<long long>(cstr_nvars(ntanks)) * cstr_neqns(ntanks);
    const long long need = (100LL * cstr_nnz(ntanks) + cells - 1) / cells;
    if (need > s->pat_fill_percent) s->pat_fill_percent = static_cast<int32_t>(need);
  }

  kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  if (!base_add_port) base_add_port = t->add_port;
  t->selfdim = cstr_selfdim;
  t->ini = cstr_ini;
  t->res = cstr_res;
  t->selfjac = cstr_selfjac;
  t->selfpat = cstr_selfpat;
  t->inq_nscript = cstr_inq_nscript;
  t->inq_scriptid = cstr_inq_scriptid;
  t->acquire_script = cstr_acquire_script;
  t->report = cstr_report;
  t->isof_type = cstr_isof_type;
  t->add_port = cstr_add_port;
  return blk;
}

bool cstr_add_stream_ports(int blk) {
  if (!cstr_is_block(blk)) return false;
  return kvomodel::add_port(blk, kvoref::stream_port("IN", kvoref::PORT_INLET, liquid_stream())) &&
         kvomodel::add_port(blk, kvoref::stream_port("OUT", kvoref::PORT_OUTLET, liquid_stream()));
}

bool cstr_is_block(int blk) {
  if (blk == 0) return false;
  kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  return t && t->selfdim == cstr_selfdim;
}

int cstr_ntanks(int blk) { return cstr_is_block(blk) ? word(blk, CW::ntanks) : 0; }

CstrParams cstr_params(int blk) {
  CstrParams p;
  if (!cstr_is_block(blk)) return p;
  p.volume = real(blk, CW::volume);
  p.rate_constant = real(blk, CW::rate);
  p.order = word(blk, CW::order);
  p.feed_flow = real(blk, CW::feed_flow);
  p.feed_ca = real(blk, CW::feed_ca);
  p.feed_cb = real(blk, CW::feed_cb);
  return p;
}

bool cstr_set_feed(int blk, double flow, double ca, double cb) {
  if (!cstr_is_block(blk) || !std::isfinite(flow) || !std::isfinite(ca) || !std::isfinite(cb))
    return false;
  set_real(blk, CW::feed_flow, flow);
  set_real(blk, CW::feed_ca, ca);
  set_real(blk, CW::feed_cb, cb);
  if (placed(blk)) {
    const int varlst = blk_inq_matrix_varlst(blk);
    kvovarlst_set_var_value(varlst, cstr_var(blk, 0, CSTR_F), flow, 0);
    kvovarlst_set_var_value(varlst, cstr_var(blk, 0, CSTR_CA), ca, 0);
    kvovarlst_set_var_value(varlst, cstr_var(blk, 0, CSTR_CB), cb, 0);
  }
  return true;
}

int cstr_var(int blk, int tank, CstrVar which) {
  if (!cstr_is_block(blk) || !placed(blk) || tank < 0 || tank > word(blk, CW::ntanks) ||
      which < CSTR_F || which > CSTR_CB)
    return 0;
  return word(blk, kvoblk_word::vstart) + kVarsPerTank * tank + which;
}

int cstr_eqn(int blk, int tank, CstrEqn which) {
  if (!cstr_is_block(blk) || !placed(blk) || tank < 1 || tank > word(blk, CW::ntanks) ||
      which < CSTR_FLOW || which > CSTR_BALB)
    return 0;
  return word(blk, kvoblk_word::estart) + kVarsPerTank * (tank - 1) + which;
}

double cstr_value(int blk, int tank, CstrVar which) {
  const int pos = cstr_var(blk, tank, which);
  return pos == 0 ? 0.0 : kvovarlst_inq_var_value(blk_inq_matrix_varlst(blk), pos, 0);
}

double cstr_conversion(int blk) {
  const int n = cstr_ntanks(blk);
  const double fed = cstr_value(blk, 0, CSTR_F) * cstr_value(blk, 0, CSTR_CA);
  if (n == 0 || fed == 0.0) return 0.0;
  return 1.0 - cstr_value(blk, n, CSTR_F) * cstr_value(blk, n, CSTR_CA) / fed;
}

long cstr_residual_calls() { return residual_calls; }
long cstr_jacobian_calls() { return jacobian_calls; }

void cstr_reset_call_counts() {
  residual_calls = 0;
  jacobian_calls = 0;
}

bool cstr_exact_state(const CstrParams& p, int tank, double* flow, double* ca, double* cb) {
  if (tank < 0 || !params_ok(nullptr, p)) return false;
  if (tank > 0 && (p.feed_flow <= 0.0 || p.feed_ca < 0.0)) return false;
  double a = p.feed_ca;
  const double vk = p.volume * p.rate_constant;
  const double f = p.feed_flow;
  for (int i = 1; i <= tank; ++i) {
    // First order: F a_prev = (F + V k) a. Second order: V k a^2 + F a - F a_prev = 0, its
    // positive root written so that it does not lose digits when V k is small.
    a = p.order == 1 ? f * a / (f + vk) : 2.0 * f * a / (f + std::sqrt(f * f + 4.0 * vk * f * a));
  }
  // The flow is the same in every tank, so A + B is conserved from tank to tank.
  if (flow) *flow = f;
  if (ca) *ca = a;
  if (cb) *cb = p.feed_ca + p.feed_cb - a;
  return true;
}
