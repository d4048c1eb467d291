#include "journel/log_router.h"

#include <exception>
#include <utility>

namespace journel {

void LogRouter::set_routes(Routes routes) {
  auto next = std::make_shared<const Routes>(std::move(routes));
  std::shared_ptr<const Routes> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(routes_, std::move(next));
  }
  // `previous` may hold the last reference to a queued delivery, whose destructor waits for the
  // worker; that happens here, outside the lock.
}

std::shared_ptr<const LogRouter::Routes> LogRouter::routes() const {
  std::lock_guard lock(mutex_);
  return routes_;
}

void LogRouter::log(const spdlog::details::log_msg& msg) {
  const auto current = routes();
  // A failing console must not keep the record from the file: report the first failure after
  // every route had its turn.
  std::exception_ptr failure;
  for (const auto& sink : current->direct) {
    try {
      if (sink->should_log(msg.level)) sink->log(msg);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (current->queued) current->queued->post(msg);
  if (failure) std::rethrow_exception(failure);
}

void LogRouter::flush() {
  const auto current = routes();
  for (const auto& sink : current->direct) sink->flush();
  if (current->queued) current->queued->flush();
}

void LogRouter::set_pattern(const std::string&) {}

void LogRouter::set_formatter(std::unique_ptr<spdlog::formatter>) {}

}  // namespace journel
