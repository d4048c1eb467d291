// The test server's Structures folder through the OPC UA client: with structures decoded, each
// form (nested, optional fields, arrays, unions, enumerations, every built-in field type)
// written by field name as the server's definitions say, the bodies that lie and the type
// without a definition kept as type id and body; with structures raw, as before. The
// enumeration by itself and the Doubles with units read as numbers either way.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pyqar/rt_source.h"
#include "ua/structure_catalog.h"
#include "ua/ua_source.h"
#include "ua_test_server.h"

namespace {

using kestrane_test::UaTestServer;
using pyqar::TagDescriptor;
using pyqar::ValueObject;

class ReadsStructuresFolder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = 2;
    options.structures = true;
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
    source_ = pyqar::make_ua_source(server_->url(), 1000, {}, false);
  }

  std::vector<ValueObject> read(const std::vector<std::string>& names) {
    std::vector<TagDescriptor> batch;
    for (const auto& n : names) batch.push_back({.namespace_index = 2, .tag_name = n});
    return source_->read(batch);
  }

  static inline std::unique_ptr<UaTestServer> server_;
  std::unique_ptr<pyqar::RtSource> source_;
};

TEST_F(ReadsStructuresFolder, RawKeepsEachStructureAsItsEncodingAndBody) {
  const auto v = read({"Structures.Setpoint", "Structures.Legacy", "Structures.DriveArray",
                       "Structures.Drive", "Structures.Mode", "Demo.Double",
                       "Structures.SetpointNone", "Structures.Short", "Structures.Long"});
  ASSERT_EQ(v.size(), 9u);
  for (const auto& value : v) ASSERT_EQ(value.get_quality(), pyqar::QAR_QUALITY::QAR_HIGH_GOOD);
  const auto text = [&](std::size_t i) { return std::get<std::string>(v[i].value); };
  // Switch 2 (Position), then the Int32 42.
  EXPECT_EQ(text(0), R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.Setpoint.Binary",)"
                     R"("body":"AgAAACoAAAA="})");
  // X 1.5, Y -2: the type is described only by the server's type dictionary.
  EXPECT_EQ(text(1), R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.LegacyPoint.Binary",)"
                     R"("body":"AAAAAAAA+D8AAAAAAAAAwA=="})");
  const std::string drive_type =
      R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.DriveStatus.Binary","body":)";
  EXPECT_EQ(text(2).rfind("[" + drive_type, 0), 0u) << text(2);
  EXPECT_EQ(text(3).rfind(drive_type, 0), 0u) << text(3);
  EXPECT_EQ(std::get<std::int64_t>(v[4].value), 2);
  EXPECT_EQ(std::get<double>(v[5].value), 3.25);
  EXPECT_EQ(text(6), R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.Setpoint.Binary",)"
                     R"("body":"AAAAAA=="})");
  // Bodies that do not match their definitions come through untouched.
  EXPECT_EQ(text(7), R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.DriveStatus.Binary",)"
                     R"("body":"AAAAAAECAw=="})");
  EXPECT_EQ(text(8), R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.Limits.Binary",)"
                     R"("body":"AAAAAAAA8D8AAAAAAAAAQAAAAAAAAAhA"})");
}

TEST_F(ReadsStructuresFolder, DecodedWritesEveryFormByFieldName) {
  source_ = pyqar::make_ua_source(server_->url(), 1000);
  const auto v = read({"Structures.Setpoint", "Structures.Setpoints", "Structures.SetpointNone",
                       "Structures.DriveArray", "Structures.Mode", "Structures.AllTypes",
                       "Structures.Legacy", "Structures.Short", "Structures.Long"});
  ASSERT_EQ(v.size(), 9u);
  const auto text = [&](std::size_t i) { return std::get<std::string>(v[i].value); };
  EXPECT_EQ(text(0), R"({"Position":42})");
  EXPECT_EQ(text(1), R"([{"Speed":12.5},{"Position":42},{"Label":"half"}])");
  EXPECT_EQ(text(2), "{}");
  EXPECT_EQ(text(3),
            R"([{"Speed":12.5,"Running":true,"Mode":{"value":2,"name":"Auto"},)"
            R"("Limits":{"Low":0,"High":100},"Counts":[1,2,3],"Torque":4.25,"Note":"first"},)"
            R"({"Speed":0,"Running":false,"Mode":{"value":0,"name":"Off"},)"
            R"("Limits":{"Low":-10,"High":10},"Counts":[]},)"
            R"({"Speed":-3.5,"Running":true,"Mode":{"value":1,"name":"Manual"},)"
            R"("Limits":{"Low":0,"High":0.5},"Counts":[7],"Note":"third"}])");
  EXPECT_EQ(std::get<std::int64_t>(v[4].value), 2);
  EXPECT_EQ(
      text(5),
      R"({"Boolean":true,"SByte":-8,"Byte":200,"Int16":-1234,"UInt16":65535,)"
      R"("Int32":-123456,"UInt32":4000000000,"Int64":-5,"UInt64":1099511627777,)"
      R"("Float":1.5,"Double":-2.25,"String":"ü €",)"
      R"("DateTime":"2020-01-02T03:04:05.678Z","Guid":"72962b91-fa75-4ae6-8d28-b404dc7daf63",)"
      R"("ByteString":"AQID","XmlElement":"<a>x</a>","NodeId":"i=2253",)"
      R"("ExpandedNodeId":"nsu=urn:kestrane:demo;s=Structures.Drive",)"
      R"("StatusCode":"BadSensorFailure","QualifiedName":"Drive","LocalizedText":"hello",)"
      R"("Variant":7.5})");
  // No definition: the server describes it in a dictionary only.
  EXPECT_EQ(text(6), R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.LegacyPoint.Binary",)"
                     R"("body":"AAAAAAAA+D8AAAAAAAAAwA=="})");
  // Bodies that lie are never half decoded.
  EXPECT_EQ(text(7), R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.DriveStatus.Binary",)"
                     R"("body":"AAAAAAECAw=="})");
  EXPECT_EQ(text(8), R"({"typeId":"nsu=urn:kestrane:demo;s=Structures.Types.Limits.Binary",)"
                     R"("body":"AAAAAAAA8D8AAAAAAAAAQAAAAAAAAAhA"})");
}

// What a collector learned of the types is handed to its next source after a reconnect: the
// definitions are not read again while the server runs on.
TEST_F(ReadsStructuresFolder, ACacheOutlivesItsSource) {
  const auto cache = pyqar::make_structure_cache();
  source_ = pyqar::make_ua_source(server_->url(), 1000, {}, true, cache);
  ASSERT_EQ(std::get<std::string>(read({"Structures.Setpoint"})[0].value), R"({"Position":42})");
  const std::size_t learned = cache->size();
  EXPECT_GE(learned, 1u);
  source_ = pyqar::make_ua_source(server_->url(), 1000, {}, true, cache);
  EXPECT_TRUE(cache->decoder().knows_encoding(
      pyqar::ua::NodeId::string_id(2, "Structures.Types.Setpoint.Binary")));
  const auto v = read({"Structures.Setpoint", "Structures.DriveArray"});
  EXPECT_EQ(std::get<std::string>(v[0].value), R"({"Position":42})");
  EXPECT_EQ(std::get<std::string>(v[1].value).rfind(R"([{"Speed":12.5,)", 0), 0u);
  EXPECT_GT(cache->size(), learned);
}

}  // namespace
