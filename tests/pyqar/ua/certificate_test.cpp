// Certificates parsed from DER and PEM, and the facts read from them.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "temp_dir.h"
#include "ua/certificate.h"
#include "ua/openssl_handles.h"

namespace {

using namespace pyqar::ua;
using kestrane_test::TempDir;
using Bytes = std::vector<std::uint8_t>;

// Parsing does not care about key size, so a small key keeps the tests quick.
EVP_PKEY* rsa_key() {
  static EvpPkeyPtr key(EVP_RSA_gen(1024));
  return key.get();
}

struct CertificateFields {
  std::vector<std::pair<std::string, std::string>> name = {{"CN", "Server"}};
  const char* not_before = "20240101000000Z";
  const char* not_after = "20340101000000Z";
  std::string alt_names = "";  // configuration text ("URI:...,DNS:..."); none when empty
  EVP_PKEY* key = rsa_key();
};

X509Ptr self_signed(const CertificateFields& fields) {
  X509Ptr x509(X509_new());
  X509_set_version(x509.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 7);
  EXPECT_EQ(ASN1_TIME_set_string_X509(X509_getm_notBefore(x509.get()), fields.not_before), 1);
  EXPECT_EQ(ASN1_TIME_set_string_X509(X509_getm_notAfter(x509.get()), fields.not_after), 1);
  X509_NAME* name = X509_get_subject_name(x509.get());
  for (const auto& [field, value] : fields.name) {
    X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  }
  X509_set_issuer_name(x509.get(), name);
  X509_set_pubkey(x509.get(), fields.key);
  if (!fields.alt_names.empty()) {
    X509V3_CTX ctx{};
    X509V3_set_ctx(&ctx, x509.get(), x509.get(), nullptr, nullptr, 0);
    X509ExtensionPtr ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, fields.alt_names.c_str()));
    EXPECT_TRUE(ext);
    X509_add_ext(x509.get(), ext.get(), -1);
  }
  EXPECT_GT(X509_sign(x509.get(), fields.key, EVP_sha256()), 0);
  return x509;
}

Bytes der_of(X509* x509) {
  unsigned char* der = nullptr;
  const int size = i2d_X509(x509, &der);
  Bytes bytes(der, der + size);
  OPENSSL_free(der);
  return bytes;
}

std::string pem_of(X509* x509) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), x509);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string as_text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string invalid_argument_of(const Bytes& bytes) {
  try {
    Certificate::from_der(bytes);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  ADD_FAILURE() << "accepted " << bytes.size() << " bytes";
  return {};
}

TEST(CertificateFromDer, RefusesAnythingButExactlyOneRsaCertificate) {
  const Bytes der = der_of(self_signed({}).get());
  EXPECT_NO_THROW(Certificate::from_der(der));

  EXPECT_NE(invalid_argument_of({}).find("empty"), std::string::npos);
  EXPECT_NE(invalid_argument_of({'h', 'e', 'l', 'l', 'o'}).find("not a DER"), std::string::npos);
  for (const std::size_t keep : {std::size_t{1}, std::size_t{4}, der.size() / 2, der.size() - 1}) {
    EXPECT_NE(invalid_argument_of(Bytes(der.begin(), der.begin() + static_cast<long>(keep)))
                  .find("not a DER"),
              std::string::npos)
        << "truncated to " << keep;
  }
  Bytes trailing = der;
  trailing.push_back(0);
  EXPECT_NE(invalid_argument_of(trailing).find("1 trailing bytes"), std::string::npos);
  Bytes two = der;
  two.insert(two.end(), der.begin(), der.end());
  EXPECT_NE(invalid_argument_of(two).find("trailing"), std::string::npos);

  EvpPkeyPtr ec_key(EVP_EC_gen("P-256"));
  const std::string ec_message =
      invalid_argument_of(der_of(self_signed({.key = ec_key.get()}).get()));
  EXPECT_NE(ec_message.find("not RSA"), std::string::npos) << ec_message;
}

TEST(CertificateFromFile, ReadsDerAndPemAndNamesAFileItCannotUse) {
  TempDir dir;
  X509Ptr x509 = self_signed({});
  const Bytes der = der_of(x509.get());
  const Certificate from_der = Certificate::from_file(dir.write("server.der", as_text(der)));
  const Certificate from_pem = Certificate::from_file(dir.write("server.pem", pem_of(x509.get())));
  EXPECT_EQ(from_der.der(), der);
  EXPECT_EQ(from_pem.der(), der);

  EvpPkeyPtr ec_key(EVP_EC_gen("P-256"));
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"missing.der", ""},
      {"empty.der", ""},
      {"garbage.der", "garbage"},
      {"garbage.pem", "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n"},
      {"ec.pem", pem_of(self_signed({.key = ec_key.get()}).get())},
  };
  for (const auto& [name, content] : bad) {
    const std::string path = (dir / name).string();
    if (name != "missing.der") dir.write(name, content);
    try {
      Certificate::from_file(path);
      ADD_FAILURE() << name << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("'" + path + "'"), std::string::npos) << e.what();
    }
  }
}

