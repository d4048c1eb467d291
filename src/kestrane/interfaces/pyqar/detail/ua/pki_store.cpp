#include "pki_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include "journel/atomic_file_write.h"
#include "journel/log.h"
#include "journel/unique_fd.h"

namespace pyqar::ua {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOwnCertificate = "own/certs/kestrane.der";
constexpr const char* kOwnKey = "own/private/kestrane.pem";
constexpr const char* kOwnLock = "own/kestrane.lock";
constexpr const char* kTrustedCerts = "trusted/certs";
constexpr const char* kTrustedCrls = "trusted/crl";
constexpr const char* kIssuerCerts = "issuers/certs";
constexpr const char* kIssuerCrls = "issuers/crl";
constexpr const char* kRejectedCerts = "rejected/certs";
constexpr const char* kLayout[] = {"own/certs",  "own/private", kTrustedCerts, kTrustedCrls,
                                   kIssuerCerts, kIssuerCrls,   kRejectedCerts};

constexpr int kOwnKeyBits = 2048;
constexpr int kMinServerKeyBits = 2048;
constexpr int kMaxServerKeyBits = 4096;
// Five years, counting the leap days they may hold.
constexpr int kOwnValidityDays = 5 * 365 + 2;
// Backdated so that a peer whose clock is a little behind still accepts the certificate.
constexpr long kOwnBackdateSeconds = 60;
constexpr int kSerialBytes = 20;
// How long before its expiry our own certificate is worth a warning at every start.
constexpr std::chrono::hours kOwnExpiryWarning{30 * 24};
// The longest common name the X.509 name rules allow.
constexpr std::size_t kMaxCommonName = 64;
constexpr std::string_view kPemStart = "-----BEGIN";
constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;
constexpr fs::perms kReadableByAll = kOwnerOnly | fs::perms::group_read | fs::perms::others_read;

std::string errno_text(int err) { return std::strerror(err); }

// An exclusive flock on a file, held for the object's life; a second holder waits.
class FileLock {
 public:
  explicit FileLock(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_.get() < 0) {
      throw std::runtime_error(
          fmt::format("cannot open the lock file '{}': {}", path, std::strerror(errno)));
    }
    int rc = 0;
    while ((rc = ::flock(fd_.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
      throw std::runtime_error(fmt::format("cannot lock '{}': {}", path, std::strerror(errno)));
    }
  }
  // Closing the descriptor releases the lock.

 private:
  journel::UniqueFd fd_;
};

// Text that held key material is wiped before its memory is returned.
struct SecretText {
  std::string text;
  ~SecretText() { OPENSSL_cleanse(text.data(), text.size()); }
};

std::string path_in(const std::string& root, const char* relative) {
  return (fs::path(root) / relative).string();
}

std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool is_present(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return false;
  if (ec) throw std::runtime_error(fmt::format("cannot inspect '{}': {}", path, ec.message()));
  return true;
}

std::string read_fd(int fd, const std::string& path) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(fmt::format("cannot read '{}': {}", path, errno_text(errno)));
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  OPENSSL_cleanse(buffer, sizeof buffer);
  return bytes;
}

// Writes `bytes` to a new file beside `target`, created with `mode` (never wider, not even for
// a moment), then renames it over `target`: a crash leaves the old file or the new one, never
// half of one.
void write_file_atomically(const fs::path& target, std::string_view bytes, fs::perms mode) {
  try {
    journel::write_file_atomically(target, bytes, {.create_mode = mode, .exact_mode = {}});
  } catch (const journel::AtomicWriteError& e) {
    // A new file that cannot be made is named itself; every later failure names the target.
    if (e.step() == journel::AtomicWriteError::Step::kCreate) {
      throw std::runtime_error(fmt::format("cannot create '{}': {}", e.temporary().string(),
                                           errno_text(e.code().value())));
    }
    throw;
  }
}

int refuse_passphrase(char*, int, int, void*) { return -1; }

EvpPkeyPtr load_private_key(const std::string& path) {
  const journel::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    throw std::runtime_error(
        fmt::format("cannot read the private key '{}': {}", path, errno_text(errno)));
  }
  // Checked on the open file, so the mode judged is the mode of the file read.
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    throw std::runtime_error(
        fmt::format("cannot inspect the private key '{}': {}", path, errno_text(errno)));
  }
  if (!S_ISREG(st.st_mode)) {
    throw std::runtime_error(fmt::format("the private key '{}' is not a regular file", path));
  }
  if ((st.st_mode & 077) != 0) {
    throw std::runtime_error(
        fmt::format("the private key '{}' is {} (mode {:04o}); chmod 600 it", path,
                    (st.st_mode & 044) != 0 ? "readable by others" : "open to group or others",
                    st.st_mode & 07777));
  }
  const SecretText pem{read_fd(fd.get(), path)};
  BioPtr bio(BIO_new_mem_buf(pem.text.data(), static_cast<int>(pem.text.size())));
  EvpPkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_passphrase, nullptr)
                     : nullptr);
  if (!key) {
    throw std::runtime_error(fmt::format("the private key '{}' is corrupt or encrypted ({})", path,
                                         openssl_error("not a PEM private key")));
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    throw std::runtime_error(fmt::format("the private key '{}' is not an RSA key", path));
  }
  return key;
}

