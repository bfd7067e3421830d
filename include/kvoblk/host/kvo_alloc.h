// SPDX-License-Identifier: BSD-3-Clause
// Integer workspace allocator. Block records and port arrays live in the workspace `ib0` and are
// named by word indices; counts and indices are passed by reference, Fortran style.
#pragma once

#include <stdint.h>

#include <kvoblk/host/kvo_host_export.h>

KVOBLK_BEGIN_DECL

// Current base of the integer workspace. It changes whenever an allocation grows or moves the
// workspace, so callers re-read it at every access and never keep a pointer to a word across an
// allocation or a call into model code.
extern KVOHOST_API int32_t* ib0;

// Returns the word index of a new block of at least *nwords words, or 0 when none can be given.
// Index 0 is never handed out. New words hold whatever the workspace held.
KVOHOST_API int KVO_IMALLOC(int* nwords);

// Resizes the block at *index to *nwords words and returns its (possibly new) index; the first
// words keep their values. 0 (or any index below 1) when it cannot: the library then keeps using
// the block at *index, which must still be whole. When the block moved, the library uses only the
// new index: releasing the old block is the allocator's own business.
KVOHOST_API int KVO_IREALLOC(int* index, int* nwords);

// Returns the block at *index to the allocator; the library does not use the index again.
KVOHOST_API void KVO_IFREE(int* index);

KVOBLK_END_DECL
