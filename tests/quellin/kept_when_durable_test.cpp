// A cycle counts as kept, and a subscription's update is acknowledged, only once its rows would
// survive a power cut: spooled rows once the spool has synced them (one sync for everything
// waiting, none asked for while polling), rejected rows once their file is synced, and the
// notification numbers they complete recorded for a later process. Against the
// fault-injection file system.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_injection_env.h"
#include "scripted_subscription_test.h"
#include "spool/spool.h"
#include "subscription_state_file.h"
#include "tsdb_writer.h"

namespace {

using kestrane_test::FaultInjectionEnv;
using Op = FaultInjectionEnv::Op;
using quellin_test::kT0;

class KeptWhenDurable : public quellin_test::ScriptedSubscriptionTest {
 protected:
  KeptWhenDurable() { database_down(); }

  quellin::SpoolSettings spool() const { return {spool_dir(), 1 << 20, env}; }
  std::filesystem::path spool_dir() const { return dir.path() / "spool"; }
  std::unique_ptr<quellin::TsdbWriter> writer() {
    return std::make_unique<quellin::TsdbWriter>(quellin::TsdbWriter::Options{
        .tsdb_cfg = {}, .tsdb_connect = db->connect_func(db), .spool = spool(), .clock = [this] {
          return time.clock();
        }});
  }
  // One row of 2:Flow read `second` seconds after kT0.
  static quellin::WriteCycle cycle(int second) {
    const std::int64_t t = kT0 + second * 1'000'000LL;
    return {.time_us = t, .results = {{"2:Flow", 1.0, "Good", {}}}};
  }
  static std::string read_file(const std::filesystem::path& path) {
    std::stringstream all;
    all << std::ifstream(path).rdbuf();
    return all.str();
  }
  std::string rejected_text() const {
    std::stringstream all;
    for (const auto& entry : std::filesystem::directory_iterator(spool_dir())) {
      if (entry.path().filename().string().starts_with("rejected-")) {
        all << std::ifstream(entry.path()).rdbuf();
      }
    }
    return all.str();
  }

