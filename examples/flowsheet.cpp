// SPDX-License-Identifier: BSD-3-Clause
// The example flowsheet: a train of three stirred-tank chains (R1 -> R2 -> R3) with the
// reaction A -> B. The program creates the blocks and chooses how each gets its sparsity pattern
// (R1 from the model, R2 by numeric detection, R3 from a pattern file in the work directory),
// dimensions them and sizes the flowsheet's lists from what they reserve, registers them with a
// container (their scripts are echoed on the history device), gives them IN and OUT ports,
// places them one after another in the global lists (which initialises their patterns), joins
// each block's OUT to the next block's IN with stream connections (made by a CONNECT script the
// container runs) and reports what it built. Only R1's feed is fixed. Then it solves the whole
// train by Newton's method once with each of the four derivative methods, from the same starting
// point, and compares the cost of each and the result with the closed-form steady state.
//
// The first run in a work directory detects R3's pattern and saves it there; later runs restore
// it from that file.
//
// Usage: flowsheet [--workdir DIR]   (DIR is created when missing; default "run")
// Exit status 0 when every step succeeded, 1 when one failed, 2 for a bad command line.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <kvoblk/kvoblk.h>
#include "cstr.h"
#include "kvoconnect.h"
#include "kvorefhost.h"
#include "plant.h"

