// SPDX-License-Identifier: BSD-3-Clause
/* The two-variable example model: creation only; everything else goes through the block. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* A new block of the model with the given id, or 0 when none can be made. */
int twovar_create(const char* id);

#ifdef __cplusplus
}
#endif
