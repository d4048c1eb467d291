#pragma once
// QueuedDelivery: hands records to sinks on one background worker. The queue is bounded and a
// full queue makes the logging thread wait: no record is ever dropped. Destroying it writes
// every queued record, then stops the worker. Owned by the logging state (or a test); post()
// and flush() may be called from any thread, the destructor from any thread but the worker.

#include <cstddef>
#include <memory>
#include <vector>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/sink.h>

namespace spdlog {
class async_logger;
namespace details {
class thread_pool;
}
}  // namespace spdlog

namespace journel {

class QueuedDelivery {
 public:
  static constexpr std::size_t kQueueCapacity = 8192;

  explicit QueuedDelivery(std::vector<spdlog::sink_ptr> sinks);
  ~QueuedDelivery();

  QueuedDelivery(const QueuedDelivery&) = delete;
  QueuedDelivery& operator=(const QueuedDelivery&) = delete;

  // Queues the record for every sink whose level accepts it; waits while the queue is full.
  void post(const spdlog::details::log_msg& msg);
  // Queues a flush of every sink behind the records already queued.
  void flush();

 private:
  std::vector<spdlog::sink_ptr> sinks_;
  std::shared_ptr<spdlog::details::thread_pool> pool_;
  std::shared_ptr<spdlog::async_logger> logger_;  // the worker delivers to its sinks
};

}  // namespace journel