// The fingerprints as the openssl tool prints them, an independent reading of the same file.
std::string openssl_fingerprint(const std::string& path, const char* digest) {
  const std::string command = std::string("openssl x509 -inform DER -noout -fingerprint -") +
                              digest + " -in '" + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return {};
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  std::string hex;
  for (const char c : output.substr(output.find('=') + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  }
  return hex;
}

TEST(CertificateFacts, ThumbprintsAgreeWithTheOpensslTool) {
  TempDir dir;
  const Bytes der = der_of(self_signed({}).get());
  const std::string path = dir.write("server.der", as_text(der)).string();
  const Certificate cert = Certificate::from_der(der);
  if (openssl_fingerprint(path, "sha1").empty()) GTEST_SKIP() << "no openssl tool";

  EXPECT_EQ(cert.sha1_hex(), openssl_fingerprint(path, "sha1"));
  EXPECT_EQ(cert.sha256_hex(), openssl_fingerprint(path, "sha256"));
  EXPECT_EQ(cert.sha1_thumbprint().size(), 20u);
}

TEST(CertificateFacts, NamesReadOnOneLineMostSpecificFirst) {
  const Certificate cert = Certificate::from_der(
      der_of(self_signed({.name = {{"O", "Acme"}, {"OU", "Line 1"}, {"CN", "M\xC3\xBChle, Nord"}}})
                 .get()));
  EXPECT_EQ(cert.subject(), "CN=M\xC3\xBChle\\, Nord, OU=Line 1, O=Acme");
  EXPECT_EQ(cert.issuer(), cert.subject());

  const Certificate odd =
      Certificate::from_der(der_of(self_signed({.name = {{"CN", "two\nlines"}}}).get()));
  EXPECT_EQ(odd.subject().find('\n'), std::string::npos) << odd.subject();
}

TEST(CertificateFacts, ValidityDatesAreUtcTimePoints) {
  using namespace std::chrono;
  // Before 2050 the dates are encoded as UTCTime, from 2050 as GeneralizedTime.
  const Certificate cert = Certificate::from_der(
      der_of(self_signed({.not_before = "20250102100000Z", .not_after = "20600229123456Z"}).get()));
  EXPECT_EQ(cert.not_before(), sys_days{year{2025} / 1 / 2} + hours{10});
  EXPECT_EQ(format_utc(cert.not_before()), "2025-01-02 10:00:00 UTC");
  EXPECT_EQ(format_utc(cert.not_after()), "2060-02-29 12:34:56 UTC");

  // Truncated to the second, on either side of 1970.
  EXPECT_EQ(format_utc(system_clock::time_point{}), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(format_utc(system_clock::time_point{} - milliseconds{1}), "1969-12-31 23:59:59 UTC");
  EXPECT_EQ(format_utc(sys_days{year{2024} / 2 / 29} + milliseconds{86'399'999}),
            "2024-02-29 23:59:59 UTC");
}

TEST(CertificateFacts, ApplicationUriIsTheFirstUriOfTheAlternativeNames) {
  const auto uri_of = [](const std::string& alt_names) {
    return Certificate::from_der(der_of(self_signed({.alt_names = alt_names}).get()))
        .application_uri();
  };
  EXPECT_EQ(uri_of("DNS:host,URI:urn:first:App,URI:urn:second:App"), "urn:first:App");
  EXPECT_EQ(uri_of("DNS:host,IP:127.0.0.1"), "");
  EXPECT_EQ(uri_of(""), "");
}

}  // namespace
