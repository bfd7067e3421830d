// SPDX-License-Identifier: BSD-3-Clause
// Placement of a block in the global lists: the library's steps around the model's placement
// (positions, equation groups, the placement trace and the INIT script), the base move,
// de-initialisation, the global offsets, inclusion and the group residual.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <set>

#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

// Puts every equation of the block that has no group into the block's default group, the
// absolute index of its first equation. Groups the model set stay.
void default_groups(int blkptr, NUXBlockCallback* c, int* grp_id) {
  const uint64_t serial = serial_of(blkptr);
  int eqnlst = c->eqnlst();
  if (!same_serial(blkptr, serial)) return;
  int estart = word(blkptr, W::estart);
  int estop = word(blkptr, W::estop);
  *grp_id = kvoeqnlst_absolute_index(eqnlst, estart);
  int* groups = kvoeqnlst_vec_group(eqnlst);
  int neqn = kvoeqnlst_inq_neqn(eqnlst);
  if (!groups) return;
  int first = estart < 1 ? 1 : estart;
  int last = estop < neqn ? estop : neqn;
  for (int e = first; e <= last; ++e)
    if (groups[e - 1] == 0) groups[e - 1] = *grp_id;
}

void placement_trace(int blkptr, int grp_id) {
  int vs = word(blkptr, W::vstart), ve = word(blkptr, W::vstop);
  int es = word(blkptr, W::estart), ee = word(blkptr, W::estop);
  int ns = word(blkptr, W::nzstart), ne = word(blkptr, W::nzstop);
  kvoprintf(kvHisDev, "        kvoblk_ini()\n");
  kvoprintf(kvHisDev, "        Block \"%s\", blk_grp_id = %d\n", text(blkid(blkptr)), grp_id);
  kvoprintf(kvHisDev, "        | start |  stop |   #\n");
  kvoprintf(kvHisDev, "        +-------+------+--------\n");
  // The counts are worked out wide: a model may record stops whose distance no int holds.
  kvoprintf(kvHisDev, "   vars | %5d | %5d | %5lld\n", vs, ve,
            static_cast<long long>(span(vs, ve)));
  kvoprintf(kvHisDev, "   eqns | %5d | %5d | %5lld\n", es, ee,
            static_cast<long long>(span(es, ee)));
  kvoprintf(kvHisDev, "   nzs  | %5d | %5d | %5lld\n\n", ns, ne,
            static_cast<long long>(span(ns, ne)));
}

// Runs `visit(port, held)` on every port of the block, in entry order. A visit is the host's
// code: it may delete ports (this one or one before it, which moves the later ones down) or
// destroy the block and make another at its handle. When the entry no longer holds the port
// just visited it holds the next one, which is visited in turn, and the walk ends with the block
// it began on. `held()` tells the visit whether that block is still there and still holds the
// port; a port still at its entry is held, and only one that moved is looked for in the whole
// array, so a block of many ports is walked in one pass.
template <class Visit>
void walk_ports(int blkptr, Visit visit) {
  const uint64_t serial = serial_of(blkptr);
  for (int i = 1; same_serial(blkptr, serial) && i <= port_count(blkptr);) {
    nux_port* p = port_entry(blkptr, i);
    if (p)
      visit(p, [&] {
        return same_serial(blkptr, serial) && (port_entry(blkptr, i) == p || holds_port(blkptr, p));
      });
    if (!p || (same_serial(blkptr, serial) && port_entry(blkptr, i) == p)) ++i;
  }
}

// Clears the variable references of every port of the block. A port's code that throws ends
// the clearing of that port only: the other ports are still cleared, so that none keeps
// positions the block no longer holds. False when a port threw.
bool clear_port_vars(int blkptr) {
  bool all = true;
  walk_ports(blkptr, [&all](nux_port* p, auto held) {
    try {
      const int nv = p->num_vars();
      for (int j = 0; j < nv && held(); ++j) p->set_var(j, 0);
    } catch (...) {
      all = false;
    }
  });
  return all;
}

