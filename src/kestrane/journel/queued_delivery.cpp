#include "journel/queued_delivery.h"

#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>

namespace journel {

QueuedDelivery::QueuedDelivery(std::vector<spdlog::sink_ptr> sinks)
    : sinks_(std::move(sinks)),
      pool_(std::make_shared<spdlog::details::thread_pool>(kQueueCapacity, 1)),
      logger_(std::make_shared<spdlog::async_logger>("journel", sinks_.begin(), sinks_.end(), pool_,
                                                     spdlog::async_overflow_policy::block)) {
  logger_->set_level(spdlog::level::trace);
}

QueuedDelivery::~QueuedDelivery() {
  // The pool's destructor writes every queued record, then joins the worker. Only then is
  // the logger released, here: queued records hold references to it, and the last one must
  // not be dropped on the worker while this thread drops its own.
  pool_.reset();
  logger_.reset();
  for (const auto& sink : sinks_) {
    try {
      sink->flush();
    } catch (...) {
      // A failing flush at the end must not stop the others; the records were written already.
    }
  }
}

void QueuedDelivery::post(const spdlog::details::log_msg& msg) {
  for (const auto& sink : sinks_) {
    if (sink->should_log(msg.level)) {
      // Posting the record itself (not re-logging its text) keeps the module's logger name.
      pool_->post_log(std::shared_ptr<spdlog::async_logger>(logger_), msg,
                      spdlog::async_overflow_policy::block);
      return;
    }
  }
}

void QueuedDelivery::flush() { logger_->flush(); }

}  // namespace journel
