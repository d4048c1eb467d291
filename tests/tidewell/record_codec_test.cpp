// Descriptions as stored JSON: what another writer may have left, and text that cannot be kept.

#include "record_codec.h"

#include <gtest/gtest.h>

#include "tidewell/connection.h"

namespace tidewell {
namespace {

TEST(DescriptionJson, ReadsForeignValuesAsTheirJsonText) {
  EXPECT_EQ(description_from_json(R"({"desc":"x","n":5,"list":[1]})"),
            (Description{{"desc", "x"}, {"list", "[1]"}, {"n", "5"}}));
  EXPECT_TRUE(description_from_json("[1,2]").empty());
  EXPECT_TRUE(description_from_json("not json").empty());
}

TEST(DescriptionJson, RefusesTextThatIsNotUtf8OrHoldsNul) {
  EXPECT_THROW(description_to_json({{"desc", "\xff\xfe"}}), DatabaseError);
  EXPECT_THROW(description_to_json({{"desc", std::string("a\0b", 3)}}), DatabaseError);
  EXPECT_EQ(description_to_json({}), "{}");
}

}  // namespace
}  // namespace tidewell
