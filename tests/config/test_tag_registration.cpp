#include "config/tag_registration.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "database_readback.h"
#include "log_capture.h"
#include "scratch_postgres_database.h"
#include "temp_dir.h"
#include "tidewell/tidewell.h"

namespace kestrane_config {
namespace {

using kestrane_test::LogCapture;
using kestrane_test::TempDir;

constexpr char kDaSchema[] = "opc.da://localhost/OstrevoV2.1.0";

// Runs every case against a fresh PostgreSQL database and a fresh SQLite file.
class Registration : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgresql") {
      const auto server = kestrane_test::postgres_server_settings();
      if (!server) {
        GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL to register in "
                        "(run through scripts/test)";
      }
      settings_ = database_.emplace(*server, "console_reg").settings();
    } else {
      settings_.driver = "sqlite";
      settings_.data_dir = dir_.path().string();
      settings_.dbname = "registration";
    }
  }

  RegistrationOutcome register_tags(const std::vector<TagEntry>& tags,
                                    const std::string& schema = kDaSchema,
                                    const std::string& type = "OPC DA") {
    log_.clear();
    return register_source_and_tags({settings_, schema, type}, tags, log_.logger());
  }

  std::unique_ptr<tidewell::Connection> connect() {
    auto conn = tidewell::get_conn(settings_);
    if (!conn) throw std::runtime_error("test cannot connect");
    return conn;
  }

  std::vector<std::string> query(const std::string& sql) {
    if (GetParam() == "postgresql") return kestrane_test::query_postgres(settings_, sql);
    return kestrane_test::query_sqlite(dir_.path() / "registration.db", sql);
  }

  std::string stored_description(const std::string& tag) {
    const std::string column = GetParam() == "postgresql" ? "description::text" : "description";
    const auto rows = query("SELECT " + column + " FROM tags WHERE tag_name = '" + tag + "'");
    return rows.empty() ? "<no tag>" : rows.front();
  }

  TempDir dir_;
  std::optional<kestrane_test::ScratchPostgresDatabase> database_;
  tidewell::TsdbSettings settings_;
  LogCapture log_;
};

TEST_P(Registration, CreatesSourceAndTagsThenFindsThemOnTheNextStart) {
  const std::vector<TagEntry> tags = {{"Demo.Tag1", "one"}, {"Demo.Tag2", ""}};
  const auto first = register_tags(tags);
  ASSERT_TRUE(first.ok) << log_.dump();
  ASSERT_TRUE(first.source_id);
  EXPECT_TRUE(log_.has("info", "Created new source with ID: " + std::to_string(*first.source_id)))
      << log_.dump();
  EXPECT_TRUE(log_.has("debug", "Created tag: Demo.Tag1")) << log_.dump();
  EXPECT_TRUE(log_.has("debug", "Created tag: Demo.Tag2"));
  EXPECT_TRUE(log_.has("info", "Database setup complete: 2 tags created, 0 tags updated"));
  // The id of every tag comes back, for the collector's cache.
  EXPECT_EQ(first.tag_ids.size(), 2u);
  EXPECT_EQ(std::to_string(first.tag_ids.at("Demo.Tag1")),
            query("SELECT tag_id FROM tags WHERE tag_name = 'Demo.Tag1'").at(0));

  const auto second = register_tags(tags);
  ASSERT_TRUE(second.ok) << log_.dump();
  EXPECT_EQ(second.source_id, first.source_id);
  EXPECT_TRUE(
      log_.has("info", "Found existing source with ID: " + std::to_string(*first.source_id)))
      << log_.dump();
  // A stored tag counts as updated, also when nothing about it changed.
  EXPECT_TRUE(log_.has("debug", "Updated tag: Demo.Tag1")) << log_.dump();
  EXPECT_TRUE(log_.has("debug", "Updated tag: Demo.Tag2"));
  EXPECT_TRUE(log_.has("info", "Database setup complete: 0 tags created, 2 tags updated"));
  EXPECT_EQ(second.tag_ids, first.tag_ids);
  EXPECT_EQ(query("SELECT count(*) FROM sources"), std::vector<std::string>{"1"});
}

