#include "ua_test_server.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace kestrane_test {
namespace {

const std::filesystem::path kServerDir = KESTRANE_UA_TEST_SERVER_DIR;

// Servers of one test process share a certificate folder, so only the first one spends
// time making its key pair. Removed when the process ends.
const std::filesystem::path& cert_dir() {
  static const TempDir dir("kestrane-ua-certs-");
  return dir.path();
}

// A self-signed server certificate and key for 127.0.0.1, made once per process (an RSA key
// takes a moment) and shared by every server it starts. Returns the PEM files.
const std::pair<std::filesystem::path, std::filesystem::path>& default_server_pair() {
  static const auto pair = [] {
    const auto cert = cert_dir() / "test-server-cert.pem";
    const auto key = cert_dir() / "test-server-key.pem";
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(EVP_RSA_gen(2048), &EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x509(X509_new(), &X509_free);
    if (!pkey || !x509) throw std::runtime_error("cannot make the test server's key pair");
    X509_set_version(x509.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(x509.get()), 30L * 86400);
    X509_set_pubkey(x509.get(), pkey.get());
    X509_NAME* name = X509_get_subject_name(x509.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Kestrane UA test server"),
                               -1, -1, 0);
    X509_set_issuer_name(x509.get(), name);
    X509V3_CTX ctx{};
    X509V3_set_ctx(&ctx, x509.get(), x509.get(), nullptr, nullptr, 0);
    const std::string san =
        std::string("URI:") + UaTestServer::kDefaultApplicationUri + ",DNS:localhost,IP:127.0.0.1";
    for (const auto& [nid, value] : {std::pair<int, std::string>{NID_subject_alt_name, san},
                                     {NID_key_usage,
                                      "critical,digitalSignature,nonRepudiation,keyEncipherment,"
                                      "dataEncipherment"},
                                     {NID_basic_constraints, "critical,CA:FALSE"}}) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
      if (ext == nullptr) throw std::runtime_error("cannot add " + value);
      X509_add_ext(x509.get(), ext, -1);
      X509_EXTENSION_free(ext);
    }
    if (X509_sign(x509.get(), pkey.get(), EVP_sha256()) <= 0) {
      throw std::runtime_error("cannot sign the test server's certificate");
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> cert_out(BIO_new_file(cert.c_str(), "w"), &BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> key_out(BIO_new_file(key.c_str(), "w"), &BIO_free);
    if (!cert_out || !key_out || PEM_write_bio_X509(cert_out.get(), x509.get()) != 1 ||
        PEM_write_bio_PrivateKey(key_out.get(), pkey.get(), nullptr, nullptr, 0, nullptr,
                                 nullptr) != 1) {
      throw std::runtime_error("cannot write the test server's key pair to " + cert_dir().string());
    }
    ERR_clear_error();
    return std::pair{cert, key};
  }();
  return pair;
}

std::optional<std::string> find_node() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const auto end = dirs.find(':', start);
    const std::string dir =
        dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const auto candidate = std::filesystem::path(dir.empty() ? "." : dir) / "node";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return std::nullopt;
}

std::string join(const std::vector<std::string>& items) {
  std::string joined;
  for (const auto& item : items) joined += (joined.empty() ? "" : ",") + item;
  return joined;
}

// The value of " key=value" in the ready line; the fields hold no spaces.
std::optional<std::string> ready_field(const std::string& line, const std::string& key) {
  const std::string tag = " " + key + "=";
  const auto at = line.find(tag);
  if (at == std::string::npos) return std::nullopt;
  const auto start = at + tag.size();
  return line.substr(start, line.find(' ', start) - start);
}

// The certificate in `file` (PEM or DER) re-encoded as DER.
std::vector<std::uint8_t> certificate_as_der(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!in && !in.eof()) throw std::runtime_error("cannot read " + file.string());
  std::unique_ptr<X509, decltype(&X509_free)> cert(nullptr, &X509_free);
  if (bytes.find("-----BEGIN CERTIFICATE-----") != std::string::npos) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), &BIO_free);
    if (bio) cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  } else {
    auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    cert.reset(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
  }
  // Failed parses leave entries on this thread's OpenSSL error queue, which the client
  // under test reads on the same thread.
  ERR_clear_error();
  const int size = cert ? i2d_X509(cert.get(), nullptr) : -1;
  if (size <= 0) throw std::runtime_error("no certificate in " + file.string());
  std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
  unsigned char* out = der.data();
  i2d_X509(cert.get(), &out);
  return der;
}

}  // namespace

