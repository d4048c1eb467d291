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

TEST(NamespaceUriText, ParsesEveryIdentifierFormAndPrintsItBack) {
  for (const char* text :
       {"nsu=urn:x;i=5", "nsu=urn:x;s=Boiler.Temp", "nsu=http://a.b/c;s=a;b=c",
        "nsu=urn:x;g=72962b91-fa75-4ae6-8d28-b404dc7daf63", "nsu=urn:x;b=aGk="}) {
    const UriNodeId parsed = parse_uri_node_id(text);
    EXPECT_EQ(parsed.id.namespace_index, 0);
    EXPECT_EQ(to_uri_string(parsed.namespace_uri, parsed.id), text);
  }
  EXPECT_EQ(parse_uri_node_id("nsu=urn:x;s=a;b").id.text, "a;b");
  EXPECT_EQ(parse_uri_node_id("nsu=urn:kestrane:plant;i=7").namespace_uri, "urn:kestrane:plant");
  // The index a NodeId carries never leaks into the text.
  EXPECT_EQ(to_uri_string("urn:x", NodeId::numeric_id(4, 9)), "nsu=urn:x;i=9");
}

TEST(NamespaceUriText, EscapesSemicolonAndPercentInTheUri) {
  const std::string text = to_uri_string("urn:a;b%c", NodeId::string_id(0, "x"));
  EXPECT_EQ(text, "nsu=urn:a%3Bb%25c;s=x");
  EXPECT_EQ(parse_uri_node_id(text).namespace_uri, "urn:a;b%c");
  EXPECT_EQ(parse_uri_node_id("nsu=urn:%3b;i=1").namespace_uri, "urn:;");
}

TEST(NamespaceUriText, RefusesMalformedTextNamingIt) {
  for (const char* text :
       {"nsu=", "nsu=urn:x", "nsu=;s=a", "nsu=urn:x;", "nsu=urn:x;s=", "nsu=urn:x;ns=2;s=a",
        "nsu=urn:%;s=a", "nsu=urn:%4;s=a", "nsu=urn:%zz;s=a", "nsu=urn:x;i=-1"}) {
    try {
      parse_uri_node_id(text);
      ADD_FAILURE() << text << " parsed";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
  }
  // "nsu=" is not the index form, so a tag name starting with it is never read as one.
  EXPECT_TRUE(has_namespace_uri("nsu=urn:x;i=1"));
  EXPECT_FALSE(looks_like_node_id("nsu=urn:x;i=1"));
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