int offset(const char* fn, int blkptr, int start_word, int (NUXBlockCallback::*op)()) {
  // A start below 1 is a placement that was refused.
  if (!live(blkptr, fn) || word(blkptr, start_word) <= 0) return -1;
  NUXBlockCallback* c = container(blkptr);
  if (!c) return -1;
  const uint64_t serial = serial_of(blkptr);
  // The container's answer is host code: an exception must not reach a C or Fortran caller.
  try {
    return (c->*op)();
  } catch (...) {
    report_exception(fn, blkptr, serial);
    return -1;
  }
}

// Switches the block's equations and variables in the lists to included (f non-zero) or
// excluded, and records the flag; nothing changes without a container and both lists.
void switch_inclusion(int blkptr, int f) {
  NUXBlockCallback* c = container(blkptr);
  if (!c) return;
  // The container's answers and the managers below are host code, which may destroy the block
  // and make another at its handle: that one is not switched.
  const uint64_t serial = serial_of(blkptr);
  int varlst = c->varlst();
  int eqnlst = c->eqnlst();
  if (varlst == 0 || eqnlst == 0 || !same_serial(blkptr, serial)) return;

  // The block's positions that exist in the lists: a range word beyond a list's end (or below
  // its first position) names nothing there.
  const int nvar = kvovarlst_inq_nvar(varlst);
  const int neqn = kvoeqnlst_inq_neqn(eqnlst);
  const int vs = std::max(word(blkptr, W::vstart), 1), ve = std::min(word(blkptr, W::vstop), nvar);
  const int es = std::max(word(blkptr, W::estart), 1), ee = std::min(word(blkptr, W::estop), neqn);
  // Each manager sees one deactivation before and one activation after the change, however
  // many of the block's variables share it.
  std::set<kvo_connmgr*> managers;
  try {
    for (int v = vs; v <= ve; ++v)
      if (kvo_connmgr* m = kvovarlst_inq_var_connMgr(varlst, v)) managers.insert(m);
  } catch (...) {
    return;  // out of memory before anything changed
  }
  // A manager is host code, which may destroy the block (and make another at its handle): its
  // items and its record are then left as they are, and the managers still get their activation.
  // A manager may also throw: a failed deactivation leaves the switch unmade, every manager
  // deactivated before it still gets its activation, as the others do when one activation
  // throws, and the first exception then goes on to the caller, which reports it.
  std::exception_ptr failed;
  size_t deactivated = 0;
  for (kvo_connmgr* m : managers) {
    try {
      m->deactivate();
    } catch (...) {
      failed = std::current_exception();
      break;
    }
    ++deactivated;
  }
  if (!failed && same_serial(blkptr, serial)) {
    for (int e = es; e <= ee; ++e) kvoeqnlst_in_exclude_equation(eqnlst, e, f);
    int* status = kvovarlst_vec_status(varlst);
    if (status)
      for (int v = vs; v <= ve; ++v) varSetExcluded(&status[v - 1], f == 0);
    word(blkptr, W::included) = f != 0 ? 1 : 0;
  }
  size_t k = 0;
  for (kvo_connmgr* m : managers) {
    if (k++ == deactivated) break;
    try {
      m->activate();
    } catch (...) {
      if (!failed) failed = std::current_exception();
    }
  }
  if (failed) std::rethrow_exception(failed);
}

}  // namespace

