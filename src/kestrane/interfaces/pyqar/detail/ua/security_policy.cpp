#include "security_policy.h"

#include <algorithm>
#include <stdexcept>

#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <fmt/format.h>

#include "openssl_handles.h"

namespace pyqar::ua {
namespace {

// RSA-OAEP's overhead per block: twice the digest size plus two.
constexpr std::size_t kOaepSha1Overhead = 2 * 20 + 2;
constexpr std::size_t kOaepSha256Overhead = 2 * 32 + 2;
constexpr std::size_t kSigningKeySize = 32;

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(fmt::format("{}: {}", what, openssl_error("unknown OpenSSL error")));
}

void check(int ok, const char* what) {
  if (ok <= 0) fail(what);
}

}  // namespace

Bytes random_bytes(std::size_t n) {
  Bytes out(n);
  if (n > 0) check(RAND_bytes(out.data(), static_cast<int>(n)), "random bytes");
  return out;
}

std::string_view SecurityPolicy::signature_algorithm_uri() const {
  return pss() ? "http://opcfoundation.org/UA/security/rsa-pss-sha2-256"
               : "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
}

std::string_view SecurityPolicy::encryption_algorithm_uri() const {
  return oaep_sha256() ? "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256"
                       : "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
}

Bytes SecurityPolicy::sign(EVP_PKEY* private_key, ByteSpan data) const {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) fail("signature");
  EVP_PKEY_CTX* key_ctx = nullptr;  // owned by ctx
  check(EVP_DigestSignInit(ctx.get(), &key_ctx, EVP_sha256(), nullptr, private_key), "signature");
  if (pss()) {
    check(EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PSS_PADDING), "signature");
    check(EVP_PKEY_CTX_set_rsa_pss_saltlen(key_ctx, RSA_PSS_SALTLEN_DIGEST), "signature");
  }
  std::size_t size = 0;
  check(EVP_DigestSign(ctx.get(), nullptr, &size, data.data(), data.size()), "signature");
  Bytes out(size);
  check(EVP_DigestSign(ctx.get(), out.data(), &size, data.data(), data.size()), "signature");
  out.resize(size);
  return out;
}

bool SecurityPolicy::verify(EVP_PKEY* public_key, ByteSpan data, ByteSpan signature) const {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) fail("signature check");
  EVP_PKEY_CTX* key_ctx = nullptr;  // owned by ctx
  check(EVP_DigestVerifyInit(ctx.get(), &key_ctx, EVP_sha256(), nullptr, public_key),
        "signature check");
  if (pss()) {
    check(EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PSS_PADDING), "signature check");
    check(EVP_PKEY_CTX_set_rsa_pss_saltlen(key_ctx, RSA_PSS_SALTLEN_DIGEST), "signature check");
  }
  const int ok =
      EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size());
  openssl_error("");  // a refused signature leaves its reason queued
  return ok == 1;
}

std::size_t SecurityPolicy::cipher_block_size(EVP_PKEY* key) {
  return static_cast<std::size_t>(EVP_PKEY_get_size(key));
}

std::size_t SecurityPolicy::plain_block_size(EVP_PKEY* key) const {
  return cipher_block_size(key) - (oaep_sha256() ? kOaepSha256Overhead : kOaepSha1Overhead);
}

namespace {

EvpPkeyCtxPtr oaep_context(EVP_PKEY* key, bool sha256, bool encrypt) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx) fail("RSA context");
  check(encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get()), "RSA");
  check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING), "RSA-OAEP");
  if (sha256) {
    check(EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()), "RSA-OAEP");
    check(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()), "RSA-OAEP");
  }
  return ctx;
}

}  // namespace

