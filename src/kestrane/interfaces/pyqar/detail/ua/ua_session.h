#pragma once
// UaSession: an activated session on its own secure channel, secured and logged on as its
// options say (the server's certificate judged against the PKI folder), with the Read and
// Browse services split to the server's operation limits and the server's namespace table as
// it was when the session opened. Owns the channel; not copyable; one thread at a time. Any
// failure leaves the session unusable; make a new one to recover.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "endpoint_choice.h"
#include "endpoint_url.h"
#include "pyqar/ua_security.h"
#include "secure_channel.h"
#include "ua_codec.h"

namespace pyqar::ua {

struct SessionOptions {
  ChannelOptions channel;
  double requested_session_timeout_ms = 60'000;
  std::string session_name = "Kestrane";
  UaSecurity security{};
};

// What a program must hear when it starts reading or browsing with `security`: a WARNING
// while the host name check is off, and for a secured policy our own certificate made or
// loaded (under the PKI folder's lock) with a WARNING within 30 days of its expiry and an ERROR
// after it. Throws std::runtime_error as PkiStore::own_identity does.
void report_security_at_start(const UaSecurity& security);

class UaSession {
 public:
  // Chooses the endpoint (unless security is None), opens the channel, creates and
  // activates the session, and reads MaxNodesPerRead, MaxNodesPerBrowse and the namespace
  // table. Throws std::runtime_error naming the address and the step that failed.
  UaSession(const EndpointUrl& url, SessionOptions options);
  // Closes session and channel; never throws.
  ~UaSession();
  UaSession(const UaSession&) = delete;
  UaSession& operator=(const UaSession&) = delete;

  bool usable() const { return usable_ && !channel_.broken(); }
  // Whether the server has dropped channel or session by now for lack of use: the token's
  // lifetime or the session's timeout has passed since the last request.
  bool stale() const;
  // 0 when the server sets no limit.
  std::uint32_t max_nodes_per_read() const { return max_nodes_per_read_; }
  std::uint32_t max_nodes_per_browse() const { return max_nodes_per_browse_; }
  // Server.NamespaceArray as read when the session opened (empty when the server refused it).
  const std::vector<std::string>& namespace_array() const { return namespace_array_; }
  // The index of `uri` in the namespace table; nothing when the server does not have it.
  std::optional<std::uint16_t> namespace_index(std::string_view uri) const;
  const SecureChannel& channel() const { return channel_; }

  // Reads the Value attribute of each node; one result per node, in order. Throws
  // std::runtime_error on a service fault, a bad service result, a wrong result count, a
  // timeout or a lost connection; the session is then unusable.
  std::vector<DataValue> read(std::span<const NodeId> nodes,
                              std::uint32_t attribute_id = kAttributeValue);
  // Browses forward hierarchical references to Objects and Variables, one result per node,
  // in order, each returning at most `max_references_per_node` (0: the server decides).
  // Requests are split to MaxNodesPerBrowse. Throws as read() does.
  std::vector<BrowseResult> browse(std::span<const NodeId> nodes,
                                   std::uint32_t max_references_per_node);
  // Continues (or, with `release`, gives back) browses; one result per point, in order (none
  // when releasing). Split to MaxNodesPerBrowse, which bounds continuation points too.
  std::vector<BrowseResult> browse_next(std::span<const std::string> continuation_points,
                                        bool release);

 private:
  // What the channel needs before it opens: our identity, the endpoint and its certificate.
  struct Prepared {
    SessionOptions options;
    std::optional<EndpointDescription> endpoint;
    // Everything GetEndpoints listed, to compare with what CreateSession lists.
    std::vector<EndpointDescription> discovered;
  };
  static Prepared prepare(const EndpointUrl& url, SessionOptions options);
  UaSession(Prepared prepared, const EndpointUrl& url);

  void create_and_activate();
  // On a secured channel, refuses a CreateSession answer with a short nonce, another
  // certificate, other endpoints than GetEndpoints listed, or an ApplicationUri that is not
  // the one in the server's certificate.
  void check_created(const CreateSessionResponse& created);
  // The token policy for the configured user on `endpoints`, and the identity fields of the
  // ActivateSession request for it.
  const UserTokenPolicy& token_policy(const std::vector<EndpointDescription>& endpoints) const;
  void fill_identity(ActivateSessionRequest& request, const UserTokenPolicy& policy,
                     const CreateSessionResponse& created);
  void read_server_facts();
  void read_chunk(std::span<const NodeId> nodes, std::uint32_t attribute_id,
                  std::vector<DataValue>& out);
  void check_usable() const;
  template <typename Response, typename Request>
  Response call(const Request& request, const char* service);
  // Sends the request already encoded in request_.
  template <typename Response>
  Response call_encoded(const char* service);

  SessionOptions options_;
  std::optional<EndpointDescription> endpoint_;
  std::vector<EndpointDescription> discovered_;
  SecureChannel channel_;
  NodeId authentication_token_;
  std::chrono::milliseconds session_timeout_{0};
  std::chrono::steady_clock::time_point last_used_;
  bool usable_ = false;
  std::uint32_t max_nodes_per_read_ = 0;
  std::uint32_t max_nodes_per_browse_ = 0;
  std::vector<std::string> namespace_array_;
  BinaryWriter request_;
};

}  // namespace pyqar::ua
