// Events on the wire: the EventFilter as a server reads it, event lists and filter results
// hand-built as a server sends them, the mapping of one event to its record, and the Call
// of ConditionRefresh. Hostile counts are refused, never allocated.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "response_header.h"
#include "ua/binary_reader.h"
#include "ua/binary_writer.h"
#include "ua/ua_call_messages.h"
#include "ua/ua_codec.h"
#include "ua/ua_event_filter.h"
#include "ua/ua_event_messages.h"
#include "ua/ua_event_record.h"
#include "ua/ua_messages.h"

namespace {

using namespace pyqar::ua;
using pyqar::ua::testing::write_response_header;

constexpr std::uint32_t kBadNodeIdUnknown = 0x80340000;
constexpr std::uint32_t kBadTypeMismatch = 0x80740000;
constexpr std::uint32_t kBadSubscriptionIdInvalid = 0x80280000;

SimpleAttributeOperand read_operand(BinaryReader& r) {
  SimpleAttributeOperand op;
  op.type_definition = decode_node_id(r);
  op.browse_path = decode_array<QualifiedName>(r, 6, decode_qualified_name);
  op.attribute_id = r.u32();
  EXPECT_EQ(r.i32(), -1);  // index range
  return op;
}

struct Element {
  std::int32_t op = 0;
  std::vector<ExtensionObject> operands;
};

std::vector<Element> read_where_clause(BinaryReader& r) {
  return decode_array<Element>(r, 8, [](BinaryReader& in) {
    Element e;
    e.op = in.i32();
    e.operands = decode_array<ExtensionObject>(in, 3, decode_extension_object);
    return e;
  });
}

std::uint32_t element_index(const ExtensionObject& e) {
  EXPECT_EQ(e.type_id, NodeId::numeric_id(0, 594));
  BinaryReader r(e.body);
  return r.u32();
}

NodeId literal_node(const ExtensionObject& e) {
  EXPECT_EQ(e.type_id, NodeId::numeric_id(0, 597));
  BinaryReader r(e.body);
  return std::get<NodeId>(decode_variant(r).scalar);
}

TEST(EventFilterEncoding, StandardFieldsThenExtraPathsWithoutDuplicates) {
  const std::vector<std::string> extra{"Temperature", "ActiveState/Id", "2:Line/2:Speed"};
  const EventSelection s = event_selection(extra);
  ASSERT_EQ(s.clauses.size(), 21u);
  ASSERT_EQ(s.fields.size(), s.clauses.size());
  ASSERT_EQ(s.names.size(), s.clauses.size());
  const ExtensionObject filter = encode_event_filter({.select = s.clauses, .of_types = {}});
  EXPECT_EQ(filter.type_id, NodeId::numeric_id(0, 727));
  BinaryReader r(filter.body);
  const auto clauses = decode_array<SimpleAttributeOperand>(r, 14, read_operand);
  EXPECT_EQ(clauses, s.clauses);
  EXPECT_TRUE(read_where_clause(r).empty());
  EXPECT_EQ(r.remaining(), 0u);

  EXPECT_EQ(clauses[0].type_definition, NodeId::numeric_id(0, 2041));
  EXPECT_EQ(clauses[0].browse_path, (std::vector<QualifiedName>{{0, "EventId"}}));
  EXPECT_EQ(clauses[0].attribute_id, 13u);
  EXPECT_EQ(s.fields[8], EventField::ConditionId);
  EXPECT_EQ(clauses[8].type_definition, NodeId::numeric_id(0, 2782));
  EXPECT_TRUE(clauses[8].browse_path.empty());
  EXPECT_EQ(clauses[8].attribute_id, 1u);
  EXPECT_EQ(s.names[13], "ActiveState/Id");
  EXPECT_EQ(clauses[13].browse_path, (std::vector<QualifiedName>{{0, "ActiveState"}, {0, "Id"}}));
  EXPECT_EQ(s.names[19], "Temperature");
  EXPECT_EQ(s.fields[19], EventField::Extra);
  EXPECT_EQ(s.names[20], "2:Line/2:Speed");
  EXPECT_EQ(clauses[20].browse_path, (std::vector<QualifiedName>{{2, "Line"}, {2, "Speed"}}));
}

TEST(EventFilterEncoding, TypesAreOfTypeElementsJoinedByOr) {
  const NodeId a = NodeId::numeric_id(0, 2915);
  const NodeId b = NodeId::string_id(3, "PumpEvent");
  const NodeId c = NodeId::numeric_id(4, 7);
  {
    const ExtensionObject filter = encode_event_filter({.select = {}, .of_types = {a}});
    BinaryReader r(filter.body);
    EXPECT_EQ(r.i32(), 0);
    const auto where = read_where_clause(r);
    ASSERT_EQ(where.size(), 1u);
    EXPECT_EQ(where[0].op, 14);
    ASSERT_EQ(where[0].operands.size(), 1u);
    EXPECT_EQ(literal_node(where[0].operands[0]), a);
  }
  {
    const ExtensionObject filter = encode_event_filter({.select = {}, .of_types = {a, b, c}});
    BinaryReader r(filter.body);
    EXPECT_EQ(r.i32(), 0);
    const auto where = read_where_clause(r);
    ASSERT_EQ(where.size(), 5u);
    // Or(OfType a, Or(OfType b, OfType c)): every type reached once, every operand forward.
    EXPECT_EQ(where[0].op, 11);
    EXPECT_EQ(element_index(where[0].operands[0]), 2u);
    EXPECT_EQ(element_index(where[0].operands[1]), 1u);
    EXPECT_EQ(where[1].op, 11);
    EXPECT_EQ(element_index(where[1].operands[0]), 3u);
    EXPECT_EQ(element_index(where[1].operands[1]), 4u);
    EXPECT_EQ(literal_node(where[2].operands[0]), a);
    EXPECT_EQ(literal_node(where[3].operands[0]), b);
    EXPECT_EQ(literal_node(where[4].operands[0]), c);
    EXPECT_EQ(r.remaining(), 0u);
  }
}

TEST(EventFilterEncoding, BrowsePathsParseAndBadOnesAreNamed) {
  EXPECT_EQ(browse_path_text(parse_browse_path("2:Line/2:Speed")), "2:Line/2:Speed");
  EXPECT_EQ(parse_browse_path("a:b"), (std::vector<QualifiedName>{{0, "a:b"}}));
  EXPECT_EQ(parse_browse_path("0:X"), (std::vector<QualifiedName>{{0, "X"}}));
  for (const char* bad : {"", "A//B", "/A", "A/", "2:", "70000:Speed"}) {
    try {
      parse_browse_path(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("'") + bad + "'"), std::string::npos)
          << e.what();
    }
  }
  const std::vector<std::string> extra{"Temperature", "3:Line//Speed"};
  EXPECT_THROW(event_selection(extra), std::invalid_argument);
}

