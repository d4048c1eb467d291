#include "quellin/result_queue.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace {

using quellin::ResultQueue;

TEST(ResultQueueTest, DropsTheOldestListWhenFull) {
  ResultQueue q(2);
  for (int i = 0; i < 3; ++i)
    q.push_back({quellin::ResultTuple{std::to_string(i), {}, "Good", {}}});
  EXPECT_EQ(q.size(), 2u);
  EXPECT_EQ(q.dropped(), 1u);
  EXPECT_EQ(q.pop_front()[0].tag, "1");
  auto rest = q.take_all();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0][0].tag, "2");
  EXPECT_TRUE(q.empty());
  EXPECT_THROW(q.pop_front(), std::out_of_range);
}

TEST(ResultQueueTest, NeedsRoomForAtLeastOneList) {
  EXPECT_THROW(ResultQueue(0), std::invalid_argument);
  EXPECT_EQ(ResultQueue().max_length(), 300u);
}

}  // namespace
