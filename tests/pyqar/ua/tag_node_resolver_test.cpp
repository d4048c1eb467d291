#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ua/tag_node_resolver.h"

namespace pyqar::ua {
namespace {

// The namespace as the collector split it off, the name as it was left.
TagDescriptor tag(int ns, std::string name) { return {0, ns, std::move(name)}; }

class TagNodeResolverTest : public ::testing::Test {
 protected:
  std::vector<std::string> table{"http://opcfoundation.org/UA/", "urn:local", "urn:demo;v=1"};
  int lookups = 0;
  TagNodeResolver::NamespaceLookup lookup = [this](std::string_view uri) {
    ++lookups;
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (table[i] == uri) return std::optional<std::uint16_t>(static_cast<std::uint16_t>(i));
    }
    return std::optional<std::uint16_t>();
  };
  TagNodeResolver resolver{"its tags read as Bad"};
};

TEST_F(TagNodeResolverTest, TakesTheNamespaceAsGivenAndNeverSplitsTheNameAgain) {
  EXPECT_EQ(resolver.resolve(tag(2, "Demo.Tag1"), lookup, "s"), NodeId::string_id(2, "Demo.Tag1"));
  // What is left after the collector's split is a name, colons and all.
  EXPECT_EQ(resolver.resolve(tag(2, "A:B"), lookup, "s"), NodeId::string_id(2, "A:B"));
  EXPECT_EQ(resolver.resolve(tag(0, "3:Demo"), lookup, "s"), NodeId::string_id(0, "3:Demo"));
  EXPECT_EQ(lookups, 0);  // the session is not asked for names without a URI
}

TEST_F(TagNodeResolverTest, ReadsEveryNodeIdFormOfTheName) {
  EXPECT_EQ(resolver.resolve(tag(0, "i=2258"), lookup, "s"), NodeId::numeric_id(0, 2258));
  EXPECT_EQ(resolver.resolve(tag(0, "ns=3;i=1001"), lookup, "s"), NodeId::numeric_id(3, 1001));
  EXPECT_EQ(resolver.resolve(tag(4, "s=Demo:Tag"), lookup, "s"), NodeId::string_id(4, "Demo:Tag"));
  EXPECT_EQ(resolver.resolve(tag(0, "nsu=urn:demo%3Bv=1;i=7"), lookup, "s"),
            NodeId::numeric_id(2, 7));
}

TEST_F(TagNodeResolverTest, AnUnknownUriIsNoNodeUntilANewSessionHasIt) {
  EXPECT_EQ(resolver.resolve(tag(0, "nsu=urn:gone;i=1"), lookup, "s"), std::nullopt);
  EXPECT_EQ(resolver.resolve(tag(0, "nsu=urn:gone;i=2"), lookup, "s"), std::nullopt);
  // The new session's table has it.
  resolver.new_session();
  table.push_back("urn:gone");
  EXPECT_EQ(resolver.resolve(tag(0, "nsu=urn:gone;i=2"), lookup, "s"), NodeId::numeric_id(3, 2));
}

TEST_F(TagNodeResolverTest, RefusesNamesThatDoNotParse) {
  EXPECT_THROW(resolver.resolve(tag(0, "ns=x;i=1"), lookup, "s"), std::invalid_argument);
  EXPECT_THROW(resolver.resolve(tag(0, "nsu=urn:local"), lookup, "s"), std::invalid_argument);
  EXPECT_THROW(resolver.resolve(tag(70000, "Demo"), lookup, "s"), std::invalid_argument);
}

}  // namespace
}  // namespace pyqar::ua
