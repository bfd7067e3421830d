// SPDX-License-Identifier: BSD-3-Clause
// The framework block class: forwards every interface operation of the host framework to the
// block record through the function layer; connection activation and structural-edit notices.
#include <kvoblk/kvoblock.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>

#include <kvoblk/kvopat_compare.h>
#include <kvoblk/kvoport.h>
#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// Makes `object` the framework object of a live block, releasing the number of the one named
// before. When the reference table cannot grow the block names no object rather than a stale
// one.
void name_object(int blkptr, NUXEOBlock* object) {
  int32_t number = ref_put(object);
  ref_drop(word(blkptr, W::block_object));
  word(blkptr, W::block_object) = number;
}

// Makes a live block that names `object` name none. A record that still named it would hand a
// deleted object, or one that now presents another block, to the container on the next script
// run, attribute request or edit notice.
void withdraw_name(int blkptr, KVOBlock* object) {
  if (blkptr != 0 && registered(blkptr) &&
      ref_as<NUXEOBlock>(word(blkptr, W::block_object)) == static_cast<NUXEOBlock*>(object)) {
    ref_drop(word(blkptr, W::block_object));
    word(blkptr, W::block_object) = 0;
  }
}

// The objects with a Destroy or a removal from the matrix under way, innermost first. A model
// that keeps its objects itself deletes the object in its own destroy routine, which those calls
// may run: the destructor marks the entry so that the call reads nothing of the object after it
// and Destroy does not delete it a second time. The list is the thread's own, so its entries are
// always those of the calls now running on it, in nesting order, whatever other threads do with
// other blocks.
// A removal whose de_ini destroyed the block while the object lives also keeps the container
// told the edit began and the object it was told of, for the post-edit notice.
struct Ending {
  const KVOBlock* object;
  bool deleted;
  Ending* outer;
  bool block_gone = false;
  NUXBlockCallback* cntr = nullptr;
  NUXEOBlock* presented = nullptr;
};
thread_local Ending* ending = nullptr;

void mark_deleted(const KVOBlock* object) {
  for (Ending* e = ending; e; e = e->outer)
    if (e->object == object) e->deleted = true;
}

// Enters `object` for as long as the guard lives, so that the entry also leaves when a derived
// class's operation throws through the call.
class Watching {
 public:
  explicit Watching(const KVOBlock* object) : entry_{object, false, ending} { ending = &entry_; }
  ~Watching() { ending = entry_.outer; }
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;
  bool deleted() const { return entry_.deleted; }
  // The block is gone: the post-edit notice goes to `cntr`, for `presented`.
  void block_gone(NUXBlockCallback* cntr, NUXEOBlock* presented) {
    entry_.block_gone = true;
    entry_.cntr = cntr;
    entry_.presented = presented;
  }

 private:
  Ending entry_;
};

// The post-edit notice to a container taken from the record before the block may have gone
// (serial 0: it is known to be gone). The notice is the container's code: an exception is
// reported as the exported notice reports it, under the block's id while the block is there.
void post_notice(NUXBlockCallback* cntr, NUXEOBlock* object, int blkptr, uint64_t serial, int dvar,
                 int deqn, int dnz) {
  if (!cntr) return;
  try {
    cntr->post_structural_edit(object, dvar, deqn, dnz);
  } catch (...) {
    report_exception("kvoblk_notifyPostStructuralEdit", blkptr, serial);
  }
}

// Last position minus first plus one, straight from the record, saturated at the bounds of an
// int; 0 for handle 0 or a bad handle.
int count_of(int blkptr, int first, int last, const char* fn) {
  if (!live(blkptr, fn)) return 0;
  return clamp32(span(word(blkptr, first), word(blkptr, last)));
}

// first + n - 1, saturated at the bounds of an int.
int last_of(int first, int n) { return clamp32(static_cast<int64_t>(first) + n - 1); }