namespace {

// Diagnostic level of every block while it is built: 5 shows the script invocations and the
// library's pattern-file warnings; placement of the block chosen by kTracedBlock runs at 7,
// which adds the placement trace. The solves run at the default level 4, where the library
// reports failures but not the choice it makes at every Jacobian request.
constexpr int kDiagLevel = 5;
constexpr int kTraceLevel = 7;
constexpr int kSolveDiagLevel = 4;
constexpr int kTracedBlock = 1;  // R2

// A converged solution must agree with the closed-form steady state to this, in the units of the
// variables (m3/h, kmol/m3).
constexpr double kAgreement = 1e-6;

using Entry = std::pair<int, int>;  // equation and variable number of a non-zero

// One unit of the train as planned, and the block made for it.
struct Unit {
  Unit(const char* unit_id, int tanks, const CstrParams& p, int pattern_way)
      : id(unit_id), ntanks(tanks), params(p), pat_ini(pattern_way) {}
  std::string id;
  int ntanks;
  CstrParams params;
  int pat_ini;              // how the block gets its pattern: KVOBLK_PAT_SELF, _NUMERIC, _RESTORE
  std::string pat_file;     // RESTORE: the pattern file
  bool file_found = false;  // RESTORE: the file was there before the block was placed
  int blk = 0;
  int nvar = 0, neqn = 0;            // what the block asked for
  int nnz_reserved = 0;              // non-zeros reserved at dimensioning
  std::vector<kvoref::Port*> ports;  // owned by the block once added
};

struct Flowsheet {
  std::string workdir = "run";
  std::vector<Unit> units;
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  kvoref::Connections* conns = nullptr;  // the stream connections between the blocks
  int nvar = 0, neqn = 0, nnz = 0;       // nnz: non-zeros reserved
};

void heading(const char* title) { kvoprintf(kvHisDev, "\n== %s ==\n", title); }

bool fail(const char* what) {
  kvoprintf(kvHisDev, "!! flowsheet: %s\n", what);
  return false;
}

bool fail(const std::string& what) { return fail(what.c_str()); }

int count(int start, int stop) { return stop >= start ? stop - start + 1 : 0; }

const char* kinetics(int order) { return order == 1 ? "first-order" : "second-order"; }
const char* rate_unit(int order) { return order == 1 ? "1/h" : "m3/(kmol h)"; }

const char* pattern_type_name(int type) {
  const char* name = kvoblk_name::of(kvoblk_name::pat_type, type);
  return name ? name : kvoblk_name::pat_type[KVOBLK_PATTYPE_UNDEFINED];
}

const char* method_name(int method) {
  const char* name = kvoblk_name::of(kvoblk_name::deriv_type, method);
  return name ? name : kvoblk_name::deriv_type[KVOBLK_UPDATE_ANALYTIC];
}

// What to tell the user when a block's pattern file stands in the way.
void file_hint(const Unit& u) {
  if (u.pat_ini == KVOBLK_PAT_RESTORE)
    kvoprintf(kvHisDev,
              "   The pattern file %s cannot be used for block %s.\n"
              "   Remove it and run again: the pattern is then detected afresh and saved.\n",
              u.pat_file.c_str(), u.id.c_str());
}

// ---- Steps ------------------------------------------------------------------------------------
// Each step returns false when it failed; the driver then stops and cleans up.

bool prepare_workdir(Flowsheet& fs) {
  std::error_code ec;
  std::filesystem::create_directories(fs.workdir, ec);
  if (ec || !std::filesystem::is_directory(fs.workdir, ec))
    return fail("cannot use work directory " + fs.workdir);
  kvoprintf(kvHisDev, "Work directory: %s\n", fs.workdir.c_str());
  return true;
}

// Plans the train and creates its blocks. R2 and R3 start with the feed the unit before them
// delivers at steady state; the solve finds it through the connections, and the closed form is
// what the result is checked against.
bool create_blocks(Flowsheet& fs) {
  heading("Creating the blocks");
  CstrParams r1;  // 3 tanks of 4 m3, first order, 10 m3/h of 2 kmol/m3 A
  CstrParams r2;
  r2.volume = 3.0;
  r2.rate_constant = 0.8;
  r2.order = 2;
  CstrParams r3;
  r3.volume = 2.5;
  r3.rate_constant = 0.9;
  fs.units = {{"R1", 3, r1, KVOBLK_PAT_SELF},
              {"R2", 2, r2, KVOBLK_PAT_NUMERIC},
              {"R3", 4, r3, KVOBLK_PAT_RESTORE}};
  for (size_t i = 0; i < fs.units.size(); ++i) {
    Unit& u = fs.units[i];
    if (i > 0) {
      const Unit& up = fs.units[i - 1];
      if (!cstr_exact_state(up.params, up.ntanks, &u.params.feed_flow, &u.params.feed_ca,
                            &u.params.feed_cb))
        return fail("cannot work out the feed of a block");
    }
    u.blk = cstr_create(u.id.c_str(), u.ntanks, u.params);
    if (u.blk == 0) return fail("block creation failed");
    kvoprintf(kvHisDev, "Block %s: %d stirred tanks of %g m3, %s reaction A -> B, k = %g %s\n",
              u.id.c_str(), u.ntanks, u.params.volume, kinetics(u.params.order),
              u.params.rate_constant, rate_unit(u.params.order));
  }
  return true;
}

// Chooses for every block how it gets its sparsity pattern. This comes before dimensioning,
// which reserves non-zeros by that choice (for RESTORE from the pattern file's header).
bool choose_patterns(Flowsheet& fs) {
  heading("Choosing how each block gets its sparsity pattern");
  for (Unit& u : fs.units) {
    if (u.pat_ini != KVOBLK_PAT_SELF && kvoblk_set_pat_ini_type(u.blk, u.pat_ini) != u.pat_ini)
      return fail("block " + u.id + " refused its pattern initialisation type");
    switch (u.pat_ini) {
      case KVOBLK_PAT_SELF:
        kvoprintf(kvHisDev, "Block %s: the model states its own pattern (SELF)\n", u.id.c_str());
        break;
      case KVOBLK_PAT_NUMERIC:
        kvoprintf(kvHisDev,
                  "Block %s: the pattern is detected by perturbing one variable at a time "
                  "(NUMERIC)\n",
                  u.id.c_str());
        break;
      default: {
        u.pat_file = (std::filesystem::path(fs.workdir) / (u.id + ".pat")).string();
        kvoblk_set_pat_file(u.blk, u.pat_file.c_str());
        std::error_code ec;
        u.file_found = std::filesystem::is_regular_file(u.pat_file, ec);
        kvoprintf(kvHisDev,
                  "Block %s: the pattern is restored from the pattern file %s (RESTORE)\n",
                  u.id.c_str(), u.pat_file.c_str());
        kvoprintf(kvHisDev, "    %s\n",
                  u.file_found ? "the file is there from an earlier run and will be read"
                               : "the file is not there yet: the pattern will be detected "
                                 "numerically and saved to it");
      }
    }
  }
  return true;
}

// Dimensions every block: the model says how many variables and equations it needs, and the
// library reserves non-zeros by the block's pattern choice. The totals size the lists.
bool dimension(Flowsheet& fs) {
  heading("Sizing the flowsheet");
  for (Unit& u : fs.units) {
    int status = 0;
    kvoblk_dim(u.blk, &u.nvar, &u.neqn, &u.nnz_reserved, &status);
    if (status != 0 || u.nvar <= 0 || u.nnz_reserved < 0) {
      file_hint(u);
      return fail("block " + u.id + " could not say its size");
    }
    // A pattern has at most one entry per equation and variable; a larger count (a pattern
    // file can announce any number) would only make the lists huge.
    if (u.nnz_reserved > static_cast<long long>(u.nvar) * u.neqn) {
      file_hint(u);
      return fail("block " + u.id + " asks for more non-zeros than its equations can hold");
    }
    const char* why = u.pat_ini == KVOBLK_PAT_SELF ? "the model's own count"
                      : u.pat_ini == KVOBLK_PAT_NUMERIC
                          ? "an estimate for a pattern still to be found"
                      : u.file_found ? "the count in the pattern file"
                                     : "an estimate, as there is no pattern file yet";
    kvoprintf(kvHisDev,
              "Block %s needs %d variables and %d equations; %d non-zeros reserved (%s)\n",
              u.id.c_str(), u.nvar, u.neqn, u.nnz_reserved, why);
    fs.nvar += u.nvar;
    fs.neqn += u.neqn;
    fs.nnz += u.nnz_reserved;
  }
  return true;
}

// Makes the lists, with room in the Jacobian for every non-zero reserved, and the container that
// hands them to the blocks. Scripts the container runs are echoed on the history device.
bool make_lists(Flowsheet& fs) {
  fs.lists = kvoref::make_lists(fs.nnz);
  if (fs.lists.varlst == 0 || fs.lists.eqnlst == 0 || fs.lists.jac == 0)
    return fail("cannot make the flowsheet lists");
  fs.cntr = new kvoref::Container(fs.lists);
  fs.cntr->echo_scripts = true;
  return true;
}

bool register_blocks(Flowsheet& fs) {
  heading("Registering the blocks");
  for (Unit& u : fs.units) {
    kvoblk_set_diag_level(u.blk, kDiagLevel);
    const size_t before = fs.cntr->scripts_run.size();
    kvoblk_base_typical_register(u.blk, fs.cntr);
    if (blk_inq_matrix_varlst(u.blk) != fs.lists.varlst) return fail("registration failed");
    // The model offers SETUP and CONNECT among the registration scripts.
    if (fs.cntr->scripts_run.size() != before + 2) return fail("registration scripts missing");
  }
  return true;
}

// Gives every block a liquid IN and OUT port of three variables each (flow, CA, CB); the model
// binds them to its feed and last tank when it is placed. A second IN port is refused.
bool add_ports(Flowsheet& fs) {
  heading("Adding ports");
  const INUXPortMaterial::nux_port_phase liquid = nuxLookupPortPhase("LIQUID");
  for (Unit& u : fs.units) {
    for (const char* name : {"IN", "OUT"}) {
      auto* port = new kvoref::Port(name, {0, 0, 0});
      port->mat().set_phase(liquid);
      port->set_stream(name[0] == 'I' ? kvoref::PORT_INLET : kvoref::PORT_OUTLET,
                       {kvoref::KIND_VOLUME_FLOW, kvoref::KIND_CONCENTRATION,
                        kvoref::KIND_CONCENTRATION},
                       {"F", "CA", "CB"});
      if (kvoblk_add_port(u.blk, port)) {
        port->destroy();
        return fail("a port was refused");
      }
      u.ports.push_back(port);
    }
    kvoprintf(kvHisDev, "Block %s has ports IN and OUT\n", u.id.c_str());
  }
  Unit& first = fs.units.front();
  kvoprintf(kvHisDev, "Adding a second port IN to block %s:\n", first.id.c_str());
  auto* duplicate = new kvoref::Port("IN", {0, 0, 0});
  const bool refused = kvoblk_add_port(first.blk, duplicate);
  if (!refused) return fail("a duplicate port name was accepted");
  duplicate->destroy();  // a refused port stays the caller's
  return kvoblk_inq_num_ports(first.blk) == 2 || fail("the port count changed");
}

// Places the blocks one after another: each block starts right after the previous one's last
// variable, equation and non-zero. Placing a block initialises its pattern, which may use fewer
// non-zeros than were reserved; the next block starts after those it used.
bool place_blocks(Flowsheet& fs) {
  heading("Placing the blocks");
  int v = 1, e = 1, nz = 1;
  for (size_t i = 0; i < fs.units.size(); ++i) {
    Unit& u = fs.units[i];
    const bool traced = i == static_cast<size_t>(kTracedBlock);
    if (traced) kvoblk_set_diag_level(u.blk, kTraceLevel);
    int status = 0;
    kvoblk_ini(u.blk, v, e, nz, &status);
    if (traced) kvoblk_set_diag_level(u.blk, kDiagLevel);
    if (status != 0) {
      file_hint(u);
      return fail("block " + u.id + " could not be placed");
    }
    const int used = count(nz, kvoblk_inq_nzstop(u.blk));
    if (kvoblk_inq_vstart(u.blk) != v || kvoblk_inq_estart(u.blk) != e ||
        kvoblk_inq_nzstart(u.blk) != nz || count(v, kvoblk_inq_vstop(u.blk)) != u.nvar ||
        count(e, kvoblk_inq_estop(u.blk)) != u.neqn || used > u.nnz_reserved)
      return fail("a block was placed with another size than it asked for");
    for (kvoref::Port* p : u.ports)
      for (int j = 0; j < p->num_vars(); ++j)
        if (p->var(j) < v || p->var(j) > kvoblk_inq_vstop(u.blk))
          return fail("a port was not bound to its block's variables");
    kvoprintf(kvHisDev, "Block %s placed: variables %d-%d, equations %d-%d, non-zeros %d-%d\n",
              u.id.c_str(), v, kvoblk_inq_vstop(u.blk), e, kvoblk_inq_estop(u.blk), nz,
              kvoblk_inq_nzstop(u.blk));
    v = kvoblk_inq_vstop(u.blk) + 1;
    e = kvoblk_inq_estop(u.blk) + 1;
    nz = kvoblk_inq_nzstop(u.blk) + 1;
  }
  return true;
}

// Joins each block's OUT to the next block's IN. The connection equations go after the last
// block's equations and non-zeros; the container makes them from a CONNECT script.
bool connect_train(Flowsheet& fs) {
  heading("Connecting the train");
  const int last = fs.units.back().blk;
  fs.conns = new kvoref::Connections(fs.lists, kvoblk_inq_estop(last) + 1,
                                     kvoblk_inq_nzstop(last) + 1, fs.cntr);
  fs.cntr->connections = fs.conns;
  fs.cntr->find_port = [&fs](const std::string& blk, const std::string& name) -> kvoref::Port* {
    for (Unit& u : fs.units)
      for (kvoref::Port* p : u.ports)
        if (u.id == blk && name == p->name()) return p;
    return nullptr;
  };
  std::string text;
  for (size_t i = 1; i < fs.units.size(); ++i)
    text += "CONNECT " + fs.units[i - 1].id + ".OUT TO " + fs.units[i].id + ".IN\n";
  kvopipe* script = kvoref::make_script("CONNECT", text.c_str());
  const int result = fs.cntr->run_script(nullptr, script, nullptr, 0, nullptr);
  kvodestroy(script);
  if (result != 0 || fs.conns->count() != static_cast<int>(fs.units.size()) - 1)
    return fail("the train could not be connected");
  fs.conns->report(kvHisDev);
  return true;
}

// The entries of a placed block's pattern in the flowsheet's Jacobian.
std::set<Entry> block_pattern(const Flowsheet& fs, const Unit& u) {
  std::set<Entry> nz;
  for (int k = kvoblk_inq_nzstart(u.blk); k <= kvoblk_inq_nzstop(u.blk); ++k)
    nz.emplace(kvojac_inq_nz_eqnnum(fs.lists.jac, k), kvojac_inq_nz_varnum(fs.lists.jac, k));
  return nz;
}

// The pattern the model states for a placed block. Its selfpat routine writes into a scratch
// pattern object, so the flowsheet's Jacobian is left alone; the routine also sets nzstop, which
// is put back.
std::set<Entry> model_pattern(const Unit& u) {
  std::set<Entry> nz;
  const int nzstart = kvoblk_inq_nzstart(u.blk), nzstop = kvoblk_inq_nzstop(u.blk);
  const int size = nzstart - 1 + cstr_nnz(u.ntanks);
  kv_jac_t scratch = kvojac_create(size);
  if (scratch == 0) return nz;
  kvojac_set_nnz(scratch, size);
  int status = 0;
  kvoblk_selfpat(u.blk, &scratch, &status);
  kvoblk_set_nzstop(u.blk, nzstop);
  if (status == 0)
    for (int k = nzstart; k <= size; ++k)
      nz.emplace(kvojac_inq_nz_eqnnum(scratch, k), kvojac_inq_nz_varnum(scratch, k));
  kvojac_destroy(&scratch);
  return nz;
}

// Says in words where every block's pattern came from and checks that a pattern found by
// detection or read from a file holds exactly the entries the model knows to be there.
bool describe_patterns(Flowsheet& fs) {
  heading("Sparsity patterns");
  std::vector<std::string> files;
  for (const Unit& u : fs.units) {
    const int b = u.blk;
    const int n = count(kvoblk_inq_nzstart(b), kvoblk_inq_nzstop(b));
    const char* type = pattern_type_name(kvoblk_inq_pat_type(b));
    switch (u.pat_ini) {
      case KVOBLK_PAT_SELF:
        kvoprintf(kvHisDev, "Block %s: %d non-zeros stated by the model (pattern type %s)\n",
                  u.id.c_str(), n, type);
        break;
      case KVOBLK_PAT_NUMERIC:
        kvoprintf(kvHisDev, "Block %s: %d non-zeros found by numeric detection (pattern type %s)\n",
                  u.id.c_str(), n, type);
        break;
      default:
        if (u.file_found)
          kvoprintf(kvHisDev, "Block %s: %d non-zeros restored from %s (pattern type %s)\n",
                    u.id.c_str(), n, u.pat_file.c_str(), type);
        else
          kvoprintf(kvHisDev,
                    "Block %s: %d non-zeros found by numeric detection and saved to %s (pattern "
                    "type %s);\n    the next run restores them from there\n",
                    u.id.c_str(), n, u.pat_file.c_str(), type);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(u.pat_file, ec))
          return fail("the pattern file " + u.pat_file + " was not written");
        files.push_back(u.pat_file);
    }
    if (u.pat_ini != KVOBLK_PAT_SELF) {
      if (block_pattern(fs, u) != model_pattern(u)) {
        file_hint(u);
        return fail("the pattern of block " + u.id + " differs from the model's own");
      }
      kvoprintf(kvHisDev, "    the same entries as the model's own pattern\n");
    }
  }
  for (const std::string& f : files)
    kvoprintf(kvHisDev, "Pattern file: %s (remove it to have the pattern detected afresh)\n",
              f.c_str());
  return true;
}

