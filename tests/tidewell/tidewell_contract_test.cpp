// The whole client contract, run against both drivers: a real PostgreSQL server and a real
// SQLite file.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>

#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

using testing::Row;
using testing::TestDatabase;

// Texts that break naive quoting or escaping, and text outside ASCII.
const std::vector<std::string> kHostileTexts = {
    "O'Brien \"quoted\"",    "back\\slash \\N \\. end\\", "tab\there\nnew line\r\ncarriage",
    "semi;colon; SELECT 1;", "'); DROP TABLE tags; --",   "锅炉温度.测点1 中文描述",
    "$1 ?1 :name %s {}",
};

class TidewellContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = std::make_unique<TestDatabase>(GetParam());
    if (!db_->available()) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
    conn_ = get_conn(db_->settings());
    ASSERT_NE(conn_, nullptr);
  }

  bool sqlite() const { return GetParam() == "sqlite"; }

  SourceInfo make_source(const std::string& name, const std::string& endpoint,
                         SourceProtocol protocol = SourceProtocol::OPC_DA) {
    SourceInfo source;
    source.source_name = name;
    source.endpoint = endpoint;
    source.protocol = protocol;
    source.description = {{"created_by", "tests"}, {"endpoint", endpoint}};
    return source;
  }

  std::int64_t stored_source(const std::string& name, const std::string& endpoint) {
    auto source = make_source(name, endpoint);
    const auto result = insert_new_source(*conn_, source);
    EXPECT_TRUE(result.ok) << result.error;
    return source.source_id.value_or(-1);
  }

  TagInfo stored_tag(const std::string& name, std::optional<std::int64_t> source_id = {}) {
    const auto result =
        insert_new_tag(*conn_, TagInfo{name, {{"desc", name}}, source_id, name, {}});
    EXPECT_TRUE(result.ok) << result.error;
    return result.data.value_or(TagInfo{});
  }

  // (tag id, value, quality) of every stored row, in the order written.
  struct StoredRow {
    std::int64_t tag_id;
    double value;
    std::string quality;
  };
  std::vector<StoredRow> stored_rows() {
    const auto rows =
        db_->query(sqlite() ? "SELECT tag_id, value, quality FROM tsdata ORDER BY rowid"
                            : "SELECT tag_id, value::text, quality FROM tsdata ORDER BY ctid");
    std::vector<StoredRow> out;
    for (const auto& row : rows) {
      const double value =
          row[1] ? std::strtod(row[1]->c_str(), nullptr) : std::numeric_limits<double>::quiet_NaN();
      out.push_back({std::stoll(*row[0]), value, *row[2]});
    }
    return out;
  }

  std::size_t count(const std::string& table) {
    return std::stoul(*db_->query("SELECT count(*) FROM " + table)[0][0]);
  }

  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<Connection> conn_;
};

TEST_P(TidewellContract, CreatesVersionedSchemaOnFirstConnectAndKeepsItOnLaterOnes) {
  EXPECT_EQ(db_->query("SELECT version FROM schema_version"), (std::vector<Row>{{"1"}}));
  const auto tag = stored_tag("Demo.Tag1");
  auto again = get_conn(db_->settings());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(db_->query("SELECT version FROM schema_version"), (std::vector<Row>{{"1"}}));
  EXPECT_EQ(get_tag(*again, "Demo.Tag1")->tag_id, tag.tag_id);
}

TEST_P(TidewellContract, SchemaNewerThanThisProgramIsRefused) {
  db_->execute("INSERT INTO schema_version (version) VALUES (99)");
  try {
    get_conn(db_->settings());
    FAIL() << "expected DatabaseError";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("schema version 99"), std::string::npos) << e.what();
  }
}

