#pragma once
// Spool: a durable on-disk queue of the batches the TSDB did not take, replayed oldest first
// once it answers again. Owned by the collector's owner; every public member is safe from any
// thread (mutex_ guards all state): append() from the collector and writer threads,
// front()/pop_front() from the writer thread.
//
// On disk: segment files `spool-<16-digit number>.dat` read in number order, each a run of
// records (spool_record.h), and `spool.pos`, the read position saved after each pop_front.
// Opening scans every segment: a torn last record (a crash during a write) is cut off, a
// corrupt record elsewhere is skipped with an ERROR, and batches before the saved position are
// not returned again. After a crash a batch may come back once more (the position is not
// synced): the TSDB skips a batch whose writer id and seq it already committed. A record is
// durable once its file and, for a new segment, the folder were synced (within a second, or at
// once by sync()); durable_through() tells how many of this run's records are.
//
// The spool's own faults never stop the writer: a segment that cannot be opened or read is
// given up (an ERROR naming the file, the rows and their time span, and on_lost), and a failed
// sync, position save or delete is logged. A lock file `LOCK`, held for the Spool's life, keeps
// a second process (or a second Spool) out of the folder. Every file-system call goes through
// a SpoolEnv, which tests replace to inject faults.

#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/logger.h>

#include "spool/spool_env.h"
#include "spool/spool_file.h"
#include "spool/spool_record.h"

namespace quellin {

class Spool {
 public:
  struct Options {
    std::filesystem::path dir{};            // created when missing (with parents)
    std::uint64_t max_bytes = 0;            // > 0; the spool never holds more on disk (about)
    std::shared_ptr<spdlog::logger> log{};  // null: journel::get_logger("quellin")
    // Monotonic seconds, for the once-per-second sync; null: steady_clock.
    std::function<double()> clock{};
    // Told how many rows each drop of a full spool lost; called with the spool's lock held, so
    // it must be quick and must not call back into the spool.
    std::function<void(std::uint64_t rows)> on_drop{};
    // Told how many rows a segment that could not be read took with it; the same rules.
    std::function<void(std::uint64_t rows)> on_lost{};
    // The file system; null: PosixSpoolEnv.
    std::shared_ptr<SpoolEnv> env{};
  };

  // Opens and locks the folder and scans what an earlier run left, validating every record.
  // Throws std::invalid_argument when max_bytes is 0, SpoolInUseError when another Spool holds
  // the folder, std::runtime_error naming the folder and the reason when it cannot be created,
  // written or listed. A segment that cannot be read is given up with an ERROR.
  explicit Spool(Options options);
  // Syncs what is not synced yet; never throws.
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Appends one batch as one record with one write(2). When the spool would pass max_bytes,
  // the oldest segments are dropped first (an ERROR line each); a batch larger than max_bytes
  // on its own is dropped instead. Syncs when the last sync is a second old or more. Throws
  // std::invalid_argument for texts longer than the record's length fields allow, and
  // std::runtime_error naming the file when the write fails (the batch is then not spooled,
  // and the spool stays as it was).
  void append(const SpoolBatch& batch);
  // The oldest batch not yet popped, read from disk, or nullopt when the spool is empty. Never
  // throws for a file's faults: a segment it cannot read is given up and the next one read.
  std::optional<SpoolBatch> front();
  // Marks the front batch done (its file is deleted once every batch in it is done) and saves
  // the read position. When the batch the last front() returned has been dropped meanwhile
  // because the spool was full, nothing is marked: the caller never wrote the new front.
  // Never throws for a file's faults.
  void pop_front();
  // Syncs pending appends when the last sync is a second old or more; the owner calls it at
  // least once a second, so no appended record stays unsynced much longer than that.
  void sync_if_due();
  // Syncs pending appends and a new segment's folder entry now. Never throws; a failure is
  // logged, and durable_through() does not count what it left unsynced.
  void sync();
  // Records appended in this run (1, 2, ... in append order).
  std::uint64_t appended() const;
  // How many of this run's first records would survive a power cut: synced, or popped (then
  // the TSDB holds them) or dropped with an ERROR. Records behind a failed sync count only
  // once the spool has been emptied, since syncing their file again proves nothing.
  std::uint64_t durable_through();

