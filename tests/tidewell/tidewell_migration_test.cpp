// The schema on databases an earlier version of this program built and filled: moved to the
// current version with every row kept, left alone when it is current, and untouched when the
// move fails. Run against both drivers.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "schema_migrations.h"
#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

using testing::Row;
using testing::TestDatabase;

const std::vector<Row> kAllVersions = {{"1"}, {"2"}, {"3"}, {"4"}, {"5"}};

class SchemaMigration : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = std::make_unique<TestDatabase>(GetParam());
    if (!db_->available()) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
  }

  bool sqlite() const { return GetParam() == "sqlite"; }
  SqlDialect dialect() const { return sqlite() ? SqlDialect::sqlite : SqlDialect::postgres; }

  // A database as version 1 of this program left it: built with that version's statements
  // (released statements never change), then written to the way that version wrote.
  void build_version_1_with_rows() {
    db_->execute(schema_version_table(dialect()));
    for (const char* statement : schema_migrations(dialect()).at(0)) db_->execute(statement);
    db_->execute("INSERT INTO schema_version (version) VALUES (1)");
    db_->execute(
        "INSERT INTO sources (source_name, endpoint, status, protocol, interval_msec,"
        " description, source_type) VALUES ('console_kestrane',"
        " 'opc.da://localhost/OstrevoV2.1.0', 'active', 'OPC_DA', 1000,"
        " '{\"desc\": \"boiler house\"}', 'opc')");
    db_->execute(
        "INSERT INTO tags (tag_name, description, source_id, source_tagname) VALUES"
        " ('Demo.Tag1', '{\"desc\": \"temperature\"}', 1, 'Demo.Tag1'),"
        " ('Demo.Tag2', '{}', 1, 'Demo.Tag2'), ('Orphan', '{}', NULL, '')");
    if (sqlite()) {
      db_->execute(
          "INSERT INTO tsdata (time, tag_id, value, quality) VALUES"
          " (1709618828123457, 1, 21.5, 'Good'), (1709618828123457, 2, NULL, 'Bad'),"
          " (1709618829123456, 1, -0.25, 'Uncertain')");
    } else {
      // Version 1 let the server stamp the write time.
      db_->execute(
          "INSERT INTO tsdata (tag_id, value, quality) VALUES"
          " (1, 21.5, 'Good'), (2, 'NaN', 'Bad')");
      db_->execute(
          "INSERT INTO tsdata (time, tag_id, value, quality) VALUES"
          " ('2024-03-05 06:07:09.123456+00', 1, -0.25, 'Uncertain')");
    }
  }

  // A database as version 2 left it after some work: version 1's rows, rows written with
  // their cycle's time, and the records of the batches that wrote them.
  void build_version_2_with_rows() {
    build_version_1_with_rows();
    for (const char* statement : schema_migrations(dialect()).at(1)) db_->execute(statement);
    db_->execute("INSERT INTO schema_version (version) VALUES (2)");
    if (sqlite()) {
      db_->execute(
          "INSERT INTO tsdata (time, tag_id, value, quality) VALUES"
          " (1709618830000001, 1, 22.5, 'Good'), (1709618830000001, 2, 1, 'Good')");
      db_->execute(
          "INSERT INTO write_batches (writer_id, seq, written_at, row_count)"
          " VALUES ('console', 7, 1709618830100000, 2)");
    } else {
      db_->execute(
          "INSERT INTO tsdata (time, tag_id, value, quality) VALUES"
          " ('2024-03-05 06:07:10.000001+00', 1, 22.5, 'Good'),"
          " ('2024-03-05 06:07:10.000001+00', 2, 1, 'Good')");
      db_->execute(
          "INSERT INTO write_batches (writer_id, seq, row_count) VALUES ('console', 7, 2)");
    }
  }

  // A database as version 3 left it: version 2's rows, then rows of both tables with status
  // and source time, and their batch's record.
  void build_version_3_with_rows() {
    build_version_2_with_rows();
    for (const char* statement : schema_migrations(dialect()).at(2)) db_->execute(statement);
    db_->execute("INSERT INTO schema_version (version) VALUES (3)");
    if (sqlite()) {
      db_->execute(
          "INSERT INTO tsdata (time, tag_id, value, quality, status, source_time) VALUES"
          " (1709618831000000, 1, 23.5, 'Good', 0, 1709618830900000)");
      db_->execute(
          "INSERT INTO tsdata_text (time, tag_id, value, quality, status, source_time) VALUES"
          " (1709618831000000, 2, 'running', 'Good', 0, NULL)");
      db_->execute(
          "INSERT INTO write_batches (writer_id, seq, written_at, row_count)"
          " VALUES ('console', 8, 1709618831100000, 2)");
    } else {
      db_->execute(
          "INSERT INTO tsdata (time, tag_id, value, quality, status, source_time) VALUES"
          " ('2024-03-05 06:07:11+00', 1, 23.5, 'Good', 0, '2024-03-05 06:07:10.9+00')");
      db_->execute(
          "INSERT INTO tsdata_text (time, tag_id, value, quality, status, source_time) VALUES"
          " ('2024-03-05 06:07:11+00', 2, 'running', 'Good', 0, NULL)");
      db_->execute(
          "INSERT INTO write_batches (writer_id, seq, row_count) VALUES ('console', 8, 2)");
    }
  }

  // A database as version 4 left it: version 3's rows and an event.
  void build_version_4_with_rows() {
    build_version_3_with_rows();
    for (const char* statement : schema_migrations(dialect()).at(3)) db_->execute(statement);
    db_->execute("INSERT INTO schema_version (version) VALUES (4)");
    const std::string time = sqlite() ? "1709618831500000" : "'2024-03-05 06:07:11.5+00'";
    const std::string id = sqlite() ? "x'0102'" : "'\\x0102'";
    db_->execute(
        "INSERT INTO events (time, source_id, event_id, event_type, source_node, source_name,"
        " severity, message, refresh, fields) VALUES (" +
        time + ", 1, " + id + ", 'i=2041', 'i=2253', 'Server', 100, 'started', " +
        (sqlite() ? "0" : "false") + ", '{}')");
  }

  // Rows of the tables version 3 added, and the batch records, as text.
  std::vector<Row> version_3_rows() {
    const std::string time = sqlite() ? "time" : "(extract(epoch FROM time) * 1000000)::bigint";
    auto out = db_->query("SELECT " + time +
                          ", tag_id, value, quality, status FROM tsdata_text ORDER BY 1, 2");
    for (auto& row : db_->query("SELECT " + time +
                                ", tag_id, status FROM tsdata WHERE status IS NOT NULL"
                                " ORDER BY 1, 2")) {
      out.push_back(std::move(row));
    }
    for (auto& row : db_->query("SELECT writer_id, seq, row_count FROM write_batches ORDER BY 2")) {
      out.push_back(std::move(row));
    }
    return out;
  }

  // The file that holds tsdata's rows: a new one after any rewrite of the table.
  std::vector<Row> tsdata_storage() {
    return db_->query(
        "SELECT pg_relation_filenode('tsdata'), pg_relation_filenode('tsdata_tag_id_time_idx')");
  }

  // Every row of every table of version 1, in a stable order, times in microseconds.
  std::map<std::string, std::vector<Row>> rows() {
    const std::string time = sqlite() ? "time" : "(extract(epoch FROM time) * 1000000)::bigint";
    const std::string json = sqlite() ? "" : "::text";
    return {
        {"sources", db_->query("SELECT source_id, source_name, endpoint, status, protocol,"
                               " interval_msec, description" +
                               json + ", source_type FROM sources ORDER BY source_id")},
        {"tags", db_->query("SELECT tag_id, tag_name, description" + json +
                            ", source_id, source_tagname FROM tags ORDER BY tag_id")},
        {"tsdata",
         db_->query("SELECT " + time + ", tag_id, value, quality FROM tsdata ORDER BY 1, 2, 4")},
    };
  }

  // Tables, columns, defaults, keys and indexes, as the database describes them.
  std::vector<Row> definitions() {
    if (sqlite()) return db_->query("SELECT type, name, sql FROM sqlite_master ORDER BY 1, 2");
    auto out = db_->query(
        "SELECT table_name, column_name, data_type, column_default, is_nullable"
        " FROM information_schema.columns WHERE table_schema = 'public' ORDER BY 1, 2");
    for (auto& row : db_->query("SELECT indexname, indexdef FROM pg_indexes"
                                " WHERE schemaname = 'public' ORDER BY 1")) {
      out.push_back(std::move(row));
    }
    for (auto& row : db_->query("SELECT conrelid::regclass::text, conname,"
                                " pg_get_constraintdef(oid) FROM pg_constraint"
                                " WHERE connamespace = 'public'::regnamespace ORDER BY 1, 2")) {
      out.push_back(std::move(row));
    }
    return out;
  }

  std::vector<Row> versions() {
    return db_->query("SELECT version FROM schema_version ORDER BY version");
  }

  std::unique_ptr<TestDatabase> db_;
};

