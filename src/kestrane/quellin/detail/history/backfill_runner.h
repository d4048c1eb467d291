#pragma once
// BackfillRunner: fills a collector's gaps from the server's history. It takes the spans the
// GapTracker finds (and those a previous run left in the PendingSpansFile), keeps them on disk
// until their values are kept, checks once per tag that its variable keeps history, and reads
// them with HistoryRead beside live collection: newest data first, several nodes per call,
// within the server's limits and the configured rate, following every continuation point and
// releasing those it leaves. Each stretch of values goes to the writer as a batch with an
// identity of its own (HistoryPager), so that nothing is stored twice however often a span is
// read again. Collector thread only, but for progress(), which any thread may call.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "gap_tracker.h"
#include "history_pager.h"
#include "pending_spans_file.h"
#include "pyqar/rt_source.h"
#include "quellin/backfill_options.h"
#include "quellin/backfill_progress.h"
#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"

namespace spdlog {
class logger;
}

namespace quellin {

class BackfillRunner {
 public:
  // Hands a batch of one tag's history values (oldest first, each with its row time) to the
  // writer under the identity (kHistoryWriterId, seq); returns the writer's ticket (0: kept).
  using Store =
      std::function<std::uint64_t(const std::string& tag, std::vector<pyqar::ValueObject>& values,
                                  std::vector<std::int64_t> time_us, std::uint64_t seq)>;
  // Whether the writer takes a batch of history now without making live values wait (or go
  // to the spool): history waits while it does not.
  using Room = std::function<bool()>;
  // Waits this many seconds (ending early when the collector stops).
  using Pause = std::function<void(double)>;

  struct Options {
    BackfillOptions settings;
    bool polling = true;
    std::filesystem::path state_dir;  // where backfill.pending is kept
    std::string endpoint;             // the server the spans belong to
    std::function<pyqar::TagDescriptor(const std::string&)> describe;
    std::shared_ptr<CollectorMetrics> metrics{};  // may be null
    ClockFunc clock;                              // monotonic seconds
    std::function<std::int64_t()> wall_clock_us;  // UTC microseconds
  };

  // Values asked for per call at most (nodes x values per node), so that an answer stays a
  // few megabytes and a call a fraction of a second.
  static constexpr std::uint64_t kMaxValuesPerCall = 20'000;
  // While the writer has no room, history looks again after this pause.
  static constexpr double kRoomPollSeconds = 0.005;
  // Kept progress goes to disk at most this often (and at every new span and at the end).
  static constexpr double kSaveSeconds = 2.0;
  // After the server refused a whole call for a reason that fewer nodes do not mend.
  static constexpr double kRefusedPauseSeconds = 5.0;
  // A backfill that keeps growing logs it at most this often.
  static constexpr double kGrowLogSeconds = 60.0;
  // At least one history call this often, however little time the turns leave.
  static constexpr double kStarvedSeconds = 1.0;

  // Loads what the previous run left.
  explicit BackfillRunner(Options options);
  ~BackfillRunner();
  BackfillRunner(const BackfillRunner&) = delete;
  BackfillRunner& operator=(const BackfillRunner&) = delete;

  GapTracker& tracker() { return tracker_; }
  // Takes what the tracker found during a turn, before its values go to the writer: the new
  // spans are on disk when it returns (a failure to write them is logged).
  void take_found();
  // Start edges the database must tell (see GapTracker).
  std::vector<GapTracker::EdgeRequest> take_edge_requests() {
    return tracker_.take_edge_requests();
  }
  void edges_known(const std::vector<GapTracker::EdgeRequest>& asked,
                   const std::vector<GapTracker::StoredEdge>& edges);

  // Whether a span waits to be read now, or batches read already wait for room at the writer.
  bool has_work(double now) const;
  // Reads history until `deadline` (monotonic seconds) or nothing is left, handing batches to
  // the writer as it has room for them. Throws std::runtime_error when the connection fails.
  void run(pyqar::RtSource& source, double deadline, const Store& store, const Room& room,
           const Pause& pause);
  // Every ticket up to this one is kept: the spans' progress moves on.
  void kept(std::uint64_t kept_through);
  // The session is gone or new: its continuation points with it.
  void connection_lost();
  // Gives the continuation points back (when the source still serves) and saves the kept
  // progress; never throws.
  void stop(pyqar::RtSource* source) noexcept;

  BackfillProgress progress() const;

 private:
  struct Entry {
    HistorySpan durable;  // as on disk: done_above_us moves once a batch is kept
    std::unique_ptr<HistoryPager> pager;
    bool reading_done = false;  // read to its end (or given up); waits for its batches
  };
  // A batch read and not yet handed to the writer, in the order read.
  struct Ready {
    std::uint64_t id;
    HistoryPager::Batch batch;
  };
  struct Pending {
    std::uint64_t ticket;
    std::uint64_t id;
    std::int64_t done_above_us;
  };

  void add_span(HistorySpan span);
  void note_inside(const std::vector<GapTracker::StoredInside>& inside);
  void save(bool force);
  void check_access(pyqar::RtSource& source);
  void park_tag(const std::string& tag, std::uint32_t status);
  void give_up(std::uint64_t id, std::string_view reason);
  void note_unfilled(std::string_view reason, std::size_t spans);
  void note_pending_tags();
  void maybe_finished();
  std::vector<std::uint64_t> pick(std::size_t nodes) const;
  // Takes one node's answer; false when the server has no continuation point left for it.
  bool handle_page(std::uint64_t id, pyqar::HistoryPage page);
  // Hands ready batches to the writer while it has room.
  void flush(const Store& store, const Room& room);
  std::uint32_t values_per_node() const;
  std::size_t nodes_per_call(std::uint32_t values_per_node) const;
  void refill_tokens(double now);
  spdlog::logger& log() const { return *log_; }

  Options options_;
  std::shared_ptr<spdlog::logger> log_;
  PendingSpansFile file_;
  GapTracker tracker_;

  std::map<std::uint64_t, Entry> entries_;
  std::uint64_t next_id_ = 1;
  std::deque<Ready> ready_;
  std::vector<pyqar::HistoryQuery> abandoned_;  // looping points to give back after the call
  std::deque<Pending> pending_;
  std::uint64_t last_ticket_ = 0;
  bool dirty_ = false;
  double last_save_ = -1e300;

  // What the server told, this run.
  std::unordered_map<std::string, bool> keeps_history_;
  std::set<std::string> parked_;  // refused: not asked again until the next start
  std::optional<pyqar::HistoryLimits> limits_;
  std::size_t node_cap_ = 0;  // fewer nodes after BadNoContinuationPoints; 0: no cap yet
  double paused_until_ = 0.0;
  double last_call_at_ = -1e300;
  bool unsupported_reported_ = false;
  double tokens_ = 0.0;
  double tokens_at_ = -1.0;

  // Since the backfill began (the first span, or the first after the last one ended).
  bool running_ = false;
  double started_at_ = 0.0;
  std::set<std::string> tags_seen_;
  std::uint64_t values_ = 0;
  std::map<std::string, std::size_t, std::less<>> unfilled_;
  std::size_t grown_spans_ = 0;
  double grown_logged_at_ = -1e300;

  mutable std::mutex progress_mutex_;
  BackfillProgress progress_;  // guarded by progress_mutex_
  void publish_progress();
};

}  // namespace quellin
