#include "certificate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>
#include <openssl/asn1.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

namespace pyqar::ua {
namespace {

constexpr std::string_view kPemStart = "-----BEGIN";

std::string to_hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0f];
  }
  return hex;
}

std::vector<std::uint8_t> digest(const EVP_MD* md, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr) != 1) {
    throw std::runtime_error("cannot hash a certificate: " + openssl_error("digest failed"));
  }
  out.resize(size);
  return out;
}

// One line, most specific name first, with ", " between names: the order and escaping of
// RFC 2253, but UTF-8 left readable instead of escaped byte by byte.
std::string name_text(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) throw std::runtime_error("cannot print a certificate name: out of memory");
  constexpr unsigned long kFlags = ASN1_STRFLGS_ESC_2253 | ASN1_STRFLGS_ESC_CTRL |
                                   ASN1_STRFLGS_UTF8_CONVERT | ASN1_STRFLGS_DUMP_UNKNOWN |
                                   ASN1_STRFLGS_DUMP_DER | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV |
                                   XN_FLAG_FN_SN | XN_FLAG_DUMP_UNKNOWN_FIELDS;
  if (X509_NAME_print_ex(bio.get(), name, 0, kFlags) < 0) {
    throw std::runtime_error("cannot print a certificate name: " + openssl_error("print failed"));
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::chrono::system_clock::time_point time_point_of(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) {
    throw std::runtime_error("certificate has an unreadable validity date");
  }
  using namespace std::chrono;
  const sys_days date = year{tm.tm_year + 1900} / month{static_cast<unsigned>(tm.tm_mon + 1)} /
                        day{static_cast<unsigned>(tm.tm_mday)};
  return time_point_cast<system_clock::duration>(date + hours{tm.tm_hour} + minutes{tm.tm_min} +
                                                 seconds{tm.tm_sec});
}

}  // namespace

Certificate Certificate::from_der(std::span<const std::uint8_t> der) {
  if (der.empty()) throw std::invalid_argument("the certificate is empty");
  if (der.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())) {
    throw std::invalid_argument("the certificate is too large");
  }
  const unsigned char* p = der.data();
  X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!x509) {
    throw std::invalid_argument("not a DER-encoded X.509 certificate (" +
                                openssl_error("cannot decode") + ")");
  }
  const auto used = static_cast<std::size_t>(p - der.data());
  if (used != der.size()) {
    throw std::invalid_argument(
        fmt::format("{} trailing bytes after the certificate's {} bytes", der.size() - used, used));
  }
  const EVP_PKEY* key = X509_get0_pubkey(x509.get());
  if (key == nullptr) {
    throw std::invalid_argument("the certificate's public key cannot be read (" +
                                openssl_error("unknown key") + ")");
  }
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
    throw std::invalid_argument(fmt::format("the certificate's public key is {}, not RSA",
                                            OBJ_nid2sn(EVP_PKEY_get_base_id(key))));
  }
  std::tm ignored{};
  if (ASN1_TIME_to_tm(X509_get0_notBefore(x509.get()), &ignored) != 1 ||
      ASN1_TIME_to_tm(X509_get0_notAfter(x509.get()), &ignored) != 1) {
    throw std::invalid_argument("the certificate has an unreadable validity date");
  }
  Certificate cert(std::move(x509));
  // Keep the bytes as received: the thumbprint is over them, not over a re-encoding.
  cert.der_.assign(der.begin(), der.end());
  return cert;
}

Certificate Certificate::from_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error(
        fmt::format("cannot read certificate file '{}': {}", path, std::strerror(errno)));
  }
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
  if (in.bad()) throw std::runtime_error(fmt::format("cannot read certificate file '{}'", path));

  const bool pem = bytes.size() >= kPemStart.size() &&
                   std::equal(kPemStart.begin(), kPemStart.end(), bytes.begin());
  try {
    if (!pem) return from_der(bytes);
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    X509Ptr x509(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!x509) {
      throw std::invalid_argument("not a PEM certificate (" + openssl_error("cannot decode") + ")");
    }
    unsigned char* der = nullptr;
    const int size = i2d_X509(x509.get(), &der);
    if (size <= 0) throw std::invalid_argument("cannot encode: " + openssl_error("i2d failed"));
    const std::vector<std::uint8_t> copy(der, der + size);
    OPENSSL_free(der);
    return from_der(copy);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(fmt::format("certificate file '{}' is unusable: {}", path, e.what()));
  }
}

