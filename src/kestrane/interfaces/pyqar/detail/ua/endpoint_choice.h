#pragma once
// Endpoint choice: asks a server for its endpoints over a channel without security, picks
// the one that matches the configured policy and mode, and judges its certificate against
// the PKI folder. Free functions; each call uses its own channel, on the caller's thread.

#include <string>
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

// "Basic256Sha256/SignAndEncrypt (Anonymous, UserName), None/None (Anonymous)".
std::string describe_endpoints(const std::vector<EndpointDescription>& offered);
std::string token_type_name(std::int32_t type);

// A server certificate as judged by `pki`: the certificate (none when it does not parse) and
// the verdict; only a Trusted one may be used.
struct JudgedCertificate {
  std::optional<Certificate> certificate;
  CertificateVerdict verdict;
};
JudgedCertificate judge_server_certificate(const PkiStore& pki,
                                           const std::vector<std::uint8_t>& der,
                                           const std::string& expected_application_uri);

}  // namespace pyqar::ua
