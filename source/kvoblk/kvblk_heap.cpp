// SPDX-License-Identifier: BSD-3-Clause
// The library's own heap requests, all through one place so that a test can make the k-th one
// fail.
#include <cstdlib>
#include <new>

#include "kvblk_internal.h"

namespace kvoblk {
namespace detail {

namespace {

int heap_countdown = 0;  // the request that brings this from 1 to 0 fails

}  // namespace

bool heap_granted() noexcept { return !(heap_countdown > 0 && --heap_countdown == 0); }

void* heap_malloc(size_t bytes) noexcept { return heap_granted() ? std::malloc(bytes) : nullptr; }

void* heap_realloc(void* p, size_t bytes) noexcept {
  return heap_granted() ? std::realloc(p, bytes) : nullptr;
}

void* heap_alloc(size_t bytes) noexcept {
  return heap_granted() ? ::operator new(bytes, std::nothrow) : nullptr;
}

void heap_fail_after(int n) { heap_countdown = n > 0 ? n : 0; }

int heap_fail_pending() { return heap_countdown; }

}  // namespace detail
}  // namespace kvoblk