void add_extension(X509* x509, X509V3_CTX& ctx, int nid, const char* value) {
  X509ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  if (!ext || X509_add_ext(x509, ext.get(), -1) != 1) {
    throw std::runtime_error(fmt::format("cannot add the certificate extension {} = {}: {}",
                                         OBJ_nid2sn(nid), value, openssl_error("failed")));
  }
}

void add_general_name(GENERAL_NAMES* names, int type, const std::string& text) {
  Asn1Ia5StringPtr value(ASN1_IA5STRING_new());
  GeneralNamePtr name(GENERAL_NAME_new());
  if (!value || !name ||
      ASN1_STRING_set(value.get(), text.data(), static_cast<int>(text.size())) != 1) {
    throw std::runtime_error("cannot build the subject alternative name: out of memory");
  }
  GENERAL_NAME_set0_value(name.get(), type, value.release());
  if (sk_GENERAL_NAME_push(names, name.get()) <= 0) {
    throw std::runtime_error("cannot build the subject alternative name: out of memory");
  }
  name.release();
}

X509Ptr make_self_signed(EVP_PKEY* key, std::string_view hostname) {
  const auto fail = [](const char* what) {
    return std::runtime_error(fmt::format("cannot make the application certificate: {} ({})", what,
                                          openssl_error("failed")));
  };
  X509Ptr x509(X509_new());
  if (!x509 || X509_set_version(x509.get(), X509_VERSION_3) != 1) throw fail("X509_new");

  // Positive (top bit clear) and never zero or short (second bit set).
  unsigned char serial[kSerialBytes];
  if (RAND_bytes(serial, sizeof serial) != 1) throw fail("random serial number");
  serial[0] = static_cast<unsigned char>((serial[0] & 0x7f) | 0x40);
  BignumPtr serial_number(BN_bin2bn(serial, sizeof serial, nullptr));
  if (!serial_number ||
      BN_to_ASN1_INTEGER(serial_number.get(), X509_get_serialNumber(x509.get())) == nullptr) {
    throw fail("serial number");
  }

  std::time_t now = std::time(nullptr);
  if (X509_time_adj_ex(X509_getm_notBefore(x509.get()), 0, -kOwnBackdateSeconds, &now) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(x509.get()), kOwnValidityDays, -kOwnBackdateSeconds,
                       &now) == nullptr) {
    throw fail("validity dates");
  }

  // Added O first so that the one-line form, most specific first, reads "CN=..., O=...".
  std::string common_name = "Kestrane@" + std::string(hostname);
  if (common_name.size() > kMaxCommonName) common_name.resize(kMaxCommonName);
  X509NamePtr name(X509_NAME_new());
  if (!name ||
      X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>("Kestrane"), -1, -1,
                                 0) != 1 ||
      X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                                 -1, 0) != 1 ||
      X509_set_subject_name(x509.get(), name.get()) != 1 ||
      X509_set_issuer_name(x509.get(), name.get()) != 1 || X509_set_pubkey(x509.get(), key) != 1) {
    throw fail("subject name");
  }

  X509V3_CTX ctx{};
  X509V3_set_ctx(&ctx, x509.get(), x509.get(), nullptr, nullptr, 0);
  add_extension(x509.get(), ctx, NID_basic_constraints, "critical,CA:FALSE");
  add_extension(x509.get(), ctx, NID_key_usage,
                "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment");
  add_extension(x509.get(), ctx, NID_ext_key_usage, "clientAuth,serverAuth");
  // The key identifier first: the authority key identifier of a self-signed certificate is
  // taken from it.
  add_extension(x509.get(), ctx, NID_subject_key_identifier, "hash");
  add_extension(x509.get(), ctx, NID_authority_key_identifier, "keyid:always");

  // Built as values, not as configuration text, so that no host name can inject a second name.
  GeneralNamesPtr alt_names(GENERAL_NAMES_new());
  if (!alt_names) throw fail("subject alternative name");
  add_general_name(alt_names.get(), GEN_URI, "urn:" + std::string(hostname) + ":Kestrane");
  add_general_name(alt_names.get(), GEN_DNS, std::string(hostname));
  if (X509_add1_ext_i2d(x509.get(), NID_subject_alt_name, alt_names.get(), 0, X509V3_ADD_DEFAULT) !=
      1) {
    throw fail("subject alternative name");
  }

  if (X509_sign(x509.get(), key, EVP_sha256()) <= 0) throw fail("signing");
  return x509;
}

