// The OPC UA client's security against the real node-opcua test server: every policy and
// mode, user names, certificate trust, token renewal, tampered chunks and a restarted server.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "log_capture.h"
#include "pyqar/rt_source.h"
#include "pyqar/ua_security.h"
#include "tcp_tamper_proxy.h"
#include "temp_dir.h"
#include "ua/openssl_handles.h"
#include "ua/ua_session.h"
#include "ua_test_server.h"

namespace {

namespace fs = std::filesystem;
using kestrane_test::TcpTamperProxy;
using kestrane_test::TempDir;
using kestrane_test::UaTestServer;
using pyqar::TagDescriptor;
using pyqar::UaSecurity;
using pyqar::UaSecurityMode;
using pyqar::UaSecurityPolicy;
namespace Q = pyqar::QAR_QUALITY;

#define SKIP_WITHOUT_NODE()                                                        \
  do {                                                                             \
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason; \
  } while (0)

#define EXPECT_CONTAINS(text, part)                          \
  do {                                                       \
    const std::string text_ = (text);                        \
    EXPECT_NE(text_.find(part), std::string::npos) << text_; \
  } while (0)

std::vector<TagDescriptor> counts(int n) {
  std::vector<TagDescriptor> batch;
  for (int k = 1; k <= n; ++k) {
    batch.push_back({.namespace_index = 2, .tag_name = "Demo.Count" + std::to_string(k)});
  }
  return batch;
}

// Every value Good, and Demo.CountN is N plus the same whole seconds, give or take one.
void expect_counts(const std::vector<pyqar::ValueObject>& values) {
  ASSERT_FALSE(values.empty());
  const double base = std::get<double>(values[0].value) - 1;
  for (std::size_t k = 0; k < values.size(); ++k) {
    ASSERT_EQ(values[k].get_quality(), Q::QAR_HIGH_GOOD) << k;
    const double offset = std::get<double>(values[k].value) - static_cast<double>(k + 1);
    ASSERT_LE(std::abs(offset - base), 1.0) << k;
  }
}

// A client PKI folder that already trusts `server`.
UaSecurity trusting(const TempDir& dir, const UaTestServer& server, UaSecurityPolicy policy,
                    UaSecurityMode mode) {
  UaSecurity security;
  security.policy = policy;
  security.mode = mode;
  security.pki_dir = (dir / "pki").string();
  fs::create_directories(dir / "pki" / "trusted" / "certs");
  fs::copy_file(server.certificate_der_path(), dir / "pki" / "trusted" / "certs" / "server.der",
                fs::copy_options::overwrite_existing);
  return security;
}

std::string connect_error(const std::string& url, const UaSecurity& security) {
  try {
    pyqar::make_ua_source(url, 1000, security);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// A self-signed server certificate and key valid from `from` to `to` days from now.
void make_certificate(const fs::path& cert, const fs::path& key, const std::string& uri,
                      long from_days, long to_days) {
  pyqar::ua::EvpPkeyPtr pkey(EVP_RSA_gen(2048));
  ASSERT_TRUE(pkey);
  pyqar::ua::X509Ptr x509(X509_new());
  X509_set_version(x509.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(x509.get()), from_days * 86400);
  X509_gmtime_adj(X509_getm_notAfter(x509.get()), to_days * 86400);
  X509_set_pubkey(x509.get(), pkey.get());
  X509_NAME* name = X509_get_subject_name(x509.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Expired server"), -1, -1, 0);
  X509_set_issuer_name(x509.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, x509.get(), x509.get(), nullptr, nullptr, 0);
  const std::string san = "URI:" + uri + ",DNS:localhost,IP:127.0.0.1";
  for (const auto& [nid, value] :
       {std::pair{NID_subject_alt_name, san},
        {NID_key_usage, std::string("critical,digitalSignature,keyEncipherment,dataEncipherment,"
                                    "nonRepudiation,keyCertSign")},
        {NID_basic_constraints, std::string("critical,CA:FALSE")}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    ASSERT_NE(ext, nullptr);
    X509_add_ext(x509.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  ASSERT_GT(X509_sign(x509.get(), pkey.get(), EVP_sha256()), 0);
  pyqar::ua::BioPtr cert_out(BIO_new_file(cert.c_str(), "w"));
  PEM_write_bio_X509(cert_out.get(), x509.get());
  pyqar::ua::BioPtr key_out(BIO_new_file(key.c_str(), "w"));
  PEM_write_bio_PrivateKey(key_out.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr);
}

// A CA (its DER certificate at `ca_der`) and a server certificate it issued (PEM `cert` and
// `key`) naming `uri` and `hosts` ("DNS:...,IP:...") in its subject alternative name.
void issue_certificate(const fs::path& ca_der, const fs::path& cert, const fs::path& key,
                       const std::string& uri, const std::string& hosts) {
  const auto build = [](X509* x509, X509* issuer, EVP_PKEY* subject_key, const char* cn,
                        const std::vector<std::pair<int, std::string>>& extensions) {
    X509_set_version(x509, 2);
    static long serial = 100;
    ASN1_INTEGER_set(X509_get_serialNumber(x509), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(x509), -86400);
    X509_gmtime_adj(X509_getm_notAfter(x509), 30 * 86400);
    X509_set_pubkey(x509, subject_key);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                               -1, -1, 0);
    X509_set_issuer_name(x509, X509_get_subject_name(issuer != nullptr ? issuer : x509));
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : x509, x509, nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
      ASSERT_NE(ext, nullptr) << value;
      X509_add_ext(x509, ext, -1);
      X509_EXTENSION_free(ext);
    }
  };
  pyqar::ua::EvpPkeyPtr ca_key(EVP_RSA_gen(2048));
  pyqar::ua::EvpPkeyPtr server_key(EVP_RSA_gen(2048));
  pyqar::ua::X509Ptr ca(X509_new());
  pyqar::ua::X509Ptr server(X509_new());
  build(ca.get(), nullptr, ca_key.get(), "Plant CA",
        {{NID_basic_constraints, "critical,CA:TRUE"},
         {NID_key_usage, "critical,keyCertSign,cRLSign"}});
  ASSERT_GT(X509_sign(ca.get(), ca_key.get(), EVP_sha256()), 0);
  build(
      server.get(), ca.get(), server_key.get(), "Kiln server",
      {{NID_subject_alt_name, "URI:" + uri + "," + hosts},
       {NID_key_usage, "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment"},
       {NID_basic_constraints, "critical,CA:FALSE"}});
  ASSERT_GT(X509_sign(server.get(), ca_key.get(), EVP_sha256()), 0);
  fs::create_directories(ca_der.parent_path());
  pyqar::ua::BioPtr ca_out(BIO_new_file(ca_der.c_str(), "w"));
  i2d_X509_bio(ca_out.get(), ca.get());
  pyqar::ua::BioPtr cert_out(BIO_new_file(cert.c_str(), "w"));
  PEM_write_bio_X509(cert_out.get(), server.get());
  pyqar::ua::BioPtr key_out(BIO_new_file(key.c_str(), "w"));
  PEM_write_bio_PrivateKey(key_out.get(), server_key.get(), nullptr, nullptr, 0, nullptr, nullptr);
}

// A server serving a certificate issued by a CA the client trusts; `uri` is what the server
// describes itself as.
struct CaIssuedServer {
  CaIssuedServer(const TempDir& dir, const std::string& cert_uri, const std::string& hosts,
                 const std::string& uri) {
    issue_certificate(dir / "pki" / "trusted" / "certs" / "ca.der", dir / "server.pem",
                      dir / "server.key", cert_uri, hosts);
    UaTestServer::Options options;
    options.policies = {"Basic256Sha256"};
    options.modes = {"SignAndEncrypt"};
    options.server_cert = dir / "server.pem";
    options.server_key = dir / "server.key";
    options.application_uri = uri;
    server = std::make_unique<UaTestServer>(options);
    security.policy = UaSecurityPolicy::Basic256Sha256;
    security.mode = UaSecurityMode::SignAndEncrypt;
    security.pki_dir = (dir / "pki").string();
  }
  std::unique_ptr<UaTestServer> server;
  UaSecurity security;
};

// One server offering every policy with both modes, and None.
class SecuredServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.policies = {"None", "Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"};
    options.modes = {"None", "Sign", "SignAndEncrypt"};
    options.users = {{"operator", "pässword 1"}};
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override { SKIP_WITHOUT_NODE(); }

  static inline std::unique_ptr<UaTestServer> server_;
  TempDir dir_{"kestrane-ua-security-"};
};

TEST_F(SecuredServer, EveryPolicyAndModeReadsTheRightValues) {
  for (const auto policy :
       {UaSecurityPolicy::Basic256Sha256, UaSecurityPolicy::Aes128_Sha256_RsaOaep,
        UaSecurityPolicy::Aes256_Sha256_RsaPss}) {
    for (const auto mode : {UaSecurityMode::Sign, UaSecurityMode::SignAndEncrypt}) {
      SCOPED_TRACE(std::string(pyqar::to_string(policy)) + "/" +
                   std::string(pyqar::to_string(mode)));
      auto source =
          pyqar::make_ua_source(server_->url(), 1000, trusting(dir_, *server_, policy, mode));
      expect_counts(source->read(counts(50)));
      expect_counts(source->read(counts(50)));  // and again on the same channel
    }
  }
  // The own certificate was made once and reused by every connection.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "pki" / "own" / "certs"),
                          fs::directory_iterator()),
            1);
}

TEST_F(SecuredServer, UserNamesWithTheirPasswordsAndNothingElse) {
  UaSecurity security =
      trusting(dir_, *server_, UaSecurityPolicy::Basic256Sha256, UaSecurityMode::SignAndEncrypt);
  security.username = "operator";
  security.password = "pässword 1";
  expect_counts(pyqar::make_ua_source(server_->url(), 1000, security)->read(counts(5)));

  // Over a channel without security the password is encrypted for the server's certificate.
  UaSecurity plain = security;
  plain.policy = UaSecurityPolicy::None;
  plain.mode = UaSecurityMode::None;
  expect_counts(pyqar::make_ua_source(server_->url(), 1000, plain)->read(counts(5)));

  security.password = "wrong secret";
  std::string error = connect_error(server_->url(), security);
  EXPECT_CONTAINS(error, "user 'operator' was not accepted");
  EXPECT_CONTAINS(error, "Bad");
  EXPECT_EQ(error.find("wrong secret"), std::string::npos) << error;

  security.username = "intruder";
  error = connect_error(server_->url(), security);
  EXPECT_CONTAINS(error, "user 'intruder' was not accepted");
  EXPECT_EQ(error.find("wrong secret"), std::string::npos) << error;
}

TEST_F(SecuredServer, UnknownServerCertificateIsRejectedUntilTheOperatorMovesIt) {
  UaSecurity security;
  security.policy = UaSecurityPolicy::Aes256_Sha256_RsaPss;
  security.mode = UaSecurityMode::SignAndEncrypt;
  security.pki_dir = (dir_ / "fresh").string();
  const std::string error = connect_error(server_->url(), security);
  const fs::path rejected = fs::directory_iterator(dir_ / "fresh" / "rejected" / "certs")->path();
  EXPECT_EQ(rejected.extension(), ".der");
  EXPECT_EQ(rejected.stem().string().size(), 40u);  // the SHA-1 thumbprint
  EXPECT_CONTAINS(error, "not trusted");
  EXPECT_CONTAINS(error, rejected.stem().string());
  EXPECT_CONTAINS(error, "mv '" + rejected.string() + "' '");

  // The operator trusts it; the next attempt, in the same process, connects.
  fs::rename(rejected, dir_ / "fresh" / "trusted" / "certs" / rejected.filename());
  expect_counts(pyqar::make_ua_source(server_->url(), 1000, security)->read(counts(5)));
}

TEST_F(SecuredServer, PolicyAndModeThatDoNotGoTogetherAreRefused) {
  UaSecurity security =
      trusting(dir_, *server_, UaSecurityPolicy::Basic256Sha256, UaSecurityMode::Sign);
  security.policy = UaSecurityPolicy::None;
  const std::string mismatch = connect_error(server_->url(), security);
  EXPECT_CONTAINS(mismatch, "security mode Sign needs a security policy other than None");
}

TEST_F(SecuredServer, TokenRenewalAndChunkedReadsUnderSignAndEncrypt) {
  pyqar::ua::SessionOptions options;
  options.security =
      trusting(dir_, *server_, UaSecurityPolicy::Basic256Sha256, UaSecurityMode::SignAndEncrypt);
  options.channel.requested_lifetime_ms = 3000;  // renewed after 2.25 s
  pyqar::ua::UaSession session(pyqar::ua::parse_endpoint_url(server_->url()), options);
  const std::uint32_t first_token = session.channel().token_id();
  std::vector<pyqar::ua::NodeId> nodes;
  for (int k = 1; k <= 3000; ++k) {
    nodes.push_back(pyqar::ua::NodeId::string_id(2, "Demo.Tag" + std::to_string(k % 100 + 1)));
  }
  // Reads go on across the renewal (and the old keys' retirement) until three have used the
  // new token; the deadline only ends a hang.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int reads_after_renewal = 0;
  while (reads_after_renewal < 3 && std::chrono::steady_clock::now() < until) {
    const auto values = session.read(nodes);  // about 100 KiB each way: many chunks
    ASSERT_EQ(values.size(), nodes.size());
    for (const auto& v : values) ASSERT_TRUE(v.value);
    if (session.channel().token_id() != first_token) ++reads_after_renewal;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  EXPECT_NE(session.channel().token_id(), first_token);
  EXPECT_TRUE(session.usable());
  EXPECT_EQ(reads_after_renewal, 3);
}

TEST_F(SecuredServer, TamperedChunkDropsTheChannelAndANewOneWorks) {
  TcpTamperProxy proxy(server_->port());
  const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(proxy.port());
  for (const auto mode : {UaSecurityMode::Sign, UaSecurityMode::SignAndEncrypt}) {
    const UaSecurity security =
        trusting(dir_, *server_, UaSecurityPolicy::Aes128_Sha256_RsaOaep, mode);
    auto source = pyqar::make_ua_source(url, 1000, security);
    expect_counts(source->read(counts(5)));
    proxy.flip_in_next_message(40);  // inside the signed part
    try {
      source->read(counts(5));
      ADD_FAILURE() << "a tampered chunk was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_CONTAINS(e.what(), "fails its security check");
    }
    EXPECT_FALSE(source->valid());
    // The collector's reconnect: a new channel.
    expect_counts(pyqar::make_ua_source(url, 1000, security)->read(counts(5)));
  }
  EXPECT_EQ(proxy.tampered(), 2);
}

TEST(SecuredServerRestart, ReconnectsAfterTheServerRestarts) {
  SKIP_WITHOUT_NODE();
  TempDir dir("kestrane-ua-security-");
  UaTestServer::Options options;
  options.policies = {"Basic256Sha256"};
  options.modes = {"SignAndEncrypt"};
  auto server = std::make_unique<UaTestServer>(options);
  const UaSecurity security =
      trusting(dir, *server, UaSecurityPolicy::Basic256Sha256, UaSecurityMode::SignAndEncrypt);
  auto source = pyqar::make_ua_source(server->url(), 1000, security);
  expect_counts(source->read(counts(5)));
  options.port = server->port();
  server->kill();
  EXPECT_THROW(source->read(counts(5)), std::runtime_error);
  server = std::make_unique<UaTestServer>(options);
  expect_counts(pyqar::make_ua_source(server->url(), 1000, security)->read(counts(5)));
}

TEST(SecuredServerTrustingClients, UntrustedClientIsToldWhichCertificateTheServerMustTrust) {
  SKIP_WITHOUT_NODE();
  TempDir dir("kestrane-ua-security-");
  UaTestServer::Options options;
  options.policies = {"Basic256Sha256"};
  options.modes = {"SignAndEncrypt"};
  options.trust_required = true;
  UaSecurity security;
  {
    UaTestServer server(options);
    security =
        trusting(dir, server, UaSecurityPolicy::Basic256Sha256, UaSecurityMode::SignAndEncrypt);
    const std::string error = connect_error(server.url(), security);
    EXPECT_CONTAINS(error, "have its administrator trust our certificate " +
                               (dir / "pki" / "own" / "certs" / "kestrane.der").string());
    EXPECT_FALSE(fs::is_empty(server.rejected_dir()));
  }
  options.trusted_clients = {dir / "pki" / "own" / "certs" / "kestrane.der"};
  UaTestServer server(options);
  security =
      trusting(dir, server, UaSecurityPolicy::Basic256Sha256, UaSecurityMode::SignAndEncrypt);
  expect_counts(pyqar::make_ua_source(server.url(), 1000, security)->read(counts(5)));
}

TEST(SecuredServerCertificates, ExpiredOrForeignCertificatesAreRefusedEachWithItsReason) {
  SKIP_WITHOUT_NODE();
  TempDir dir("kestrane-ua-security-");
  const std::string uri = "urn:kestrane:test:expired";
  make_certificate(dir / "expired.pem", dir / "expired.key", uri, -30, -1);
  UaTestServer::Options options;
  options.policies = {"Basic256Sha256"};
  options.modes = {"Sign"};
  options.server_cert = dir / "expired.pem";
  options.server_key = dir / "expired.key";
  UaTestServer server(options);
  const UaSecurity security =
      trusting(dir, server, UaSecurityPolicy::Basic256Sha256, UaSecurityMode::Sign);
  const std::string error = connect_error(server.url(), security);
  EXPECT_CONTAINS(error, "expired");
  EXPECT_CONTAINS(error, "CN=Expired server");
  // An endpoint the server does not offer: the error lists what it does offer.
  UaSecurity other = security;
  other.mode = UaSecurityMode::SignAndEncrypt;
  EXPECT_CONTAINS(connect_error(server.url(), other),
                  "offers no endpoint with security policy Basic256Sha256 and mode "
                  "SignAndEncrypt; it offers: Basic256Sha256/Sign (");
  EXPECT_FALSE(fs::exists(dir / "pki" / "rejected" / "certs") &&
               !fs::is_empty(dir / "pki" / "rejected" / "certs"));
}

}  // namespace

namespace {

TEST(SecuredServerHostNames, ACaIssuedCertificateForAnotherHostIsRefusedUnlessTheCheckIsOff) {
  SKIP_WITHOUT_NODE();
  TempDir dir("kestrane-ua-security-");
  const std::string uri = "urn:kestrane:test:kiln7";
  CaIssuedServer kiln(dir, uri, "DNS:kiln7.plant.example,IP:10.0.0.7", uri);
  const std::string url = kiln.server->url();

  const std::string error = connect_error(url, kiln.security);
  EXPECT_CONTAINS(error, "is not issued for the host '127.0.0.1'");
  EXPECT_CONTAINS(error, "DNS:kiln7.plant.example, IP:10.0.0.7");
  // A certificate that can never be used here is not offered for trust.
  EXPECT_TRUE(fs::is_empty(dir / "pki" / "rejected" / "certs"));
  const pyqar::ServerTrust trust = pyqar::check_server_trust(url, kiln.security);
  EXPECT_EQ(trust.state, pyqar::ServerTrust::State::Invalid);
  EXPECT_CONTAINS(trust.message, "is not issued for the host '127.0.0.1'");

  kestrane_test::LogCapture log("pyqar");
  UaSecurity lenient = kiln.security;
  lenient.skip_hostname_check = true;
  // What a program's start logs, then the connection it makes.
  pyqar::report_ua_security_at_start(lenient);
  EXPECT_TRUE(log.has_prefix("warning", "opc_skip_hostname_check is on")) << log.dump();
  expect_counts(pyqar::make_ua_source(url, 1000, lenient)->read(counts(5)));
  EXPECT_EQ(pyqar::check_server_trust(url, lenient).state, pyqar::ServerTrust::State::Trusted);
}

TEST(SecuredServerHostNames, ACertificateNamingAnotherApplicationUriIsRefused) {
  SKIP_WITHOUT_NODE();
  TempDir dir("kestrane-ua-security-");
  CaIssuedServer impostor(dir, "urn:kestrane:test:impostor", "DNS:localhost,IP:127.0.0.1",
                          "urn:kestrane:test:kiln7");
  const std::string error = connect_error(impostor.server->url(), impostor.security);
  EXPECT_CONTAINS(error, "\"urn:kestrane:test:impostor\"");
  EXPECT_CONTAINS(error, "\"urn:kestrane:test:kiln7\"");
}

}  // namespace
