// SPDX-License-Identifier: BSD-3-Clause
// Containers and scripts: registration, typical registration with the standard scripts, and
// script invocation through the container.
#include <cstdint>
#include <initializer_list>

#include "kvblk_internal.h"

using namespace kvoblk::detail;
namespace W = kvoblk_word;

// Declared with default visibility in the header.
extern "C" {
const char* const kvoblk_script_names[14] = {"SETUP",    "INIT",     "ALIAS",       "MEASUREMENT",
                                             "CONNECT",  "SOLVER",   "READVAR",     "SETVAR",
                                             "PROCONN",  "PROMEAS",  "PROMEASCONN", "OBJECTIVE",
                                             "PRESOLVE", "POSTSOLVE"};
}

namespace {

void unable_to_register(const char* fn, int blkptr) {
  head(fn);
  kvoprintf(kvHisDev, "Unable to register block: %8.8s\n",
            blkptr != 0 && registered(blkptr) ? text(blkid(blkptr)) : "");
}

}  // namespace

extern "C" {

// ---- Registration --------------------------------------------------------------------------

KVOBLK_API void kvoblk_base_register_container(int blkptr, NUXBlockCallback* cntr) {
  if (!live(blkptr, __func__)) return;
  NUXBlockCallback* current = container(blkptr);
  if (current) {
    if (current != cntr) unable_to_register(__func__, blkptr);
    return;
  }
  if (!cntr) return;
  word(blkptr, W::container) = ref_put(cntr);
  // Without room in the reference table the block stays unregistered: its placement would find
  // no lists, so the failure is said here.
  if (word(blkptr, W::container) == 0) {
    head(__func__);
    kvoprintf(kvHisDev, "Not enough memory to register block %s\n", text(blkid(blkptr)));
  }
}

KVOBLK_API void kvoblk_base_typical_register(int blkptr, NUXBlockCallback* cntr) {
  if (blkptr == 0 || !cntr || !live(blkptr, __func__)) return unable_to_register(__func__, blkptr);
  kvoblk_base_register_container(blkptr, cntr);
  // A script is model code, which may destroy the block (and make another at its handle): the
  // scripts after it are not run.
  const uint64_t serial = serial_of(blkptr);
  for (const char* script : {"SETUP", "ALIAS", "MEASUREMENT", "CONNECT"}) {
    if (!same_serial(blkptr, serial)) return;
    kvoblk_invoke(blkptr, script, nullptr, 0, nullptr);
  }
}

KVOBLK_API NUXEOCntr* kvoblk_inq_container(int blkptr, const NUXEOCntr* cntr) {
  if (!live(blkptr, __func__) || !cntr) return nullptr;
  NUXBlockCallback* c = container(blkptr);
  if (!c) return nullptr;
  // The container's answer is host code: an exception must not reach a C or Fortran caller.
  try {
    return c->containing_container(*cntr);
  } catch (...) {
    report_exception(__func__, blkptr);
    return nullptr;
  }
}

// ---- Scripts -------------------------------------------------------------------------------

KVOBLK_API int kvoblk_base_invoke(int blkptr, const char* name, EBSContext* ctx, int nargs,
                                  const value_t* args) {
  if (!live(blkptr, __func__)) return 0;
  const uint64_t serial = serial_of(blkptr);
  kvopipe* script = kvoblk_acquire_script(blkptr, name);
  if (!script) return 0;
  // The model's routine ran: look the block up again. A block it destroyed has no container,
  // and one made at its handle since is not the block the script was acquired for.
  NUXBlockCallback* c = same_serial(blkptr, serial) ? container(blkptr) : nullptr;
  if (!c) {
    kvodestroy(script);
    return 0;
  }
  if (diag(blkptr) > 4)
    kvoprintf(kvHisDev, "Block %-*s invoking script method %s\n", 8, text(blkid(blkptr)),
              text(name));
  auto* object = ref_as<NUXEOBlock>(word(blkptr, W::block_object));
  // The run is the container's code, and this routine is also called from C and Fortran: an
  // exception is reported here and answers a failed run (1). The script is released either way.
  int result = 1;
  try {
    result = c->run_script(object, script, ctx, nargs, args);
  } catch (...) {
    report_exception(__func__, blkptr, serial);
  }
  kvodestroy(script);
  return result;
}

KVOBLK_API int kvoblk_base_scope_invoke(int blkptr, const char* name, int, int, EBSContext* ctx,
                                        int nargs, const value_t* args) {
  return kvoblk_invoke(blkptr, name, ctx, nargs, args);
}

}  // extern "C"
