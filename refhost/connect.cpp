// SPDX-License-Identifier: BSD-3-Clause
// Stream connections: the connection equations' slice of the lists, making and refusing
// connections, removing them, their residuals and Jacobian values, and CONNECT scripts.
#include "kvoconnect.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace kvoref {

namespace {

const char* const kKindName[] = {"unspecified",   "volume flow",   "molar flow",  "mass flow",
                                 "concentration", "mole fraction", "temperature", "pressure"};
const char* const kKindUnit[] = {"", "m3/h", "kmol/h", "kg/s", "kmol/m3", "-", "K", "kPa"};
constexpr int kKinds = sizeof kKindName / sizeof kKindName[0];

const char* direction_name(int d) {
  return d == PORT_INLET ? "an inlet" : d == PORT_OUTLET ? "an outlet" : "a port of no direction";
}

// Variable `j` of a port, 0 (no variable) for the empty side of a connection whose port is gone.
int var_of(const Port* port, int j) { return port ? port->var(j) : 0; }

}  // namespace

const char* port_var_kind_name(int kind) {
  return kind >= 0 && kind < kKinds ? kKindName[kind] : kKindName[0];
}

const char* port_var_kind_unit(int kind) {
  return kind >= 0 && kind < kKinds ? kKindUnit[kind] : kKindUnit[0];
}

Port* stream_port(const char* name, int direction, const StreamSpec& stream) {
  auto* port = new Port(name, std::vector<int>(stream.kinds.size(), 0));
  port->set_stream(direction, stream.kinds, stream.labels);
  return port;
}

std::string port_full_name(const Port* port) {
  if (!port) return "?";
  const char* blk = port->block() ? port->block()->block_id() : nullptr;
  const char* name = port->name();
  return std::string(blk && *blk ? blk : "?") + "." + (name ? name : "?");
}

// ---- Port stream description -------------------------------------------------------------------

void Port::set_stream(int direction, std::vector<int> kinds, std::vector<std::string> labels) {
  direction_ = direction;
  kinds_ = std::move(kinds);
  labels_ = std::move(labels);
}

int Port::kind(int position) const {
  return position >= 0 && position < static_cast<int>(kinds_.size()) ? kinds_[position] : 0;
}

const char* Port::label(int position) const {
  return position >= 0 && position < static_cast<int>(labels_.size()) ? labels_[position].c_str()
                                                                      : "";
}

// ---- Connections -------------------------------------------------------------------------------

Connections::Connections(const Lists& lists, int estart, int nzstart, NUXBlockCallback* notify)
    : lists_(lists),
      estart_(std::max(estart, 1)),
      nzstart_(std::max(nzstart, 1)),
      notify_(notify) {}

Connections::~Connections() {
  for (const Conn& c : conns_) {
    forget(c.info.from);
    forget(c.info.to);
  }
}

void Connections::forget(Port* port) {
  if (!port) return;
  std::vector<Connections*>& sets = port->sets_;
  sets.erase(std::remove(sets.begin(), sets.end(), this), sets.end());
}

// Costs no list edit, so destroying every block of a large flowsheet before its set stays linear.
void Connections::drop(const Port* port) {
  const auto it = port_conn_.find(port);
  if (it == port_conn_.end()) return;
  const auto c = std::lower_bound(conns_.begin(), conns_.end(), it->second,
                                  [](const Conn& x, int v) { return x.info.id < v; });
  if (c != conns_.end() && c->info.id == it->second) {
    if (c->info.from == port) c->info.from = nullptr;
    if (c->info.to == port) c->info.to = nullptr;
  }
  port_conn_.erase(it);
}

void Connections::edit(bool pre, int deqn) {
  if (!notify_ || deqn == 0) return;
  if (pre)
    notify_->pre_structural_edit(nullptr, 0, deqn, 2 * deqn);
  else
    notify_->post_structural_edit(nullptr, 0, deqn, 2 * deqn);
}