void report_port(const Flowsheet& fs, kvoref::Port* p) {
  kvoprintf(kvHisDev, "    port %-3s (%s):", p->name(), nuxPortPhaseName(p->mat().phase()));
  for (int j = 0; j < p->num_vars(); ++j)
    kvoprintf(kvHisDev, "%s %s", j ? "," : "",
              kvovarlst_lookup_var_name(fs.lists.varlst, p->var(j)));
  kvoprintf(kvHisDev, "\n");
}

bool report(Flowsheet& fs) {
  heading("Flowsheet summary");
  int tanks = 0, ports = 0, used = 0;
  for (const Unit& u : fs.units) {
    const CstrParams& p = u.params;
    const int b = u.blk;
    kvoprintf(kvHisDev, "  Block %s: %d stirred tanks in series, %g m3 each, %s A -> B\n",
              u.id.c_str(), u.ntanks, p.volume, kinetics(p.order));
    kvoprintf(kvHisDev, "    feed %.4g m3/h carrying %.4g kmol/m3 A and %.4g kmol/m3 B\n",
              p.feed_flow, p.feed_ca, p.feed_cb);
    kvoprintf(kvHisDev,
              "    %d variables (positions %d-%d), %d equations (%d-%d), %d non-zeros (%d-%d)\n",
              count(kvoblk_inq_vstart(b), kvoblk_inq_vstop(b)), kvoblk_inq_vstart(b),
              kvoblk_inq_vstop(b), count(kvoblk_inq_estart(b), kvoblk_inq_estop(b)),
              kvoblk_inq_estart(b), kvoblk_inq_estop(b),
              count(kvoblk_inq_nzstart(b), kvoblk_inq_nzstop(b)), kvoblk_inq_nzstart(b),
              kvoblk_inq_nzstop(b));
    for (kvoref::Port* port : u.ports) report_port(fs, port);
    tanks += u.ntanks;
    ports += kvoblk_inq_num_ports(b);
    used += count(kvoblk_inq_nzstart(b), kvoblk_inq_nzstop(b));
  }
  kvoprintf(kvHisDev,
            "  Totals: %zu blocks, %d tanks, %d variables, %d equations, %d non-zeros"
            " (%d reserved), %d ports\n",
            fs.units.size(), tanks, fs.nvar, fs.neqn, used, fs.nnz, ports);
  const int nconn = fs.conns ? fs.conns->estop() - fs.conns->estart() + 1 : 0;
  kvoprintf(kvHisDev, "  Stream connections: %d, with %d equations\n",
            fs.conns ? fs.conns->count() : 0, nconn);
  kvoprintf(kvHisDev, "  Degrees of freedom: %d (flow, CA and CB of the first block's feed)\n",
            fs.nvar - fs.neqn - nconn);
  return true;
}

