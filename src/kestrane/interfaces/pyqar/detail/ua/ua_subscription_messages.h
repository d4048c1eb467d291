#pragma once
// The subscription and monitored-item service requests and their responses, with binary
// encoders and the decoder that decode_response hands their bodies to. Plain data and free
// functions; any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "binary_reader.h"
#include "binary_writer.h"
#include "node_id.h"
#include "ua_codec.h"
#include "ua_event_messages.h"
#include "ua_service_header.h"

namespace pyqar::ua {

// DefaultBinary encoding ids (namespace 0), as the published NodeIds list gives them: each
// is its DataType's id + 2 (+ 1 is the XML encoding).
namespace type_id {
inline constexpr std::uint32_t DataChangeFilter = 724;
inline constexpr std::uint32_t CreateMonitoredItemsRequest = 751;
inline constexpr std::uint32_t CreateMonitoredItemsResponse = 754;
inline constexpr std::uint32_t DeleteMonitoredItemsRequest = 781;
inline constexpr std::uint32_t DeleteMonitoredItemsResponse = 784;
inline constexpr std::uint32_t CreateSubscriptionRequest = 787;
inline constexpr std::uint32_t CreateSubscriptionResponse = 790;
inline constexpr std::uint32_t ModifySubscriptionRequest = 793;
inline constexpr std::uint32_t ModifySubscriptionResponse = 796;
inline constexpr std::uint32_t SetPublishingModeRequest = 799;
inline constexpr std::uint32_t SetPublishingModeResponse = 802;
inline constexpr std::uint32_t DataChangeNotification = 811;
inline constexpr std::uint32_t StatusChangeNotification = 820;
inline constexpr std::uint32_t PublishRequest = 826;
inline constexpr std::uint32_t PublishResponse = 829;
inline constexpr std::uint32_t RepublishRequest = 832;
inline constexpr std::uint32_t RepublishResponse = 835;
inline constexpr std::uint32_t TransferSubscriptionsRequest = 841;
inline constexpr std::uint32_t TransferSubscriptionsResponse = 844;
inline constexpr std::uint32_t DeleteSubscriptionsRequest = 847;
inline constexpr std::uint32_t DeleteSubscriptionsResponse = 850;
inline constexpr std::uint32_t EventNotificationList = 916;
}  // namespace type_id

// Server.ServerCapabilities.OperationLimits.MaxMonitoredItemsPerCall (0 means not stated).
inline constexpr std::uint32_t kMaxMonitoredItemsPerCallNode = 11714;

// MonitoringMode.
inline constexpr std::int32_t kMonitoringModeDisabled = 0;
inline constexpr std::int32_t kMonitoringModeSampling = 1;
inline constexpr std::int32_t kMonitoringModeReporting = 2;
// DataChangeTrigger.
inline constexpr std::int32_t kTriggerStatus = 0;
inline constexpr std::int32_t kTriggerStatusValue = 1;
inline constexpr std::int32_t kTriggerStatusValueTimestamp = 2;
// DeadbandType.
inline constexpr std::uint32_t kDeadbandNone = 0;
inline constexpr std::uint32_t kDeadbandAbsolute = 1;
inline constexpr std::uint32_t kDeadbandPercent = 2;

// What CreateSubscription asks for and ModifySubscription changes.
struct SubscriptionParameters {
  double publishing_interval_ms = 1000.0;
  std::uint32_t lifetime_count = 60;
  std::uint32_t max_keep_alive_count = 10;
  std::uint32_t max_notifications_per_publish = 0;  // 0: no limit
  std::uint8_t priority = 0;
};

struct DataChangeFilter {
  std::int32_t trigger = kTriggerStatusValue;
  std::uint32_t deadband_type = kDeadbandNone;
  double deadband_value = 0.0;
};

// One MonitoredItemCreateRequest: the node's attribute and its MonitoringParameters. Without
// a filter the server applies its default (StatusValue, no deadband).
struct MonitoredItemToCreate {
  NodeId node;
  std::uint32_t attribute_id = 13;  // the Value attribute
  std::int32_t monitoring_mode = kMonitoringModeReporting;
  std::uint32_t client_handle = 0;
  double sampling_interval_ms = -1.0;  // -1: the subscription's publishing interval
  std::optional<DataChangeFilter> filter;
  // An event item's EventFilter, sent instead of `filter`; null for a value's item.
  ExtensionObject event_filter{};
  std::uint32_t queue_size = 1;
  bool discard_oldest = true;
};

struct SubscriptionAcknowledgement {
  std::uint32_t subscription_id = 0;
  std::uint32_t sequence_number = 0;
};

struct CreateSubscriptionRequest {
  RequestHeader header;
  SubscriptionParameters parameters;
  bool publishing_enabled = true;
};
struct ModifySubscriptionRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  SubscriptionParameters parameters;
};
struct DeleteSubscriptionsRequest {
  RequestHeader header;
  std::span<const std::uint32_t> subscription_ids;
};
struct SetPublishingModeRequest {
  RequestHeader header;
  bool publishing_enabled = true;
  std::span<const std::uint32_t> subscription_ids;
};
// Timestamps to return: Both (source and server).
struct CreateMonitoredItemsRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  std::span<const MonitoredItemToCreate> items;
};
struct DeleteMonitoredItemsRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  std::span<const std::uint32_t> monitored_item_ids;
};
struct PublishRequest {
  RequestHeader header;
  std::span<const SubscriptionAcknowledgement> acknowledgements;
};
struct RepublishRequest {
  RequestHeader header;
  std::uint32_t subscription_id = 0;
  std::uint32_t retransmit_sequence_number = 0;
};
struct TransferSubscriptionsRequest {
  RequestHeader header;
  std::span<const std::uint32_t> subscription_ids;
  bool send_initial_values = false;
};