std::optional<std::string> UaTestServer::unavailable_reason() {
  if (!find_node()) return "node is not installed (run scripts/deps)";
  if (!std::filesystem::exists(kServerDir / "node_modules" / "node-opcua")) {
    return "the OPC UA test server's npm modules are missing in " + kServerDir.string() +
           " (run scripts/deps)";
  }
  return std::nullopt;
}

UaTestServer::UaTestServer(Options options) {
  if (auto reason = unavailable_reason()) throw std::runtime_error(*reason);
  work_dir_.emplace("kestrane-ua-");

  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const std::string node = *find_node();
  // Servers that auto-accept clients write them into their trust list, and trusted_clients
  // are written there too: a server that checks that list needs one nobody else touches.
  const bool own_pki = options.trust_required || !options.trusted_clients.empty();
  const std::filesystem::path certs = own_pki ? work_dir_->path() / "certs" : cert_dir();
  std::vector<std::string> args = {
      node,     (kServerDir / "server.js").string(), "--cert-dir", certs.string(),
      "--port", std::to_string(options.port),        "--tags",     std::to_string(options.tags)};
  if (options.max_nodes_per_read) {
    args.push_back("--max-nodes-per-read");
    args.push_back(std::to_string(*options.max_nodes_per_read));
  }
  if (options.max_message_size) {
    args.push_back("--max-message-size");
    args.push_back(std::to_string(*options.max_message_size));
  }
  if (options.max_nodes_per_browse) {
    args.push_back("--max-nodes-per-browse");
    args.push_back(std::to_string(*options.max_nodes_per_browse));
  }
  if (options.browse_tree) args.push_back("--browse-tree");
  if (options.wide) {
    args.push_back("--wide");
    args.push_back(std::to_string(*options.wide));
  }
  if (options.swap_namespaces) args.push_back("--swap-namespaces");
  if (options.flat_tags > 0) {
    args.push_back("--flat-tags");
    args.push_back(std::to_string(options.flat_tags));
  }
  if (options.ramp > 0) {
    args.push_back("--ramp");
    args.push_back(std::to_string(options.ramp));
  }
  if (options.clock_quirks > 0) {
    args.push_back("--clock-quirks");
    args.push_back(std::to_string(options.clock_quirks));
  }
  if (options.history > 0) {
    args.push_back("--history");
    args.push_back(std::to_string(options.history));
  }
  if (options.history_past > 0) {
    args.push_back("--history-past");
    args.push_back(std::to_string(options.history_past));
  }
  if (options.history_max_values > 0) {
    args.push_back("--history-max-values");
    args.push_back(std::to_string(options.history_max_values));
  }
  if (!options.history_quirks.empty()) {
    args.push_back("--history-quirks");
    args.push_back(options.history_quirks);
  }
  if (options.events) {
    args.push_back("--events");
    if (options.events_rate != 1) {
      args.push_back("--events-rate");
      args.push_back(std::to_string(options.events_rate));
    }
  }
  if (options.structures) args.push_back("--structures");
  if (options.max_monitored_items_per_call) {
    args.push_back("--max-monitored-items-per-call");
    args.push_back(std::to_string(*options.max_monitored_items_per_call));
  }
  if (options.reject_items_over) {
    args.push_back("--reject-items-over");
    args.push_back(std::to_string(*options.reject_items_over));
  }
  if (options.no_transfer) args.push_back("--no-transfer");
  if (options.max_monitored_items_per_subscription) {
    args.push_back("--max-monitored-items-per-subscription");
    args.push_back(std::to_string(*options.max_monitored_items_per_subscription));
  }
  if (!options.policies.empty()) {
    args.push_back("--policies");
    args.push_back(join(options.policies));
  }
  if (!options.modes.empty()) {
    args.push_back("--modes");
    args.push_back(join(options.modes));
  }
  if (!options.users.empty()) {
    std::vector<std::string> pairs;
    for (const auto& [user, password] : options.users) pairs.push_back(user + ":" + password);
    args.push_back("--users");
    args.push_back(join(pairs));
  }
  if (!options.allow_anonymous) args.push_back("--no-anonymous");
  if (options.trust_required) args.push_back("--trust-required");
  for (const auto& file : options.trusted_clients) {
    args.push_back("--trust-client");
    args.push_back(file.string());
  }
  if (!options.server_cert) {
    options.server_cert = default_server_pair().first;
    options.server_key = default_server_pair().second;
    if (!options.application_uri) options.application_uri = kDefaultApplicationUri;
  }
  if (options.application_uri) {
    args.push_back("--application-uri");
    args.push_back(*options.application_uri);
  }
  if (options.server_cert) {
    args.push_back("--server-cert");
    args.push_back(options.server_cert->string());
  }
  if (options.server_key) {
    args.push_back("--server-key");
    args.push_back(options.server_key->string());
  }
  if (options.min_token_lifetime_ms) {
    args.push_back("--min-token-lifetime-ms");
    args.push_back(std::to_string(*options.min_token_lifetime_ms));
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const std::string log = (work_dir_->path() / "server.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int rc = ::posix_spawn(&pid_, node.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  if (rc != 0) {
    ::close(out_pipe[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start node");
  }

  // Wait for "ready port=N ..." (starting node-opcua takes a few seconds).
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool ready = false;
  while (!ready && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out_pipe[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char c;
    const ssize_t n = ::read(out_pipe[0], &c, 1);
    if (n <= 0) break;
    if (c != '\n') {
      line.push_back(c);
      continue;
    }
    ready = line.rfind("ready port=", 0) == 0;
    if (!ready) line.clear();
  }
  ::close(out_pipe[0]);
  if (!ready) {
    reap();
    // The folder with the log goes with this object, so the log travels in the message.
    std::ifstream in(log);
    const std::string said{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    throw std::runtime_error("the OPC UA test server did not start; it said:\n" + said);
  }
  try {
    take_ready_line(line);
  } catch (...) {
    reap();
    throw;
  }
}

void UaTestServer::take_ready_line(const std::string& line) {
  port_ = std::stoi(line.substr(11));
  const auto cert = ready_field(line, "cert");
  const auto uri = ready_field(line, "uri");
  const auto rejected = ready_field(line, "rejected");
  if (!cert || !uri || !rejected) {
    throw std::runtime_error(
        "the OPC UA test server's ready line lacks cert=, uri= or rejected=: " + line);
  }
  certificate_path_ = *cert;
  application_uri_ = *uri;
  rejected_dir_ = *rejected;
  certificate_der_ = certificate_as_der(certificate_path_);
  certificate_der_path_ =
      work_dir_->write("server_certificate.der",
                       std::string_view(reinterpret_cast<const char*>(certificate_der_.data()),
                                        certificate_der_.size()));
}

UaTestServer::~UaTestServer() { reap(); }

void UaTestServer::kill() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (stdin_fd_ >= 0) {
    ::close(stdin_fd_);
    stdin_fd_ = -1;
  }
}

void UaTestServer::pause() {
  if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void UaTestServer::resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

void UaTestServer::delete_lowest_subscription() {
  if (pid_ > 0) ::kill(pid_, SIGUSR2);
}

void UaTestServer::expire_sessions() {
  if (pid_ > 0) ::kill(pid_, SIGHUP);
}

void UaTestServer::reap() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGTERM);
    // Give it a moment to shut down cleanly, then make sure it is gone.
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      ::usleep(20'000);
    }
  }
  kill();
}

}  // namespace kestrane_test
