// quellin-demo: runs one collector against the simulated OPC DA server and prints the queued
// result lists every half second until Ctrl+C.

#include <chrono>
#include <csignal>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "journel/log.h"
#include "pyqar/status_names.h"
#include "quellin/opc_collector.h"
#include "quellin/result_queue.h"

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_signal(int signo) { g_signal = signo; }

std::vector<std::string> demo_tags(const std::string& prefix) {
  std::vector<std::string> tags;
  for (int i = 1; i <= 10; ++i) tags.push_back(prefix + "Demo.Tag" + std::to_string(i));
  for (int i = 1; i <= 4; ++i) tags.push_back(prefix + "Demo.Count" + std::to_string(i));
  for (int i = 1; i <= 10; ++i) tags.push_back(prefix + "Demo.Random" + std::to_string(i));
  tags.push_back(prefix + "Demo.CCCTag10");
  return tags;
}

std::string format_value(const pyqar::Value& value) {
  std::ostringstream out;
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out << "None";
        } else if constexpr (std::is_same_v<T, bool>) {
          out << (v ? "True" : "False");
        } else if constexpr (std::is_same_v<T, std::string>) {
          out << "'" << v << "'";
        } else {
          out << v;
        }
      },
      value);
  return out.str();
}

std::string format_time(pyqar::Timestamp stamp) {
  const std::time_t t = std::chrono::system_clock::to_time_t(stamp);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(stamp.time_since_epoch()) % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  std::ostringstream out;
  out << std::put_time(&tm, "%Y-%m-%d %H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
      << ms.count();
  return out.str();
}

// Each reading as (tag, value, quality, time, status name, source time); None for what the
// source did not give.
void print_results(const quellin::ResultList& results) {
  std::cout << '[';
  for (std::size_t i = 0; i < results.size(); ++i) {
    const quellin::ResultTuple& r = results[i];
    std::cout << (i ? ", " : "") << "('" << r.tag << "', " << format_value(r.value) << ", '"
              << r.quality << "', " << format_time(r.timestamp) << ", "
              << (r.status ? "'" + pyqar::status_name(*r.status) + "'" : std::string("None"))
              << ", " << (r.source_time ? format_time(*r.source_time) : std::string("None")) << ')';
  }
  std::cout << "]\n";
}

}  // namespace

int main() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  journel::get_logger("quellin")->set_level(spdlog::level::info);

  const std::string protocol = "DA";
  const bool ua = protocol == "UA";
  const std::string schema = ua ? "opc.tcp://localhost:46011" : "opc.da://localhost/OstrevoV2.1.0";
  const std::vector<std::string> tags = demo_tags(ua ? "2:" : "");

  quellin::ResultQueue data_deque(300);
  std::mutex deque_lock;
  int status = 0;
  {
    quellin::OPCCollector collector({.opc_schema = schema,
                                     .get_tags_func = [tags] { return tags; },
                                     .data_deque = &data_deque,
                                     .deque_lock = &deque_lock,
                                     .sample_interval = 5.0,
                                     .batch_size = 2});
    std::cout << "使用协议: " << collector.protocol_type()
              << ", Schema: " << collector.server_schema() << std::endl;
    collector.start();
    while (g_signal == 0) {
      // A signal interrupts the sleep, so Ctrl+C is seen at once.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      std::vector<quellin::ResultList> lists;
      {
        std::lock_guard lock(deque_lock);
        lists = data_deque.take_all();
      }
      for (const quellin::ResultList& list : lists) print_results(list);
      std::cout.flush();
      if (!collector.is_alive()) {
        std::cerr << "The collector thread has ended; see the log above." << std::endl;
        status = 1;
        break;
      }
    }
    collector.stop();
    collector.join();
  }
  journel::shutdown_logging();
  return status;
}
