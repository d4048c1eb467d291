// The subscription services' requests as a server reads them, and their responses, hand-built
// as a server sends them, through decode_response; malformed bodies are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "response_header.h"
#include "ua/binary_reader.h"
#include "ua/binary_writer.h"
#include "ua/ua_codec.h"
#include "ua/ua_messages.h"
#include "ua/ua_subscription_messages.h"

namespace {

using namespace pyqar::ua;
using pyqar::ua::testing::write_response_header;

constexpr std::uint32_t kBadTimeout = 0x800A0000;
constexpr std::uint32_t kBadSequenceNumberUnknown = 0x807A0000;

// Checks the type id and reads past the request header, as a server would.
BinaryReader request_body(const std::vector<std::uint8_t>& bytes, std::uint32_t type) {
  BinaryReader r(bytes);
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, type));
  decode_node_id(r);  // authentication token
  r.i64();
  r.u32();
  r.u32();
  r.skip_string();
  r.u32();
  skip_extension_object(r);
  return r;
}

TEST(SubscriptionRequestEncoding, CreateSubscriptionPutsPublishingEnabledBeforePriority) {
  const SubscriptionParameters p{.publishing_interval_ms = 250.0,
                                 .lifetime_count = 300,
                                 .max_keep_alive_count = 20,
                                 .max_notifications_per_publish = 5000,
                                 .priority = 7};
  BinaryWriter w;
  encode_request(
      w, CreateSubscriptionRequest{.header = {}, .parameters = p, .publishing_enabled = true});
  BinaryReader r = request_body(w.data(), 787);
  EXPECT_EQ(r.f64(), 250.0);
  EXPECT_EQ(r.u32(), 300u);
  EXPECT_EQ(r.u32(), 20u);
  EXPECT_EQ(r.u32(), 5000u);
  EXPECT_TRUE(r.boolean());
  EXPECT_EQ(r.u8(), 7);
  EXPECT_EQ(r.remaining(), 0u);
}

// An item with the defaults: the Value, reporting, sampled at the publishing interval.
MonitoredItemToCreate plain_item(const NodeId& node, std::uint32_t client_handle) {
  MonitoredItemToCreate item;
  item.node = node;
  item.client_handle = client_handle;
  return item;
}

TEST(SubscriptionRequestEncoding, CreateMonitoredItemsWithAndWithoutDataChangeFilter) {
  MonitoredItemToCreate filtered = plain_item(NodeId::string_id(2, "Demo.Tag1"), 11);
  filtered.sampling_interval_ms = 100.0;
  filtered.filter = DataChangeFilter{.trigger = kTriggerStatusValueTimestamp,
                                     .deadband_type = kDeadbandAbsolute,
                                     .deadband_value = 0.5};
  filtered.queue_size = 10;
  filtered.discard_oldest = false;
  const std::vector<MonitoredItemToCreate> items = {filtered,
                                                    plain_item(NodeId::numeric_id(0, 2258), 12)};
  BinaryWriter w;
  encode_request(w,
                 CreateMonitoredItemsRequest{.header = {}, .subscription_id = 9, .items = items});
  BinaryReader r = request_body(w.data(), 751);
  EXPECT_EQ(r.u32(), 9u);
  EXPECT_EQ(r.i32(), 2);  // timestamps: both
  ASSERT_EQ(r.i32(), 2);
  const auto read_value_id = [&](const NodeId& node) {
    EXPECT_EQ(decode_node_id(r), node);
    EXPECT_EQ(r.u32(), 13u);
    EXPECT_EQ(r.string(), "");
    EXPECT_EQ(decode_qualified_name(r), QualifiedName{});
    EXPECT_EQ(r.i32(), kMonitoringModeReporting);
  };
  read_value_id(NodeId::string_id(2, "Demo.Tag1"));
  EXPECT_EQ(r.u32(), 11u);
  EXPECT_EQ(r.f64(), 100.0);
  const ExtensionObject filter = decode_extension_object(r);
  EXPECT_EQ(filter.type_id, NodeId::numeric_id(0, 724));
  BinaryReader f(filter.body);
  EXPECT_EQ(f.i32(), kTriggerStatusValueTimestamp);
  EXPECT_EQ(f.u32(), kDeadbandAbsolute);
  EXPECT_EQ(f.f64(), 0.5);
  EXPECT_EQ(f.remaining(), 0u);
  EXPECT_EQ(r.u32(), 10u);
  EXPECT_FALSE(r.boolean());

  read_value_id(NodeId::numeric_id(0, 2258));
  EXPECT_EQ(r.u32(), 12u);
  EXPECT_EQ(r.f64(), -1.0);
  EXPECT_EQ(decode_extension_object(r), ExtensionObject{});  // no filter: null
  EXPECT_EQ(r.u32(), 1u);
  EXPECT_TRUE(r.boolean());
  EXPECT_EQ(r.remaining(), 0u);
}

