// SPDX-License-Identifier: BSD-3-Clause
// The unit model library: mixer, splitter, heater/cooler and flash drum. The four models share
// one set of operation-table routines; each model describes itself (sizes, names, guesses,
// pattern, residuals, partial derivatives, ports) and the shared routines do the rest.
//
// Record words after the library's 22: the model's number, a count (inlets or outlets), then its
// parameters as doubles of two words each.
#include "units.h"

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <kvoblk/kvomodel.h>
#include "cstr.h"
#include "kvoconnect.h"
#include "kvorefhost.h"

using kvomodel::real;
using kvomodel::set_real;
using kvomodel::word;

const kvoref::StreamSpec& liquid_stream() {
  static const kvoref::StreamSpec stream{{kvoref::KIND_VOLUME_FLOW, kvoref::KIND_CONCENTRATION,
                                          kvoref::KIND_CONCENTRATION},
                                         {"F", "CA", "CB"}};
  return stream;
}

const kvoref::StreamSpec& thermal_stream() {
  static const kvoref::StreamSpec stream{{kvoref::KIND_MASS_FLOW, kvoref::KIND_TEMPERATURE},
                                         {"F", "T"}};
  return stream;
}

namespace {

namespace UW {
enum : int {
  model = kvoblk_word::count,  // 22: the model's number (1 to 4)
  count = 23,                  // inlets of a mixer, outlets of a splitter
  reals = 24,                  // first parameter; parameter p is at reals + 2 p
};
}  // namespace UW

constexpr size_t kMaxName = 128;
long residual_calls = 0;

int count_of(int blk) { return word(blk, UW::count); }
double param(int blk, int p) { return real(blk, UW::reals + kvomodel::kRealWords * p); }
void set_param(int blk, int p, double v) { set_real(blk, UW::reals + kvomodel::kRealWords * p, v); }

using Entry = std::pair<int, int>;  // block-local equation and variable

// A port the model makes: its name, direction, and which of the block's variables it carries.
struct PortDef {
  std::string name;
  int direction;
  int first_var;  // block-local index of the first of its consecutive variables
  bool thermal;   // (F, T) instead of (F, CA, CB)
};

// What a model is. Every function takes the block handle; x and r are the block's own values.
struct Model {
  const char* name;
  int (*nvar)(int blk);
  int (*neqn)(int blk);
  void (*pattern)(int blk, std::vector<Entry>* entries);
  std::string (*var_item)(int blk, int i);
  std::string (*eqn_item)(int blk, int e);
  double (*guess)(int blk, int i);
  double (*lower)(int blk, int i);
  void (*res)(int blk, const double* x, double* r);
  double (*partial)(int blk, const double* x, int e, int i);
  std::vector<PortDef> (*ports)(int blk);
};

const char* const kQty[3] = {"F", "CA", "CB"};

// ---- Mixer -------------------------------------------------------------------------------------
// Block-local variable of inlet j (0-based; j = n is the outlet), quantity q.
int mix_v(int j, int q) { return 3 * j + q; }

int mix_nvar(int blk) { return 3 * (count_of(blk) + 1); }
int mix_neqn(int) { return 3; }

void mix_pattern(int blk, std::vector<Entry>* p) {
  const int n = count_of(blk);
  for (int j = 0; j <= n; ++j) p->push_back({0, mix_v(j, 0)});
  for (int q = 1; q <= 2; ++q)
    for (int j = 0; j <= n; ++j) {
      p->push_back({q, mix_v(j, 0)});
      p->push_back({q, mix_v(j, q)});
    }
}

std::string mix_var_item(int blk, int i) {
  const int j = i / 3;
  const std::string port = j == count_of(blk) ? "OUT" : "IN" + std::to_string(j + 1);
  return port + "." + kQty[i % 3];
}

std::string mix_eqn_item(int, int e) {
  static const char* const names[3] = {"FLOW", "BALA", "BALB"};
  return names[e];
}

double liquid_guess(int, int) { return 1.0; }
double zero_lower(int, int) { return 0.0; }

void mix_res(int blk, const double* x, double* r) {
  const int n = count_of(blk);
  const double* out = x + mix_v(n, 0);
  r[0] = out[0];
  r[1] = out[0] * out[1];
  r[2] = out[0] * out[2];
  for (int j = 0; j < n; ++j) {
    const double* in = x + mix_v(j, 0);
    r[0] -= in[0];
    r[1] -= in[0] * in[1];
    r[2] -= in[0] * in[2];
  }
}

double mix_partial(int blk, const double* x, int e, int i) {
  const int n = count_of(blk), j = i / 3, q = i % 3;
  if (e < 0 || e > 2 || j < 0 || j > n) return 0.0;
  const double sign = j == n ? 1.0 : -1.0;
  const double* s = x + mix_v(j, 0);
  if (e == 0) return q == 0 ? sign : 0.0;
  if (q == 0) return sign * s[e];  // d(F c)/dF = c
  return q == e ? sign * s[0] : 0.0;
}

std::vector<PortDef> mix_ports(int blk) {
  std::vector<PortDef> p;
  const int n = count_of(blk);
  for (int j = 0; j < n; ++j)
    p.push_back({"IN" + std::to_string(j + 1), kvoref::PORT_INLET, mix_v(j, 0), false});
  p.push_back({"OUT", kvoref::PORT_OUTLET, mix_v(n, 0), false});
  return p;
}

// ---- Splitter ----------------------------------------------------------------------------------
// Variables: inlet 0..2, outlet j (0-based) at 3 + 3j + q, fraction j at 3 + 3m + j.
int split_out(int j, int q) { return 3 + 3 * j + q; }
int split_sf(int blk, int j) { return 3 + 3 * count_of(blk) + j; }

int split_nvar(int blk) { return 3 + 4 * count_of(blk); }
int split_neqn(int blk) { return 3 * count_of(blk) + 1; }

void split_pattern(int blk, std::vector<Entry>* p) {
  const int m = count_of(blk);
  for (int j = 0; j < m; ++j) {
    p->push_back({3 * j, 0});
    p->push_back({3 * j, split_out(j, 0)});
    p->push_back({3 * j, split_sf(blk, j)});
    for (int q = 1; q <= 2; ++q) {
      p->push_back({3 * j + q, q});
      p->push_back({3 * j + q, split_out(j, q)});
    }
  }
  for (int j = 0; j < m; ++j) p->push_back({3 * m, split_sf(blk, j)});
}

std::string split_var_item(int blk, int i) {
  if (i < 3) return std::string("IN.") + kQty[i];
  if (i >= split_sf(blk, 0)) return "SF(" + std::to_string(i - split_sf(blk, 0) + 1) + ")";
  return "OUT" + std::to_string((i - 3) / 3 + 1) + "." + kQty[(i - 3) % 3];
}

std::string split_eqn_item(int blk, int e) {
  static const char* const names[3] = {"FLOW", "CA", "CB"};
  if (e == 3 * count_of(blk)) return "SUM";
  return std::string(names[e % 3]) + "(" + std::to_string(e / 3 + 1) + ")";
}

double split_guess(int blk, int i) {
  if (i >= split_sf(blk, 0)) return param(blk, i - split_sf(blk, 0));
  if (i >= 3 && (i - 3) % 3 == 0) return param(blk, (i - 3) / 3);  // outlet flow: its share
  return 1.0;
}

void split_res(int blk, const double* x, double* r) {
  const int m = count_of(blk);
  double sum = -1.0;
  for (int j = 0; j < m; ++j) {
    const double sf = x[split_sf(blk, j)];
    r[3 * j] = x[split_out(j, 0)] - sf * x[0];
    r[3 * j + 1] = x[split_out(j, 1)] - x[1];
    r[3 * j + 2] = x[split_out(j, 2)] - x[2];
    sum += sf;
  }
  r[3 * m] = sum;
}

double split_partial(int blk, const double* x, int e, int i) {
  const int m = count_of(blk);
  if (e == 3 * m) return i >= split_sf(blk, 0) && i < split_sf(blk, m) ? 1.0 : 0.0;
  const int j = e / 3, q = e % 3;
  if (e < 0 || j >= m) return 0.0;
  if (i == split_out(j, q)) return 1.0;
  if (q != 0) return i == q ? -1.0 : 0.0;
  if (i == split_sf(blk, j)) return -x[0];
  if (i == 0) return -x[split_sf(blk, j)];
  return 0.0;
}

double split_lower(int, int) { return 0.0; }

std::vector<PortDef> split_ports(int blk) {
  std::vector<PortDef> p;
  p.push_back({"IN", kvoref::PORT_INLET, 0, false});
  for (int j = 0; j < count_of(blk); ++j)
    p.push_back({"OUT" + std::to_string(j + 1), kvoref::PORT_OUTLET, split_out(j, 0), false});
  return p;
}

// ---- Heater ------------------------------------------------------------------------------------
enum { H_FIN, H_TIN, H_FOUT, H_TOUT, H_Q };
enum { HP_CP, HP_DUTY };

int heater_nvar(int) { return 5; }
int heater_neqn(int) { return 2; }

void heater_pattern(int, std::vector<Entry>* p) {
  *p = {{0, H_FIN}, {0, H_FOUT}, {1, H_FIN}, {1, H_TIN}, {1, H_TOUT}, {1, H_Q}};
}

std::string heater_var_item(int, int i) {
  static const char* const names[5] = {"IN.F", "IN.T", "OUT.F", "OUT.T", "Q"};
  return names[i];
}
std::string heater_eqn_item(int, int e) { return e == 0 ? "FLOW" : "HEAT"; }

double heater_guess(int blk, int i) {
  return i == H_Q ? param(blk, HP_DUTY) : (i == H_TIN || i == H_TOUT) ? 300.0 : 1.0;
}
double heater_lower(int, int i) { return i == H_Q ? -1e35 : 0.0; }

void heater_res(int blk, const double* x, double* r) {
  const double cp = param(blk, HP_CP);
  r[0] = x[H_FOUT] - x[H_FIN];
  r[1] = x[H_FIN] * cp * (x[H_TOUT] - x[H_TIN]) - x[H_Q];
}

double heater_partial(int blk, const double* x, int e, int i) {
  const double cp = param(blk, HP_CP);
  if (e == 0) return i == H_FOUT ? 1.0 : i == H_FIN ? -1.0 : 0.0;
  if (e != 1) return 0.0;
  switch (i) {
    case H_FIN:
      return cp * (x[H_TOUT] - x[H_TIN]);
    case H_TIN:
      return -x[H_FIN] * cp;
    case H_TOUT:
      return x[H_FIN] * cp;
    case H_Q:
      return -1.0;
    default:
      return 0.0;
  }
}

std::vector<PortDef> heater_ports(int) {
  return {{"IN", kvoref::PORT_INLET, H_FIN, true}, {"OUT", kvoref::PORT_OUTLET, H_FOUT, true}};
}

// ---- Flash -------------------------------------------------------------------------------------
enum { F_F0, F_CA0, F_CB0, F_FV, F_CAV, F_CBV, F_FL, F_CAL, F_CBL, F_T, F_P, F_NVAR };
enum { FE_BALA, FE_BALB, FE_VLEA, FE_VLEB, FE_SUMV, FE_SUML, F_NEQN };
// Parameters: a, b, c of A and B, ctot, T, P.
enum { FP_A = 0, FP_B = 2, FP_C = 4, FP_CTOT = 6, FP_T = 7, FP_P = 8, FP_COUNT = 9 };

FlashParams flash_params_of(int blk) {
  FlashParams p;
  for (int i = 0; i < 2; ++i) {
    p.a[i] = param(blk, FP_A + i);
    p.b[i] = param(blk, FP_B + i);
    p.c[i] = param(blk, FP_C + i);
  }
  p.ctot = param(blk, FP_CTOT);
  p.temperature = param(blk, FP_T);
  p.pressure = param(blk, FP_P);
  return p;
}

double dpsat(const FlashParams& p, int i, double t) {
  const double d = t + p.c[i];
  return flash_psat(p, i, t) * std::log(10.0) * p.b[i] / (d * d);
}

int flash_nvar(int) { return F_NVAR; }
int flash_neqn(int) { return F_NEQN; }

void flash_pattern(int, std::vector<Entry>* p) {
  *p = {{FE_BALA, F_F0},  {FE_BALA, F_CA0}, {FE_BALA, F_FV},  {FE_BALA, F_CAV}, {FE_BALA, F_FL},
        {FE_BALA, F_CAL}, {FE_BALB, F_F0},  {FE_BALB, F_CB0}, {FE_BALB, F_FV},  {FE_BALB, F_CBV},
        {FE_BALB, F_FL},  {FE_BALB, F_CBL}, {FE_VLEA, F_CAV}, {FE_VLEA, F_CAL}, {FE_VLEA, F_T},
        {FE_VLEA, F_P},   {FE_VLEB, F_CBV}, {FE_VLEB, F_CBL}, {FE_VLEB, F_T},   {FE_VLEB, F_P},
        {FE_SUMV, F_CAV}, {FE_SUMV, F_CBV}, {FE_SUML, F_CAL}, {FE_SUML, F_CBL}};
}

std::string flash_var_item(int, int i) {
  static const char* const names[F_NVAR] = {"FEED.F", "FEED.CA", "FEED.CB", "VAP.F",
                                            "VAP.CA", "VAP.CB",  "LIQ.F",   "LIQ.CA",
                                            "LIQ.CB", "T",       "P"};
  return names[i];
}
std::string flash_eqn_item(int, int e) {
  static const char* const names[F_NEQN] = {"BALA", "BALB", "VLEA", "VLEB", "SUMV", "SUML"};
  return names[e];
}

// The model's own guess: the phase compositions Raoult's law gives at the starting T and P
// (clipped into the two-phase range), half the feed to each phase.
double flash_guess(int blk, int i) {
  const FlashParams p = flash_params_of(blk);
  const double pa = flash_psat(p, 0, p.temperature), pb = flash_psat(p, 1, p.temperature);
  double xa = pa != pb ? (p.pressure - pb) / (pa - pb) : 0.5;
  xa = std::fmin(std::fmax(xa, 0.01), 0.99);
  const double ya = std::fmin(std::fmax(xa * pa / p.pressure, 0.01), 0.99);
  switch (i) {
    case F_F0:
      return 1.0;
    case F_CA0:
    case F_CB0:
      return 0.5 * p.ctot;
    case F_FV:
    case F_FL:
      return 0.5;
    case F_CAV:
      return ya * p.ctot;
    case F_CBV:
      return (1.0 - ya) * p.ctot;
    case F_CAL:
      return xa * p.ctot;
    case F_CBL:
      return (1.0 - xa) * p.ctot;
    case F_T:
      return p.temperature;
    default:
      return p.pressure;
  }
}

void flash_res(int blk, const double* x, double* r) {
  const FlashParams p = flash_params_of(blk);
  const double t = x[F_T];
  r[FE_BALA] = x[F_F0] * x[F_CA0] - x[F_FV] * x[F_CAV] - x[F_FL] * x[F_CAL];
  r[FE_BALB] = x[F_F0] * x[F_CB0] - x[F_FV] * x[F_CBV] - x[F_FL] * x[F_CBL];
  r[FE_VLEA] = x[F_CAV] * x[F_P] - x[F_CAL] * flash_psat(p, 0, t);
  r[FE_VLEB] = x[F_CBV] * x[F_P] - x[F_CBL] * flash_psat(p, 1, t);
  r[FE_SUMV] = x[F_CAV] + x[F_CBV] - p.ctot;
  r[FE_SUML] = x[F_CAL] + x[F_CBL] - p.ctot;
}

double flash_partial(int blk, const double* x, int e, int i) {
  switch (e) {
    case FE_BALA:
    case FE_BALB: {
      const int c0 = e == FE_BALA ? F_CA0 : F_CB0;
      const int cv = e == FE_BALA ? F_CAV : F_CBV;
      const int cl = e == FE_BALA ? F_CAL : F_CBL;
      if (i == F_F0) return x[c0];
      if (i == c0) return x[F_F0];
      if (i == F_FV) return -x[cv];
      if (i == cv) return -x[F_FV];
      if (i == F_FL) return -x[cl];
      if (i == cl) return -x[F_FL];
      return 0.0;
    }
    case FE_VLEA:
    case FE_VLEB: {
      const int comp = e == FE_VLEA ? 0 : 1;
      const int cv = comp == 0 ? F_CAV : F_CBV;
      const int cl = comp == 0 ? F_CAL : F_CBL;
      if (i == cv) return x[F_P];
      if (i == F_P) return x[cv];
      if (i != cl && i != F_T) return 0.0;
      const FlashParams p = flash_params_of(blk);
      if (i == cl) return -flash_psat(p, comp, x[F_T]);
      return -x[cl] * dpsat(p, comp, x[F_T]);
    }
    case FE_SUMV:
      return i == F_CAV || i == F_CBV ? 1.0 : 0.0;
    case FE_SUML:
      return i == F_CAL || i == F_CBL ? 1.0 : 0.0;
    default:
      return 0.0;
  }
}

double flash_lower(int, int i) { return i == F_T || i == F_P ? 1e-3 : 0.0; }

std::vector<PortDef> flash_ports(int) {
  return {{"FEED", kvoref::PORT_INLET, F_F0, false},
          {"VAP", kvoref::PORT_OUTLET, F_FV, false},
          {"LIQ", kvoref::PORT_OUTLET, F_FL, false}};
}

// ---- The shared routines -----------------------------------------------------------------------
const Model kModels[] = {
    {"MIXER", mix_nvar, mix_neqn, mix_pattern, mix_var_item, mix_eqn_item, liquid_guess, zero_lower,
     mix_res, mix_partial, mix_ports},
    {"SPLITTER", split_nvar, split_neqn, split_pattern, split_var_item, split_eqn_item, split_guess,
     split_lower, split_res, split_partial, split_ports},
    {"HEATER", heater_nvar, heater_neqn, heater_pattern, heater_var_item, heater_eqn_item,
     heater_guess, heater_lower, heater_res, heater_partial, heater_ports},
    {"FLASH", flash_nvar, flash_neqn, flash_pattern, flash_var_item, flash_eqn_item, flash_guess,
     flash_lower, flash_res, flash_partial, flash_ports},
};
enum { MIXER = 1, SPLITTER, HEATER, FLASH };
constexpr int kModelCount = sizeof kModels / sizeof kModels[0];

void unit_selfdim(int blk, int* nvar, int* neqn, int* nnz, int* status);

const Model* model_of(int blk) {
  if (blk == 0) return nullptr;
  const kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  if (!t || t->selfdim != unit_selfdim) return nullptr;
  const int m = word(blk, UW::model);
  return m >= 1 && m <= kModelCount ? &kModels[m - 1] : nullptr;
}

std::vector<Entry> pattern_of(const Model& m, int blk) {
  std::vector<Entry> p;
  m.pattern(blk, &p);
  return p;
}

std::string item_name(int blk, const std::string& item) {
  const char* id = kvoblk_blkid(blk);
  std::string s = std::string(id ? id : "") + "." + item;
  if (s.size() > kMaxName) s.resize(kMaxName);
  return s;
}

void unit_selfdim(int blk, int* nvar, int* neqn, int* nnz, int* status) {
  const Model* m = model_of(blk);
  *status = m ? 0 : 1;
  *nvar = m ? m->nvar(blk) : 0;
  *neqn = m ? m->neqn(blk) : 0;
  *nnz = m ? static_cast<int>(pattern_of(*m, blk).size()) : 0;
}

// Gives the model's ports their variables, for a block whose variables start at `vstart`.
void bind_ports(int blk, int vstart) {
  const Model* m = model_of(blk);
  if (!m) return;
  for (const PortDef& d : m->ports(blk)) {
    nux_port* port = kvoblk_get_port(blk, d.name.c_str());
    if (!port) continue;
    for (int j = 0; j < port->num_vars(); ++j) port->set_var(j, vstart + d.first_var + j);
  }
}

void unit_ini(int blk, int vstart, int estart, int nzstart, int* status) {
  *status = 0;
  const Model* m = model_of(blk);
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blk, &varlst, &eqnlst, &jac);
  if (!m || varlst == 0 || eqnlst == 0) {
    const char* id = kvoblk_blkid(blk);
    kvoprintf(kvHisDev, "!! units: block %s has no lists to be placed in\n", id ? id : "");
    kvoblk_set_vstop(blk, vstart - 1);
    kvoblk_set_estop(blk, estart - 1);
    kvoblk_set_nzstop(blk, nzstart - 1);
    *status = 1;
    return;
  }
  const int nv = m->nvar(blk), ne = m->neqn(blk);
  for (int i = 0; i < nv; ++i)
    kvoref::define_var(varlst, vstart + i, item_name(blk, m->var_item(blk, i)).c_str(),
                       m->guess(blk, i), m->lower(blk, i));
  for (int e = 0; e < ne; ++e)
    kvoref::define_eqn(eqnlst, estart + e, item_name(blk, m->eqn_item(blk, e)).c_str());
  kvoblk_set_vstop(blk, vstart + nv - 1);
  kvoblk_set_estop(blk, estart + ne - 1);
  bind_ports(blk, vstart);
  kvoblk_set_nzstop(blk, nzstart - 1);
  int errors = 0;
  kvoblk_pat_ini(blk, nzstart, &errors);
  if (errors != 0) {
    const char* id = kvoblk_blkid(blk);
    kvoprintf(kvHisDev, "!! units: block %s has no sparsity pattern\n", id ? id : "");
    *status = 1;
  }
}

