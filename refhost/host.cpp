// SPDX-License-Identifier: BSD-3-Clause
// Whole-host operations of the reference host.
#include "kvorefhost.h"

namespace kvoref {
namespace detail {
// Each service resets its own state; defined next to that state.
void reset_alloc();
void reset_print();
void reset_lists();
void reset_numeric();
}  // namespace detail

namespace {
int g_resets = 0;
}  // namespace

void reset() {
  ++g_resets;
  detail::reset_numeric();
  detail::reset_lists();
  detail::reset_print();
  detail::reset_alloc();
  Port::destroyed = 0;
}

int reset_count() { return g_resets; }

}  // namespace kvoref
