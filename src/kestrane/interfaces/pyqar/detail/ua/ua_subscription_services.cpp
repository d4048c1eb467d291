#include "ua_subscription_services.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "journel/log.h"
#include "node_id.h"

namespace pyqar::ua {
namespace {

// A Publish is held by the server until there is something to send; without a subscription
// to go by, this long.
constexpr std::chrono::milliseconds kDefaultPublishTimeout{60'000};
// Never shorter than this, so a server answering several queued requests in turn has time.
constexpr std::chrono::milliseconds kMinPublishTimeout{10'000};
constexpr std::chrono::milliseconds kMaxPublishTimeout{600'000};

}  // namespace

UaSubscriptionServices::UaSubscriptionServices(std::unique_ptr<UaSession> session, EndpointUrl url,
                                               SessionOptions options,
                                               std::shared_ptr<StructureCatalog> structures)
    : session_(std::move(session)),
      url_(std::move(url)),
      options_(std::move(options)),
      structures_(std::move(structures)) {
  if (session_)
    report_session_timeout();
  else
    open_session();
}

UaSubscriptionServices::~UaSubscriptionServices() { close(); }

void UaSubscriptionServices::ask_session_timeout(double ms) {
  options_.requested_session_timeout_ms = std::max(options_.requested_session_timeout_ms, ms);
}

void UaSubscriptionServices::report_session_timeout() const {
  const double granted = std::chrono::duration<double>(session_->session_timeout()).count();
  journel::get_logger("pyqar")->info(
      "OPC UA session on {} outlasts a cut of up to {:.0f} s (asked for {:.0f} s): a shorter cut "
      "resumes it and its subscriptions without a gap",
      url_.text, granted, options_.requested_session_timeout_ms / 1000.0);
}

void UaSubscriptionServices::open_session() {
  // The old session stays until a new one is open: while the server cannot be reached, the
  // next reconnect may still find it alive there.
  auto fresh = std::make_unique<UaSession>(url_, options_);
  session_ = std::move(fresh);
  limits_.reset();
  tags_.new_session();
  report_session_timeout();
  if (structures_) structures_->session_opened(*session_);
}

UaSession& UaSubscriptionServices::session() {
  if (!session_) open_session();
  return *session_;
}

ServerLimits UaSubscriptionServices::limits() const {
  if (!session_) throw std::runtime_error(fmt::format("no OPC UA session on {}", url_.text));
  if (!limits_) limits_ = session_->subscription_limits();
  ServerLimits limits = *limits_;
  limits.max_request_bytes = session_->channel().max_request_size();
  limits.max_response_bytes = session_->channel().max_response_size();
  return limits;
}

const std::vector<std::string>& UaSubscriptionServices::namespace_array() const {
  static const std::vector<std::string> none;
  return session_ ? session_->namespace_array() : none;
}

std::optional<NodeId> UaSubscriptionServices::node_for(const TagDescriptor& tag) {
  return tags_.resolve(
      tag, [this](std::string_view uri) { return session().namespace_index(uri); }, url_.text);
}

StructureCatalog* UaSubscriptionServices::structures(std::span<const DataValue> values) {
  if (!structures_) return nullptr;
  structures_->learn(values, session());
  return structures_.get();
}

std::optional<std::int64_t> UaSubscriptionServices::server_start_time() {
  return session().server_start_time();
}

std::vector<DataValue> UaSubscriptionServices::read(std::span<const NodeId> nodes) {
  return session().read(nodes);
}

CreateSubscriptionResponse UaSubscriptionServices::create_subscription(
    const SubscriptionParameters& p) {
  auto response = session().create_subscription(p);
  const double period =
      response.revised_publishing_interval_ms * response.revised_max_keep_alive_count;
  if (std::isfinite(period) && period > 0) {
    keep_alive_period_ = std::max(keep_alive_period_,
                                  std::chrono::milliseconds(static_cast<std::int64_t>(std::min(
                                      period, static_cast<double>(kMaxPublishTimeout.count())))));
  }
  return response;
}

CreateMonitoredItemsResponse UaSubscriptionServices::create_monitored_items(
    std::uint32_t subscription_id, std::span<const MonitoredItemToCreate> items) {
  return session().create_monitored_items(subscription_id, items);
}

DeleteSubscriptionsResponse UaSubscriptionServices::delete_subscriptions(
    std::span<const std::uint32_t> ids) {
  return session().delete_subscriptions(ids);
}

DeleteMonitoredItemsResponse UaSubscriptionServices::delete_monitored_items(
    std::uint32_t subscription_id, std::span<const std::uint32_t> monitored_item_ids) {
  return session().delete_monitored_items(subscription_id, monitored_item_ids);
}

RepublishResponse UaSubscriptionServices::republish(std::uint32_t subscription_id,
                                                    std::uint32_t sequence_number) {
  return session().republish(subscription_id, sequence_number);
}

TransferSubscriptionsResponse UaSubscriptionServices::transfer_subscriptions(
    std::span<const std::uint32_t> ids) {
  // No initial values: what the old session missed comes back through Republish.
  return session().transfer_subscriptions(ids, false);
}

std::uint32_t UaSubscriptionServices::condition_refresh(std::uint32_t subscription_id) {
  const CallOutcome outcome =
      session().call(pyqar::ua::condition_refresh(subscription_id), "ConditionRefresh");
  return outcome.good() ? 0 : outcome.status;
}

std::chrono::milliseconds UaSubscriptionServices::publish_timeout() const {
  if (keep_alive_period_.count() == 0) return kDefaultPublishTimeout;
  // Each request ahead of this one may take up to one keep-alive period to be answered.
  const auto queued = static_cast<std::int64_t>(publishes_outstanding()) + 1;
  return std::clamp(keep_alive_period_ * (queued + 1), kMinPublishTimeout, kMaxPublishTimeout);
}

void UaSubscriptionServices::send_publish(std::span<const SubscriptionAcknowledgement> acks) {
  session().send_publish(acks, publish_timeout());
}

std::size_t UaSubscriptionServices::publishes_outstanding() const {
  return session_ ? session_->publishes_outstanding() : 0;
}

std::optional<PublishResponse> UaSubscriptionServices::receive_publish(
    std::chrono::steady_clock::time_point deadline) {
  return session().receive_publish(deadline);
}

Reconnected UaSubscriptionServices::reconnect() {
  auto log = journel::get_logger("pyqar");
  if (session_) {
    try {
      session_->reactivate();
      log->debug("OPC UA session on {} activated again on a new channel", url_.text);
      return Reconnected::same_session;
    } catch (const std::exception& e) {
      log->info("OPC UA session on {} cannot be resumed ({}); opening a new session", url_.text,
                e.what());
    }
  }
  // The old session is unusable by now, so closing it leaves its subscriptions on the server
  // for a transfer.
  open_session();
  log->info("OPC UA session open on {}", url_.text);
  return Reconnected::new_session;
}

bool UaSubscriptionServices::transfer_allowed() const {
  // A server hands an anonymous user's subscriptions only to a session it can tell is the
  // same client, which takes a signed channel.
  return !(options_.security.username.empty() && options_.security.mode == UaSecurityMode::None);
}

void UaSubscriptionServices::close() noexcept {
  // A usable session is closed with its subscriptions deleted.
  session_.reset();
}

}  // namespace pyqar::ua
