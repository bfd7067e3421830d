// The reference table, the registry of live blocks and the small helpers every unit uses.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
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

std::unordered_map<int, BlockSide>& blocks() {
  static std::unordered_map<int, BlockSide> registry;
  return registry;
}

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
    // Reserve the free list's room too, so that releasing a number never allocates.
    t.free_numbers.reserve(t.slots.size() + 1);
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

BlockSide* side(int blkptr) {
  auto it = blocks().find(blkptr);
  return it == blocks().end() ? nullptr : &it->second;
}

bool side_add(int blkptr, int record_words) noexcept {
  if (!heap_granted()) return false;
  BlockSide s;
  s.record_words = record_words;
  try {
    blocks()[blkptr] = s;
  } catch (...) {
    return false;
  }
  return true;
}

void side_remove(int blkptr) { blocks().erase(blkptr); }

bool live(int blkptr, const char* fn) {
  if (blkptr == 0) return false;
  if (side(blkptr)) return true;
  head(fn);
  kvoprintf(kvHisDev, "Invalid block handle %d\n", blkptr);
  return false;
}

kvoblk_settings_t* settings(int blkptr) {
  return ref_as<kvoblk_settings_t>(word(blkptr, kvoblk_word::settings));
}

kvoblk_ops_t* ops(int blkptr) { return ref_as<kvoblk_ops_t>(word(blkptr, kvoblk_word::ops)); }

NUXBlockCallback* container(int blkptr) {
  return ref_as<NUXBlockCallback>(word(blkptr, kvoblk_word::container));
}

const char* blkid(int blkptr) { return ref_as<const char>(word(blkptr, kvoblk_word::blkid)); }

int diag(int blkptr) { return word(blkptr, kvoblk_word::diag_level); }

void head(const char* fn) { kvoprintf(kvHisDev, "!! %s: ", fn); }

void undefined(const char* fn) {
  head(fn);
  kvoprintf(kvHisDev, "Attempt to call an undefined function\n");
}

void assertion(const char* condition, int line) {
  std::fprintf(stderr, "Assertion '%s' failed in %s:%d\n", condition, "source/kvoblk/kvblk",
               line);
}

char* copy_text(const char* s) {
  if (!s) return nullptr;
  size_t n = std::strlen(s);
  char* c = static_cast<char*>(heap_malloc(n + 1));
  if (c) std::memcpy(c, s, n + 1);
  return c;
}

int port_count(int blkptr) {
  const BlockSide* s = side(blkptr);
  if (!s || word(blkptr, kvoblk_word::ports) == 0) return 0;
  int n = word(blkptr, kvoblk_word::num_ports);
  if (n < 0) return 0;
  return n < s->port_capacity ? n : s->port_capacity;
}

nux_port* port_entry(int blkptr, int i) {
  if (i < 1 || i > port_count(blkptr)) return nullptr;
  return ref_as<nux_port>(word(word(blkptr, kvoblk_word::ports), i - 1));
}

}  // namespace detail
}  // namespace kvoblk
