// SPDX-License-Identifier: BSD-3-Clause
// The plant: blocks on one container and one set of lists, stream connections, fixed variables,
// degrees of freedom, the Newton solve with per-block evaluation counts, and the recycle
// flowsheet built on it.
#include "plant.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <map>

#include <kvoblk/kvomodel.h>

namespace {

// Residual routines of the plant's blocks are wrapped so that every run is counted, whoever
// asks for it (the solver, numeric Jacobians, Schubert updates, pattern detection).
struct ResCount {
  void (*original)(int, int*) = nullptr;
  long runs = 0;
};
std::map<int, ResCount>& res_counts() {
  static auto* m = new std::map<int, ResCount>;
  return *m;
}

void counting_res(int blk, int* status) {
  auto it = res_counts().find(blk);
  if (it == res_counts().end() || !it->second.original) {
    *status = 1;
    return;
  }
  ++it->second.runs;
  it->second.original(blk, status);
}

std::map<int, Plant::BlockCounts>& jac_counts() {
  static auto* m = new std::map<int, Plant::BlockCounts>;
  return *m;
}

// Both maps are keyed by block handle. A host reset drops every block with the workspace, and
// the handles are handed out again: entries from before it are forgotten the first time a plant
// looks after it.
void forget_blocks_of_earlier_hosts() {
  static int seen = kvoref::reset_count();
  if (seen == kvoref::reset_count()) return;
  seen = kvoref::reset_count();
  res_counts().clear();
  jac_counts().clear();
}

// "block <id>" for messages; a block whose id was cleared after it joined reads "block ?".
std::string block_named(int blk) {
  const char* id = kvoblk_blkid(blk);
  return std::string("block ") + (id && *id ? id : "?");
}

const char* const kHostWasReset = "the host was reset after the plant took its blocks";

bool fail(const std::string& what) {
  kvoref::start_line(kvHisDev);
  kvoprintf(kvHisDev, "!! plant: %s\n", what.c_str());
  return false;
}

}  // namespace

BlockUnit::BlockUnit(int blk, Plant::BlockCounts* counts) : blk_(blk), counts_(counts) {}

const char* BlockUnit::name() const {
  const char* id = kvoblk_blkid(blk_);
  return id ? id : "";
}

void BlockUnit::pre_solve(int& status) { kvoblk_pre_solve(blk_, &status); }
void BlockUnit::residuals(int& status) { kvoblk_res(blk_, &status); }
void BlockUnit::post_solve(int& status) { kvoblk_post_solve(blk_, &status); }

void BlockUnit::jacobian(int& status) {
  const int method = kvoblk_inq_deriv_type(blk_);
  // The dispatcher asks the block the same question in the same state, so the answer now says
  // whether the evaluation below is an update or the method it falls back to.
  const bool update = (method == KVOBLK_UPDATE_NUMERIC || method == KVOBLK_UPDATE_ANALYTIC) &&
                      blk_schubert_check(blk_) == 1;
  kvoblk_jac(blk_, &status);  // a negative status (rows kept) is a warning only
  ++jacobians;
  if (counts_) ++counts_->jacobians;
  if (update) {
    ++updates;
    if (counts_) ++counts_->updates;
    rows_seen += kvomodel::num_eqns(blk_);
    if (status < 0) rows_kept -= status;  // -k: k rows kept their values
  }
}

void BlockUnit::equation_range(int* first, int* last) const {
  *first = kvoblk_inq_estart(blk_);
  *last = kvoblk_inq_estop(blk_);
}

void BlockUnit::set_nlratio(double ratio) { kvoblk_set_nlratio(blk_, ratio); }

Plant::Plant() : host_resets_(kvoref::reset_count()) {}

Plant::~Plant() {
  // The container forgets the connection set before it goes: a port deleted meanwhile is
  // disconnected through it.
  if (cntr_) cntr_->connections = nullptr;
  conns_.reset();
  // After a host reset the blocks went with the workspace and the handles, the lists' too, may
  // name what was made since: nothing of them is touched.
  if (outlived_host()) {
    forget_blocks_of_earlier_hosts();
    cntr_.reset();
    return;
  }
  for (int blk : blocks_) {
    res_counts().erase(blk);
    jac_counts().erase(blk);
    kvoblk_destroy(blk);
  }
  cntr_.reset();
  // The lists go last, once nothing that uses them is left: kept, they would hold every
  // variable's and equation's name and the Jacobian until the host is reset.
  kvoref::release_lists(&lists_);
}