Certificate::Certificate(X509Ptr x509) {
  if (!x509) throw std::invalid_argument("no certificate");
  unsigned char* der = nullptr;
  const int size = i2d_X509(x509.get(), &der);
  if (size <= 0) {
    throw std::invalid_argument("cannot encode the certificate: " + openssl_error("i2d failed"));
  }
  der_.assign(der, der + size);
  OPENSSL_free(der);
  x509_ = std::shared_ptr<X509>(x509.release(), X509_free);
}

std::vector<std::uint8_t> Certificate::sha1_thumbprint() const { return digest(EVP_sha1(), der_); }

std::string Certificate::sha1_hex() const {
  const auto bytes = sha1_thumbprint();
  return to_hex(bytes.data(), bytes.size());
}

std::string Certificate::sha256_hex() const {
  const auto bytes = digest(EVP_sha256(), der_);
  return to_hex(bytes.data(), bytes.size());
}

std::string Certificate::subject() const { return name_text(X509_get_subject_name(x509_.get())); }

std::string Certificate::issuer() const { return name_text(X509_get_issuer_name(x509_.get())); }

std::chrono::system_clock::time_point Certificate::not_before() const {
  return time_point_of(X509_get0_notBefore(x509_.get()));
}

std::chrono::system_clock::time_point Certificate::not_after() const {
  return time_point_of(X509_get0_notAfter(x509_.get()));
}

std::string Certificate::application_uri() const {
  GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(x509_.get(), NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return {};
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type != GEN_URI) continue;
    const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                       static_cast<std::size_t>(ASN1_STRING_length(uri)));
  }
  return {};
}

std::vector<std::string> Certificate::host_names() const {
  std::vector<std::string> out;
  GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(x509_.get(), NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return out;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type == GEN_DNS) {
      const ASN1_IA5STRING* dns = name->d.dNSName;
      out.push_back("DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                         static_cast<std::size_t>(ASN1_STRING_length(dns))));
    } else if (name->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* ip = name->d.iPAddress;
      const int length = ASN1_STRING_length(ip);
      char text[INET6_ADDRSTRLEN] = {};
      const int family = length == 4 ? AF_INET : length == 16 ? AF_INET6 : -1;
      if (family < 0 ||
          ::inet_ntop(family, ASN1_STRING_get0_data(ip), text, sizeof text) == nullptr) {
        out.push_back(fmt::format("IP:(an address of {} bytes)", length));
      } else {
        out.push_back(std::string("IP:") + text);
      }
    }
  }
  return out;
}

bool Certificate::names_host(std::string_view host) const {
  const std::string name(host);
  unsigned char address[16];
  if (::inet_pton(AF_INET, name.c_str(), address) == 1 ||
      ::inet_pton(AF_INET6, name.c_str(), address) == 1) {
    return X509_check_ip_asc(x509_.get(), name.c_str(), 0) == 1;
  }
  // OpenSSL's matcher compares without regard to case and allows a wildcard only as a whole
  // left-most label; the subject's CN is never consulted, as for any name in a SAN-era cert.
  const unsigned flags = X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;
  return X509_check_host(x509_.get(), name.data(), name.size(), flags, nullptr) == 1;
}

EVP_PKEY* Certificate::public_key() const { return X509_get0_pubkey(x509_.get()); }

int Certificate::key_bits() const { return EVP_PKEY_get_bits(public_key()); }

std::string format_utc(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto secs = floor<seconds>(t);
  const auto date = floor<days>(secs);
  const year_month_day ymd(date);
  const hh_mm_ss hms(secs - date);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} UTC", static_cast<int>(ymd.year()),
                     static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                     hms.hours().count(), hms.minutes().count(), hms.seconds().count());
}

}  // namespace pyqar::ua
