#pragma once
// How the OPC UA client secures its connection: the security policy and mode of the
// channel, the user it logs on as, and the folder of certificates it trusts. Plain values
// and free functions; any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pyqar/qar_types.h"

namespace pyqar {

enum class UaSecurityPolicy { None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss };
enum class UaSecurityMode { None = 1, Sign = 2, SignAndEncrypt = 3 };

struct UaSecurity {
  UaSecurityPolicy policy = UaSecurityPolicy::None;
  UaSecurityMode mode = UaSecurityMode::None;
  // Anonymous when empty.
  std::string username{};
  std::string password{};
  // Own certificate and key, trusted and rejected certificates; relative to the working
  // directory unless absolute.
  std::string pki_dir = "pki";
  // Accepts a server certificate that does not name the endpoint URL's host among its DNS
  // and IP subject alternative names (for servers reached by an address their certificate
  // lacks). Every other check still holds.
  bool skip_hostname_check = false;
};

// "None", "Basic256Sha256", ... and "None", "Sign", "SignAndEncrypt": the names the
// configuration uses. Parsing is exact; nothing when the text names no policy or mode.
std::string_view to_string(UaSecurityPolicy policy);
std::string_view to_string(UaSecurityMode mode);
std::optional<UaSecurityPolicy> parse_security_policy(std::string_view text);
std::optional<UaSecurityMode> parse_security_mode(std::string_view text);
// The policy's URI on the wire, and the policy a URI names (nothing for one we do not speak).
std::string_view policy_uri(UaSecurityPolicy policy);
std::optional<UaSecurityPolicy> policy_from_uri(std::string_view uri);
// Empty when policy and mode go together (None with None, any other policy with Sign or
// SignAndEncrypt); otherwise why not, naming both.
std::string check_policy_and_mode(UaSecurityPolicy policy, UaSecurityMode mode);

// A server's application instance certificate, as an operator needs to judge it.
struct ServerCertificateInfo {
  std::string subject;
  std::string issuer;
  std::string not_before;  // "YYYY-MM-DD HH:MM:SS UTC"
  std::string not_after;
  std::string sha1_thumbprint;  // upper-case hex, no separators
  std::string sha256_thumbprint;
  std::string application_uri;
};

// What a connection attempt makes of a server's certificate.
struct ServerTrust {
  enum class State { Trusted, Untrusted, Invalid };
  State state = State::Trusted;
  ServerCertificateInfo certificate;
  // For Untrusted: where the certificate was copied (rejected/certs/<thumbprint>.der).
  std::string rejected_path;
  // For Untrusted and Invalid: the reason, as the connection attempt logs it.
  std::string message;
};

// What a program logs when it starts collecting from an OPC UA server with `security`: a
// WARNING while the host name check is off and, for a secured policy, a WARNING within 30 days
// of our own certificate's expiry or an ERROR after it (the certificate is made first when
// missing). Never throws: what keeps the certificate from being made or read is reported by
// the connection attempt.
void report_ua_security_at_start(const UaSecurity& security) noexcept;

// Asks the server at `url` (opc.tcp://...) for its endpoints and judges the certificate of
// the one that matches `security`'s policy and mode against the PKI folder (the URL's host
// included, unless security.skip_hostname_check), as a connection would, copying an unknown
// certificate to rejected/. A policy None endpoint has no certificate to judge: Trusted. Throws
// std::runtime_error when the server cannot be asked or offers no matching endpoint.
ServerTrust check_server_trust(const std::string& url, const UaSecurity& security);
// Moves rejected/certs/<thumbprint>.der to trusted/certs/. Throws std::runtime_error naming
// the file when it cannot.
void trust_rejected_certificate(const std::string& pki_dir, const std::string& sha1_thumbprint);

// One endpoint a server offers.
struct UaEndpointInfo {
  std::string url;
  std::string policy;  // as to_string() names it, or the URI when the policy is unknown to us
  std::string mode;    // "None", "Sign" or "SignAndEncrypt"
  std::vector<std::string> user_token_types;  // "Anonymous", "UserName", "Certificate", ...
};
// The endpoints of the server at `url`. Throws std::runtime_error naming the address.
std::vector<UaEndpointInfo> get_ua_endpoints(const std::string& url);

}  // namespace pyqar
