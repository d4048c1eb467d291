#include "scripted_subscription_test.h"

#include <optional>

namespace quellin_test {

ScriptedSubscriptionTest::ScriptedSubscriptionTest() {
  tags = {"2:Flow", "2:Level", "2:Temp"};
  db->tags = {{"2:Flow", 21}, {"2:Level", 22}, {"2:Temp", 23}};
  opc->subscribable = true;
  opc->on_wait = [this](double seconds) { time.now += seconds; };
}

quellin::AcquisitionOptions ScriptedSubscriptionTest::subscribing(double heartbeat_seconds) {
  quellin::AcquisitionOptions a;
  a.mode = pyqar::Acquisition::subscribe;
  a.heartbeat_seconds = heartbeat_seconds;
  return a;
}

std::int64_t ScriptedSubscriptionTest::wall_at(double now) {
  return kT0 + 3'600'000'000 + static_cast<std::int64_t>((now - 100.0) * 1e6);
}

quellin::OPCCollector::Options ScriptedSubscriptionTest::subscribing_options(
    quellin::AcquisitionOptions acquisition, std::string schema) {
  quellin::OPCCollector::Options options = collector_options();
  options.opc_schema = std::move(schema);
  options.sample_interval = 2.0;
  options.status_notify = [this](const std::string& text) { statuses.push_back(text); };
  options.db_status_notify = [this](bool ok, std::size_t n) { db_statuses.emplace_back(ok, n); };
  options.acquisition = std::move(acquisition);
  options.wall_clock = [this] { return wall_at(time.now); };
  return options;
}

quellin::BasePyQARCollectorThread::Options ScriptedSubscriptionTest::base_options() {
  return {.server_schema = "opc.tcp://localhost:46011",
          .get_tags_func = [this] { return tags; },
          .acquisition = subscribing(),
          .source_factory = scripted_factory(opc),
          .clock = [this] { return time.clock(); },
          .sleep = [this](double s) { time.sleep(s); }};
}

std::unique_ptr<quellin::OPCCollector> ScriptedSubscriptionTest::make(
    bool with_tsdb, quellin::AcquisitionOptions acquisition, std::string schema) {
  quellin::OPCCollector::Options options =
      subscribing_options(std::move(acquisition), std::move(schema));
  if (!with_tsdb) options.tsdb_cfg.reset();
  return std::make_unique<quellin::OPCCollector>(std::move(options));
}

std::unique_ptr<quellin::OPCCollector> ScriptedSubscriptionTest::make_subscribed(
    bool with_tsdb, quellin::AcquisitionOptions acquisition) {
  auto collector = make(with_tsdb, std::move(acquisition));
  collector->collection_step();
  return collector;
}

void ScriptedSubscriptionTest::arrives(
    const std::vector<std::pair<std::size_t, std::int64_t>>& offsets_us, std::uint64_t token) {
  std::vector<std::pair<std::size_t, pyqar::Timestamp>> values;
  for (const auto& [index, offset] : offsets_us) values.emplace_back(index, at_us(kT0 + offset));
  opc->updates.push_back(ScriptedOpc::changes(values, token));
}

}  // namespace quellin_test