namespace kvoblk {
namespace detail {

void base_move(int blkptr, int dv, int de, int dnz) {
  if (!registered(blkptr)) return;
  int varlst = 0, eqnlst = 0, jac = 0;
  blk_inq_matrix(blkptr, &varlst, &eqnlst, &jac);
  int vs = word(blkptr, W::vstart), ve = word(blkptr, W::vstop);
  int es = word(blkptr, W::estart), ee = word(blkptr, W::estop);
  int ns = word(blkptr, W::nzstart), ne = word(blkptr, W::nzstop);
  // A shift that takes a range word past the bounds of a word, or a range that holds items
  // before the lists' first position, has no position to go to: the block and its lists stay
  // where they are. (The lists would refuse such a move while the Jacobian's entries were
  // renumbered and the record shifted, and the block's items would then be evaluated and
  // removed at positions that hold none of them.) An empty range names no position, and nor
  // does one that lies wholly before position 1 (a refused placement leaves such a range): as
  // its removal does, the move takes it for empty, shifts its words and hands the lists no items.
  auto fits = [](int a, int d) {
    const int64_t v = static_cast<int64_t>(a) + d;
    return v >= INT32_MIN && v <= INT32_MAX;
  };
  auto held = [](int start, int stop) { return stop >= 1 ? extent(start, stop) : 0; };
  auto placeable = [&held](int start, int stop, int d) {
    return held(start, stop) == 0 || static_cast<int64_t>(start) + d >= 1;
  };
  if (!fits(vs, dv) || !fits(ve, dv) || !fits(es, de) || !fits(ee, de) || !fits(ns, dnz) ||
      !fits(ne, dnz) || !placeable(vs, ve, dv) || !placeable(es, ee, de) ||
      !placeable(ns, ne, dnz)) {
    head("kvoblk_base_move");
    kvoprintf(kvHisDev, "Block %s cannot be moved by %d, %d, %d: its positions would not fit\n",
              text(blkid(blkptr)), dv, de, dnz);
    return;
  }
  // A range that holds nothing moves nothing: a negative count is never handed to a host, which
  // might take it for a huge unsigned one, nor an item at a position before the first.
  kvovarlst_move_items(varlst, vs, vs + dv, clamp32(held(vs, ve)));
  kvoeqnlst_move_items(eqnlst, es, es + de, clamp32(held(es, ee)));
  kvojac_renumber(jac, ns, ne, vs, dv, es, de);
  kvojac_move_items(jac, ns, ns + dnz, clamp32(held(ns, ne)));
  word(blkptr, W::vstart) = vs + dv;
  word(blkptr, W::vstop) = ve + dv;
  word(blkptr, W::estart) = es + de;
  word(blkptr, W::estop) = ee + de;
  word(blkptr, W::nzstart) = ns + dnz;
  word(blkptr, W::nzstop) = ne + dnz;
  if (dv == 0) return;
  // Every port is told its variables moved.
  walk_ports(blkptr, [dv](nux_port* p, auto) { p->shift_vars(dv); });
}

void base_set_included(int blkptr, int f) {
  if (!registered(blkptr)) return;
  if ((word(blkptr, W::included) != 0) == (f != 0)) return;
  switch_inclusion(blkptr, f);
}

void base_group_res(int blkptr, int group, int* status) {
  if (status) *status = 0;
  if (!registered(blkptr)) return;
  int grp_id = kvoeqnlst_absolute_index(blk_inq_matrix_eqnlst(blkptr), word(blkptr, W::estart));
  if (group == grp_id) return kvoblk_res(blkptr, status);
  head("kvoblk_base_group_res");
  kvoprintf(kvHisDev, "Illegal equation group %d specified in block %s, %d expected\n", group,
            text(blkid(blkptr)), grp_id);
  if (status) *status = 1;
}

// The library's part of placement before the model's own routine runs: the positions are
// recorded, and a missing one (0 or negative) places nothing (status 1, false). A block that is
// placed already keeps its positions when refused: the new starts with the stops of its present
// placement would name other blocks' variables and equations, which its removal or exclusion
// would then take.
bool placement_begins(int blkptr, int vstart, int estart, int nzstart, int* status) {
  const bool placed = word(blkptr, W::eo_state) != KVOBLK_NOT_INITIALISED;
  if (placed) assertion("kvoblk_ini: trying to ini an already initialized block", __LINE__);
  if (diag(blkptr) > 6) kvoprintf(kvHisDev, "calling ini for %s\n", text(blkid(blkptr)));
  const bool complete = vstart > 0 && estart > 0 && nzstart > 0;
  if (complete || !placed) {
    word(blkptr, W::vstart) = vstart;
    word(blkptr, W::estart) = estart;
    word(blkptr, W::nzstart) = nzstart;
  }
  if (complete) return true;
  if (diag(blkptr) > 6)
    kvoprintf(kvHisDev, "!! kvoblk_ini() vstart: %d, estart %d, nzstart %d\n", vstart, estart,
              nzstart);
  *status = 1;
  return false;
}

// Opens (or closes) the span in which the model's placement routine runs, noting the stop words
// as they are before the routine: the Fortran definitions are held to the dimensioned counts
// until the routine sets the stops.
void placement_window(int blkptr, bool open) {
  BlockFacts* s = facts(blkptr);
  if (!s) return;
  s->placing = open;
  s->placing_vstop = word(blkptr, W::vstop);
  s->placing_estop = word(blkptr, W::estop);
  s->placing_nzstop = word(blkptr, W::nzstop);
}

// The library's part after the model placed the block: default equation groups, the exclusion
// of an excluded block's fresh items, the trace and the INIT script.
void placement_ends(int blkptr) {
  // Without a container there are no lists whose groups could be set.
  NUXBlockCallback* c = container(blkptr);
  int grp_id = 0;
  // The container's answers and the managers are host code, which may destroy the block and make
  // another at its handle: the steps after them are not taken for that one.
  const uint64_t serial = serial_of(blkptr);
  if (c) default_groups(blkptr, c, &grp_id);
  if (!same_serial(blkptr, serial)) return;
  // The model made its equations and variables included. A block the user excluded stays
  // excluded until included again, so they leave the solve as an exclusion would take them,
  // and an inclusion brings them back.
  if (c && word(blkptr, W::included) == 0) {
    switch_inclusion(blkptr, 0);
    if (!same_serial(blkptr, serial)) return;
  }
  if (diag(blkptr) > 6) placement_trace(blkptr, grp_id);
  kvoblk_invoke(blkptr, "INIT", nullptr, 0, nullptr);
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

KVOBLK_API void kvoblk_base_de_ini(int blkptr, int* status) {
  if (status) *status = 0;
  if (!live(blkptr, __func__)) return;
  NUXBlockCallback* c = container(blkptr);
  if (!c) return;
  // The container's answers and the ports are host code. They may destroy the block and make
  // another at its handle: the removal ends there, and that block keeps its positions and its
  // ports' variables. They may throw, and this entry point is also called from C and Fortran:
  // an exception in the answers ends the removal before anything is removed, one in a port's
  // code leaves that port alone, and either is reported with status 1.
  const uint64_t serial = serial_of(blkptr);
  int varlst = 0, eqnlst = 0;
  try {
    varlst = c->varlst();
    eqnlst = c->eqnlst();
  } catch (...) {
    report_exception(__func__, blkptr, serial);
    if (status) *status = 1;
    return;
  }
  if (!same_serial(blkptr, serial)) return;
  // A start below 1 is a placement that was refused: it names no position of the lists.
  int vs = word(blkptr, W::vstart), ve = word(blkptr, W::vstop);
  if (vs >= 1 && ve >= vs) kvovarlst_removevars(varlst, vs, ve);
  word(blkptr, W::vstart) = 1;
  word(blkptr, W::vstop) = 0;
  int es = word(blkptr, W::estart), ee = word(blkptr, W::estop);
  if (es >= 1 && ee >= es) kvoeqnlst_removeeqns(eqnlst, es, ee);
  word(blkptr, W::estart) = 1;
  word(blkptr, W::estop) = 0;
  word(blkptr, W::nzstart) = 1;
  word(blkptr, W::nzstop) = 0;
  if (!clear_port_vars(blkptr)) {
    report_exception(__func__, blkptr, serial);
    if (status) *status = 1;
  }
}

KVOBLK_API int kvoblk_global_var_offset(int blkptr) {
  return offset(__func__, blkptr, W::vstart, &NUXBlockCallback::global_var_offset);
}

KVOBLK_API int kvoblk_global_eqn_offset(int blkptr) {
  return offset(__func__, blkptr, W::estart, &NUXBlockCallback::global_eqn_offset);
}

KVOBLK_API int kvoblk_global_jac_offset(int blkptr) {
  return offset(__func__, blkptr, W::nzstart, &NUXBlockCallback::global_jac_offset);
}

}  // extern "C"