// The objects in a DER file (exactly one, nothing after it) or a PEM file (one or more).
template <typename T, void (*Free)(T*)>
std::vector<OpenSslPtr<T, Free>> parse_objects(const std::string& bytes,
                                               T* (*from_der)(T**, const unsigned char**, long),
                                               T* (*from_pem)(BIO*, T**, pem_password_cb*, void*)) {
  std::vector<OpenSslPtr<T, Free>> objects;
  if (bytes.empty()) throw std::invalid_argument("the file is empty");
  if (bytes.compare(0, kPemStart.size(), kPemStart) == 0) {
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) throw std::invalid_argument("out of memory");
    while (T* object = from_pem(bio.get(), nullptr, refuse_passphrase, nullptr)) {
      objects.emplace_back(object);
    }
    // The end of the file also reads as an error: only a file with nothing in it is corrupt.
    const std::string error = openssl_error("no PEM object");
    if (objects.empty()) throw std::invalid_argument(error);
    return objects;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  OpenSslPtr<T, Free> object(from_der(nullptr, &p, static_cast<long>(bytes.size())));
  if (!object) throw std::invalid_argument(openssl_error("not DER"));
  const auto used =
      static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(bytes.data()));
  if (used != bytes.size()) {
    throw std::invalid_argument(fmt::format("{} bytes after the end", bytes.size() - used));
  }
  objects.push_back(std::move(object));
  return objects;
}

// The regular files in `folder`, sorted so that warnings come in a stable order. A missing
// folder holds nothing; one that cannot be read is reported and holds nothing.
std::vector<fs::path> files_in(const std::string& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code type_ec;
    if (it->is_regular_file(type_ec)) files.push_back(it->path());
  }
  if (ec && ec != std::errc::no_such_file_or_directory) {
    journel::get_logger("pyqar")->warn("Cannot read the PKI folder '{}': {}", folder, ec.message());
  }
  std::sort(files.begin(), files.end());
  return files;
}

template <typename T, void (*Free)(T*), typename Use>
void load_folder(const std::string& folder, T* (*from_der)(T**, const unsigned char**, long),
                 T* (*from_pem)(BIO*, T**, pem_password_cb*, void*), Use use) {
  for (const fs::path& file : files_in(folder)) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
      if (!in && !in.eof()) throw std::invalid_argument(errno_text(errno));
      for (auto& object : parse_objects<T, Free>(bytes, from_der, from_pem)) {
        use(std::move(object));
      }
    } catch (const std::invalid_argument& e) {
      journel::get_logger("pyqar")->warn("Skipping the unreadable or corrupt file '{}': {}",
                                         file.string(), e.what());
    }
  }
}

// A missing CRL means the issuer publishes none here: revocation is then not checked for its
// certificates. Every other fault stops verification.
int tolerate_missing_crl(int ok, X509_STORE_CTX* ctx) {
  if (ok == 0 && X509_STORE_CTX_get_error(ctx) == X509_V_ERR_UNABLE_TO_GET_CRL) return 1;
  return ok;
}

Certificate shared_certificate(X509* x509) {
  X509_up_ref(x509);
  return Certificate(X509Ptr(x509));
}

