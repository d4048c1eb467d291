#pragma once
// SecurityPolicy: the algorithms of one OPC UA security policy: RSA signatures and
// encryption for OpenSecureChannel and the session handshake, key derivation, and the
// AES-CBC / HMAC-SHA256 of symmetric chunks. Stateless apart from which policy it is;
// copyable; any thread. Every failure throws std::runtime_error.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

#include "pyqar/ua_security.h"

namespace pyqar::ua {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// The keys of one direction of a channel, derived from the two nonces.
struct SymmetricKeys {
  Bytes signing;
  Bytes encrypting;
  Bytes iv;
};

class SecurityPolicy {
 public:
  explicit SecurityPolicy(UaSecurityPolicy policy) : policy_(policy) {}

  UaSecurityPolicy id() const { return policy_; }
  bool none() const { return policy_ == UaSecurityPolicy::None; }
  std::string_view uri() const { return policy_uri(policy_); }
  std::size_t nonce_size() const { return none() ? 0 : 32; }

  // Asymmetric: RSA keys of either side.
  std::string_view signature_algorithm_uri() const;
  std::string_view encryption_algorithm_uri() const;
  Bytes sign(EVP_PKEY* private_key, ByteSpan data) const;
  bool verify(EVP_PKEY* public_key, ByteSpan data, ByteSpan signature) const;
  // RSA block sizes for a key: what one block carries, and the block on the wire.
  std::size_t plain_block_size(EVP_PKEY* key) const;
  static std::size_t cipher_block_size(EVP_PKEY* key);
  static std::size_t signature_size(EVP_PKEY* key) { return cipher_block_size(key); }
  // RSA-OAEP block by block (the last plain block may be short); `cipher` must be whole
  // blocks of the key size.
  Bytes encrypt(EVP_PKEY* public_key, ByteSpan plain) const;
  Bytes decrypt(EVP_PKEY* private_key, ByteSpan cipher) const;

  // Symmetric.
  static constexpr std::size_t kSymmetricBlockSize = 16;
  static constexpr std::size_t kSymmetricSignatureSize = 32;
  // Keys for messages secured by the side whose nonce is `seed`: P_SHA256(secret, seed).
  SymmetricKeys derive_keys(ByteSpan secret, ByteSpan seed) const;
  static Bytes hmac(ByteSpan key, ByteSpan data);
  // AES-CBC in place over whole blocks.
  void encrypt_in_place(const SymmetricKeys& keys, std::span<std::uint8_t> data) const;
  void decrypt_in_place(const SymmetricKeys& keys, std::span<std::uint8_t> data) const;

 private:
  bool pss() const { return policy_ == UaSecurityPolicy::Aes256_Sha256_RsaPss; }
  bool oaep_sha256() const { return policy_ == UaSecurityPolicy::Aes256_Sha256_RsaPss; }
  std::size_t encrypting_key_size() const {
    return policy_ == UaSecurityPolicy::Aes128_Sha256_RsaOaep ? 16 : 32;
  }
  void aes_cbc(const SymmetricKeys& keys, std::span<std::uint8_t> data, bool encrypt) const;

  UaSecurityPolicy policy_;
};

// Fresh random bytes for nonces.
Bytes random_bytes(std::size_t n);

}  // namespace pyqar::ua
