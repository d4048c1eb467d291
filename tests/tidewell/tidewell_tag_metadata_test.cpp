// Tag metadata stored in `tags`, read back, and compared with what was stored before. Run
// against both drivers.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "driver_test.h"
#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

using testing::DriverTest;
using testing::Row;

constexpr std::int64_t kRead = 1709618828123457;  // 2024-03-05 06:07:08.123457 UTC

TagMetadata described(std::int64_t tag_id, std::string unit = "°C") {
  TagMetadata m;
  m.tag_id = tag_id;
  m.data_type = "Double";
  m.unit = std::move(unit);
  m.unit_id = 4408652;
  m.eu_low = -40.0;
  m.eu_high = 125.5;
  m.access_level = 5;  // readable, history readable
  m.server_description = "Boiler feed temperature";
  m.enum_names = R"({"0":"Off","1":"Manual","2":"Auto"})";
  m.metadata_time_us = kRead;
  return m;
}

class TagMetadataStore : public DriverTest {
 protected:
  // Tags "T0" .. "T<n-1>" under one source; their ids in that order.
  std::vector<std::int64_t> make_tags(std::size_t count) {
    SourceInfo source{"console",
                      "opc.tcp://localhost:4840",
                      SourceStatus::ACTIVE,
                      SourceProtocol::OPC_UA,
                      1000,
                      {},
                      "opc",
                      {}};
    EXPECT_TRUE(insert_new_source(*conn_, source).ok);
    std::vector<TagRegistration> tags;
    for (std::size_t i = 0; i < count; ++i) tags.push_back({"T" + std::to_string(i), {}});
    const auto result = register_tags(*conn_, *source.source_id, tags);
    EXPECT_TRUE(result.failed.empty());
    std::vector<std::int64_t> ids;
    for (const auto& tag : tags) ids.push_back(result.tag_ids.at(tag.tag_name));
    return ids;
  }
};

TEST_P(TagMetadataStore, StoresEveryFieldReadsItBackAndLeavesUnsetFieldsNull) {
  const auto ids = make_tags(3);
  TagMetadata bare;
  bare.tag_id = ids[1];
  bare.metadata_time_us = kRead + 1;
  const std::vector<TagMetadata> list{described(ids[2]), bare};
  const auto update = update_tag_metadata(*conn_, list);
  EXPECT_EQ(update.updated, 2u);
  EXPECT_TRUE(update.unknown_tags.empty());

  // In the order asked for; a tag never described has its id only.
  const std::vector<std::int64_t> wanted{ids[2], 999999, ids[0], ids[1], ids[2]};
  const auto stored = tag_metadata(*conn_, wanted);
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0], described(ids[2]));
  EXPECT_EQ(stored[1], TagMetadata{.tag_id = ids[0]});
  EXPECT_EQ(stored[2], bare);

  // NULL in the database itself, not a default; the user's own description untouched.
  const std::string id = std::to_string(ids[1]);
  EXPECT_EQ(db_->query("SELECT data_type, unit, unit_id, eu_low, eu_high, access_level,"
                       " server_description, enum_names, description FROM tags WHERE tag_id = " +
                       id),
            (std::vector<Row>{{std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                               std::nullopt, std::nullopt, std::nullopt, "{}"}}));
  const std::string time =
      sqlite() ? "metadata_time" : "(extract(epoch FROM metadata_time) * 1000000)::bigint";
  EXPECT_EQ(db_->query("SELECT " + time + " FROM tags WHERE tag_id = " + id),
            (std::vector<Row>{{std::to_string(kRead + 1)}}));
}

