// Containers, scripts and the port list: registration, typical registration with the standard
// scripts, script invocation through the container, and adding, finding and deleting ports.
#include <cstring>
#include <initializer_list>

#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

// Declared with default visibility in the header.
extern "C" {
const char* const kvoblk_script_names[14] = {
    "SETUP",   "INIT",    "ALIAS",   "MEASUREMENT", "CONNECT",   "SOLVER",   "READVAR",
    "SETVAR",  "PROCONN", "PROMEAS", "PROMEASCONN", "OBJECTIVE", "PRESOLVE", "POSTSOLVE"};
}

namespace {

void unable_to_register(const char* fn, int blkptr) {
  head(fn);
  kvoprintf(kvHisDev, "Unable to register block: %8.8s\n",
            blkptr != 0 && side(blkptr) ? text(blkid(blkptr)) : "");
}

bool same_name(nux_port* p, const char* name) {
  const char* n = p ? p->name() : nullptr;
  return n && std::strcmp(n, name) == 0;
}

}  // namespace

namespace kvoblk {
namespace detail {

nux_port* base_get_port(int blkptr, const char* name) {
  if (!side(blkptr) || !name) return nullptr;
  int n = kvoblk_inq_num_ports(blkptr);
  // With the library's own numbering there is nothing past the array: a larger stored count
  // must not make the look-up walk billions of empty positions.
  kvoblk_ops_t* t = ops(blkptr);
  if (t && t->get_port_n == kvoblk_base_get_port_n && n > port_count(blkptr))
    n = port_count(blkptr);
  for (int i = 1; i <= n; ++i) {
    nux_port* p = kvoblk_get_port_n(blkptr, i);
    if (same_name(p, name)) return p;
  }
  return nullptr;
}

bool base_add_port(int blkptr, nux_port* port) {
  if (!side(blkptr) || !port) return true;
  const char* name = text(port->name());
  if (kvoblk_get_port(blkptr, name)) {
    kvoprintf(kvHisDev, "!!Port %s already exists in block %s\n", name, text(blkid(blkptr)));
    return true;
  }
  if (!stred_kvopt_object(name)) {
    kvoprintf(kvHisDev, "Unable to create port '%s': improper name\n", name);
    return true;
  }
  // Grow the array by one entry. Its real capacity is kept beside the record, so a count stored
  // by a setter can never lead a loop past the array.
  BlockSide* s = side(blkptr);
  int count = port_count(blkptr);
  // A count lowered by a setter may leave ports above it: the new port goes after the last one
  // the array holds, never over one.
  for (int i = s->port_capacity; i > count; --i)
    if (word(blkptr, W::ports) != 0 && word(word(blkptr, W::ports), i - 1) != 0) {
      count = i;
      break;
    }
  int needed = count + 1;
  int array = word(blkptr, W::ports);
  if (array == 0 || s->port_capacity < needed) {
    int n = needed;
    int grown = array == 0 ? KVO_IMALLOC(&n) : KVO_IREALLOC(&array, &n);
    if (grown == 0) return true;  // nothing changes when the workspace cannot grow
    word(blkptr, W::ports) = grown;
    s = side(blkptr);
    // New words hold whatever the workspace held: an entry that is not filled below must read
    // as empty, or a later addition would take it for a port.
    for (int i = s->port_capacity; i < needed; ++i) word(grown, i) = 0;
    s->port_capacity = needed;
  }
  int32_t ref = ref_put(port);
  if (ref == 0) return true;  // the reference table cannot grow: nothing changes
  word(word(blkptr, W::ports), needed - 1) = ref;
  word(blkptr, W::num_ports) = needed;
  auto* callback = ref_as<nux_port_mesgs>(word(blkptr, W::port_callback));
  port->attach(callback);
  return false;
}

}  // namespace detail
}  // namespace kvoblk