TEST_P(TidewellContract, ConcurrentFirstConnectsAllSucceed) {
  // A fresh database that nobody has connected to yet.
  TestDatabase fresh(GetParam());
  constexpr int kConnections = 4;
  std::vector<std::unique_ptr<Connection>> conns(kConnections);
  std::vector<std::string> errors(kConnections);
  std::vector<std::thread> threads;
  for (int i = 0; i < kConnections; ++i) {
    threads.emplace_back([&, i] {
      try {
        conns[i] = get_conn(fresh.settings());
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kConnections; ++i) {
    EXPECT_NE(conns[i], nullptr) << errors[i];
    EXPECT_EQ(errors[i], "");
  }
  EXPECT_EQ(fresh.query("SELECT version FROM schema_version"), (std::vector<Row>{{"1"}}));
}

TEST_P(TidewellContract, PingIsTrueWhileOpenAndFalseAfterClose) {
  EXPECT_TRUE(ping(*conn_));
  conn_->close();
  EXPECT_FALSE(ping(*conn_));
  conn_->close();
  EXPECT_THROW(get_tag(*conn_, "x"), DatabaseError);
  const std::vector<std::int64_t> ids{1};
  const std::vector<double> values{1.0};
  const std::vector<std::string> qualities{"Good"};
  EXPECT_THROW(write_tsdata(*conn_, ids, values, qualities), DatabaseError);
}

TEST_P(TidewellContract, InsertNewSourceFillsIdAndStoresEveryField) {
  auto source =
      make_source("console_kestrane", "opc.tcp://localhost:46011", SourceProtocol::OPC_UA);
  source.interval_msec = 250;
  source.source_type = "opc-ua";
  const auto result = insert_new_source(*conn_, source);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_TRUE(source.source_id.has_value());
  EXPECT_EQ(result.data->source_id, source.source_id);

  const auto found = get_sources(*conn_, {});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].source_id, source.source_id);
  EXPECT_EQ(found[0].source_name, "console_kestrane");
  EXPECT_EQ(found[0].endpoint, "opc.tcp://localhost:46011");
  EXPECT_EQ(found[0].status, SourceStatus::ACTIVE);
  EXPECT_EQ(found[0].protocol, SourceProtocol::OPC_UA);
  EXPECT_EQ(found[0].interval_msec, 250);
  EXPECT_EQ(found[0].description, source.description);
  EXPECT_EQ(found[0].source_type, "opc-ua");

  auto second = make_source("console_kestrane", "opc.tcp://other:4840");
  ASSERT_TRUE(insert_new_source(*conn_, second).ok);
  EXPECT_NE(second.source_id, source.source_id);
}

TEST_P(TidewellContract, GetSourcesMatchesEveryListOfTheFilter) {
  auto da = make_source("console_kestrane", "opc.da://localhost/OstrevoV2.1.0");
  auto ua = make_source("console_kestrane", "opc.tcp://localhost:46011", SourceProtocol::OPC_UA);
  auto other = make_source("desktop", "opc.da://localhost/OstrevoV2.1.0");
  other.status = SourceStatus::INACTIVE;
  for (auto* source : {&da, &ua, &other}) ASSERT_TRUE(insert_new_source(*conn_, *source).ok);

  auto ids = [](const std::vector<SourceInfo>& sources) {
    std::vector<std::int64_t> out;
    for (const auto& s : sources) out.push_back(*s.source_id);
    return out;
  };
  EXPECT_EQ(ids(get_sources(*conn_, {})),
            (std::vector{*da.source_id, *ua.source_id, *other.source_id}));
  EXPECT_EQ(ids(get_sources(
                *conn_, {{"console_kestrane"}, {SourceStatus::ACTIVE}, {SourceProtocol::OPC_DA}})),
            (std::vector{*da.source_id}));
  EXPECT_EQ(ids(get_sources(*conn_, {{"console_kestrane", "desktop"}, {}, {}})),
            (std::vector{*da.source_id, *ua.source_id, *other.source_id}));
  EXPECT_EQ(ids(get_sources(*conn_, {{}, {SourceStatus::INACTIVE}, {}})),
            (std::vector{*other.source_id}));
  EXPECT_TRUE(get_sources(*conn_, {{"'); DROP TABLE sources; --"}, {}, {}}).empty());
  EXPECT_EQ(count("sources"), 3u);
}

TEST_P(TidewellContract, InsertNewTagReturnsTheStoredRecord) {
  const auto source_id = stored_source("s", "opc.tcp://h:1");
  const auto result = insert_new_tag(
      *conn_, TagInfo{"Demo.Tag1", {{"desc", "Boiler"}}, source_id, "Demo.Tag1", {}});
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_TRUE(result.data->tag_id.has_value());
  EXPECT_EQ(result.data->tag_name, "Demo.Tag1");
  EXPECT_EQ(result.data->description, (Description{{"desc", "Boiler"}}));
  EXPECT_EQ(result.data->source_id, source_id);
  EXPECT_EQ(result.data->source_tagname, "Demo.Tag1");

  const auto found = get_tag(*conn_, "Demo.Tag1");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->tag_id, result.data->tag_id);
  EXPECT_EQ(found->description, result.data->description);
}

