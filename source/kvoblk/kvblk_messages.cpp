// The message helpers every unit uses: the message head, the empty-slot message and the
// internal consistency line.
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
  std::fprintf(stderr, "Assertion '%s' failed in %s:%d\n", condition, "source/kvoblk/kvblk",
               line);
}

}  // namespace detail
}  // namespace kvoblk