TEST_P(SchemaMigration, Version1DatabaseMovesToVersion2AndKeepsEveryRow) {
  build_version_1_with_rows();
  const auto before = rows();
  ASSERT_EQ(before.at("tsdata").size(), 3u);

  auto conn = get_conn(db_->settings());
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(versions(), kAllVersions);
  EXPECT_EQ(rows(), before);
  EXPECT_EQ(db_->query("SELECT count(*) FROM write_batches"), (std::vector<Row>{{"0"}}));

  // The stored tags and sources serve as before, and new ids follow the old ones.
  EXPECT_EQ(get_tag(*conn, "Demo.Tag2")->tag_id, 2);
  EXPECT_EQ(get_sources(*conn, {}).at(0).description, (Description{{"desc", "boiler house"}}));
  const auto created = insert_new_tag(*conn, TagInfo{"Demo.Tag3", {}, 1, "Demo.Tag3", {}});
  ASSERT_TRUE(created.ok) << created.error;
  EXPECT_EQ(created.data->tag_id, 4);

  // Both writes work on the moved schema, beside the old rows.
  const std::vector<std::int64_t> ids{1, 2};
  const std::vector<double> values{1.0, 2.0};
  const std::vector<std::string> qualities{"Good", "Good"};
  EXPECT_EQ(write_tsdata(*conn, {"console", 1}, 1709618830000001, ids, values, qualities).count,
            2u);
  EXPECT_EQ(write_tsdata(*conn, ids, values, qualities).count, 2u);
  EXPECT_EQ(db_->query("SELECT count(*) FROM tsdata"), (std::vector<Row>{{"7"}}));
  const auto after = rows();
  EXPECT_EQ(after.at("sources"), before.at("sources"));
  for (const auto& row : before.at("tsdata")) {
    EXPECT_NE(std::find(after.at("tsdata").begin(), after.at("tsdata").end(), row),
              after.at("tsdata").end());
  }
}

