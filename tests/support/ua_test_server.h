#pragma once
// UaTestServer: starts tools/ua-test-server (node-opcua) on a loopback port for one test
// suite and stops it again. Owns the child process and its certificate folder; used from
// the test's main thread only.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "temp_dir.h"

namespace kestrane_test {

class UaTestServer {
 public:
  struct Options {
    // 0: the server picks a free one, and another when that is taken before it listens. A
    // port given (a restart where clients expect it) is tried for a few seconds when in use.
    int port = 0;
    int tags = 100;  // Demo.Tag1..N, Demo.Count1..N, Demo.Random1..N
    std::optional<int> max_nodes_per_read;
    // Also shrinks the server's chunks to the 8192-byte minimum.
    std::optional<int> max_message_size;
    std::optional<int> max_nodes_per_browse;
    // The plant namespace (urn:kestrane:plant) with its Plant folder: one variable of each
    // built-in type, a folder of `wide` variables, a reference loop, a self-reference.
    bool browse_tree = false;
    std::optional<int> wide;
    // Registers the plant namespace before the demo one, so the two swap indexes.
    bool swap_namespaces = false;
    // A folder Flat of this many Double variables in the plant namespace.
    int flat_tags = 0;
    // Ramp.1..N in the demo namespace, each stepping by one every 50 ms with a source time
    // per change, and Ramp.Static, which never changes.
    int ramp = 0;
    // Subscriptions: an advertised and enforced MaxMonitoredItemsPerCall; CreateMonitoredItems
    // calls of more items refused with BadTooManyOperations and no limit advertised;
    // TransferSubscriptions answered with BadServiceUnsupported.
    std::optional<int> max_monitored_items_per_call;
    std::optional<int> reject_items_over;
    bool no_transfer = false;
    // Advertised as the server's MaxMonitoredItemsPerSubscription.
    std::optional<int> max_monitored_items_per_subscription;
    // Quirks.StepsBack (a counter whose source clock runs an hour behind for the second half
    // of every this many seconds) and Quirks.SharedTime (five changes a second, all stamped
    // with the start of their second); 0: neither.
    int clock_quirks = 0;
    // History.1..N (Double, History.K's n-th value n + 1000000*K) and History.Text (String,
    // "text-<n>") in the demo namespace, keeping their history in memory and changing every
    // 200 ms; 0: none. `history_past` seconds of it exist at start (200 ms apart); the server
    // returns at most `history_max_values` per node and call (0: all) and advertises it as
    // MaxReturnDataValues. `history_quirks`: "loop" (a continuation point is answered with no
    // values and the same point), "nocp" (at most 2 points per session, then
    // BadNoContinuationPoints), or empty.
    int history = 0;
    int history_past = 0;
    int history_max_values = 0;
    std::string history_quirks;
    // Events, all in the demo namespace and reported by the Server object (i=2253):
    // s=Events.Plant raises BaseEventType events "tick <n>" (severity 100, 200, ... 900),
    // `events_rate` a second (0: none). s=Events.LevelAlarm, an exclusive limit alarm
    // (severity 700, high limit 80) on s=Events.Level, goes active for three seconds of every
    // eight; s=Events.PressureAlarm (severity 900) on s=Events.Pressure is active from the
    // start, so a client sees it only through ConditionRefresh. Both take Acknowledge (i=9111
    // on the alarm: EventId, comment); tools/ua-test-server/events-check.js shows the calls.
    bool events = false;
    int events_rate = 1;
    // A folder s=Structures in the demo namespace (not with swap_namespaces): structure,
    // union and enumeration types with their definitions (s=Structures.Types.*), variables of
    // them (s=Structures.Drive changes every second), a type described only by a type
    // dictionary, and EngineeringUnits/EURange properties (s=Demo.Double.EURange, ...) on the
    // demo Doubles. tools/ua-test-server/server.js lists every NodeId and value;
    // structures-check.js reads them.
    bool structures = false;

