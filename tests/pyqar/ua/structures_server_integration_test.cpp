// The test server's Structures folder through the OPC UA client as it reads values today:
// a structure is kept as its encoding's id and its body, which the later decoding must turn
// into fields; the enumeration by itself and the Doubles with units read as before.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pyqar/rt_source.h"
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
    source_ = pyqar::make_ua_source(server_->url(), 1000);
  }

  std::vector<ValueObject> read(const std::vector<std::string>& names) {
    std::vector<TagDescriptor> batch;
    for (const auto& n : names) batch.push_back({.namespace_index = 2, .tag_name = n});
    return source_->read(batch);
  }

  static inline std::unique_ptr<UaTestServer> server_;
  std::unique_ptr<pyqar::RtSource> source_;
};

TEST_F(ReadsStructuresFolder, KeepsEachStructureAsItsEncodingAndBody) {
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

}  // namespace
