#include "monitoring/listen_address.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace kestrane_monitoring {
namespace {

std::string parse_error(const std::string& text) {
  try {
    parse_listen_address(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(ListenAddress, ReadsTheFormsOperatorsWrite) {
  EXPECT_EQ(parse_listen_address("127.0.0.1:9464"), (ListenAddress{"127.0.0.1", 9464}));
  EXPECT_EQ(parse_listen_address(" \t[::1]:9464 \r\n"), (ListenAddress{"::1", 9464}));
  EXPECT_EQ(parse_listen_address("0.0.0.0:1"), (ListenAddress{"0.0.0.0", 1}));
  EXPECT_EQ(parse_listen_address("localhost:65535"), (ListenAddress{"localhost", 65535}));
  EXPECT_EQ(parse_listen_address("[fe80::1%eth0]:80"), (ListenAddress{"fe80::1%eth0", 80}));
  // Port 0: the listener takes any free port (and the console logs which).
  EXPECT_EQ(parse_listen_address("127.0.0.1:0"), (ListenAddress{"127.0.0.1", 0}));
  EXPECT_EQ(parse_listen_address("[::1]:00"), (ListenAddress{"::1", 0}));
}

TEST(ListenAddress, TextReadsBackAsTheSameAddress) {
  for (const ListenAddress& address :
       {ListenAddress{"127.0.0.1", 9464}, ListenAddress{"::", 80}, ListenAddress{"host", 1}}) {
    EXPECT_EQ(parse_listen_address(address.to_text()), address) << address.to_text();
  }
  EXPECT_EQ((ListenAddress{"::1", 9464}).to_text(), "[::1]:9464");
}

TEST(ListenAddress, ErrorsNameTheTextAndTheFault) {
  const std::pair<std::string, std::string> cases[] = {
      {"127.0.0.1", "missing port"},
      {"127.0.0.1:", "missing port"},
      {"[::1]", "missing port"},
      {":9464", "empty host"},
      {"[]:9464", "empty host"},
      {"localhost:http", "port 'http' is not a number"},
      {"localhost:+80", "port '+80' is not a number"},
      {"localhost:65536", "port 65536 is outside 0-65535"},
      {"localhost:99999999999999999999", "outside 0-65535"},
      {"[::1:9464", "'[' without ']'"},
      {"::1:9464", "an IPv6 address needs brackets"},
      {"[::1]9464", "':' must follow ']'"},
      {"[localhost]:80", "brackets are only for IPv6 addresses"},
      {"127.0.0.1]:80", "misplaced bracket"},
      {"[[::1]]:80", "brackets inside brackets"},
      {"   ", "empty address"},
      {"localhost :80", "blank inside the address"},
  };
  for (const auto& [text, fault] : cases) {
    const std::string message = parse_error(text);
    EXPECT_NE(message.find("'" + text + "'"), std::string::npos) << message;
    EXPECT_NE(message.find(fault), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace kestrane_monitoring
