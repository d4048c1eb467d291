// ConditionLedger: which refreshed condition states are worth storing, what it asks the
// database, and what it remembers.

#include "condition_ledger.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using quellin::ConditionLedger;
using tidewell::ConditionEvent;
using tidewell::EventRow;

EventRow state(const std::string& condition, const std::string& id, bool refresh) {
  EventRow e;
  e.event_id = id;
  e.condition_id = condition;
  e.refresh = refresh;
  return e;
}

// A refreshed event that belongs to no condition.
EventRow plain_refresh(const std::string& id) {
  EventRow e;
  e.event_id = id;
  e.refresh = true;
  return e;
}

std::vector<std::string> ids(const std::vector<EventRow>& events) {
  std::vector<std::string> out;
  for (const EventRow& e : events) out.push_back(e.event_id);
  return out;
}

class LedgerTest : public ::testing::Test {
 protected:
  std::vector<EventRow> filter(std::int64_t source, std::vector<EventRow> events) {
    return ledger_.filter(source, std::move(events),
                          [this](std::int64_t s, std::span<const std::string> conditions) {
                            asked_.emplace_back(conditions.begin(), conditions.end());
                            std::vector<ConditionEvent> found;
                            for (const ConditionEvent& c : stored_) {
                              for (const std::string& id : conditions) {
                                if (s == 7 && c.condition_id == id) found.push_back(c);
                              }
                            }
                            return found;
                          });
  }

  ConditionLedger ledger_;
  std::vector<ConditionEvent> stored_;  // of source 7
  std::vector<std::vector<std::string>> asked_;
};

TEST_F(LedgerTest, AsksOnceForTheRefreshedConditionsItDoesNotKnowAndRemembersTheAnswer) {
  stored_ = {{.condition_id = "A", .event_id = "a1", .time_us = 1}};
  // New events are stored whatever the ledger knows, and never make it ask.
  EXPECT_EQ(ids(filter(7, {state("A", "a1", false), state("C", "c1", false)})),
            (std::vector<std::string>{"a1", "c1"}));
  EXPECT_TRUE(asked_.empty());
  // One question for every unknown refreshed condition of the batch, each named once.
  EXPECT_EQ(ids(filter(7, {state("A", "a1", true), state("B", "b1", true), state("A", "a1", true),
                           plain_refresh("plain")})),
            (std::vector<std::string>{"b1", "plain"}));
  EXPECT_EQ(asked_, (std::vector<std::vector<std::string>>{{"A", "B"}}));
  // Known now, B as having nothing stored: nothing is asked again.
  EXPECT_EQ(ids(filter(7, {state("A", "a1", true), state("B", "b1", true)})),
            (std::vector<std::string>{"b1"}));
  EXPECT_EQ(asked_.size(), 1u);
}

TEST_F(LedgerTest, OnlyWhatWasRecordedAsStoredCountsAsTheLatest) {
  EXPECT_EQ(ids(filter(7, {state("A", "a1", true)})), (std::vector<std::string>{"a1"}));
  // Not recorded (the write failed): the same refresh is still worth storing.
  EXPECT_EQ(ids(filter(7, {state("A", "a1", true)})), (std::vector<std::string>{"a1"}));
  ledger_.record(7, std::vector<EventRow>{state("A", "a1", true)});
  EXPECT_TRUE(filter(7, {state("A", "a1", true)}).empty());
  // A new event of the condition replaces it, refresh or not; the older state then differs.
  ledger_.record(7, std::vector<EventRow>{state("A", "a2", false)});
  EXPECT_EQ(ids(filter(7, {state("A", "a1", true)})), (std::vector<std::string>{"a1"}));
  EXPECT_TRUE(filter(7, {state("A", "a2", true)}).empty());
  // Another source's conditions are its own: the ledger starts again for it.
  EXPECT_EQ(ids(filter(8, {state("A", "a2", true)})), (std::vector<std::string>{"a2"}));
  ledger_.clear();
  EXPECT_EQ(ids(filter(7, {state("A", "a2", true)})), (std::vector<std::string>{"a2"}));
}

}  // namespace