// Copies the server certificate to rejected/certs/ and says how to trust it.
CertificateVerdict reject(const std::string& root, const Certificate& server,
                          const std::string& who) {
  const std::string hex = server.sha1_hex();
  const fs::path folder = fs::path(root) / kRejectedCerts;
  const std::string copy = (folder / (hex + ".der")).string();
  const std::string trusted = path_in(root, kTrustedCerts) + "/";
  CertificateVerdict verdict{CertificateVerdict::Kind::Untrusted, {}, {}};
  try {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
      throw std::runtime_error(
          fmt::format("cannot create '{}': {}", folder.string(), ec.message()));
    }
    const auto& der = server.der();
    write_file_atomically(copy,
                          std::string_view(reinterpret_cast<const char*>(der.data()), der.size()),
                          kReadableByAll);
  } catch (const std::runtime_error& e) {
    verdict.message = fmt::format(
        "{} is not trusted, and it could not be copied to {} ({}). To trust it, put a copy of "
        "it in {}",
        who, copy, e.what(), shell_quoted(trusted));
    return verdict;
  }
  verdict.message = fmt::format("{} is not trusted; it was copied to {}. To trust it: mv {} {}",
                                who, copy, shell_quoted(copy), shell_quoted(trusted));
  verdict.rejected_path = copy;
  return verdict;
}

}  // namespace

PkiStore::PkiStore(std::string root) : root_(std::move(root)) {
  if (root_.empty()) throw std::runtime_error("cannot create PKI folder '': no folder given");
  std::vector<std::string> folders{root_};
  for (const char* sub : kLayout) folders.push_back(path_in(root_, sub));
  for (const std::string& folder : folders) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
      throw std::runtime_error(
          fmt::format("cannot create PKI folder '{}': {}", folder, ec.message()));
    }
  }
}

ApplicationIdentity PkiStore::own_identity(std::string_view hostname) const {
  const std::string cert_path = path_in(root_, kOwnCertificate);
  const std::string key_path = path_in(root_, kOwnKey);
  // Held while the pair is looked at, made or read: a process that finds the folder empty
  // makes the pair while any other waits here, then finds both files whole.
  const FileLock lock(path_in(root_, kOwnLock));
  const bool have_cert = is_present(cert_path);
  const bool have_key = is_present(key_path);

  if (!have_cert && !have_key) {
    if (hostname.empty()) throw std::invalid_argument("no host name for the certificate");
    EvpPkeyPtr key(EVP_RSA_gen(kOwnKeyBits));
    if (!key) {
      throw std::runtime_error("cannot make an RSA key: " + openssl_error("key generation"));
    }
    Certificate cert(make_self_signed(key.get(), hostname));

    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
      throw std::runtime_error("cannot encode the private key: " + openssl_error("failed"));
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    SecretText pem{std::string(data, static_cast<std::size_t>(size))};
    OPENSSL_cleanse(data, static_cast<std::size_t>(size));

    write_file_atomically(key_path, pem.text, kOwnerOnly);
    try {
      const auto& der = cert.der();
      write_file_atomically(cert_path,
                            std::string_view(reinterpret_cast<const char*>(der.data()), der.size()),
                            kReadableByAll);
    } catch (...) {
      // A key alone would be refused at the next start; without it the pair is made afresh.
      ::unlink(key_path.c_str());
      throw;
    }
    journel::get_logger("pyqar")->info(
        "Created the OPC UA application certificate {} (thumbprint {})", cert_path,
        cert.sha1_hex());
    std::string uri = cert.application_uri();
    return {std::move(cert), std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free),
            std::move(uri)};
  }

  if (!have_cert) {
    throw std::runtime_error(fmt::format(
        "the OPC UA application certificate '{}' is missing but its private key '{}' exists; "
        "restore the certificate, or remove the key to have a new pair made",
        cert_path, key_path));
  }
  if (!have_key) {
    throw std::runtime_error(fmt::format(
        "the private key '{}' of the OPC UA application certificate '{}' is missing; restore "
        "the key, or remove the certificate to have a new pair made",
        key_path, cert_path));
  }
  EvpPkeyPtr key = load_private_key(key_path);
  Certificate cert = Certificate::from_file(cert_path);
  if (EVP_PKEY_eq(cert.public_key(), key.get()) != 1) {
    throw std::runtime_error(fmt::format("the private key '{}' does not match the certificate '{}'",
                                         key_path, cert_path));
  }
  std::string uri = cert.application_uri();
  if (uri.empty()) {
    throw std::runtime_error(fmt::format(
        "the certificate '{}' has no URI in its subject alternative name, so it cannot name "
        "this application; remove it and '{}' to have a new pair made",
        cert_path, key_path));
  }
  return {std::move(cert), std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free), std::move(uri)};
}