TEST_P(Registration, SourceRecordCarriesTheConsoleFields) {
  ASSERT_TRUE(register_tags({{"Demo.Tag1", ""}}, "opc.tcp://127.0.0.1:46011", "OPC UA").ok)
      << log_.dump();
  auto conn = connect();
  tidewell::SourceFilter all;
  const auto sources = tidewell::get_sources(*conn, all);
  ASSERT_EQ(sources.size(), 1u);
  const auto& s = sources.front();
  EXPECT_EQ(s.source_name, "console_kestrane");
  EXPECT_EQ(s.endpoint, "opc.tcp://127.0.0.1:46011");
  EXPECT_EQ(s.status, tidewell::SourceStatus::ACTIVE);
  EXPECT_EQ(s.protocol, tidewell::SourceProtocol::OPC_UA);
  EXPECT_EQ(s.interval_msec, 1000);
  EXPECT_EQ(s.description, (tidewell::Description{{"created_by", "KestraneConsole"},
                                                  {"endpoint", "opc.tcp://127.0.0.1:46011"},
                                                  {"protocol", "OPC UA"}}));
  conn->close();
}

TEST_P(Registration, SourceWithAnotherEndpointGetsASourceOfItsOwn) {
  const auto da = register_tags({{"Demo.Tag1", ""}});
  const auto other = register_tags({{"Demo.Tag1", ""}}, "opc.da://otherhost/OstrevoV2.1.0");
  ASSERT_TRUE(da.ok && other.ok) << log_.dump();
  EXPECT_NE(da.source_id, other.source_id);
  EXPECT_TRUE(log_.has_prefix("info", "Created new source with ID: "));
  EXPECT_EQ(query("SELECT count(*) FROM sources"), std::vector<std::string>{"2"});
}

TEST_P(Registration, ChangingDaToUaForTheSameSchemaCreatesANewSource) {
  const auto da = register_tags({{"Demo.Tag1", ""}}, "opc.tcp://127.0.0.1:4840", "OPC DA");
  const auto ua = register_tags({{"Demo.Tag1", ""}}, "opc.tcp://127.0.0.1:4840", "OPC UA");
  ASSERT_TRUE(da.ok && ua.ok) << log_.dump();
  EXPECT_NE(da.source_id, ua.source_id);
  // Only "OPC UA" exactly selects the UA protocol: "UA" finds the DA source again.
  const auto loose = register_tags({{"Demo.Tag1", ""}}, "opc.tcp://127.0.0.1:4840", "UA");
  ASSERT_TRUE(loose.ok);
  EXPECT_EQ(loose.source_id, da.source_id);
}

TEST_P(Registration, TagListedTwiceIsCreatedOnceAndUpdatedOnce) {
  ASSERT_TRUE(register_tags({{"Demo.Tag1", "first"}, {"Demo.Tag1", "second"}}).ok);
  EXPECT_TRUE(log_.has("info", "Database setup complete: 1 tags created, 1 tags updated"))
      << log_.dump();
  auto conn = connect();
  const auto tag = tidewell::get_tag(*conn, "Demo.Tag1");
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->description, (tidewell::Description{{"desc", "second"}}));
  conn->close();
}

TEST_P(Registration, EmptyDescriptionIsStoredAsAnEmptyMappingAlsoOnUpdate) {
  ASSERT_TRUE(register_tags({{"Demo.Tag1", ""}, {"Demo.Tag2", "pressure"}}).ok);
  EXPECT_EQ(stored_description("Demo.Tag1"), "{}");
  EXPECT_NE(stored_description("Demo.Tag2"), "{}");
  ASSERT_TRUE(register_tags({{"Demo.Tag2", ""}}).ok);
  EXPECT_EQ(stored_description("Demo.Tag2"), "{}");
}

TEST_P(Registration, ChineseDescriptionsSurviveTheRoundTrip) {
  const std::string wendu = "\xE6\xB8\xA9\xE5\xBA\xA6";
  ASSERT_TRUE(register_tags({{"Demo.Tag1", wendu}}).ok);
  auto conn = connect();
  EXPECT_EQ(tidewell::get_tag(*conn, "Demo.Tag1")->description,
            (tidewell::Description{{"desc", wendu}}));
  conn->close();
}

