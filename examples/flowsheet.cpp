// The example flowsheet: a train of three stirred-tank chains (R1 -> R2 -> R3) with the
// reaction A -> B. The program creates the blocks, sizes the flowsheet's lists from what the
// blocks ask for, registers the blocks with a container (their scripts are echoed on the
// history device), gives them IN and OUT ports, places them one after another in the global
// lists and reports what it built.
//
// Usage: flowsheet [--workdir DIR]   (DIR is created when missing; default "run")
// Exit status 0 when every step succeeded, 1 when one failed, 2 for a bad command line.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cstr.h"
#include "kvoblk.h"
#include "kvorefhost.h"

namespace {

// Diagnostic level of every block: 5 shows the script invocations; placement of the block
// chosen by kTracedBlock runs at 7, which adds the placement trace.
constexpr int kDiagLevel = 5;
constexpr int kTraceLevel = 7;
constexpr int kTracedBlock = 1;  // R2

// One unit of the train as planned, and the block made for it.
struct Unit {
  Unit(const char* unit_id, int tanks, const CstrParams& p)
      : id(unit_id), ntanks(tanks), params(p) {}
  std::string id;
  int ntanks;
  CstrParams params;
  int blk = 0;
  int nvar = 0, neqn = 0, nnz = 0;   // what the block asked for
  std::vector<kvoref::Port*> ports;  // owned by the block once added
};

struct Flowsheet {
  std::string workdir = "run";
  std::vector<Unit> units;
  kvoref::Lists lists;
  kvoref::Container* cntr = nullptr;
  int nvar = 0, neqn = 0, nnz = 0;
};

void heading(const char* title) { kvoprintf(kvHisDev, "\n== %s ==\n", title); }

bool fail(const char* what) {
  kvoprintf(kvHisDev, "!! flowsheet: %s\n", what);
  return false;
}

int count(int start, int stop) { return stop >= start ? stop - start + 1 : 0; }

const char* kinetics(int order) { return order == 1 ? "first-order" : "second-order"; }
const char* rate_unit(int order) { return order == 1 ? "1/h" : "m3/(kmol h)"; }

// ---- Steps ------------------------------------------------------------------------------------
// Each step returns false when it failed; the driver then stops and cleans up.

bool prepare_workdir(Flowsheet& fs) {
  std::error_code ec;
  std::filesystem::create_directories(fs.workdir, ec);
  if (ec || !std::filesystem::is_directory(fs.workdir, ec))
    return fail(("cannot use work directory " + fs.workdir).c_str());
  kvoprintf(kvHisDev, "Work directory: %s\n", fs.workdir.c_str());
  return true;
}

// Plans the train and creates its blocks. R2 and R3 are fed with what the unit before them
// delivers at steady state, so the train is consistent once the ports are connected.
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
  fs.units = {{"R1", 3, r1}, {"R2", 2, r2}, {"R3", 4, r3}};
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

// Asks every block how many variables, equations and non-zeros it needs; the totals size the
// flowsheet's lists.
bool dimension(Flowsheet& fs) {
  heading("Sizing the flowsheet");
  for (Unit& u : fs.units) {
    int status = 0;
    kvoblk_selfdim(u.blk, &u.nvar, &u.neqn, &u.nnz, &status);
    if (status != 0 || u.nvar <= 0) return fail("a block could not say its size");
    kvoprintf(kvHisDev, "Block %s needs %d variables, %d equations, %d non-zeros\n", u.id.c_str(),
              u.nvar, u.neqn, u.nnz);
    fs.nvar += u.nvar;
    fs.neqn += u.neqn;
    fs.nnz += u.nnz;
  }
  return true;
}

// Makes the lists, with room in the Jacobian for every non-zero, and the container that hands
// them to the blocks. Scripts the container runs are echoed on the history device.
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
// variable, equation and non-zero.
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
    if (status != 0) return fail("placement failed");
    if (kvoblk_inq_vstart(u.blk) != v || kvoblk_inq_estart(u.blk) != e ||
        kvoblk_inq_nzstart(u.blk) != nz || count(v, kvoblk_inq_vstop(u.blk)) != u.nvar ||
        count(e, kvoblk_inq_estop(u.blk)) != u.neqn || count(nz, kvoblk_inq_nzstop(u.blk)) != u.nnz)
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

void report_port(const Flowsheet& fs, kvoref::Port* p) {
  kvoprintf(kvHisDev, "    port %-3s (%s):", p->name(), nuxPortPhaseName(p->mat().phase()));
  for (int j = 0; j < p->num_vars(); ++j)
    kvoprintf(kvHisDev, "%s %s", j ? "," : "",
              kvovarlst_lookup_var_name(fs.lists.varlst, p->var(j)));
  kvoprintf(kvHisDev, "\n");
}

bool report(Flowsheet& fs) {
  heading("Flowsheet summary");
  int tanks = 0, ports = 0;
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
  }
  kvoprintf(kvHisDev,
            "  Totals: %zu blocks, %d tanks, %d variables, %d equations, %d non-zeros,"
            " %d ports\n",
            fs.units.size(), tanks, fs.nvar, fs.neqn, fs.nnz, ports);
  kvoprintf(kvHisDev, "  Degrees of freedom: %d (flow, CA and CB of each block's feed)\n",
            fs.nvar - fs.neqn);
  return true;
}

// Destroys the blocks (and with them their ports) before the container they point at.
void clean_up(Flowsheet& fs) {
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
      {"size the flowsheet", dimension},
      {"make the lists", make_lists},
      {"register the blocks", register_blocks},
      {"add the ports", add_ports},
      {"place the blocks", place_blocks},
      {"report", report},
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