void PkiStore::report_own_expiry(const Certificate& own,
                                 std::chrono::system_clock::time_point now) const {
  const std::string file = path_in(root_, kOwnCertificate);
  const std::string date = format_utc(own.not_after());
  if (now >= own.not_after()) {
    journel::get_logger("pyqar")->error(
        "Our OPC UA application certificate {} expired on {}: servers will refuse it; remove it "
        "and its key {} to have a new pair made, then have the servers trust the new one",
        file, date, path_in(root_, kOwnKey));
  } else if (now + kOwnExpiryWarning >= own.not_after()) {
    journel::get_logger("pyqar")->warn(
        "Our OPC UA application certificate {} expires on {}: servers will refuse it from then "
        "on; plan a new one (remove it and its key {} to have a new pair made)",
        file, date, path_in(root_, kOwnKey));
  }
}

// The server certificate's own faults come first (dates, key, key usage, host, self-signature):
// they do not depend on the folders, and a certificate that can never be used should not be
// offered for trust. Then the chain as OpenSSL builds it, then the application URI.
CertificateVerdict PkiStore::validate(const Certificate& server,
                                      std::string_view expected_application_uri,
                                      std::optional<std::string_view> expected_host) const {
  using Kind = CertificateVerdict::Kind;
  const std::string who =
      fmt::format("Server certificate \"{}\" (thumbprint {})", server.subject(), server.sha1_hex());
  const auto verdict = [](Kind kind, std::string message) {
    return CertificateVerdict{kind, std::move(message), {}};
  };

  const auto now = std::chrono::system_clock::now();
  if (now > server.not_after()) {
    return verdict(Kind::Expired,
                   fmt::format("{} expired on {}", who, format_utc(server.not_after())));
  }
  if (now < server.not_before()) {
    return verdict(Kind::NotYetValid,
                   fmt::format("{} is not valid before {}", who, format_utc(server.not_before())));
  }
  if (const int bits = server.key_bits(); bits < kMinServerKeyBits || bits > kMaxServerKeyBits) {
    return verdict(Kind::Unusable,
                   fmt::format("{} cannot be used: its RSA key has {} bits, not {} to {}", who,
                               bits, kMinServerKeyBits, kMaxServerKeyBits));
  }
  const std::uint32_t usage = X509_get_key_usage(server.x509());
  for (const auto& [bit, name] : {std::pair{KU_DIGITAL_SIGNATURE, "digitalSignature"},
                                  std::pair{KU_KEY_ENCIPHERMENT, "keyEncipherment"}}) {
    if ((usage & bit) == 0) {
      return verdict(Kind::Unusable,
                     fmt::format("{} cannot be used: its key usage lacks {}", who, name));
    }
  }
  // A CA vouches for the server's names, not for whatever address reaches it.
  if (expected_host && !server.names_host(*expected_host)) {
    const std::vector<std::string> names = server.host_names();
    return verdict(
        Kind::HostMismatch,
        fmt::format("{} is not issued for the host '{}' of the endpoint URL: it names {}; "
                    "connect by one of those names, or set opc_skip_hostname_check = true if "
                    "this server is reached by an address its certificate lacks",
                    who, *expected_host,
                    names.empty() ? std::string("no DNS name or IP address")
                                  : fmt::format("{}", fmt::join(names, ", "))));
  }
  if (X509_self_signed(server.x509(), 0) == 1 &&
      X509_verify(server.x509(), server.public_key()) != 1) {
    ERR_clear_error();
    return verdict(Kind::Unusable, fmt::format("{} cannot be used: its signature is bad", who));
  }

  X509StorePtr store(X509_STORE_new());
  X509StackPtr untrusted(sk_X509_new_null());
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!store || !untrusted || !ctx) throw std::runtime_error("cannot verify: out of memory");
  const auto add_cert = [&](X509Ptr x509) { X509_STORE_add_cert(store.get(), x509.get()); };
  const auto add_crl = [&](X509CrlPtr crl) { X509_STORE_add_crl(store.get(), crl.get()); };
  const auto add_untrusted = [&](X509Ptr x509) {
    if (sk_X509_push(untrusted.get(), x509.get()) > 0) x509.release();
  };
  load_folder<X509, X509_free>(path_in(root_, kTrustedCerts), d2i_X509, PEM_read_bio_X509,
                               add_cert);
  load_folder<X509_CRL, X509_CRL_free>(path_in(root_, kTrustedCrls), d2i_X509_CRL,
                                       PEM_read_bio_X509_CRL, add_crl);
  load_folder<X509, X509_free>(path_in(root_, kIssuerCerts), d2i_X509, PEM_read_bio_X509,
                               add_untrusted);
  load_folder<X509_CRL, X509_CRL_free>(path_in(root_, kIssuerCrls), d2i_X509_CRL,
                                       PEM_read_bio_X509_CRL, add_crl);
  ERR_clear_error();

  // A trusted leaf counts on its own (an operator trusts a server's certificate, not its CA).
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_CHECK_SS_SIGNATURE |
                                        X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  X509_STORE_set_verify_cb(store.get(), tolerate_missing_crl);
  if (X509_STORE_CTX_init(ctx.get(), store.get(), server.x509(), untrusted.get()) != 1) {
    throw std::runtime_error("cannot verify: " + openssl_error("X509_STORE_CTX_init"));
  }
  const int verified = X509_verify_cert(ctx.get());
  ERR_clear_error();
  if (verified != 1) {
    const int error = X509_STORE_CTX_get_error(ctx.get());
    X509* at = X509_STORE_CTX_get_current_cert(ctx.get());
    const bool at_server = at == nullptr || X509_cmp(at, server.x509()) == 0;
    const Certificate culprit = at_server ? server : shared_certificate(at);
    const std::string in_chain =
        at_server ? std::string()
                  : fmt::format(": the certificate \"{}\" in its chain", culprit.subject());
    switch (error) {
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return reject(root_, server, who);
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return verdict(
            Kind::ChainIncomplete,
            fmt::format("{}{} was issued by \"{}\", which is in neither '{}/' nor '{}/'; put the "
                        "issuer's certificate in '{}/' (or in '{}/' to trust it)",
                        who, in_chain, culprit.issuer(), path_in(root_, kTrustedCerts),
                        path_in(root_, kIssuerCerts), path_in(root_, kIssuerCerts),
                        path_in(root_, kTrustedCerts)));
      case X509_V_ERR_CERT_HAS_EXPIRED:
        return verdict(Kind::Expired, fmt::format("{}{} expired on {}", who, in_chain,
                                                  format_utc(culprit.not_after())));
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return verdict(Kind::NotYetValid, fmt::format("{}{} is not valid before {}", who, in_chain,
                                                      format_utc(culprit.not_before())));
      case X509_V_ERR_CERT_REVOKED:
        return verdict(Kind::Revoked, fmt::format("{}{} has been revoked by its issuer \"{}\"", who,
                                                  in_chain, culprit.issuer()));
      default:
        return verdict(Kind::Unusable, fmt::format("{}{} failed verification: {}", who, in_chain,
                                                   X509_verify_cert_error_string(error)));
    }
  }

  if (!expected_application_uri.empty()) {
    const std::string uri = server.application_uri();
    if (uri != expected_application_uri) {
      return verdict(Kind::UriMismatch,
                     fmt::format("{} names the application URI \"{}\" but the endpoint describes "
                                 "the server as \"{}\"",
                                 who, uri, expected_application_uri));
    }
  }
  return {};
}

std::string PkiStore::trust_rejected(std::string_view sha1_hex) const {
  std::string hex(sha1_hex);
  if (hex.size() != 40 ||
      !std::all_of(hex.begin(), hex.end(), [](unsigned char c) { return std::isxdigit(c) != 0; })) {
    throw std::invalid_argument(
        fmt::format("'{}' is not a SHA-1 thumbprint (40 hexadecimal digits)", hex));
  }
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const fs::path from = fs::path(root_) / kRejectedCerts / (hex + ".der");
  const fs::path to_folder = fs::path(root_) / kTrustedCerts;
  const fs::path to = to_folder / (hex + ".der");
  if (!is_present(from.string())) {
    throw std::runtime_error(fmt::format(
        "'{}' does not exist: no rejected certificate has that thumbprint", from.string()));
  }
  std::error_code ec;
  fs::create_directories(to_folder, ec);
  if (!ec) fs::rename(from, to, ec);
  if (ec) {
    throw std::runtime_error(
        fmt::format("cannot move '{}' to '{}': {}", from.string(), to.string(), ec.message()));
  }
  return to.string();
}

std::string local_hostname() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace pyqar::ua