std::vector<std::uint8_t> body_of(BinaryWriter& w) { return w.take(); }

TEST(EventNotificationDecoding, EventsKeepTheirFieldsAndHostileCountsAreRefused) {
  BinaryWriter w;
  w.i32(2);
  w.u32(7);
  w.i32(2);
  encode_variant(w, Variant(BuiltinType::String, false, std::string("Pump 1")));
  encode_variant(w, Variant());
  w.u32(8);
  w.i32(-1);  // no fields at all
  const auto bytes = body_of(w);
  BinaryReader r(bytes);
  std::vector<EventFieldList> events;
  decode_event_notification_list(r, events);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].client_handle, 7u);
  ASSERT_EQ(events[0].fields.size(), 2u);
  EXPECT_EQ(std::get<std::string>(events[0].fields[0].scalar), "Pump 1");
  EXPECT_EQ(events[0].fields[1].type, BuiltinType::Null);
  EXPECT_TRUE(events[1].fields.empty());

  BinaryWriter many_events;
  many_events.i32(0x7fffffff);
  many_events.u32(1);
  BinaryWriter many_fields;
  many_fields.i32(1);
  many_fields.u32(1);
  many_fields.i32(1'000'000);
  many_fields.u8(0);
  BinaryWriter negative;
  negative.i32(-7);
  BinaryWriter truncated;
  truncated.i32(1);
  truncated.u32(1);
  truncated.i32(1);
  truncated.u8(0x0c);  // a String with no length
  // Null fields are one byte each: a message of them is refused past a million fields.
  BinaryWriter nulls;
  nulls.i32(2);
  for (int i = 0; i < 2; ++i) {
    nulls.u32(1);
    nulls.i32(600'000);
    nulls.fill(600'000, 0);
  }
  for (BinaryWriter* hostile : {&many_events, &many_fields, &negative, &truncated, &nulls}) {
    const auto data = hostile->take();
    BinaryReader h(data);
    std::vector<EventFieldList> out;
    EXPECT_THROW(decode_event_notification_list(h, out), DecodeError);
  }
}

ExtensionObject filter_result(const std::vector<std::uint32_t>& select,
                              const std::vector<ContentFilterElementResult>& where) {
  BinaryWriter w;
  w.i32(static_cast<std::int32_t>(select.size()));
  for (const std::uint32_t s : select) w.u32(s);
  w.i32(1);  // a diagnostic info
  w.u8(0);
  w.i32(static_cast<std::int32_t>(where.size()));
  for (const ContentFilterElementResult& e : where) {
    w.u32(e.status);
    w.i32(static_cast<std::int32_t>(e.operand_results.size()));
    for (const std::uint32_t s : e.operand_results) w.u32(s);
    w.i32(-1);
  }
  w.i32(-1);
  return {.type_id = NodeId::numeric_id(0, 736), .body = w.take()};
}

TEST(EventFilterResultDecoding, SelectAndWhereResultsPerElement) {
  const auto decoded = decode_event_filter_result(
      filter_result({0, kBadNodeIdUnknown, 0},
                    {{.status = kBadTypeMismatch, .operand_results = {0, kBadNodeIdUnknown}}}));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->select_clause_results, (std::vector<std::uint32_t>{0, kBadNodeIdUnknown, 0}));
  ASSERT_EQ(decoded->where_clause_results.size(), 1u);
  EXPECT_EQ(decoded->where_clause_results[0].status, kBadTypeMismatch);
  EXPECT_EQ(decoded->where_clause_results[0].operand_results,
            (std::vector<std::uint32_t>{0, kBadNodeIdUnknown}));

  EXPECT_FALSE(decode_event_filter_result({}).has_value());
  EXPECT_THROW(decode_event_filter_result({.type_id = NodeId::numeric_id(0, 733), .body = {0}}),
               DecodeError);
  ExtensionObject lying = filter_result({0}, {});
  lying.body[0] = 0xff;  // select results: 0x7fffffff... in a handful of bytes
  lying.body[3] = 0x7f;
  EXPECT_THROW(decode_event_filter_result(lying), DecodeError);
  ExtensionObject cut = filter_result({0}, {{.status = 0, .operand_results = {0}}});
  cut.body.resize(cut.body.size() - 6);
  EXPECT_THROW(decode_event_filter_result(cut), DecodeError);
}

