// SPDX-License-Identifier: BSD-3-Clause
// Message-digest service: standard MD5 (RFC 1321) behind three calls. The context is owned by
// the caller; MD5Final releases whatever MD5Init obtained.
#pragma once

#include <kvoblk/host/kvo_host_export.h>

// The digest context. Its contents belong to the service.
struct kvo_md5_ctx {
  void* impl;
};

// The three calls have C++ linkage: their mangled names carry the context type, so they never
// clash with the plain MD5Init/MD5Update/MD5Final that other libraries export.
KVOHOST_API void MD5Init(kvo_md5_ctx* ctx);
KVOHOST_API void MD5Update(kvo_md5_ctx* ctx, const unsigned char* bytes, unsigned int length);
KVOHOST_API void MD5Final(unsigned char digest[16], kvo_md5_ctx* ctx);