// -n, saturated: the smallest int has no negative.
int negated(int n) { return clamp32(-static_cast<int64_t>(n)); }

// Calls activate or deactivate on every distinct connection manager of the block's variables.
// The range is asked again on every pass through the object's own operations, so that a
// derived class's answers count.
void connections(const KVOBlock& block, bool activate) {
  int varlst = kvoblk_inq_varlst(block.get_blkptr());
  if (varlst == 0) return;
  auto call = [activate](kvo_connmgr* mgr) {
    if (activate) {
      mgr->activate();
    } else {
      mgr->deactivate();
    }
  };
  // One past the last position to visit, asked again on every pass. Positions past the end of
  // the variable list hold no variable, so a range that reaches beyond it (or beyond any int)
  // ends there.
  auto end = [&block, varlst]() -> int64_t {
    const int64_t stop = static_cast<int64_t>(block.vstart()) + block.num_var();
    const int64_t held = static_cast<int64_t>(kvovarlst_inq_nvar(varlst)) + 1;
    return stop < held ? stop : held;
  };
  // Positions before the first of the list hold no variable either: a range that starts far
  // below it is walked from position 1, not one pass per missing position.
  const int64_t first = block.vstart() > 1 ? block.vstart() : 1;
  std::set<kvo_connmgr*> managers;
  bool built = false;
  try {
    for (int64_t i = first; i < end(); ++i) {
      kvo_connmgr* mgr = kvovarlst_inq_var_connMgr(varlst, static_cast<int>(i));
      if (mgr) managers.insert(mgr);
    }
    built = true;
  } catch (const std::bad_alloc&) {
    // No room for the set: no manager has been called yet. Call each manager at its first
    // variable instead (below), which needs no memory and still calls every manager once.
  }
  if (built) {
    for (kvo_connmgr* mgr : managers) call(mgr);
    return;
  }
  for (int64_t i = first; i < end(); ++i) {
    kvo_connmgr* mgr = kvovarlst_inq_var_connMgr(varlst, static_cast<int>(i));
    if (!mgr) continue;
    bool seen = false;
    for (int64_t j = first; j < i && !seen; ++j)
      seen = kvovarlst_inq_var_connMgr(varlst, static_cast<int>(j)) == mgr;
    if (!seen) call(mgr);
  }
}

}  // namespace

// ---- Construction, copies, destruction -------------------------------------------------------

KVOBlock::KVOBlock() = default;

KVOBlock::KVOBlock(int blkptr) : blkptr_(blkptr) {
  if (blkptr != 0 && live(blkptr, "KVOBlock::KVOBlock"))
    name_object(blkptr, static_cast<NUXEOBlock*>(this));
}

KVOBlock::KVOBlock(char* name, unsigned int length) {
  // A length that does not fit the creation's word count would be taken for a small record
  // that the model then writes past; no block is made for it.
  int blkptr = length <= static_cast<unsigned int>(INT_MAX)
                   ? kvoblk_base_create(static_cast<int>(length))
                   : 0;
  // With handle 0 the adoption frees the text, so a failed creation does not leak it.
  kvoblk_adopt_blkid(blkptr, name);
  if (blkptr == 0) return;
  blkptr_ = blkptr;
  name_object(blkptr, static_cast<NUXEOBlock*>(this));
}

KVOBlock::KVOBlock(const KVOBlock& other)
    : NUXEOBlock(other), wrapper_(other.wrapper_), blkptr_(other.blkptr_) {
  if (wrapper_) wrapper_->add_ref();
}

// NOLINTNEXTLINE(bugprone-unhandled-self-assignment): safe by order, see the first comment
KVOBlock& KVOBlock::operator=(const KVOBlock& other) {
  // Reference first, release second: assigning an object to itself keeps its reference.
  KVOBlock::tuvwrappercntr_setWrapper(other.wrapper_);
  // An object that moves to another block is no longer the old block's framework object.
  if (other.blkptr_ != blkptr_) withdraw_name(blkptr_, this);
  blkptr_ = other.blkptr_;
  return *this;
}

