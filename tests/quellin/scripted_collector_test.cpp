#include "scripted_collector_test.h"

namespace quellin_test {

quellin::OPCCollector::Options ScriptedCollectorTest::collector_options() {
  return quellin::OPCCollector::Options{.opc_schema = "opc.da://localhost/OstrevoV2.1.0",
                                        .get_tags_func = [this] { return tags; },
                                        .data_deque = &queue,
                                        .deque_lock = &lock,
                                        .tsdb_cfg = tidewell::TsdbSettings{},
                                        .source_factory = scripted_factory(opc),
                                        .tsdb_connect = db->connect_func(db),
                                        .clock = [this] { return time.clock(); },
                                        .sleep = [this](double s) { time.sleep(s); },
                                        .wall_clock = [this] { return wall += 1'000'000; }};
}

void ScriptedCollectorTest::database_down() {
  db->write_throws = true;
  db->ping_answer = false;
  db->connect_results = std::vector<bool>(50, false);
}

void ScriptedCollectorTest::database_up() {
  db->write_throws = false;
  db->ping_answer = true;
  db->connect_results.clear();
}

}  // namespace quellin_test
