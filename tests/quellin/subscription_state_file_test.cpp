// The state a subscribing collector keeps for the next process: written and read back whole;
// a file that does not parse or belongs to another server or user is ignored with a warning
// naming it and why.
#include "subscription_state_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include "log_capture.h"
#include "temp_dir.h"

namespace {

using quellin::SubscriptionStateFile;

pyqar::ReclaimableSubscriptions sample() {
  pyqar::ReclaimableSubscriptions state{.publishing_interval_ms = 250.0, .subscriptions = {}};
  pyqar::ReclaimableSubscription sub{.id = 7,
                                     .publishing_interval_ms = 500.0,
                                     .keep_alive_count = 10,
                                     .lifetime_count = 300,
                                     .last_kept = 41,
                                     .items = {}};
  sub.items.push_back({.client_handle = 0x1000002,
                       .item_id = 99,
                       .tag_key = "2:Line 4\\Temp\nx",  // spaces, a backslash, a line break
                       .settings = {.sampling_interval_ms = 100.5,
                                    .queue_size = 1000,
                                    .deadband_type = pyqar::DeadbandType::percent,
                                    .deadband = 2.5}});
  sub.items.push_back({.client_handle = 3, .item_id = 100, .tag_key = "0:i=2258", .settings = {}});
  state.subscriptions.push_back(sub);
  state.subscriptions.push_back({.id = 8,
                                 .publishing_interval_ms = 250.0,
                                 .keep_alive_count = 3,
                                 .lifetime_count = 30,
                                 .last_kept = 0,
                                 .items = {}});
  return state;
}

class SubscriptionStateFileTest : public ::testing::Test {
 protected:
  kestrane_test::TempDir dir;
  kestrane_test::LogCapture log{"quellin"};
  SubscriptionStateFile::Owner owner{.endpoint = "opc.tcp://plant:4840", .user = "op"};
  std::filesystem::path folder() const { return dir.path() / "state"; }
};

TEST_F(SubscriptionStateFileTest, WhatIsSavedIsLoadedWithTheLatestKeptNumbers) {
  SubscriptionStateFile file(folder(), owner);
  EXPECT_FALSE(file.load().has_value());  // nothing yet, and no word of it
  pyqar::ReclaimableSubscriptions state = sample();
  file.save(state);
  EXPECT_EQ(SubscriptionStateFile(folder(), owner).load(), state);

  file.save_kept({{7, 45}, {8, 2}});
  file.save_kept({{7, 44}});  // recorded late: a number never goes back
  state.subscriptions[0].last_kept = 45;
  state.subscriptions[1].last_kept = 2;
  EXPECT_EQ(file.load(), state);
  // The subscriptions saved again with the numbers the engine had before: the recorded ones
  // stay.
  file.save(sample());
  EXPECT_EQ(file.load(), state);
  EXPECT_TRUE(log.lines().empty()) << log.dump();

  file.remove();
  EXPECT_FALSE(file.load().has_value());
  // A batch kept after the subscriptions were deleted leaves nothing behind.
  file.save_kept({{7, 46}});
  EXPECT_FALSE(std::filesystem::exists(folder() / SubscriptionStateFile::kKeptName));
}

TEST_F(SubscriptionStateFileTest, AnotherServersOrUsersOrABrokenFileIsIgnoredWithAWarning) {
  SubscriptionStateFile(folder(), owner).save(sample());
  const std::string state_path = (folder() / SubscriptionStateFile::kStateName).string();

  EXPECT_FALSE(SubscriptionStateFile(folder(), {.endpoint = "opc.tcp://other:4840", .user = "op"})
                   .load()
                   .has_value());
  EXPECT_TRUE(log.has("warning", "Subscription state " + state_path +
                                     " ignored: it belongs to the server opc.tcp://plant:4840, "
                                     "not opc.tcp://other:4840; the previous run's subscriptions "
                                     "are not taken over"))
      << log.dump();
  EXPECT_FALSE(
      SubscriptionStateFile(folder(), {.endpoint = owner.endpoint, .user = ""}).load().has_value());
  EXPECT_TRUE(log.has_prefix("warning", "Subscription state " + state_path +
                                            " ignored: it belongs to user 'op', not an anonymous "
                                            "user"))
      << log.dump();

  {
    std::ofstream(folder() / SubscriptionStateFile::kStateName, std::ios::app)
        << "item 1 2 x 0 none 0 2:T\n";
  }
  EXPECT_FALSE(SubscriptionStateFile(folder(), owner).load().has_value());
  EXPECT_TRUE(log.has_prefix(
      "warning", "Subscription state " + state_path + " ignored: line 9: 'x' is no number"))
      << log.dump();

  // Without the kept numbers, messages kept already would be stored twice.
  SubscriptionStateFile(folder(), owner).save(sample());
  std::filesystem::remove(folder() / SubscriptionStateFile::kKeptName);
  EXPECT_FALSE(SubscriptionStateFile(folder(), owner).load().has_value());
  EXPECT_TRUE(log.has_prefix("warning", "Subscription state " +
                                            (folder() / SubscriptionStateFile::kKeptName).string() +
                                            " ignored: it is missing"))
      << log.dump();
}

}  // namespace