// ---- Solving ----------------------------------------------------------------------------------

// Every variable value of the lists, to start each solve from the same point.
std::vector<double> values(const Flowsheet& fs) {
  std::vector<double> x;
  for (int p = 1, n = kvovarlst_inq_nvar(fs.lists.varlst); p <= n; ++p)
    x.push_back(kvovarlst_inq_var_value(fs.lists.varlst, p, 0));
  return x;
}

void set_values(const Flowsheet& fs, const std::vector<double>& x) {
  for (size_t p = 1; p <= x.size(); ++p)
    kvovarlst_set_var_value(fs.lists.varlst, static_cast<int>(p), x[p - 1], 0);
}

// Largest difference between the blocks' variables and the closed-form steady state.
double deviation(const Flowsheet& fs) {
  double worst = 0.0;
  for (const Unit& u : fs.units) {
    for (int tank = 0; tank <= u.ntanks; ++tank) {
      double exact[3];
      if (!cstr_exact_state(u.params, tank, &exact[0], &exact[1], &exact[2])) return INFINITY;
      for (int q = CSTR_F; q <= CSTR_CB; ++q) {
        const double d = std::fabs(cstr_value(u.blk, tank, static_cast<CstrVar>(q)) - exact[q]);
        if (std::isnan(d)) return d;  // a value that is not a number fails every check
        if (d > worst) worst = d;
      }
    }
  }
  return worst;
}

