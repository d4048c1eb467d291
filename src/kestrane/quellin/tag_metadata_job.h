#pragma once
// TagMetadataJob: reads what an OPC UA server says of every tag (data type, unit, range,
// description, access level) on a session of its own, beside collection, and stores it in the
// tags' rows: once at start, and again whenever the server's start time shows it restarted.
// Changes after the first read are logged per tag; tags whose variable cannot be read keep
// NULLs, with one summary WARNING. It waits for the first stored cycle before asking, so
// collection's start is never delayed, and retries with backoff when the server or the
// database fail. The owner creates, starts and stops it from one thread; the work runs on a
// thread of its own.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pyqar/qar_library.h"
#include "pyqar/ua_security.h"
#include "quellin/collector_hooks.h"
#include "quellin/collector_metrics.h"
#include "tidewell/types.h"

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
  void run();

  Options options_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool go_ = false;
  std::atomic<bool> stopping_{false};
};

}  // namespace quellin
