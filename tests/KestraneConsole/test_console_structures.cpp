// The built KestraneConsole program storing what each value means, as an operator meets it:
// the test server's structures by field name, subscribed into SQLite and polled into
// PostgreSQL (read back there as jsonb), a body that lies kept as type id and body with its
// warning, the raw setting storing every structure as before; and 10,000 tags' data types,
// units and ranges read beside collection into `tags`.

#include "console_program_fixture.h"

namespace kestrane_console {
namespace {

// The demo Doubles and the Structures folder.
UaTestServer::Options structures_server() {
  UaTestServer::Options options;
  options.tags = 1;
  options.structures = true;
  return options;
}

const std::vector<std::string> kStructureTags = {
    "ns=2;s=Structures.Drive,",   "ns=2;s=Structures.DriveArray,", "ns=2;s=Structures.Setpoints,",
    "ns=2;s=Structures.Short,",   "ns=2;s=Structures.Legacy,",     "ns=2;s=Structures.Mode,",
    "ns=2;s=Structures.AllTypes,"};

constexpr const char* kDriveArray =
    R"([{"Speed":12.5,"Running":true,"Mode":{"value":2,"name":"Auto"},)"
    R"("Limits":{"Low":0,"High":100},"Counts":[1,2,3],"Torque":4.25,"Note":"first"},)"
    R"({"Speed":0,"Running":false,"Mode":{"value":0,"name":"Off"},)"
    R"("Limits":{"Low":-10,"High":10},"Counts":[]},)"
    R"({"Speed":-3.5,"Running":true,"Mode":{"value":1,"name":"Manual"},)"
    R"("Limits":{"Low":0,"High":0.5},"Counts":[7],"Note":"third"}])";
constexpr const char* kShortRaw =
    R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.DriveStatus.Binary",)"
    R"("body":"AAAAAAECAw=="})";

class StructuresProgram : public SubscribeProgram {
 protected:
  // The latest text stored for `tag`.
  std::string latest_text(const std::string& tag) const {
    const auto rows =
        query("SELECT d.value FROM tsdata_text d JOIN tags t USING (tag_id) WHERE t.tag_name = '" +
              tag + "' ORDER BY d.time DESC LIMIT 1");
    return rows.empty() ? std::string() : rows.front();
  }
};

// Subscribed into SQLite: every form by field name, the changing drive stored at each change,
// the enumeration by itself a number, a lying body and a type without a definition as before.
TEST_F(StructuresProgram, SubscribedStructuresAreStoredByFieldName) {
  ASSERT_TRUE(launch({.server = structures_server(),
                      .tags = kStructureTags,
                      .settings = "collection_interval = 0.5\n"}));
  ASSERT_TRUE(wait_for_notifications(3));
  ASSERT_EQ(stop(), 0) << output();

  EXPECT_EQ(latest_text("ns=2;s=Structures.DriveArray"), kDriveArray);
  EXPECT_EQ(latest_text("ns=2;s=Structures.Setpoints"),
            R"([{"Speed":12.5},{"Position":42},{"Label":"half"}])");
  const std::string drive = latest_text("ns=2;s=Structures.Drive");
  EXPECT_EQ(drive.rfind(R"({"Speed":)", 0), 0u) << drive;
  EXPECT_NE(drive.find(R"("Limits":{"Low":0,"High":100})"), std::string::npos) << drive;
  EXPECT_GE(std::stoi(query("SELECT count(*) FROM tsdata_text d JOIN tags t USING (tag_id) "
                            "WHERE t.tag_name = 'ns=2;s=Structures.Drive'")
                          .at(0)),
            2);
  EXPECT_NE(latest_text("ns=2;s=Structures.AllTypes").find(R"("Variant":7.5})"), std::string::npos);
  EXPECT_EQ(query("SELECT d.value FROM tsdata d JOIN tags t USING (tag_id) "
                  "WHERE t.tag_name = 'ns=2;s=Structures.Mode'")
                .at(0),
            "2.0");
  EXPECT_EQ(latest_text("ns=2;s=Structures.Short"), kShortRaw);
  EXPECT_EQ(latest_text("ns=2;s=Structures.Legacy").rfind(R"({"typeId":)", 0), 0u);
  EXPECT_TRUE(wait_for_output("Structures.Short': a structure in its value does not match"))
      << output();
  EXPECT_TRUE(wait_for_output("has no DataTypeDefinition on the server")) << output();
}

// Polled into PostgreSQL: the stored text is JSON the database reads field by field.
TEST_F(StructuresProgram, PolledStructuresAreReadByFieldInPostgres) {
  const auto pg = kestrane_test::postgres_server_settings();
  if (!pg) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no PostgreSQL";
  const kestrane_test::ScratchPostgresDatabase scratch(*pg, "console_structures");
  const auto& db = scratch.settings();
  postgres_ = db;
  ASSERT_TRUE(launch({.server = structures_server(),
                      .tags = kStructureTags,
                      .settings = "collection_interval = 0.5\n",
                      .tsdb = "host = " + db.host + "\nport = " + std::to_string(db.port) +
                              "\nuser = " + db.user + "\npassword = " + db.password +
                              "\ndbname = " + db.dbname + "\n",
                      .notifications = 0,
                      .acquisition = "read"}));
  const std::string drive_array =
      "SELECT d.value::jsonb -> 2 -> 'Mode' ->> 'name' FROM tsdata_text d JOIN tags t "
      "USING (tag_id) WHERE t.tag_name = 'ns=2;s=Structures.DriveArray' LIMIT 1";
  // The tables appear once the program has connected.
  ASSERT_TRUE(wait_for([&] {
    try {
      return !query(drive_array).empty();
    } catch (const std::exception&) {
      return false;
    }
  })) << output();
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_EQ(query(drive_array).at(0), "Manual");
  EXPECT_EQ(query("SELECT (d.value::jsonb ->> 'Speed')::float8 >= 12.5 FROM tsdata_text d "
                  "JOIN tags t USING (tag_id) WHERE t.tag_name = 'ns=2;s=Structures.Drive' "
                  "LIMIT 1")
                .at(0),
            "t");
  EXPECT_EQ(query("SELECT d.value::jsonb ->> 'UInt64' FROM tsdata_text d JOIN tags t "
                  "USING (tag_id) WHERE t.tag_name = 'ns=2;s=Structures.AllTypes' LIMIT 1")
                .at(0),
            "1099511627777");
  EXPECT_EQ(latest_text("ns=2;s=Structures.Short"), kShortRaw);
}

// opc_structures = raw: every structure as type id and body, as before the setting existed.
TEST_F(StructuresProgram, RawSettingKeepsTypeIdAndBody) {
  ASSERT_TRUE(launch({.server = structures_server(),
                      .tags = kStructureTags,
                      .settings = "collection_interval = 0.5\nopc_structures = raw\n",
                      .notifications = 2}));
  ASSERT_EQ(stop(), 0) << output();
  EXPECT_EQ(latest_text("ns=2;s=Structures.DriveArray").rfind(R"([{"typeId":)", 0), 0u);
  EXPECT_EQ(latest_text("ns=2;s=Structures.Short"), kShortRaw);
  EXPECT_EQ(output().find("does not match the server's definition"), std::string::npos);
}

// 10,000 tags polled every second: their metadata is read on a session of its own once the
// first cycle is stored, a tag the server lacks keeps NULLs and is named in one summary, and an
// enumeration variable's value names are kept with it.
TEST_F(StructuresProgram, MetadataOfTenThousandTagsIsStoredBesideCollection) {
  UaTestServer::Options server = structures_server();
  server.tags = 3334;
  std::vector<std::string> tags;
  for (int n = 1; n <= 3334; ++n) {
    tags.push_back("ns=2;s=Demo.Tag" + std::to_string(n) + ",");
    tags.push_back("ns=2;s=Demo.Random" + std::to_string(n) + ",");
    if (n <= 3331) tags.push_back("ns=2;s=Demo.Count" + std::to_string(n) + ",");
  }
  tags.push_back("ns=2;s=Structures.Mode,");
  tags.push_back("ns=2;s=Demo.Missing,");
  ASSERT_EQ(tags.size(), 10'001u);
  ASSERT_TRUE(launch({.server = server,
                      .tags = tags,
                      .settings = "collection_interval = 1\nbatch_size = 10000\n",
                      .notifications = 0,
                      .acquisition = "read"}));
  ASSERT_TRUE(wait_for_output("Tag metadata read for", 1, 120s)) << output();
  ASSERT_EQ(stop(), 0) << output();

  const auto row = [&](const std::string& tag) {
    return kestrane_test::query_sqlite_rows(
               database(),
               "SELECT data_type, unit, unit_id, eu_low, eu_high, access_level & 1, enum_names "
               "FROM tags WHERE tag_name = '" +
                   tag + "'")
        .at(0);
  };
  const auto tag5 = row("ns=2;s=Demo.Tag5");
  EXPECT_EQ(tag5.at(0), "Double");
  EXPECT_EQ(tag5.at(1), "bar");
  EXPECT_EQ(tag5.at(2), "4342098");
  EXPECT_EQ(std::stod(tag5.at(3).value()), -1.0);
  EXPECT_EQ(std::stod(tag5.at(4).value()), 1.0);
  EXPECT_EQ(tag5.at(5), "1");
  const auto count7 = row("ns=2;s=Demo.Count7");
  EXPECT_EQ(count7.at(0), "Double");
  EXPECT_FALSE(count7.at(1));
  const auto mode = row("ns=2;s=Structures.Mode");
  EXPECT_EQ(mode.at(0), "nsu=urn:kestrane:demo;s=Structures.Types.Mode");
  EXPECT_EQ(mode.at(6), R"({"0":"Off","1":"Manual","2":"Auto"})");
  EXPECT_FALSE(row("ns=2;s=Demo.Missing").at(0));
  EXPECT_EQ(query("SELECT count(*) FROM tags WHERE metadata_time IS NOT NULL").at(0), "10000");
  EXPECT_TRUE(wait_for_output("Metadata of 1 tags could not be read (first: ns=2;s=Demo.Missing"))
      << output();
  // Never before the first stored cycle.
  EXPECT_EQ(query("SELECT (SELECT min(time) FROM tsdata) <= "
                  "(SELECT min(metadata_time) FROM tags)")
                .at(0),
            "1");
}

}  // namespace
}  // namespace kestrane_console