TEST_P(SchemaMigration, Version2DatabaseMovesToVersion3InPlaceAndKeepsEveryRow) {
  build_version_2_with_rows();
  const auto before = rows();
  ASSERT_EQ(before.at("tsdata").size(), 5u);
  const auto storage_before = sqlite() ? std::vector<Row>{} : tsdata_storage();

  auto conn = get_conn(db_->settings());
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(versions(), kAllVersions);
  EXPECT_EQ(rows(), before);
  // Only columns were added: the rows stay where they were, and read NULL in the new columns.
  if (!sqlite()) {
    EXPECT_EQ(tsdata_storage(), storage_before) << "tsdata was rewritten";
  }
  EXPECT_EQ(db_->query("SELECT count(*) FROM tsdata WHERE status IS NULL AND source_time IS NULL"),
            (std::vector<Row>{{"5"}}));
  EXPECT_EQ(db_->query("SELECT count(*) FROM tsdata_text"), (std::vector<Row>{{"0"}}));

  // A batch stored by version 2 is still recognised; new batches fill both tables.
  const std::vector<std::int64_t> ids{1, 2};
  const std::vector<double> values{1.0, 2.0};
  const std::vector<std::string> qualities{"Good", "Good"};
  EXPECT_TRUE(
      write_tsdata(*conn, {"console", 7}, 1709618830000001, ids, values, qualities).duplicate);
  const std::vector<TsdataRow> batch = {
      {1709618831000000, 1, 23.5, {}, "Good", 0u, 1709618830900000},
      {1709618831000000, 2, 0.0, std::string("running"), "Good", 0u, {}},
  };
  const auto written = write_tsdata(*conn, {"console", 8}, batch);
  EXPECT_EQ(written.count, 2u);
  EXPECT_EQ(written.text_count, 1u);
  EXPECT_EQ(db_->query("SELECT count(*) FROM tsdata"), (std::vector<Row>{{"6"}}));
  EXPECT_EQ(db_->query("SELECT tag_id, value FROM tsdata_text"),
            (std::vector<Row>{{"2", "running"}}));
}

