// SPDX-License-Identifier: BSD-3-Clause
// Internals shared by the library's units: the reference table behind the record's reference
// words, the registry of live blocks, record word access, the message and text helpers, the
// port array bounds, output words and the block extent helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include <kvoblk/host/kvo_alloc.h>
#include <kvoblk/host/kvo_print.h>
#include <kvoblk/kvoblk.h>

namespace kvoblk {
namespace detail {

// ---- Reference table (kvblk_refs.cpp) -----------------------------------------------------
// Record words are 32 bits wide on every platform, so a heap object is stored in a word as a
// reference number: register the pointer to get a number, look the number up, release it.
// Number 0 means none; looking up 0 or a released number gives null.
// Answers 0 when the table cannot grow; callers treat that as a failed allocation.
int32_t ref_put(void* object) noexcept;
void* ref_get(int32_t number);
void ref_drop(int32_t number);
// Number of references registered and not yet released, for tests that look for leaks.
int ref_live();
template <class T>
T* ref_as(int32_t number) {
  return static_cast<T*>(ref_get(number));
}

// ---- Heap (kvblk_heap.cpp) ----------------------------------------------------------------
// Every heap request the library makes for itself goes through one of these, so that a test can
// make the k-th request fail. heap_malloc and heap_realloc pair with std::free, heap_alloc with
// ::operator delete, heap_make with delete. Registering a reference (ref_put) and a block
// (register_block) count as requests too.
void* heap_malloc(size_t bytes) noexcept;
void* heap_realloc(void* p, size_t bytes) noexcept;
void* heap_alloc(size_t bytes) noexcept;
// Bytes of `count` elements of `size` bytes each; SIZE_MAX, which no heap grants, when the
// product does not fit (on 32-bit targets a block's range words can name that many elements).
inline size_t array_bytes(size_t count, size_t size) {
  return size != 0 && count > SIZE_MAX / size ? SIZE_MAX : count * size;
}
template <class T, class... Args>
T* heap_make(Args&&... args) noexcept {
  void* p = heap_alloc(sizeof(T));
  return p ? new (p) T(std::forward<Args>(args)...) : nullptr;
}
// Test hook: the n-th next request (1 = the next one) fails; 0 switches failing off.
void heap_fail_after(int n);
// Requests still to come before the failure set by heap_fail_after; 0 once it has happened (or
// when failing is off).
int heap_fail_pending();
// False when the test hook fails this request; every request above asks it once.
bool heap_granted() noexcept;

// ---- Block registry (kvblk_registry.cpp) ---------------------------------------------------
// The library remembers every record it made, with what must be known beside the record: the
// record length and the real capacity of the port array. A handle that is not registered is a
// bad handle and is treated like handle 0.
struct BlockFacts {
  // Which registration this is: a block created at the handle of a destroyed one gets another
  // number, so that a walk begun on the old block does not go on over the new one.
  uint64_t serial = 0;
  int record_words = 0;
  int port_capacity = 0;
  // No entry of the port array at or past this position (0-based) holds a port: an addition
  // looks for ports left above a lowered count only below it.
  int port_top = 0;
  // The numbers of variables, equations and non-zeros the variable grouping was made for: a
  // grouping made for another placement must not be handed slices of this one.
  int vgrp_nvar = 0, vgrp_neq = 0, vgrp_nnz = 0;
  // The grouping a numeric Jacobian of the block is differencing with, 0 when none is under way.
  // Model code run meanwhile may let the block's grouping go; this one is then released by the
  // numeric Jacobian when it ends, not under its feet.
  int vgrp_in_use = 0;
  // The unit scales handed to the differencing service (unit_scale_n of them, every one 1.0),
  // kept from one numeric Jacobian to the next until the post-solve or the block's destruction.
  double* unit_scale = nullptr;
  int unit_scale_n = 0;
  // The numbers of variables, equations and non-zeros the block's last dimensioning gave
  // (dim_known false when none succeeded), and, while the model's placement routine runs
  // (placing), the stop words as the placement found them. Until the model sets a range's stop,
  // the count alone tells where the next block's items begin: the Fortran definitions of that
  // range are held to it.
  bool dim_known = false;
  int dim_nvar = 0, dim_neq = 0, dim_nnz = 0;
  bool placing = false;
  int placing_vstop = 0, placing_estop = 0, placing_nzstop = 0;
};
BlockFacts* facts(int blkptr);  // null for a handle that is not a live block
inline bool registered(int blkptr) { return facts(blkptr) != nullptr; }
// The serial of the block at the handle (0 for none), and whether the block registered there is
// still the one whose serial was taken: host code may destroy a block and make another at its
// handle.
inline uint64_t serial_of(int blkptr) {
  const BlockFacts* s = facts(blkptr);
  return s ? s->serial : 0;
}
inline bool same_serial(int blkptr, uint64_t serial) {
  const BlockFacts* now = facts(blkptr);
  return now && now->serial == serial;
}
bool register_block(int blkptr, int record_words) noexcept;  // false when it cannot be recorded
void forget_block(int blkptr);
// How many blocks have been forgotten so far. A BlockFacts pointer stays valid, and its block
// live, for as long as this number has not changed since the pointer was taken: a walk that runs
// host or model code at every step need not look the block up again at every step. Once it has
// changed, the facts found at the handle are the same block's only when their serial is.
unsigned blocks_forgotten();
// The block that holds each port a block accepted, until the port is destroyed: a port belongs
// to one block, which destroys it, and one held twice would be destroyed twice. Looked up by
// the port, so that an addition costs the same however many blocks the flowsheet has.
int port_holder(const nux_port* port);                             // 0 when no block holds it
bool note_port_holder(const nux_port* port, int blkptr) noexcept;  // false when not recorded
void forget_port_holder(const nux_port* port);

// True for a live block. For a non-zero handle that is not a live block it prints
// "!! <fn>: " and "Invalid block handle <n>\n" on the history device.
bool live(int blkptr, const char* fn);

// Word k of a live block, through the current workspace base.
inline int32_t& word(int blkptr, int k) { return ib0[blkptr + k]; }

kvoblk_settings_t* settings(int blkptr);
kvoblk_ops_t* ops(int blkptr);
NUXBlockCallback* container(int blkptr);
const char* blkid(int blkptr);
// Makes the heap text `id` (null for none) the id of a live block, releasing the old one. False
// when the text cannot be registered: it is then freed and the block keeps the id it had.
bool store_blkid(int blkptr, char* id);
int diag(int blkptr);

// Text helpers that accept null as the empty text.
inline const char* text(const char* s) { return s ? s : ""; }

// ---- Messages (kvblk_messages.cpp) ---------------------------------------------------------
// Message head "!! <fn>: " as one print call; the body follows in a second call.
// "!! fn: A routine of block %s ended with an exception": model or host code that ended with
// an exception, reported where it is caught, so that none reaches a C or Fortran caller. The
// block is named while it is there; given a serial, only while it is the block the call began
// on (one made at its handle since is another).
void report_exception(const char* fn, int blkptr);
void report_exception(const char* fn, int blkptr, uint64_t serial);
void head(const char* fn);
// The empty-slot message of a dispatcher.
void undefined(const char* fn);
// An internal consistency line on the standard error stream; the call goes on.
void assertion(const char* condition, int line);
// The block id for a message, also when model code may have destroyed the block meanwhile.
inline const char* id_text(int blkptr) { return registered(blkptr) ? text(blkid(blkptr)) : ""; }

// A malloc'ed copy, or null for null (and when the heap is full).
inline char* copy_text(const char* s) {
  if (!s) return nullptr;
  const size_t n = std::strlen(s);
  char* c = static_cast<char*>(heap_malloc(n + 1));
  if (c) std::memcpy(c, s, n + 1);
  return c;
}

// ---- Port array (kvoport_list.cpp) ---------------------------------------------------------
// Number of entries of the port array that may be read: the stored count, bounded by the
// array's real capacity.
int port_count(int blkptr);
nux_port* port_entry(int blkptr, int i);  // entry i (1-based) or null
// True when some entry of the block's port array, within the count or above it, holds `port`.
bool holds_port(int blkptr, const nux_port* port);
// How many of `n` port positions a search by name may visit: n, or, where the block numbers its
// ports by the library's own routine, no more than the array holds.
int ports_to_search(int blkptr, int n);

// Releases the variable grouping and the last-iterate buffers a solve prepared
// (kvojac_numeric.cpp).
void release_solve_data(int blkptr);

// ---- Output words --------------------------------------------------------------------------
// Makes the output pointer `name` always writable: when the caller passed null it is pointed
// at a word of the routine's own, value-initialised (0 or null).
#define KVOBLK_OUT(name)                               \
  std::remove_pointer_t<decltype(name)> name##_own_{}; \
  if (!(name)) (name) = &name##_own_

// ---- Block extent and bounds ---------------------------------------------------------------
// Entries from `start` to `stop` (0 when stop < start), wide enough for any pair of words.
inline int64_t extent(int start, int stop) {
  return stop >= start ? static_cast<int64_t>(stop) - start + 1 : 0;
}
// stop - start + 1 as the record's words say it, negative when stop lies more than one below
// start; for messages that show the number as it is.
inline int64_t span(int start, int stop) { return static_cast<int64_t>(stop) - start + 1; }
// The number of entries in a word: a number a word cannot hold counts as none.
inline int extent32(int start, int stop) {
  const int64_t n = extent(start, stop);
  return n <= INT32_MAX ? static_cast<int>(n) : 0;
}
// A wide number brought into a word, saturating at the word's bounds.
inline int clamp32(int64_t v) {
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int>(v);
}
// The block's numbers of variables, equations and non-zeros as placed.
inline int block_nvar(int blkptr) {
  return extent32(word(blkptr, kvoblk_word::vstart), word(blkptr, kvoblk_word::vstop));
}
inline int block_neq(int blkptr) {
  return extent32(word(blkptr, kvoblk_word::estart), word(blkptr, kvoblk_word::estop));
}
inline int block_nnz(int blkptr) {
  return extent32(word(blkptr, kvoblk_word::nzstart), word(blkptr, kvoblk_word::nzstop));
}
// True when non-zeros first..last all lie in a Jacobian that holds `jac_nnz` of them.
inline bool inside_jacobian(int first, int last, int64_t jac_nnz) {
  return first >= 1 && last <= jac_nnz;
}
// "!! <fn>: Non-zeros <first> to <last> of block <id> are not in the Jacobian"
// (kvblk_messages.cpp).
void report_outside_jacobian(int blkptr, const char* fn, int first, int last);
// "!! <fn>: Not enough memory to compare the <what> of block <id>" (kvblk_messages.cpp).
void report_compare_no_memory(int blkptr, const char* fn, const char* what);

// ---- Heap arrays ---------------------------------------------------------------------------
// The library's one array on its heap: items of a trivial type from heap_realloc (so the test
// hook reaches every request), grown in place where the allocator can, released when the array
// goes out of scope unless handed on with release() (the receiver frees it with std::free).
// Every request that can fail says so instead of throwing: reserve, resize and push_back answer
// false and leave the array as it was. Counts are 64-bit; new items are not initialised.
template <class T>
struct HeapArray {
  static_assert(std::is_trivially_copyable<T>::value, "HeapArray holds plain items");
  T* p = nullptr;
  int64_t n = 0;    // items in use
  int64_t cap = 0;  // items allocated

