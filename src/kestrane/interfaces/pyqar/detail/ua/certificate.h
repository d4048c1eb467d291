#pragma once
// Certificate: one X.509 certificate as the OPC UA client meets it (its own, a server's, a
// trusted one), with the facts connections and operators need. Immutable after construction;
// copyable (copies share the certificate); any thread.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "openssl_handles.h"

namespace pyqar::ua {

class Certificate {
 public:
  // Parses DER; throws std::invalid_argument saying what is wrong (empty, trailing bytes, not
  // a certificate, no RSA public key).
  static Certificate from_der(std::span<const std::uint8_t> der);
  // Reads a DER (or PEM) file; throws std::runtime_error naming the file.
  static Certificate from_file(const std::string& path);
  // Takes ownership of a certificate made here.
  explicit Certificate(X509Ptr x509);

  const std::vector<std::uint8_t>& der() const { return der_; }
  // SHA-1 of the DER encoding: the thumbprint the protocol sends; and both as upper-case hex.
  std::vector<std::uint8_t> sha1_thumbprint() const;
  std::string sha1_hex() const;
  std::string sha256_hex() const;
  // One-line distinguished names, "CN=..., O=...".
  std::string subject() const;
  std::string issuer() const;
  std::chrono::system_clock::time_point not_before() const;
  std::chrono::system_clock::time_point not_after() const;
  // The first URI in the subject alternative name; empty when there is none.
  std::string application_uri() const;
  // The DNS names and IP addresses of the subject alternative name, as "DNS:plant1" and
  // "IP:10.0.0.5", in the certificate's order.
  std::vector<std::string> host_names() const;
  // Whether `host` (a DNS name, or an IPv4 or IPv6 address without brackets) is one of
  // host_names(): DNS names without regard to case, a wildcard only as the whole left-most
  // label ("*.plant.example"), addresses by value. The subject's CN never counts.
  bool names_host(std::string_view host) const;
  // The public key (owned by the certificate) and its size in bits.
  EVP_PKEY* public_key() const;
  int key_bits() const;
  X509* x509() const { return x509_.get(); }

 private:
  std::shared_ptr<X509> x509_;
  std::vector<std::uint8_t> der_;
};

// "YYYY-MM-DD HH:MM:SS UTC".
std::string format_utc(std::chrono::system_clock::time_point t);

}  // namespace pyqar::ua