void unit_res(int blk, int* status) {
  ++residual_calls;
  const Model* m = model_of(blk);
  const double* x = kvomodel::var_values(blk);
  double* r = kvomodel::residuals(blk);
  if (!m || !x || !r || kvomodel::num_vars(blk) != m->nvar(blk) ||
      kvomodel::num_eqns(blk) != m->neqn(blk)) {
    *status = 1;
    return;
  }
  *status = 0;
  m->res(blk, x, r);
}

// Fills whatever pattern the block got (its own, detected or restored), entry by entry.
void unit_selfjac(int blk, int* status) {
  const Model* m = model_of(blk);
  const double* x = kvomodel::var_values(blk);
  const kv_jac_t jac = blk_inq_matrix_jacobian(blk);
  if (!m || !x || !jac) {
    *status = 1;
    return;
  }
  *status = 0;
  for (int k = kvoblk_inq_nzstart(blk), stop = kvoblk_inq_nzstop(blk); k <= stop; ++k) {
    int e = 0, i = 0;
    const double v = kvomodel::pattern_entry(blk, k, &e, &i) ? m->partial(blk, x, e, i) : 0.0;
    kvojac_set_nz_value(jac, k, v);
  }
}

void unit_selfpat(int blk, kv_jac_t* jac, int* status) {
  const Model* m = model_of(blk);
  if (!m || !jac || *jac == 0) {
    *status = 1;
    return;
  }
  *status = 0;
  int k = kvoblk_inq_nzstart(blk);
  for (const Entry& en : pattern_of(*m, blk))
    kvomodel::set_pattern_entry(blk, *jac, k++, en.first, en.second);
  kvoblk_set_nzstop(blk, k - 1);
}