// Fixes the first block's feed, as its SETUP script says; the other blocks' feeds are joined to
// the outlets before them. The unknowns are then the tanks' flows and concentrations and the
// connected feeds: as many as there are equations, the connections' included.
bool fix_feeds(Flowsheet& fs) {
  heading("Specifying the flowsheet");
  int fixed = 0;
  const Unit& u = fs.units.front();
  for (int q = CSTR_F; q <= CSTR_CB; ++q) {
    const int pos = cstr_var(u.blk, 0, static_cast<CstrVar>(q));
    if (pos == 0) return fail("block " + u.id + " has no feed variables");
    kvoref::set_var_status(fs.lists.varlst, pos,
                           kvovarlst_inq_var_status(fs.lists.varlst, pos) | kvoref::VAR_FIXED);
    ++fixed;
  }
  const int neqn = fs.neqn + fs.conns->estop() - fs.conns->estart() + 1;
  kvoprintf(kvHisDev,
            "Fixed the feed (flow, CA, CB) of %s: %d variables. Unknowns: the %d flows and\n"
            "concentrations of the tanks and the connected feeds, for %d equations (%d of them\n"
            "stream connections). Every tank starts at its block's feed.\n",
            fs.units.front().id.c_str(), fixed, fs.nvar - fixed, neqn, neqn - fs.neqn);
  if (fs.nvar - fixed != neqn) return fail("the flowsheet is not square");
  return true;
}

