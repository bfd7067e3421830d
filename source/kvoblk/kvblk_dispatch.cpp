// SPDX-License-Identifier: BSD-3-Clause
// The model operation table: the dispatchers that run a block's routines, the simple base
// routines, and the installation of the base routines at creation. Every call of a routine in
// the table goes through one helper here: it checks the handle, skips an excluded block where
// the slot asks for that, prints the empty-slot message, and is the one exception boundary
// between model code and the library's callers.
#include <cstring>
#include <exception>

#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// The routine in one slot of a live block's table, or null.
template <class F>
F slot(int blkptr, F kvoblk_ops_t::*member) {
  kvoblk_ops_t* t = ops(blkptr);
  return t ? t->*member : nullptr;
}

// How a dispatcher treats its slot.
struct Policy {
  bool skip_excluded = false;  // an excluded block's routine is not run (no message)
  int empty_status = 0;        // the status when the slot is empty
  bool reset_status = false;   // the status is 0 after the routine, whatever it set
};
constexpr Policy kPlain{};
constexpr Policy kSkipExcluded{true, 0, false};

// The routine of slot `member` ready to run, or null: the handle is 0 or bad (message for a bad
// one), the block is excluded and the policy skips it, or the slot is empty (empty-slot message,
// the policy's status).
template <class F>
F routine(const char* fn, int blkptr, F kvoblk_ops_t::*member, const Policy& p, int* status) {
  if (!live(blkptr, fn)) return nullptr;
  if (p.skip_excluded && word(blkptr, W::included) == 0) return nullptr;
  F f = slot(blkptr, member);
  if (f) return f;
  undefined(fn);
  if (status) *status = p.empty_status;
  return nullptr;
}

// Runs model code. An exception must not cross into the library's callers, which may be C or
// Fortran: it ends the call with a message and status 1. False when it ended that way.
template <class Call>
bool guarded(const char* fn, int blkptr, int* status, Call&& call) {
  try {
    call();
    return true;
  } catch (...) {
    report_exception(fn, blkptr);
    if (status) *status = 1;
    return false;
  }
}

// The same for a call that took the block's serial before running the routine anyway: the
// message names the block only while it is the one the routine ran for, not one that the
// routine made at its handle after destroying it.
template <class Call>
bool guarded(const char* fn, int blkptr, uint64_t serial, int* status, Call&& call) {
  try {
    call();
    return true;
  } catch (...) {
    report_exception(fn, blkptr, serial);
    if (status) *status = 1;
    return false;
  }
}

// Runs a slot without a result; `status` is the routine's status word or null. True when the
// routine ran to its end.
template <class F, class... A>
bool run(const char* fn, int blkptr, F kvoblk_ops_t::*member, const Policy& p, int* status,
         A... args) {
  F f = routine(fn, blkptr, member, p, status);
  if (!f || !guarded(fn, blkptr, status, [&] { f(blkptr, args...); })) return false;
  if (p.reset_status && status) *status = 0;
  return true;
}

// Runs a slot with a result; `empty` is the answer for a bad handle, an empty slot or an
// exception.
template <class R, class F, class... A>
R ask(const char* fn, int blkptr, F kvoblk_ops_t::*member, R empty, A... args) {
  F f = routine(fn, blkptr, member, kPlain, nullptr);
  R result = empty;
  if (f) guarded(fn, blkptr, nullptr, [&] { result = f(blkptr, args...); });
  return result;
}

// Runs one of the routines that move the block's state (removal, the solve brackets), then sets
// the state word to `state` whatever the routine's status, a failure that ended it with an
// exception included. A routine that destroyed its block leaves nothing to set, and a block
// that host code made meanwhile at the same handle is another one, left as it is.
template <class F>
void run_then_set_state(const char* fn, int blkptr, F kvoblk_ops_t::*member, int* status,
                        int state) {
  F f = routine(fn, blkptr, member, kPlain, status);
  if (!f) return;
  const uint64_t serial = serial_of(blkptr);
  guarded(fn, blkptr, serial, status, [&] { f(blkptr, status); });
  if (same_serial(blkptr, serial)) word(blkptr, W::eo_state) = state;
}

// The whole block's analytic Jacobian for a group request: any group of the block, checked
// against the block's equations, or 0 for all of them.
void whole_block_selfjac(const char* fn, int blkptr, int group, int* status) {
  auto f = routine(fn, blkptr, &kvoblk_ops_t::selfjac, kPlain, status);
  if (!f) return;
  int eqnlst = blk_inq_matrix_eqnlst(blkptr);
  int first = kvoeqnlst_absolute_index(eqnlst, word(blkptr, W::estart));
  int last = kvoeqnlst_absolute_index(eqnlst, word(blkptr, W::estop));
  if (group != 0 && (group < first || group > last)) {
    head(fn);
    kvoprintf(kvHisDev,
              "Illegal equation group %d specified in block %s, (valid range is %d to %d)\n", group,
              text(blkid(blkptr)), first, last);
    *status = 1;
    return;
  }
  guarded(fn, blkptr, status, [&] { f(blkptr, status); });
}