void unit_report(int blk, int* status) {
  *status = 0;
  const Model* m = model_of(blk);
  const char* id = kvoblk_blkid(blk);
  if (!m) return;
  kvoprintf(kvRepDev, "%-8s %s\n", id ? id : "", m->name);
  if (kvoblk_inq_eo_state(blk) == KVOBLK_NOT_INITIALISED) return;
  for (int i = 0, n = kvomodel::num_vars(blk); i < n; ++i)
    kvoprintf(kvRepDev, "    %-12s %14.6g\n", m->var_item(blk, i).c_str(),
              kvomodel::var_value(blk, i));
}

int unit_isof_type(int blk, const char* type) {
  const Model* m = model_of(blk);
  return (m && type && std::strcmp(type, m->name) == 0) || kvoblk_base_isof_type(blk, type);
}

// Makes the block of model `which` with `count` and `nparams` parameters (set by the caller),
// its table and its ports. 0 after a message when the workspace or a port cannot be had.
int create(const char* fn, const char* id, int which, int count, int nparams) {
  const int blk = kvoblk_base_create(UW::reals + kvomodel::kRealWords * nparams);
  if (blk == 0) {
    kvoprintf(kvHisDev, "!! %s: no room for block %s\n", fn, id ? id : "");
    return 0;
  }
  kvoblk_set_blkid(blk, id);
  word(blk, UW::model) = which;
  word(blk, UW::count) = count;
  kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  t->selfdim = unit_selfdim;
  t->ini = unit_ini;
  t->res = unit_res;
  t->selfjac = unit_selfjac;
  t->selfpat = unit_selfpat;
  t->report = unit_report;
  t->isof_type = unit_isof_type;
  // Small blocks are dense enough that a detected or restored pattern must be allowed to fill
  // what the model states.
  if (kvoblk_settings_t* s = kvoblk_inq_settings(blk)) s->pat_fill_percent = 100;
  return blk;
}

