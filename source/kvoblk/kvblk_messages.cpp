// SPDX-License-Identifier: BSD-3-Clause
// The message helpers every unit uses: the message head, the empty-slot message and the
// internal consistency line, the message of non-zeros outside the Jacobian and that of a
// comparison without memory, and that of model or host code ended by an exception.
#include <cstdio>

#include "kvblk_internal.h"

namespace kvoblk {
namespace detail {

void head(const char* fn) { kvoprintf(kvHisDev, "!! %s: ", fn); }

void undefined(const char* fn) {
  head(fn);
  kvoprintf(kvHisDev, "Attempt to call an undefined function\n");
}

void assertion(const char* condition, int line) {
  std::fprintf(stderr, "Assertion '%s' failed in %s:%d\n", condition, "source/kvoblk/kvblk", line);
}

void report_outside_jacobian(int blkptr, const char* fn, int first, int last) {
  head(fn);
  kvoprintf(kvHisDev, "Non-zeros %d to %d of block %s are not in the Jacobian\n", first, last,
            text(blkid(blkptr)));
}

void report_compare_no_memory(int blkptr, const char* fn, const char* what) {
  head(fn);
  kvoprintf(kvHisDev, "Not enough memory to compare the %s of block %s\n", what, id_text(blkptr));
}

void report_exception(const char* fn, int blkptr) {
  head(fn);
  kvoprintf(kvHisDev, "A routine of block %s ended with an exception\n", id_text(blkptr));
}

void report_exception(const char* fn, int blkptr, uint64_t serial) {
  head(fn);
  kvoprintf(kvHisDev, "A routine of block %s ended with an exception\n",
            same_serial(blkptr, serial) ? text(blkid(blkptr)) : "");
}

}  // namespace detail
}  // namespace kvoblk