Variant node(const NodeId& id) { return Variant(BuiltinType::NodeId, false, id); }
Variant text(std::string s) { return Variant(BuiltinType::String, false, std::move(s)); }
Variant boolean(bool b) { return Variant(BuiltinType::Boolean, false, b); }
Variant date_time(std::int64_t ticks) { return Variant(BuiltinType::DateTime, false, ticks); }

// 2025-01-01T00:00:00Z and a second later, in ticks.
constexpr std::int64_t kTime = 133'801'632'000'000'000;
constexpr std::int64_t kReceived = kTime + 10'000'000;

// The fields of an event in the order event_selection puts them, all null.
std::vector<Variant> null_fields(const EventSelection& s) {
  return std::vector<Variant>(s.fields.size());
}

TEST(EventRecordMapping, AlarmStateWithNamespaceUrisAndExtraFields) {
  const std::vector<std::string> extra{"Temperature", "2:Line/2:Speed"};
  const EventSelection s = event_selection(extra);
  const std::vector<std::string> namespaces{"http://opcfoundation.org/UA/", "urn:local",
                                            "urn:plant"};
  EventFieldList event{.client_handle = 1, .fields = null_fields(s)};
  auto& f = event.fields;
  f[0] = Variant(BuiltinType::ByteString, false, std::string("\x01\x00\xff", 3));
  f[1] = node(NodeId::numeric_id(0, 9341));  // ExclusiveLimitAlarmType
  f[2] = node(NodeId::string_id(2, "Tank;1"));
  f[3] = text("Tank 1");
  f[4] = date_time(kTime);
  f[5] = date_time(kReceived);
  f[6] = Variant(BuiltinType::LocalizedText, false, LocalizedText{"en", "Level high"});
  f[7] = Variant(BuiltinType::UInt16, false, std::uint64_t{700});
  f[8] = node(NodeId::string_id(2, "Tank1.HighAlarm"));
  f[9] = text("HighAlarm");
  f[10] = node(NodeId{});  // the main branch
  f[11] = boolean(true);
  f[12] = boolean(true);
  f[13] = boolean(true);
  f[14] = boolean(false);
  // ConfirmedState left null: the alarm does not support confirming.
  f[19] = Variant(BuiltinType::Double, false, 81.5);
  f[20] = Variant(BuiltinType::Int32, true, {});
  f[20].elements = {Variant(BuiltinType::Int32, false, std::int64_t{3}),
                    Variant(BuiltinType::Int32, false, std::int64_t{4})};

  const pyqar::EventRecord r = to_event_record(event, s, namespaces);
  EXPECT_EQ(r.event_id, std::string("\x01\x00\xff", 3));
  EXPECT_EQ(r.event_type, "i=9341");
  EXPECT_EQ(r.source_node, "nsu=urn:plant;s=Tank;1");
  EXPECT_EQ(r.source_name, "Tank 1");
  EXPECT_EQ(r.time, date_time_point(kTime));
  EXPECT_EQ(r.receive_time, date_time_point(kReceived));
  EXPECT_EQ(r.message, "Level high");
  EXPECT_EQ(r.severity, 700);
  EXPECT_EQ(r.condition_id, "nsu=urn:plant;s=Tank1.HighAlarm");
  EXPECT_EQ(r.condition_name, "HighAlarm");
  EXPECT_EQ(r.branch_id, "");
  EXPECT_EQ(r.retain, true);
  EXPECT_EQ(r.active, true);
  EXPECT_EQ(r.acked, false);
  EXPECT_EQ(r.confirmed, std::nullopt);
  EXPECT_FALSE(r.refresh);

  const auto fields = nlohmann::json::parse(r.fields_json);
  EXPECT_EQ(fields["EventId"], "AQD/");
  EXPECT_EQ(fields["ConditionId"], "nsu=urn:plant;s=Tank1.HighAlarm");
  EXPECT_EQ(fields["ActiveState/Id"], true);
  EXPECT_EQ(fields["Severity"], 700);
  EXPECT_EQ(fields["Time"], "2025-01-01T00:00:00Z");
  EXPECT_EQ(fields["Temperature"], 81.5);
  EXPECT_EQ(fields["2:Line/2:Speed"], nlohmann::json::array({3, 4}));
  EXPECT_FALSE(fields.contains("ConfirmedState/Id"));
}

