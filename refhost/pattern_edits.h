// SPDX-License-Identifier: BSD-3-Clause
// How the reference host's Jacobians let its other services know that a pattern has not
// changed, without reading it again. Internal to the reference host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvoref {
namespace detail {

// A count that goes up whenever the row or column numbers of any Jacobian or pattern object
// may change through the list services: an entry set, moved or renumbered, a resize, an object
// made or released. Writes through the pattern vectors (KVJacIrn, KVJacIcn), which are
// read-only views, are not seen.
uint64_t pattern_edits();

// When the n column numbers from p on lie inside those of one Jacobian or pattern object, the
// row numbers of the same entries; else null.
const int* rows_beside(const int* p, size_t n);

}  // namespace detail
}  // namespace kvoref