struct MonitoredItemNotification {
  std::uint32_t client_handle = 0;
  DataValue value;
};

// A NotificationMessage with its notification data sorted by kind: the data changes of every
// DataChangeNotification in order, the events of every EventNotificationList in order, the
// status of every StatusChangeNotification, and a count of those the client does not use
// (unknown kinds), which are read past.
struct NotificationMessage {
  std::uint32_t sequence_number = 0;
  std::int64_t publish_time = 0;
  std::vector<MonitoredItemNotification> data_changes;
  std::vector<EventFieldList> events{};
  std::vector<std::uint32_t> status_changes;
  std::size_t skipped = 0;
};

struct MonitoredItemCreateResult {
  std::uint32_t status = 0;
  std::uint32_t monitored_item_id = 0;
  double revised_sampling_interval_ms = 0;
  std::uint32_t revised_queue_size = 0;
  ExtensionObject filter_result{};  // null when the server sent none
};

struct TransferResult {
  std::uint32_t status = 0;
  std::vector<std::uint32_t> available_sequence_numbers;
};

struct CreateSubscriptionResponse {
  ResponseHeader header;
  std::uint32_t subscription_id = 0;
  double revised_publishing_interval_ms = 0;
  std::uint32_t revised_lifetime_count = 0;
  std::uint32_t revised_max_keep_alive_count = 0;
};
struct ModifySubscriptionResponse {
  ResponseHeader header;
  double revised_publishing_interval_ms = 0;
  std::uint32_t revised_lifetime_count = 0;
  std::uint32_t revised_max_keep_alive_count = 0;
};
struct DeleteSubscriptionsResponse {
  ResponseHeader header;
  std::vector<std::uint32_t> results;
};
struct SetPublishingModeResponse {
  ResponseHeader header;
  std::vector<std::uint32_t> results;
};
struct CreateMonitoredItemsResponse {
  ResponseHeader header;
  std::vector<MonitoredItemCreateResult> results;
};
struct DeleteMonitoredItemsResponse {
  ResponseHeader header;
  std::vector<std::uint32_t> results;
};
// `results` answer the acknowledgements of the request this one replies to.
struct PublishResponse {
  ResponseHeader header;
  std::uint32_t subscription_id = 0;
  std::vector<std::uint32_t> available_sequence_numbers;
  bool more_notifications = false;
  NotificationMessage message;
  std::vector<std::uint32_t> results;
};
struct RepublishResponse {
  ResponseHeader header;
  NotificationMessage message;
};
struct TransferSubscriptionsResponse {
  ResponseHeader header;
  std::vector<TransferResult> results;
};

using SubscriptionResponse =
    std::variant<CreateSubscriptionResponse, ModifySubscriptionResponse,
                 DeleteSubscriptionsResponse, SetPublishingModeResponse,
                 CreateMonitoredItemsResponse, DeleteMonitoredItemsResponse, PublishResponse,
                 RepublishResponse, TransferSubscriptionsResponse>;

// Each encoder writes the type id and then the request.
void encode_request(BinaryWriter& w, const CreateSubscriptionRequest& req);
void encode_request(BinaryWriter& w, const ModifySubscriptionRequest& req);
void encode_request(BinaryWriter& w, const DeleteSubscriptionsRequest& req);
void encode_request(BinaryWriter& w, const SetPublishingModeRequest& req);
void encode_request(BinaryWriter& w, const CreateMonitoredItemsRequest& req);
void encode_request(BinaryWriter& w, const DeleteMonitoredItemsRequest& req);
void encode_request(BinaryWriter& w, const PublishRequest& req);
void encode_request(BinaryWriter& w, const RepublishRequest& req);
void encode_request(BinaryWriter& w, const TransferSubscriptionsRequest& req);

bool is_subscription_response(std::uint32_t type);
// Decodes what follows the response header of a response of `type` (for which
// is_subscription_response holds). Throws DecodeError for a malformed body.
SubscriptionResponse decode_subscription_response(std::uint32_t type, const ResponseHeader& header,
                                                  BinaryReader& r);

}  // namespace pyqar::ua