KVOBlock::~KVOBlock() {
  if (wrapper_) wrapper_->release();
  wrapper_ = nullptr;
  withdraw_name(blkptr_, this);
  mark_deleted(this);
}

extern "C" KVOBLK_API KVOBlock* create_KVOBlock(int blkptr) { return heap_make<KVOBlock>(blkptr); }

int KVOBlock::get_blkptr() const { return blkptr_; }

// A bad handle is reported once, under the setter's own name, not by the query and the setter
// it uses.
void KVOBlock::set_num_var(int n) {
  if (!live(blkptr_, "KVOBlock::set_num_var")) return;
  kvoblk_set_vstop(blkptr_, last_of(kvoblk_inq_vstart(blkptr_), n));
}
void KVOBlock::set_num_eqn(int n) {
  if (!live(blkptr_, "KVOBlock::set_num_eqn")) return;
  kvoblk_set_estop(blkptr_, last_of(kvoblk_inq_estart(blkptr_), n));
}
void KVOBlock::set_num_nz(int n) {
  if (!live(blkptr_, "KVOBlock::set_num_nz")) return;
  kvoblk_set_nzstop(blkptr_, last_of(kvoblk_inq_nzstart(blkptr_), n));
}

ITUVWrapper* KVOBlock::tuvwrappercntr_getWrapper() { return wrapper_; }

void KVOBlock::tuvwrappercntr_setWrapper(ITUVWrapper* wrapper) {
  if (wrapper) wrapper->add_ref();
  if (wrapper_) wrapper_->release();
  wrapper_ = wrapper;
}

// ---- Attributes --------------------------------------------------------------------------------

int KVOBlock::attr_num() const { return kvoblk_num_attr(blkptr_); }

const char* KVOBlock::attr_name(int i) const { return kvoblk_name_attr(blkptr_, i); }

bool KVOBlock::attr_lookup_value(const char* attr, value_t* value) const {
  return kvoblk_lookup_value(blkptr_, attr, value);
}

bool KVOBlock::attr_assign_value(const char* attr, const value_t& value) {
  return kvoblk_assign_value(blkptr_, attr, &value);
}

bool KVOBlock::attr_lookup_ismodified(const char*) { return false; }

const nuxblock_attr_desc* KVOBlock::attr_describe(const char* attr) const {
  return kvoblk_describe_attr(blkptr_, attr);
}

// ---- Block -------------------------------------------------------------------------------------

void KVOBlock::Destroy() {
  // The model's destroy routine may delete this object itself; nothing of it is read after the
  // routine unless the destructor has not run.
  bool deleted = false;
  {
    const Watching self(this);
    kvoblk_destroy(blkptr_);
    deleted = self.deleted();
  }
  if (!deleted) delete this;
}

const char* KVOBlock::name() const { return kvoblk_blkid(blkptr_); }

bool KVOBlock::isof_type(const char* type) const { return kvoblk_isof_type(blkptr_, type) != 0; }

bool KVOBlock::included() const { return kvoblk_inq_included(blkptr_) != 0; }

void KVOBlock::set_included(bool included) { kvoblk_set_included(blkptr_, included ? 1 : 0); }

void KVOBlock::report(int& status) { kvoblk_report(blkptr_, &status); }

NUXEOBlock::nuxblock_state KVOBlock::state() const {
  switch (kvoblk_inq_eo_state(blkptr_)) {
    case KVOBLK_EO_FORM:
      return EO_FORM;
    case KVOBLK_SOLVING:
      return SOLVING;
    default:
      return NOT_INITIALISED;
  }
}

void KVOBlock::set_name(const char* name) {
  // The record adopts the text: the interface passes it as const, but ownership moves here.
  kvoblk_adopt_blkid(blkptr_, const_cast<char*>(name));
}

