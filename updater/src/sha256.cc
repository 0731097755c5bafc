// SHA-256 through the provider interface of a private OpenSSL library context.
//
// Any EVP digest initialisation looks up engines, and that lookup loads the process-wide
// configuration (OPENSSL_CONF or openssl.cnf, opened without close-on-exec) into the default
// context, where it can also disable SHA-256 altogether. Asking OpenSSL not to load it
// (OPENSSL_INIT_NO_LOAD_CONFIG) would take the configuration away from a host that uses OpenSSL
// itself, and would not help once the host has loaded one. So the library never touches the
// default context: it loads the built-in default provider into a context of its own, which
// reads no file, and calls that provider's SHA-256 functions directly.
#include "sha256.h"

#include <openssl/core_dispatch.h>
#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <string_view>

namespace pellark {

namespace {

struct LibCtxFree {
  void operator()(OSSL_LIB_CTX* ctx) const { OSSL_LIB_CTX_free(ctx); }
};
struct ProviderUnload {
  void operator()(OSSL_PROVIDER* provider) const { (void)OSSL_PROVIDER_unload(provider); }
};

// The implementation whose first name is the canonical "SHA2-256".
const OSSL_DISPATCH* find_sha256(const OSSL_ALGORITHM* algorithms) {
  for (const OSSL_ALGORITHM* a = algorithms; a != nullptr && a->algorithm_names != nullptr; ++a) {
    std::string_view names(a->algorithm_names);
    if (names == "SHA2-256" || names.starts_with("SHA2-256:")) return a->implementation;
  }
  return nullptr;
}

}  // namespace

// The destructor hands back the digest context and the query; the members then unload the
// provider and free the library context, in that order.
struct Sha256::State {
  std::unique_ptr<OSSL_LIB_CTX, LibCtxFree> libctx;
  std::unique_ptr<OSSL_PROVIDER, ProviderUnload> provider;
  const OSSL_ALGORITHM* algorithms = nullptr;
  OSSL_FUNC_digest_newctx_fn* newctx = nullptr;
  OSSL_FUNC_digest_init_fn* init = nullptr;
  OSSL_FUNC_digest_update_fn* update = nullptr;
  OSSL_FUNC_digest_final_fn* final = nullptr;
  OSSL_FUNC_digest_freectx_fn* freectx = nullptr;
  void* dctx = nullptr;

  ~State() {
    if (dctx != nullptr) freectx(dctx);
    if (algorithms != nullptr)
      OSSL_PROVIDER_unquery_operation(provider.get(), OSSL_OP_DIGEST, algorithms);
  }
};

Sha256::Sha256(std::unique_ptr<State> state) : state_(std::move(state)) {}
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

Result<Sha256> Sha256::start() {
  auto state = std::make_unique<State>();
  state->libctx.reset(OSSL_LIB_CTX_new());
  if (!state->libctx) return Error::failure("no OpenSSL library context");
  state->provider.reset(OSSL_PROVIDER_load(state->libctx.get(), "default"));
  if (!state->provider) return Error::failure("no OpenSSL default provider");
  int no_cache = 0;
  state->algorithms =
      OSSL_PROVIDER_query_operation(state->provider.get(), OSSL_OP_DIGEST, &no_cache);
  for (const OSSL_DISPATCH* f = find_sha256(state->algorithms); f != nullptr && f->function_id != 0;
       ++f) {
    switch (f->function_id) {
      case OSSL_FUNC_DIGEST_NEWCTX:
        state->newctx = OSSL_FUNC_digest_newctx(f);
        break;
      case OSSL_FUNC_DIGEST_INIT:
        state->init = OSSL_FUNC_digest_init(f);
        break;
      case OSSL_FUNC_DIGEST_UPDATE:
        state->update = OSSL_FUNC_digest_update(f);
        break;
      case OSSL_FUNC_DIGEST_FINAL:
        state->final = OSSL_FUNC_digest_final(f);
        break;
      case OSSL_FUNC_DIGEST_FREECTX:
        state->freectx = OSSL_FUNC_digest_freectx(f);
        break;
      default:
        break;
    }
  }
  if (!state->newctx || !state->init || !state->update || !state->final || !state->freectx)
    return Error::failure("no SHA-256 in the default provider");
  state->dctx = state->newctx(OSSL_PROVIDER_get0_provider_ctx(state->provider.get()));
  if (state->dctx == nullptr) return Error::failure("no SHA-256 context");
  if (state->init(state->dctx, nullptr) != 1) return Error::failure("SHA-256 init failed");
  return Sha256(std::move(state));
}

Status Sha256::update(const unsigned char* data, size_t size) {
  if (state_->update(state_->dctx, data, size) != 1) return Error::failure("SHA-256 update failed");
  return ok();
}

Result<Sha256::Digest> Sha256::finish() {
  Digest digest{};
  size_t length = 0;
  if (state_->final(state_->dctx, digest.data(), &length, digest.size()) != 1 ||
      length != digest.size())
    return Error::failure("SHA-256 final failed");
  return digest;
}

std::string digest_hex(const Sha256::Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * digest.size());
  for (unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0xF];
  }
  return text;
}

}  // namespace pellark