TEST_P(TagMetadataStore, ReportsOnlyTagsWhoseContentChangedWithOldBesideNew) {
  const auto ids = make_tags(3);
  std::vector<TagMetadata> list{described(ids[0]), described(ids[1]), described(ids[2])};
  const auto first = update_tag_metadata(*conn_, list);
  ASSERT_EQ(first.changed.size(), 3u);
  for (const auto& change : first.changed) {
    EXPECT_TRUE(change.first_read());
    EXPECT_EQ(change.before, TagMetadata{.tag_id = change.after.tag_id});
  }

  // Read again later with the same content: nothing to report, the time still moves on.
  for (auto& m : list) m.metadata_time_us = kRead + 60'000'000;
  const auto same = update_tag_metadata(*conn_, list);
  EXPECT_EQ(same.updated, 3u);
  EXPECT_TRUE(same.changed.empty());
  EXPECT_EQ(tag_metadata(*conn_, std::vector<std::int64_t>{ids[0]}).at(0).metadata_time_us,
            kRead + 60'000'000);

  // A restarted server with a new unit on one tag and a range lost on another.
  list[1].unit = "K";
  list[1].unit_id = 4932940;
  list[2].eu_high.reset();
  list[2].enum_names = R"({"0":"Off","1":"Manual","2":"Auto","3":"Service"})";
  list[0].metadata_time_us = list[1].metadata_time_us = list[2].metadata_time_us =
      kRead + 120'000'000;
  const auto moved = update_tag_metadata(*conn_, list);
  ASSERT_EQ(moved.changed.size(), 2u);
  EXPECT_EQ(moved.changed[0].before.unit, "°C");
  EXPECT_EQ(moved.changed[0].after.unit, "K");
  EXPECT_EQ(moved.changed[0].before.metadata_time_us, kRead + 60'000'000);
  EXPECT_FALSE(moved.changed[0].first_read());
  EXPECT_EQ(moved.changed[1].before.eu_high, 125.5);
  EXPECT_EQ(moved.changed[1].after.eu_high, std::nullopt);
  EXPECT_EQ(moved.changed[1].after.enum_names, list[2].enum_names);
  EXPECT_EQ(tag_metadata(*conn_, ids), list);
}

TEST_P(TagMetadataStore, UnknownTagsAreListedAndALaterListingOfATagWins) {
  const auto ids = make_tags(1);
  const std::vector<TagMetadata> list{described(ids[0], "bar"), described(424242),
                                      described(ids[0], "kPa")};
  const auto update = update_tag_metadata(*conn_, list);
  EXPECT_EQ(update.updated, 1u);
  EXPECT_EQ(update.unknown_tags, (std::vector<std::int64_t>{424242}));
  ASSERT_EQ(update.changed.size(), 1u);
  EXPECT_EQ(update.changed[0].after.unit, "kPa");
  EXPECT_EQ(tag_metadata(*conn_, ids).at(0).unit, "kPa");
  EXPECT_EQ(db_->query("SELECT count(*) FROM tags"), (std::vector<Row>{{"1"}}));
  EXPECT_TRUE(update_tag_metadata(*conn_, std::vector<TagMetadata>{}).changed.empty());
}

TEST_P(TagMetadataStore, OddTextsAndExtremeNumbersComeBackAsWritten) {
  const auto ids = make_tags(4);
  std::vector<TagMetadata> list(4);
  list[0] = {.tag_id = ids[0],
             .data_type = "nsu=urn:example:types;s=Recipe \"A\", {1,2}",
             .unit = "",  // an empty text is no NULL
             .unit_id = std::numeric_limits<std::int32_t>::min(),
             .eu_low = -0.0,  // SQLite keeps it as 0, which compares equal
             .eu_high = std::numeric_limits<double>::denorm_min(),
             .access_level = 0,
             .server_description = "NULL",
             .enum_names = R"({"-1":"Fault \"E\" ' \\","7":"é"})",
             .metadata_time_us = 0};
  list[1] = {.tag_id = ids[1],
             .data_type = "i=11",
             .unit = "µS/cm \\ 'quoted' ; DROP TABLE tags; --",
             .unit_id = std::numeric_limits<std::int32_t>::max(),
             .eu_low = -std::numeric_limits<double>::max(),
             .eu_high = std::numeric_limits<double>::infinity(),
             .access_level = 0xffffffffu,
             .server_description = std::string(20000, 'x') + "\n\t\u00e9\U0001F525",
             .metadata_time_us = -62135596799999999};  // 0001-01-01 00:00:00.000001
  list[2] = {.tag_id = ids[2], .eu_low = 0.1, .eu_high = 1.0 / 3.0};
  // NaN says nothing about the range: stored as not known.
  list[3] = {.tag_id = ids[3], .eu_low = std::nan(""), .eu_high = 7.0, .metadata_time_us = kRead};
  update_tag_metadata(*conn_, list);
  const auto stored = tag_metadata(*conn_, ids);
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(stored[0], list[0]);
  EXPECT_EQ(stored[1], list[1]);
  EXPECT_EQ(stored[2], list[2]);
  list[3].eu_low.reset();
  EXPECT_EQ(stored[3], list[3]);
  // Written again unchanged, NaN included, nothing is reported.
  list[3].eu_low = std::nan("");
  EXPECT_TRUE(update_tag_metadata(*conn_, list).changed.empty());
}

