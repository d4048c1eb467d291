#pragma once
// ScriptedSubscriptionTest: the fixture that single-step tests of a subscribing collector build
// on. Over ScriptedCollectorTest's parts: an OPC UA source that reports by exception (tags
// 2:Flow, 2:Level, 2:Temp, ids 21-23 in the database), where waiting for notifications that do
// not come takes the time asked for, a wall clock that follows the fake clock, and the
// owner's status notifications recorded. A test scripts what the server sends with arrives()
// and steps the collector; everything here belongs to the test's thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quellin/acquisition_options.h"
#include "quellin/base_pyqar_collector_thread.h"
#include "quellin/opc_collector.h"
#include "scripted_collector_test.h"

namespace quellin_test {

// A source time, UTC microseconds.
inline constexpr std::int64_t kT0 = 1'700'000'000'000'000;

inline pyqar::Timestamp at_us(std::int64_t us) {
  return pyqar::Timestamp(std::chrono::microseconds(us));
}

class ScriptedSubscriptionTest : public ScriptedCollectorTest {
 protected:
  ScriptedSubscriptionTest();

  static quellin::AcquisitionOptions subscribing(double heartbeat_seconds = 0.0);
  // The wall-clock time (UTC microseconds) when the fake clock reads `now`.
  static std::int64_t wall_at(double now);

  // A subscribing collector's options over the parts here, publishing every 2 s, with a TSDB
  // at its default settings; a test adds what it is about (a spool, metrics).
  quellin::OPCCollector::Options subscribing_options(
      quellin::AcquisitionOptions acquisition = subscribing(),
      std::string schema = "opc.tcp://localhost:46011");
  // The same for a collector thread that is not an OPCCollector (tickets of its own).
  quellin::BasePyQARCollectorThread::Options base_options();
  std::unique_ptr<quellin::OPCCollector> make(
      bool with_tsdb = true, quellin::AcquisitionOptions acquisition = subscribing(),
      std::string schema = "opc.tcp://localhost:46011");
  // A collector that has taken its first step: the tags are subscribed.
  std::unique_ptr<quellin::OPCCollector> make_subscribed(
      bool with_tsdb = true, quellin::AcquisitionOptions acquisition = subscribing());

  // The server sends one update, acknowledged with `token`: a Good change (1.0, 2.0, ... in
  // order) of each tag index, at kT0 plus its offset in microseconds.
  void arrives(const std::vector<std::pair<std::size_t, std::int64_t>>& offsets_us,
               std::uint64_t token);

  std::vector<std::string> statuses;
  std::vector<std::pair<bool, std::size_t>> db_statuses;
};

}  // namespace quellin_test
