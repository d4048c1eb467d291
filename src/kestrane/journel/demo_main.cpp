// journel-demo: sets up logging from config.ini in the working directory and writes 50 records.

#include <cstdio>
#include <exception>

#include <fmt/format.h>

#include "journel/log.h"

int main() {
  try {
    journel::setup_loguru_from_ini("config.ini");
  } catch (const std::exception& error) {
    fmt::print(stderr, "journel-demo: {}\n", error.what());
    return 1;
  }
  const auto logger = journel::get_logger("journel");
  for (int i = 0; i < 50; ++i) logger->info("测试日志 {}", i);
  journel::shutdown_logging();
  return 0;
}
