// SPDX-License-Identifier: BSD-3-Clause
// The port list of a block: the port array and its bounds, adding, finding, numbering and
// deleting ports.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

namespace {

bool same_name(nux_port* p, const char* name) {
  const char* n = p ? p->name() : nullptr;
  return n && std::strcmp(n, name) == 0;
}

// The stored count bounded by the array's real capacity, for a block whose facts are `s`.
int count_within(int blkptr, const BlockFacts* s) {
  if (word(blkptr, W::ports) == 0) return 0;
  const int n = word(blkptr, W::num_ports);
  if (n < 0) return 0;
  return n < s->port_capacity ? n : s->port_capacity;
}

// The position (1-based, within the count) of the entry that holds `port`, or 0.
int entry_of(int blkptr, const nux_port* port) {
  const int n = port_count(blkptr);
  for (int j = 1; j <= n; ++j)
    if (port_entry(blkptr, j) == port) return j;
  return 0;
}

// A block looked at between calls of host or model code, any of which may destroy it: its
// facts are looked up again only when some block has been destroyed meanwhile. A block created
// since at the same handle is another block, and this one stays gone.
class Watched {
 public:
  explicit Watched(int blkptr) : blkptr_(blkptr) {
    seen_ = blocks_forgotten();
    facts_ = facts(blkptr_);
    serial_ = facts_ ? facts_->serial : 0;
  }
  // The block's facts, or null once it is gone.
  BlockFacts* facts_now() {
    if (facts_ && seen_ != blocks_forgotten()) {
      seen_ = blocks_forgotten();
      facts_ = facts(blkptr_);
      if (facts_ && facts_->serial != serial_) facts_ = nullptr;
    }
    return facts_;
  }

 private:
  int blkptr_;
  unsigned seen_ = 0;
  uint64_t serial_ = 0;
  BlockFacts* facts_ = nullptr;
};

// Positions 1..n of the block's numbering, in order, up to the first port called `name`. With
// the library's own numbering each entry is read from the array itself, which is what that
// routine answers, without a look-up of the block per step; a model's numbering is asked through
// the dispatcher. A port's name is the host's code and a model's numbering is the model's: either
// may delete ports, destroy the block or install another numbering, so the block, its table and
// its array are read afresh at every step, and the walk ends with the block.
// `block` watches `blkptr` since the caller's operation began.
nux_port* walk_by_name(Watched& block, int blkptr, int n, const char* name) {
  for (int i = 1; i <= n; ++i) {
    const BlockFacts* s = block.facts_now();
    if (!s) return nullptr;
    kvoblk_ops_t* t = ops(blkptr);
    nux_port* p;
    if (t && t->get_port_n == kvoblk_base_get_port_n) {
      p = i <= count_within(blkptr, s) ? ref_as<nux_port>(word(word(blkptr, W::ports), i - 1))
                                       : nullptr;
    } else {
      p = kvoblk_get_port_n(blkptr, i);
      if (!block.facts_now()) return nullptr;
    }
    // The port found is handed back only while its block lives: a name that destroyed the
    // block went with the port.
    if (same_name(p, name)) return block.facts_now() ? p : nullptr;
  }
  return nullptr;
}

}  // namespace