extern "C" {

// ---- Registration --------------------------------------------------------------------------

KVOBLK_API void kvoblk_base_register_container(int blkptr, NUXBlockCallback* cntr) {
  if (!live(blkptr, __func__)) return;
  NUXBlockCallback* current = container(blkptr);
  if (current) {
    if (current != cntr) unable_to_register(__func__, blkptr);
    return;
  }
  if (cntr) word(blkptr, W::container) = ref_put(cntr);  // 0 (unregistered) if the table is full
}

KVOBLK_API void kvoblk_base_typical_register(int blkptr, NUXBlockCallback* cntr) {
  if (blkptr == 0 || !cntr || !live(blkptr, __func__)) return unable_to_register(__func__, blkptr);
  kvoblk_base_register_container(blkptr, cntr);
  for (const char* script : {"SETUP", "ALIAS", "MEASUREMENT", "CONNECT"})
    kvoblk_invoke(blkptr, script, nullptr, 0, nullptr);
}

KVOBLK_API NUXEOCntr* kvoblk_inq_container(int blkptr, const NUXEOCntr* cntr) {
  if (!live(blkptr, __func__) || !cntr) return nullptr;
  NUXBlockCallback* c = container(blkptr);
  return c ? c->containing_container(*cntr) : nullptr;
}

// ---- Scripts -------------------------------------------------------------------------------

KVOBLK_API int kvoblk_base_invoke(int blkptr, const char* name, EBSContext* ctx, int nargs,
                                  const value_t* args) {
  if (!live(blkptr, __func__)) return 0;
  kvopipe* script = kvoblk_acquire_script(blkptr, name);
  if (!script) return 0;
  // The model's routine ran: look the block up again.
  NUXBlockCallback* c = side(blkptr) ? container(blkptr) : nullptr;
  if (!c) {
    kvodestroy(script);
    return 0;
  }
  if (diag(blkptr) > 4)
    kvoprintf(kvHisDev, "Block %-*s invoking script method %s\n", 8, text(blkid(blkptr)),
              text(name));
  auto* object = ref_as<NUXEOBlock>(word(blkptr, W::block_object));
  int result = c->run_script(object, script, ctx, nargs, args);
  kvodestroy(script);
  return result;
}

KVOBLK_API int kvoblk_base_scope_invoke(int blkptr, const char* name, int, int,
                                        EBSContext* ctx, int nargs, const value_t* args) {
  return kvoblk_invoke(blkptr, name, ctx, nargs, args);
}

// ---- Ports ---------------------------------------------------------------------------------

KVOBLK_API int kvoblk_base_inq_num_ports(int blkptr) {
  return live(blkptr, __func__) ? word(blkptr, W::num_ports) : 0;
}

KVOBLK_API nux_port* kvoblk_base_get_port_n(int blkptr, int i) {
  if (!live(blkptr, __func__)) return nullptr;
  return port_entry(blkptr, i);
}

KVOBLK_API bool kvoblk_base_delete_port(int blkptr, const char* name) {
  if (!live(blkptr, __func__) || !name) return true;
  int n = port_count(blkptr);
  nux_port* port = nullptr;
  for (int i = 1; i <= n && !port; ++i) {
    nux_port* p = kvoblk_get_port_n(blkptr, i);
    if (same_name(p, name)) port = p;
  }
  if (!port) return true;
  NUXBlockCallback* c = container(blkptr);
  if (!c) return true;
  // The port found may come from a model's own numbering: remove the array entry that holds it.
  int found = 0;
  n = port_count(blkptr);
  for (int j = 1; j <= n && !found; ++j)
    if (port_entry(blkptr, j) == port) found = j;
  if (!found) return true;
  int32_t ref = word(word(blkptr, W::ports), found - 1);
  c->port_removed(port);
  ref_drop(ref);
  port->destroy();
  // Close the gap; the array keeps its size.
  n = port_count(blkptr);
  for (int i = found; i < n; ++i)
    word(word(blkptr, W::ports), i - 1) = word(word(blkptr, W::ports), i);
  word(word(blkptr, W::ports), n - 1) = 0;
  word(blkptr, W::num_ports) = n - 1;
  c->ports_changed();
  return false;
}

}  // extern "C"
