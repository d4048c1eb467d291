#pragma once
// HistorySpan: one stretch of a tag's values that was never stored and is to be read from the
// server's history, and the fingerprints that tell a history value from a row already stored.
// Plain values; safe to copy between threads.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pyqar/qar_types.h"

namespace quellin {

// What a stored row (or a value about to be stored) is at one instant, in 64 bits: its value as
// the database keeps it (a number, or a text) and its status (but for the overflow bit, which
// tells of the server's queue, not of the value). Two rows with the same fingerprint at the
// same source time are the same row.
using RowFingerprint = std::uint64_t;
RowFingerprint number_fingerprint(double value, std::uint32_t status);
RowFingerprint text_fingerprint(std::string_view text, std::uint32_t status);
// As CycleRows would store it; an absent status counts as Good.
RowFingerprint value_fingerprint(const pyqar::Value& value, std::optional<std::uint32_t> status);

struct HistorySpan {
  std::string tag;  // as in the tag list
  // Source times in UTC microseconds, both ends included.
  std::int64_t low_us = 0;
  std::int64_t high_us = 0;
  // The stored rows at each end: history values at these instants that match one of them (one
  // for one) are already stored.
  std::vector<RowFingerprint> low_edge{};
  std::vector<RowFingerprint> high_edge{};
  // Rows stored live within the span after it was found (a server sends changes it had queued
  // before the value that closed the gap): history values matching them are left out too.
  std::vector<std::pair<std::int64_t, RowFingerprint>> inside{};
  // Everything from here up to high_us is stored (and kept): what is left to read is
  // [low_us, done_above_us). high_us + 1 while nothing is.
  std::int64_t done_above_us = 0;

  bool done() const { return done_above_us <= low_us; }
};

// The identity of the batch that holds a span's values below `upper_us` (excluded) down to
// the next stretch boundary: the same whenever the span is read again, so that the database
// stores it once.
std::uint64_t history_batch_seq(const HistorySpan& span, std::int64_t upper_us);
// The writer id under which every batch of history is stored.
inline constexpr std::string_view kHistoryWriterId = "history";

}  // namespace quellin
