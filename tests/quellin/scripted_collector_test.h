#pragma once
// ScriptedCollectorTest: the fixture that single-step collector tests build on: a scripted OPC
// source and TSDB, the result queue and its lock, fake time, a wall clock that moves one
// second per reading, a scratch folder and a capture of the engine's log. The collector a
// test makes and everything here belong to the test's thread.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log_capture.h"
#include "quellin/opc_collector.h"
#include "quellin/result_queue.h"
#include "scripted_opc.h"
#include "scripted_tsdb.h"
#include "temp_dir.h"

namespace quellin_test {

class ScriptedCollectorTest : public ::testing::Test {
 protected:
  // A DA collector's options over the parts below, with the TSDB at its default settings; a
  // test adds what it is about (a spool, metrics, notifications).
  quellin::OPCCollector::Options collector_options();

  // The database goes away: writes fail, pings fail, reconnects fail.
  void database_down();
  // It is back: everything succeeds again.
  void database_up();

  kestrane_test::TempDir dir;
  std::shared_ptr<ScriptedOpc> opc = std::make_shared<ScriptedOpc>();
  std::shared_ptr<ScriptedTsdb> db = std::make_shared<ScriptedTsdb>();
  std::vector<std::string> tags{"Demo.Tag1", "Demo.Tag2"};
  quellin::ResultQueue queue{300};
  std::mutex lock;
  FakeTime time;
  std::int64_t wall = 1'700'000'000'000'000;  // microseconds, before the first reading
  kestrane_test::LogCapture log{"quellin"};
};

}  // namespace quellin_test
