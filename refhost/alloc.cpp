// SPDX-License-Identifier: BSD-3-Clause
// Integer workspace of the reference host: a first-fit allocator over one growable buffer of
// 32-bit words. Blocks are named by word index; index 0 is reserved and never handed out.
//
// The allocator is deliberately hostile to careless callers: new words hold a garbage pattern
// instead of zeros, growing the workspace really moves it, and in moving mode every allocation
// moves it, so a pointer kept across an allocation points at released memory.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "kvorefhost.h"

int32_t* ib0 = nullptr;

namespace {

constexpr int32_t kGarbage = 0x5A5A5A5A;
constexpr int64_t kInitialWords = 256;
// Upper bound of the workspace; keeps every index and size comfortably inside an int.
constexpr int64_t kMaxWords = int64_t(1) << 28;

struct Workspace {
  int64_t words = 0;                // size of the buffer ib0 points at
  std::map<int, int> blocks;        // live blocks: first word -> words
  std::map<int, int> free_regions;  // free words, coalesced: first word -> words
  bool moving = false;
  int fail_countdown = 0;  // the allocation that brings this from 1 to 0 fails
  int refusal = 0;         // what that failing allocation answers
};

// Never destroyed, so that allocator calls made during static destruction stay safe.
Workspace& ws() {
  static Workspace* w = new Workspace;
  return *w;
}

void fill_garbage(int64_t first, int64_t count) {
  for (int64_t i = 0; i < count; ++i) ib0[first + i] = kGarbage;
}

// Returns the words [first, first+count) to the free regions, merging with both neighbours.
// Only words that touch no free region need a new node, so only they can find no memory.
void add_free(int first, int count) {
  if (count <= 0) return;
  auto& fr = ws().free_regions;
  auto next = fr.lower_bound(first);
  const bool joins_next = next != fr.end() && first + count == next->first;
  if (next != fr.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == first) {
      prev->second += count;
      if (joins_next) {
        prev->second += next->second;
        fr.erase(next);
      }
      return;
    }
  }
  if (joins_next) {  // the region after starts earlier now: its node moves
    auto node = fr.extract(next);
    node.key() = first;
    node.mapped() += count;
    fr.insert(std::move(node));
    return;
  }
  fr.emplace(first, count);
}

// Returns words for good, when the bookkeeping has room to note them; otherwise they stay taken,
// which costs words but never hands out one twice.
void release_words(int first, int count) {
  try {
    add_free(first, count);
  } catch (const std::bad_alloc&) {
  }
}

// Moves the workspace to a fresh buffer of `new_words` words (at least the current size) and
// releases the old one. Words beyond the old size become free.
bool relocate(int64_t new_words) {
  Workspace& w = ws();
  new_words = std::max(new_words, w.words);
  auto* buffer = static_cast<int32_t*>(std::malloc(static_cast<size_t>(new_words) * 4));
  if (!buffer) return false;
  if (ib0) {
    std::memcpy(buffer, ib0, static_cast<size_t>(w.words) * 4);
    // Scrub the old buffer so that a pointer kept across the move reads garbage in every
    // build, not only under the address sanitizer.
    std::fill(ib0, ib0 + w.words, static_cast<int32_t>(0x5A5A5A5A));
  }
  std::free(ib0);
  ib0 = buffer;
  const int64_t old_words = w.words;
  w.words = new_words;
  if (new_words > old_words) {
    fill_garbage(old_words, new_words - old_words);
    // Word 0 of a brand-new workspace stays reserved.
    const int64_t first = std::max<int64_t>(old_words, 1);
    add_free(static_cast<int>(first), static_cast<int>(new_words - first));
  }
  return true;
}

void ensure_workspace() {
  if (!ib0) relocate(kInitialWords);
}

// Takes the first `n` words of the free region `it`. What is left of it keeps the region's node,
// so taking words needs no memory.
void take_front(std::map<int, int>::iterator it, int n) {
  auto& fr = ws().free_regions;
  if (it->second == n) {
    fr.erase(it);
    return;
  }
  auto node = fr.extract(it);
  node.key() += n;
  node.mapped() -= n;
  fr.insert(std::move(node));
}

// Takes `n` contiguous free words, growing the workspace when no free region is large enough.
// Returns the first word, or 0.
int take_words(int n) {
  Workspace& w = ws();
  auto& fr = w.free_regions;
  for (auto it = fr.begin(); it != fr.end(); ++it) {
    if (it->second >= n) {
      const int first = it->first;
      take_front(it, n);
      return first;
    }
  }
  // Grow: a free region at the end of the workspace counts towards the new block.
  int64_t tail = 0;
  if (!fr.empty()) {
    auto last = std::prev(fr.end());
    if (last->first + int64_t(last->second) == w.words) tail = last->second;
  }
  const int64_t needed = w.words + n - tail;
  if (needed > kMaxWords) return 0;
  const int64_t new_words = std::min(kMaxWords, std::max(needed, w.words * 2));
  if (!relocate(new_words)) return 0;
  return take_words(n);
}