  HeapArray() = default;
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  HeapArray(HeapArray&& o) noexcept : p(o.p), n(o.n), cap(o.cap) {
    o.p = nullptr;
    o.n = o.cap = 0;
  }
  HeapArray& operator=(HeapArray&& o) noexcept {
    if (this != &o) {
      std::free(p);
      p = o.p;
      n = o.n;
      cap = o.cap;
      o.p = nullptr;
      o.n = o.cap = 0;
    }
    return *this;
  }
  ~HeapArray() { std::free(p); }

  // Room for `want` items in all; a request that size_t cannot express fails.
  bool reserve(int64_t want) noexcept {
    if (want <= cap) return true;
    if (static_cast<uint64_t>(want) > SIZE_MAX / sizeof(T)) return false;
    void* q = heap_realloc(p, static_cast<size_t>(want) * sizeof(T));
    if (!q) return false;
    p = static_cast<T*>(q);
    cap = want;
    return true;
  }
  bool resize(int64_t count) noexcept {
    if (count < 0 || !reserve(count)) return false;
    n = count;
    return true;
  }
  // Appends one item, doubling the room when it is full.
  bool push_back(const T& item) noexcept {
    if (n == cap && !reserve(cap > 0 ? 2 * cap : 16)) return false;
    p[n++] = item;
    return true;
  }
  // Drops the items, keeping the room.
  void clear() noexcept { n = 0; }
  // Releases the items and the room.
  void reset() noexcept {
    std::free(p);
    p = nullptr;
    n = cap = 0;
  }
  T* release() noexcept {
    T* q = p;
    p = nullptr;
    n = cap = 0;
    return q;
  }
  T* data() const { return p; }
  int64_t size() const { return n; }
  bool empty() const { return n == 0; }
  T& operator[](int64_t i) const { return p[i]; }
  T* begin() const { return p; }
  T* end() const { return p + n; }
};

}  // namespace detail
}  // namespace kvoblk