// Solves the flowsheet once with each derivative method from the same starting point and prints
// one line per method.
bool solve(Flowsheet& fs) {
  heading("Solving with each derivative method");
  const std::vector<double> start = values(fs);
  for (const Unit& u : fs.units) kvoblk_set_diag_level(u.blk, kSolveDiagLevel);
  kvoref::NewtonOptions options;
  kvoprintf(
      kvHisDev,
      "Newton's method, sparse LU; converged when no residual exceeds %.0e, no variable\n"
      "moves by more than %.0f %% of its size (at least 1) in one step, at most %d steps.\n\n",
      options.tolerance, 100 * options.step_limit, options.max_iterations);
  kvoprintf(kvHisDev, "  %-16s %6s %9s %9s %8s %10s %9s %10s\n", "method", "Newton", "residual",
            "Jacobian", "Schubert", "final", "time", "deviation");
  kvoprintf(kvHisDev, "  %-16s %6s %9s %9s %8s %10s %9s %10s\n", "", "steps", "evals", "evals",
            "updates", "residual", "ms", "from exact");
  bool all_good = true;
  std::vector<std::string> problems, kept;
  for (int method :
       {KVOBLK_ANALYTIC, KVOBLK_NUMERIC, KVOBLK_UPDATE_NUMERIC, KVOBLK_UPDATE_ANALYTIC}) {
    for (const Unit& u : fs.units)
      if (kvoblk_set_deriv_type(u.blk, method) != method)
        return fail("block " + u.id + " refused the derivative method " + method_name(method));
    set_values(fs, start);
    std::vector<BlockUnit> units;
    for (const Unit& u : fs.units) units.emplace_back(u.blk);
    std::vector<kvoref::SolverUnit*> solver_units;
    for (BlockUnit& bu : units) solver_units.push_back(&bu);
    solver_units.push_back(fs.conns);

    cstr_reset_call_counts();
    const auto t0 = std::chrono::steady_clock::now();
    const kvoref::NewtonReport r = kvoref::newton_solve(fs.lists, solver_units, options);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    int evaluations = 0, updates = 0;
    long rows_kept = 0, rows_seen = 0;
    for (const BlockUnit& bu : units) {
      evaluations += bu.jacobians;
      updates += bu.updates;
      rows_kept += bu.rows_kept;
      rows_seen += bu.rows_seen;
    }
    if (rows_seen > 0)
      kept.push_back(std::string(method_name(method)) + ": " + std::to_string(rows_kept) + " of " +
                     std::to_string(rows_seen));
    const double dev = deviation(fs);
    kvoprintf(kvHisDev, "  %-16s %6d %9ld %9d %8d %10.2e %9.3f %10.2e\n", method_name(method),
              r.iterations, cstr_residual_calls(), evaluations, updates, r.norm, ms, dev);
    if (!r.converged) {
      problems.push_back(std::string(method_name(method)) + ": " + r.message);
      all_good = false;
    } else if (!(dev <= kAgreement)) {
      char text[160];
      std::snprintf(text, sizeof text, "%s: the solution differs from the closed form by %.2e",
                    method_name(method), dev);
      problems.push_back(text);
      all_good = false;
    }
  }
  kvoprintf(kvHisDev,
            "\nResidual evals count every call of the blocks' residual routine: the solver's own\n"
            "passes plus those made for numeric derivatives and for Schubert updates. Jacobian\n"
            "evals count one per block per Newton step; one is a Schubert update when the\n"
            "block's update check allowed it just before the request. The first Jacobian of a\n"
            "solve is always made by the fallback method (numeric or analytic).\n");
  if (!kept.empty()) {
    kvoprintf(kvHisDev,
              "Rows an update left as they were (a step too small to learn from, or a change\n"
              "the Jacobian already predicted to rounding, as in the linear equations):\n");
    for (const std::string& k : kept) kvoprintf(kvHisDev, "  %s rows\n", k.c_str());
  }
  for (const std::string& p : problems) fail("the solve with " + p);
  return all_good;
}