bool Plant::add(int blk) {
  if (blk == 0) return fail("no block to add");
  forget_blocks_of_earlier_hosts();
  // The host the plant's handles belong to is the one of its first block (a plant may well be
  // made before the host is reset for it, as a test fixture's member is).
  if (blocks_.empty() && lists_.varlst == 0) host_resets_ = kvoref::reset_count();
  const char* id = kvoblk_blkid(blk);
  // A block that joined a plant already is that plant's to destroy: refused, it is left alone,
  // so that it is neither destroyed under its plant nor destroyed twice.
  if (jac_counts().count(blk)) return fail(block_named(blk) + " belongs to a plant already");
  std::string why;
  // Blocks taken before a host reset are gone, and their handles may name blocks made since:
  // a block joining them could be neither placed nor destroyed with them.
  if (outlived_host())
    why = kHostWasReset;
  else if (built_)
    why = "the plant is built already";
  else if (!id || !*id)
    why = "a block has no id";
  // Only an id the index holds can be in use, unless a block was renamed after it joined.
  else if (block_index_.count(id) && block(id) != 0)
    why = std::string("the id ") + id + " is in use";
  if (!why.empty()) {
    kvoblk_destroy(blk);
    return fail(why);
  }
  kvoblk_ops_t* t = kvoblk_inq_ops(blk);
  if (t && t->res && t->res != counting_res) {
    res_counts()[blk] = ResCount{t->res, 0};
    t->res = counting_res;
  }
  jac_counts()[blk] = BlockCounts();
  block_index_.emplace(id, blk);
  blocks_.push_back(blk);
  return true;
}

namespace {

// The item (block or position) of `name` in `index`, checked against its live name (`name_of`).
// When the index has no such name or a stale entry, it is made again from the `count` items that
// `item_at` gives, the first holder of a name winning as a search in order would, and asked again.
template <class ItemAt, class NameOf>
int find_indexed(std::unordered_map<std::string, int>& index, const std::string& name, int count,
                 ItemAt item_at, NameOf name_of) {
  if (name.empty()) return 0;
  const auto hit = [&] {
    const auto it = index.find(name);
    if (it == index.end()) return 0;
    const char* live = name_of(it->second);
    return live && name == live ? it->second : 0;
  };
  if (const int item = hit()) return item;
  index.clear();
  for (int k = 0; k < count; ++k) {
    const int item = item_at(k);
    const char* n = name_of(item);
    if (n && *n) index.emplace(n, item);
  }
  return hit();
}

}  // namespace

int Plant::block(const std::string& id) const {
  return find_indexed(
      block_index_, id, static_cast<int>(blocks_.size()), [this](int k) { return blocks_[k]; },
      [](int blk) { return kvoblk_blkid(blk); });
}

