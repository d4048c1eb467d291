#pragma once
// TagMetadataJob: reads what an OPC UA server says of every tag (data type, unit, range,
// description, access level) on a session of its own, beside collection, and stores it in the
// tags' rows: once at start, and again whenever the server's start time shows it restarted.
// Changes after the first read are logged per tag; tags whose variable cannot be read keep
// NULLs, with one summary WARNING. It waits for the first stored cycle before asking, so
// collection's start is never delayed, and retries with backoff when the server or the
// database fail. The owner creates, starts and stops it from one thread; the work runs on a
// thread of its own.
// A tag whose metadata cannot be read is not written: it keeps what an earlier read stored,
// NULLs if none ever did. Read results the database cannot take wait (one entry per tag) and
// are written at the next attempt, so a database outage loses nothing and holds no more than
// one read's worth.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pyqar/qar_library.h"
#include "pyqar/ua_security.h"
#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

namespace spdlog {
class logger;
}

namespace quellin {

class TagMetadataJob {
 public:
  struct Options {
    std::string server_schema{};  // "opc.tcp://host:port"
    pyqar::UaSecurity ua_security{};
    tidewell::TsdbSettings tsdb_cfg{};
    // Returns the tag names of the list ("ns=2;s=Demo.Temperature" or "2:Demo.Temperature"
    // as the tag list writes them); asked at each read.
    TagsFunc get_tags_func{};
    // Tag ids already known by name; the others are looked up in the database.
    std::unordered_map<std::string, std::int64_t> tag_ids{};
    std::shared_ptr<CollectorMetrics> metrics{};
    MetadataNotify metadata_notify{};
    // How often the server's start time is checked for a restart.
    double restart_check_seconds = 30.0;
    // Seams for tests; empty means the real OPC library and TSDB client.
    pyqar::SourceFactory source_factory{};
    TsdbConnectFunc tsdb_connect{};
  };
  explicit TagMetadataJob(Options options);
  // Stops and joins.
  ~TagMetadataJob();
  TagMetadataJob(const TagMetadataJob&) = delete;
  TagMetadataJob& operator=(const TagMetadataJob&) = delete;

  // Starts the thread, which waits for first_cycle_stored() before it reads. At most once.
  void start();
  // The collector stored its first cycle: the reads may begin. Any thread.
  void first_cycle_stored();
  // Ends within a few seconds (a read under way is abandoned); idempotent. Owner's thread.
  void stop();

 private:
  // A tag's metadata read but not stored yet.
  struct Unstored {
    pyqar::VariableMetadata metadata;
    std::int64_t time_us = 0;
  };

  void run();
  // Waits until stop() or `seconds` have passed; false when stopping.
  bool wait_for(double seconds);
  // Throws std::runtime_error when the server cannot be reached.
  void open_source();
  void close_source();
  // The server's start time as read, or nothing when it does not tell it.
  std::optional<pyqar::Value> server_start_time();
  // Reads every tag's metadata and stores it; false when stopped midway. Throws
  // std::runtime_error when the connection fails.
  bool read_all();
  // Stores what waits in unstored_; false when the database failed (it waits for a retry).
  bool store();
  void log_change(const std::string& tag, const tidewell::TagMetadataChange& change) const;

  Options options_;
  std::shared_ptr<spdlog::logger> log_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool go_ = false;
  std::atomic<bool> stopping_{false};

  // The metadata thread's own.
  std::unique_ptr<pyqar::QARLibrary> qar_;
  std::optional<pyqar::SourceHandle> source_;
  std::unique_ptr<tidewell::Connection> conn_;
  std::map<std::string, Unstored> unstored_;  // by tag name; one entry per tag at most
  std::unordered_set<std::string> stored_;    // tags whose metadata this job stored
  std::size_t tags_listed_ = 0;
  bool db_failing_ = false;
  double db_retry_at_ = 0.0;  // steady seconds
  double db_backoff_ = 0.0;
};

}  // namespace quellin
