#pragma once
// UaSession: an activated session on its own secure channel, secured and logged on as its
// options say (the server's certificate judged against the PKI folder), with the Read and
// Browse services split to the server's operation limits and the server's namespace table as
// it was when the session opened, and the subscription services with a pipelined Publish.
// It chooses the endpoint and offers the services; its parts do the rest: SessionChannel (the
// channel and the checks of every call), SessionActivation (CreateSession, ActivateSession,
// the user's identity), ChunkedServices (Read and Browse in chunks) and ServerFacts (limits,
// namespace table, start time). Not copyable; one thread at a time. A lost channel or session
// leaves it unusable until reactivate() (a new channel) succeeds; else make a new one.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chunked_services.h"
#include "endpoint_choice.h"
#include "endpoint_url.h"
#include "pyqar/ua_security.h"
#include "secure_channel.h"
#include "server_facts.h"
#include "session_activation.h"
#include "session_channel.h"
#include "subscription_services.h"
#include "ua_call_messages.h"
#include "ua_codec.h"
#include "ua_history_messages.h"
#include "ua_subscription_messages.h"
#include "ua_translate_messages.h"

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

  bool usable() const { return link_.usable(); }
  // Whether the server has dropped channel or session by now for lack of use: the token's
  // lifetime or the session's timeout has passed since the last request.
  bool stale() const;
  // 0 when the server sets no limit.
  std::uint32_t max_nodes_per_read() const { return services_.max_nodes_per_read(); }
  std::uint32_t max_nodes_per_browse() const { return services_.max_nodes_per_browse(); }
  // Server.NamespaceArray as read when the session opened (empty when the server refused it).
  const std::vector<std::string>& namespace_array() const { return facts_.namespace_array(); }
  // The index of `uri` in the namespace table; nothing when the server does not have it.
  std::optional<std::uint16_t> namespace_index(std::string_view uri) const;
  const SecureChannel& channel() const { return link_.channel(); }
  const SessionOptions& options() const { return options_; }
  // The session's timeout as the server revised it.
  std::chrono::milliseconds session_timeout() const { return activation_.session_timeout(); }

  // Reads the Value attribute of each node; one result per node, in order. Throws
  // std::runtime_error on a service fault, a bad service result, a wrong result count, a
  // timeout or a lost connection; the session is then unusable.
  std::vector<DataValue> read(std::span<const NodeId> nodes,
                              std::uint32_t attribute_id = kAttributeValue);
  // Browses the references `filter` names (by default forward hierarchical references to
  // Objects and Variables), one result per node, in order, each returning at most
  // `max_references_per_node` (0: the server decides). Requests are split to
  // MaxNodesPerBrowse. Throws as read() does.
  std::vector<BrowseResult> browse(std::span<const NodeId> nodes,
                                   std::uint32_t max_references_per_node,
                                   const BrowseFilter& filter = {});
  // Continues (or, with `release`, gives back) browses; one result per point, in order (none
  // when releasing). Split to MaxNodesPerBrowse, which bounds continuation points too.
  std::vector<BrowseResult> browse_next(std::span<const std::string> continuation_points,
                                        bool release);

  // The subscription services. Each throws ServiceError for a bad service result, which
  // leaves the session usable (a request too large for the channel is refused that way too,
  // as BadRequestTooLarge, before it is sent), and std::runtime_error when the channel fails,
  // the answer does not fit the request, or the server says the session is gone (the session
  // is then unusable).
  CreateSubscriptionResponse create_subscription(const SubscriptionParameters& parameters);
  ModifySubscriptionResponse modify_subscription(std::uint32_t subscription_id,
                                                 const SubscriptionParameters& parameters);
  // One result per id, in order.
  DeleteSubscriptionsResponse delete_subscriptions(std::span<const std::uint32_t> ids);
  // One result per item, in order; timestamps: source and server.
  CreateMonitoredItemsResponse create_monitored_items(std::uint32_t subscription_id,
                                                      std::span<const MonitoredItemToCreate> items);
  // One result per item, in order.
  DeleteMonitoredItemsResponse delete_monitored_items(
      std::uint32_t subscription_id, std::span<const std::uint32_t> monitored_item_ids);
  RepublishResponse republish(std::uint32_t subscription_id, std::uint32_t sequence_number);
  // One result per id, in order.
  TransferSubscriptionsResponse transfer_subscriptions(std::span<const std::uint32_t> ids,
                                                       bool send_initial_values);
  // Sends a Publish without waiting. The server may hold it for `timeout` (its timeout hint);
  // an answer later than that plus the usual request time counts as a lost channel.
  void send_publish(std::span<const SubscriptionAcknowledgement> acknowledgements,
                    std::chrono::milliseconds timeout);
  std::size_t publishes_outstanding() const { return link_.channel().outstanding(); }
  // The next Publish answer, in the order they arrive, waiting until `deadline`; nothing when
  // none came by then or none is outstanding. Throws as the services above.
  std::optional<PublishResponse> receive_publish(std::chrono::steady_clock::time_point deadline);

  // MaxMonitoredItemsPerCall, and MaxSubscriptionsPerSession and
  // MaxMonitoredItemsPerSubscription where ServerCapabilities has them (0: not stated), with
  // the largest request the channel sends. Read once per session, on first use.
  ServerLimits subscription_limits();
  // Server.ServerStatus.StartTime as read now (DateTime ticks); nothing when unreadable.
  std::optional<std::int64_t> server_start_time();

  // One HistoryRead of raw values from `start_time` to `end_time` (DateTime ticks; newest first
  // when end is older), at most `values_per_node` per node (0: the server decides); with
  // `release`, gives the nodes' continuation points back instead. Source and server times,
  // or source alone once the server refused both (remembered for the session). One result
  // per node, in order. Throws as the subscription services do: ServiceError for a bad
  // service result, which leaves the session usable.
  std::vector<HistoryReadResult> history_read(std::int64_t start_time, std::int64_t end_time,
                                              std::uint32_t values_per_node,
                                              std::span<const HistoryNodeToRead> nodes,
                                              bool release = false);
  // MaxNodesPerHistoryReadData and MaxReturnDataValues (0 where the server states nothing),
  // read once per session.
  HistoryLimits history_limits() { return facts_.history_limits(); }

  // Calls one method on a server object (ConditionRefresh among them): its outcome, `name`
  // naming the method in its error. Throws as the subscription services do: ServiceError for a
  // bad service result, which leaves the session usable.
  CallOutcome call(const CallMethodRequest& method, std::string_view name);

  // Follows each browse path to its targets; one result per path, in order. Requests are split
  // to MaxNodesPerTranslateBrowsePathsToNodeIds, and to a thousand paths where the server
  // allows more. Throws as the subscription services do: ServiceError for a bad service
  // result, which leaves the session usable.
  std::vector<BrowsePathResult> translate_browse_paths(std::span<const BrowsePath> paths);

  // Opens a new channel and activates this same session on it (same user, the server's
  // newest nonce signed), after the old channel broke; answers still owed on the old one are
  // forgotten. Throws std::runtime_error when the server cannot be reached or refuses (the
  // session is gone): the session stays unusable.
  void reactivate();

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

  SessionOptions options_;
  // Declared in the order they need each other.
  SessionChannel link_;
  SessionActivation activation_;
  ChunkedServices services_;
  ServerFacts facts_;
  // The timestamps HistoryRead asks for: both until the server refuses them.
  std::int32_t history_timestamps_ = kTimestampsBoth;
};

}  // namespace pyqar::ua