bool Plant::build(int connection_room) {
  if (built_) return fail("the plant is built already");
  // A build that failed after making the lists left the blocks registered with this container
  // and placed in these lists. A fresh container would leave them naming the one it replaces,
  // and fresh lists would strand these until the host is reset.
  if (cntr_ || lists_.varlst != 0)
    return fail("the plant cannot be built again after a failed build");
  if (outlived_host()) return fail(kHostWasReset);
  // A block renamed after it joined may now share its id with another; ports and variables
  // are named after the ids, so the plant is refused.
  block_index_.clear();
  for (int blk : blocks_) {
    const char* id = kvoblk_blkid(blk);
    if (id && *id && !block_index_.emplace(id, blk).second)
      return fail(std::string("the id ") + id + " is in use");
  }
  int64_t total_nnz = 0;
  std::vector<int> reserved;
  for (int blk : blocks_) {
    int nvar = 0, neqn = 0, nnz = 0, status = 0;
    kvoblk_dim(blk, &nvar, &neqn, &nnz, &status);
    if (status != 0 || nnz < 0 || nvar < 0)
      return fail(block_named(blk) + " could not say its size");
    reserved.push_back(nnz);
    total_nnz += nnz;
  }
  // Counted wide: blocks that detect their pattern answer an estimate that may come close to
  // the largest int each.
  total_nnz += 2 * static_cast<int64_t>(std::max(connection_room, 0));
  if (total_nnz > INT_MAX)
    return fail("the blocks may hold " + std::to_string(total_nnz) +
                " non-zeros, more than one Jacobian holds");
  // The Jacobian grows block by block to hold what is placed so far and what the next block
  // reserves, and is cut down to what the blocks use once all are placed. A block that detects
  // its pattern reserves a share of nvar x neq (30 % by default), far more than it finds; the
  // sum of those reservations would otherwise be held, and scanned by the solver, for good.
  const int room = 2 * std::max(connection_room, 0);
  if (blocks_.empty()) host_resets_ = kvoref::reset_count();
  lists_ = kvoref::make_lists(0);
  cntr_.reset(new kvoref::Container(lists_));
  for (int blk : blocks_) kvoblk_base_typical_register(blk, cntr_.get());
  int v = 1, e = 1, nz = 1;
  for (size_t b = 0; b < blocks_.size(); ++b) {
    const int blk = blocks_[b];
    int status = 0;
    const int64_t need = static_cast<int64_t>(nz) - 1 + reserved[b];
    if (need > kvojac_inq_nnz(lists_.jac))
      kvoref::resize_jac(lists_.jac, static_cast<int>(std::min<int64_t>(need, INT_MAX)));
    stopped_at_ = blk;
    kvoblk_ini(blk, v, e, nz, &status);
    if (status != 0) return fail(block_named(blk) + " could not be placed");
    // Entries beyond the block's reservation found no room in the Jacobian and were lost.
    const int64_t used = static_cast<int64_t>(kvoblk_inq_nzstop(blk)) - nz + 1;
    if (used > reserved[b])
      return fail(block_named(blk) + " placed " + std::to_string(used) +
                  " non-zeros but reserved " + std::to_string(reserved[b]));
    v = std::max(v, kvoblk_inq_vstop(blk) + 1);
    e = std::max(e, kvoblk_inq_estop(blk) + 1);
    nz = std::max(nz, kvoblk_inq_nzstop(blk) + 1);
  }
  kvoref::resize_jac(lists_.jac,
                     static_cast<int>(
                         std::min<int64_t>(static_cast<int64_t>(nz) - 1 + room, INT_MAX)));
  stopped_at_ = 0;
  conns_.reset(new kvoref::Connections(lists_, e, nz, cntr_.get()));
  cntr_->connections = conns_.get();
  cntr_->find_port = [this](const std::string& b, const std::string& p) { return port(b, p); };
  built_ = true;
  return true;
}

kvoref::Port* Plant::port(const std::string& blk_id, const std::string& name) const {
  const int blk = block(blk_id);
  // Only the reference host's own ports carry a stream description; a port of another class
  // cannot be connected and answers null.
  return blk ? dynamic_cast<kvoref::Port*>(kvoblk_get_port(blk, name.c_str())) : nullptr;
}

kvoref::Port* Plant::port(const std::string& dotted) const {
  const size_t dot = dotted.rfind('.');
  if (dot == std::string::npos) return nullptr;
  return port(dotted.substr(0, dot), dotted.substr(dot + 1));
}

int Plant::connect(const std::string& from, const std::string& to, const std::string& name) {
  if (!built_) {
    fail("connect " + from + " -> " + to + ": the plant is not built yet");
    return 0;
  }
  if (outlived_host()) {
    fail("connect " + from + " -> " + to + ": " + kHostWasReset);
    return 0;
  }
  kvoref::Port* a = port(from);
  kvoref::Port* b = port(to);
  if (!a || !b) {
    kvoprintf(kvHisDev, "!! connect %s -> %s: there is no port %s\n", from.c_str(), to.c_str(),
              !a ? from.c_str() : to.c_str());
    return 0;
  }
  return conns_->connect(a, b, name);
}

bool Plant::disconnect(int id) { return conns_ && !outlived_host() && conns_->disconnect(id); }

int Plant::var(const std::string& name) const {
  const int varlst = lists_.varlst;
  return find_indexed(
      var_index_, name, kvovarlst_inq_nvar(varlst), [](int k) { return k + 1; },
      [varlst](int p) { return kvovarlst_lookup_var_name(varlst, p); });
}

