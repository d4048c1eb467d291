#pragma once
// ChannelCrypto: the security of one secure channel: signs and encrypts the chunks the
// client sends and checks and decrypts those it receives, asymmetrically (OpenSecureChannel)
// with the two certificates and symmetrically with keys derived from the nonces of each
// token. With policy None every chunk passes as it is. Owned by its SecureChannel; one
// thread at a time. Failures throw std::runtime_error; a chunk that fails a check is never
// handed on to be decoded.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "binary_writer.h"
#include "certificate.h"
#include "pki_store.h"
#include "pyqar/ua_security.h"
#include "security_policy.h"

namespace pyqar::ua {

// What a channel is secured with. The identity and the server's certificate are needed
// unless the policy is None.
struct ChannelSecurity {
  UaSecurityPolicy policy = UaSecurityPolicy::None;
  UaSecurityMode mode = UaSecurityMode::None;
  std::shared_ptr<const ApplicationIdentity> own;
  std::optional<Certificate> server_certificate;
  // Where our certificate is, for the operator who must have the server trust it.
  std::string own_certificate_path;
};

class ChannelCrypto {
 public:
  // Throws std::invalid_argument when a secured channel lacks a certificate or key.
  explicit ChannelCrypto(ChannelSecurity security);

  bool secured() const { return !policy_.none(); }
  const SecurityPolicy& policy() const { return policy_; }
  UaSecurityMode mode() const { return security_.mode; }
  const ChannelSecurity& security() const { return security_; }

  // A fresh client nonce for the next OpenSecureChannel request, kept for key derivation.
  const Bytes& new_client_nonce();

  // OPN chunks. The asymmetric security header: policy URI, our certificate and the
  // thumbprint of the server's.
  void write_asymmetric_header(BinaryWriter& chunk) const;
  // `chunk` holds the message header, channel id, asymmetric header (ending at
  // `sequence_at`), sequence header and body: pads, signs and encrypts it, fixing its size.
  void seal_asymmetric(BinaryWriter& chunk, std::size_t sequence_at) const;
  // Checks the asymmetric header of a received OPN chunk (starting after the channel id at
  // `header_at`), then decrypts and verifies the rest. Returns the chunk as if sent in
  // clear: headers, sequence header and body, with its size fixed.
  Bytes open_asymmetric(std::span<const std::uint8_t> chunk, std::size_t header_at) const;
  // Derives the keys of a token from the server's nonce (and the last client nonce).
  void add_token(std::uint32_t token_id, ByteSpan server_nonce);

  // MSG and CLO chunks. The most body bytes one chunk of `chunk_size` bytes can carry.
  std::size_t max_body_size(std::size_t chunk_size) const;
  // `chunk` holds the message header, channel id, token id, sequence header and body:
  // pads, signs and (SignAndEncrypt) encrypts it with the token's keys, fixing its size.
  void seal_symmetric(BinaryWriter& chunk, std::uint32_t token_id) const;
  // Decrypts and verifies a received chunk in place; returns how many bytes of it are the
  // chunk as if sent in clear (its size field fixed to match). Throws naming the fault. The
  // first chunk that verifies under the newest token retires the keys of the ones before,
  // unless `keep_older`: requests sent under them still await answers, which a server may
  // secure with the token of the request.
  std::size_t open_symmetric(std::span<std::uint8_t> chunk, bool keep_older = false);

 private:
  struct TokenKeys {
    SymmetricKeys client;  // what we send
    SymmetricKeys server;  // what we receive
  };
  const TokenKeys& keys_for(std::uint32_t token_id) const;
  EVP_PKEY* own_key() const { return security_.own->private_key.get(); }
  EVP_PKEY* server_key() const { return security_.server_certificate->public_key(); }
  bool encrypts() const { return security_.mode == UaSecurityMode::SignAndEncrypt; }

  ChannelSecurity security_;
  SecurityPolicy policy_;
  Bytes client_nonce_;
  Bytes server_thumbprint_;
  // The newest token's keys and, until the server has used the newest, those before it (at
  // most kMaxTokens in all): a server may answer with an old token until it sees the new one
  // in use, and some answer each request under the token it came with.
  static constexpr std::size_t kMaxTokens = 4;
  std::map<std::uint32_t, TokenKeys> tokens_;
  std::uint32_t newest_token_ = 0;
};

}  // namespace pyqar::ua
