// Message-digest service of the reference host: MD5 (RFC 1321) through OpenSSL's EVP interface.
// Each context owns one EVP digest context from MD5Init until MD5Final releases it.
#include <openssl/evp.h>

#include <cstring>
#include <mutex>
#include <unordered_set>

#include <kvoblk/host/kvo_md5.h>

namespace {

// The EVP contexts handed out and not yet released. A caller's context is trusted only when its
// impl is one of these, so a context that was never initialised (null or stray bits in impl),
// one already finished, or a copy of a finished one is ignored rather than dereferenced or
// released twice. The set holds only contexts that callers own, so a host reset leaves it alone.
struct Registry {
  std::mutex lock;
  std::unordered_set<EVP_MD_CTX*> live;
};

// Never destroyed, so a context finished during static destruction stays safe.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

// The EVP context behind `ctx`, or null when it holds none.
EVP_MD_CTX* lookup(const kvo_md5_ctx* ctx) {
  if (!ctx) return nullptr;
  EVP_MD_CTX* evp = static_cast<EVP_MD_CTX*>(ctx->impl);
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  return r.live.count(evp) ? evp : nullptr;
}

}  // namespace

// Starts a digest. The incoming impl is not read as a pointer unless it is one of the live
// contexts (a context initialised again before it was finished): then that context is reset
// and reused, so nothing leaks. Otherwise a fresh EVP context is made; if that fails, impl stays
// null and the digest comes out as sixteen zero bytes.
void MD5Init(kvo_md5_ctx* ctx) {
  if (!ctx) return;
  EVP_MD_CTX* evp = lookup(ctx);
  if (evp) {
    if (EVP_DigestInit_ex(evp, EVP_md5(), nullptr) == 1) return;
    MD5Final(nullptr, ctx);
    return;
  }
  ctx->impl = nullptr;
  evp = EVP_MD_CTX_new();
  if (!evp) return;
  if (EVP_DigestInit_ex(evp, EVP_md5(), nullptr) != 1) {
    EVP_MD_CTX_free(evp);
    return;
  }
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> hold(r.lock);
    r.live.insert(evp);
  }
  ctx->impl = evp;
}

// Feeds `length` bytes. Nothing happens for length 0, null bytes or a context without a digest
// under way.
void MD5Update(kvo_md5_ctx* ctx, const unsigned char* bytes, unsigned int length) {
  if (length == 0 || !bytes) return;
  if (EVP_MD_CTX* evp = lookup(ctx)) EVP_DigestUpdate(evp, bytes, length);
}

// Writes the 16-byte digest (unless `digest` is null) and releases the EVP context; the context
// is then empty and may be initialised again. A context without a digest under way gives sixteen
// zero bytes, so the caller never reads undefined bytes.
void MD5Final(unsigned char digest[16], kvo_md5_ctx* ctx) {
  unsigned char out[EVP_MAX_MD_SIZE] = {};
  if (EVP_MD_CTX* evp = lookup(ctx)) {
    Registry& r = registry();
    {
      std::lock_guard<std::mutex> hold(r.lock);
      r.live.erase(evp);
    }
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(evp, out, &n) != 1 || n != 16) std::memset(out, 0, sizeof out);
    EVP_MD_CTX_free(evp);
    ctx->impl = nullptr;
  }
  if (digest) std::memcpy(digest, out, 16);
}