double Plant::value(int pos) const { return kvovarlst_inq_var_value(lists_.varlst, pos, 0); }
double Plant::value(const std::string& name) const { return value(var(name)); }

bool Plant::fix(int pos, double value) {
  if (outlived_host() || pos < 1 || pos > kvovarlst_inq_nvar(lists_.varlst) ||
      !std::isfinite(value))
    return false;
  kvovarlst_set_var_value(lists_.varlst, pos, value, 0);
  kvoref::set_var_status(lists_.varlst, pos,
                         kvovarlst_inq_var_status(lists_.varlst, pos) | kvoref::VAR_FIXED);
  return true;
}

bool Plant::fix(const std::string& name, double value) {
  if (outlived_host()) return fail("cannot fix " + name + ": " + kHostWasReset);
  if (fix(var(name), value)) return true;
  return fail("cannot fix " + name + ": no such variable or a value that is not a number");
}

bool Plant::unfix(int pos) {
  if (outlived_host() || pos < 1 || pos > kvovarlst_inq_nvar(lists_.varlst)) return false;
  kvoref::set_var_status(lists_.varlst, pos,
                         kvovarlst_inq_var_status(lists_.varlst, pos) & ~kvoref::VAR_FIXED);
  return true;
}

bool Plant::set_value(const std::string& name, double value) {
  if (outlived_host()) return false;
  const int p = var(name);
  if (p == 0 || !std::isfinite(value)) return false;
  kvovarlst_set_var_value(lists_.varlst, p, value, 0);
  return true;
}

std::vector<int> Plant::unknowns() const {
  std::vector<int> out;
  for (int p = 1, n = kvovarlst_inq_nvar(lists_.varlst); p <= n; ++p) {
    const int st = kvovarlst_inq_var_status(lists_.varlst, p);
    if (kvovarlst_lookup_var_name(lists_.varlst, p)[0] && !(st & kvoref::VAR_FIXED) &&
        !(st & kvoref::VAR_EXCLUDED))
      out.push_back(p);
  }
  return out;
}

std::vector<int> Plant::equations() const {
  std::vector<int> out;
  for (int e = 1, n = kvoeqnlst_inq_neqn(lists_.eqnlst); e <= n; ++e)
    if (kvoeqnlst_lookup_eqn_name(lists_.eqnlst, e)[0] &&
        u3rinc_c(kvoeqnlst_inq_eqn_status(lists_.eqnlst, e)))
      out.push_back(e);
  return out;
}

int Plant::degrees_of_freedom() const {
  return static_cast<int>(unknowns().size()) - static_cast<int>(equations().size());
}

bool Plant::set_method(int method) {
  if (outlived_host()) return fail(std::string("set_method: ") + kHostWasReset);
  bool ok = true;
  for (int blk : blocks_) ok = kvoblk_set_deriv_type(blk, method) == method && ok;
  return ok;
}

kvoref::NewtonReport Plant::solve(const kvoref::NewtonOptions& options) {
  // Unplaced blocks have no equations or variables in the lists: there is nothing to solve, and
  // asking their residuals would fail without saying why.
  if (!built_) {
    kvoref::NewtonReport report;
    report.message = "the plant is not built yet";
    fail("solve: " + report.message);
    return report;
  }
  // After a host reset the plant's block and list handles may name another plant's: a solve
  // through them would move that plant's variables.
  if (outlived_host()) {
    kvoref::NewtonReport report;
    report.message = kHostWasReset;
    fail("solve: " + report.message);
    return report;
  }
  // A block destroyed by its handle from outside answers every request with nothing: its
  // equations would be left out of the solve, or its failure put down to a nameless unit.
  for (int blk : blocks_)
    if (!kvoblk_inq_ops(blk)) {
      kvoref::NewtonReport report;
      report.message = "block handle " + std::to_string(blk) + " was destroyed outside the plant";
      fail("solve: " + report.message);
      return report;
    }
  std::vector<BlockUnit> units;
  units.reserve(blocks_.size());
  for (int blk : blocks_) units.emplace_back(blk, &jac_counts()[blk]);
  std::vector<kvoref::SolverUnit*> su;
  for (BlockUnit& u : units) su.push_back(&u);
  if (conns_) su.push_back(conns_.get());
  return kvoref::newton_solve(lists_, su, options);
}

