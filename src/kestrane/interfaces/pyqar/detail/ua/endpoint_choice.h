#pragma once
// Endpoint choice: asks a server for its endpoints over a channel without security, picks
// the one that matches the configured policy and mode, and judges its certificate against
// the PKI folder. Free functions; each call uses its own channel, on the caller's thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel_crypto.h"
#include "pki_store.h"
#include "pyqar/ua_security.h"
#include "secure_channel.h"
#include "ua_messages.h"

namespace pyqar::ua {

// GetEndpoints on `url`. Throws std::runtime_error when the server cannot be asked.
std::vector<EndpointDescription> get_endpoints(const EndpointUrl& url, ChannelOptions options);

// The endpoint with `policy` and `mode`. Throws std::runtime_error listing what the server
// offers (policy and mode pairs with their token types) when none matches.
const EndpointDescription& choose_endpoint(const std::vector<EndpointDescription>& offered,
                                           UaSecurityPolicy policy, UaSecurityMode mode,
                                           const std::string& url);

// Empty when `session` (CreateSession's list) offers the same security policies and modes as
// `discovered` (GetEndpoints'), each with the same certificate where both name one; otherwise
// what differs, naming the endpoints ("Basic256Sha256/SignAndEncrypt missing in CreateSession").
std::string compare_endpoints(const std::vector<EndpointDescription>& discovered,
                              const std::vector<EndpointDescription>& session);

// Whether two certificates (or certificate chains) start with the same certificate.
bool same_certificate(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// "Basic256Sha256/SignAndEncrypt (Anonymous, UserName), None/None (Anonymous)".
std::string describe_endpoints(const std::vector<EndpointDescription>& offered);
std::string token_type_name(std::int32_t type);

// A server certificate as judged by `pki` (see PkiStore::validate for `expected_host`): the
// certificate (none when it does not parse) and the verdict; only a Trusted one may be used.
struct JudgedCertificate {
  std::optional<Certificate> certificate;
  CertificateVerdict verdict;
};
JudgedCertificate judge_server_certificate(const PkiStore& pki,
                                           const std::vector<std::uint8_t>& der,
                                           const std::string& expected_application_uri,
                                           std::optional<std::string_view> expected_host);

// The host a server certificate must name for `url` under `security`: nothing when the
// operator has turned that check off.
std::optional<std::string_view> expected_host(const EndpointUrl& url, const UaSecurity& security);

}  // namespace pyqar::ua
