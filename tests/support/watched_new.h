// SPDX-License-Identifier: BSD-3-Clause
// Replaces the whole program's operator new and delete with malloc and free and shows every
// request to kvotest::on_new, which the including test program defines: it may note the size
// or throw std::bad_alloc to make the request fail. Include it in one source file per program.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace kvotest {
void on_new(std::size_t size);
}

// The replacements pair malloc with free; the compiler cannot see that they belong together.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  kvotest::on_new(size);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