Plant::BlockCounts Plant::counts(int blk) const {
  BlockCounts c;
  auto j = jac_counts().find(blk);
  if (j != jac_counts().end()) c = j->second;
  auto r = res_counts().find(blk);
  if (r != res_counts().end()) c.residuals = r->second.runs;
  return c;
}

Plant::BlockCounts Plant::total_counts() const {
  BlockCounts t;
  for (int blk : blocks_) {
    const BlockCounts c = counts(blk);
    t.residuals += c.residuals;
    t.jacobians += c.jacobians;
    t.updates += c.updates;
  }
  return t;
}

void Plant::reset_counts() {
  for (int blk : blocks_) {
    jac_counts()[blk] = BlockCounts();
    res_counts()[blk].runs = 0;
  }
}

// ---- The recycle flowsheet ---------------------------------------------------------------------

bool build_recycle(Plant& plant, const RecycleSpec& spec) {
  CstrParams reactor;
  reactor.volume = spec.volume;
  reactor.rate_constant = spec.rate_constant;
  reactor.order = spec.order;
  reactor.feed_flow = spec.feed_flow;
  reactor.feed_ca = spec.feed_ca;
  reactor.feed_cb = spec.feed_cb;
  FlashParams flash;
  flash.ctot = spec.feed_ca + spec.feed_cb;
  flash.temperature = spec.flash_t;
  flash.pressure = spec.flash_p;
  const int r1 = cstr_create("R1", spec.ntanks, reactor);
  if (r1 != 0 && !cstr_add_stream_ports(r1)) {
    kvoblk_destroy(r1);
    return fail("the reactor's ports could not be made");
  }
  if (!plant.add(mix_create("MIX", 2)) || !plant.add(r1) || !plant.add(flash_create("FL", flash)) ||
      !plant.add(split_create("SPL", {spec.purge, 1.0 - spec.purge})))
    return fail("a block of the recycle flowsheet could not be made");
  if (!plant.build()) return false;
  const char* const links[][3] = {{"MIX.OUT", "R1.IN", "S2"},
                                  {"R1.OUT", "FL.FEED", "S3"},
                                  {"FL.VAP", "SPL.IN", "S4"},
                                  {"SPL.OUT2", "MIX.IN2", "S6"}};
  for (const auto& l : links)
    if (plant.connect(l[0], l[1], l[2]) == 0) return false;
  return plant.fix("MIX.IN1.F", spec.feed_flow) && plant.fix("MIX.IN1.CA", spec.feed_ca) &&
         plant.fix("MIX.IN1.CB", spec.feed_cb) && plant.fix("FL.T", spec.flash_t) &&
         plant.fix("FL.P", spec.flash_p) && plant.fix("SPL.SF(1)", spec.purge);
}

RecycleBalance recycle_balance(const Plant& plant) {
  RecycleBalance b;
  auto v = [&](const char* name) { return plant.value(name); };
  const double feed_a = v("MIX.IN1.F") * v("MIX.IN1.CA");
  const double feed_b = v("MIX.IN1.F") * v("MIX.IN1.CB");
  const double liq_a = v("FL.LIQ.F") * v("FL.LIQ.CA"), liq_b = v("FL.LIQ.F") * v("FL.LIQ.CB");
  const double purge_a = v("SPL.OUT1.F") * v("SPL.OUT1.CA");
  const double purge_b = v("SPL.OUT1.F") * v("SPL.OUT1.CB");
  const int r1 = plant.block("R1");
  const CstrParams p = cstr_params(r1);
  for (int tank = 1, n = cstr_ntanks(r1); tank <= n; ++tank) {
    const double ca = cstr_value(r1, tank, CSTR_CA);
    b.reacted += p.volume * p.rate_constant * (p.order == 1 ? ca : ca * ca);
  }
  b.in = feed_a + feed_b;
  b.out = liq_a + liq_b + purge_a + purge_b;
  b.in_a = feed_a;
  b.out_a = liq_a + purge_a;
  b.total_error = b.in != 0.0 ? std::fabs(b.in - b.out) / b.in : INFINITY;
  b.a_error = b.in_a != 0.0 ? std::fabs(b.in_a - b.out_a - b.reacted) / b.in_a : INFINITY;
  return b;
}
