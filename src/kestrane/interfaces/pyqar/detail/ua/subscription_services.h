#pragma once
// SubscriptionServices: the services the subscription engine needs from one server, behind a
// seam, so that the engine's decisions (splitting, gaps, acknowledgements, healing) can be
// tested against a scripted server. The real one wraps a UaSession. One thread at a time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "node_id.h"
#include "pyqar/qar_types.h"
#include "ua_codec.h"
#include "ua_subscription_messages.h"

namespace pyqar::ua {

// A service the server answered with a bad service result; the message names the service and
// the status. The connection itself is fine.
class ServiceError : public std::runtime_error {
 public:
  ServiceError(std::uint32_t status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  std::uint32_t status() const { return status_; }

 private:
  std::uint32_t status_;
};

// The server's limits that shape the requests; 0 means not stated.
struct ServerLimits {
  std::uint32_t max_monitored_items_per_call = 0;
  std::uint32_t max_subscriptions_per_session = 0;
  std::uint32_t max_monitored_items_per_subscription = 0;
  // The largest request the channel may send, in bytes (0: no limit).
  std::uint32_t max_request_bytes = 0;
  // The largest answer the channel accepts, in bytes (0: the client's own limit).
  std::uint32_t max_response_bytes = 0;
};

// How a reconnect went.
enum class Reconnected {
  same_session,  // the session was activated again on a new channel: subscriptions live on
  new_session,   // a new session: subscriptions must be transferred or created again
};

class StructureCatalog;

class SubscriptionServices {
 public:
  virtual ~SubscriptionServices() = default;

  // Every call below but the noexcept ones throws ServiceError for a bad service result and
  // std::runtime_error when the connection fails (then only reconnect() may follow).

  virtual ServerLimits limits() const = 0;
  // The node a tag stands for in the current session's namespace table; nothing when its
  // namespace is unknown there. Throws std::invalid_argument for text that does not parse.
  virtual std::optional<NodeId> node_for(const TagDescriptor& tag) = 0;
  // Server.ServerStatus.StartTime (i=2257) as read now, in 100 ns ticks since 1601.
  virtual std::optional<std::int64_t> server_start_time() = 0;
  // The current session's namespace table, for NodeId values written as text; empty when
  // unknown.
  virtual const std::vector<std::string>& namespace_array() const {
    static const std::vector<std::string> none;
    return none;
  }
  virtual std::vector<DataValue> read(std::span<const NodeId> nodes) = 0;
  // The structure types structured values are written by, once the types in `values` not
  // met before are learned from the server; null: structures are written as type id and body.
  virtual StructureCatalog* structures(std::span<const DataValue> values) {
    static_cast<void>(values);
    return nullptr;
  }

  virtual CreateSubscriptionResponse create_subscription(const SubscriptionParameters& p) = 0;
  virtual CreateMonitoredItemsResponse create_monitored_items(
      std::uint32_t subscription_id, std::span<const MonitoredItemToCreate> items) = 0;
  virtual DeleteSubscriptionsResponse delete_subscriptions(std::span<const std::uint32_t> ids) = 0;
  // One result per item, in order.
  virtual DeleteMonitoredItemsResponse delete_monitored_items(
      std::uint32_t subscription_id, std::span<const std::uint32_t> monitored_item_ids) = 0;
  virtual RepublishResponse republish(std::uint32_t subscription_id,
                                      std::uint32_t sequence_number) = 0;
  virtual TransferSubscriptionsResponse transfer_subscriptions(
      std::span<const std::uint32_t> ids) = 0;

  // Calls ConditionRefresh for the event items of `subscription_id`: the method's status
  // (Good: 0; BadMethodInvalid and the like from a server without conditions,
  // BadRefreshInProgress while one runs). A bad service result throws ServiceError as the
  // other calls do. Services without the Call service answer BadServiceUnsupported.
  virtual std::uint32_t condition_refresh(std::uint32_t subscription_id) {
    static_cast<void>(subscription_id);
    return 0x800B0000;  // BadServiceUnsupported
  }

  // Sends a Publish request without waiting for its answer.
  virtual void send_publish(std::span<const SubscriptionAcknowledgement> acks) = 0;
  // Publish requests sent and not answered yet.
  virtual std::size_t publishes_outstanding() const = 0;
  // The next Publish answer, waiting until `deadline`; nothing when none came by then. Answers
  // may come in any order. A bad service result (BadTooManyPublishRequests, BadNoSubscription,
  // BadTimeout ...) throws ServiceError and counts the request as answered.
  virtual std::optional<PublishResponse> receive_publish(
      std::chrono::steady_clock::time_point deadline) = 0;

  // Connects again after a failure: first the same session on a new channel, else a new
  // session (outstanding Publish requests are forgotten either way). Throws when the server
  // cannot be reached.
  virtual Reconnected reconnect() = 0;
  // Whether the server may transfer subscriptions to a new session of ours: never for an
  // anonymous user over security None.
  virtual bool transfer_allowed() const = 0;
  // Closes the session (deleting what the server still holds for it); never throws.
  virtual void close() noexcept = 0;
};

}  // namespace pyqar::ua
