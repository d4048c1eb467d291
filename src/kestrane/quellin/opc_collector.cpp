#include "quellin/opc_collector.h"

#include <cctype>
#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include <spdlog/spdlog.h>

#include "tidewell/tidewell.h"

namespace quellin {

namespace {

// Floating values beyond this bound are stored as infinities; the bound is deliberately
// 3.4e38 and not the largest single-precision value.
constexpr double kFloatBound = 3.4e38;

BasePyQARCollectorThread::Options base_options(OPCCollector::Options& o) {
  const std::string_view schema(o.opc_schema);
  if (!schema.starts_with("opc.da://") && !schema.starts_with("opc.tcp://")) {
    throw std::invalid_argument("Invalid OPC schema format: " + o.opc_schema +
                                ". Must start with 'opc.da://' or 'opc.tcp://'");
  }
  if (o.data_deque == nullptr) {
    throw std::invalid_argument("OPCCollector needs a data_deque to put its results on");
  }
  return {.server_schema = o.opc_schema,
          .get_tags_func = std::move(o.get_tags_func),
          .tags = std::nullopt,
          .sample_interval = o.sample_interval,
          .batch_size = o.batch_size,
          .status_notify = std::move(o.status_notify),
          .source_factory = std::move(o.source_factory),
          .clock = std::move(o.clock),
          .sleep = std::move(o.sleep)};
}

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

// The TSDB stores doubles: integers and booleans convert, values without a number (empty or
// text, which the library only gives with a Bad quality) are stored as NaN.
double to_tsdb_value(const pyqar::Value& value) {
  return std::visit(
      [](const auto& v) -> double {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, double>) {
          return v;
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return static_cast<double>(v);
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? 1.0 : 0.0;
        } else {
          return std::numeric_limits<double>::quiet_NaN();
        }
      },
      value);
}

}  // namespace

OPCCollector::OPCCollector(Options options)
    : BasePyQARCollectorThread(base_options(options)),
      data_deque_(options.data_deque),
      deque_lock_(options.deque_lock),
      tsdb_cfg_(std::move(options.tsdb_cfg)),
      _db_tagname_map(std::move(options.tag_ids)),
      db_status_notify_(std::move(options.db_status_notify)),
      tsdb_connect_(std::move(options.tsdb_connect)) {
  if (tsdb_cfg_) tsdb_conn_ = tidewell::connect_with(tsdb_connect_, *tsdb_cfg_);
}

OPCCollector::~OPCCollector() { shutdown(); }

void OPCCollector::collection_step() { _process_collection_cycle(); }

void OPCCollector::stop() {
  {
    // Waits for a write in progress, so the collector never uses a closed connection.
    std::lock_guard lock(tsdb_mutex_);
    closed_by_stop_ = true;
    if (tsdb_conn_) {
      try {
        tsdb_conn_->close();
      } catch (const std::exception& e) {
        log().error("Closing the TSDB connection failed: {}", e.what());
      }
      tsdb_conn_.reset();
    }
  }
  BasePyQARCollectorThread::stop();
}

bool OPCCollector::has_tsdb_conn() const {
  std::lock_guard lock(tsdb_mutex_);
  return tsdb_conn_ != nullptr;
}

void OPCCollector::handle_data(ResultList& results) {
  // The write below still needs the results; without it the queue may take them over.
  ResultList item = tsdb_cfg_ ? results : std::move(results);
  if (deque_lock_ != nullptr) {
    std::lock_guard lock(*deque_lock_);
    data_deque_->push_back(std::move(item));
  } else {
    data_deque_->push_back(std::move(item));
  }
  if (tsdb_cfg_) _handle_write_tsdb(results);
}

