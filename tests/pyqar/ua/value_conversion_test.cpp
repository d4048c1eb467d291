// How DataValues become ValueObjects: value, quality word and timestamp.
#include <gtest/gtest.h>

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

TEST(ValuesBecomeDoubles, NumericAndBooleanScalarsOnly) {
  EXPECT_EQ(
      std::get<double>(to_value_object(with({BuiltinType::Boolean, false, true}), kNow).value),
      1.0);
  EXPECT_EQ(std::get<double>(
                to_value_object(with({BuiltinType::Byte, false, std::uint64_t{7}}), kNow).value),
            7.0);
  EXPECT_EQ(std::get<double>(
                to_value_object(with({BuiltinType::Int64, false, std::int64_t{-9}}), kNow).value),
            -9.0);
  for (const Variant& other : {Variant{BuiltinType::String, false, std::string("x")},
                               Variant{BuiltinType::DateTime, false, {}},
                               Variant{BuiltinType::Double, true, {}}, Variant{}}) {
    const auto v = to_value_object(with(other), kNow);
    EXPECT_EQ(v.quality, Q::QAR_HIGH_BAD) << static_cast<int>(other.type);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(v.value));
  }
  EXPECT_EQ(to_value_object(DataValue{}, kNow).quality, Q::QAR_HIGH_BAD);
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
  v.source_timestamp = 0;  // "no time"
  EXPECT_EQ(to_value_object(v, kNow).timestamp, server);
}

TEST(StatusText, NamesKnownCodesAndPrintsOthersInHex) {
  EXPECT_EQ(status_text(0x80250000), "BadSessionIdInvalid (0x80250000)");
  EXPECT_EQ(status_text(0x81230000), "0x81230000");
}

}  // namespace