TEST_P(TidewellContract, GetTagIsEmptyForAnUnknownName) {
  stored_tag("Demo.Tag1");
  EXPECT_FALSE(get_tag(*conn_, "Demo.Tag2").has_value());
  EXPECT_FALSE(get_tag(*conn_, "demo.tag1").has_value());
  EXPECT_FALSE(get_tag(*conn_, "").has_value());
}

TEST_P(TidewellContract, RefusedTagsGiveNotOkAndLeaveTheConnectionUsable) {
  const auto first = stored_tag("Demo.Tag1");
  const auto duplicate = insert_new_tag(*conn_, TagInfo{"Demo.Tag1", {}, std::nullopt, "x", {}});
  EXPECT_FALSE(duplicate.ok);
  EXPECT_FALSE(duplicate.error.empty());

  const auto unknown_source = insert_new_tag(*conn_, TagInfo{"Demo.Tag2", {}, 987654, "x", {}});
  EXPECT_FALSE(unknown_source.ok);
  EXPECT_FALSE(get_tag(*conn_, "Demo.Tag2").has_value());

  const auto nul =
      insert_new_tag(*conn_, TagInfo{std::string("a\0b", 3), {}, std::nullopt, "", {}});
  EXPECT_FALSE(nul.ok);
  EXPECT_NE(nul.error.find("NUL"), std::string::npos) << nul.error;

  EXPECT_TRUE(ping(*conn_));
  EXPECT_EQ(get_tag(*conn_, "Demo.Tag1")->tag_id, first.tag_id);
  EXPECT_EQ(count("tags"), 1u);
}

TEST_P(TidewellContract, UpdateTagFieldsChangesOnlyTheGivenFields) {
  const auto old_source = stored_source("old", "opc.da://localhost/A");
  const auto new_source = stored_source("new", "opc.da://localhost/B");
  const auto tag = stored_tag("Demo.Tag1", old_source);

  auto moved =
      update_tag_fields(*conn_, "Demo.Tag1", TagFields{new_source, std::nullopt, std::nullopt});
  ASSERT_TRUE(moved.ok) << moved.error;
  EXPECT_EQ(moved.data->source_id, new_source);
  EXPECT_EQ(moved.data->description, (Description{{"desc", "Demo.Tag1"}}));
  EXPECT_EQ(moved.data->tag_id, tag.tag_id);

  auto cleared =
      update_tag_fields(*conn_, "Demo.Tag1", TagFields{std::nullopt, "Renamed", Description{}});
  ASSERT_TRUE(cleared.ok) << cleared.error;
  const auto found = get_tag(*conn_, "Demo.Tag1");
  EXPECT_EQ(found->source_id, new_source);
  EXPECT_EQ(found->source_tagname, "Renamed");
  EXPECT_TRUE(found->description.empty());

  const auto nothing = update_tag_fields(*conn_, "Demo.Tag1", TagFields{});
  EXPECT_TRUE(nothing.ok);
  EXPECT_EQ(nothing.data->source_tagname, "Renamed");
}