namespace kvoblk {
namespace detail {

int port_count(int blkptr) {
  const BlockFacts* s = facts(blkptr);
  return s ? count_within(blkptr, s) : 0;
}

nux_port* port_entry(int blkptr, int i) {
  if (i < 1 || i > port_count(blkptr)) return nullptr;
  return ref_as<nux_port>(word(word(blkptr, kvoblk_word::ports), i - 1));
}

bool holds_port(int blkptr, const nux_port* port) {
  const BlockFacts* s = facts(blkptr);
  const int array = s ? word(blkptr, kvoblk_word::ports) : 0;
  if (!port || array == 0) return false;
  for (int i = 0; i < s->port_capacity; ++i)
    if (ref_as<nux_port>(word(array, i)) == port) return true;
  return false;
}

int ports_to_search(int blkptr, int n) {
  // With the library's own numbering there is nothing past the array: a larger stored count
  // must not make a search walk billions of empty positions.
  kvoblk_ops_t* t = registered(blkptr) ? ops(blkptr) : nullptr;
  if (t && t->get_port_n == kvoblk_base_get_port_n && n > port_count(blkptr))
    return port_count(blkptr);
  return n;
}

nux_port* base_get_port(int blkptr, const char* name) {
  if (!registered(blkptr) || !name) return nullptr;
  // The count may be the model's routine too.
  Watched block(blkptr);
  const int n = ports_to_search(blkptr, kvoblk_inq_num_ports(blkptr));
  return walk_by_name(block, blkptr, n, name);
}

bool base_add_port(int blkptr, nux_port* port) {
  if (!registered(blkptr) || !port) return true;
  Watched block(blkptr);
  // The name is kept as it was taken: the look-up below runs host and model code, which may
  // rename the port and release the text its name() gave.
  std::string taken;
  try {
    taken = text(port->name());
  } catch (...) {
    return true;  // no memory for the name: nothing changes
  }
  const char* name = taken.c_str();
  nux_port* same = block.facts_now() ? kvoblk_get_port(blkptr, name) : nullptr;
  // The port's name and the look-up may be host or model code, which may have destroyed the
  // block (and made another at its handle): the addition ends there, without reading the
  // released record.
  if (!block.facts_now()) return true;
  if (same) {
    kvoprintf(kvHisDev, "!!Port %s already exists in block %s\n", name, text(blkid(blkptr)));
    return true;
  }
  // A port belongs to one block, which destroys it: one that a block (this one under another
  // name, or any other) already holds would be destroyed twice.
  const int holder = port_holder(port);
  if (holder != 0 && registered(holder)) {
    kvoprintf(kvHisDev, "!!Port %s already exists in block %s\n", name, text(blkid(holder)));
    return true;
  }
  if (!stred_kvopt_object(name)) {
    kvoprintf(kvHisDev, "Unable to create port '%s': improper name\n", name);
    return true;
  }
  // Grow the array by one entry: the new port goes into the entry after the count, or after the
  // last port the array holds when a setter lowered the count below it (never over a port). The
  // array's real capacity is kept beside the record, so a count a setter raised past it can
  // never lead a loop past the array, and counts only as far as the array reaches.
  BlockFacts* s = facts(blkptr);
  if (!s) return true;
  int array = word(blkptr, W::ports);
  int count = port_count(blkptr);
  // Nothing lies at or past the top mark, so only the entries below it are looked at, and the
  // mark comes down to what was found.
  const int top = array == 0 ? 0 : std::min(s->port_top, s->port_capacity);
  for (int i = top; i > count; --i)
    if (word(array, i - 1) != 0) {
      count = i;
      break;
    }
  s->port_top = count;
  if (count == INT_MAX) return true;  // the array cannot be numbered past the largest int
  const int needed = count + 1;
  if (array == 0 || s->port_capacity < needed) {
    const int old = array == 0 ? 0 : s->port_capacity;
    int n = needed;
    const int grown = array == 0 ? KVO_IMALLOC(&n) : KVO_IREALLOC(&array, &n);
    if (grown <= 0) return true;  // nothing changes when the workspace cannot grow
    word(blkptr, W::ports) = grown;
    s = facts(blkptr);
    // New words hold whatever the workspace held: an entry that is not filled below must read
    // as empty, or a later addition would take it for a port.
    for (int i = old; i < needed; ++i) word(grown, i) = 0;
    s->port_capacity = needed;
  }
  int32_t ref = ref_put(port);
  if (ref == 0) return true;  // the reference table cannot grow: nothing changes
  if (!note_port_holder(port, blkptr)) {
    ref_drop(ref);
    return true;
  }
  word(word(blkptr, W::ports), needed - 1) = ref;
  word(blkptr, W::num_ports) = needed;
  s->port_top = needed;
  auto* callback = ref_as<nux_port_mesgs>(word(blkptr, W::port_callback));
  port->attach(callback);
  return false;
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

KVOBLK_API int kvoblk_base_inq_num_ports(int blkptr) {
  return live(blkptr, __func__) ? word(blkptr, W::num_ports) : 0;
}

KVOBLK_API nux_port* kvoblk_base_get_port_n(int blkptr, int i) {
  if (!live(blkptr, __func__)) return nullptr;
  return port_entry(blkptr, i);
}

KVOBLK_API bool kvoblk_base_delete_port(int blkptr, const char* name) {
  if (!live(blkptr, __func__) || !name) return true;
  const uint64_t serial = serial_of(blkptr);
  Watched block(blkptr);
  int n = port_count(blkptr);
  nux_port* port = walk_by_name(block, blkptr, n, name);
  // The numbering is model code, which may have destroyed the block (and made another at its
  // handle).
  if (!port || !block.facts_now()) return true;
  NUXBlockCallback* c = container(blkptr);
  if (!c) return true;
  // The port found may come from a model's own numbering: remove the array entry that holds it.
  if (!entry_of(blkptr, port)) return true;
  // The container's and the port's routines below are host code, and this routine is also
  // called from C and Fortran: an exception is reported. One from the removal notice leaves the
  // deletion undone (the container refused it); once the entry is taken out the deletion is
  // done, and the container still hears that the ports changed when the port's destroy throws.
  const char* const fn = __func__;
  const auto host = [&](auto&& call) {
    try {
      call();
      return true;
    } catch (...) {
      report_exception(fn, blkptr, serial);
      return false;
    }
  };
  if (!host([&] { c->port_removed(port); })) return true;
  // The container's code may have destroyed the block, and the port with it, or deleted the
  // port itself (it is then gone, and destroyed once); it may also have moved the port to
  // another entry.
  if (!block.facts_now()) return false;
  const int found = entry_of(blkptr, port);
  if (!found) return false;
  // The entry is taken out and the gap closed before the port is destroyed: its destroy is the
  // host's code, which may delete other ports and so move the entries, the emptied one too.
  // The array keeps its size.
  ref_drop(word(word(blkptr, W::ports), found - 1));
  n = port_count(blkptr);
  for (int i = found; i < n; ++i)
    word(word(blkptr, W::ports), i - 1) = word(word(blkptr, W::ports), i);
  word(word(blkptr, W::ports), n - 1) = 0;
  word(blkptr, W::num_ports) = n - 1;
  forget_port_holder(port);
  host([&] { port->destroy(); });
  // The destroy may have taken the block with it.
  if (!block.facts_now()) return false;
  host([&] { c->ports_changed(); });
  return false;
}

}  // extern "C"
