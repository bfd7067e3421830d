// SPDX-License-Identifier: BSD-3-Clause
// The reference table behind the record's reference words: register a pointer to get a
// number, look a number up, release it.
#include <algorithm>
#include <vector>

#include "kvblk_internal.h"

namespace kvoblk {
namespace detail {

namespace {

// Slot i holds the object of reference number i + 1; released slots are reused.
struct RefTable {
  std::vector<void*> slots;
  std::vector<int32_t> free_numbers;
};

RefTable& refs() {
  static RefTable table;
  return table;
}

}  // namespace

int32_t ref_put(void* object) noexcept {
  if (!object || !heap_granted()) return 0;
  RefTable& t = refs();
  if (!t.free_numbers.empty()) {
    int32_t n = t.free_numbers.back();
    t.free_numbers.pop_back();
    t.slots[n - 1] = object;
    return n;
  }
  try {
    // Reserve the free list's room too, so that releasing a number never allocates. It grows
    // by doubling, as the slots do: a reservation of exactly one more would allocate and free
    // a list as long as the table at every new number.
    if (t.free_numbers.capacity() < t.slots.size() + 1)
      t.free_numbers.reserve(std::max<size_t>(2 * t.free_numbers.capacity(), t.slots.size() + 1));
    t.slots.push_back(object);
  } catch (...) {
    return 0;
  }
  return static_cast<int32_t>(t.slots.size());
}

void* ref_get(int32_t number) {
  RefTable& t = refs();
  if (number <= 0 || static_cast<size_t>(number) > t.slots.size()) return nullptr;
  return t.slots[number - 1];
}

void ref_drop(int32_t number) {
  RefTable& t = refs();
  if (number <= 0 || static_cast<size_t>(number) > t.slots.size()) return;
  if (!t.slots[number - 1]) return;
  t.slots[number - 1] = nullptr;
  t.free_numbers.push_back(number);
}

int ref_live() {
  const RefTable& t = refs();
  return static_cast<int>(t.slots.size() - t.free_numbers.size());
}

}  // namespace detail
}  // namespace kvoblk
