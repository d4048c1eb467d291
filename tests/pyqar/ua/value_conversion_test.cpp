// How DataValues become ValueObjects: value, status, quality word and timestamps.
#include <gtest/gtest.h>

#include <limits>

#include "ua/status_code.h"
#include "ua/value_conversion.h"

namespace {

using namespace pyqar::ua;
namespace Q = pyqar::QAR_QUALITY;

const pyqar::Timestamp kNow =
    std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));

DataValue with(Variant v, std::optional<std::uint32_t> status = std::nullopt) {
  DataValue out;
  out.value = std::move(v);
  out.status = status;
  return out;
}

TEST(QualityFollowsSeverity, GoodUncertainAndBad) {
  const Variant d{BuiltinType::Double, false, 2.5};
  EXPECT_EQ(to_value_object(with(d), kNow).quality, Q::QAR_HIGH_GOOD);
  EXPECT_EQ(to_value_object(with(d, 0x00A80000), kNow).quality, Q::QAR_HIGH_GOOD);
  EXPECT_EQ(to_value_object(with(d, 0x40900000), kNow).quality, Q::QAR_HIGH_UNCERTAIN);
  EXPECT_EQ(to_value_object(with(d, 0x80340000), kNow).quality, Q::QAR_HIGH_BAD);
  EXPECT_EQ(to_value_object(with(d, 0xC0000000), kNow).quality, Q::QAR_HIGH_BAD);
  EXPECT_EQ(std::get<double>(to_value_object(with(d, 0x40900000), kNow).value), 2.5);
  EXPECT_TRUE(
      std::holds_alternative<std::monostate>(to_value_object(with(d, 0x80340000), kNow).value));
}

TEST(ValuesKeepTheirType, AndAGoodTextIsGood) {
  EXPECT_EQ(std::get<bool>(to_value_object(with({BuiltinType::Boolean, false, true}), kNow).value),
            true);
  EXPECT_EQ(std::get<std::uint64_t>(
                to_value_object(with({BuiltinType::Byte, false, std::uint64_t{7}}), kNow).value),
            7u);
  EXPECT_EQ(std::get<std::int64_t>(
                to_value_object(with({BuiltinType::Int64, false, std::int64_t{-9}}), kNow).value),
            -9);
  // Before, any value not a number read as Bad.
  const auto text = to_value_object(with({BuiltinType::String, false, std::string("x")}), kNow);
  EXPECT_EQ(text.quality, Q::QAR_HIGH_GOOD);
  EXPECT_EQ(text.status, 0u);
  EXPECT_EQ(std::get<std::string>(text.value), "x");
  EXPECT_FALSE(text.cut);
  const auto uncertain = to_value_object(
      with({BuiltinType::LocalizedText, false, LocalizedText{"", "y"}}, 0x40900000), kNow);
  EXPECT_EQ(uncertain.quality, Q::QAR_HIGH_UNCERTAIN);
  EXPECT_EQ(uncertain.status, 0x40900000u);
  EXPECT_EQ(std::get<std::string>(uncertain.value), "y");
  // Bad keeps its full code and no value; no DataValue value at all is Good and empty.
  const auto bad = to_value_object(with({BuiltinType::Double, false, 1.0}, 0x808C0400), kNow);
  EXPECT_EQ(bad.status, 0x808C0400u);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(bad.value));
  EXPECT_EQ(to_value_object(DataValue{}, kNow).quality, Q::QAR_HIGH_GOOD);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(to_value_object(DataValue{}, kNow).value));
  // A cut text says so.
  const auto cut = to_value_object(
      with({BuiltinType::String, false, std::string(pyqar::QAR_MAX_VALUE_TEXT_BYTES + 1, 'z')}),
      kNow);
  EXPECT_TRUE(cut.cut);
  EXPECT_EQ(std::get<std::string>(cut.value).size(), pyqar::QAR_MAX_VALUE_TEXT_BYTES);
}

TEST(TimestampChoice, SourceThenServerThenNow) {
  const auto source = std::chrono::system_clock::time_point(std::chrono::seconds(1'600'000'000));
  const auto server = std::chrono::system_clock::time_point(std::chrono::seconds(1'650'000'000));
  DataValue v = with({BuiltinType::Double, false, 1.0});
  EXPECT_EQ(to_value_object(v, kNow).timestamp, kNow);
  v.server_timestamp = to_date_time(server);
  EXPECT_EQ(to_value_object(v, kNow).timestamp, server);
  v.source_timestamp = to_date_time(source);
  EXPECT_EQ(to_value_object(v, kNow).timestamp, source);
  EXPECT_EQ(to_value_object(v, kNow).source_timestamp, source);
  EXPECT_EQ(to_value_object(v, kNow).server_timestamp, server);
  v.source_timestamp = 0;  // "no time"
  EXPECT_EQ(to_value_object(v, kNow).timestamp, server);
  EXPECT_FALSE(to_value_object(v, kNow).source_timestamp);
  // Beyond what the clock holds: absent, not wrapped round.
  v.source_timestamp = std::numeric_limits<std::int64_t>::max();
  v.server_timestamp = std::numeric_limits<std::int64_t>::max();
  EXPECT_FALSE(to_value_object(v, kNow).source_timestamp);
  EXPECT_FALSE(to_value_object(v, kNow).server_timestamp);
  EXPECT_EQ(to_value_object(v, kNow).timestamp, kNow);
}

TEST(StatusText, NamesKnownCodesAndPrintsOthersInHex) {
  EXPECT_EQ(status_text(0x80250000), "BadSessionIdInvalid (0x80250000)");
  EXPECT_EQ(status_text(0x81230000), "0x81230000");
}

}  // namespace
