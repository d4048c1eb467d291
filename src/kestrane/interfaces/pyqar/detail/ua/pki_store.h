#pragma once
// PkiStore: the client's PKI folder: its own application instance certificate and key, the
// certificates and CRLs it trusts, and the server certificates it rejected. Reads the trust
// folders afresh at every validation, so an operator's change counts at the next connection
// attempt. Holds only the folder's path; any thread, one object per thread.
//
// Layout under the root:
//   own/certs/kestrane.der  own/private/kestrane.pem
//   trusted/certs/  trusted/crl/  issuers/certs/  issuers/crl/  rejected/certs/

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "certificate.h"
#include "openssl_handles.h"

namespace pyqar::ua {

// The client's own certificate and private key, and the ApplicationUri in the certificate.
struct ApplicationIdentity {
  Certificate certificate;
  std::shared_ptr<EVP_PKEY> private_key;
  std::string application_uri;
};

// What validation made of a server certificate.
struct CertificateVerdict {
  enum class Kind {
    Trusted,
    Untrusted,  // chains to nothing trusted: copied to rejected/certs/
    Expired,
    NotYetValid,
    UriMismatch,   // not the ApplicationUri the endpoint describes
    HostMismatch,  // not issued for the host the endpoint URL names
    Revoked,
    ChainIncomplete,  // an issuer is missing from trusted/ and issuers/
    Unusable,         // key usage, signature, key size or any other fault
  };
  Kind kind = Kind::Trusted;
  // Empty for Trusted; otherwise one line naming the subject and the thumbprint and saying
  // what is wrong (for Untrusted: where the copy is and the exact `mv` that trusts it).
  std::string message;
  // For Untrusted: the path of the copy in rejected/certs/.
  std::string rejected_path;
};

class PkiStore {
 public:
  // Creates the layout under `root` (relative to the working directory unless absolute)
  // when missing. Throws std::runtime_error naming the folder that cannot be created.
  explicit PkiStore(std::string root);

  const std::string& root() const { return root_; }

  // The own certificate and key, under an exclusive lock on own/kestrane.lock, so that two
  // processes starting together never pair one's key with the other's certificate: the
  // second waits and loads what the first wrote. Both missing: creates them (RSA 2048, SHA-256, 5
  // years, subject alternative name URI urn:<hostname>:Kestrane and DNS <hostname>; key file mode
  // 0600) and logs where. Otherwise loads them and never regenerates: a missing half, an
  // unreadable or corrupt file, a key file readable by group or others, or a key that does
  // not match the certificate throws std::runtime_error naming the file and the fault.
  ApplicationIdentity own_identity(std::string_view hostname) const;

  // Logs a WARNING when `own` expires within 30 days of `now`, an ERROR once it has expired,
  // each naming the certificate file and the date; nothing otherwise.
  void report_own_expiry(const Certificate& own, std::chrono::system_clock::time_point now) const;

  // Judges a server certificate against trusted/ and issuers/ (certificates and CRLs, read
  // now): validity dates, key usage, `expected_host` (the endpoint URL's host, which must be
  // one of its DNS or IP subject alternative names; nothing skips that check), chain,
  // revocation, and `expected_application_uri` (the endpoint's server ApplicationUri, to equal
  // the certificate's own URI; empty skips that check). A certificate that chains to nothing
  // trusted is copied to rejected/certs/<SHA-1>.der. A corrupt file in a trust folder is
  // skipped with a WARNING naming it.
  CertificateVerdict validate(const Certificate& server, std::string_view expected_application_uri,
                              std::optional<std::string_view> expected_host = {}) const;

  // Moves rejected/certs/<sha1_hex>.der to trusted/certs/; returns the new path. Throws
  // std::runtime_error naming the file when it cannot.
  std::string trust_rejected(std::string_view sha1_hex) const;

 private:
  std::string root_;
};

// This machine's host name, as the own certificate names it.
std::string local_hostname();

}  // namespace pyqar::ua
