// Test helper: exercises the process-wide logging setup once per process.
// Usage: journel_setup_probe <ini> <section> [<second ini> <second section>]
// Prints "ready", "same logger" or "error: <type>: <text>" on stdout and logs marker records.

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "journel/log.h"

namespace {

std::string type_name(const std::exception& e) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? name.get() : typeid(e).name();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) return 2;
  const auto early = journel::get_logger("early");
  early->info("before setup");
  std::shared_ptr<spdlog::logger> first;
  try {
    first = journel::setup_loguru_from_ini(argv[1], argv[2]);
  } catch (const std::exception& e) {
    std::printf("error: %s: %s\n", type_name(e).c_str(), e.what());
    std::fflush(stdout);
    journel::get_logger("probe")->error("after failure");
    journel::shutdown_logging();
    return 3;
  }
  std::printf("ready\n");
  if (argc == 5) {
    const auto second = journel::setup_loguru_from_ini(argv[3], argv[4]);
    if (second == first) std::printf("same logger\n");
  }
  std::fflush(stdout);
  early->info("early logger after setup");
  const auto probe = journel::get_logger("probe");
  probe->debug("record debug");
  probe->info("record info");
  probe->warn("record warning");
  probe->error("record error");
  journel::log_exception(*probe, "operation failed", std::runtime_error("boom"));
  journel::shutdown_logging();
  probe->info("after shutdown");
  return 0;
}