bool add_ports(const char* fn, int blk) {
  const Model* m = model_of(blk);
  for (const PortDef& d : m->ports(blk)) {
    const kvoref::StreamSpec& stream = d.thermal ? thermal_stream() : liquid_stream();
    if (!kvomodel::add_port(blk, kvoref::stream_port(d.name.c_str(), d.direction, stream))) {
      kvoprintf(kvHisDev, "!! %s: port %s could not be added\n", fn, d.name.c_str());
      return false;
    }
  }
  return true;
}

int finish(const char* fn, int blk) {
  if (blk != 0 && !add_ports(fn, blk)) {
    kvoblk_destroy(blk);
    return 0;
  }
  return blk;
}

bool finite_all(std::initializer_list<double> v) {
  for (double d : v)
    if (!std::isfinite(d)) return false;
  return true;
}

}  // namespace

// ---- API ---------------------------------------------------------------------------------------

int mix_create(const char* id, int ninlets) {
  if (ninlets < 1 || ninlets > MIX_MAX_INLETS) {
    kvoprintf(kvHisDev, "!! mix_create: %d inlets, 1 to %d expected\n", ninlets, MIX_MAX_INLETS);
    return 0;
  }
  return finish("mix_create", create("mix_create", id, MIXER, ninlets, 0));
}