TEST(EventRecordMapping, PlainEventHasNoConditionAndMissingFieldsAreNull) {
  const EventSelection s = event_selection({});
  EventFieldList event{.client_handle = 1, .fields = {}};
  event.fields = {Variant(BuiltinType::ByteString, false, std::string("id")),
                  node(NodeId::numeric_id(0, 2041)),
                  node(NodeId::numeric_id(0, 2253)),
                  text("Server \"A\"\\\n"),
                  Variant(),  // no Time: the receive time stands in
                  date_time(kReceived),
                  Variant(BuiltinType::LocalizedText, false, LocalizedText{"", "bad \xff byte"}),
                  Variant(BuiltinType::UInt16, false, std::uint64_t{65535}),
                  Variant(),  // not a condition
                  text("stray"),
                  boolean(true)};  // the server cut the list short here
  const pyqar::EventRecord r = to_event_record(event, s);
  EXPECT_EQ(r.event_type, "i=2041");
  EXPECT_EQ(r.source_node, "i=2253");
  EXPECT_EQ(r.time, date_time_point(kReceived));
  EXPECT_EQ(r.message, "bad \xEF\xBF\xBD byte");
  EXPECT_EQ(r.severity, 1000);
  EXPECT_FALSE(r.condition_id.has_value());
  EXPECT_FALSE(r.condition_name.has_value());
  EXPECT_FALSE(r.branch_id.has_value());
  EXPECT_FALSE(r.retain.has_value());
  EXPECT_FALSE(r.active.has_value());
  const auto fields = nlohmann::json::parse(r.fields_json);
  EXPECT_EQ(fields.size(), 9u);  // every field sent that is not null
  EXPECT_EQ(fields["Message"], "bad \xEF\xBF\xBD byte");
  EXPECT_EQ(fields["SourceName"], "Server \"A\"\\\n");

  EXPECT_EQ(to_event_record({}, s).fields_json, "{}");
  pyqar::EventRecord start;
  start.event_type = "i=2787";
  EXPECT_EQ(refresh_mark(start), RefreshMark::Start);
  start.event_type = "i=2788";
  EXPECT_EQ(refresh_mark(start), RefreshMark::End);
  EXPECT_EQ(refresh_mark(r), RefreshMark::None);
}

