// The TranslateBrowsePathsToNodeIds request as a server reads it, its response hand-built as a
// server sends it through decode_response, and which target a result leads to; hostile counts
// and short bodies are refused.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "response_header.h"
#include "ua/binary_reader.h"
#include "ua/binary_writer.h"
#include "ua/ua_codec.h"
#include "ua/ua_messages.h"
#include "ua/ua_translate_messages.h"

namespace {

using namespace pyqar::ua;
using pyqar::ua::testing::write_response_header;

constexpr std::uint32_t kBadNoMatch = 0x806F0000;

BinaryReader request_body(const std::vector<std::uint8_t>& bytes) {
  BinaryReader r(bytes);
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 554));
  decode_node_id(r);  // authentication token
  r.i64();
  r.u32();
  r.u32();
  r.skip_string();
  r.u32();
  skip_extension_object(r);
  return r;
}

TEST(TranslateBrowsePathsRequestEncoding, EachPathWithItsElementsInOrder) {
  std::vector<BrowsePath> paths{property_path(NodeId::string_id(2, "Demo.Double"), "EURange")};
  paths.push_back({.starting_node = NodeId::numeric_id(0, 85),
                   .elements = {{.reference_type_id = NodeId::numeric_id(0, 35),
                                 .is_inverse = true,
                                 .include_subtypes = false,
                                 .target_name = {.namespace_index = 3, .name = "A"}},
                                {.reference_type_id = NodeId::numeric_id(0, 47),
                                 .is_inverse = false,
                                 .include_subtypes = true,
                                 .target_name = {.namespace_index = 0, .name = "ü"}}}});
  BinaryWriter w;
  encode_request(w, TranslateBrowsePathsRequest{.header = {}, .paths = paths});
  BinaryReader r = request_body(w.data());
  ASSERT_EQ(r.i32(), 2);
  EXPECT_EQ(decode_node_id(r), NodeId::string_id(2, "Demo.Double"));
  ASSERT_EQ(r.i32(), 1);
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 46));  // HasProperty
  EXPECT_FALSE(r.boolean());                                // forward
  EXPECT_TRUE(r.boolean());                                 // with subtypes
  EXPECT_EQ(decode_qualified_name(r), (QualifiedName{0, "EURange"}));
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 85));
  ASSERT_EQ(r.i32(), 2);
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 35));
  EXPECT_TRUE(r.boolean());
  EXPECT_FALSE(r.boolean());
  EXPECT_EQ(decode_qualified_name(r), (QualifiedName{3, "A"}));
  EXPECT_EQ(decode_node_id(r), NodeId::numeric_id(0, 47));
  EXPECT_FALSE(r.boolean());
  EXPECT_TRUE(r.boolean());
  EXPECT_EQ(decode_qualified_name(r), (QualifiedName{0, "ü"}));
  EXPECT_EQ(r.remaining(), 0u);
}

void write_response_type(BinaryWriter& w) {
  encode_node_id(w, NodeId::numeric_id(0, 557));
  write_response_header(w);
}

// A target in the string form, with the namespace URI flag when `uri` is given.
void write_string_target(BinaryWriter& w, std::uint16_t ns, const std::string& id,
                         const std::string& uri, std::uint32_t remaining) {
  w.u8(uri.empty() ? 0x03 : 0x83);
  w.u16(ns);
  w.string(id);
  if (!uri.empty()) w.string(uri);
  w.u32(remaining);
}

TranslateBrowsePathsResponse decode(const std::vector<std::uint8_t>& bytes) {
  ServiceResponse response = decode_response(bytes);
  auto* translated = std::get_if<TranslateBrowsePathsResponse>(&response);
  EXPECT_NE(translated, nullptr);
  return translated ? *translated : TranslateBrowsePathsResponse{};
}

TEST(TranslateBrowsePathsResponseDecoding, ResultsWithTheirTargetsAndWhichOneIsLocal) {
  BinaryWriter w;
  write_response_type(w);
  w.i32(3);
  // Found, but first as a partial match, then on another server, then here.
  w.u32(0);
  w.i32(3);
  write_string_target(w, 2, "Demo.Double", "", 0);
  w.u8(0x40 | 0x01);  // four-byte form, with a server index
  w.u8(2);
  w.u16(7);
  w.u32(1);
  w.u32(kPathFullyFollowed);
  write_string_target(w, 2, "Demo.Double.EURange", "", kPathFullyFollowed);
  // Found only under a namespace URI the client would have to look up.
  w.u32(0);
  w.i32(1);
  write_string_target(w, 0, "X", "urn:other", kPathFullyFollowed);
  // Not found.
  w.u32(kBadNoMatch);
  w.i32(-1);
  w.i32(-1);  // no diagnostics
  const TranslateBrowsePathsResponse res = decode(w.data());
  ASSERT_EQ(res.results.size(), 3u);
  ASSERT_EQ(res.results[0].targets.size(), 3u);
  EXPECT_EQ(res.results[0].targets[0].remaining_path_index, 0u);
  EXPECT_EQ(res.results[0].targets[1].target.server_index, 1u);
  EXPECT_EQ(res.results[0].targets[1].target.id, NodeId::numeric_id(2, 7));
  EXPECT_EQ(local_target(res.results[0]), NodeId::string_id(2, "Demo.Double.EURange"));
  EXPECT_EQ(res.results[1].targets[0].target.namespace_uri, "urn:other");
  EXPECT_EQ(local_target(res.results[1]), std::nullopt);
  EXPECT_EQ(res.results[2].status, kBadNoMatch);
  EXPECT_TRUE(res.results[2].targets.empty());
  EXPECT_EQ(local_target(res.results[2]), std::nullopt);
}

TEST(TranslateBrowsePathsResponseDecoding, ABadResultHidesEvenAFullTarget) {
  BrowsePathResult result;
  result.status = kBadNoMatch;
  result.targets.emplace_back();
  result.targets[0].target.id = NodeId::numeric_id(0, 1);
  EXPECT_EQ(local_target(result), std::nullopt);
}

TEST(TranslateBrowsePathsResponseDecoding, HostileCountsAndShortBodiesAreRefused) {
  {
    BinaryWriter w;
    write_response_type(w);
    w.i32(1'000'000'000);  // more results than bytes
    EXPECT_THROW(decode_response(w.data()), DecodeError);
  }
  {
    BinaryWriter w;
    write_response_type(w);
    w.i32(1);
    w.u32(0);
    w.i32(500'000'000);  // more targets than bytes
    EXPECT_THROW(decode_response(w.data()), DecodeError);
  }
  {
    BinaryWriter w;
    write_response_type(w);
    w.i32(1);
    w.u32(0);
    w.i32(1);
    write_string_target(w, 2, "Demo.Double", "", 0);
    std::vector<std::uint8_t> bytes = w.take();
    bytes.resize(bytes.size() - 2);  // the remaining path index cut short
    EXPECT_THROW(decode_response(bytes), DecodeError);
  }
}

}  // namespace
