// The public endpoint and trust calls of the OPC UA client, for the desktop's server list
// and its certificate dialog.
#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

#include "endpoint_choice.h"
#include "endpoint_url.h"
#include "pki_store.h"
#include "pyqar/ua_security.h"
#include "ua_session.h"

namespace pyqar {
namespace {

ua::EndpointUrl parse(const std::string& url) {
  try {
    return ua::parse_endpoint_url(url);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(e.what());
  }
}

ServerCertificateInfo describe(const ua::Certificate& c) {
  return {.subject = c.subject(),
          .issuer = c.issuer(),
          .not_before = ua::format_utc(c.not_before()),
          .not_after = ua::format_utc(c.not_after()),
          .sha1_thumbprint = c.sha1_hex(),
          .sha256_thumbprint = c.sha256_hex(),
          .application_uri = c.application_uri()};
}

}  // namespace

std::vector<UaEndpointInfo> get_ua_endpoints(const std::string& url) {
  try {
    std::vector<UaEndpointInfo> out;
    for (const auto& e : ua::get_endpoints(parse(url), {})) {
      UaEndpointInfo info;
      info.url = e.endpoint_url;
      const auto policy = policy_from_uri(e.security_policy_uri);
      info.policy = policy ? std::string(to_string(*policy)) : e.security_policy_uri;
      info.mode = e.security_mode >= 1 && e.security_mode <= 3
                      ? std::string(to_string(static_cast<UaSecurityMode>(e.security_mode)))
                      : fmt::format("mode {}", e.security_mode);
      for (const auto& token : e.user_identity_tokens) {
        std::string name = ua::token_type_name(token.token_type);
        if (std::find(info.user_token_types.begin(), info.user_token_types.end(), name) ==
            info.user_token_types.end()) {
          info.user_token_types.push_back(std::move(name));
        }
      }
      out.push_back(std::move(info));
    }
    return out;
  } catch (const std::exception& e) {
    throw std::runtime_error(ua::naming_address(url, e.what()));
  }
}

ServerTrust check_server_trust(const std::string& url, const UaSecurity& security) {
  try {
    ServerTrust trust;
    if (security.policy == UaSecurityPolicy::None) return trust;
    const ua::PkiStore pki(security.pki_dir);
    const ua::EndpointUrl parsed = parse(url);
    const auto endpoints = ua::get_endpoints(parsed, {});
    const auto& endpoint = ua::choose_endpoint(endpoints, security.policy, security.mode, url);
    const ua::JudgedCertificate judged = ua::judge_server_certificate(
        pki, endpoint.server_certificate, endpoint.server.application_uri,
        ua::expected_host(parsed, security));
    if (judged.certificate) trust.certificate = describe(*judged.certificate);
    switch (judged.verdict.kind) {
      case ua::CertificateVerdict::Kind::Trusted:
        trust.state = ServerTrust::State::Trusted;
        break;
      case ua::CertificateVerdict::Kind::Untrusted:
        trust.state = ServerTrust::State::Untrusted;
        break;
      default:
        trust.state = ServerTrust::State::Invalid;
        break;
    }
    trust.rejected_path = judged.verdict.rejected_path;
    trust.message = judged.verdict.message;
    return trust;
  } catch (const std::exception& e) {
    throw std::runtime_error(ua::naming_address(url, e.what()));
  }
}

void report_ua_security_at_start(const UaSecurity& security) noexcept {
  try {
    ua::report_security_at_start(security);
  } catch (const std::exception&) {
    // The connection attempt meets the same fault and reports it with its address.
  }
}

void trust_rejected_certificate(const std::string& pki_dir, const std::string& sha1_thumbprint) {
  try {
    ua::PkiStore(pki_dir).trust_rejected(sha1_thumbprint);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(e.what());
  }
}

}  // namespace pyqar