Bytes SecurityPolicy::encrypt(EVP_PKEY* public_key, ByteSpan plain) const {
  const std::size_t in_block = plain_block_size(public_key);
  const std::size_t out_block = cipher_block_size(public_key);
  auto ctx = oaep_context(public_key, oaep_sha256(), true);
  const std::size_t blocks = (plain.size() + in_block - 1) / in_block;
  Bytes out(blocks * out_block);
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t i = b * in_block;
    std::size_t n = out_block;
    check(EVP_PKEY_encrypt(ctx.get(), out.data() + b * out_block, &n, plain.data() + i,
                           std::min(in_block, plain.size() - i)),
          "RSA encryption");
    if (n != out_block) throw std::runtime_error("RSA encryption: unexpected block size");
  }
  return out;
}

Bytes SecurityPolicy::decrypt(EVP_PKEY* private_key, ByteSpan cipher) const {
  const std::size_t in_block = cipher_block_size(private_key);
  if (cipher.empty() || cipher.size() % in_block != 0) {
    throw std::runtime_error("RSA decryption: data is not a whole number of blocks");
  }
  auto ctx = oaep_context(private_key, oaep_sha256(), false);
  Bytes out(cipher.size());
  std::size_t written = 0;
  for (std::size_t i = 0; i < cipher.size(); i += in_block) {
    std::size_t n = in_block;
    check(EVP_PKEY_decrypt(ctx.get(), out.data() + written, &n, cipher.data() + i, in_block),
          "RSA decryption");
    written += n;
  }
  out.resize(written);
  return out;
}

Bytes SecurityPolicy::hmac(ByteSpan key, ByteSpan data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(),
           out.data(), &size) == nullptr) {
    fail("HMAC-SHA256");
  }
  out.resize(size);
  return out;
}

SymmetricKeys SecurityPolicy::derive_keys(ByteSpan secret, ByteSpan seed) const {
  const std::size_t need = kSigningKeySize + encrypting_key_size() + kSymmetricBlockSize;
  // P_SHA256: A(0) = seed, A(i) = HMAC(secret, A(i-1)); output HMAC(secret, A(i) + seed)...
  Bytes out;
  Bytes a(seed.begin(), seed.end());
  Bytes input;
  while (out.size() < need) {
    a = hmac(secret, a);
    input.assign(a.begin(), a.end());
    input.insert(input.end(), seed.begin(), seed.end());
    const Bytes block = hmac(secret, input);
    out.insert(out.end(), block.begin(), block.end());
  }
  SymmetricKeys keys;
  auto at = out.begin();
  keys.signing.assign(at, at + kSigningKeySize);
  at += kSigningKeySize;
  keys.encrypting.assign(at, at + static_cast<std::ptrdiff_t>(encrypting_key_size()));
  at += static_cast<std::ptrdiff_t>(encrypting_key_size());
  keys.iv.assign(at, at + kSymmetricBlockSize);
  return keys;
}

void SecurityPolicy::aes_cbc(const SymmetricKeys& keys, std::span<std::uint8_t> data,
                             bool encrypt) const {
  if (data.size() % kSymmetricBlockSize != 0) {
    throw std::runtime_error("AES-CBC: data is not a whole number of blocks");
  }
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) fail("AES-CBC");
  const EVP_CIPHER* cipher = keys.encrypting.size() == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
  check(EVP_CipherInit_ex(ctx.get(), cipher, nullptr, keys.encrypting.data(), keys.iv.data(),
                          encrypt ? 1 : 0),
        "AES-CBC");
  check(EVP_CIPHER_CTX_set_padding(ctx.get(), 0), "AES-CBC");
  int n = 0;
  check(EVP_CipherUpdate(ctx.get(), data.data(), &n, data.data(), static_cast<int>(data.size())),
        "AES-CBC");
  int tail = 0;
  check(EVP_CipherFinal_ex(ctx.get(), data.data() + n, &tail), "AES-CBC");
}

void SecurityPolicy::encrypt_in_place(const SymmetricKeys& keys,
                                      std::span<std::uint8_t> data) const {
  aes_cbc(keys, data, true);
}

void SecurityPolicy::decrypt_in_place(const SymmetricKeys& keys,
                                      std::span<std::uint8_t> data) const {
  aes_cbc(keys, data, false);
}

}  // namespace pyqar::ua
