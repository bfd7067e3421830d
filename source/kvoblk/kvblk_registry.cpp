// SPDX-License-Identifier: BSD-3-Clause
// The registry of live blocks, with what the library keeps beside each record, and the record's
// reference words read as the objects they name.
#include <unordered_map>

#include "kvblk_internal.h"

namespace kvoblk {
namespace detail {

namespace {

std::unordered_map<int, BlockFacts>& blocks() {
  static std::unordered_map<int, BlockFacts> registry;
  return registry;
}

unsigned forgotten = 0;
uint64_t registrations = 0;

std::unordered_map<const nux_port*, int>& holders() {
  static std::unordered_map<const nux_port*, int> registry;
  return registry;
}

}  // namespace

BlockFacts* facts(int blkptr) {
  auto it = blocks().find(blkptr);
  return it == blocks().end() ? nullptr : &it->second;
}

bool register_block(int blkptr, int record_words) noexcept {
  if (!heap_granted()) return false;
  BlockFacts s;
  s.serial = ++registrations;
  s.record_words = record_words;
  try {
    blocks()[blkptr] = s;
  } catch (...) {
    return false;
  }
  return true;
}

void forget_block(int blkptr) {
  blocks().erase(blkptr);
  ++forgotten;
}

unsigned blocks_forgotten() { return forgotten; }

int port_holder(const nux_port* port) {
  auto it = holders().find(port);
  return it == holders().end() ? 0 : it->second;
}

bool note_port_holder(const nux_port* port, int blkptr) noexcept {
  if (!heap_granted()) return false;
  try {
    holders()[port] = blkptr;
  } catch (...) {
    return false;
  }
  return true;
}

void forget_port_holder(const nux_port* port) { holders().erase(port); }

bool live(int blkptr, const char* fn) {
  if (blkptr == 0) return false;
  if (registered(blkptr)) return true;
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

}  // namespace detail
}  // namespace kvoblk
