#include "ua_subscription_messages.h"

#include <fmt/format.h>

#include "ua_limits.h"

namespace pyqar::ua {
namespace {

constexpr std::int32_t kTimestampsBoth = 2;

void encode_type(BinaryWriter& w, std::uint32_t id) {
  encode_node_id(w, NodeId::numeric_id(0, id));
}

void encode_ids(BinaryWriter& w, std::span<const std::uint32_t> ids) {
  w.i32(static_cast<std::int32_t>(ids.size()));
  for (const std::uint32_t id : ids) w.u32(id);
}

// Field order of both requests: interval, lifetime, keep-alive, notifications per publish;
// CreateSubscription puts publishingEnabled before the priority.
void encode_parameters(BinaryWriter& w, const SubscriptionParameters& p) {
  w.f64(p.publishing_interval_ms);
  w.u32(p.lifetime_count);
  w.u32(p.max_keep_alive_count);
  w.u32(p.max_notifications_per_publish);
}

void encode_filter(BinaryWriter& w, const std::optional<DataChangeFilter>& filter) {
  if (!filter) {
    encode_extension_object(w, {});
    return;
  }
  BinaryWriter body;
  body.i32(filter->trigger);
  body.u32(filter->deadband_type);
  body.f64(filter->deadband_value);
  encode_extension_object(
      w, {.type_id = NodeId::numeric_id(0, type_id::DataChangeFilter), .body = body.take()});
}

std::vector<std::uint32_t> decode_u32s(BinaryReader& r) {
  return decode_array<std::uint32_t>(r, 4, [](BinaryReader& in) { return in.u32(); });
}

// StatusCode[] then DiagnosticInfo[], the tail of most responses.
std::vector<std::uint32_t> decode_results(BinaryReader& r) {
  auto results = decode_u32s(r);
  skip_array(r, 1, skip_diagnostic_info);
  return results;
}

MonitoredItemCreateResult decode_create_result(BinaryReader& r) {
  MonitoredItemCreateResult res;
  res.status = r.u32();
  res.monitored_item_id = r.u32();
  res.revised_sampling_interval_ms = r.f64();
  res.revised_queue_size = r.u32();
  res.filter_result = decode_extension_object(r);
  return res;
}
// StatusCode + UInt32 + Double + UInt32 + ExtensionObject (null NodeId + encoding byte).
constexpr std::size_t kMinCreateResultSize = 4 + 4 + 8 + 4 + 3;

TransferResult decode_transfer_result(BinaryReader& r) {
  TransferResult res;
  res.status = r.u32();
  res.available_sequence_numbers = decode_u32s(r);
  return res;
}

// The body of one DataChangeNotification: MonitoredItemNotification[] then DiagnosticInfo[].
void decode_data_changes(BinaryReader& r, std::vector<MonitoredItemNotification>& out) {
  const std::size_t n = r.array_length(4 + 1);
  // The count is bounded by the bytes left, so a lying server cannot make this reserve more
  // than the message could fill; growing one by one moved every value ten times over for a
  // thousand changes.
  out.reserve(out.size() + n);
  for (std::size_t i = 0; i < n; ++i) {
    MonitoredItemNotification item;
    item.client_handle = r.u32();
    item.value = decode_data_value(r);
    out.push_back(std::move(item));
  }
  skip_array(r, 1, skip_diagnostic_info);
}

// One notificationData ExtensionObject, decoded where it lies so that the message's limits
// on kept values hold across all of its notifications.
void decode_notification(BinaryReader& r, NotificationMessage& message) {
  const NodeId type = decode_node_id(r);
  const std::uint8_t encoding = r.u8();
  if (encoding == 0x00) {
    ++message.skipped;
    return;
  }
  if (encoding != 0x01 && encoding != 0x02) {
    throw DecodeError(fmt::format("unknown notification encoding 0x{:02x}", encoding));
  }
  const std::int32_t length = r.i32();
  if (length < 0 || static_cast<std::size_t>(length) > r.remaining()) {
    throw DecodeError(
        fmt::format("notification of {} bytes where {} are left", length, r.remaining()));
  }
  const std::size_t end = r.position() + static_cast<std::size_t>(length);
  const bool binary =
      encoding == 0x01 && type.kind == NodeId::Kind::Numeric && type.namespace_index == 0;
  if (binary && type.numeric == type_id::DataChangeNotification) {
    decode_data_changes(r, message.data_changes);
  } else if (binary && type.numeric == type_id::EventNotificationList) {
    decode_event_notification_list(r, message.events);
  } else if (binary && type.numeric == type_id::StatusChangeNotification) {
    message.status_changes.push_back(r.u32());
    skip_diagnostic_info(r);
  } else {
    // Kinds this client never asks for: their length is known, so skip them.
    ++message.skipped;
  }
  if (r.position() > end) {
    throw DecodeError(
        fmt::format("notification i={} runs past its {} bytes", type.numeric, length));
  }
  r.skip(end - r.position());
}

NotificationMessage decode_notification_message(BinaryReader& r) {
  NotificationMessage message;
  message.sequence_number = r.u32();
  message.publish_time = r.i64();
  // Each ExtensionObject takes at least a two-byte NodeId and its encoding byte.
  const std::size_t n = r.array_length(3);
  for (std::size_t i = 0; i < n; ++i) decode_notification(r, message);
  return message;
}

}  // namespace

void encode_request(BinaryWriter& w, const CreateSubscriptionRequest& req) {
  encode_type(w, type_id::CreateSubscriptionRequest);
  encode_request_header(w, req.header);
  encode_parameters(w, req.parameters);
  w.boolean(req.publishing_enabled);
  w.u8(req.parameters.priority);
}

void encode_request(BinaryWriter& w, const ModifySubscriptionRequest& req) {
  encode_type(w, type_id::ModifySubscriptionRequest);
  encode_request_header(w, req.header);
  w.u32(req.subscription_id);
  encode_parameters(w, req.parameters);
  w.u8(req.parameters.priority);
}

void encode_request(BinaryWriter& w, const DeleteSubscriptionsRequest& req) {
  encode_type(w, type_id::DeleteSubscriptionsRequest);
  encode_request_header(w, req.header);
  encode_ids(w, req.subscription_ids);
}

void encode_request(BinaryWriter& w, const SetPublishingModeRequest& req) {
  encode_type(w, type_id::SetPublishingModeRequest);
  encode_request_header(w, req.header);
  w.boolean(req.publishing_enabled);
  encode_ids(w, req.subscription_ids);
}

void encode_request(BinaryWriter& w, const CreateMonitoredItemsRequest& req) {
  encode_type(w, type_id::CreateMonitoredItemsRequest);
  encode_request_header(w, req.header);
  w.u32(req.subscription_id);
  w.i32(kTimestampsBoth);
  w.i32(static_cast<std::int32_t>(req.items.size()));
  for (const MonitoredItemToCreate& item : req.items) {
    // ReadValueId: node, attribute, index range, data encoding (default).
    encode_node_id(w, item.node);
    w.u32(item.attribute_id);
    w.null_string();
    w.u16(0);
    w.null_string();
    w.i32(item.monitoring_mode);
    // MonitoringParameters.
    w.u32(item.client_handle);
    w.f64(item.sampling_interval_ms);
    if (item.event_filter.type_id.is_null())
      encode_filter(w, item.filter);
    else
      encode_extension_object(w, item.event_filter);
    w.u32(item.queue_size);
    w.boolean(item.discard_oldest);
  }
}

void encode_request(BinaryWriter& w, const DeleteMonitoredItemsRequest& req) {
  encode_type(w, type_id::DeleteMonitoredItemsRequest);
  encode_request_header(w, req.header);
  w.u32(req.subscription_id);
  encode_ids(w, req.monitored_item_ids);
}

void encode_request(BinaryWriter& w, const PublishRequest& req) {
  encode_type(w, type_id::PublishRequest);
  encode_request_header(w, req.header);
  w.i32(static_cast<std::int32_t>(req.acknowledgements.size()));
  for (const SubscriptionAcknowledgement& ack : req.acknowledgements) {
    w.u32(ack.subscription_id);
    w.u32(ack.sequence_number);
  }
}

void encode_request(BinaryWriter& w, const RepublishRequest& req) {
  encode_type(w, type_id::RepublishRequest);
  encode_request_header(w, req.header);
  w.u32(req.subscription_id);
  w.u32(req.retransmit_sequence_number);
}

void encode_request(BinaryWriter& w, const TransferSubscriptionsRequest& req) {
  encode_type(w, type_id::TransferSubscriptionsRequest);
  encode_request_header(w, req.header);
  encode_ids(w, req.subscription_ids);
  w.boolean(req.send_initial_values);
}

bool is_subscription_response(std::uint32_t type) {
  switch (type) {
    case type_id::CreateSubscriptionResponse:
    case type_id::ModifySubscriptionResponse:
    case type_id::DeleteSubscriptionsResponse:
    case type_id::SetPublishingModeResponse:
    case type_id::CreateMonitoredItemsResponse:
    case type_id::DeleteMonitoredItemsResponse:
    case type_id::PublishResponse:
    case type_id::RepublishResponse:
    case type_id::TransferSubscriptionsResponse:
      return true;
    default:
      return false;
  }
}

SubscriptionResponse decode_subscription_response(std::uint32_t type, const ResponseHeader& header,
                                                  BinaryReader& r) {
  switch (type) {
    case type_id::CreateSubscriptionResponse: {
      CreateSubscriptionResponse res;
      res.header = header;
      res.subscription_id = r.u32();
      res.revised_publishing_interval_ms = r.f64();
      res.revised_lifetime_count = r.u32();
      res.revised_max_keep_alive_count = r.u32();
      return res;
    }
    case type_id::ModifySubscriptionResponse: {
      ModifySubscriptionResponse res;
      res.header = header;
      res.revised_publishing_interval_ms = r.f64();
      res.revised_lifetime_count = r.u32();
      res.revised_max_keep_alive_count = r.u32();
      return res;
    }
    case type_id::DeleteSubscriptionsResponse:
      return DeleteSubscriptionsResponse{.header = header, .results = decode_results(r)};
    case type_id::SetPublishingModeResponse:
      return SetPublishingModeResponse{.header = header, .results = decode_results(r)};
    case type_id::CreateMonitoredItemsResponse: {
      CreateMonitoredItemsResponse res;
      res.header = header;
      res.results =
          decode_array<MonitoredItemCreateResult>(r, kMinCreateResultSize, decode_create_result);
      skip_array(r, 1, skip_diagnostic_info);
      return res;
    }
    case type_id::DeleteMonitoredItemsResponse:
      return DeleteMonitoredItemsResponse{.header = header, .results = decode_results(r)};
    case type_id::PublishResponse: {
      PublishResponse res;
      res.header = header;
      res.subscription_id = r.u32();
      res.available_sequence_numbers = decode_u32s(r);
      res.more_notifications = r.boolean();
      res.message = decode_notification_message(r);
      res.results = decode_results(r);
      return res;
    }
    case type_id::RepublishResponse:
      return RepublishResponse{.header = header, .message = decode_notification_message(r)};
    case type_id::TransferSubscriptionsResponse: {
      TransferSubscriptionsResponse res;
      res.header = header;
      res.results = decode_array<TransferResult>(r, 4 + 4, decode_transfer_result);
      skip_array(r, 1, skip_diagnostic_info);
      return res;
    }
    default:
      throw DecodeError(fmt::format("unexpected subscription response type i={}", type));
  }
}

}  // namespace pyqar::ua