void base_inq_nscript(int, int* count) {
  if (count) *count = 0;
}
kvopipe* base_acquire_script(int, const char*) { return nullptr; }
void base_init(int, int* status) {
  if (status) *status = 0;
}

}  // namespace

namespace kvoblk {
namespace detail {

// Placement steps around the model's own placement routine (kvblk_place.cpp).
bool placement_begins(int blkptr, int vstart, int estart, int nzstart, int* status);
void placement_ends(int blkptr);
void placement_window(int blkptr, bool open);

// Base routines defined by the other units of the block core.
nux_port* base_get_port(int blkptr, const char* name);
bool base_add_port(int blkptr, nux_port* port);
void base_move(int blkptr, int dv, int de, int dnz);
void base_set_included(int blkptr, int included);
void base_group_res(int blkptr, int group, int* status);
void base_report(int blkptr, int* status);

void install_base_ops(kvoblk_ops_t* t) {
  *t = kvoblk_ops_t();
  t->de_ini = kvoblk_base_de_ini;
  t->selfjac = kvoblk_base_selfjac;
  t->pre_solve = kvoblk_base_pre_solve;
  t->post_solve = kvoblk_base_post_solve;
  t->inq_attr = kvoblk_base_inq_attr;
  t->report = base_report;
  t->destroy = kvoblk_base_destroy;
  t->inq_nscript = base_inq_nscript;
  t->acquire_script = base_acquire_script;
  t->inq_embedded_container = kvoblk_base_inq_embedded_container;
  t->init = base_init;
  t->invoke = kvoblk_base_invoke;
  t->scope_invoke = kvoblk_base_scope_invoke;
  t->register_container = kvoblk_base_register_container;
  t->set_included = base_set_included;
  t->nlratio = kvoblk_base_nlratio;
  t->inq_num_ports = kvoblk_base_inq_num_ports;
  t->get_port = base_get_port;
  t->get_port_n = kvoblk_base_get_port_n;
  t->add_port = base_add_port;
  t->selfpat = kvoblk_base_selfpat;
  t->npat_res = kvoblk_base_npat_res;
  t->isof_type = kvoblk_base_isof_type;
  t->move = base_move;
  t->group_res = base_group_res;
  t->npat_compare = kvoblk_npat_compare_base;
  t->num_attr = kvoblk_base_num_attr;
  t->name_attr = kvoblk_base_name_attr;
  t->lookup_value = kvoblk_base_lookup_value;
  t->assign_value = kvoblk_base_assign_value;
  t->describe_attr = kvoblk_base_describe_attr;
  t->delete_port = kvoblk_base_delete_port;
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

// ---- Dispatchers, in table order -----------------------------------------------------------

KVOBLK_API void kvoblk_selfdim(int blkptr, int* nvar, int* neqn, int* nnz, int* status) {
  KVOBLK_OUT(nvar);
  KVOBLK_OUT(neqn);
  KVOBLK_OUT(nnz);
  KVOBLK_OUT(status);
  *nvar = *neqn = *nnz = 0;
  *status = 0;
  run(__func__, blkptr, &kvoblk_ops_t::selfdim, Policy{false, 1, false}, status, nvar, neqn, nnz,
      status);
}

KVOBLK_API void kvoblk_ini(int blkptr, int vstart, int estart, int nzstart, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  if (!placement_begins(blkptr, vstart, estart, nzstart, status)) return;
  auto f = routine(__func__, blkptr, &kvoblk_ops_t::ini, kPlain, status);
  if (!f) return;
  // The routine's failure, an exception included, does not stop the steps after it. But the
  // routine may have destroyed the block: its record is then no longer the block's, and a block
  // made meanwhile at the same handle is not the one being placed.
  const uint64_t serial = serial_of(blkptr);
  placement_window(blkptr, true);
  guarded(__func__, blkptr, serial, status, [&] { f(blkptr, vstart, estart, nzstart, status); });
  if (!same_serial(blkptr, serial)) return;
  placement_window(blkptr, false);
  word(blkptr, W::eo_state) = KVOBLK_EO_FORM;
  // The steps after the routine run host code too (connection managers, the INIT script).
  guarded(__func__, blkptr, serial, status, [&] { placement_ends(blkptr); });
}

KVOBLK_API void kvoblk_de_ini(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  if (word(blkptr, W::eo_state) != KVOBLK_EO_FORM)
    assertion("kvoblk_de_ini: trying to de_ini a non-eo_form block", __LINE__);
  run_then_set_state(__func__, blkptr, &kvoblk_ops_t::de_ini, status, KVOBLK_NOT_INITIALISED);
}

KVOBLK_API void kvoblk_res(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  run(__func__, blkptr, &kvoblk_ops_t::res, kSkipExcluded, status, status);
}

KVOBLK_API void kvoblk_selfjac(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  run(__func__, blkptr, &kvoblk_ops_t::selfjac, kPlain, status, status);
}

KVOBLK_API void kvoblk_pre_solve(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  if (word(blkptr, W::eo_state) != KVOBLK_EO_FORM)
    assertion("kvoblk_pre_solve: trying to pre_solve a non-eo_form block", __LINE__);
  word(blkptr, W::being_solved) = 1;
  run_then_set_state(__func__, blkptr, &kvoblk_ops_t::pre_solve, status, KVOBLK_SOLVING);
}

KVOBLK_API void kvoblk_post_solve(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  if (word(blkptr, W::eo_state) != KVOBLK_SOLVING)
    assertion("kvoblk_post_solve: trying to post_solve a non-solving block", __LINE__);
  if (word(blkptr, W::being_solved) == 0)
    assertion("kvoblk_post_solve: block is not being solved", __LINE__);
  word(blkptr, W::being_solved) = 0;
  run_then_set_state(__func__, blkptr, &kvoblk_ops_t::post_solve, status, KVOBLK_EO_FORM);
}

KVOBLK_API void kvoblk_inq_attr(int blkptr, nux_blk_t* desc) {
  run(__func__, blkptr, &kvoblk_ops_t::inq_attr, kPlain, nullptr, desc);
}

KVOBLK_API void kvoblk_destroy(int blkptr) {
  // The routine releases the record and the table: nothing of the block is read after it.
  run(__func__, blkptr, &kvoblk_ops_t::destroy, kPlain, nullptr);
}

KVOBLK_API void kvoblk_inq_nscript(int blkptr, int* count) {
  KVOBLK_OUT(count);
  *count = 0;
  run(__func__, blkptr, &kvoblk_ops_t::inq_nscript, kPlain, nullptr, count);
}

KVOBLK_API void kvoblk_inq_scriptid(int blkptr, int index, char* name) {
  if (name) name[0] = '\0';
  auto f = routine(__func__, blkptr, &kvoblk_ops_t::inq_scriptid, kPlain, nullptr);
  if (f && name) guarded(__func__, blkptr, nullptr, [&] { f(blkptr, index, name); });
}

KVOBLK_API kvopipe* kvoblk_acquire_script(int blkptr, const char* name) {
  return ask<kvopipe*>(__func__, blkptr, &kvoblk_ops_t::acquire_script, nullptr, name);
}

KVOBLK_API NUXEOCntr* kvoblk_inq_embedded_container(int blkptr, const NUXEOCntr* cntr) {
  return ask<NUXEOCntr*>(__func__, blkptr, &kvoblk_ops_t::inq_embedded_container, nullptr, cntr);
}

KVOBLK_API void kvoblk_init(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  run(__func__, blkptr, &kvoblk_ops_t::init, kPlain, status, status);
}

KVOBLK_API int kvoblk_invoke(int blkptr, const char* name, EBSContext* ctx, int nargs,
                             const value_t* args) {
  return ask(__func__, blkptr, &kvoblk_ops_t::invoke, 1, name, ctx, nargs, args);
}

KVOBLK_API int kvoblk_scope_invoke(int blkptr, const char* name, int scope1, int scope2,
                                   EBSContext* ctx, int nargs, const value_t* args) {
  return ask(__func__, blkptr, &kvoblk_ops_t::scope_invoke, 1, name, scope1, scope2, ctx, nargs,
             args);
}

KVOBLK_API void kvoblk_report(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  // The report has no failure of its own to pass on.
  run(__func__, blkptr, &kvoblk_ops_t::report, Policy{false, 0, true}, status, status);
}

KVOBLK_API void kvoblk_register_container(int blkptr, NUXBlockCallback* cntr) {
  run(__func__, blkptr, &kvoblk_ops_t::register_container, kPlain, nullptr, cntr);
}

KVOBLK_API void kvoblk_set_included(int blkptr, int included) {
  run(__func__, blkptr, &kvoblk_ops_t::set_included, kPlain, nullptr, included);
}

KVOBLK_API void kvoblk_nlratio(int blkptr) {
  run(__func__, blkptr, &kvoblk_ops_t::nlratio, kPlain, nullptr);
}

KVOBLK_API int kvoblk_inq_num_ports(int blkptr) {
  return ask(__func__, blkptr, &kvoblk_ops_t::inq_num_ports, 0);
}

KVOBLK_API nux_port* kvoblk_get_port(int blkptr, const char* name) {
  return ask<nux_port*>(__func__, blkptr, &kvoblk_ops_t::get_port, nullptr, name);
}

KVOBLK_API nux_port* kvoblk_get_port_n(int blkptr, int i) {
  return ask<nux_port*>(__func__, blkptr, &kvoblk_ops_t::get_port_n, nullptr, i);
}

KVOBLK_API bool kvoblk_add_port(int blkptr, nux_port* port) {
  return ask(__func__, blkptr, &kvoblk_ops_t::add_port, true, port);
}

KVOBLK_API void kvoblk_selfpat(int blkptr, kv_jac_t* jac, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  run(__func__, blkptr, &kvoblk_ops_t::selfpat, kPlain, status, jac, status);
}

KVOBLK_API void kvoblk_npat_res(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  run(__func__, blkptr, &kvoblk_ops_t::npat_res, kPlain, status, status);
}

KVOBLK_API void kvoblk_npat_compare(int blkptr, double a, double b, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  run(__func__, blkptr, &kvoblk_ops_t::npat_compare, kSkipExcluded, status, a, b, status);
}

KVOBLK_API int kvoblk_isof_type(int blkptr, const char* type) {
  return ask(__func__, blkptr, &kvoblk_ops_t::isof_type, 0, type);
}

KVOBLK_API void kvoblk_move(int blkptr, int dv, int de, int dnz) {
  run(__func__, blkptr, &kvoblk_ops_t::move, kPlain, nullptr, dv, de, dnz);
}

KVOBLK_API int kvoblk_num_attr(int blkptr) {
  return ask(__func__, blkptr, &kvoblk_ops_t::num_attr, 0);
}

KVOBLK_API const char* kvoblk_name_attr(int blkptr, int i) {
  return ask<const char*>(__func__, blkptr, &kvoblk_ops_t::name_attr, nullptr, i);
}

KVOBLK_API bool kvoblk_lookup_value(int blkptr, const char* attr, value_t* value) {
  return ask(__func__, blkptr, &kvoblk_ops_t::lookup_value, false, attr, value);
}

KVOBLK_API bool kvoblk_assign_value(int blkptr, const char* attr, const value_t* value) {
  return ask(__func__, blkptr, &kvoblk_ops_t::assign_value, false, attr, value);
}

KVOBLK_API const nuxblock_attr_desc* kvoblk_describe_attr(int blkptr, const char* attr) {
  return ask<const nuxblock_attr_desc*>(__func__, blkptr, &kvoblk_ops_t::describe_attr, nullptr,
                                        attr);
}

KVOBLK_API void kvoblk_group_res(int blkptr, int group, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  run(__func__, blkptr, &kvoblk_ops_t::group_res, kSkipExcluded, status, group, status);
}

KVOBLK_API void kvoblk_group_selfjac(int blkptr, int group, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  if (!live(blkptr, __func__)) return;
  // A block without a group routine, and every request for the whole block (group 0), is
  // served by the block's analytic Jacobian.
  if (group != 0 && slot(blkptr, &kvoblk_ops_t::group_selfjac))
    run(__func__, blkptr, &kvoblk_ops_t::group_selfjac, kPlain, status, group, status);
  else
    whole_block_selfjac(__func__, blkptr, group, status);
}

KVOBLK_API bool kvoblk_delete_port(int blkptr, const char* name) {
  return ask(__func__, blkptr, &kvoblk_ops_t::delete_port, true, name);
}

// ---- Simple base routines ------------------------------------------------------------------

KVOBLK_API void kvoblk_base_selfjac(int, int*) {}

KVOBLK_API void kvoblk_base_nlratio(int) {}

KVOBLK_API void kvoblk_base_selfpat(int, kv_jac_t*, int*) {}

// The block's ordinary residual evaluation, also for an excluded block: detection needs the
// model's residuals, and kvoblk_res does nothing for an excluded block, which would leave every
// residual unchanged and pass an empty pattern off as the one detected (a pattern file saved
// from it would keep it so). Detection puts the variables it perturbs back.
KVOBLK_API void kvoblk_base_npat_res(int blkptr, int* status) {
  KVOBLK_OUT(status);
  *status = 0;
  run("kvoblk_res", blkptr, &kvoblk_ops_t::res, kPlain, status, status);
}

KVOBLK_API int kvoblk_base_isof_type(int, const char* type) {
  return type && std::strcmp(type, "KVOBLK") == 0 ? 1 : 0;
}

KVOBLK_API NUXEOCntr* kvoblk_base_inq_embedded_container(int, const NUXEOCntr*) { return nullptr; }

}  // extern "C"
