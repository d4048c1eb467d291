#include "pyqar/ua_security.h"

#include <array>
#include <utility>

#include <fmt/format.h>

namespace pyqar {
namespace {

struct PolicyName {
  UaSecurityPolicy policy;
  std::string_view name;
  std::string_view uri;
};

constexpr std::array<PolicyName, 4> kPolicies{{
    {UaSecurityPolicy::None, "None", "http://opcfoundation.org/UA/SecurityPolicy#None"},
    {UaSecurityPolicy::Basic256Sha256, "Basic256Sha256",
     "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"},
    {UaSecurityPolicy::Aes128_Sha256_RsaOaep, "Aes128_Sha256_RsaOaep",
     "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep"},
    {UaSecurityPolicy::Aes256_Sha256_RsaPss, "Aes256_Sha256_RsaPss",
     "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss"},
}};

constexpr std::array<std::pair<UaSecurityMode, std::string_view>, 3> kModes{{
    {UaSecurityMode::None, "None"},
    {UaSecurityMode::Sign, "Sign"},
    {UaSecurityMode::SignAndEncrypt, "SignAndEncrypt"},
}};

const PolicyName& entry(UaSecurityPolicy policy) {
  for (const auto& p : kPolicies) {
    if (p.policy == policy) return p;
  }
  return kPolicies[0];
}

}  // namespace

std::string_view to_string(UaSecurityPolicy policy) { return entry(policy).name; }

std::string_view to_string(UaSecurityMode mode) {
  for (const auto& [m, name] : kModes) {
    if (m == mode) return name;
  }
  return "None";
}

std::optional<UaSecurityPolicy> parse_security_policy(std::string_view text) {
  for (const auto& p : kPolicies) {
    if (p.name == text) return p.policy;
  }
  return std::nullopt;
}

std::optional<UaSecurityMode> parse_security_mode(std::string_view text) {
  for (const auto& [m, name] : kModes) {
    if (name == text) return m;
  }
  return std::nullopt;
}

std::string_view policy_uri(UaSecurityPolicy policy) { return entry(policy).uri; }

std::optional<UaSecurityPolicy> policy_from_uri(std::string_view uri) {
  for (const auto& p : kPolicies) {
    if (p.uri == uri) return p.policy;
  }
  return std::nullopt;
}

std::string check_policy_and_mode(UaSecurityPolicy policy, UaSecurityMode mode) {
  const bool none_policy = policy == UaSecurityPolicy::None;
  const bool none_mode = mode == UaSecurityMode::None;
  if (none_policy == none_mode) return {};
  if (none_policy) {
    return fmt::format("security mode {} needs a security policy other than None", to_string(mode));
  }
  return fmt::format("security policy {} needs security mode Sign or SignAndEncrypt, not None",
                     to_string(policy));
}

}  // namespace pyqar