void KVOBlock::inq_attr(nux_blk_t& info) const { kvoblk_inq_attr(blkptr_, &info); }

void KVOBlock::init(int& status) const { kvoblk_init(blkptr_, &status); }

void KVOBlock::evaluate_nlratio() { kvoblk_nlratio(blkptr_); }

double KVOBlock::nlratio() const { return kvoblk_inq_nlratio(blkptr_); }

void KVOBlock::set_nlratio(double ratio) { kvoblk_set_nlratio(blkptr_, ratio); }

// ---- Connections -------------------------------------------------------------------------------

void KVOBlock::activate_connections() const { connections(*this, true); }

void KVOBlock::deactivate_connections() const { connections(*this, false); }

bool KVOBlock::BlockVariableUpdate(int) { return false; }

// ---- Scripts -----------------------------------------------------------------------------------

kvopipe* KVOBlock::acquire_script(const char* name) const {
  return kvoblk_acquire_script(blkptr_, name);
}

int KVOBlock::method_invoke(const char* name, EBSContext* ctx, int nargs, const value_t* args) {
  return kvoblk_invoke(blkptr_, name, ctx, nargs, args);
}

int KVOBlock::method_scope_invoke(const char* name, int scope1, int scope2, EBSContext* ctx,
                                  int nargs, const value_t* args) {
  return kvoblk_scope_invoke(blkptr_, name, scope1, scope2, ctx, nargs, args);
}

int KVOBlock::method_num() const {
  int count = 0;
  kvoblk_inq_nscript(blkptr_, &count);
  return count;
}

void KVOBlock::method_name(int index, char* name) const {
  kvoblk_inq_scriptid(blkptr_, index, name);
}

// ---- Ports -------------------------------------------------------------------------------------

int KVOBlock::port_num() const { return kvoblk_inq_num_ports(blkptr_); }

bool KVOBlock::port_add(nux_port* port) { return kvoblk_add_port(blkptr_, port); }

bool KVOBlock::port_delete(const char* name) { return kvoblk_delete_port(blkptr_, name); }

nux_port* KVOBlock::port_get(const char* name) const { return kvoblk_get_port(blkptr_, name); }

nux_port* KVOBlock::port_get(int i) const { return kvoblk_get_port_n(blkptr_, i); }

int KVOBlock::port_index(const char* name) const {
  if (!name) return 0;
  // The count is asked on every pass and the last int ends the search without wrapping. Past
  // what the block's port array holds, the library's numbering has no port, so there an empty
  // position ends the search while the count is the block's own: a count stored far past the
  // array is not walked position by position. A derived class that counts ports it keeps
  // itself is followed to its count, past empty positions too.
  for (int i = 1;; ++i) {
    const int n = port_num();
    if (i > n) break;
    nux_port* port = port_get(i);
    if (!port && i > ports_to_search(blkptr_, n) && n == kvoblk_inq_num_ports(blkptr_)) break;
    const char* port_name = port ? port->name() : nullptr;
    if (port_name && std::strcmp(port_name, name) == 0) return i;
    if (i == INT_MAX) break;
  }
  return 0;
}

bool KVOBlock::port_lookup_value(const char* port, const char* attr, value_t* value) const {
  return kvoblk_port_lookup_value(blkptr_, port, attr, value);
}

void KVOBlock::port_assign_value(const char* port, const char* attr, const value_t* value) {
  kvoblk_port_assign_value(blkptr_, port, attr, value);
}

// ---- Solve brackets ----------------------------------------------------------------------------

void KVOBlock::pre_solve(int& status) { kvoblk_pre_solve(blkptr_, &status); }

void KVOBlock::post_solve(int& status) { kvoblk_post_solve(blkptr_, &status); }

// ---- Containers --------------------------------------------------------------------------------

