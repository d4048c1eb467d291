// The list values of the event settings: splitting at commas outside double quotes, writing
// them back, and the checks of NodeId text and browse paths.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "config/event_lists.h"

namespace kestrane_config {
namespace {

using Strings = std::vector<std::string>;

std::string split_error(const std::string& text) {
  try {
    split_list(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(EventLists, SplitsAtCommasOutsideQuotesAndTrimsEachElement) {
  EXPECT_EQ(split_list(""), Strings{});
  EXPECT_EQ(split_list(" \t "), Strings{});
  EXPECT_EQ(split_list("i=2253"), Strings{"i=2253"});
  EXPECT_EQ(split_list(" i=2253 ,\tns=2;s=Line 1 "), (Strings{"i=2253", "ns=2;s=Line 1"}));
  // A quoted element keeps its commas, spaces and (doubled) quotes.
  EXPECT_EQ(split_list(R"("ns=2;s=A,B" , i=1,"s= x""y ")"),
            (Strings{"ns=2;s=A,B", "i=1", R"(s= x"y )"}));
  // A quote inside an element that does not begin with one is plain text.
  EXPECT_EQ(split_list(R"(s=a"b)"), Strings{R"(s=a"b)"});
}

TEST(EventLists, EachBadListNamesTheElement) {
  EXPECT_EQ(split_error("i=1,,i=2"), "element 2 is empty");
  EXPECT_EQ(split_error(",i=1"), "element 1 is empty");
  EXPECT_EQ(split_error("i=1, "), "element 2 is empty");
  EXPECT_EQ(split_error(R"(i=1, "")"), "element 2 is empty");
  EXPECT_EQ(split_error(R"(i=1, "ns=2;s=A,B)"),
            "the double quote opening element 2 is never closed");
  EXPECT_EQ(split_error(R"("ns=2;s=A" B, i=1)"),
            "element 1 has text after its closing double quote (a comma must follow)");
}

TEST(EventLists, WrittenListsReadBackTheSame) {
  const Strings elements = {"i=2253", "ns=2;s=A,B", R"(s="q")", " s=pad ", "nsu=urn:x;i=5"};
  const std::string text = join_list(elements);
  EXPECT_EQ(text, R"(i=2253, "ns=2;s=A,B", "s=""q""", " s=pad ", nsu=urn:x;i=5)");
  EXPECT_EQ(split_list(text), elements);
  EXPECT_EQ(join_list({}), "");
}

TEST(EventLists, BrowsePathsOfQualifiedNames) {
  for (const char* good : {"Temperature", "ActiveState/Id", "2:Line/2:Speed", "0:a:b",
                           "Field with spaces", "65535:X"}) {
    EXPECT_EQ(browse_path_problem(good), std::nullopt) << good;
  }
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"a//b", "invalid browse path 'a//b': a name between '/' is empty"},
      {"a/", "invalid browse path 'a/': a name between '/' is empty"},
      {"x:Name",
       "invalid browse path 'x:Name': 'x' is no namespace index (a number from 0 to 65535 "
       "before ':')"},
      {"2:Line/70000:Speed",
       "invalid browse path '2:Line/70000:Speed': '70000' is no namespace index (a number from "
       "0 to 65535 before ':')"},
      {"-1:Name",
       "invalid browse path '-1:Name': '-1' is no namespace index (a number from 0 to 65535 "
       "before ':')"},
      {"Line/2:", "invalid browse path 'Line/2:': no name after '2:'"},
  };
  for (const auto& [path, problem] : bad) EXPECT_EQ(browse_path_problem(path), problem);
  EXPECT_EQ(browse_path_list("ActiveState/Id, 2:Line/2:Speed"),
            (Strings{"ActiveState/Id", "2:Line/2:Speed"}));
  EXPECT_THROW(browse_path_list("Severity, a//b"), std::invalid_argument);
}

TEST(EventLists, NodeIdsInEveryTextForm) {
  EXPECT_EQ(node_id_list("i=2253, ns=2;i=7, ns=3;s=Line1, g=72962b91-fa75-4ae6-8d28-b404dc7daf63, "
                         "b=AQID, nsu=urn:plant;s=Boiler, \"ns=2;s=A,B\""),
            (Strings{"i=2253", "ns=2;i=7", "ns=3;s=Line1", "g=72962b91-fa75-4ae6-8d28-b404dc7daf63",
                     "b=AQID", "nsu=urn:plant;s=Boiler", "ns=2;s=A,B"}));
  const auto error = [](const std::string& text) {
    try {
      node_id_list(text);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error("i=2253, Server"), "invalid NodeId text 'Server': expected i=, s=, g= or b=");
}

}  // namespace
}  // namespace kestrane_config