TEST_P(SchemaMigration, Version3DatabaseMovesToVersion4InPlaceAndKeepsEveryRow) {
  build_version_3_with_rows();
  const auto before = rows();
  const auto before_3 = version_3_rows();
  ASSERT_EQ(before.at("tsdata").size(), 6u);
  ASSERT_EQ(before_3.size(), 4u);
  const auto storage_before = sqlite() ? std::vector<Row>{} : tsdata_storage();

  auto conn = get_conn(db_->settings());
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(versions(), kAllVersions);
  EXPECT_EQ(rows(), before);
  EXPECT_EQ(version_3_rows(), before_3);
  if (!sqlite()) {
    EXPECT_EQ(tsdata_storage(), storage_before) << "tsdata was rewritten";
  }
  EXPECT_EQ(db_->query("SELECT count(*) FROM events"), (std::vector<Row>{{"0"}}));

  // A batch stored by version 3 is still recognised, rows and events alike; a new batch
  // stores its events beside its rows.
  EventRow event;
  event.time_us = 1709618832000000;
  event.source_id = 1;
  event.event_id = "id-1";
  event.event_type = "i=2041";
  event.source_node = "i=2253";
  event.source_name = "Server";
  event.severity = 100;
  event.message = "started";
  const std::vector<TsdataRow> batch = {{1709618832000000, 1, 24.5, {}, "Good", 0u, {}}};
  const std::vector<EventRow> events = {event};
  EXPECT_TRUE(write_rows_and_events(*conn, {"console", 8}, batch, events).duplicate);
  const auto written = write_rows_and_events(*conn, {"console", 9}, batch, events);
  EXPECT_EQ(written.count, 1u);
  EXPECT_EQ(written.event_count, 1u);
  EXPECT_EQ(db_->query("SELECT count(*) FROM tsdata"), (std::vector<Row>{{"7"}}));
  EXPECT_EQ(db_->query("SELECT source_name, message FROM events"),
            (std::vector<Row>{{"Server", "started"}}));
}

TEST_P(SchemaMigration, Version4DatabaseMovesToVersion5AndItsTagsHaveNoMetadataYet) {
  build_version_4_with_rows();
  const auto before = rows();
  const auto before_3 = version_3_rows();
  const auto events_before = db_->query("SELECT source_name, message FROM events");
  ASSERT_EQ(events_before.size(), 1u);

  auto conn = get_conn(db_->settings());
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(versions(), kAllVersions);
  EXPECT_EQ(rows(), before);
  EXPECT_EQ(version_3_rows(), before_3);
  EXPECT_EQ(db_->query("SELECT source_name, message FROM events"), events_before);
  const std::string columns =
      "SELECT tag_id, data_type, unit, unit_id, eu_low, eu_high, access_level,"
      " server_description, enum_names, metadata_time FROM tags ORDER BY tag_id";
  const Row none(9, std::nullopt);
  std::vector<Row> expected;
  for (const char* id : {"1", "2", "3"}) {
    expected.push_back(Row{id});
    expected.back().insert(expected.back().end(), none.begin(), none.end());
  }
  EXPECT_EQ(db_->query(columns), expected);

  // The old tags take metadata like new ones.
  TagMetadata m{.tag_id = 2, .data_type = "Double", .unit = "bar", .metadata_time_us = 1};
  const auto update = update_tag_metadata(*conn, std::vector<TagMetadata>{m});
  ASSERT_EQ(update.changed.size(), 1u);
  EXPECT_TRUE(update.changed[0].first_read());
  EXPECT_EQ(tag_metadata(*conn, std::vector<std::int64_t>{2}), std::vector<TagMetadata>{m});
  EXPECT_EQ(get_tag(*conn, "Demo.Tag2")->tag_name, "Demo.Tag2");
}

TEST_P(SchemaMigration, ANewDatabaseIsMadeAtTheNewestVersionWithTheMetadataColumns) {
  auto conn = get_conn(db_->settings());
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(versions(), kAllVersions);
  EXPECT_EQ(db_->query("SELECT count(data_type) + count(unit) + count(unit_id) + count(eu_low)"
                       " + count(eu_high) + count(access_level) + count(server_description)"
                       " + count(enum_names) + count(metadata_time) FROM tags"),
            (std::vector<Row>{{"0"}}));
}

TEST_P(SchemaMigration, FailedMoveLeavesTheVersion3DatabaseAsItWas) {
  build_version_3_with_rows();
  // A table of the new table's name, made by hand: the move cannot create its own.
  db_->execute("CREATE TABLE events (note TEXT)");
  const auto definitions_before = definitions();
  const auto rows_before = rows();

  EXPECT_THROW(get_conn(db_->settings()), DatabaseError);
  EXPECT_EQ(versions(), (std::vector<Row>{{"1"}, {"2"}, {"3"}}));
  EXPECT_EQ(definitions(), definitions_before) << "every statement of the move rolled back";
  EXPECT_EQ(rows(), rows_before);

  db_->execute("DROP TABLE events");
  ASSERT_NE(get_conn(db_->settings()), nullptr);
  EXPECT_EQ(versions(), kAllVersions);
  EXPECT_EQ(rows(), rows_before);
}

