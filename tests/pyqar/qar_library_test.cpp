#include "pyqar/qar_library.h"

#include <unistd.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "pyqar/rt_source.h"

namespace {

using pyqar::CreateSourceArgs;
using pyqar::QAR_INVALID_HANDLE;
using pyqar::QARLibrary;

constexpr int kDa = static_cast<int>(pyqar::QAR_RTSOURCE::QAR_RTSOURCE_DA);

std::string host_name() {
  std::array<char, 256> buf{};
  gethostname(buf.data(), buf.size() - 1);
  return buf.data();
}

class QARLibraryTest : public ::testing::Test {
 protected:
  pyqar::SourceHandle create(const std::string& schema, int type = kDa) {
    return qar.create_source({.source_type = type, .source_schema = schema});
  }
  QARLibrary qar;
  kestrane_test::LogCapture log{"pyqar"};
};

TEST_F(QARLibraryTest, OpensTheSimulatedServerUnderEveryLocalName) {
  for (const std::string& host : {std::string("localhost"), std::string("127.0.0.1"),
                                  std::string("LocalHost"), host_name()}) {
    const auto h = create("opc.da://" + host + "/OstrevoV2.1.0");
    EXPECT_NE(h, QAR_INVALID_HANDLE) << host;
    EXPECT_TRUE(qar.is_source_valid(h)) << host;
  }
  EXPECT_NE(create("opc.da://localhost/OstrevoV2.1.0/"), QAR_INVALID_HANDLE);
}

TEST_F(QARLibraryTest, RefusesEveryOtherDaAddressAndLogsWhy) {
  EXPECT_EQ(create("opc.da://plant-07/OstrevoV2.1.0"), QAR_INVALID_HANDLE);
  EXPECT_EQ(create("opc.da://localhost/Other.Server.1"), QAR_INVALID_HANDLE);
  EXPECT_EQ(create("opc.da://localhost"), QAR_INVALID_HANDLE);
  EXPECT_EQ(create("opc.tcp://localhost:4840"), QAR_INVALID_HANDLE);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0],
            "ERROR Cannot create source for 'opc.da://plant-07/OstrevoV2.1.0': OPC DA host "
            "'plant-07' cannot be reached: OPC DA is only simulated, on this machine");
  EXPECT_EQ(lines[1],
            "ERROR Cannot create source for 'opc.da://localhost/Other.Server.1': OPC DA server "
            "'Other.Server.1' not found on 'localhost': this machine offers only OstrevoV2.1.0");
  EXPECT_NE(lines[2].find("names no server"), std::string::npos);
  EXPECT_NE(lines[3].find("is not an OPC DA address"), std::string::npos);
}

TEST_F(QARLibraryTest, RefusesAnUnknownSourceTypeOrNegativeTimespan) {
  EXPECT_EQ(create("opc.da://localhost/OstrevoV2.1.0", 99), QAR_INVALID_HANDLE);
  EXPECT_EQ(qar.create_source({.source_type = kDa,
                               .source_schema = "opc.da://localhost/OstrevoV2.1.0",
                               .sample_timespan_msec = -1}),
            QAR_INVALID_HANDLE);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(QARLibraryTest, ReadsOneValuePerDescriptorInOrder) {
  const auto h = create("opc.da://localhost/OstrevoV2.1.0");
  const auto [count, values] = qar.read_values(
      h, {{.tag_name = "Demo.Count3"}, {.tag_name = "Nope"}, {.tag_name = "Demo.Tag1"}});
  EXPECT_EQ(count, 3);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<std::int64_t>(values[0].value));
  EXPECT_EQ(values[1].get_quality(), pyqar::QAR_QUALITY::QAR_HIGH_BAD);
  EXPECT_TRUE(std::holds_alternative<double>(values[2].value));
}

TEST_F(QARLibraryTest, DestroyedSourcesAreNoLongerUsable) {
  const auto a = create("opc.da://localhost/OstrevoV2.1.0");
  const auto b = create("opc.da://localhost/OstrevoV2.1.0");
  EXPECT_NE(a, b);
  qar.destroy_source(a);
  EXPECT_FALSE(qar.is_source_valid(a));
  EXPECT_THROW(qar.read_values(a, {{.tag_name = "Demo.Tag1"}}), std::runtime_error);
  EXPECT_TRUE(qar.is_source_valid(b));
  qar.destroy_source(a);  // twice is harmless
  qar.destroy();
  EXPECT_FALSE(qar.is_source_valid(b));
  EXPECT_FALSE(qar.is_source_valid(QAR_INVALID_HANDLE));
}

TEST_F(QARLibraryTest, DiscoveryOnPortZeroListsTheSimulatedServer) {
  std::vector<pyqar::qar_source_desc_t> descs(3);
  EXPECT_EQ(qar.discovery(descs, "localhost", 0), 1);
  EXPECT_EQ(descs[0].name, "OstrevoV2.1.0");
  EXPECT_EQ(descs[0].schema, "opc.da://localhost/OstrevoV2.1.0");
  EXPECT_EQ(descs[0].source_type, pyqar::QAR_RTSOURCE::QAR_RTSOURCE_DA);
  EXPECT_TRUE(descs[1].name.empty());

  EXPECT_EQ(qar.discovery(descs, host_name(), 0), 1);
  std::vector<pyqar::qar_source_desc_t> none;
  EXPECT_EQ(qar.discovery(none, "localhost", 0), 0);
  std::vector<pyqar::qar_source_desc_t> remote(2);
  EXPECT_EQ(qar.discovery(remote, "plant-07", 0), 0);
  EXPECT_THROW(qar.discovery(descs, "localhost", 70000), std::invalid_argument);
}

TEST_F(QARLibraryTest, SourcesComeFromTheGivenFactory) {
  int calls = 0;
  QARLibrary scripted([&calls](const CreateSourceArgs& args) -> std::unique_ptr<pyqar::RtSource> {
    ++calls;
    if (args.source_schema == "throw") throw std::runtime_error("refused by script");
    return nullptr;
  });
  EXPECT_EQ(scripted.create_source({.source_schema = "throw"}), QAR_INVALID_HANDLE);
  EXPECT_EQ(scripted.create_source({.source_schema = "null"}), QAR_INVALID_HANDLE);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(log.count("ERROR Cannot create source for 'throw': refused by script"), 1);
  EXPECT_EQ(log.count("ERROR Cannot create source for 'null': no source was opened"), 1);
}

}  // namespace
