#pragma once
// CollectorMetrics: what a collector and its write stage report as they work, for an owner
// that publishes it (counters, a health verdict). The owner keeps it alive longer than the
// collector. Its members are called on the collector and the writer threads (or the caller's
// in single-step use): an implementation must be thread-safe, quick, and never wait on I/O.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pyqar/subscription_types.h"

namespace quellin {

// Why a span of history was left unfilled, for kestrane_backfill_unfilled_total{reason=...}.
namespace backfill_reason {
inline constexpr std::string_view kTooOld = "too_old";               // beyond the maximum age
inline constexpr std::string_view kNoHistory = "no_history";         // the variable keeps none
inline constexpr std::string_view kRefused = "refused";              // the server refused the node
inline constexpr std::string_view kNoSourceTime = "no_source_time";  // rows carry no source time
inline constexpr std::string_view kLoop = "loop";                    // a looping continuation point
inline constexpr std::string_view kUnsupported = "unsupported";      // the source has no history
}  // namespace backfill_reason

// A cycle's values by quality.
struct QualityCounts {
  std::size_t good = 0;
  std::size_t uncertain = 0;
  std::size_t bad = 0;
  std::size_t invalid = 0;
};

// Why rows never reached the TSDB, for kestrane_rows_dropped_total{reason=...}.
namespace drop_reason {
inline constexpr std::string_view kTsdbUnreachable = "tsdb_unreachable";
inline constexpr std::string_view kSpoolFull = "spool_full";
inline constexpr std::string_view kSpoolError = "spool_error";
inline constexpr std::string_view kRejected = "rejected";
inline constexpr std::string_view kUnknownTag = "unknown_tag";
inline constexpr std::string_view kNotANumber = "nan";
}  // namespace drop_reason

// Rows one write stored, by table: numbers and Booleans in tsdata, texts in tsdata_text.
struct RowsWritten {
  std::size_t tsdata = 0;
  std::size_t tsdata_text = 0;
  std::size_t total() const { return tsdata + tsdata_text; }
};

// What a subscribing collector counted over one pass of its loop.
struct SubscriptionActivity {
  std::uint64_t notifications = 0;       // notification messages with data
  std::uint64_t publish_gaps = 0;        // missing sequence numbers found
  std::uint64_t lost_not_available = 0;  // values the server no longer had
  // Values flagged as following an overflow of the server's queue: each stands for at least
  // one value the server discarded.
  std::uint64_t lost_overflow = 0;
  std::uint64_t recreations = 0;  // subscriptions created again
  // Creations refused because the server holds no more monitored items.
  std::uint64_t server_full = 0;
  // Values whose source time is earlier than their tag's previous one (stored all the same).
  std::uint64_t source_time_steps_back = 0;
  // ConditionRefresh calls the server accepted, and refused.
  std::uint64_t condition_refreshes_ok = 0;
  std::uint64_t condition_refreshes_failed = 0;
};

class CollectorMetrics {
 public:
  virtual ~CollectorMetrics() = default;

  // Collector thread.
  // A cycle was read: `tags` asked for, its values by quality, the time the read took, and the
  // wall-clock time of the read (UTC microseconds).
  virtual void cycle_read(std::size_t tags, const QualityCounts& values, double read_seconds,
                          std::int64_t read_time_us) = 0;
  // A pass of the collection loop ended (read or not), `seconds` after it began.
  virtual void cycle_done(double seconds) = 0;
  // The collector pauses this long before the next attempt (after OPC errors): a quiet
  // collector is not a hung one meanwhile.
  virtual void pausing(double seconds) = 0;
  virtual void opc_connected(bool connected) = 0;
  virtual void opc_reconnect() = 0;
  // Subscriptions only: what a pass counted, and the subscriptions as they stand after it.
  // A collector that polls never calls these, hence the empty defaults.
  virtual void subscription_activity(const SubscriptionActivity& activity) { (void)activity; }
  virtual void subscription_state(const pyqar::SubscriptionStatus& status) { (void)status; }

  // History backfill (collector thread); a collector without backfill never calls these.
  // Values stored from the server's history.
  virtual void backfill_values(std::uint64_t values) { (void)values; }
  // Tags with spans still waiting to be read.
  virtual void backfill_pending_tags(std::size_t tags) { (void)tags; }
  // Spans (or their older parts) left unfilled, by reason (backfill_reason).
  virtual void backfill_unfilled(std::size_t spans, std::string_view reason) {
    (void)spans;
    (void)reason;
  }
  // One HistoryRead call ended: "Good", or the name of the status that refused it, or "error"
  // when the connection failed.
  virtual void history_read(std::string_view result) { (void)result; }
  // Event monitored items by state ("ok", "failed") as of the latest poll.
  virtual void event_items(std::size_t ok, std::size_t failed) {
    (void)ok;
    (void)failed;
  }
  // ConditionRefresh calls ended, by result ("ok", "failed").
  virtual void condition_refreshes(std::uint64_t calls, std::string_view result) {
    (void)calls;
    (void)result;
  }

  // Metadata thread: tags whose metadata is stored, of all the tags it reads.
  virtual void tags_with_metadata(std::size_t with, std::size_t tags) {
    (void)with;
    (void)tags;
  }

  // Writer thread.
  // Rows the TSDB took by table, the write's duration, and the wall-clock time it ended.
  virtual void rows_written(const RowsWritten& rows, double write_seconds,
                            std::int64_t time_us) = 0;
  // Events the TSDB took (the `events` table).
  virtual void events_written(std::size_t events) { (void)events; }
  virtual void rows_spooled(std::size_t rows) = 0;
  virtual void rows_dropped(std::size_t rows, std::string_view reason) = 0;
  virtual void spool_size(std::uint64_t bytes, std::uint64_t rows) = 0;
  // Rows handed to the writer that it has not taken up yet (collector and writer threads).
  virtual void handoff_rows(std::uint64_t rows) = 0;
  virtual void tsdb_connected(bool connected) = 0;
  virtual void tsdb_reconnect() = 0;
};

}  // namespace quellin
