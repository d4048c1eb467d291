#pragma once
// HistoryPager: reads one span of history newest first, one fixed stretch of time at a time
// (kStretchUs, aligned to the epoch), and hands each stretch out as one batch once every value
// of it has arrived: the batch is then the same however the pages fell, and is stored once
// under its identity even when a crash, a broken connection or an invalid continuation point
// makes the span be read again from its last handed-out stretch. Every span asks for whole
// stretches, so that the spans of many tags in the same stretch share one call (a HistoryRead
// has one time range for all its nodes); values outside the span are left out, and so are
// history values at the span's two ends that match a stored row (one for one). One thread;
// owned by the BackfillRunner.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "history_span.h"
#include "pyqar/history_types.h"

namespace quellin {

class HistoryPager {
 public:
  static constexpr std::int64_t kStretchUs = 600'000'000;
  // Values held back at most while a stretch is incomplete; beyond, they are handed out as a
  // batch of their own (a server with thousands of values a second in one tag).
  static constexpr std::size_t kMaxHeld = 200'000;

  struct Batch {
    std::uint64_t seq = 0;                   // its identity (history_batch_seq)
    std::vector<pyqar::ValueObject> values;  // oldest first
    std::vector<std::int64_t> time_us;       // each value's source (else server) time
    std::int64_t done_above_us = 0;          // the span's progress once the batch is kept
  };

  enum class State {
    more,  // ask again (query())
    done,  // nothing left to read
    loop,  // the server looped on a continuation point: the rest cannot be read
  };

  explicit HistoryPager(HistorySpan span);

  const HistorySpan& span() const { return span_; }
  // The next call's query for `tag` (continuing the last continuation point, if any).
  pyqar::HistoryQuery query(pyqar::TagDescriptor tag) const;
  const std::string& continuation_point() const { return continuation_point_; }
  // The point a looping answer left behind, to give back to the server (empty: none); once.
  std::string take_abandoned_point() { return std::exchange(abandoned_point_, {}); }
  // Where reading stands: everything at or above it is handed out.
  std::int64_t position_us() const { return position_us_; }
  // The time range the next query asks for: queries with equal ranges may share a call.
  std::pair<std::int64_t, std::int64_t> range_us() const;

  // Takes a page the server answered with a Good (or Uncertain) status; appends the batches it
  // completes to `out`.
  State take(pyqar::HistoryPage page, std::vector<Batch>& out);
  // Reading starts again from position_us() without a continuation point (the caller has
  // released it, or it is gone with the session): what was held back is read again.
  void restart();

  // A row stored live at `time_us` inside the span, still to be read: its history value is
  // left out.
  void also_stored(std::int64_t time_us, RowFingerprint fingerprint) {
    span_.inside.emplace_back(time_us, fingerprint);
  }

  // Values that came without any time (never stored), since the pager was made.
  std::size_t untimed() const { return untimed_; }

 private:
  struct Held {
    pyqar::ValueObject value;
    std::int64_t time_us;
  };
  static std::int64_t stretch_of(std::int64_t time_us);
  // Hands out the held values from the front down to (not including) index `end`, one batch
  // per stretch, moving position_us_ to `lower_us` after the last one.
  void hand_out(std::size_t end, std::int64_t lower_us, std::vector<Batch>& out);
  // The values of one stretch (descending in `held_[first, last)`) as a batch ending below
  // `upper_us`; edge matches left out.
  Batch make_batch(std::size_t first, std::size_t last, std::int64_t upper_us,
                   std::int64_t lower_us);

  HistorySpan span_;
  std::int64_t position_us_;
  std::string continuation_point_;
  std::string abandoned_point_;
  std::vector<Held> held_;  // newest first
  std::size_t untimed_ = 0;
  // After a looping continuation point the stretch goes on below the last value received,
  // with a range of its own.
  bool narrow_ = false;
};

}  // namespace quellin
