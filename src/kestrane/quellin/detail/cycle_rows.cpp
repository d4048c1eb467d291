#include "cycle_rows.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <variant>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace quellin {

namespace {

// Floating values beyond this bound are stored as infinities; the bound is deliberately
// 3.4e38 and not the largest single-precision value.
constexpr double kFloatBound = 3.4e38;

bool is_good(std::string_view quality) {
  while (!quality.empty() && std::isspace(static_cast<unsigned char>(quality.front()))) {
    quality.remove_prefix(1);
  }
  while (!quality.empty() && std::isspace(static_cast<unsigned char>(quality.back()))) {
    quality.remove_suffix(1);
  }
  constexpr std::string_view kGood = "good";
  if (quality.size() != kGood.size()) return false;
  for (std::size_t i = 0; i < kGood.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(quality[i])) != kGood[i]) return false;
  }
  return true;
}

// A writer id no other run shares: batches of this run are told apart from every other's.
std::string new_writer_id() {
  std::random_device device;
  std::uniform_int_distribution<std::uint32_t> word;
  return fmt::format("{:08x}{:08x}{:08x}{:08x}", word(device), word(device), word(device),
                     word(device));
}

std::int64_t to_us(pyqar::Timestamp t) {
  return std::chrono::floor<std::chrono::microseconds>(t.time_since_epoch()).count();
}

}  // namespace

tidewell::EventRow to_event_row(const pyqar::EventRecord& event) {
  return tidewell::EventRow{
      .time_us = to_us(event.time),
      .receive_time_us =
          event.receive_time ? std::optional(to_us(*event.receive_time)) : std::nullopt,
      .source_id = 0,  // the store's to fill in: the source row is found on its connection
      .event_id = event.event_id,
      .event_type = event.event_type,
      .source_node = event.source_node,
      .source_name = event.source_name,
      .severity = static_cast<std::int32_t>(event.severity),
      .message = event.message,
      .condition_id = event.condition_id,
      .condition_name = event.condition_name,
      .branch_id = event.branch_id,
      .retain = event.retain,
      .active = event.active,
      .acked = event.acked,
      .confirmed = event.confirmed,
      .refresh = event.refresh,
      .fields_json = event.fields_json};
}

double to_tsdb_value(const pyqar::Value& value) {
  return std::visit(
      [](const auto& v) -> double {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, double>) {
          return v;
        } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) {
          return static_cast<double>(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? 1.0 : 0.0;
        } else {
          return std::numeric_limits<double>::quiet_NaN();
        }
      },
      value);
}

void check_row_times(const WriteCycle& cycle) {
  if (cycle.row_time_us.empty() || cycle.row_time_us.size() == cycle.results.size()) return;
  throw std::invalid_argument(fmt::format("A cycle of {} results carries {} row times",
                                          cycle.results.size(), cycle.row_time_us.size()));
}

CycleRows::CycleRows(std::shared_ptr<spdlog::logger> log, std::shared_ptr<CollectorMetrics> metrics)
    : log_(std::move(log)), metrics_(std::move(metrics)), writer_id_(new_writer_id()) {}

SpoolBatch CycleRows::to_batch(const WriteCycle& cycle) {
  check_row_times(cycle);
  SpoolBatch batch;
  if (cycle.batch_writer_id.empty()) {
    batch.writer_id = writer_id_;
    batch.seq = next_seq_++;
  } else {
    // The identity the rows had when first made: the database stores them once, whichever of
    // their writes or replays comes first. The writer's own numbering goes on untouched.
    batch.writer_id = cycle.batch_writer_id;
    batch.seq = cycle.batch_seq;
  }
  batch.time_us = cycle.time_us;
  batch.rows.reserve(cycle.results.size());
  const bool per_row_time = !cycle.row_time_us.empty();
  for (std::size_t i = 0; i < cycle.results.size(); ++i) {
    const ResultTuple& r = cycle.results[i];
    SpoolRow row{.tag = r.tag, .value = 0.0, .quality = r.quality};
    if (const auto* text = std::get_if<std::string>(&r.value)) {
      row.text = *text;
    } else {
      row.value = to_tsdb_value(r.value);
      // A Good reading that carries no number says nothing a reader could use: it is skipped
      // like a Good NaN rather than stored as NaN under a Good quality.
      const bool floating = std::holds_alternative<double>(r.value) ||
                            std::holds_alternative<std::monostate>(r.value);
      if (floating && is_good(r.quality)) {
        if (std::isnan(row.value)) {
          log_->warn("Skipping NaN value for tag {}", r.tag);
          if (metrics_) metrics_->rows_dropped(1, drop_reason::kNotANumber);
          continue;
        }
        if (row.value > kFloatBound) row.value = std::numeric_limits<double>::infinity();
        if (row.value < -kFloatBound) row.value = -std::numeric_limits<double>::infinity();
      }
    }
    row.status = r.status;
    if (r.source_time) row.source_time_us = to_us(*r.source_time);
    if (per_row_time) row.time_us = cycle.row_time_us[i];
    batch.rows.push_back(std::move(row));
  }
  batch.events.reserve(cycle.events.size());
  for (const pyqar::EventRecord& e : cycle.events) batch.events.push_back(to_event_row(e));
  return batch;
}

}  // namespace quellin