int mix_ninlets(int blk) {
  const Model* m = model_of(blk);
  return m == &kModels[MIXER - 1] ? count_of(blk) : 0;
}

int split_create(const char* id, const std::vector<double>& fractions) {
  const int m = static_cast<int>(fractions.size());
  if (m < 2 || m > SPLIT_MAX_OUTLETS) {
    kvoprintf(kvHisDev, "!! split_create: %d outlets, 2 to %d expected\n", m, SPLIT_MAX_OUTLETS);
    return 0;
  }
  for (double f : fractions)
    if (!std::isfinite(f) || f < 0.0 || f > 1.0) {
      kvoprintf(kvHisDev, "!! split_create: split fractions must lie between 0 and 1\n");
      return 0;
    }
  const int blk = create("split_create", id, SPLITTER, m, m);
  if (blk == 0) return 0;
  for (int j = 0; j < m; ++j) set_param(blk, j, fractions[j]);
  return finish("split_create", blk);
}

int split_noutlets(int blk) {
  const Model* m = model_of(blk);
  return m == &kModels[SPLITTER - 1] ? count_of(blk) : 0;
}

int split_fraction_var(int blk, int j) {
  const int m = split_noutlets(blk);
  if (m == 0 || j < 1 || j > m || kvoblk_inq_eo_state(blk) == KVOBLK_NOT_INITIALISED) return 0;
  return kvoblk_inq_vstart(blk) + split_sf(blk, j - 1);
}