// Shows the converged state (from the last solve) and checks that each block's outlet is the
// feed of the next, as the train was planned.
bool steady_state(Flowsheet& fs) {
  heading("Steady state");
  for (const Unit& u : fs.units) {
    int status = 0;
    kvoblk_report(u.blk, &status);
  }
  for (size_t i = 1; i < fs.units.size(); ++i) {
    const Unit& up = fs.units[i - 1];
    const Unit& down = fs.units[i];
    double worst = 0.0;
    for (int q = CSTR_F; q <= CSTR_CB; ++q) {
      const CstrVar which = static_cast<CstrVar>(q);
      const double d =
          std::fabs(cstr_value(up.blk, up.ntanks, which) - cstr_value(down.blk, 0, which));
      if (std::isnan(d) || d > worst) worst = d;
      if (std::isnan(worst)) break;
    }
    kvoprintf(kvHisDev, "Outlet of %s and feed of %s differ by %.1e at most\n", up.id.c_str(),
              down.id.c_str(), worst);
    if (!(worst <= kAgreement)) return fail("the train is not consistent");
  }
  return true;
}

// Destroys the blocks (and with them their ports) before the container they point at.
void clean_up(Flowsheet& fs) {
  if (fs.cntr) fs.cntr->connections = nullptr;  // the container must not name a released set
  delete fs.conns;
  fs.conns = nullptr;
  for (Unit& u : fs.units) {
    if (u.blk != 0) kvoblk_destroy(u.blk);
    u.blk = 0;
    u.ports.clear();
  }
  delete fs.cntr;
  fs.cntr = nullptr;
  kvoref::reset();
}