void KVOBlock::register_container(NUXBlockCallback* callback) {
  if (!callback) return;
  if (callback->isof_type("NUXEOBlockCallback")) {
    kvoblk_register_container(blkptr_, callback);
    return;
  }
  head("KVOBlock::register_container");
  kvoprintf(kvHisDev, "Can not register container: incorrect type!\n");
}

NUXEOCntr* KVOBlock::inq_container(const NUXEOCntr& cntr) const {
  return kvoblk_inq_container(blkptr_, &cntr);
}

NUXEOCntr* KVOBlock::inq_embedded_container(const NUXEOCntr& cntr) const {
  return kvoblk_inq_embedded_container(blkptr_, &cntr);
}

// ---- Matrix placement --------------------------------------------------------------------------

void KVOBlock::dim(int& nvar, int& neqn, int& nnz, int& status) {
  kvoblk_dim(blkptr_, &nvar, &neqn, &nnz, &status);
}

void KVOBlock::ini(int vstart, int estart, int nzstart, int& status) {
  kvoblk_ini(blkptr_, vstart, estart, nzstart, &status);
}

void KVOBlock::de_ini(int& status) { kvoblk_de_ini(blkptr_, &status); }

int KVOBlock::vstart() const { return kvoblk_inq_vstart(blkptr_); }

int KVOBlock::num_var() const {
  return count_of(blkptr_, W::vstart, W::vstop, "KVOBlock::num_var");
}

int KVOBlock::estart() const { return kvoblk_inq_estart(blkptr_); }

int KVOBlock::num_eqn() const {
  return count_of(blkptr_, W::estart, W::estop, "KVOBlock::num_eqn");
}

int KVOBlock::nzstart() const { return kvoblk_inq_nzstart(blkptr_); }

int KVOBlock::num_nz() const {
  return count_of(blkptr_, W::nzstart, W::nzstop, "KVOBlock::num_nz");
}

int KVOBlock::global_var_offset() const { return kvoblk_global_var_offset(blkptr_); }

int KVOBlock::global_eqn_offset() const { return kvoblk_global_eqn_offset(blkptr_); }

int KVOBlock::global_jac_offset() const { return kvoblk_global_jac_offset(blkptr_); }

void KVOBlock::move(int dv, int de, int dnz) { kvoblk_move(blkptr_, dv, de, dnz); }

int KVOBlock::matrix_precedence() const { return kvoblk_inq_matrix_precedence(blkptr_); }

void KVOBlock::removeFromMatrix() {
  // The counts are taken while the block is still placed; de_ini reports its own errors. A
  // range that ends before it starts, or starts before the lists' first position (a refused
  // placement leaves such ranges), holds nothing the removal could take: it shrinks nothing,
  // where its negated count would tell the container that the matrix grows. The counts come
  // first, in their order, and a start is asked only of a range that holds something, so that
  // an object whose handle is stale reports it once per count.
  const int nvar = num_var();
  const int dvar = nvar > 0 && vstart() >= 1 ? negated(nvar) : 0;
  const int neqn = num_eqn();
  const int deqn = neqn > 0 && estart() >= 1 ? negated(neqn) : 0;
  const int nnz = num_nz();
  const int dnz = nnz > 0 && nzstart() >= 1 ? negated(nnz) : 0;
  // The pre-edit notice (a derived class may replace it) or a de_ini routine may destroy the
  // block, whose record then no longer names the container that was told the edit began (a
  // block made at the handle since is another one), and with it this object (a model that keeps
  // its objects deletes them in its destroy routine): the container is then told of the end
  // from what the record held, for the object it was told of, and nothing of the object is
  // read. A block gone before de_ini is not de-initialised: the handle is released or another
  // block's.
  const int blkptr = blkptr_;
  const uint64_t serial = serial_of(blkptr);
  NUXBlockCallback* cntr = serial != 0 ? container(blkptr) : nullptr;
  auto* object = serial != 0 ? ref_as<NUXEOBlock>(word(blkptr, W::block_object)) : nullptr;
  const auto gone = [blkptr, serial] { return serial != 0 && !same_serial(blkptr, serial); };
  Watching self(this);
  notifyPreStructuralEdit(dvar, deqn, dnz);
  if (!gone()) {
    // The container has been told the block leaves the matrix: it leaves, also when the notice
    // deleted this object (a host that replaces the block's framework object), through the
    // function its own de_ini forwards to.
    int status = 0;
    if (!self.deleted()) {
      de_ini(status);
    } else {
      kvoblk_de_ini(blkptr, &status);
    }
  }
  if (self.deleted()) {
    post_notice(cntr, object, blkptr, serial, dvar, deqn, dnz);
    return;
  }
  // The object lives: its own notice runs, as a derived class may replace it, and the base
  // notice finds the container in the entry rather than in a record that is gone.
  if (gone()) self.block_gone(cntr, object);
  notifyPostStructuralEdit(dvar, deqn, dnz);
}