int Connections::connect(Port* from, Port* to, const std::string& name) {
  const std::string a = port_full_name(from), b = port_full_name(to);
  refusal_.clear();
  auto refuse = [&](const std::string& why) {
    kvoprintf(kvHisDev, "!! connect %s -> %s: %s\n", a.c_str(), b.c_str(), why.c_str());
    refusal_ = why;
    return 0;
  };
  if (!from || !to) return refuse("a port does not exist");
  if (from == to) return refuse("a port cannot be connected to itself");
  for (const Port* p : {from, to})
    if (!p->block() || !p->block()->block_id())
      return refuse("port " + port_full_name(p) + " belongs to no block");
  if (from->direction() != PORT_OUTLET)
    return refuse(a + " is " + direction_name(from->direction()) + ", not an outlet");
  if (to->direction() != PORT_INLET)
    return refuse(b + " is " + direction_name(to->direction()) + ", not an inlet");
  const int n = from->num_vars();
  if (n != to->num_vars())
    return refuse(a + " carries " + std::to_string(n) + " variables but " + b + " carries " +
                  std::to_string(to->num_vars()));
  if (n == 0) return refuse("the ports carry no variables");
  for (int j = 0; j < n; ++j) {
    // A message made once, on the way out of the loop.
    // NOLINTBEGIN(performance-inefficient-string-concatenation)
    if (from->kind(j) != to->kind(j))
      return refuse("variable " + std::to_string(j + 1) + " of " + a + " is a " +
                    port_var_kind_name(from->kind(j)) + " but of " + b + " a " +
                    port_var_kind_name(to->kind(j)));
    // NOLINTEND(performance-inefficient-string-concatenation)
    for (const Port* p : {from, to})
      if (p->var(j) < 1 || p->var(j) > kvovarlst_inq_nvar(lists_.varlst))
        return refuse("port " + port_full_name(p) +
                      " is not bound to variables (place its block first)");
  }
  for (const Port* p : {from, to})
    if (const Info* c = of_port(p))
      return refuse("port " + port_full_name(p) + " is already connected by " + c->name);
  const std::string cname = name.empty() ? a + "->" + b : name;
  if (names_.count(cname)) return refuse("the name " + cname + " is already in use");

  Conn c;
  c.info.name = cname;
  c.info.from = from;
  c.info.to = to;
  c.neqn = n;
  for (int j = 0; j < n; ++j) {
    const char* label = to->label(j);
    c.eqn_names.push_back(cname + "." + (*label ? label : "V" + std::to_string(j + 1)));
  }
  edit(true, n);
  const int id = next_id_++;
  c.info.id = id;
  conns_.push_back(std::move(c));
  port_conn_[from] = id;
  port_conn_[to] = id;
  from->sets_.push_back(this);
  to->sets_.push_back(this);
  names_.insert(cname);
  // The new connection goes after the others, which keep their places.
  int e = estart_ + neqn_, k = nzstart_ + 2 * neqn_;
  neqn_ += n;
  if (nzstop() > kvojac_inq_nnz(lists_.jac)) resize_jac(lists_.jac, nzstop());
  write(conns_.back(), e, k);
  edit(false, n);
  return conns_.back().info.id;
}

bool Connections::disconnect(int id) {
  const auto it = std::lower_bound(conns_.begin(), conns_.end(), id,
                                   [](const Conn& c, int v) { return c.info.id < v; });
  if (it == conns_.end() || it->info.id != id) return false;
  const int n = it->neqn;
  edit(true, -n);
  // The connections before it keep their places. From its first equation and non-zero on, the
  // old slice is cleared and the later connections are written again one place down, so that
  // removing the last of many connections costs no more than removing the only one.
  const int old_estop = estop(), old_nzstop = nzstop();
  int e = it->info.estart, k = it->info.nzstart;
  port_conn_.erase(it->info.from);
  port_conn_.erase(it->info.to);
  forget(it->info.from);
  forget(it->info.to);
  names_.erase(it->info.name);
  const auto later = conns_.erase(it);
  neqn_ -= n;
  if (old_estop >= e) kvoeqnlst_removeeqns(lists_.eqnlst, e, old_estop);
  for (int q = k; q <= old_nzstop; ++q) {
    set_nz(lists_.jac, q, 0, 0);
    kvojac_set_nz_value(lists_.jac, q, 0.0);
  }
  for (auto c = later; c != conns_.end(); ++c) write(*c, e, k);
  edit(false, -n);
  return true;
}

bool Connections::disconnect(const Port* port) {
  bool any = false;
  while (const Info* c = port ? of_port(port) : nullptr) any = disconnect(c->id) || any;
  return any;
}

std::vector<Connections::Info> Connections::list() const {
  std::vector<Info> out;
  for (const Conn& c : conns_) out.push_back(c.info);
  return out;
}

const Connections::Info* Connections::find(int id) const {
  const auto it = std::lower_bound(conns_.begin(), conns_.end(), id,
                                   [](const Conn& c, int v) { return c.info.id < v; });
  return it != conns_.end() && it->info.id == id ? &it->info : nullptr;
}

const Connections::Info* Connections::of_port(const Port* port) const {
  const auto it = port_conn_.find(port);
  return it == port_conn_.end() ? nullptr : find(it->second);
}