TEST_P(TagMetadataStore, TextTheDatabaseCannotStoreIsRefusedAndNothingIsWritten) {
  const auto ids = make_tags(2);
  std::vector<TagMetadata> list{described(ids[0]), described(ids[1])};
  list[1].server_description = std::string("cut\0here", 8);
  try {
    update_tag_metadata(*conn_, list);
    FAIL() << "a NUL byte was taken";
  } catch (const RequestRejected& e) {
    EXPECT_NE(std::string(e.what()).find("tag " + std::to_string(ids[1])), std::string::npos)
        << e.what();
    EXPECT_NE(std::string(e.what()).find("server_description"), std::string::npos) << e.what();
  }
  list[1].server_description = "ok";
  list[1].metadata_time_us = std::numeric_limits<std::int64_t>::min();
  EXPECT_THROW(update_tag_metadata(*conn_, list), RequestRejected);
  if (!sqlite()) {
    // PostgreSQL checks the encoding of every text: one bad text spoils the whole list.
    list[1].metadata_time_us = kRead;
    list[1].unit = "\xff\xfe";
    EXPECT_THROW(update_tag_metadata(*conn_, list), RequestRejected);
  }
  EXPECT_EQ(tag_metadata(*conn_, ids),
            (std::vector<TagMetadata>{{.tag_id = ids[0]}, {.tag_id = ids[1]}}));
  // The connection serves on.
  EXPECT_EQ(update_tag_metadata(*conn_, std::vector<TagMetadata>{described(ids[0])}).updated, 1u);
}

// 200,000 tags in one call: what a large server's first read stores. Run on its own (see
// CMakeLists.txt); the time each step took is printed, never asserted.
TEST_P(TagMetadataStore, MetadataAtScaleOfTwoHundredThousandTags) {
  constexpr std::size_t kTags = 200000;
  const auto ids = make_tags(kTags);
  ASSERT_EQ(ids.size(), kTags);
  std::vector<TagMetadata> list;
  list.reserve(kTags);
  for (std::size_t i = 0; i < kTags; ++i) {
    TagMetadata m = described(ids[i], i % 2 ? "°C" : "m³/h");
    m.eu_high = static_cast<double>(i);
    m.server_description = "Variable " + std::to_string(i) + " of line " + std::to_string(i % 97);
    list.push_back(std::move(m));
  }
  const auto timed = [](const char* what, auto&& step) {
    const auto start = std::chrono::steady_clock::now();
    auto result = step();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    std::printf("%s: %lld ms\n", what, static_cast<long long>(ms));
    return result;
  };
  const auto first = timed("first write", [&] { return update_tag_metadata(*conn_, list); });
  EXPECT_EQ(first.updated, kTags);
  EXPECT_EQ(first.changed.size(), kTags);
  list[123456].unit = "bar";
  const auto again = timed("unchanged but one", [&] { return update_tag_metadata(*conn_, list); });
  ASSERT_EQ(again.changed.size(), 1u);
  EXPECT_EQ(again.changed[0].after.tag_id, ids[123456]);
  const auto stored = timed("read back", [&] { return tag_metadata(*conn_, ids); });
  EXPECT_EQ(stored, list);
}

INSTANTIATE_TEST_SUITE_P(Drivers, TagMetadataStore, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tidewell
