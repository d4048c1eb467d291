#include "kept_tickets.h"

#include <gtest/gtest.h>

namespace {

TEST(KeptTickets, KeptThroughIsTheEndOfTheUnbrokenRunOfSettledTickets) {
  quellin::KeptTickets tickets;
  EXPECT_EQ(tickets.kept_through(), 0u);
  for (std::uint64_t i = 1; i <= 5; ++i) EXPECT_EQ(tickets.issue(), i);
  // Settled out of order (a cycle spooled past a busy writer): nothing is kept until the
  // gap closes.
  tickets.settle(3);
  tickets.settle(5);
  EXPECT_EQ(tickets.kept_through(), 0u);
  tickets.settle(1);
  EXPECT_EQ(tickets.kept_through(), 1u);
  tickets.settle(2);
  EXPECT_EQ(tickets.kept_through(), 3u);
  tickets.settle(4);
  EXPECT_EQ(tickets.kept_through(), 5u);
}

TEST(KeptTickets, TicketsSettledTwiceNeverIssuedOrZeroChangeNothing) {
  quellin::KeptTickets tickets;
  tickets.settle(1);  // not issued yet: must not count as kept once it is
  tickets.settle(0);
  EXPECT_EQ(tickets.issue(), 1u);
  EXPECT_EQ(tickets.issue(), 2u);
  EXPECT_EQ(tickets.kept_through(), 0u);
  tickets.settle(2);
  tickets.settle(2);
  EXPECT_EQ(tickets.kept_through(), 0u);
  tickets.settle(1);
  tickets.settle(1);
  EXPECT_EQ(tickets.kept_through(), 2u);
  EXPECT_EQ(tickets.issue(), 3u);
  EXPECT_EQ(tickets.kept_through(), 2u);
}

}  // namespace
