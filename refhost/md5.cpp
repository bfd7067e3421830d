// SPDX-License-Identifier: BSD-3-Clause
// Message-digest service of the reference host: MD5 (RFC 1321) through the system's own
// cryptography: OpenSSL's EVP interface, or CNG (bcrypt) on Windows. Each context owns one
// digest object of that interface from MD5Init until MD5Final releases it.
#if defined(_WIN32)
#include <windows.h>
// bcrypt.h takes its types from windows.h, which must come first.
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

#include <cstring>
#include <mutex>
#include <unordered_set>

#include <kvoblk/host/kvo_md5.h>

namespace {

#if defined(_WIN32)
// One CNG hash object. The algorithm provider is opened once and kept for the process.
struct Digest {
  BCRYPT_HASH_HANDLE hash = nullptr;
};

BCRYPT_ALG_HANDLE md5_provider() {
  static BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_MD5_ALGORITHM, nullptr, 0)))
      h = nullptr;
    return h;
  }();
  return provider;
}

// Starts (or restarts) the digest in `d`; false when the system cannot give one.
bool digest_start(Digest* d) {
  if (d->hash) BCryptDestroyHash(d->hash);
  d->hash = nullptr;
  BCRYPT_ALG_HANDLE provider = md5_provider();
  return provider &&
         BCRYPT_SUCCESS(BCryptCreateHash(provider, &d->hash, nullptr, 0, nullptr, 0, 0));
}
Digest* digest_new() { return new Digest; }
void digest_free(Digest* d) {
  if (d->hash) BCryptDestroyHash(d->hash);
  delete d;
}
void digest_update(Digest* d, const unsigned char* bytes, unsigned int length) {
  if (d->hash) BCryptHashData(d->hash, const_cast<PUCHAR>(bytes), length, 0);
}
bool digest_finish(Digest* d, unsigned char out[16]) {
  return d->hash && BCRYPT_SUCCESS(BCryptFinishHash(d->hash, out, 16, 0));
}
#else
using Digest = EVP_MD_CTX;
bool digest_start(Digest* d) { return EVP_DigestInit_ex(d, EVP_md5(), nullptr) == 1; }
Digest* digest_new() { return EVP_MD_CTX_new(); }
void digest_free(Digest* d) { EVP_MD_CTX_free(d); }
void digest_update(Digest* d, const unsigned char* bytes, unsigned int length) {
  EVP_DigestUpdate(d, bytes, length);
}
bool digest_finish(Digest* d, unsigned char out[16]) {
  unsigned char full[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(d, full, &n) != 1 || n != 16) return false;
  std::memcpy(out, full, 16);
  return true;
}
#endif

// The digest objects handed out and not yet released. A caller's context is trusted only when its
// impl is one of these, so a context that was never initialised (null or stray bits in impl),
// one already finished, or a copy of a finished one is ignored rather than dereferenced or
// released twice. The set holds only contexts that callers own, so a host reset leaves it alone.
struct Registry {
  std::mutex lock;
  std::unordered_set<Digest*> live;
};

// Never destroyed, so a context finished during static destruction stays safe.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

// The digest object behind `ctx`, or null when it holds none.
Digest* lookup(const kvo_md5_ctx* ctx) {
  if (!ctx) return nullptr;
  Digest* d = static_cast<Digest*>(ctx->impl);
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  return r.live.count(d) ? d : nullptr;
}

}  // namespace

// Starts a digest. The incoming impl is not read as a pointer unless it is one of the live
// contexts (a context initialised again before it was finished): then that context is reset
// and reused, so nothing leaks. Otherwise a fresh digest object is made; if that fails, impl stays
// null and the digest comes out as sixteen zero bytes.
void MD5Init(kvo_md5_ctx* ctx) {
  if (!ctx) return;
  Digest* d = lookup(ctx);
  if (d) {
    if (digest_start(d)) return;
    MD5Final(nullptr, ctx);
    return;
  }
  ctx->impl = nullptr;
  d = digest_new();
  if (!d) return;
  if (!digest_start(d)) {
    digest_free(d);
    return;
  }
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> hold(r.lock);
    r.live.insert(d);
  }
  ctx->impl = d;
}

// Feeds `length` bytes. Nothing happens for length 0, null bytes or a context without a digest
// under way.
void MD5Update(kvo_md5_ctx* ctx, const unsigned char* bytes, unsigned int length) {
  if (length == 0 || !bytes) return;
  if (Digest* d = lookup(ctx)) digest_update(d, bytes, length);
}

// Writes the 16-byte digest (unless `digest` is null) and releases the digest object; the context
// is then empty and may be initialised again. A context without a digest under way gives sixteen
// zero bytes, so the caller never reads undefined bytes.
void MD5Final(unsigned char digest[16], kvo_md5_ctx* ctx) {
  unsigned char out[16] = {};
  if (Digest* d = lookup(ctx)) {
    Registry& r = registry();
    {
      std::lock_guard<std::mutex> hold(r.lock);
      r.live.erase(d);
    }
    if (!digest_finish(d, out)) std::memset(out, 0, sizeof out);
    digest_free(d);
    ctx->impl = nullptr;
  }
  if (digest) std::memcpy(digest, out, 16);
}