TEST_P(Registration, TagOfAnotherSourceMovesToThisSource) {
  const auto first = register_tags({{"Demo.Tag1", ""}}, "opc.da://a/OstrevoV2.1.0");
  const auto second = register_tags({{"Demo.Tag1", ""}}, "opc.da://b/OstrevoV2.1.0");
  ASSERT_TRUE(first.ok && second.ok);
  auto conn = connect();
  const auto tag = tidewell::get_tag(*conn, "Demo.Tag1");
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->source_id, second.source_id);
  EXPECT_EQ(tag->source_tagname, "Demo.Tag1");
  conn->close();
}

TEST_P(Registration, RequestedStopBeforeTheTagsRegistersNone) {
  const std::vector<TagEntry> tags = {{"Demo.Tag1", ""}, {"Demo.Tag2", ""}};
  const auto outcome = register_source_and_tags({settings_, kDaSchema, "OPC DA"}, tags,
                                                log_.logger(), {}, [] { return true; });
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_EQ(outcome.created, 0u);
  EXPECT_EQ(query("SELECT count(*) FROM tags"), std::vector<std::string>{"0"});
  EXPECT_FALSE(log_.has_prefix("info", "Database setup complete"));
}

INSTANTIATE_TEST_SUITE_P(Drivers, Registration, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

class RegistrationFailures : public ::testing::Test {
 protected:
  LogCapture log_;
};

TEST_F(RegistrationFailures, ServerThatCannotBeReachedIsReportedNotThrown) {
  tidewell::TsdbSettings settings;
  settings.host = "127.0.0.1";
  settings.port = 1;  // nothing listens there
  const auto outcome =
      register_source_and_tags({settings, kDaSchema, "OPC DA"}, {{"T", ""}}, log_.logger());
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(log_.has("error", "Failed to connect to TSDB")) << log_.dump();
}

TEST_F(RegistrationFailures, WrongPasswordIsRefused) {
  auto settings = kestrane_test::postgres_server_settings();
  if (!settings) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  settings->password = "not-the-password";
  const auto outcome =
      register_source_and_tags({*settings, kDaSchema, "OPC DA"}, {{"T", ""}}, log_.logger());
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(log_.has("error", "Failed to connect to TSDB")) << log_.dump();
}

TEST_F(RegistrationFailures, ClientErrorIsLoggedWithItsText) {
  tidewell::TsdbSettings settings;
  settings.driver = "sqlite";
  settings.data_dir = "/proc/no-such-place";  // cannot be created
  const auto outcome =
      register_source_and_tags({settings, kDaSchema, "OPC DA"}, {{"T", ""}}, log_.logger());
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(log_.has_prefix("error", "Failed to setup database objects: ") ||
              log_.has("error", "Failed to connect to TSDB"))
      << log_.dump();
}

TEST_F(RegistrationFailures, AListOfWhichNoTagCanBeRegisteredFailsTheStart) {
  const auto server = kestrane_test::postgres_server_settings();
  if (!server) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  kestrane_test::ScratchPostgresDatabase database(*server, "kestrane_refused");
  // PostgreSQL refuses names that are not UTF-8; the CSV reader never lets them through, so
  // they stand in here for any tag the database will not take.
  const std::vector<TagEntry> tags = {{"\xff\xfe", ""}, {"bad\xc3", ""}};
  const auto outcome =
      register_source_and_tags({database.settings(), kDaSchema, "OPC DA"}, tags, log_.logger());
  EXPECT_FALSE(outcome.ok);
  EXPECT_TRUE(log_.has("info", "Database setup complete: 0 tags created, 0 tags updated"))
      << log_.dump();
  EXPECT_TRUE(log_.has("error", "No tag of the list could be registered in the TSDB (2 refused)"))
      << log_.dump();
  EXPECT_TRUE(log_.has_prefix("warning", "Failed to create tag: ")) << log_.dump();

  // One good tag among them is enough to collect.
  const auto mixed = register_source_and_tags({database.settings(), kDaSchema, "OPC DA"},
                                              {{"\xff", ""}, {"Demo.Tag1", ""}}, log_.logger());
  EXPECT_TRUE(mixed.ok) << log_.dump();
  EXPECT_EQ(mixed.created, 1u);
}

}  // namespace
}  // namespace kestrane_config