TEST_P(SchemaMigration, FailedMoveLeavesTheVersion2DatabaseAsItWas) {
  build_version_2_with_rows();
  // A table of the new table's name, made by hand: the move cannot create its own, and the
  // columns it added to tsdata before must go again.
  db_->execute("CREATE TABLE tsdata_text (note TEXT)");
  const auto definitions_before = definitions();
  const auto rows_before = rows();

  EXPECT_THROW(get_conn(db_->settings()), DatabaseError);
  EXPECT_EQ(versions(), (std::vector<Row>{{"1"}, {"2"}}));
  EXPECT_EQ(definitions(), definitions_before) << "every statement of the move rolled back";
  EXPECT_EQ(rows(), rows_before);

  db_->execute("DROP TABLE tsdata_text");
  ASSERT_NE(get_conn(db_->settings()), nullptr);
  EXPECT_EQ(versions(), kAllVersions);
  EXPECT_EQ(rows(), rows_before);
}

TEST_P(SchemaMigration, OpeningACurrentDatabaseAgainChangesNothing) {
  auto first = get_conn(db_->settings());
  ASSERT_NE(first, nullptr);
  const std::vector<std::int64_t> ids{1};
  const std::vector<double> values{1.0};
  const std::vector<std::string> qualities{"Good"};
  ASSERT_EQ(write_tsdata(*first, {"console", 1}, 1000, ids, values, qualities).count, 1u);
  const auto definitions_before = definitions();
  const auto rows_before = rows();
  const auto versions_before = db_->query("SELECT version, applied_at FROM schema_version");
  const auto batches_before = db_->query("SELECT * FROM write_batches");

  kestrane_test::LogCapture log("tidewell");
  for (int open = 0; open < 2; ++open) {
    auto again = get_conn(db_->settings());
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(write_tsdata(*again, {"console", 1}, 1000, ids, values, qualities).duplicate);
  }
  EXPECT_EQ(definitions(), definitions_before);
  EXPECT_EQ(rows(), rows_before);
  EXPECT_EQ(db_->query("SELECT version, applied_at FROM schema_version"), versions_before);
  EXPECT_EQ(db_->query("SELECT * FROM write_batches"), batches_before);
  EXPECT_EQ(log.dump().find("schema moved"), std::string::npos) << log.dump();
}

TEST_P(SchemaMigration, FailedMoveLeavesTheVersion1DatabaseAsItWas) {
  build_version_1_with_rows();
  // A table of the new table's name, made by hand: the move cannot create its own.
  db_->execute("CREATE TABLE write_batches (note TEXT)");
  const auto definitions_before = definitions();
  const auto rows_before = rows();

  EXPECT_THROW(get_conn(db_->settings()), DatabaseError);
  EXPECT_EQ(versions(), (std::vector<Row>{{"1"}}));
  EXPECT_EQ(definitions(), definitions_before) << "every statement of the move rolled back";
  EXPECT_EQ(rows(), rows_before);

  db_->execute("DROP TABLE write_batches");
  ASSERT_NE(get_conn(db_->settings()), nullptr);
  EXPECT_EQ(versions(), kAllVersions);
  EXPECT_EQ(rows(), rows_before);
}

// Engines that spread tsdata (and tsdata_text, and events) over nodes by tag, or into chunks by
// time, accept only unique keys that hold that column, and foreign keys only to tables they can
// place beside it.
TEST_P(SchemaMigration, TsdataHasNoUniqueOrForeignKey) {
  ASSERT_NE(get_conn(db_->settings()), nullptr);
  for (const std::string table : {"tsdata", "tsdata_text", "events"}) {
    SCOPED_TRACE(table);
    if (sqlite()) {
      EXPECT_EQ(
          db_->query("SELECT count(*) FROM pragma_index_list('" + table + "') WHERE \"unique\""),
          (std::vector<Row>{{"0"}}));
      EXPECT_EQ(db_->query("SELECT count(*) FROM pragma_foreign_key_list('" + table + "')"),
                (std::vector<Row>{{"0"}}));
    } else {
      EXPECT_EQ(db_->query("SELECT count(*) FROM pg_index"
                           " WHERE indrelid = '" +
                           table + "'::regclass AND indisunique"),
                (std::vector<Row>{{"0"}}));
      EXPECT_EQ(db_->query("SELECT count(*) FROM pg_constraint WHERE conrelid = '" + table +
                           "'::regclass OR confrelid = '" + table + "'::regclass"),
                (std::vector<Row>{{"0"}}));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, SchemaMigration, ::testing::Values("postgresql", "sqlite"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tidewell
