// NodeId text and how tags become NodeIds.
#include <gtest/gtest.h>

#include <stdexcept>

#include "ua/endpoint_url.h"
#include "ua/node_id.h"

namespace {

using namespace pyqar::ua;

TEST(NodeIdText, ParsesEveryFormAndPrintsItBack) {
  for (const char* text : {"i=2258", "ns=3;i=1001", "ns=2;s=x", "s=Demo.Tag1", "ns=2;s=a;b=c",
                           "g=72962b91-fa75-4ae6-8d28-b404dc7daf63", "ns=1;b=AAH/", "b=aGk="}) {
    EXPECT_EQ(to_string(parse_node_id(text)), text);
  }
  EXPECT_EQ(parse_node_id("ns=3;i=1001"), NodeId::numeric_id(3, 1001));
  EXPECT_EQ(parse_node_id("ns=1;b=AAH/").text, std::string("\x00\x01\xff", 3));
}

TEST(NodeIdText, RefusesMalformedTextNamingIt) {
  for (const char* text : {"i=", "i=abc", "i=4294967296", "ns=70000;i=1", "ns=2", "ns=;i=1",
                           "ns=2;x=1", "g=not-a-guid", "b=***", "s="}) {
    try {
      parse_node_id(text);
      ADD_FAILURE() << text << " parsed";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  }
}

TEST(TagMapping, PlainNamesAreStringIdsInTheTagsNamespace) {
  EXPECT_EQ(node_id_for_tag(2, "Demo.Tag1"), NodeId::string_id(2, "Demo.Tag1"));
  EXPECT_EQ(node_id_for_tag(0, "Demo:Tag"), NodeId::string_id(0, "Demo:Tag"));
  EXPECT_EQ(node_id_for_tag(0, "nsx"), NodeId::string_id(0, "nsx"));
}

TEST(TagMapping, NodeIdTextKeepsItsOwnNamespaceOrTakesTheTags) {
  EXPECT_EQ(node_id_for_tag(0, "i=2258"), NodeId::numeric_id(0, 2258));
  EXPECT_EQ(node_id_for_tag(0, "ns=3;i=1001"), NodeId::numeric_id(3, 1001));
  EXPECT_EQ(node_id_for_tag(5, "ns=3;i=1001"), NodeId::numeric_id(3, 1001));
  EXPECT_EQ(node_id_for_tag(2, "s=Demo.Tag1"), NodeId::string_id(2, "Demo.Tag1"));
}

TEST(TagMapping, RefusesEmptyNamesAndNamespacesOutOfRange) {
  EXPECT_THROW(node_id_for_tag(0, ""), std::invalid_argument);
  EXPECT_THROW(node_id_for_tag(-1, "x"), std::invalid_argument);
  EXPECT_THROW(node_id_for_tag(65536, "x"), std::invalid_argument);
  EXPECT_THROW(node_id_for_tag(0, "i=x"), std::invalid_argument);
}

TEST(EndpointUrlParsing, TakesHostPortAndPath) {
  const auto url = parse_endpoint_url("opc.tcp://localhost:46011/UA/Server");
  EXPECT_EQ(url.host, "localhost");
  EXPECT_EQ(url.port, 46011);
  EXPECT_EQ(url.path, "/UA/Server");
  const auto v6 = parse_endpoint_url("opc.tcp://[::1]:4840");
  EXPECT_EQ(v6.host, "::1");
  EXPECT_EQ(v6.port, 4840);
  EXPECT_EQ(v6.text, "opc.tcp://[::1]:4840");
}

TEST(EndpointUrlParsing, RefusesAddressesWithoutAUsablePortNamingThem) {
  for (const char* text : {"opc.tcp://host", "opc.tcp://host:", "opc.tcp://host:0",
                           "opc.tcp://host:65536", "opc.tcp://host:12ab", "opc.tcp://:4840",
                           "opc.da://host/x", "http://host:80", "opc.tcp://[::1"}) {
    try {
      parse_endpoint_url(text);
      ADD_FAILURE() << text << " parsed";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  }
}

}  // namespace