    // Security. Empty lists are left to the server: None/None only when both are empty,
    // otherwise the list given decides the other (Basic256Sha256 alone: Sign and
    // SignAndEncrypt). Names: None, Basic256Sha256, Aes128_Sha256_RsaOaep,
    // Aes256_Sha256_RsaPss; None, Sign, SignAndEncrypt.
    std::vector<std::string> policies;
    std::vector<std::string> modes;
    // The only user names and passwords accepted (no ',' in either). The None endpoint offers
    // UserName only when Basic256Sha256 or Aes128_Sha256_RsaOaep is among the policies.
    std::vector<std::pair<std::string, std::string>> users;
    bool allow_anonymous = true;
    // Client certificates outside the trust list are rejected and written to rejected_dir().
    // Such a server, or one given trusted_clients, gets a PKI folder and a certificate of its
    // own, so that what one test trusts is never trusted by another test's server.
    bool trust_required = false;
    std::vector<std::filesystem::path> trusted_clients;  // DER or PEM files
    // Served instead of the default pair, even expired or naming another application URI:
    // a PEM certificate (or DER in a file whose name holds ".der") and a PEM private key.
    // Without them the server serves a pair this process made once: ApplicationUri
    // kDefaultApplicationUri, DNS localhost and IP 127.0.0.1, so that clients at url() can
    // check the host.
    std::optional<std::filesystem::path> server_cert;
    std::optional<std::filesystem::path> server_key;
    // The ApplicationUri the server describes itself with; node-opcua's own when unset with
    // server_cert, kDefaultApplicationUri with the default pair.
    std::optional<std::string> application_uri;
    // The shortest channel token lifetime granted; node-opcua raises shorter requests to 2500.
    std::optional<int> min_token_lifetime_ms;
  };

  static constexpr const char* kDefaultApplicationUri = "urn:kestrane:test:ua-server";

  // Why the server cannot run here (no node, npm modules not installed), or nothing.
  static std::optional<std::string> unavailable_reason();

  // Starts the server and waits for its "ready" line; throws std::runtime_error when it
  // does not come up.
  explicit UaTestServer(Options options);
  UaTestServer() : UaTestServer(Options{}) {}
  ~UaTestServer();
  UaTestServer(const UaTestServer&) = delete;
  UaTestServer& operator=(const UaTestServer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }
  // The certificate file the server presents (PEM unless server_cert was DER), the same
  // certificate in DER in this fixture's folder (the file a client puts in its trust list),
  // and its DER bytes.
  const std::filesystem::path& certificate_path() const { return certificate_path_; }
  const std::filesystem::path& certificate_der_path() const { return certificate_der_path_; }
  const std::vector<std::uint8_t>& certificate_der() const { return certificate_der_; }
  // The server's ApplicationUri (its certificate may name another, see server_cert).
  const std::string& application_uri() const { return application_uri_; }
  // Where the server writes client certificates it rejected.
  const std::filesystem::path& rejected_dir() const { return rejected_dir_; }

  // Ends the server at once, as a crash would.
  void kill() noexcept;
  // Freezes and thaws the server process: it keeps its sockets but answers nothing.
  void pause();
  void resume();
  // Has the server delete its live subscription with the lowest id (it happens shortly after).
  void delete_lowest_subscription();
  // Has the server end every session as its timeout would, keeping their subscriptions, so
  // that a client must open a new session (it happens shortly after).
  void expire_sessions();

 private:
  void reap() noexcept;
  // Reads the fields of the ready line and the server's certificate.
  void take_ready_line(const std::string& line);

  std::optional<TempDir> work_dir_;  // the server's log, its DER certificate, its own PKI
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
  std::filesystem::path certificate_path_;
  std::filesystem::path certificate_der_path_;
  std::vector<std::uint8_t> certificate_der_;
  std::string application_uri_;
  std::filesystem::path rejected_dir_;
};

}  // namespace kestrane_test