// Notes the words just taken at `first` as a live block; when the bookkeeping finds no memory
// they go back to the free regions they came from (which needs none) and the failure goes on.
void note_block(int first, int n) {
  try {
    ws().blocks.emplace(first, n);
  } catch (const std::bad_alloc&) {
    release_words(first, n);
    throw;
  }
}

int allocate(int nwords) {
  const int n = std::max(nwords, 1);
  if (n > kMaxWords) return 0;
  Workspace& w = ws();
  if (w.moving && !relocate(w.words)) return 0;
  const int index = take_words(n);
  if (index == 0) return 0;
  note_block(index, n);
  fill_garbage(index, n);
  return index;
}

}  // namespace

extern "C" {

int KVO_IMALLOC(int* nwords) {
  if (!nwords || *nwords < 0) return 0;
  // Bookkeeping that finds no memory refuses the request like a full workspace does; the
  // first request also makes the workspace.
  try {
    ensure_workspace();
    Workspace& w = ws();
    if (w.fail_countdown > 0 && --w.fail_countdown == 0) return w.refusal;
    return allocate(*nwords);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // extern "C"

namespace {

// Resizes the live block at `idx`. Until the answer is known, a failing step leaves the block as
// it was and throws; the caller turns that into a refusal.
int resize_block(int idx, int nwords) {
  Workspace& w = ws();
  auto it = w.blocks.find(idx);
  if (it == w.blocks.end()) return 0;
  const int old_n = it->second;
  const int n = std::max(nwords, 1);
  if (n > kMaxWords) return 0;
  // A growth counts against the failure switch as a new allocation would.
  if (n > old_n && w.fail_countdown > 0 && --w.fail_countdown == 0) return w.refusal;
  if (w.moving && !relocate(w.words)) return 0;

  if (n <= old_n) {  // shrink in place
    fill_garbage(idx + n, old_n - n);
    it->second = n;
    release_words(idx + n, old_n - n);
    return idx;
  }
  // Grow in place when the free region right after the block is large enough.
  auto next = w.free_regions.find(idx + old_n);
  if (next != w.free_regions.end() && next->second >= n - old_n) {
    take_front(next, n - old_n);
    fill_garbage(idx + old_n, n - old_n);
    it->second = n;
    return idx;
  }
  // Otherwise move the block; taking words may move the workspace, indices stay valid.
  const int moved = take_words(n);
  if (moved == 0) return 0;
  note_block(moved, n);  // noted before the old block goes, so a failure leaves it whole
  std::memcpy(ib0 + moved, ib0 + idx, static_cast<size_t>(old_n) * 4);
  fill_garbage(moved + old_n, n - old_n);
  w.blocks.erase(idx);
  fill_garbage(idx, old_n);
  release_words(idx, old_n);
  return moved;
}

}  // namespace

extern "C" {

int KVO_IREALLOC(int* index, int* nwords) {
  if (!index || !nwords || *nwords < 0) return 0;
  try {
    ensure_workspace();
    return *index == 0 ? allocate(*nwords) : resize_block(*index, *nwords);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void KVO_IFREE(int* index) {
  if (!index || *index == 0) return;
  Workspace& w = ws();
  auto it = w.blocks.find(*index);
  if (it == w.blocks.end()) return;
  const int first = it->first;
  const int n = it->second;
  w.blocks.erase(it);
  fill_garbage(first, n);
  release_words(first, n);
}

}  // extern "C"

namespace kvoref {

void set_moving_workspace(bool on) { ws().moving = on; }

void fail_imalloc_after(int n) { ws().fail_countdown = n > 0 ? n : 0; }

void set_imalloc_refusal(int answer) { ws().refusal = answer; }

int imalloc_fail_pending() { return ws().fail_countdown; }

int live_blocks() { return static_cast<int>(ws().blocks.size()); }

int workspace_words() {
  ensure_workspace();
  return static_cast<int>(ws().words);
}

int block_words(int index) {
  auto& b = ws().blocks;
  auto it = b.find(index);
  return it == b.end() ? 0 : it->second;
}

namespace detail {

void reset_alloc() {
  Workspace& w = ws();
  std::free(ib0);
  ib0 = nullptr;
  w.words = 0;
  w.blocks.clear();
  w.free_regions.clear();
  w.moving = false;
  w.fail_countdown = 0;
  w.refusal = 0;
  ensure_workspace();
}

}  // namespace detail
}  // namespace kvoref
