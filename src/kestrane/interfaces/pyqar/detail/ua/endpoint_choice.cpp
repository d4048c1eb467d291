#include "endpoint_choice.h"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include "status_code.h"

namespace pyqar::ua {

std::vector<EndpointDescription> get_endpoints(const EndpointUrl& url, ChannelOptions options) {
  options.security = {};
  SecureChannel channel(url, std::move(options));
  BinaryWriter w;
  encode_request(w, GetEndpointsRequest{.header = channel.make_header(), .endpoint_url = url.text});
  ServiceResponse response = channel.call(w.data());
  auto* list = std::get_if<GetEndpointsResponse>(&response);
  if (list == nullptr || severity(list->header.service_result) == Severity::Bad) {
    throw std::runtime_error(
        fmt::format("GetEndpoints failed: {}", status_text(header_of(response).service_result)));
  }
  return std::move(list->endpoints);
}

std::string token_type_name(std::int32_t type) {
  switch (type) {
    case 0:
      return "Anonymous";
    case 1:
      return "UserName";
    case 2:
      return "Certificate";
    case 3:
      return "IssuedToken";
    default:
      return fmt::format("token type {}", type);
  }
}

namespace {

std::string policy_name(const std::string& uri) {
  const auto policy = policy_from_uri(uri);
  return policy ? std::string(to_string(*policy)) : uri;
}

std::string mode_name(std::int32_t mode) {
  if (mode >= 1 && mode <= 3) return std::string(to_string(static_cast<UaSecurityMode>(mode)));
  return fmt::format("mode {}", mode);
}

}  // namespace

std::string describe_endpoints(const std::vector<EndpointDescription>& offered) {
  std::vector<std::string> seen;
  for (const auto& e : offered) {
    std::vector<std::string> tokens;
    for (const auto& t : e.user_identity_tokens) {
      std::string name = token_type_name(t.token_type);
      if (std::find(tokens.begin(), tokens.end(), name) == tokens.end()) {
        tokens.push_back(std::move(name));
      }
    }
    std::string entry = fmt::format("{}/{} ({})", policy_name(e.security_policy_uri),
                                    mode_name(e.security_mode), fmt::join(tokens, ", "));
    if (std::find(seen.begin(), seen.end(), entry) == seen.end()) seen.push_back(std::move(entry));
  }
  return seen.empty() ? std::string("nothing") : fmt::format("{}", fmt::join(seen, ", "));
}

const EndpointDescription& choose_endpoint(const std::vector<EndpointDescription>& offered,
                                           UaSecurityPolicy policy, UaSecurityMode mode,
                                           const std::string& url) {
  const EndpointDescription* best = nullptr;
  for (const auto& e : offered) {
    if (e.security_policy_uri != policy_uri(policy) ||
        e.security_mode != static_cast<std::int32_t>(mode)) {
      continue;
    }
    // Prefer the endpoint on the transport we speak, then the server's own ranking.
    const bool tcp = e.endpoint_url.starts_with("opc.tcp://");
    if (best == nullptr || (tcp && !best->endpoint_url.starts_with("opc.tcp://")) ||
        (tcp && e.security_level > best->security_level)) {
      best = &e;
    }
  }
  if (best == nullptr) {
    throw std::runtime_error(fmt::format(
        "server at {} offers no endpoint with security policy {} and mode {}; it offers: {}", url,
        to_string(policy), to_string(mode), describe_endpoints(offered)));
  }
  return *best;
}

namespace {

// A server may send its certificate followed by its chain: the first DER element is its own.
std::span<const std::uint8_t> leading_element(const std::vector<std::uint8_t>& der) {
  if (der.size() < 2 || der[0] != 0x30) return der;
  std::size_t length = der[1];
  std::size_t header = 2;
  if (length & 0x80) {
    const std::size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || der.size() < 2 + bytes) return der;
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i) length = (length << 8) | der[2 + i];
    header += bytes;
  }
  if (header + length > der.size()) return der;
  return std::span(der).first(header + length);
}

}  // namespace

bool same_certificate(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  const auto first = leading_element(a);
  const auto second = leading_element(b);
  return std::equal(first.begin(), first.end(), second.begin(), second.end());
}

std::string compare_endpoints(const std::vector<EndpointDescription>& discovered,
                              const std::vector<EndpointDescription>& session) {
  // A server may leave the certificate out of the session's list; where both name one, it
  // must be the same.
  const auto matches = [](const EndpointDescription& a, const EndpointDescription& b) {
    return a.security_policy_uri == b.security_policy_uri && a.security_mode == b.security_mode &&
           (a.server_certificate.empty() || b.server_certificate.empty() ||
            same_certificate(a.server_certificate, b.server_certificate));
  };
  const auto name = [](const EndpointDescription& e) {
    return fmt::format("{}/{}", policy_name(e.security_policy_uri), mode_name(e.security_mode));
  };
  // Endpoints of other transports (https, say) are not ours to judge, and a server may leave
  // them out of one list.
  const auto other_transport = [](const EndpointDescription& e) {
    return !e.endpoint_url.empty() && !e.endpoint_url.starts_with("opc.tcp://");
  };
  std::vector<std::string> differences;
  for (const auto& d : discovered) {
    if (other_transport(d)) continue;
    if (std::none_of(session.begin(), session.end(),
                     [&](const auto& s) { return matches(d, s); })) {
      differences.push_back(name(d) + " missing or with another certificate in CreateSession");
    }
  }
  for (const auto& s : session) {
    if (other_transport(s)) continue;
    if (std::none_of(discovered.begin(), discovered.end(),
                     [&](const auto& d) { return matches(d, s); })) {
      differences.push_back(name(s) + " not listed by GetEndpoints");
    }
  }
  return fmt::format("{}", fmt::join(differences, "; "));
}

JudgedCertificate judge_server_certificate(const PkiStore& pki,
                                           const std::vector<std::uint8_t>& der,
                                           const std::string& expected_application_uri,
                                           std::optional<std::string_view> expected_host) {
  JudgedCertificate judged;
  if (der.empty()) {
    judged.verdict = {.kind = CertificateVerdict::Kind::Unusable,
                      .message = "the server sent no certificate",
                      .rejected_path = {}};
    return judged;
  }
  try {
    Certificate certificate = Certificate::from_der(leading_element(der));
    judged.verdict = pki.validate(certificate, expected_application_uri, expected_host);
    judged.certificate = std::move(certificate);
  } catch (const std::invalid_argument& e) {
    judged.verdict = {.kind = CertificateVerdict::Kind::Unusable,
                      .message = fmt::format("the server's certificate is unusable: {}", e.what()),
                      .rejected_path = {}};
  }
  return judged;
}

}  // namespace pyqar::ua

namespace pyqar::ua {

std::optional<std::string_view> expected_host(const EndpointUrl& url, const UaSecurity& security) {
  if (security.skip_hostname_check) return std::nullopt;
  return url.host;
}

}  // namespace pyqar::ua