  std::shared_ptr<FaultInjectionEnv> env = std::make_shared<FaultInjectionEnv>();
};

TEST_F(KeptWhenDurable, ASpooledCycleIsKeptOnceSyncedAndOneSyncCoversEveryCycleWaiting) {
  auto w = writer();
  w->write_now(cycle(1));  // the spool's first record is synced at once
  const int syncs = env->calls(Op::kSync);
  w->write_now(cycle(2));
  w->write_now(cycle(3));
  // Within the spool's second nothing syncs unless asked: polling pays no sync per cycle.
  EXPECT_EQ(w->kept_through(), 1u);
  EXPECT_EQ(env->calls(Op::kSync), syncs);
  EXPECT_EQ(w->sync_kept(), 3u);
  EXPECT_EQ(env->calls(Op::kSync), syncs + 1);
  EXPECT_EQ(w->sync_kept(), 3u);  // nothing waits: no sync
  EXPECT_EQ(env->calls(Op::kSync), syncs + 1);

  // A failed sync does not make its cycle kept, nor does a later sync of a new file...
  w->write_now(cycle(4));
  env->inject({.op = Op::kSync, .path_part = "spool-"});
  EXPECT_EQ(w->sync_kept(), 3u);
  w->write_now(cycle(5));
  EXPECT_EQ(w->sync_kept(), 3u);
  EXPECT_TRUE(log.has_prefix("error", "Spool file ")) << log.dump();
  // ...until the database holds its rows.
  database_up();
  w->write_now(cycle(6));
  EXPECT_EQ(w->spooled_rows(), 0u);
  EXPECT_EQ(w->kept_through(), 6u);
}

TEST_F(KeptWhenDurable, WhatIsAcknowledgedSurvivesAPowerCutAndWhatMightNotIsNotAcknowledged) {
  quellin::OPCCollector::Options options = subscribing_options();
  options.spool = spool();
  auto c = std::make_unique<quellin::OPCCollector>(std::move(options));
  c->collection_step();  // subscribes
  arrives({{0, 0}}, 5);
  c->collection_step();
  EXPECT_EQ(opc->acknowledged, std::vector<std::uint64_t>{5});
  // Within the spool's second: synced to be acknowledged.
  const int syncs = env->calls(Op::kSync);
  arrives({{1, 0}}, 6);
  c->collection_step();
  EXPECT_EQ(opc->acknowledged, (std::vector<std::uint64_t>{5, 6}));
  EXPECT_EQ(env->calls(Op::kSync), syncs + 1);
  env->inject({.op = Op::kSync, .path_part = "spool-"});
  arrives({{2, 0}}, 7);
  c->collection_step();
  c->collection_step();
  EXPECT_EQ(opc->acknowledged, (std::vector<std::uint64_t>{5, 6}));

  env->cut_power();
  c.reset();
  env->restore_power();
  quellin::Spool after({.dir = spool_dir(), .max_bytes = 1 << 20});
  EXPECT_EQ(after.rows(), 2u);
}

// Where a later process may take the subscriptions over, each update's number is in
// subscriptions.kept by the time it is acknowledged, and not while its rows might be lost.
TEST_F(KeptWhenDurable, NumbersAreRecordedOnceTheRowsAreDurableAndBeforeTheyAreAcknowledged) {
  opc->reclaimable = true;
  std::vector<std::string> kept_at_ack;
  opc->on_acknowledge = [&](std::uint64_t) {
    kept_at_ack.push_back(read_file(spool_dir() / quellin::SubscriptionStateFile::kKeptName));
  };
  quellin::OPCCollector::Options options = subscribing_options();
  options.spool = spool();
  auto c = std::make_unique<quellin::OPCCollector>(std::move(options));
  c->collection_step();  // subscribes: the (scripted) subscriptions are saved
  EXPECT_TRUE(std::filesystem::exists(spool_dir() / quellin::SubscriptionStateFile::kStateName));
  arrives({{0, 0}}, 5);
  c->collection_step();
  arrives({{1, 0}}, 6);
  c->collection_step();
  EXPECT_EQ(opc->acknowledged, (std::vector<std::uint64_t>{5, 6}));
  EXPECT_EQ(kept_at_ack, (std::vector<std::string>{"kestrane kept 1\nkept 1 5\n",
                                                   "kestrane kept 1\nkept 1 6\n"}));

  // Rows the spool could not sync are not durable: their number is not recorded.
  env->inject({.op = Op::kSync, .path_part = "spool-"});
  arrives({{2, 0}}, 7);
  c->collection_step();
  c->collection_step();
  EXPECT_EQ(opc->acknowledged.size(), 2u);
  EXPECT_EQ(read_file(spool_dir() / quellin::SubscriptionStateFile::kKeptName),
            "kestrane kept 1\nkept 1 6\n");
}

TEST_F(KeptWhenDurable, RejectedRowsGoThroughTheSpoolsFileSystemAndAreSyncedBeforeTheyAreKept) {
  database_up();
  db->write_rejected = true;
  auto w = writer();
  w->write_now(cycle(1));
  EXPECT_EQ(w->kept_through(), 1u);
  env->inject({.op = Op::kSync, .path_part = "rejected-"});
  w->write_now(cycle(2));
  EXPECT_TRUE(log.has_prefix("error", "1 rows read at " + quellin::utc_text(cycle(2).time_us) +
                                          " lost: cannot append to " + spool_dir().string() +
                                          "/rejected-"))
      << log.dump();
  w->write_now(cycle(3));  // the file opened again
  EXPECT_EQ(log.count("ERROR 1 rows read at " + quellin::utc_text(cycle(3).time_us) +
                      " kept in the spool folder's rejected file"),
            1)
      << log.dump();
  // What was reported kept is on disk after a power cut.
  env->cut_power();
  const std::string text = rejected_text();
  env->restore_power();
  for (const int kept : {1, 3}) {
    EXPECT_NE(text.find(quellin::utc_text(cycle(kept).time_us) + ",2:Flow,1,Good"),
              std::string::npos)
        << text;
  }
}

}  // namespace
