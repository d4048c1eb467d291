#pragma once
// UaSubscriptionServices: the SubscriptionServices of one OPC UA server over a UaSession it
// owns. After a failure it reconnects to the same session on a new channel when the server
// still has it, else to a new session. Owned by the OPC UA source beside its subscription
// engine; one thread at a time.

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "endpoint_url.h"
#include "structure_catalog.h"
#include "subscription_services.h"
#include "tag_node_resolver.h"
#include "ua_session.h"

namespace pyqar::ua {

class UaSubscriptionServices : public SubscriptionServices {
 public:
  // Takes over `session` (the source's open one); without one, opens a session to `url` now
  // (throwing as UaSession's constructor does).
  UaSubscriptionServices(std::unique_ptr<UaSession> session, EndpointUrl url,
                         SessionOptions options,
                         std::shared_ptr<StructureCatalog> structures = nullptr);
  ~UaSubscriptionServices() override;
  UaSubscriptionServices(const UaSubscriptionServices&) = delete;
  UaSubscriptionServices& operator=(const UaSubscriptionServices&) = delete;

  ServerLimits limits() const override;
  std::optional<NodeId> node_for(const TagDescriptor& tag) override;
  std::optional<std::int64_t> server_start_time() override;
  const std::vector<std::string>& namespace_array() const override;
  std::vector<DataValue> read(std::span<const NodeId> nodes) override;
  StructureCatalog* structures(std::span<const DataValue> values) override;

  CreateSubscriptionResponse create_subscription(const SubscriptionParameters& p) override;
  CreateMonitoredItemsResponse create_monitored_items(
      std::uint32_t subscription_id, std::span<const MonitoredItemToCreate> items) override;
  DeleteSubscriptionsResponse delete_subscriptions(std::span<const std::uint32_t> ids) override;
  DeleteMonitoredItemsResponse delete_monitored_items(
      std::uint32_t subscription_id, std::span<const std::uint32_t> monitored_item_ids) override;
  RepublishResponse republish(std::uint32_t subscription_id,
                              std::uint32_t sequence_number) override;
  TransferSubscriptionsResponse transfer_subscriptions(std::span<const std::uint32_t> ids) override;
  std::uint32_t condition_refresh(std::uint32_t subscription_id) override;

  void send_publish(std::span<const SubscriptionAcknowledgement> acks) override;
  std::size_t publishes_outstanding() const override;
  std::optional<PublishResponse> receive_publish(
      std::chrono::steady_clock::time_point deadline) override;

  Reconnected reconnect() override;
  bool transfer_allowed() const override;
  void close() noexcept override;

  // The session in use; after close(), a new one opened now (throws as UaSession's constructor).
  UaSession& session();
  // Sessions opened from now on ask the server to keep them at least `ms` without a
  // connection.
  void ask_session_timeout(double ms);
  // The timeout hint of the next Publish: long enough for the server to hold it behind the
  // others outstanding until a keep-alive of the slowest subscription is due.
  std::chrono::milliseconds publish_timeout() const;

 private:
  void open_session();
  // Says once per session how long a cut it outlasts.
  void report_session_timeout() const;

  std::unique_ptr<UaSession> session_;
  EndpointUrl url_;
  SessionOptions options_;
  // This session's limits, read on first use.
  mutable std::optional<ServerLimits> limits_;
  // The longest keep-alive period (publishing interval × keep-alive count) granted so far.
  std::chrono::milliseconds keep_alive_period_{0};
  // Reads the tags' names as nodes, and reports each namespace URI the session lacks once.
  TagNodeResolver tags_{"its tags cannot be monitored"};
  // Null when structures are written as type id and body.
  std::shared_ptr<StructureCatalog> structures_;
};

}  // namespace pyqar::ua