void usage(const char* program) { std::fprintf(stderr, "usage: %s [--workdir DIR]\n", program); }

bool parse_args(int argc, char** argv, Flowsheet& fs) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--workdir" && i + 1 < argc) {
      fs.workdir = argv[++i];
    } else if (arg.rfind("--workdir=", 0) == 0) {
      fs.workdir = arg.substr(std::strlen("--workdir="));
    } else {
      return false;
    }
  }
  return !fs.workdir.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Flowsheet fs;
  if (!parse_args(argc, argv, fs)) {
    usage(argv[0]);
    return 2;
  }
  struct Step {
    const char* name;
    bool (*run)(Flowsheet&);
  };
  const Step steps[] = {
      {"prepare the work directory", prepare_workdir},
      {"create the blocks", create_blocks},
      {"choose the patterns", choose_patterns},
      {"size the flowsheet", dimension},
      {"make the lists", make_lists},
      {"register the blocks", register_blocks},
      {"add the ports", add_ports},
      {"place the blocks", place_blocks},
      {"describe the patterns", describe_patterns},
      {"connect the train", connect_train},
      {"report", report},
      {"specify the flowsheet", fix_feeds},
      {"solve the flowsheet", solve},
      {"show the steady state", steady_state},
  };
  int rc = 0;
  for (const Step& step : steps) {
    if (!step.run(fs)) {
      kvoprintf(kvHisDev, "!! flowsheet: could not %s\n", step.name);
      rc = 1;
      break;
    }
  }
  clean_up(fs);
  return rc;
}
