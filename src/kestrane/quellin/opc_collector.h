#pragma once
// OPCCollector: the collector thread that appends each cycle's results to its owner's queue
// and, when TSDB settings are given, writes them to the TSDB through its own connection.
// The owner creates it and calls start()/stop()/join()/collection_step() from one thread;
// the queue, its mutex and the callbacks are borrowed and must outlive the collector.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "quellin/base_pyqar_collector_thread.h"
#include "quellin/collector_hooks.h"
#include "quellin/result_queue.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

namespace quellin {

// A tag the TSDB does not know is looked up again, and reported again, at most this often.
inline constexpr double kMissingTagRetrySeconds = 60.0;

// Rows written are (tag id, value, quality text). The TSDB stores doubles: a double goes as
// read (a Good NaN is skipped, Good values beyond +-3.4e38 become infinities), integers and
// booleans are converted, an empty or text value is stored as NaN.
class OPCCollector : public BasePyQARCollectorThread {
 public:
  struct Options {
    std::string opc_schema{};           // must begin with "opc.da://" or "opc.tcp://"
    TagsFunc get_tags_func{};           // required
    ResultQueue* data_deque = nullptr;  // required
    std::mutex* deque_lock = nullptr;   // taken around each append when set
    std::optional<tidewell::TsdbSettings> tsdb_cfg{};  // set: write every cycle to the TSDB
    double sample_interval = 1.0;
    int batch_size = 100;
    StatusNotify status_notify{};
    DbStatusNotify db_status_notify{};
    // Tag ids already known (from registration), by tag name: those tags are written with no
    // lookup. Others are looked up together on first use.
    std::unordered_map<std::string, std::int64_t> tag_ids{};
    // Seams for tests; empty means the real OPC library, TSDB client, clock and wait.
    pyqar::SourceFactory source_factory{};
    TsdbConnectFunc tsdb_connect{};
    ClockFunc clock{};
    SleepFunc sleep{};
  };

  // Throws std::invalid_argument "Invalid OPC schema format: <schema>. Must start with
  // 'opc.da://' or 'opc.tcp://'", or when get_tags_func or data_deque is missing; and the
  // connection error when tsdb_cfg is set and connecting throws.
  explicit OPCCollector(Options options);
  ~OPCCollector() override;

  // One collection cycle on the caller's thread; for collectors that are never started.
  void collection_step();
  // Closes the TSDB connection (waiting for a write in progress), then stops the thread.
  void stop() override;

  // Whether the collector holds an open TSDB connection now. Any thread.
  bool has_tsdb_conn() const;

 protected:
  void handle_data(ResultList& results) override;
  void _handle_write_tsdb(const ResultList& results);
  // Expects tsdb_mutex_ held.
  void _handle_db_error();

 private:
  // Looks up, in one request, the ids of the tags of `results` that are neither cached nor
  // recently found missing. Expects tsdb_mutex_ held; lookup errors escape.
  void look_up_uncached_tags(const ResultList& results);

  ResultQueue* data_deque_;
  std::mutex* deque_lock_;
  // Guards tsdb_conn_ and _db_tagname_map: stop() closes the connection on the owner's
  // thread while the collector thread may be writing.
  mutable std::mutex tsdb_mutex_;
  std::unique_ptr<tidewell::Connection> tsdb_conn_;
  bool closed_by_stop_ = false;  // guarded by tsdb_mutex_
  std::optional<tidewell::TsdbSettings> tsdb_cfg_;
  std::unordered_map<std::string, std::int64_t> _db_tagname_map;  // guarded by tsdb_mutex_
  // Tags the TSDB did not know, with the clock time of their next lookup; tsdb_mutex_.
  std::unordered_map<std::string, double> missing_tags_;
  DbStatusNotify db_status_notify_;
  TsdbConnectFunc tsdb_connect_;
};

}  // namespace quellin
