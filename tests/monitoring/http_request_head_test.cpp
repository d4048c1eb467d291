#include "monitoring/detail/http_request_head.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrane_monitoring {
namespace {

TEST(RequestHead, ReadsMethodAndPathWithoutQuery) {
  const auto head = parse_request_head(
      "GET /metrics?name[]=kestrane_tags HTTP/1.1\r\nHost: 127.0.0.1:9464\r\nAccept: */*\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->method, "GET");
  EXPECT_EQ(head->path, "/metrics");

  const auto bare = parse_request_head("post /health#top HTTP/1.0");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->method, "post");  // methods are case-sensitive: not GET
  EXPECT_EQ(bare->path, "/health");
}

TEST(RequestHead, RefusesWhatItWouldHaveToGuessAbout) {
  using namespace std::string_literals;
  for (const std::string& text : {
           ""s,
           "GET /metrics"s,
           "GET /metrics HTTP/2.0"s,
           "GET /metrics HTTP/1.1 "s,
           "GET  /metrics HTTP/1.1"s,
           "GET http://host/metrics HTTP/1.1"s,
           "GET /me\ttrics HTTP/1.1"s,
           "GET /metrics\0 HTTP/1.1"s,
           "G(T /metrics HTTP/1.1"s,
           "GET /metrics HTTP/1.1\nHost: x"s,
           "GET /metrics HTTP/1.1\r\nNoColon\r\n"s,
           "GET /metrics HTTP/1.1\r\nHost: x\r\n folded: y\r\n"s,
           "GET /metrics HTTP/1.1\r\nX: a\nY: b\r\n"s,
           "GET /metrics HTTP/1.1\r\n: empty name\r\n"s,
       }) {
    EXPECT_FALSE(parse_request_head(text)) << testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace kestrane_monitoring
