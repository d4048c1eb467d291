#pragma once
// SpoolKeeper: the writer's way to keep a batch the TSDB cannot take now. With a spool the
// batch goes to disk (or is counted as lost when the spool refuses it); without one it is
// dropped with an ERROR. It also reports the spool's size to the metrics and to the owner.
// Owned by the TsdbWriter; any thread (the spool is thread-safe, the rest is read-only).

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"
#include "quellin/write_settings.h"
#include "spool/spool.h"

namespace spdlog {
class logger;
}

namespace quellin {

class SpoolKeeper {
 public:
  // Opens the spool when the settings ask for one (throws std::runtime_error naming its folder
  // when it cannot) and says when it holds rows of an earlier run.
  SpoolKeeper(const std::optional<SpoolSettings>& settings, std::shared_ptr<spdlog::logger> log,
              ClockFunc clock, std::shared_ptr<CollectorMetrics> metrics);

  // Null without a spool.
  Spool* spool() const { return spool_.get(); }
  // Spools the batch, or drops it saying `why` when there is no spool.
  void keep(const SpoolBatch& batch, const char* why);
  std::uint64_t rows() const { return spool_ ? spool_->rows() : 0; }
  void sync_if_due() {
    if (spool_) spool_->sync_if_due();
  }
  // Syncs what the spool has not synced yet, now.
  void sync() {
    if (spool_) spool_->sync();
  }
  // Batches spooled in this run, and how many of the first of them are durable (see
  // Spool::durable_through()); without a spool nothing is spooled and nothing waits.
  std::uint64_t appended() const { return spool_ ? spool_->appended() : 0; }
  std::uint64_t durable_through() {
    return spool_ ? spool_->durable_through() : std::numeric_limits<std::uint64_t>::max();
  }
  // Tells the metrics how much the spool holds.
  void report() const;
  // Tells the owner how many rows wait, while any do or a replay is under way.
  void notify(const SpoolNotify& notify, bool replaying) const;

 private:
  std::shared_ptr<spdlog::logger> log_;
  std::shared_ptr<CollectorMetrics> metrics_;  // may be null
  std::unique_ptr<Spool> spool_;
};

// "<first> and <last>" read times of a spool's span, or "nothing".
std::string span_text(const std::optional<std::pair<std::int64_t, std::int64_t>>& span);

}  // namespace quellin
