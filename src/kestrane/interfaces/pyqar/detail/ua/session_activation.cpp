#include "session_activation.h"

#include <stdexcept>
#include <string>
#include <utility>

#include <openssl/crypto.h>

#include <fmt/format.h>

#include "binary_writer.h"
#include "endpoint_choice.h"
#include "pki_store.h"
#include "security_policy.h"

namespace pyqar::ua {
namespace {

// The nonces of the session handshake, ours and (at least) the server's.
constexpr std::size_t kSessionNonceSize = 32;

}  // namespace

void SessionActivation::create_and_activate() {
  const std::string& url = link_.channel().url().text;
  const ChannelSecurity& security = link_.channel().crypto().security();
  const bool secured = link_.channel().crypto().secured();
  CreateSessionRequest request;
  request.header = link_.channel().make_header();
  request.endpoint_url = url;
  request.session_name = settings_.session_name;
  request.client_nonce = random_bytes(kSessionNonceSize);
  request.requested_timeout_ms = settings_.requested_session_timeout_ms;
  if (secured) {
    // The ApplicationUri must be the one in the certificate the channel was opened with.
    request.application_uri = security.own->application_uri;
    request.client_certificate = security.own->certificate.der();
  }
  auto created = link_.call<CreateSessionResponse>(request, "CreateSession");
  link_.set_authentication_token(created.authentication_token);
  session_timeout_ = std::chrono::milliseconds(static_cast<std::int64_t>(
      created.revised_timeout_ms > 0 ? created.revised_timeout_ms
                                     : settings_.requested_session_timeout_ms));

  if (secured) {
    check_created(created);
    // The server proves it holds the key of the certificate we trusted.
    std::vector<std::uint8_t> signed_by_server = request.client_certificate;
    signed_by_server.insert(signed_by_server.end(), request.client_nonce.begin(),
                            request.client_nonce.end());
    if (!link_.channel().crypto().policy().verify(security.server_certificate->public_key(),
                                                  signed_by_server,
                                                  created.server_signature.signature)) {
      link_.fail(fmt::format(
          "server at {} did not prove it holds its certificate's key (CreateSession signature "
          "is wrong)",
          url));
    }
  }
  created_ = std::move(created);
  activate();
}

void SessionActivation::activate() {
  const ChannelSecurity& security = link_.channel().crypto().security();
  ActivateSessionRequest activate;
  activate.header = link_.header();
  if (link_.channel().crypto().secured()) {
    // We prove we hold our key, over the server's newest nonce.
    const SecurityPolicy& policy = link_.channel().crypto().policy();
    std::vector<std::uint8_t> signed_by_us = security.server_certificate->der();
    signed_by_us.insert(signed_by_us.end(), created_.server_nonce.begin(),
                        created_.server_nonce.end());
    activate.client_signature = {
        .algorithm = std::string(policy.signature_algorithm_uri()),
        .signature = policy.sign(security.own->private_key.get(), signed_by_us)};
  }

  const std::vector<EndpointDescription> offered =
      settings_.endpoint ? std::vector<EndpointDescription>{*settings_.endpoint}
                         : created_.endpoints;
  if (settings_.security.username.empty() && offered.empty()) {
    activate.policy_id = "anonymous";  // a server that lists no endpoints takes the usual id
  } else {
    const UserTokenPolicy& policy = token_policy(offered);
    activate.policy_id = policy.policy_id;
    if (!settings_.security.username.empty()) fill_identity(activate, policy, created_);
  }
  try {
    auto activated = link_.call<ActivateSessionResponse>(activate, "ActivateSession");
    // The next activation (on a new channel) signs the nonce this answer brought.
    if (!activated.server_nonce.empty()) created_.server_nonce = std::move(activated.server_nonce);
  } catch (const std::runtime_error& e) {
    if (settings_.security.username.empty()) throw;
    throw std::runtime_error(
        fmt::format("user '{}' was not accepted: {}", settings_.security.username, e.what()));
  }
  link_.set_usable(true);
}

void SessionActivation::check_created(const CreateSessionResponse& created) {
  const std::string& url = link_.channel().url().text;
  const auto refuse = [this](std::string message) { link_.fail(std::move(message)); };
  // A short nonce makes the signature we send over it guessable, and so replayable.
  if (created.server_nonce.size() < kSessionNonceSize) {
    refuse(fmt::format(
        "server at {} sent a CreateSession nonce of {} bytes; at least {} are needed on a "
        "secured channel",
        url, created.server_nonce.size(), kSessionNonceSize));
  }
  const Certificate& certificate = *link_.channel().crypto().security().server_certificate;
  if (!created.server_certificate.empty() &&
      !same_certificate(created.server_certificate, certificate.der())) {
    refuse(
        fmt::format("server at {} answered CreateSession with another certificate than the one its "
                    "endpoint and secure channel use (thumbprint {})",
                    url, certificate.sha1_hex()));
  }
  // The endpoints GetEndpoints listed came over a channel without security: the same list in
  // the secured session answer shows nobody took the better ones away.
  if (const std::string change = compare_endpoints(settings_.discovered, created.endpoints);
      !change.empty()) {
    refuse(fmt::format(
        "server at {} lists other endpoints in CreateSession than in GetEndpoints ({}); a "
        "security downgrade is possible, so the session is refused",
        url, change));
  }
  const std::string uri = certificate.application_uri();
  for (const auto& endpoint : created.endpoints) {
    const std::string& described = endpoint.server.application_uri;
    if (!described.empty() && described != uri) {
      refuse(fmt::format(
          "server at {} describes itself in CreateSession as \"{}\" but its certificate "
          "(thumbprint {}) names the application URI \"{}\"",
          url, described, certificate.sha1_hex(), uri));
    }
  }
}

const UserTokenPolicy& SessionActivation::token_policy(
    const std::vector<EndpointDescription>& endpoints) const {
  const std::string& url = link_.channel().url().text;
  const bool anonymous = settings_.security.username.empty();
  const std::int32_t wanted = anonymous ? kUserTokenAnonymous : kUserTokenUserName;
  const auto policy_uri_wanted = policy_uri(settings_.security.policy);
  const auto mode_wanted = static_cast<std::int32_t>(settings_.security.mode);
  bool endpoint_offered = false;
  for (const auto& endpoint : endpoints) {
    if (endpoint.security_policy_uri != policy_uri_wanted ||
        endpoint.security_mode != mode_wanted) {
      continue;
    }
    endpoint_offered = true;
    for (const auto& policy : endpoint.user_identity_tokens) {
      if (policy.token_type == wanted) return policy;
    }
  }
  if (!endpoint_offered) {
    throw std::runtime_error(fmt::format(
        "server at {} offers no endpoint with security policy {} and mode {}; it offers: {}", url,
        to_string(settings_.security.policy), to_string(settings_.security.mode),
        describe_endpoints(endpoints)));
  }
  if (anonymous) {
    throw std::runtime_error(
        fmt::format("server at {} does not accept anonymous users; it offers: {}", url,
                    describe_endpoints(endpoints)));
  }
  throw std::runtime_error(
      fmt::format("server at {} does not accept user names on this endpoint; it offers: {}", url,
                  describe_endpoints(endpoints)));
}

void SessionActivation::fill_identity(ActivateSessionRequest& request,
                                      const UserTokenPolicy& policy,
                                      const CreateSessionResponse& created) {
  const std::string& url = link_.channel().url().text;
  const UaSecurity& wanted = settings_.security;
  const ChannelSecurity& security = link_.channel().crypto().security();
  request.user_name = wanted.username;
  // The token policy names how the password travels; without one, the endpoint's policy.
  const std::string token_uri = policy.security_policy_uri.empty()
                                    ? std::string(policy_uri(security.policy))
                                    : policy.security_policy_uri;
  const auto token_policy = policy_from_uri(token_uri);
  if (!token_policy) {
    throw std::runtime_error(fmt::format(
        "server at {} wants the password of user '{}' encrypted with '{}', which this client "
        "does not support",
        url, wanted.username, token_uri));
  }
  const std::vector<std::uint8_t> password(wanted.password.begin(), wanted.password.end());
  if (*token_policy == UaSecurityPolicy::None) {
    if (security.mode != UaSecurityMode::SignAndEncrypt) {
      throw std::runtime_error(fmt::format(
          "refusing to send the password of user '{}' to {} in clear: neither the endpoint "
          "({}, {}) nor its user token policy encrypts it",
          wanted.username, url, to_string(security.policy), to_string(security.mode)));
    }
    request.password = password;  // inside an encrypted channel
    return;
  }

  std::optional<Certificate> server_certificate = security.server_certificate;
  if (!server_certificate) {
    // Without channel security the password is encrypted for the certificate the server
    // sent, which must be as trusted as a secured channel's.
    std::string expected_uri;
    for (const auto& e : created.endpoints) {
      if (e.security_policy_uri == policy_uri(UaSecurityPolicy::None)) {
        expected_uri = e.server.application_uri;
      }
    }
    const PkiStore pki(wanted.pki_dir);
    JudgedCertificate judged =
        judge_server_certificate(pki, created.server_certificate, expected_uri,
                                 expected_host(link_.channel().url(), wanted));
    if (judged.verdict.kind != CertificateVerdict::Kind::Trusted) {
      throw std::runtime_error(judged.verdict.message);
    }
    server_certificate = std::move(judged.certificate);
  }
  if (created.server_nonce.empty()) {
    throw std::runtime_error(
        fmt::format("server at {} sent no nonce to encrypt the password of user '{}' with", url,
                    wanted.username));
  }
  // Length, password and the server's nonce, so that a captured token cannot be replayed.
  std::vector<std::uint8_t> plain;
  BinaryWriter length;
  length.u32(static_cast<std::uint32_t>(password.size() + created.server_nonce.size()));
  plain.insert(plain.end(), length.data().begin(), length.data().end());
  plain.insert(plain.end(), password.begin(), password.end());
  plain.insert(plain.end(), created.server_nonce.begin(), created.server_nonce.end());
  const SecurityPolicy encryption(*token_policy);
  request.password = encryption.encrypt(server_certificate->public_key(), plain);
  request.encryption_algorithm = std::string(encryption.encryption_algorithm_uri());
  OPENSSL_cleanse(plain.data(), plain.size());
}

}  // namespace pyqar::ua
