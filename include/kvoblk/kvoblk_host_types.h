// SPDX-License-Identifier: BSD-3-Clause
/** @file
 * Host framework objects the block functions take and hand back. C++ callers get the host's
 * classes; C callers handle them through pointers only.
 */
#pragma once

#ifdef __cplusplus
#include <kvoblk/host/nux_framework.h>
#include <kvoblk/host/nux_port.h>
#else
typedef struct nux_blk_t nux_blk_t;
typedef struct nuxblock_attr_desc nuxblock_attr_desc;
typedef struct NUXEOCntr NUXEOCntr;
typedef struct NUXBlockCallback NUXBlockCallback;
typedef struct EBSContext EBSContext;
typedef struct nux_port nux_port;
#endif
/** The message-digest context of the host (see kvoblk/host/kvo_md5.h). */
typedef struct kvo_md5_ctx kvo_md5_ctx;