void OPCCollector::_handle_write_tsdb(const ResultList& results) {
  std::optional<std::pair<bool, std::size_t>> outcome;
  {
    std::unique_lock lock(tsdb_mutex_);
    if (!tsdb_conn_) {
      // After stop() the connection stays closed: no new one that nobody would close.
      if (!closed_by_stop_) _handle_db_error();
      return;
    }
    // Lookup errors are not caught here: the cycle then counts as a failed read.
    look_up_uncached_tags(results);
    std::vector<std::int64_t> tag_ids;
    std::vector<double> values;
    std::vector<std::string> qualities;
    tag_ids.reserve(results.size());
    values.reserve(results.size());
    qualities.reserve(results.size());
    for (const ResultTuple& r : results) {
      double value = to_tsdb_value(r.value);
      if (std::holds_alternative<double>(r.value) && is_good(r.quality)) {
        if (std::isnan(value)) {
          log().warn("Skipping NaN value for tag {}", r.tag);
          continue;
        }
        if (value > kFloatBound) value = std::numeric_limits<double>::infinity();
        if (value < -kFloatBound) value = -std::numeric_limits<double>::infinity();
      }
      const auto cached = _db_tagname_map.find(r.tag);
      if (cached == _db_tagname_map.end()) continue;  // missing: reported by the lookup
      const std::int64_t tag_id = cached->second;
      tag_ids.push_back(tag_id);
      values.push_back(value);
      qualities.push_back(r.quality);
    }
    if (!tag_ids.empty()) {
      try {
        const tidewell::WriteResult written =
            tidewell::write_tsdata(*tsdb_conn_, tag_ids, values, qualities);
        outcome.emplace(written.success, written.success ? written.count : 0);
      } catch (const std::exception& e) {
        log().error("Write DB failed: {}", e.what());
        _handle_db_error();
        outcome.emplace(false, 0);
      }
    } else if (!results.empty()) {
      outcome.emplace(true, 0);
    }
  }
  // Outside the lock, so that a callback may call stop().
  if (outcome && db_status_notify_) db_status_notify_(outcome->first, outcome->second);
}

void OPCCollector::look_up_uncached_tags(const ResultList& results) {
  const double time = now();
  std::vector<std::string> wanted;
  std::unordered_set<std::string_view> seen;
  for (const ResultTuple& r : results) {
    if (_db_tagname_map.contains(r.tag)) continue;
    if (const auto it = missing_tags_.find(r.tag); it != missing_tags_.end() && time < it->second) {
      continue;
    }
    if (seen.insert(r.tag).second) wanted.push_back(r.tag);
  }
  if (wanted.empty()) return;
  const std::unordered_map<std::string, std::int64_t> found =
      tidewell::get_tag_ids(*tsdb_conn_, wanted);
  for (std::string& tag : wanted) {
    if (const auto it = found.find(tag); it != found.end()) {
      missing_tags_.erase(tag);
      _db_tagname_map.emplace(std::move(tag), it->second);
    } else {
      log().error("Tag '{}' not found in TSDB", tag);
      missing_tags_[std::move(tag)] = time + kMissingTagRetrySeconds;
    }
  }
}

void OPCCollector::_handle_db_error() {
  // One attempt per call; nothing in here may escape into the collection cycle.
  try {
    if (tsdb_conn_) {
      log().info("Database write failed, trying to ping database...");
      bool alive = false;
      try {
        alive = tidewell::ping(*tsdb_conn_);
      } catch (...) {
        alive = false;
      }
      if (alive) {
        log().info("Database ping successful; not retrying write (likely business logic issue)");
        return;
      }
    } else {
      log().warn("No database connection present; attempting to connect...");
    }
    log().warn("Database ping failed or connection missing, attempting single reconnect...");
    if (tsdb_conn_) {
      try {
        tsdb_conn_->close();
      } catch (...) {
      }
      tsdb_conn_.reset();
    }
    if (!tsdb_cfg_) {
      log().error("tsdb_cfg not provided; cannot perform database reconnection");
      return;
    }
    std::unique_ptr<tidewell::Connection> conn = tidewell::connect_with(tsdb_connect_, *tsdb_cfg_);
    if (conn) {
      tsdb_conn_ = std::move(conn);
      // Another server may answer now: every tag is looked up again.
      _db_tagname_map.clear();
      missing_tags_.clear();
      log().info("Database reconnection successful");
    } else {
      log().error("Database reconnection failed");
    }
  } catch (const std::exception& e) {
    log().error("Database error handling failed: {}", e.what());
  } catch (...) {
    log().error("Database error handling failed: unknown error");
  }
}

}  // namespace quellin
