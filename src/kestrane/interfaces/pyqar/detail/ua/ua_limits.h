#pragma once
// Limits the OPC UA client enforces on everything a server sends. A value beyond any of
// them is a protocol error, never an allocation: servers are treated as hostile.

#include <cstddef>
#include <cstdint>

namespace pyqar::ua {

// Transport buffers we offer in Hello; the server may only lower them.
inline constexpr std::uint32_t kReceiveBufferSize = 65536;
inline constexpr std::uint32_t kSendBufferSize = 65536;
// Smallest chunk the protocol allows either side to negotiate.
inline constexpr std::uint32_t kMinBufferSize = 8192;
// Largest reassembled message we accept (a Read of 20,000 values is about 600 KiB).
inline constexpr std::uint32_t kMaxMessageSize = 16 * 1024 * 1024;
inline constexpr std::uint32_t kMaxChunkCount = kMaxMessageSize / kMinBufferSize;
// Decoded arrays, strings and byte strings.
inline constexpr std::int32_t kMaxArrayLength = 1'000'000;
inline constexpr std::int32_t kMaxStringLength = 4 * 1024 * 1024;
// What a value read from a server keeps: the first bytes of each text (a little more than
// the longest text a reading holds, so that the cut falls where it would for the whole
// text), and at most this many array elements per value and per message; the rest is read
// past and the value marked as cut.
inline constexpr std::size_t kMaxKeptValueBytes = 64 * 1024 + 4;
inline constexpr std::size_t kMaxKeptValueElements = 32 * 1024;
inline constexpr std::size_t kMaxKeptElements = 256 * 1024;
// Variants inside variants, diagnostic infos inside diagnostic infos.
inline constexpr int kMaxNestingDepth = 16;
// Certificates (a server's may carry its chain), nonces and signatures.
inline constexpr std::size_t kMaxCertificateSize = 32 * 1024;
inline constexpr std::size_t kMaxNonceSize = 128;
inline constexpr std::size_t kMaxSignatureSize = 1024;
// The endpoint URL in Hello is limited to this many bytes by the protocol.
inline constexpr std::size_t kMaxEndpointUrlLength = 4096;

}  // namespace pyqar::ua