// ---- Residuals, pattern, Jacobian --------------------------------------------------------------

void KVOBlock::res(int group, int& status) const { kvoblk_group_res(blkptr_, group, &status); }

void KVOBlock::res(int& status) const { kvoblk_res(blkptr_, &status); }

void KVOBlock::res_numpat(int& status) const { kvoblk_npat_res(blkptr_, &status); }

void KVOBlock::pat_ncompare(double pertsize, double zerotol, int& status) {
  kvoblk_npat_compare(blkptr_, pertsize, zerotol, &status);
}

void KVOBlock::jac(int group, int& status) const { kvoblk_group_jac(blkptr_, group, &status); }

void KVOBlock::jac(int& status) const { kvoblk_jac(blkptr_, &status); }

void KVOBlock::jac_compare(double pertsize, double reltol, double abstol, int& count,
                           int** const rows, double** const analytic, double** const numeric,
                           int& status) {
  kvoblk_jac_compare(blkptr_, pertsize, reltol, abstol, &count, rows, analytic, numeric, &status);
}

// ---- Structural edits --------------------------------------------------------------------------

void KVOBlock::notifyPreStructuralEdit(int dvar, int deqn, int dnz) {
  kvoblk_notifyPreStructuralEdit(blkptr_, dvar, deqn, dnz);
}

void KVOBlock::notifyPostStructuralEdit(int dvar, int deqn, int dnz) {
  // Within a removal whose de_ini destroyed the block, the handle is released or another
  // block's: the container that was told the edit began is told it ended.
  for (const Ending* e = ending; e; e = e->outer) {
    if (e->object != this) continue;
    if (e->block_gone) {
      post_notice(e->cntr, e->presented, blkptr_, 0, dvar, deqn, dnz);
      return;
    }
    break;
  }
  kvoblk_notifyPostStructuralEdit(blkptr_, dvar, deqn, dnz);
}

namespace {

void notify(int blkptr, bool pre, int dvar, int deqn, int dnz, const char* fn) {
  if (!live(blkptr, fn)) return;
  NUXBlockCallback* cntr = container(blkptr);
  if (!cntr) return;
  auto* object = ref_as<NUXEOBlock>(word(blkptr, W::block_object));
  // The notice is the container's code: an exception must not reach a C or Fortran caller.
  try {
    if (pre) {
      cntr->pre_structural_edit(object, dvar, deqn, dnz);
    } else {
      cntr->post_structural_edit(object, dvar, deqn, dnz);
    }
  } catch (...) {
    report_exception(fn, blkptr);
  }
}

}  // namespace

KVOBLK_API void kvoblk_notifyPreStructuralEdit(int blkptr, int dvar, int deqn, int dnz) {
  notify(blkptr, true, dvar, deqn, dnz, __func__);
}

KVOBLK_API void kvoblk_notifyPostStructuralEdit(int blkptr, int dvar, int deqn, int dnz) {
  notify(blkptr, false, dvar, deqn, dnz, __func__);
}