TEST(CallEncoding, ConditionRefreshAsTheServerReadsIt) {
  const CallMethodRequest methods[] = {condition_refresh(42)};
  BinaryWriter w;
  encode_request(w, CallRequest{.header = {}, .methods = methods});
  BinaryReader r(w.data());
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 712));
  decode_node_id(r);  // authentication token
  r.i64();
  r.u32();
  r.u32();
  r.skip_string();
  r.u32();
  skip_extension_object(r);
  ASSERT_EQ(r.i32(), 1);
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 2782));
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 3875));
  ASSERT_EQ(r.i32(), 1);
  const Variant id = decode_variant(r);
  EXPECT_EQ(id.type, BuiltinType::UInt32);
  EXPECT_EQ(std::get<std::uint64_t>(id.scalar), 42u);
  EXPECT_EQ(r.remaining(), 0u);
}

std::vector<std::uint8_t> call_response(std::uint32_t service, std::int32_t results,
                                        std::uint32_t status,
                                        const std::vector<std::uint32_t>& inputs) {
  BinaryWriter w;
  encode_node_id(w, NodeId::numeric_id(0, 715));
  write_response_header(w, service);
  w.i32(results);
  for (std::int32_t i = 0; i < results; ++i) {
    w.u32(status);
    w.i32(static_cast<std::int32_t>(inputs.size()));
    for (const std::uint32_t s : inputs) w.u32(s);
    w.i32(-1);
    w.i32(1);  // one output argument
    encode_variant(w, Variant(BuiltinType::Int32, false, std::int64_t{-3}));
  }
  w.i32(-1);
  return w.take();
}

CallOutcome outcome_of(const std::vector<std::uint8_t>& bytes) {
  const ServiceResponse decoded = decode_response(bytes);
  return call_outcome(std::get<CallResponse>(decoded), "ConditionRefresh");
}

TEST(CallDecoding, ResultsAndInputArgumentResultsAreChecked) {
  const ServiceResponse decoded = decode_response(call_response(0, 1, 0, {0}));
  const auto& res = std::get<CallResponse>(decoded);
  ASSERT_EQ(res.results.size(), 1u);
  ASSERT_EQ(res.results[0].outputs.size(), 1u);
  EXPECT_EQ(std::get<std::int64_t>(res.results[0].outputs[0].scalar), -3);
  EXPECT_TRUE(call_outcome(res, "ConditionRefresh").good());

  const CallOutcome arg = outcome_of(call_response(0, 1, 0x80AB0000, {kBadSubscriptionIdInvalid}));
  EXPECT_EQ(arg.status, kBadSubscriptionIdInvalid);
  EXPECT_NE(arg.error.find("ConditionRefresh refused input argument 1"), std::string::npos);
  EXPECT_NE(arg.error.find("BadSubscriptionIdInvalid"), std::string::npos) << arg.error;

  const CallOutcome method = outcome_of(call_response(0, 1, kBadNodeIdUnknown, {}));
  EXPECT_EQ(method.status, kBadNodeIdUnknown);
  EXPECT_NE(method.error.find("ConditionRefresh failed"), std::string::npos);

  EXPECT_FALSE(outcome_of(call_response(0, 2, 0, {})).good());
  EXPECT_FALSE(outcome_of(call_response(0, 0, 0, {})).good());
  EXPECT_EQ(outcome_of(call_response(0x800B0000, 0, 0, {})).status, 0x800B0000u);

  auto lying = call_response(0, 1, 0, {0});
  lying.resize(lying.size() - 3);
  EXPECT_THROW(decode_response(lying), DecodeError);
  BinaryWriter huge;
  encode_node_id(huge, NodeId::numeric_id(0, 715));
  write_response_header(huge);
  huge.i32(50'000'000);
  EXPECT_THROW(decode_response(huge.data()), DecodeError);
}

}  // namespace