  std::uint64_t rows() const;  // rows not yet popped, each event counted as a row
  std::uint64_t batches() const;
  std::uint64_t bytes() const;  // on disk, popped records of a partly read segment included
  bool empty() const;
  // time_us of the oldest and newest batch not yet popped, for log lines. Within a partly read
  // segment the oldest is the next batch's time, exact while batches arrive in time order.
  std::optional<std::pair<std::int64_t, std::int64_t>> span() const;

 private:
  // A segment file's bookkeeping; the rows stay on disk.
  struct Segment {
    std::uint64_t number = 0;
    std::uint64_t bytes = 0;        // file size
    std::uint64_t read_offset = 0;  // where the first record not yet popped starts
    std::uint64_t batches = 0;      // not yet popped
    std::uint64_t rows = 0;         // not yet popped
    std::int64_t oldest_us = 0;     // meaningful when batches > 0
    std::int64_t newest_us = 0;
    std::vector<SpoolScan::Range> skipped{};  // corrupt ranges the reader jumps over
  };
  // Where the front batch starts and what it holds, read from its header.
  struct Head {
    std::uint64_t segment = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;  // header and payload
    SpoolRecordSummary summary{};
  };
  struct Position {
    std::uint64_t segment = 0;
    std::uint64_t offset = 0;
    bool operator==(const Position&) const = default;
  };

  void open_folder();
  std::optional<Position> load_position();
  void scan_segment(std::uint64_t number, bool newest, const std::optional<Position>& saved);
  void remove_file(const std::filesystem::path& path, const char* why) noexcept;
  std::filesystem::path segment_path(std::uint64_t number) const;

  // Each *_locked member runs with mutex_ held.
  Segment* writing_segment_locked();
  void start_segment_locked();
  void drop_oldest_segment_locked();
  void remove_front_segment_locked();
  // The front segment could not be opened or read: logs and reports what it held, forgets it.
  void lose_front_segment_locked(const std::exception& error);
  void log_dropped_locked(std::uint64_t rows, std::int64_t oldest_us, std::int64_t newest_us);
  const Head* locate_head_locked();
  void skip_corrupt_front_locked();
  SpoolFile& reader_locked(std::uint64_t number);
  void save_position_locked(Position position);
  void sync_locked(bool only_when_due);
  // After a write that failed part way: cuts the file back, or else leaves it for a new one.
  void abandon_partial_write_locked(Segment& segment);

  const std::filesystem::path dir_;
  const std::uint64_t max_bytes_;
  const std::uint64_t segment_target_;  // a new segment starts past this size
  const std::shared_ptr<spdlog::logger> log_;
  const std::function<double()> clock_;
  const std::function<void(std::uint64_t rows)> on_drop_;
  const std::function<void(std::uint64_t rows)> on_lost_;
  const std::shared_ptr<SpoolEnv> env_;
  std::unique_ptr<SpoolEnv::Lock> lock_;  // held from the first step of opening to the end

  mutable std::mutex mutex_;
  // Guarded by mutex_: the segments in number order, the next segment's number, the file being
  // appended to (the last segment, when set) and the one being read, the cached front batch,
  // where the batch last returned by front() started, and the sync state.
  std::deque<Segment> segments_;
  std::uint64_t next_number_ = 1;
  std::unique_ptr<SpoolFile> writer_;
  std::unique_ptr<SpoolFile> reader_;
  std::uint64_t reader_number_ = 0;
  std::optional<Head> head_;
  std::optional<Position> returned_;
  bool unsynced_ = false;
  std::uint64_t unsynced_rows_ = 0;  // appended since the writer's last sync
  bool folder_unsynced_ = false;
  std::optional<double> last_sync_;
  bool position_save_failed_ = false;
  bool folder_sync_failed_ = false;
  std::uint64_t appended_ = 0;  // records appended in this run
  std::uint64_t durable_ = 0;   // of which the first this many are durable
  bool unsynced_lost_ = false;  // a failed sync left records of this run unsynced for good
};

}  // namespace quellin