TEST_P(TidewellContract, UpdateTagFieldsIsNotOkForAMissingTagOrSource) {
  const auto tag = stored_tag("Demo.Tag1");
  const auto missing =
      update_tag_fields(*conn_, "Demo.Nope", TagFields{std::nullopt, "x", std::nullopt});
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("Demo.Nope"), std::string::npos) << missing.error;

  const auto bad_source =
      update_tag_fields(*conn_, "Demo.Tag1", TagFields{424242, "changed", std::nullopt});
  EXPECT_FALSE(bad_source.ok);
  // All or nothing: the valid field of the refused update was not applied either.
  EXPECT_EQ(get_tag(*conn_, "Demo.Tag1")->source_tagname, "Demo.Tag1");
  EXPECT_EQ(count("tags"), 1u);
}

TEST_P(TidewellContract, HostileTextIsStoredAndReadBackByteForByte) {
  for (const auto& text : kHostileTexts) {
    SCOPED_TRACE(text);
    auto source = make_source(text, text);
    source.description = {{text, text}, {"desc", text}};
    ASSERT_TRUE(insert_new_source(*conn_, source).ok);
    const auto sources = get_sources(*conn_, {{text}, {}, {}});
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].source_name, text);
    EXPECT_EQ(sources[0].endpoint, text);
    EXPECT_EQ(sources[0].description, source.description);

    const auto inserted =
        insert_new_tag(*conn_, TagInfo{text, {{"desc", text}}, source.source_id, text, {}});
    ASSERT_TRUE(inserted.ok) << inserted.error;
    EXPECT_EQ(inserted.data->tag_name, text);
    const auto found = get_tag(*conn_, text);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->tag_name, text);
    EXPECT_EQ(found->source_tagname, text);
    EXPECT_EQ(found->description, (Description{{"desc", text}}));
    EXPECT_TRUE(
        update_tag_fields(*conn_, text, TagFields{std::nullopt, text + "!", std::nullopt}).ok);
    EXPECT_EQ(get_tag(*conn_, text)->source_tagname, text + "!");
  }
  EXPECT_EQ(count("tags"), kHostileTexts.size());
  EXPECT_EQ(count("sources"), kHostileTexts.size());
}

TEST_P(TidewellContract, WriteTsdataStoresEveryRowWithItsValueAndQuality) {
  const std::vector<std::int64_t> ids{1, 2, 3, 1};
  const std::vector<double> values{1.5, -2.25e-300, 0.1 + 0.2, std::numeric_limits<double>::max()};
  const std::vector<std::string> qualities{"Good", "Bad", "Uncertain", "Invalid"};
  const auto result = write_tsdata(*conn_, ids, values, qualities);
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.count, 4u);
  const auto rows = stored_rows();
  ASSERT_EQ(rows.size(), 4u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].tag_id, ids[i]);
    EXPECT_EQ(rows[i].value, values[i]) << "exact bits, row " << i;
    EXPECT_EQ(rows[i].quality, qualities[i]);
  }
}

TEST_P(TidewellContract, WriteTsdataKeepsNanAndInfinities) {
  const std::vector<std::int64_t> ids{7, 7, 7, 7};
  const std::vector<double> values{std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(), -0.0};
  const std::vector<std::string> qualities{"Bad", "Good", "Good", "Good"};
  ASSERT_EQ(write_tsdata(*conn_, ids, values, qualities).count, 4u);
  const auto rows = stored_rows();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_TRUE(std::isnan(rows[0].value));
  EXPECT_EQ(rows[1].value, std::numeric_limits<double>::infinity());
  EXPECT_EQ(rows[2].value, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(rows[3].value, 0.0);
}

TEST_P(TidewellContract, WriteTsdataQualityTextSurvivesEscaping) {
  std::vector<std::int64_t> ids;
  std::vector<double> values;
  for (std::size_t i = 0; i < kHostileTexts.size(); ++i) {
    ids.push_back(static_cast<std::int64_t>(i));
    values.push_back(static_cast<double>(i));
  }
  const std::vector<std::string> qualities(kHostileTexts.begin(), kHostileTexts.end());
  ASSERT_EQ(write_tsdata(*conn_, ids, values, qualities).count, kHostileTexts.size());
  const auto rows = stored_rows();
  ASSERT_EQ(rows.size(), kHostileTexts.size());
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].quality, kHostileTexts[i]);
}