void Connections::place(int estart, int nzstart) {
  const int old_estart = estart_, old_estop = estop();
  const int old_nzstart = nzstart_, old_nzstop = nzstop();
  estart_ = std::max(estart, 1);
  nzstart_ = std::max(nzstart, 1);
  // The blocks have their new sizes already: positions before the new start are theirs, also
  // where they have grown into the old slice. Only old positions past the new slice are stale.
  const int clear_e = std::max(old_estart, estop() + 1);
  if (old_estop >= clear_e) kvoeqnlst_removeeqns(lists_.eqnlst, clear_e, old_estop);
  for (int k = std::max(old_nzstart, nzstop() + 1); k <= old_nzstop; ++k) {
    set_nz(lists_.jac, k, 0, 0);
    kvojac_set_nz_value(lists_.jac, k, 0.0);
  }
  rewrite();
}

void Connections::rewrite() {
  if (nzstop() > kvojac_inq_nnz(lists_.jac)) resize_jac(lists_.jac, nzstop());
  int e = estart_, k = nzstart_;
  for (Conn& c : conns_) write(c, e, k);
}

void Connections::write(Conn& c, int& e, int& k) {
  c.info.estart = e;
  c.info.nzstart = k;
  for (int j = 0; j < c.neqn; ++j, ++e, k += 2) {
    // Its residual reads 0 until the next residual pass.
    define_eqn(lists_.eqnlst, e, c.eqn_names[j].c_str());
    set_eqn_status(lists_.eqnlst, e, EQN_ACTIVE);
    set_nz(lists_.jac, k, e, var_of(c.info.to, j));
    set_nz(lists_.jac, k + 1, e, var_of(c.info.from, j));
    kvojac_set_nz_value(lists_.jac, k, 1.0);
    kvojac_set_nz_value(lists_.jac, k + 1, -1.0);
  }
  c.info.estop = e - 1;
  c.info.nzstop = k - 1;
}

void Connections::residuals(int& status) {
  status = 0;
  const double* x = kvovarlst_vec_value(lists_.varlst);
  double* r = kvoeqnlst_vec_residual(lists_.eqnlst);
  const int nvar = kvovarlst_inq_nvar(lists_.varlst);
  if (neqn_ == 0) return;
  if (!x || !r || estop() > kvoeqnlst_inq_neqn(lists_.eqnlst)) {
    status = 1;
    return;
  }
  for (const Conn& c : conns_) {
    for (int j = 0; j < c.neqn; ++j) {
      const int vi = var_of(c.info.to, j), vo = var_of(c.info.from, j);
      if (vi < 1 || vi > nvar || vo < 1 || vo > nvar) {
        status = 1;
        return;
      }
      r[c.info.estart + j - 1] = x[vi - 1] - x[vo - 1];
    }
  }
}

void Connections::jacobian(int& status) {
  status = 0;
  // The entries follow the ports, which move with their blocks.
  int k = nzstart_;
  for (const Conn& c : conns_) {
    for (int j = 0; j < c.neqn; ++j, k += 2) {
      const int e = c.info.estart + j;
      set_nz(lists_.jac, k, e, var_of(c.info.to, j));
      set_nz(lists_.jac, k + 1, e, var_of(c.info.from, j));
      kvojac_set_nz_value(lists_.jac, k, 1.0);
      kvojac_set_nz_value(lists_.jac, k + 1, -1.0);
    }
  }
}

void Connections::report(int device) const {
  if (conns_.empty()) {
    kvoprintf(device, "No stream connections\n");
    return;
  }
  kvoprintf(device, "Stream connections (%d equations at %d-%d, %d non-zeros at %d-%d):\n", neqn_,
            estart(), estop(), 2 * neqn_, nzstart(), nzstop());
  for (const Conn& c : conns_) {
    double worst = 0.0;
    for (int j = 0; j < c.neqn && !std::isnan(worst); ++j) {
      const double d = std::fabs(kvovarlst_inq_var_value(lists_.varlst, var_of(c.info.to, j), 0) -
                                 kvovarlst_inq_var_value(lists_.varlst, var_of(c.info.from, j), 0));
      // A difference that is not a number is the worst there is and stays so.
      if (!(d <= worst)) worst = d;
    }
    kvoprintf(device, "  %-24s %s -> %s, %d variables, largest difference %.2e\n",
              c.info.name.c_str(), port_full_name(c.info.from).c_str(),
              port_full_name(c.info.to).c_str(), c.neqn, worst);
  }
}

}  // namespace kvoref
