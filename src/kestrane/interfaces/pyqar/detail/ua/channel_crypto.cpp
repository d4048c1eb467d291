#include "channel_crypto.h"

#include <algorithm>
#include <stdexcept>

#include <openssl/crypto.h>

#include <fmt/format.h>

#include "binary_reader.h"
#include "tcp_messages.h"
#include "ua_limits.h"

namespace pyqar::ua {
namespace {

// Message header, channel id and token id of a MSG or CLO chunk.
constexpr std::size_t kSymmetricSecurityAt = kMessageHeaderSize + 4 + 4;
constexpr std::size_t kSequenceHeaderSize = 8;
constexpr std::size_t kSizeField = 4;
// RSA keys above 2048 bits need a second byte for the padding size.
constexpr std::size_t kExtraPaddingThreshold = 256;

// Appends padding so that `unpadded + padding + trailer` fills whole blocks: the padding
// size in every padding byte, one byte more for it, and its high byte for large blocks.
void pad(BinaryWriter& chunk, std::size_t unpadded, std::size_t trailer, std::size_t block,
         bool extra) {
  const std::size_t fixed = unpadded + 1 + (extra ? 1 : 0) + trailer;
  const std::size_t padding = (block - fixed % block) % block;
  chunk.fill(padding + 1, static_cast<std::uint8_t>(padding & 0xFF));
  if (extra) chunk.u8(static_cast<std::uint8_t>(padding >> 8));
}

// The length of `plain` before its padding; throws when the padding is malformed.
std::size_t unpad(std::span<const std::uint8_t> plain, bool extra) {
  if (plain.size() < (extra ? 2u : 1u)) throw std::runtime_error("chunk too short for padding");
  std::size_t end = plain.size();
  std::size_t padding = 0;
  if (extra) padding = static_cast<std::size_t>(plain[--end]) << 8;
  const std::uint8_t low = plain[--end];
  padding |= low;
  if (padding > end) throw std::runtime_error("padding larger than the chunk");
  for (std::size_t i = end - padding; i < end; ++i) {
    if (plain[i] != low) throw std::runtime_error("padding bytes do not match the padding size");
  }
  return end - padding;
}

void patch_size(std::span<std::uint8_t> chunk, std::size_t size) {
  for (std::size_t i = 0; i < kSizeField; ++i) {
    chunk[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  }
}

bool same(ByteSpan a, ByteSpan b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

ChannelCrypto::ChannelCrypto(ChannelSecurity security)
    : security_(std::move(security)), policy_(security_.policy) {
  if (!secured()) return;
  if (!security_.own || !security_.own->private_key || !security_.server_certificate) {
    throw std::invalid_argument("a secured channel needs our key pair and the server certificate");
  }
  server_thumbprint_ = security_.server_certificate->sha1_thumbprint();
}

const Bytes& ChannelCrypto::new_client_nonce() {
  client_nonce_ = random_bytes(policy_.nonce_size());
  return client_nonce_;
}

void ChannelCrypto::write_asymmetric_header(BinaryWriter& chunk) const {
  chunk.string(policy_.uri());
  if (!secured()) {
    chunk.null_string();  // sender certificate
    chunk.null_string();  // receiver thumbprint
    return;
  }
  chunk.byte_string(security_.own->certificate.der());
  chunk.byte_string(server_thumbprint_);
}

void ChannelCrypto::seal_asymmetric(BinaryWriter& chunk, std::size_t sequence_at) const {
  if (!secured()) {
    chunk.patch_u32(4, static_cast<std::uint32_t>(chunk.size()));
    return;
  }
  const std::size_t plain_block = policy_.plain_block_size(server_key());
  const std::size_t cipher_block = SecurityPolicy::cipher_block_size(server_key());
  const std::size_t signature = SecurityPolicy::signature_size(own_key());
  pad(chunk, chunk.size() - sequence_at, signature, plain_block,
      cipher_block > kExtraPaddingThreshold);
  const std::size_t plain = chunk.size() - sequence_at + signature;
  chunk.patch_u32(4, static_cast<std::uint32_t>(sequence_at + plain / plain_block * cipher_block));
  const Bytes sig = policy_.sign(own_key(), chunk.data());
  chunk.bytes(sig);
  const Bytes cipher = policy_.encrypt(server_key(), std::span(chunk.data()).subspan(sequence_at));
  BinaryWriter sealed;
  sealed.reserve(sequence_at + cipher.size());
  sealed.bytes(std::span(chunk.data()).first(sequence_at));
  sealed.bytes(cipher);
  chunk = std::move(sealed);
}

Bytes ChannelCrypto::open_asymmetric(std::span<const std::uint8_t> chunk,
                                     std::size_t header_at) const {
  BinaryReader r(chunk.subspan(header_at));
  const std::string uri = r.string();
  if (uri != policy_.uri()) {
    throw std::runtime_error(fmt::format(
        "server answered with security policy '{}' instead of '{}'", uri, policy_.uri()));
  }
  const Bytes sender = r.byte_string(kMaxCertificateSize);
  const Bytes receiver = r.byte_string(kMaxCertificateSize);
  const std::size_t sequence_at = chunk.size() - r.remaining();
  if (!secured()) return {chunk.begin(), chunk.end()};

  // The sender certificate may carry the chain after the server's own certificate.
  const auto& expected = security_.server_certificate->der();
  if (sender.size() < expected.size() ||
      !same(std::span(sender).first(expected.size()), expected)) {
    throw std::runtime_error("OpenSecureChannel answered with another server certificate");
  }
  if (!same(receiver, security_.own->certificate.sha1_thumbprint())) {
    throw std::runtime_error("OpenSecureChannel answer is not meant for our certificate");
  }
  const Bytes plain = policy_.decrypt(own_key(), chunk.subspan(sequence_at));
  const std::size_t signature = SecurityPolicy::signature_size(server_key());
  if (plain.size() < kSequenceHeaderSize + signature) {
    throw std::runtime_error("OpenSecureChannel answer too short for its signature");
  }
  const std::size_t signed_plain = plain.size() - signature;
  Bytes whole(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(sequence_at));
  whole.insert(whole.end(), plain.begin(),
               plain.begin() + static_cast<std::ptrdiff_t>(signed_plain));
  if (!policy_.verify(server_key(), whole, std::span(plain).subspan(signed_plain))) {
    throw std::runtime_error("the signature of the OpenSecureChannel answer is wrong");
  }
  const bool extra = SecurityPolicy::cipher_block_size(own_key()) > kExtraPaddingThreshold;
  const std::size_t body_end = unpad(std::span(whole).subspan(sequence_at), extra) + sequence_at;
  whole.resize(body_end);
  patch_size(whole, whole.size());
  return whole;
}

void ChannelCrypto::add_token(std::uint32_t token_id, ByteSpan server_nonce) {
  if (!secured()) return;
  if (server_nonce.size() != policy_.nonce_size()) {
    throw std::runtime_error(fmt::format("server nonce of {} bytes, {} expected",
                                         server_nonce.size(), policy_.nonce_size()));
  }
  TokenKeys keys{.client = policy_.derive_keys(server_nonce, client_nonce_),
                 .server = policy_.derive_keys(client_nonce_, server_nonce)};
  // Earlier tokens stay until a chunk under the newest retires them, but only a few.
  while (tokens_.size() >= kMaxTokens) tokens_.erase(tokens_.begin());
  tokens_[token_id] = std::move(keys);
  newest_token_ = token_id;
}

const ChannelCrypto::TokenKeys& ChannelCrypto::keys_for(std::uint32_t token_id) const {
  const auto it = tokens_.find(token_id);
  if (it == tokens_.end()) {
    throw std::runtime_error(fmt::format("chunk secured with unknown token {}", token_id));
  }
  return it->second;
}

std::size_t ChannelCrypto::max_body_size(std::size_t chunk_size) const {
  const std::size_t after_header = chunk_size - kSymmetricSecurityAt;
  if (!secured()) return after_header - kSequenceHeaderSize;
  if (!encrypts()) {
    return after_header - kSequenceHeaderSize - SecurityPolicy::kSymmetricSignatureSize;
  }
  const std::size_t whole_blocks =
      after_header / SecurityPolicy::kSymmetricBlockSize * SecurityPolicy::kSymmetricBlockSize;
  return whole_blocks - kSequenceHeaderSize - SecurityPolicy::kSymmetricSignatureSize - 1;
}

void ChannelCrypto::seal_symmetric(BinaryWriter& chunk, std::uint32_t token_id) const {
  if (!secured()) {
    chunk.patch_u32(4, static_cast<std::uint32_t>(chunk.size()));
    return;
  }
  const TokenKeys& keys = keys_for(token_id);
  constexpr std::size_t signature = SecurityPolicy::kSymmetricSignatureSize;
  if (encrypts()) {
    pad(chunk, chunk.size() - kSymmetricSecurityAt, signature, SecurityPolicy::kSymmetricBlockSize,
        false);
  }
  chunk.patch_u32(4, static_cast<std::uint32_t>(chunk.size() + signature));
  const Bytes sig = SecurityPolicy::hmac(keys.client.signing, chunk.data());
  chunk.bytes(sig);
  if (encrypts()) {
    policy_.encrypt_in_place(keys.client, chunk.writable().subspan(kSymmetricSecurityAt));
  }
}

std::size_t ChannelCrypto::open_symmetric(std::span<std::uint8_t> chunk, bool keep_older) {
  if (!secured()) return chunk.size();
  constexpr std::size_t signature = SecurityPolicy::kSymmetricSignatureSize;
  if (chunk.size() < kSymmetricSecurityAt + kSequenceHeaderSize + signature) {
    throw std::runtime_error("secured chunk too short for its signature");
  }
  BinaryReader r(chunk.subspan(kMessageHeaderSize + 4, 4));
  const std::uint32_t token_id = r.u32();
  const TokenKeys& keys = keys_for(token_id);
  if (encrypts()) {
    const auto encrypted = chunk.subspan(kSymmetricSecurityAt);
    if (encrypted.size() % SecurityPolicy::kSymmetricBlockSize != 0) {
      throw std::runtime_error("encrypted chunk is not a whole number of blocks");
    }
    policy_.decrypt_in_place(keys.server, encrypted);
  }
  const std::size_t signed_size = chunk.size() - signature;
  const Bytes expected = SecurityPolicy::hmac(keys.server.signing, chunk.first(signed_size));
  if (!same(expected, chunk.subspan(signed_size))) {
    throw std::runtime_error("the chunk's signature is wrong");
  }
  std::size_t end = signed_size;
  if (encrypts()) {
    end = kSymmetricSecurityAt +
          unpad(chunk.subspan(kSymmetricSecurityAt, signed_size - kSymmetricSecurityAt), false);
  }
  if (end < kSymmetricSecurityAt + kSequenceHeaderSize) {
    throw std::runtime_error("secured chunk has no sequence header");
  }
  // Only a chunk that verified may retire keys: a forged token id must not cut the channel
  // off from the keys the server still uses.
  if (token_id == newest_token_ && !keep_older && tokens_.size() > 1) {
    std::erase_if(tokens_, [&](const auto& entry) { return entry.first != newest_token_; });
  }
  patch_size(chunk, end);
  return end;
}

}  // namespace pyqar::ua
