// The client against scripted loopback servers that misbehave: silence, ERR messages,
// oversized or malformed chunks, unsupported security. Each must become one clear error,
// never a hang or a crash.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <span>
#include <stdexcept>
#include <thread>

#include "pyqar/rt_source.h"
#include "pyqar/ua_browser.h"
#include "pyqar/ua_security.h"
#include "refusing_port.h"
#include "response_header.h"
#include "temp_dir.h"
#include "ua/binary_reader.h"
#include "ua/binary_writer.h"
#include "ua/channel_crypto.h"
#include "ua/pki_store.h"
#include "ua/status_code.h"
#include "ua/ua_codec.h"
#include "ua/ua_limits.h"
#include "ua/ua_messages.h"
#include "ua/ua_session.h"
#include "ua/ua_source.h"
#include "ua/ua_subscription_messages.h"

namespace {

using namespace pyqar::ua;
using pyqar::ua::testing::write_response_header;

// A loopback listener that serves one connection with a script, on its own thread.
class ScriptedServer {
 public:
  using Script = std::function<void(int fd)>;

  explicit ScriptedServer(Script script) : ScriptedServer(std::vector<Script>{std::move(script)}) {}
  // One script per connection, in the order the client connects.
  explicit ScriptedServer(std::vector<Script> scripts) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, static_cast<int>(scripts.size())) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, scripts = std::move(scripts)] {
      for (const Script& script : scripts) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        try {
          script(fd);
        } catch (const std::exception& e) {
          ADD_FAILURE() << "the scripted server failed: " << e.what();
        }
        ::close(fd);
      }
    });
  }
  ~ScriptedServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Reads one whole chunk from the client; empty when the client went away.
