#pragma once
// CycleRows: turns one cycle as read into the batch of rows the TSDB stores, and numbers the
// batches of one writer. tsdata takes doubles: integers and Booleans convert; a Good reading
// that is NaN or has no value at all is skipped with a warning, any other reading without a
// value is stored as NaN; texts go to tsdata_text; events go along as the `events` table
// stores them. Owned by the TsdbWriter; any thread may call it (the batch counter is atomic,
// the logger and the metrics are thread-safe).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pyqar/event_types.h"
#include "pyqar/reclaimable_subscriptions.h"
#include "quellin/collector_metrics.h"
#include "quellin/result_tuple.h"
#include "spool/spool_record.h"

namespace spdlog {
class logger;
}

namespace quellin {

// One cycle as read: its results and the time the cycle was read (UTC microseconds). Rows are
// stored at that time, unless the cycle carries a time per row (values that arrived each at
// its own time): then row_time_us holds one time per result.
struct WriteCycle {
  std::int64_t time_us = 0;
  ResultList results;
  std::vector<std::int64_t> row_time_us{};  // empty, or one per result
  // Subscribing where a later process may take the subscriptions over: per subscription, the
  // last notification message whose rows this cycle completes (see KeptTickets); else empty.
  std::vector<pyqar::KeptSequence> covers{};
  // Set: the batch's identity instead of the writer's next number, for rows that come out the
  // same whenever they are made again (a page of history), so that the database stores them
  // once however often they are read, written or replayed.
  std::string batch_writer_id{};  // empty: the writer's own id and next number
  std::uint64_t batch_seq = 0;
  // Events that arrived with the cycle's values: stored in the same transaction.
  std::vector<pyqar::EventRecord> events{};
};

// A value as tsdata stores it: integers and Booleans convert, a reading without a value (or a
// text, which goes to tsdata_text instead) is NaN.
double to_tsdb_value(const pyqar::Value& value);

// An event as the `events` table stores it, its times in UTC microseconds; source_id 0 until
// the store knows the source's row.
tidewell::EventRow to_event_row(const pyqar::EventRecord& event);

// Throws std::invalid_argument when the cycle's row_time_us is neither empty nor one per
// result.
void check_row_times(const WriteCycle& cycle);

class CycleRows {
 public:
  CycleRows(std::shared_ptr<spdlog::logger> log, std::shared_ptr<CollectorMetrics> metrics);

  // The id no other run shares, carried by every batch of this writer.
  const std::string& writer_id() const { return writer_id_; }
  // The cycle's rows and events under the next batch number, or under the cycle's own
  // identity when it carries one; throws like check_row_times().
  SpoolBatch to_batch(const WriteCycle& cycle);

 private:
  std::shared_ptr<spdlog::logger> log_;
  std::shared_ptr<CollectorMetrics> metrics_;  // may be null
  const std::string writer_id_;
  // The collector thread numbers batches too, when it spools past a busy writer.
  std::atomic<std::uint64_t> next_seq_{1};
};

}  // namespace quellin