TEST_P(TidewellContract, WriteTsdataStampsTheWriteTime) {
  const std::vector<std::int64_t> ids{1, 2};
  const std::vector<double> values{1, 2};
  const std::vector<std::string> qualities{"Good", "Good"};
  ASSERT_EQ(write_tsdata(*conn_, ids, values, qualities).count, 2u);
  // Seconds between the stored time and now, as the database sees both.
  const auto age =
      db_->query(sqlite() ? "SELECT DISTINCT (CAST(strftime('%s','now') AS INTEGER) * 1000000 - "
                            "time) / 1000000 FROM tsdata"
                          : "SELECT DISTINCT floor(extract(epoch FROM now() - time)) FROM tsdata");
  ASSERT_EQ(age.size(), 1u) << "one write, one time";
  EXPECT_LE(std::abs(std::stod(*age[0][0])), 60.0);
}

TEST_P(TidewellContract, WriteTsdataOfNothingWritesNothing) {
  const auto result = write_tsdata(*conn_, {}, {}, {});
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.count, 0u);
  EXPECT_EQ(count("tsdata"), 0u);
}

TEST_P(TidewellContract, WriteTsdataRefusesBadInputAndWritesNothing) {
  const std::vector<std::int64_t> ids{1, 2, 3};
  const std::vector<double> two_values{1, 2};
  const std::vector<std::string> qualities{"Good", "Good", "Good"};
  EXPECT_THROW(write_tsdata(*conn_, ids, two_values, qualities), DatabaseError);

  const std::vector<double> values{1, 2, 3};
  const std::vector<std::string> with_nul{"Good", std::string("Go\0od", 5), "Good"};
  EXPECT_THROW(write_tsdata(*conn_, ids, values, with_nul), DatabaseError);

  EXPECT_EQ(count("tsdata"), 0u);
  EXPECT_TRUE(ping(*conn_));
  EXPECT_EQ(write_tsdata(*conn_, ids, values, qualities).count, 3u);
}

TEST_P(TidewellContract, WriteTsdataOfManyRowsIsOneCall) {
  constexpr std::size_t kRows = 25000;
  std::vector<std::int64_t> ids(kRows);
  std::vector<double> values(kRows);
  std::vector<std::string> qualities(kRows, "Good");
  for (std::size_t i = 0; i < kRows; ++i) {
    ids[i] = static_cast<std::int64_t>(i % 500);
    values[i] = static_cast<double>(i) / 7.0;
  }
  EXPECT_EQ(write_tsdata(*conn_, ids, values, qualities).count, kRows);
  EXPECT_EQ(count("tsdata"), kRows);
}

TEST_P(TidewellContract, AutocommitSettingChangesNothingVisible) {
  for (bool autocommit : {false, true}) {
    auto settings = db_->settings();
    settings.autocommit = autocommit;
    auto conn = get_conn(settings);
    ASSERT_NE(conn, nullptr);
    const std::string name = autocommit ? "auto" : "manual";
    ASSERT_TRUE(insert_new_tag(*conn, TagInfo{name, {}, std::nullopt, name, {}}).ok);
    const std::vector<std::int64_t> ids{1};
    const std::vector<double> values{1};
    const std::vector<std::string> qualities{"Good"};
    write_tsdata(*conn, ids, values, qualities);
    // Visible to another connection at once: each call committed its own work.
    EXPECT_TRUE(get_tag(*conn_, name).has_value());
  }
  EXPECT_EQ(count("tsdata"), 2u);
}

TEST_P(TidewellContract, FetchAvailableTsdbsListsThisDatabase) {
  const auto names = fetch_available_tsdbs(db_->settings());
  EXPECT_NE(std::find(names.begin(), names.end(), db_->settings().dbname), names.end());
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  for (const auto& name : names) {
    EXPECT_NE(name, "postgres");
    EXPECT_NE(name, "template0");
    EXPECT_NE(name, "template1");
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, TidewellContract, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tidewell