std::vector<std::uint8_t> read_chunk(int fd) {
  std::vector<std::uint8_t> buf(8);
  std::size_t got = 0;
  auto fill = [&](std::size_t want) {
    while (got < want) {
      const ssize_t n = ::recv(fd, buf.data() + got, want - got, 0);
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  };
  if (!fill(8)) return {};
  const std::uint32_t size =
      buf[4] | (buf[5] << 8) | (buf[6] << 16) | (static_cast<std::uint32_t>(buf[7]) << 24);
  buf.resize(size);
  if (!fill(size)) return {};
  return buf;
}

void send_bytes(int fd, const std::vector<std::uint8_t>& data) {
  (void)::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
}

std::vector<std::uint8_t> frame(const char* type, const std::vector<std::uint8_t>& body) {
  BinaryWriter w;
  w.bytes(std::vector<std::uint8_t>(type, type + 4));
  w.u32(static_cast<std::uint32_t>(8 + body.size()));
  w.bytes(body);
  return w.take();
}

std::vector<std::uint8_t> ack(std::uint32_t receive_buffer = 65536) {
  BinaryWriter w;
  for (std::uint32_t v : {0u, receive_buffer, 65536u, 0u, 0u}) w.u32(v);
  return frame("ACKF", w.data());
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Answers the client's OpenSecureChannel with channel 7, token 1.
void open_channel(int fd, const char* policy = kSecurityPolicyNone) {
  const auto opn = read_chunk(fd);
  if (opn.empty()) return;
  // header 8, channel 4, policy string, two null strings, sequence 4: the request id follows.
  const std::size_t request_id_at = 12 + 4 + u32_at(opn, 12) + 4 + 4 + 4;
  BinaryWriter body;
  encode_node_id(body, NodeId::numeric_id(0, type_id::OpenSecureChannelResponse));
  write_response_header(body);
  for (std::uint32_t v : {0u, 7u, 1u}) body.u32(v);
  body.i64(0);
  body.u32(600000);
  body.null_string();
  BinaryWriter w;
  w.u32(7);
  w.string(policy);
  w.null_string();
  w.null_string();
  w.u32(1);
  w.u32(u32_at(opn, request_id_at));
  w.bytes(body.data());
  send_bytes(fd, frame("OPNF", w.data()));
}

void answer_message(int fd, const std::vector<std::uint8_t>& request,
                    const std::vector<std::uint8_t>& body) {
  BinaryWriter w;
  w.u32(7);
  w.u32(1);
  w.u32(2);
  w.u32(u32_at(request, 20));
  w.bytes(body);
  send_bytes(fd, frame("MSGF", w.data()));
}

void drain(int fd) {
  while (!read_chunk(fd).empty()) {
  }
}

// Hello, channel, then the client's CreateSessionRequest; empty when the client went away.
std::vector<std::uint8_t> read_create_session(int fd) {
  read_chunk(fd);
  send_bytes(fd, ack());
  open_channel(fd);
  return read_chunk(fd);
}

// A CreateSessionResponse up to its endpoint list: session 1:5, token 1:6, 60 s, no nonce
// and no certificate.
BinaryWriter create_session_response() {
  BinaryWriter w;
  encode_node_id(w, NodeId::numeric_id(0, type_id::CreateSessionResponse));
  write_response_header(w);
  encode_node_id(w, NodeId::numeric_id(1, 5));
  encode_node_id(w, NodeId::numeric_id(1, 6));
  w.f64(60000);
  w.null_string();
  w.null_string();
  return w;
}

// An endpoint up to its security mode: its URL, a bare server description, no certificate.
void write_endpoint_head(BinaryWriter& w) {
  w.string("opc.tcp://127.0.0.1:1");
  w.null_string();
  w.null_string();
  w.u8(0);
  w.i32(0);
  w.null_string();
  w.null_string();
  w.i32(-1);
  w.null_string();
}

// What follows the endpoints: no software certificates, no signature, no request size limit.
void write_create_session_tail(BinaryWriter& w) {
  w.i32(-1);
  w.null_string();
  w.null_string();
  w.u32(0);
}

SessionOptions quick() {
  SessionOptions options;
  options.channel.connect_timeout = std::chrono::milliseconds(300);
  options.channel.request_timeout = std::chrono::milliseconds(300);
  return options;
}

// The error UaSource raises for the server, or "" when it connected.
std::string connect_error(const std::string& url) {
  try {
    UaSource source(url, quick());
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

#define EXPECT_CONTAINS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

TEST(RefusesMisbehavingServers, SilentServerTimesOutNamingTheAddress) {
  ScriptedServer server([](int fd) { drain(fd); });
  const std::string error = connect_error(server.url());
  EXPECT_CONTAINS(error, "timed out");
  EXPECT_CONTAINS(error, "127.0.0.1");
}

TEST(RefusesMisbehavingServers, ErrMessageBecomesItsStatusAndReason) {
  ScriptedServer server([](int fd) {
    read_chunk(fd);
    BinaryWriter w;
    w.u32(0x80830000);
    w.string("no such endpoint");
    send_bytes(fd, frame("ERRF", w.data()));
  });
  const std::string error = connect_error(server.url());
  EXPECT_CONTAINS(error, "BadTcpEndpointUrlInvalid");
  EXPECT_CONTAINS(error, "no such endpoint");
  EXPECT_CONTAINS(error, server.url());
}

TEST(RefusesMisbehavingServers, ChunkLargerThanAgreedIsRefusedBeforeReading) {
  ScriptedServer server([](int fd) {
    read_chunk(fd);
    send_bytes(fd, {'A', 'C', 'K', 'F', 0xF0, 0xFF, 0xFF, 0xFF});
  });
  EXPECT_CONTAINS(connect_error(server.url()), "above the");
}

TEST(RefusesMisbehavingServers, GarbageInsteadOfAcknowledge) {
  ScriptedServer server([](int fd) {
    read_chunk(fd);
    send_bytes(fd, {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '4', '0', '0'});
  });
  EXPECT_CONTAINS(connect_error(server.url()), "unknown message type");
}

TEST(RefusesMisbehavingServers, ReceiveBufferBelowTheMinimum) {
  ScriptedServer server([](int fd) {
    read_chunk(fd);
    send_bytes(fd, ack(1024));
  });
  EXPECT_CONTAINS(connect_error(server.url()), "receive buffer");
}

TEST(RefusesMisbehavingServers, ServerThatHangsUp) {
  ScriptedServer server([](int fd) { read_chunk(fd); });
  EXPECT_CONTAINS(connect_error(server.url()), "closed by the server");
}

TEST(RefusesMisbehavingServers, ChannelWithSecurityOtherThanNone) {
  ScriptedServer server([](int fd) {
    read_chunk(fd);
    send_bytes(fd, ack());
    open_channel(fd, "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
    drain(fd);
  });
  EXPECT_CONTAINS(connect_error(server.url()),
                  "answered with security policy "
                  "'http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256' instead of "
                  "'http://opcfoundation.org/UA/SecurityPolicy#None'");
}

TEST(RefusesMisbehavingServers, ServerCertificateBeyondTheLimit) {
  ScriptedServer server([](int fd) {
    const auto create = read_create_session(fd);
    if (create.empty()) return;
    BinaryWriter body;
    encode_node_id(body, NodeId::numeric_id(0, type_id::CreateSessionResponse));
    write_response_header(body);
    encode_node_id(body, NodeId::numeric_id(1, 5));
    encode_node_id(body, NodeId::numeric_id(1, 6));
    body.f64(60000);
    body.null_string();                                        // nonce
    body.byte_string(std::vector<std::uint8_t>(40000, 0x30));  // certificate
    body.i32(0);
    write_create_session_tail(body);
    answer_message(fd, create, body.data());
    drain(fd);
  });
  EXPECT_CONTAINS(connect_error(server.url()), "byte string of 40000 bytes exceeds the limit");
}

TEST(RefusesMisbehavingServers, ServerOfferingNoEndpointWithSecurityNone) {
  ScriptedServer server([](int fd) {
    const auto create = read_create_session(fd);
    if (create.empty()) return;
    BinaryWriter body = create_session_response();
    body.i32(1);  // one endpoint: Basic256Sha256, SignAndEncrypt
    write_endpoint_head(body);
    body.i32(3);
    body.string("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
    body.i32(-1);
    body.null_string();
    body.u8(3);
    write_create_session_tail(body);
    answer_message(fd, create, body.data());
    drain(fd);
  });
  EXPECT_CONTAINS(connect_error(server.url()),
                  "offers no endpoint with security policy None and mode None; it offers: "
                  "Basic256Sha256/SignAndEncrypt");
}

TEST(RefusesMisbehavingServers, ResponseClaimingMoreElementsThanItHolds) {
  ScriptedServer server([](int fd) {
    const auto create = read_create_session(fd);
    if (create.empty()) return;
    BinaryWriter body = create_session_response();
    body.i32(900000);  // endpoints that are not there
    answer_message(fd, create, body.data());
    drain(fd);
  });
  EXPECT_CONTAINS(connect_error(server.url()), "cannot fit");
}

// Serves a session through its opening read; false when the client went away.
bool serve_session_open(int fd) {
  const auto create = read_create_session(fd);
  if (create.empty()) return false;
  BinaryWriter created = create_session_response();
  created.i32(1);  // one endpoint: None, anonymous policy "anon"
  write_endpoint_head(created);
  created.i32(1);
  created.string(kSecurityPolicyNone);
  created.i32(1);
  created.string("anon");
  created.i32(0);
  created.null_string();
  created.null_string();
  created.null_string();
  created.null_string();
  created.u8(0);
  write_create_session_tail(created);
  answer_message(fd, create, created.data());

  const auto activate = read_chunk(fd);
  if (activate.empty()) return false;
  BinaryWriter activated;
  encode_node_id(activated, NodeId::numeric_id(0, type_id::ActivateSessionResponse));
  write_response_header(activated);
  activated.null_string();
  activated.i32(-1);
  activated.i32(-1);
  answer_message(fd, activate, activated.data());

  const auto limits = read_chunk(fd);
  if (limits.empty()) return false;
  BinaryWriter read;
  encode_node_id(read, NodeId::numeric_id(0, type_id::ReadResponse));
  write_response_header(read);
  // MaxNodesPerRead, MaxNodesPerBrowse, then a NamespaceArray the server cannot read.
  read.i32(3);
  for (int i = 0; i < 2; ++i) {
    encode_data_value(read,
                      DataValue{.value = Variant{BuiltinType::UInt32, false, std::uint64_t{0}},
                                .status = {},
                                .source_timestamp = {},
                                .server_timestamp = {}});
  }
  encode_data_value(
      read,
      DataValue{
          .value = {}, .status = 0x80340000u, .source_timestamp = {}, .server_timestamp = {}});
  read.i32(-1);
  answer_message(fd, limits, read.data());
  return true;
}

// Serves a session up to its first read, then answers reads with a ServiceFault.
void session_then_fault(int fd, std::uint32_t fault) {
  if (!serve_session_open(fd)) return;
  for (auto request = read_chunk(fd); !request.empty(); request = read_chunk(fd)) {
    BinaryWriter body;
    encode_node_id(body, NodeId::numeric_id(0, type_id::ServiceFault));
    write_response_header(body, fault);
    answer_message(fd, request, body.data());
  }
}

TEST(RefusesMisbehavingServers, ServiceFaultOnReadRaisesAndInvalidatesTheSource) {
  for (std::uint32_t fault : {0x80250000u, 0x80220000u}) {
    ScriptedServer server([fault](int fd) { session_then_fault(fd, fault); });
    UaSource source(server.url(), quick());
    ASSERT_TRUE(source.valid());
    EXPECT_EQ(source.max_nodes_per_read(), 0u);
    try {
      source.read(
          {pyqar::TagDescriptor{.data_type = 8, .namespace_index = 2, .tag_name = "Demo.Tag1"}});
      ADD_FAILURE() << "read returned despite a ServiceFault";
    } catch (const std::runtime_error& e) {
      EXPECT_CONTAINS(std::string(e.what()),
                      fault == 0x80250000u ? "BadSessionIdInvalid" : "BadSecureChannelIdInvalid");
      EXPECT_CONTAINS(std::string(e.what()), server.url());
    }
    EXPECT_FALSE(source.valid());
  }
}

// Serves a session whose every Browse and BrowseNext hands out one more continuation point.
// Counts the BrowseNext rounds and notes whether the client gave the point back. Gives up
// itself after many more rounds than the client should take, so a client without a bound
// fails rather than hangs.
void endless_continuation(int fd, std::atomic<int>& rounds, std::atomic<bool>& released) {
  if (!serve_session_open(fd)) return;
  for (auto request = read_chunk(fd); !request.empty() && rounds < 20'000;
       request = read_chunk(fd)) {
    BinaryReader r(std::span<const std::uint8_t>(request).subspan(24));
    const NodeId type = decode_node_id(r);
    BinaryWriter body;
    if (type.numeric != type_id::BrowseRequest && type.numeric != type_id::BrowseNextRequest) {
      encode_node_id(body, NodeId::numeric_id(0, type_id::ServiceFault));
      write_response_header(body, 0x80100000u);
      answer_message(fd, request, body.data());
      continue;
    }
    bool release = false;
    if (type.numeric == type_id::BrowseNextRequest) {
      decode_node_id(r);  // the request header
      r.i64();
      r.u32();
      r.u32();
      r.skip_string();
      r.u32();
      skip_extension_object(r);
      release = r.boolean();
      ++rounds;
    }
    encode_node_id(body, NodeId::numeric_id(0, type.numeric == type_id::BrowseRequest
                                                   ? type_id::BrowseResponse
                                                   : type_id::BrowseNextResponse));
    write_response_header(body);
    if (release) {
      released = true;
      body.i32(0);
    } else {
      body.i32(1);
      body.u32(0);
      body.string("again");
      body.i32(0);
    }
    body.i32(-1);
    answer_message(fd, request, body.data());
  }
}

TEST(RefusesMisbehavingServers, EndlessContinuationIsCutOffReleasedAndReported) {
  std::atomic<int> rounds{0};
  std::atomic<bool> released{false};
  ScriptedServer server([&](int fd) { endless_continuation(fd, rounds, released); });
  pyqar::UaBrowser browser(server.url());
  try {
    browser.children("i=85");
    ADD_FAILURE() << "an endless browse returned";
  } catch (const std::runtime_error& e) {
    EXPECT_CONTAINS(std::string(e.what()), "stopped after 1000 BrowseNext rounds");
    EXPECT_CONTAINS(std::string(e.what()), "i=85");
  }
  EXPECT_TRUE(released);
  EXPECT_EQ(rounds, 1000 + 1);  // the rounds, then the release
  EXPECT_TRUE(browser.usable());
}

// Serves a session whose HistoryRead refuses source and server times together, and refuses
// any call asking for 7 values per node; counts the calls by the timestamps they asked for.
void history_refusing_both(int fd, std::atomic<int>& both, std::atomic<int>& source) {
  if (!serve_session_open(fd)) return;
  for (auto request = read_chunk(fd); !request.empty(); request = read_chunk(fd)) {
    BinaryReader r(std::span<const std::uint8_t>(request).subspan(24));
    if (decode_node_id(r) != NodeId::numeric_id(0, type_id::HistoryReadRequest)) continue;
    decode_node_id(r);  // the request header
    r.i64();
    r.u32();
    r.u32();
    r.skip_string();
    r.u32();
    skip_extension_object(r);
    const ExtensionObject details = decode_extension_object(r);
    BinaryReader d(details.body);
    d.boolean();
    d.i64();
    d.i64();
    const std::uint32_t values_per_node = d.u32();
    const std::int32_t timestamps = r.i32();
    ++(timestamps == kTimestampsBoth ? both : source);
    BinaryWriter body;
    if (timestamps == kTimestampsBoth || values_per_node == 7) {
      encode_node_id(body, NodeId::numeric_id(0, type_id::ServiceFault));
      write_response_header(body, timestamps == kTimestampsBoth
                                      ? status::BadTimestampsToReturnInvalid
                                      : status::BadHistoryOperationInvalid);
    } else {
      encode_node_id(body, NodeId::numeric_id(0, type_id::HistoryReadResponse));
      write_response_header(body);
      body.i32(1);
      body.u32(status::Good);
      body.i32(-1);
      encode_extension_object(body, {});
      body.i32(-1);
    }
    answer_message(fd, request, body.data());
  }
}

TEST(RefusesMisbehavingServers, HistoryRefusingBothTimestampsGetsSourceTimesFromThenOn) {
  std::atomic<int> both{0};
  std::atomic<int> source{0};
  ScriptedServer server([&](int fd) { history_refusing_both(fd, both, source); });
  UaSession session(parse_endpoint_url(server.url()), quick());
  const std::vector<HistoryNodeToRead> nodes{
      {.node = NodeId::string_id(2, "H"), .continuation_point = {}}};
  EXPECT_EQ(session.history_read(2, 1, 0, nodes).size(), 1u);
  EXPECT_EQ(session.history_read(2, 1, 0, nodes).size(), 1u);
  EXPECT_EQ(both, 1);
  EXPECT_EQ(source, 2);
  try {
    (void)session.history_read(2, 1, 7, nodes);
    ADD_FAILURE() << "a refused HistoryRead passed";
  } catch (const ServiceError& e) {
    EXPECT_EQ(e.status(), status::BadHistoryOperationInvalid);
  }
  EXPECT_TRUE(session.usable());
  EXPECT_EQ(session.history_read(2, 1, 0, nodes).size(), 1u);
}

TEST(RefusesBadAddresses, EachWithOneErrorNamingIt) {
  for (const char* url :
       {"opc.tcp://127.0.0.1", "opc.tcp://127.0.0.1:99999", "opc.tcp://127.0.0.1:x"}) {
    try {
      pyqar::make_ua_source(url, 1000);
      ADD_FAILURE() << url;
    } catch (const std::runtime_error& e) {
      EXPECT_CONTAINS(std::string(e.what()), url);
    }
  }
  EXPECT_CONTAINS(connect_error("opc.tcp://no-such-host.invalid:4840"), "no-such-host.invalid");
}

TEST(RefusesBadAddresses, RefusedConnection) {
  const kestrane_test::RefusingPort closed;
  const int port = closed.port();
  const std::string error = connect_error("opc.tcp://127.0.0.1:" + std::to_string(port));
  EXPECT_CONTAINS(error, "cannot connect to 127.0.0.1:" + std::to_string(port));
  EXPECT_THROW(pyqar::discover_ua("127.0.0.1", port), std::runtime_error);
  EXPECT_THROW(pyqar::discover_ua("127.0.0.1", 0), std::runtime_error);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Secured scripts: a server with an identity of its own that the client's PKI folder trusts,
// securing its side of the channel with a ChannelCrypto that holds the server's key and the
// client's certificate (the two sides derive each other's keys from the same nonces).

namespace {

constexpr const char* kBasic256Sha256 = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
constexpr std::int32_t kSign = 2;
constexpr std::int32_t kSignAndEncrypt = 3;

class SecuredScripts {
 public:
  SecuredScripts()
      : client_(std::make_shared<const ApplicationIdentity>(
            PkiStore((dir_ / "client").string()).own_identity(local_hostname()))),
        server_(std::make_shared<const ApplicationIdentity>(
            PkiStore((dir_ / "server").string()).own_identity("hostile-server"))) {
    const auto& der = server_->certificate.der();
    dir_.write("client/trusted/certs/server.der",
               std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
  }

  // The client's options: Basic256Sha256 with Sign, the server's certificate trusted. The
  // scripts listen on 127.0.0.1, which the server's certificate does not name.
  SessionOptions options() const {
    SessionOptions options;
    options.channel.connect_timeout = std::chrono::seconds(5);
    options.channel.request_timeout = std::chrono::seconds(5);
    options.security.policy = pyqar::UaSecurityPolicy::Basic256Sha256;
    options.security.mode = pyqar::UaSecurityMode::Sign;
    options.security.pki_dir = (dir_ / "client").string();
    options.security.skip_hostname_check = true;
    return options;
  }

  // Endpoints of Basic256Sha256 with each of `modes`, anonymous users, the server's
  // certificate and ApplicationUri.
  void write_endpoints(BinaryWriter& w, const std::vector<std::int32_t>& modes) const {
    w.i32(static_cast<std::int32_t>(modes.size()));
    for (const std::int32_t mode : modes) {
      w.string("opc.tcp://127.0.0.1:1");
      w.string(server_->application_uri);
      w.null_string();  // product URI
      w.u8(0);          // application name
      w.i32(0);         // server
      w.null_string();  // gateway
      w.null_string();  // discovery profile
      w.i32(-1);        // discovery URLs
      w.byte_string(server_->certificate.der());
      w.i32(mode);
      w.string(kBasic256Sha256);
      w.i32(1);
      w.string("anonymous");
      w.i32(0);
      w.null_string();
      w.null_string();
      w.null_string();
      w.null_string();  // transport profile
      w.u8(static_cast<std::uint8_t>(mode));
    }
  }

  // The first connection: GetEndpoints over a channel without security.
  ScriptedServer::Script get_endpoints(std::vector<std::int32_t> modes) const {
    return [this, modes](int fd) {
      read_chunk(fd);
      send_bytes(fd, ack());
      open_channel(fd);
      const auto request = read_chunk(fd);
      if (request.empty()) return;
      BinaryWriter body;
      encode_node_id(body, NodeId::numeric_id(0, type_id::GetEndpointsResponse));
      write_response_header(body);
      write_endpoints(body, modes);
      answer_message(fd, request, body.data());
      drain(fd);
    };
  }

  // The second connection: opens the secured channel, reads CreateSession and answers it
  // with `nonce` and the endpoints of `modes`.
  ScriptedServer::Script create_session(std::size_t nonce_size,
                                        std::vector<std::int32_t> modes) const {
    return [this, nonce_size, modes](int fd) {
      ChannelCrypto crypto({.policy = pyqar::UaSecurityPolicy::Basic256Sha256,
                            .mode = pyqar::UaSecurityMode::Sign,
                            .own = server_,
                            .server_certificate = client_->certificate,
                            .own_certificate_path = {}});
      read_chunk(fd);
      send_bytes(fd, ack());
      const auto opn = read_chunk(fd);
      if (opn.empty()) return;
      const Bytes opened = crypto.open_asymmetric(opn, 12);
      BinaryReader r{std::span<const std::uint8_t>(opened).subspan(12)};
      r.skip_string();  // policy
      r.byte_string(kMaxCertificateSize);
      r.byte_string(kMaxCertificateSize);
      r.u32();  // sequence number
      const std::uint32_t request_id = r.u32();
      decode_node_id(r);  // type
      decode_node_id(r);  // request header: authentication token
      r.i64();
      r.u32();
      r.u32();
      r.skip_string();
      r.u32();
      decode_node_id(r);  // additional header
      r.u8();
      r.u32();  // protocol version
      r.u32();  // request type
      r.u32();  // security mode
      const Bytes client_nonce = r.byte_string(64);
      const Bytes server_nonce = crypto.new_client_nonce();
      crypto.add_token(1, client_nonce);

      BinaryWriter chunk;
      chunk.bytes(std::vector<std::uint8_t>{'O', 'P', 'N', 'F'});
      chunk.u32(0);
      chunk.u32(7);
      crypto.write_asymmetric_header(chunk);
      const std::size_t sequence_at = chunk.size();
      chunk.u32(1);
      chunk.u32(request_id);
      encode_node_id(chunk, NodeId::numeric_id(0, type_id::OpenSecureChannelResponse));
      write_response_header(chunk);
      for (std::uint32_t v : {0u, 7u, 1u}) chunk.u32(v);
      chunk.i64(0);
      chunk.u32(600000);
      chunk.byte_string(server_nonce);
      crypto.seal_asymmetric(chunk, sequence_at);
      send_bytes(fd, chunk.data());

      auto create = read_chunk(fd);
      if (create.empty()) return;
      crypto.open_symmetric(create);
      chunk = BinaryWriter();
      chunk.bytes(std::vector<std::uint8_t>{'M', 'S', 'G', 'F'});
      chunk.u32(0);
      chunk.u32(7);
      chunk.u32(1);
      chunk.u32(2);
      chunk.u32(u32_at(create, 20));
      encode_node_id(chunk, NodeId::numeric_id(0, type_id::CreateSessionResponse));
      write_response_header(chunk);
      encode_node_id(chunk, NodeId::numeric_id(1, 5));
      encode_node_id(chunk, NodeId::numeric_id(1, 6));
      chunk.f64(60000);
      chunk.byte_string(random_bytes(nonce_size));
      chunk.byte_string(server_->certificate.der());
      write_endpoints(chunk, modes);
      write_create_session_tail(chunk);
      crypto.seal_symmetric(chunk, 1);
      send_bytes(fd, chunk.data());
      drain(fd);
    };
  }

  std::string connect_error(const std::string& url) const {
    try {
      UaSource source(url, options());
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }

 private:
  kestrane_test::TempDir dir_{"kestrane-hostile-"};
  std::shared_ptr<const ApplicationIdentity> client_;
  std::shared_ptr<const ApplicationIdentity> server_;
};

TEST(RefusesMisbehavingSecuredServers, CreateSessionNonceShorterThan32Bytes) {
  const SecuredScripts scripts;
  ScriptedServer server({scripts.get_endpoints({kSign, kSignAndEncrypt}),
                         scripts.create_session(16, {kSign, kSignAndEncrypt})});
  const std::string error = scripts.connect_error(server.url());
  EXPECT_CONTAINS(error, "sent a CreateSession nonce of 16 bytes; at least 32 are needed");
}

TEST(RefusesMisbehavingSecuredServers, CreateSessionListingOtherEndpointsThanGetEndpoints) {
  const SecuredScripts scripts;
  // GetEndpoints, over a channel anyone could tamper with, hid SignAndEncrypt.
  ScriptedServer server(
      {scripts.get_endpoints({kSign}), scripts.create_session(32, {kSign, kSignAndEncrypt})});
  const std::string error = scripts.connect_error(server.url());
  EXPECT_CONTAINS(error, "lists other endpoints in CreateSession than in GetEndpoints");
  EXPECT_CONTAINS(error, "Basic256Sha256/SignAndEncrypt not listed by GetEndpoints");
}

// Publish requests answered out of turn: chunks of different answers interleaved, answers in
// another order than asked, answers nobody asked for, refusals and silence.

// The body of a keep-alive Publish answer of `subscription`, whose next number is `next`.
std::vector<std::uint8_t> keep_alive(std::uint32_t subscription, std::uint32_t next,
                                     std::uint32_t result = 0) {
  BinaryWriter w;
  encode_node_id(w, NodeId::numeric_id(0, type_id::PublishResponse));
  write_response_header(w, result);
  w.u32(subscription);
  w.i32(-1);
  w.boolean(false);
  w.u32(next);
  w.i64(0);
  w.i32(0);
  w.i32(-1);
  w.i32(-1);
  return w.take();
}

// One chunk of the answer to `request` (whose request id it carries) with `part` of its body.
void answer_part(int fd, const std::vector<std::uint8_t>& request,
                 std::span<const std::uint8_t> part, bool final, std::uint32_t id_offset = 0) {
  BinaryWriter w;
  w.u32(7);
  w.u32(1);
  w.u32(2);
  w.u32(u32_at(request, 20) + id_offset);
  w.bytes(part);
  send_bytes(fd, frame(final ? "MSGF" : "MSGC", w.data()));
}

// Takes two Publish requests and a Read, then answers: half of the second Publish, the Read,
// the first Publish, the rest of the second.
void interleaved_answers(int fd) {
  if (!serve_session_open(fd)) return;
  const auto first = read_chunk(fd);
  const auto second = read_chunk(fd);
  const auto read = read_chunk(fd);
  if (read.empty()) return;
  const auto a = keep_alive(1, 11);
  const auto b = keep_alive(2, 22);
  const std::size_t half = b.size() / 2;
  answer_part(fd, second, std::span(b).first(half), false);
  BinaryWriter value;
  encode_node_id(value, NodeId::numeric_id(0, type_id::ReadResponse));
  write_response_header(value);
  value.i32(1);
  encode_data_value(value, DataValue{.value = Variant{BuiltinType::Double, false, 5.0},
                                     .status = {},
                                     .source_timestamp = {},
                                     .server_timestamp = {}});
  value.i32(-1);
  answer_part(fd, read, value.data(), true);
  answer_part(fd, first, a, true);
  answer_part(fd, second, std::span(b).subspan(half), true);
  drain(fd);
}

TEST(RefusesMisbehavingServers, InterleavedAnswersArriveWholeWhileACallGoesOn) {
  ScriptedServer server(interleaved_answers);
  UaSession session(parse_endpoint_url(server.url()), quick());
  session.send_publish({}, std::chrono::seconds(5));
  session.send_publish({}, std::chrono::seconds(5));
  const std::array<NodeId, 1> nodes{NodeId::numeric_id(2, 1)};
  const auto values = session.read(nodes);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(std::get<double>(values[0].value->scalar), 5.0);
  EXPECT_EQ(session.publishes_outstanding(), 2u);
  const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  const auto one = session.receive_publish(later);
  const auto two = session.receive_publish(later);
  ASSERT_TRUE(one && two);
  EXPECT_EQ(one->subscription_id, 1u);
  EXPECT_EQ(one->message.sequence_number, 11u);
  EXPECT_EQ(two->subscription_id, 2u);
  EXPECT_EQ(two->message.sequence_number, 22u);
  EXPECT_EQ(session.publishes_outstanding(), 0u);
  EXPECT_TRUE(session.usable());
}

// Answers each Publish with `body(n)` for the n-th request, then takes what else comes.
void answer_publishes(int fd, int count,
                      std::function<void(int fd, const std::vector<std::uint8_t>&, int)> answer) {
  if (!serve_session_open(fd)) return;
  for (int n = 0; n < count; ++n) {
    const auto request = read_chunk(fd);
    if (request.empty()) return;
    answer(fd, request, n);
  }
  drain(fd);
}

TEST(RefusesMisbehavingServers, RefusedPublishKeepsTheSessionButALostSessionDoesNot) {
  constexpr std::uint32_t kBadTooManyPublishRequests = 0x80780000;
  ScriptedServer server([](int fd) {
    answer_publishes(fd, 3, [](int client, const auto& request, int n) {
      const std::uint32_t result = n == 0   ? kBadTooManyPublishRequests
                                   : n == 1 ? 0u
                                            : status::BadSessionIdInvalid;
      answer_part(client, request, keep_alive(4, 9, result), true);
    });
  });
  UaSession session(parse_endpoint_url(server.url()), quick());
  const auto later = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(5); };
  session.send_publish({}, std::chrono::seconds(5));
  try {
    (void)session.receive_publish(later());
    ADD_FAILURE() << "a refused Publish passed";
  } catch (const ServiceError& e) {
    EXPECT_EQ(e.status(), kBadTooManyPublishRequests);
    EXPECT_CONTAINS(std::string(e.what()), "BadTooManyPublishRequests");
  }
  EXPECT_TRUE(session.usable());
  EXPECT_EQ(session.publishes_outstanding(), 0u);
  session.send_publish({}, std::chrono::seconds(5));
  EXPECT_EQ(session.receive_publish(later())->message.sequence_number, 9u);

  session.send_publish({}, std::chrono::seconds(5));
  try {
    (void)session.receive_publish(later());
    ADD_FAILURE() << "a lost session passed";
  } catch (const ServiceError& e) {
    ADD_FAILURE() << "a lost session is no mere refusal: " << e.what();
  } catch (const std::runtime_error& e) {
    EXPECT_CONTAINS(std::string(e.what()), "BadSessionIdInvalid");
  }
  EXPECT_FALSE(session.usable());
}

TEST(RefusesMisbehavingServers, AnswerToARequestNeverMadeBreaksTheChannel) {
  ScriptedServer server([](int fd) {
    answer_publishes(fd, 1, [](int client, const auto& request, int) {
      answer_part(client, request, keep_alive(1, 1), true, 100);
    });
  });
  UaSession session(parse_endpoint_url(server.url()), quick());
  session.send_publish({}, std::chrono::seconds(5));
  try {
    (void)session.receive_publish(std::chrono::steady_clock::now() + std::chrono::seconds(5));
    ADD_FAILURE() << "an answer to nothing was taken";
  } catch (const std::runtime_error& e) {
    EXPECT_CONTAINS(std::string(e.what()), "which is not open");
  }
  EXPECT_FALSE(session.usable());
}

TEST(RefusesMisbehavingServers, PublishUnansweredPastItsTimeBreaksTheChannel) {
  ScriptedServer server([](int fd) {
    if (!serve_session_open(fd)) return;
    drain(fd);
  });
  UaSession session(parse_endpoint_url(server.url()), quick());
  session.send_publish({}, std::chrono::milliseconds(200));
  // Not yet overdue: nothing came by the deadline.
  EXPECT_FALSE(session.receive_publish(std::chrono::steady_clock::now()));
  const auto start = std::chrono::steady_clock::now();
  try {
    (void)session.receive_publish(start + std::chrono::seconds(60));
    ADD_FAILURE() << "an unanswered Publish was waited for to the end";
  } catch (const std::runtime_error& e) {
    EXPECT_CONTAINS(std::string(e.what()), "timed out");
  }
  // Its time (200 ms plus the request timeout), not the caller's minute.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(session.usable());
}

}  // namespace
