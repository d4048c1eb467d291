#include "spool_keeper.h"

#include <exception>
#include <string_view>

#include <spdlog/spdlog.h>

#include "utc_text.h"

namespace quellin {

namespace {

// Rows a full spool dropped, or a segment it could not read took with it, count as lost.
std::function<void(std::uint64_t)> on_spool_drop(const std::shared_ptr<CollectorMetrics>& metrics,
                                                 std::string_view reason) {
  if (!metrics) return {};
  return [metrics, reason](std::uint64_t rows) {
    metrics->rows_dropped(static_cast<std::size_t>(rows), reason);
  };
}

}  // namespace

std::string span_text(const std::optional<std::pair<std::int64_t, std::int64_t>>& span) {
  if (!span) return "nothing";
  return utc_text(span->first) + " and " + utc_text(span->second);
}

SpoolKeeper::SpoolKeeper(const std::optional<SpoolSettings>& settings,
                         std::shared_ptr<spdlog::logger> log, ClockFunc clock,
                         std::shared_ptr<CollectorMetrics> metrics)
    : log_(std::move(log)), metrics_(std::move(metrics)) {
  if (!settings || settings->max_bytes == 0) return;
  spool_ = std::make_unique<Spool>(
      Spool::Options{.dir = settings->dir,
                     .max_bytes = settings->max_bytes,
                     .log = log_,
                     .clock = std::move(clock),
                     .on_drop = on_spool_drop(metrics_, drop_reason::kSpoolFull),
                     .on_lost = on_spool_drop(metrics_, drop_reason::kSpoolError),
                     .env = settings->env});
  if (!spool_->empty()) {
    log_->info(
        "Spool holds {} rows read between {} from an earlier run; they are written once "
        "the database answers",
        spool_->rows(), span_text(spool_->span()));
  }
}

void SpoolKeeper::keep(const SpoolBatch& batch, const char* why) {
  if (batch.rows.empty() && batch.events.empty()) return;
  // Events are never dropped without a word: the lines name them beside the rows.
  const std::string what =
      batch.events.empty()
          ? fmt::format("{} rows", batch.rows.size())
          : fmt::format("{} rows and {} events", batch.rows.size(), batch.events.size());
  if (!spool_) {
    log_->error("{} read at {} dropped: {}", what, utc_text(batch.time_us), why);
    if (metrics_) metrics_->rows_dropped(batch.rows.size(), drop_reason::kTsdbUnreachable);
    return;
  }
  try {
    spool_->append(batch);
    if (metrics_) metrics_->rows_spooled(batch.rows.size());
  } catch (const std::exception& e) {
    log_->error("{} read at {} lost: the spool refused them: {}", what, utc_text(batch.time_us),
                e.what());
    if (metrics_) metrics_->rows_dropped(batch.rows.size(), drop_reason::kSpoolError);
  }
  report();
}

void SpoolKeeper::report() const {
  if (metrics_ && spool_) metrics_->spool_size(spool_->bytes(), spool_->rows());
}

void SpoolKeeper::notify(const SpoolNotify& notify, bool replaying) const {
  if (!notify || !spool_) return;
  const std::uint64_t rows = spool_->rows();
  if (rows > 0 || replaying) notify(rows, replaying && rows > 0);
}

}  // namespace quellin
