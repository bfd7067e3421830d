// Internals shared by the library's units: the reference table behind the record's reference
// words, the registry of live blocks, record word access and the message helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include <kvoblk/host/kvo_alloc.h>
#include <kvoblk/host/kvo_print.h>
#include <kvoblk/kvoblk.h>

namespace kvoblk {
namespace detail {

// ---- Reference table -----------------------------------------------------------------------
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

// ---- Heap ----------------------------------------------------------------------------------
// Every heap request the library makes for itself goes through one of these, so that a test can
// make the k-th request fail. heap_malloc and heap_realloc pair with std::free, heap_alloc with
// ::operator delete, heap_make with delete. Registering a reference (ref_put) and a block
// (side_add) count as requests too.
void* heap_malloc(size_t bytes) noexcept;
void* heap_realloc(void* p, size_t bytes) noexcept;
void* heap_alloc(size_t bytes) noexcept;
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

// ---- Block registry ------------------------------------------------------------------------
// The library remembers every record it made, with what must be known beside the record: the
// record length and the real capacity of the port array. A handle that is not registered is a
// bad handle and is treated like handle 0.
struct BlockSide {
  int record_words = 0;
  int port_capacity = 0;
  // The numbers of variables, equations and non-zeros the variable grouping was made for: a
  // grouping made for another placement must not be handed slices of this one.
  int vgrp_nvar = 0, vgrp_neq = 0, vgrp_nnz = 0;
};
BlockSide* side(int blkptr);
bool side_add(int blkptr, int record_words) noexcept;  // false when it cannot be recorded
void side_remove(int blkptr);

// True for a live block. For a non-zero handle that is not a live block it prints
// "!! <fn>: " and "Invalid block handle <n>\n" on the history device.
bool live(int blkptr, const char* fn);

// Word k of a live block, through the current workspace base.
inline int32_t& word(int blkptr, int k) { return ib0[blkptr + k]; }

kvoblk_settings_t* settings(int blkptr);
kvoblk_ops_t* ops(int blkptr);
NUXBlockCallback* container(int blkptr);
const char* blkid(int blkptr);
int diag(int blkptr);

// Message head "!! <fn>: " as one print call; the body follows in a second call.
void head(const char* fn);
// The empty-slot message of a dispatcher.
void undefined(const char* fn);
// An internal consistency line on the standard error stream; the call goes on.
void assertion(const char* condition, int line);

// Text helpers that accept null as the empty text.
inline const char* text(const char* s) { return s ? s : ""; }
char* copy_text(const char* s);  // malloc'ed copy, or null for null

// Number of entries of the port array that may be read: the stored count, bounded by the
// array's real capacity.
int port_count(int blkptr);
nux_port* port_entry(int blkptr, int i);  // entry i (1-based) or null

// Releases the variable grouping and the last-iterate buffers a solve prepared.
void release_solve_data(int blkptr);

}  // namespace detail
}  // namespace kvoblk
