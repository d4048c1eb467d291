#include "spool/spool.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "journel/log.h"
#include "quellin/spool_in_use_error.h"
#include "spool/posix_spool_env.h"
#include "utc_text.h"

namespace quellin {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMaxSegmentBytes = 16u << 20;
// Records are cut into this many segments at most, so a full spool drops about an eighth.
constexpr std::uint64_t kSegmentsPerSpool = 8;
constexpr double kSyncIntervalSeconds = 1.0;
constexpr std::string_view kSegmentPrefix = "spool-";
constexpr std::string_view kSegmentSuffix = ".dat";
constexpr std::size_t kSegmentDigits = 16;
constexpr std::string_view kPositionFile = "spool.pos";
constexpr std::string_view kPositionTempFile = "spool.pos.tmp";
constexpr std::string_view kProbeFile = ".spool-probe";
constexpr std::string_view kLockFile = "LOCK";

std::optional<std::uint64_t> segment_number(const std::string& name) {
  if (name.size() != kSegmentPrefix.size() + kSegmentDigits + kSegmentSuffix.size() ||
      !name.starts_with(kSegmentPrefix) || !name.ends_with(kSegmentSuffix)) {
    return std::nullopt;
  }
  const char* first = name.data() + kSegmentPrefix.size();
  const char* last = first + kSegmentDigits;
  if (!std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  std::uint64_t number = 0;
  if (std::from_chars(first, last, number).ptr != last) return std::nullopt;
  return number;
}

std::function<double()> steady_seconds() {
  return [] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
}

std::uint64_t minus(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// The reason alone for a file error ("No such file or directory"): the log line names the file.
std::string reason(const std::exception& error) {
  if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
    return system->code().message();
  }
  return error.what();
}

bool is_errno(const std::system_error& error, int value) {
  return error.code().category() == std::generic_category() && error.code().value() == value;
}

}  // namespace

Spool::Spool(Options options)
    : dir_(std::move(options.dir)),
      max_bytes_(options.max_bytes),
      segment_target_(
          std::max<std::uint64_t>(1, std::min(kMaxSegmentBytes, max_bytes_ / kSegmentsPerSpool))),
      log_(options.log ? std::move(options.log) : journel::get_logger("quellin")),
      clock_(options.clock ? std::move(options.clock) : steady_seconds()),
      on_drop_(std::move(options.on_drop)),
      on_lost_(std::move(options.on_lost)),
      env_(options.env ? std::move(options.env) : std::make_shared<PosixSpoolEnv>()) {
  if (max_bytes_ == 0) throw std::invalid_argument("Spool max_bytes must be at least 1");
  open_folder();
}

Spool::~Spool() {
  try {
    std::lock_guard lock(mutex_);
    sync_locked(false);
  } catch (const std::exception& error) {
    log_->error("Spool {}: final sync failed: {}", dir_.string(), error.what());
  }
}

void Spool::open_folder() {
  const std::string folder = dir_.string();
  try {
    env_->create_folder(dir_);
  } catch (const std::system_error& error) {
    throw std::runtime_error("Spool folder " + folder +
                             " cannot be created: " + error.code().message());
  }
  // Before anything in the folder is touched: another process may be using it.
  try {
    lock_ = env_->lock_file(dir_ / kLockFile);
  } catch (const std::system_error& error) {
    if (is_errno(error, EWOULDBLOCK) || is_errno(error, EAGAIN)) {
      throw SpoolInUseError("spool folder '" + folder + "' is in use by another process");
    }
    if (is_errno(error, ENOLCK) || is_errno(error, EOPNOTSUPP) || is_errno(error, ENOSYS)) {
      // Some network file systems lock nothing; the spool works there as it always did.
      log_->warn("Spool folder {} cannot be locked ({}); no other program may use it", folder,
                 error.code().message());
    } else {
      throw std::runtime_error("Spool folder " + folder +
                               " cannot be written: " + error.code().message());
    }
  }
  // Root writes into read-only folders, so only a real write tells whether segments can be
  // made here.
  try {
    env_->open_file(dir_ / kProbeFile, SpoolFile::Mode::kReplace)->write_all("probe");
  } catch (const std::system_error& error) {
    throw std::runtime_error("Spool folder " + folder +
                             " cannot be written: " + error.code().message());
  }
  remove_file(dir_ / kProbeFile, nullptr);
  remove_file(dir_ / kPositionTempFile, nullptr);

  std::vector<std::uint64_t> numbers;
  try {
    for (const std::string& name : env_->list_folder(dir_)) {
      if (auto number = segment_number(name)) numbers.push_back(*number);
    }
  } catch (const std::system_error& error) {
    throw std::runtime_error("Spool folder " + folder +
                             " cannot be read: " + error.code().message());
  }
  std::sort(numbers.begin(), numbers.end());

  const std::optional<Position> saved = load_position();
  for (const std::uint64_t number : numbers) {
    if (saved && number < saved->segment) {
      // Every batch in it was popped; the run that popped them stopped before deleting it.
      remove_file(segment_path(number), "it was written already");
      continue;
    }
    scan_segment(number, number == numbers.back(), saved);
  }
  next_number_ = std::max(numbers.empty() ? 0 : numbers.back(), saved ? saved->segment : 0) + 1;

  if (!segments_.empty()) {
    std::uint64_t batches = 0;
    std::uint64_t rows = 0;
    std::uint64_t bytes = 0;
    for (const Segment& s : segments_) {
      batches += s.batches;
      rows += s.rows;
      bytes += s.bytes;
    }
    log_->info("Spool {}: {} batches ({} rows, {} bytes on disk) left to write", folder, batches,
               rows, bytes);
  }
}

std::optional<Spool::Position> Spool::load_position() {
  const fs::path path = dir_ / kPositionFile;
  std::string text(64, '\0');
  std::size_t size = 0;
  try {
    const std::unique_ptr<SpoolFile> file = env_->open_file(path, SpoolFile::Mode::kRead);
    size = static_cast<std::size_t>(std::min<std::uint64_t>(file->size(), text.size()));
    if (!file->read_at(0, size, text.data())) size = 0;
  } catch (const std::system_error& error) {
    if (is_errno(error, ENOENT)) return std::nullopt;
    log_->warn("Spool read position {} cannot be read ({}); replaying from the oldest batch",
               path.string(), error.code().message());
    return std::nullopt;
  }
  Position position;
  const char* p = text.data();
  const char* end = text.data() + size;
  auto [after_segment, segment_error] = std::from_chars(p, end, position.segment);
  std::from_chars_result offset{after_segment, std::errc::invalid_argument};
  if (segment_error == std::errc() && after_segment != end && *after_segment == ' ') {
    offset = std::from_chars(after_segment + 1, end, position.offset);
  }
  if (offset.ec != std::errc() || offset.ptr == end || *offset.ptr != '\n') {
    log_->warn("Spool read position {} is malformed; replaying from the oldest batch",
               path.string());
    return std::nullopt;
  }
  return position;
}

void Spool::scan_segment(std::uint64_t number, bool newest, const std::optional<Position>& saved) {
  const fs::path path = segment_path(number);
  std::uint64_t size = 0;
  std::uint64_t from = 0;
  SpoolScan scan;
  try {
    const std::unique_ptr<SpoolFile> file = env_->open_file(path, SpoolFile::Mode::kRead);
    size = file->size();
    from = saved && saved->segment == number ? std::min(saved->offset, size) : std::uint64_t{0};
    std::string bytes(static_cast<std::size_t>(size - from), '\0');
    if (!file->read_at(from, bytes.size(), bytes.data())) {
      throw std::runtime_error("it shrank while it was read");
    }
    scan = scan_spool_records(bytes, from);
  } catch (const std::exception& error) {
    // Nothing about its rows is known yet; the rest of the spool is still worth writing.
    log_->error("Spool file {} cannot be read ({}); the rows in it ({} bytes) are lost",
                path.string(), reason(error), size);
    remove_file(path, "it cannot be read");
    return;
  }

  Segment segment{.number = number,
                  .bytes = size,
                  .read_offset = from,
                  .batches = scan.batches,
                  .rows = scan.rows,
                  .oldest_us = scan.oldest_us,
                  .newest_us = scan.newest_us,
                  .skipped = {}};
  for (const SpoolScan::Range& range : scan.corrupt) {
    if (newest && range.end == size) {
      // The last write before a crash: nothing after it was ever acknowledged.
      log_->warn("Spool file {}: torn record at offset {}; cut back to the last good record",
                 path.string(), range.begin);
      try {
        env_->open_file(path, SpoolFile::Mode::kReadWrite)->truncate(range.begin);
      } catch (const std::exception& error) {
        // Appends go to a new segment, and the next start cuts the tail again.
        log_->error("Spool file {} cannot be cut back ({})", path.string(), reason(error));
      }
      segment.bytes = range.begin;
    } else {
      log_->error("Spool file {}: corrupt record at offset {} skipped ({} bytes)", path.string(),
                  range.begin, range.end - range.begin);
      segment.skipped.push_back(range);
    }
  }
  if (segment.batches == 0) {
    remove_file(path, nullptr);
    return;
  }
  segments_.push_back(std::move(segment));
}

void Spool::remove_file(const fs::path& path, const char* why) noexcept {
  try {
    env_->remove_file(path);
  } catch (const std::system_error& error) {
    if (why != nullptr && !is_errno(error, ENOENT)) {
      log_->warn("Spool file {} cannot be deleted ({}), although {}", path.string(),
                 error.code().message(), why);
    }
  } catch (const std::exception& error) {
    if (why != nullptr)
      log_->warn("Spool file {} cannot be deleted ({})", path.string(), error.what());
  }
}

fs::path Spool::segment_path(std::uint64_t number) const {
  return dir_ / fmt::format("{}{:0{}}{}", kSegmentPrefix, number, kSegmentDigits, kSegmentSuffix);
}

void Spool::append(const SpoolBatch& batch) {
  // Encoding a large batch takes milliseconds; readers need not wait for it.
  const std::string record = encode_spool_record(batch);
  const std::uint64_t size = record.size();

  std::lock_guard lock(mutex_);
  if (size > max_bytes_) {
    log_dropped_locked(spool_entries(batch), batch.time_us, batch.time_us);
    return;
  }
  for (;;) {
    std::uint64_t total = 0;
    for (const Segment& s : segments_) total += s.bytes;
    if (segments_.empty() || total + size <= max_bytes_) break;
    drop_oldest_segment_locked();
  }
  Segment* segment = writing_segment_locked();
  if (segment == nullptr || (segment->bytes > 0 && segment->bytes + size > segment_target_)) {
    start_segment_locked();
    segment = &segments_.back();
  }
  try {
    writer_->write_all(record);
  } catch (const std::exception&) {
    abandon_partial_write_locked(*segment);
    throw;
  }
  segment->bytes += size;
  if (segment->batches == 0) {
    segment->oldest_us = segment->newest_us = batch.time_us;
  } else {
    segment->oldest_us = std::min(segment->oldest_us, batch.time_us);
    segment->newest_us = std::max(segment->newest_us, batch.time_us);
  }
  ++segment->batches;
  segment->rows += spool_entries(batch);
  ++appended_;
  unsynced_ = true;
  unsynced_rows_ += spool_entries(batch);
  sync_locked(true);
}

std::optional<SpoolBatch> Spool::front() {
  std::lock_guard lock(mutex_);
  while (const Head* head = locate_head_locked()) {
    const auto record = std::make_unique_for_overwrite<char[]>(head->size);
    std::optional<SpoolBatch> batch;
    try {
      if (reader_locked(head->segment).read_at(head->offset, head->size, record.get())) {
        const std::string_view bytes(record.get(), head->size);
        const SpoolRecordHeader header = parse_spool_record_header(bytes);
        const std::string_view payload = bytes.substr(kSpoolRecordHeaderBytes);
        const std::optional<std::uint8_t> version = spool_record_version(header.magic);
        if (version && spool_payload_crc(payload) == header.crc) {
          batch = decode_spool_payload(payload, *version);
        }
      }
    } catch (const std::exception& error) {
      lose_front_segment_locked(error);
      continue;
    }
    if (!batch) {
      skip_corrupt_front_locked();
      continue;
    }
    returned_ = Position{head->segment, head->offset};
    return batch;
  }
  returned_.reset();
  return std::nullopt;
}

void Spool::pop_front() {
  std::lock_guard lock(mutex_);
  const Head* head = locate_head_locked();
  const std::optional<Position> returned = std::exchange(returned_, std::nullopt);
  if (head == nullptr) return;
  const Position position{head->segment, head->offset};
  if (returned && *returned != position) {
    log_->debug("Spool: the batch last read was dropped before it was popped");
    return;
  }
  Segment& segment = segments_.front();
  segment.read_offset = head->offset + head->size;
  segment.batches = minus(segment.batches, 1);
  segment.rows = minus(segment.rows, spool_entries(head->summary));
  const std::uint64_t popped_number = segment.number;
  head_.reset();
  save_position_locked({segment.number, segment.read_offset});

  // Finding the next batch now deletes a used-up segment and moves its oldest time on.
  if (const Head* next = locate_head_locked(); next != nullptr && next->segment == popped_number) {
    Segment& rest = segments_.front();
    const std::int64_t t = next->summary.time_us;
    if (t >= rest.oldest_us && t <= rest.newest_us) rest.oldest_us = t;
  }
}

void Spool::sync_if_due() {
  std::lock_guard lock(mutex_);
  sync_locked(true);
}

void Spool::sync() {
  std::lock_guard lock(mutex_);
  sync_locked(false);
}

std::uint64_t Spool::appended() const {
  std::lock_guard lock(mutex_);
  return appended_;
}

std::uint64_t Spool::durable_through() {
  std::lock_guard lock(mutex_);
  const bool empty = std::all_of(segments_.begin(), segments_.end(),
                                 [](const Segment& s) { return s.batches == 0; });
  if (empty) {
    // Every record of this run is in the TSDB or was given up with an ERROR.
    unsynced_lost_ = false;
    durable_ = appended_;
  }
  return durable_;
}

std::uint64_t Spool::rows() const {
  std::lock_guard lock(mutex_);
  std::uint64_t total = 0;
  for (const Segment& s : segments_) total += s.rows;
  return total;
}

std::uint64_t Spool::batches() const {
  std::lock_guard lock(mutex_);
  std::uint64_t total = 0;
  for (const Segment& s : segments_) total += s.batches;
  return total;
}

std::uint64_t Spool::bytes() const {
  std::lock_guard lock(mutex_);
  std::uint64_t total = 0;
  for (const Segment& s : segments_) total += s.bytes;
  return total;
}

bool Spool::empty() const { return batches() == 0; }

std::optional<std::pair<std::int64_t, std::int64_t>> Spool::span() const {
  std::lock_guard lock(mutex_);
  std::optional<std::pair<std::int64_t, std::int64_t>> span;
  for (const Segment& s : segments_) {
    if (s.batches == 0) continue;
    if (!span) {
      span.emplace(s.oldest_us, s.newest_us);
    } else {
      span->first = std::min(span->first, s.oldest_us);
      span->second = std::max(span->second, s.newest_us);
    }
  }
  return span;
}

Spool::Segment* Spool::writing_segment_locked() { return writer_ ? &segments_.back() : nullptr; }

void Spool::start_segment_locked() {
  // Leaving a segment with unsynced records would leave them unsynced for good.
  if (writer_ && unsynced_) sync_locked(false);
  const std::uint64_t number = next_number_++;
  // When this throws (a full disk, too many open files), the append is refused and the next
  // one tries a new segment again.
  std::unique_ptr<SpoolFile> file = env_->open_file(segment_path(number), SpoolFile::Mode::kCreate);
  segments_.push_back(Segment{.number = number});
  writer_ = std::move(file);
  unsynced_rows_ = 0;
  folder_unsynced_ = true;
}

void Spool::drop_oldest_segment_locked() {
  const Segment& oldest = segments_.front();
  if (oldest.batches > 0) log_dropped_locked(oldest.rows, oldest.oldest_us, oldest.newest_us);
  remove_front_segment_locked();
}

void Spool::remove_front_segment_locked() {
  const Segment& segment = segments_.front();
  if (writer_ && segments_.size() == 1) {
    writer_.reset();
    unsynced_ = false;
    unsynced_rows_ = 0;
  }
  if (reader_ && reader_number_ == segment.number) reader_.reset();
  if (head_ && head_->segment == segment.number) head_.reset();
  remove_file(segment_path(segment.number), "nothing in it is left to write");
  segments_.pop_front();
}

void Spool::lose_front_segment_locked(const std::exception& error) {
  const Segment& segment = segments_.front();
  const std::string path = segment_path(segment.number).string();
  if (segment.batches > 0) {
    log_->error("Spool file {} cannot be read ({}); {} rows read between {} and {} are lost", path,
                reason(error), segment.rows, utc_text(segment.oldest_us),
                utc_text(segment.newest_us));
  } else {
    log_->error("Spool file {} cannot be read ({}); no rows in it were left to write", path,
                reason(error));
  }
  if (on_lost_ && segment.rows > 0) on_lost_(segment.rows);
  remove_front_segment_locked();
}

void Spool::log_dropped_locked(std::uint64_t rows, std::int64_t oldest_us, std::int64_t newest_us) {
  log_->error("Spool full: dropped {} rows read between {} and {}", rows, utc_text(oldest_us),
              utc_text(newest_us));
  if (on_drop_) on_drop_(rows);
}

const Spool::Head* Spool::locate_head_locked() {
  if (head_) return &*head_;
  while (!segments_.empty()) {
    Segment& segment = segments_.front();
    for (const SpoolScan::Range& range : segment.skipped) {
      if (segment.read_offset >= range.begin && segment.read_offset < range.end) {
        segment.read_offset = range.end;
      }
    }
    if (segment.read_offset >= segment.bytes) {
      remove_front_segment_locked();
      continue;
    }
    const std::uint64_t left = segment.bytes - segment.read_offset;
    std::string prefix(static_cast<std::size_t>(std::min<std::uint64_t>(
                           left, kSpoolRecordHeaderBytes + kSpoolPayloadPeekBytes)),
                       '\0');
    std::optional<SpoolRecordSummary> summary;
    SpoolRecordHeader header;
    try {
      if (prefix.size() >= kSpoolRecordHeaderBytes &&
          reader_locked(segment.number)
              .read_at(segment.read_offset, prefix.size(), prefix.data())) {
        header = parse_spool_record_header(prefix);
        const std::optional<std::uint8_t> version = spool_record_version(header.magic);
        if (version && header.length <= left - kSpoolRecordHeaderBytes) {
          summary = peek_spool_payload(std::string_view(prefix).substr(kSpoolRecordHeaderBytes),
                                       *version);
        }
      }
    } catch (const std::exception& error) {
      lose_front_segment_locked(error);
      continue;
    }
    if (!summary) {
      skip_corrupt_front_locked();
      continue;
    }
    head_ = Head{.segment = segment.number,
                 .offset = segment.read_offset,
                 .size = kSpoolRecordHeaderBytes + header.length,
                 .summary = *summary};
    return &*head_;
  }
  return nullptr;
}

void Spool::skip_corrupt_front_locked() {
  Segment& segment = segments_.front();
  const std::uint64_t begin = segment.read_offset;
  std::string rest(static_cast<std::size_t>(segment.bytes - begin), '\0');
  std::uint64_t end = segment.bytes;
  try {
    if (reader_locked(segment.number).read_at(begin, rest.size(), rest.data())) {
      const std::size_t next = find_spool_record(rest, 1);
      if (next != std::string_view::npos) end = begin + next;
    }
  } catch (const std::exception& error) {
    lose_front_segment_locked(error);
    return;
  }
  log_->error("Spool file {}: corrupt record at offset {} skipped ({} bytes)",
              segment_path(segment.number).string(), begin, end - begin);
  segment.read_offset = end;
  head_.reset();
}

SpoolFile& Spool::reader_locked(std::uint64_t number) {
  if (!reader_ || reader_number_ != number) {
    reader_.reset();
    reader_ = env_->open_file(segment_path(number), SpoolFile::Mode::kRead);
    reader_number_ = number;
  }
  return *reader_;
}

void Spool::save_position_locked(Position position) {
  // Not synced: after a crash an older position only means a batch is written twice, and the
  // TSDB skips a batch it already holds.
  const fs::path temp = dir_ / kPositionTempFile;
  try {
    env_->open_file(temp, SpoolFile::Mode::kReplace)
        ->write_all(fmt::format("{} {}\n", position.segment, position.offset));
    env_->rename_file(temp, dir_ / kPositionFile);
    position_save_failed_ = false;
  } catch (const std::exception& error) {
    if (!position_save_failed_) {
      log_->warn(
          "Spool read position cannot be saved ({}); after a restart some batches are "
          "written again",
          error.what());
    }
    position_save_failed_ = true;
  }
}

void Spool::sync_locked(bool only_when_due) {
  if (!unsynced_ && !folder_unsynced_) {
    // Records left unsynced went with a dropped segment.
    if (!unsynced_lost_) durable_ = appended_;
    return;
  }
  const double now = clock_();
  if (only_when_due && last_sync_ && now - *last_sync_ < kSyncIntervalSeconds) return;
  last_sync_ = now;
  bool synced = true;
  if (writer_ && unsynced_) {
    try {
      writer_->datasync();
    } catch (const std::exception& error) {
      // After a failed sync the kernel may already have dropped those pages, and a second
      // sync of the same file would report success: later records go to a new segment.
      log_->error(
          "Spool file {} cannot be synced ({}); {} rows appended since its last sync may not "
          "survive a power loss",
          writer_->path().string(), reason(error), unsynced_rows_);
      writer_.reset();
      unsynced_lost_ = true;
    }
    unsynced_ = false;
    unsynced_rows_ = 0;
  }
  if (folder_unsynced_) {
    try {
      env_->sync_folder(dir_);
      folder_unsynced_ = false;
      folder_sync_failed_ = false;
    } catch (const std::exception& error) {
      // Tried again at the next sync; new segments may not survive a power loss until then.
      if (!folder_sync_failed_) {
        log_->error(
            "Spool folder {} cannot be synced ({}); new segments may not survive a "
            "power loss",
            dir_.string(), reason(error));
      }
      folder_sync_failed_ = true;
      synced = false;
    }
  }
  if (synced && !unsynced_lost_) durable_ = appended_;
}

void Spool::abandon_partial_write_locked(Segment& segment) {
  try {
    writer_->truncate(segment.bytes);
    return;
  } catch (const std::exception& error) {
    log_->error(
        "Spool file {} cannot be cut back after a failed write ({}); later batches go "
        "to a new segment",
        writer_->path().string(), reason(error));
  }
  // What follows segment.bytes is never read in this run; the next start cuts it off, or skips
  // it with an ERROR. The records before it still need their sync.
  if (unsynced_) sync_locked(false);
  writer_.reset();
}

}  // namespace quellin