int heater_create(const char* id, const HeaterParams& params) {
  if (!finite_all({params.cp, params.duty}) || params.cp <= 0.0) {
    kvoprintf(kvHisDev, "!! heater_create: the heat capacity must be positive and finite\n");
    return 0;
  }
  const int blk = create("heater_create", id, HEATER, 0, 2);
  if (blk == 0) return 0;
  set_param(blk, HP_CP, params.cp);
  set_param(blk, HP_DUTY, params.duty);
  return finish("heater_create", blk);
}

int flash_create(const char* id, const FlashParams& p) {
  const bool ok = finite_all({p.a[0], p.a[1], p.b[0], p.b[1], p.c[0], p.c[1], p.ctot, p.temperature,
                              p.pressure}) &&
                  p.ctot > 0.0 && p.pressure > 0.0 && p.temperature + p.c[0] > 0.0 &&
                  p.temperature + p.c[1] > 0.0;
  if (!ok) {
    kvoprintf(kvHisDev,
              "!! flash_create: parameters must be finite, the concentration and pressure "
              "positive, and T + c positive for both components\n");
    return 0;
  }
  const int blk = create("flash_create", id, FLASH, 0, FP_COUNT);
  if (blk == 0) return 0;
  for (int i = 0; i < 2; ++i) {
    set_param(blk, FP_A + i, p.a[i]);
    set_param(blk, FP_B + i, p.b[i]);
    set_param(blk, FP_C + i, p.c[i]);
  }
  set_param(blk, FP_CTOT, p.ctot);
  set_param(blk, FP_T, p.temperature);
  set_param(blk, FP_P, p.pressure);
  return finish("flash_create", blk);
}

double flash_psat(const FlashParams& p, int component, double temperature) {
  const int i = component == 0 ? 0 : 1;
  return std::pow(10.0, p.a[i] - p.b[i] / (temperature + p.c[i]));
}

const char* unit_model_name(int blk) {
  if (const Model* m = model_of(blk)) return m->name;
  return cstr_is_block(blk) ? "CSTR" : "";
}

long units_residual_calls() { return residual_calls; }
void units_reset_call_counts() { residual_calls = 0; }