void write_type(BinaryWriter& w, std::uint32_t type) {
  encode_node_id(w, NodeId::numeric_id(0, type));
}

// One notificationData entry: type id, binary body with its length.
void write_notification(BinaryWriter& w, const NodeId& type, const BinaryWriter& body) {
  encode_node_id(w, type);
  w.u8(0x01);
  w.i32(static_cast<std::int32_t>(body.size()));
  w.bytes(body.data());
}

// A Publish response as a server sends it: a DataChangeNotification with two values (and a
// diagnostic info), a StatusChangeNotification, an event list and a kind nobody knows.
std::vector<std::uint8_t> publish_response() {
  BinaryWriter w;
  write_type(w, 829);
  write_response_header(w);
  w.u32(3);  // subscription id
  w.i32(2);  // available sequence numbers
  w.u32(16);
  w.u32(17);
  w.boolean(true);  // more notifications
  w.u32(17);        // sequence number
  w.i64(133'000'000'000'000'000);
  w.i32(4);  // notification data

  BinaryWriter changes;
  changes.i32(2);
  changes.u32(11);
  DataValue v1;
  v1.value = Variant(BuiltinType::Double, false, 21.5);
  v1.source_timestamp = 133'000'000'000'000'001;
  encode_data_value(changes, v1);
  changes.u32(12);
  DataValue v2;
  v2.status = 0x80340000;
  encode_data_value(changes, v2);
  changes.i32(1);    // diagnostic infos
  changes.u8(0x20);  // ... with an inner status code
  changes.u32(0x80000000);
  write_notification(w, NodeId::numeric_id(0, 811), changes);

  BinaryWriter status;
  status.u32(kBadTimeout);
  status.u8(0x00);  // diagnostic info: none
  write_notification(w, NodeId::numeric_id(0, 820), status);

  BinaryWriter events;
  events.i32(1);  // one EventFieldList: client handle and one field
  events.u32(99);
  events.i32(1);
  events.u8(0x06);
  events.i32(5);
  write_notification(w, NodeId::numeric_id(0, 916), events);

  BinaryWriter unknown;
  unknown.u32(0xdeadbeef);
  write_notification(w, NodeId::string_id(2, "VendorNotification"), unknown);

  w.i32(2);  // results of the previous acknowledgements
  w.u32(0);
  w.u32(kBadSequenceNumberUnknown);
  w.i32(-1);  // diagnostic infos
  return w.take();
}

TEST(SubscriptionResponseDecoding, PublishResponseWithEveryKindOfNotification) {
  const ServiceResponse decoded = decode_response(publish_response());
  const auto* res = std::get_if<PublishResponse>(&decoded);
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(header_of(decoded).service_result, 0u);
  EXPECT_EQ(res->subscription_id, 3u);
  EXPECT_EQ(res->available_sequence_numbers, (std::vector<std::uint32_t>{16, 17}));
  EXPECT_TRUE(res->more_notifications);
  EXPECT_EQ(res->message.sequence_number, 17u);
  EXPECT_EQ(res->message.publish_time, 133'000'000'000'000'000);
  ASSERT_EQ(res->message.data_changes.size(), 2u);
  EXPECT_EQ(res->message.data_changes[0].client_handle, 11u);
  ASSERT_TRUE(res->message.data_changes[0].value.value.has_value());
  EXPECT_EQ(std::get<double>(res->message.data_changes[0].value.value->scalar), 21.5);
  EXPECT_EQ(res->message.data_changes[0].value.source_timestamp, 133'000'000'000'000'001);
  EXPECT_EQ(res->message.data_changes[1].client_handle, 12u);
  EXPECT_EQ(res->message.data_changes[1].value.status, 0x80340000u);
  EXPECT_EQ(res->message.status_changes, (std::vector<std::uint32_t>{kBadTimeout}));
  ASSERT_EQ(res->message.events.size(), 1u);
  EXPECT_EQ(res->message.events[0].client_handle, 99u);
  ASSERT_EQ(res->message.events[0].fields.size(), 1u);
  EXPECT_EQ(std::get<std::int64_t>(res->message.events[0].fields[0].scalar), 5);
  EXPECT_EQ(res->message.skipped, 1u);  // the unknown kind
  EXPECT_EQ(res->results, (std::vector<std::uint32_t>{0, kBadSequenceNumberUnknown}));
}

TEST(SubscriptionResponseDecoding, KeepAliveWithNullArrays) {
  BinaryWriter w;
  write_type(w, 829);
  write_response_header(w);
  w.u32(3);
  w.i32(-1);  // nothing kept for republishing
  w.boolean(false);
  w.u32(18);  // the next sequence number, not consumed
  w.i64(0);
  w.i32(0);  // no notification data
  w.i32(-1);
  w.i32(-1);
  const ServiceResponse keep_alive = decode_response(w.data());
  const auto& res = std::get<PublishResponse>(keep_alive);
  EXPECT_TRUE(res.available_sequence_numbers.empty());
  EXPECT_EQ(res.message.sequence_number, 18u);
  EXPECT_TRUE(res.message.data_changes.empty());
  EXPECT_EQ(res.message.skipped, 0u);
}

TEST(SubscriptionResponseDecoding, PerItemResultsKeepTheirFilterResults) {
  BinaryWriter items;
  write_type(items, 754);
  write_response_header(items);
  items.i32(2);
  items.u32(0);
  items.u32(1001);
  items.f64(100.0);
  items.u32(10);
  encode_extension_object(items, {.type_id = NodeId::numeric_id(0, 733), .body = {1, 2, 3}});
  items.u32(0x80340000);  // BadNodeIdUnknown
  items.u32(0);
  items.f64(0.0);
  items.u32(0);
  encode_extension_object(items, {});
  items.i32(-1);
  const auto monitored = std::get<CreateMonitoredItemsResponse>(decode_response(items.data()));
  ASSERT_EQ(monitored.results.size(), 2u);
  EXPECT_EQ(monitored.results[0].monitored_item_id, 1001u);
  EXPECT_EQ(monitored.results[0].revised_sampling_interval_ms, 100.0);
  EXPECT_EQ(monitored.results[0].revised_queue_size, 10u);
  EXPECT_EQ(monitored.results[1].status, 0x80340000u);
  EXPECT_EQ(monitored.results[0].filter_result.type_id, NodeId::numeric_id(0, 733));
  EXPECT_EQ(monitored.results[0].filter_result.body, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_TRUE(monitored.results[1].filter_result.type_id.is_null());

  BinaryWriter t;
  write_type(t, 844);
  write_response_header(t);
  t.i32(2);
  t.u32(0);
  t.i32(2);
  t.u32(16);
  t.u32(17);
  t.u32(0x80280000);
  t.i32(-1);
  t.i32(-1);
  const auto transferred = std::get<TransferSubscriptionsResponse>(decode_response(t.data()));
  ASSERT_EQ(transferred.results.size(), 2u);
  EXPECT_EQ(transferred.results[0].available_sequence_numbers,
            (std::vector<std::uint32_t>{16, 17}));
  EXPECT_EQ(transferred.results[1].status, 0x80280000u);
}

TEST(SubscriptionResponseDecoding, RefusesTruncatedAndLyingMessages) {
  const std::vector<std::uint8_t> full = publish_response();
  for (std::size_t n = 0; n < full.size(); ++n) {
    const std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
    EXPECT_THROW(decode_response(cut), DecodeError) << "cut at " << n;
  }

  // Headers of a Publish response up to its notification data.
  const auto publish_head = [](std::int32_t count) {
    BinaryWriter w;
    write_type(w, 829);
    write_response_header(w);
    w.u32(3);
    w.i32(-1);
    w.boolean(false);
    w.u32(1);
    w.i64(0);
    w.i32(count);
    return w;
  };
  // More notifications than bytes.
  EXPECT_THROW(decode_response(publish_head(1'000'000).data()), DecodeError);
  // A notification longer than the message.
  BinaryWriter too_long = publish_head(1);
  write_type(too_long, 811);
  too_long.u8(0x01);
  too_long.i32(1'000);
  too_long.i32(0);
  EXPECT_THROW(decode_response(too_long.data()), DecodeError);
  // A data change whose values run past the length it declared.
  BinaryWriter body;
  body.i32(1);
  body.u32(11);
  encode_data_value(body, DataValue{.value = Variant(BuiltinType::Double, false, 1.0),
                                    .status = {},
                                    .source_timestamp = {},
                                    .server_timestamp = {}});
  body.i32(-1);
  BinaryWriter overrun = publish_head(1);
  write_type(overrun, 811);
  overrun.u8(0x01);
  overrun.i32(static_cast<std::int32_t>(body.size() - 8));
  overrun.bytes(body.data());
  overrun.i32(-1);
  overrun.i32(-1);
  try {
    decode_response(overrun.data());
    ADD_FAILURE() << "an overrunning notification was accepted";
  } catch (const DecodeError& e) {
    EXPECT_NE(std::string(e.what()).find("runs past its"), std::string::npos) << e.what();
  }
}

}  // namespace
