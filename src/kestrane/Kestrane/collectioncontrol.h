#pragma once
// CollectionControl: one OPCCollector's life, its queue and the row lock; merges readings into
// the rows and notices a collector that ended by itself. A stop runs on a background job, so
// that a hanging database never freezes the window. Owned by MainWidget; GUI thread only,
// except current_tags() and the notification callbacks, which the collector thread calls.

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Kestrane/resultmerger.h"
#include "Kestrane/tablemodel.h"
#include "pyqar/qar_library.h"
#include "pyqar/ua_security.h"
#include "quellin/acquisition_options.h"
#include "quellin/backfill_progress.h"
#include "quellin/collector_hooks.h"
#include "quellin/result_queue.h"
#include "quellin/write_settings.h"
#include "tidewell/types.h"

class BackgroundJob;
class DBStatusBridge;
class MetadataBridge;
class OPCStatusBridge;
class PaginatedTableWidget;

namespace quellin {
class OPCCollector;
}

class CollectionControl {
 public:
  // Readings per library read, and the sample interval in seconds.
  static constexpr int kBatchSize = 200;
  static constexpr double kSampleInterval = 1.0;

  // `source_factory` opens the collector's OPC sources; empty means the OPC library's own.
  explicit CollectionControl(PaginatedTableWidget* table, pyqar::SourceFactory source_factory = {});
  // Stops a running collector and waits for its thread.
  ~CollectionControl();
  CollectionControl(const CollectionControl&) = delete;
  CollectionControl& operator=(const CollectionControl&) = delete;

  // Builds and starts the collector (its construction opens its own TSDB connection and
  // checks the schema; what it throws passes on). `tag_ids` are the registered tags' ids;
  // `ua_security` is how an OPC UA server is connected to; `prepare_connection`, when set,
  // registers the source and tags on the writer's first connection (see TsdbWriter);
  // `acquisition` is read or subscribe, with the per-tag settings.
  void start(const QString& opc_schema, quellin::TagsFunc get_tags_func,
             const tidewell::TsdbSettings& tsdb_cfg,
             std::unordered_map<std::string, std::int64_t> tag_ids = {},
             std::optional<quellin::SpoolSettings> spool = std::nullopt,
             const pyqar::UaSecurity& ua_security = {},
             quellin::PrepareConnectionFunc prepare_connection = {},
             quellin::AcquisitionOptions acquisition = {});
  // Where each cycle's events go (collector thread) when the acquisition collects events;
  // for the collectors started from now on.
  void set_events_notify(quellin::EventsNotify events_notify);
  // Stops the collector and waits for its thread on the caller's thread, without a time limit
  // (at exit).
  void stop();
  // Starts stopping the collector on a background job and returns at once; `on_stopped` runs
  // on the GUI thread once the collector has stopped and is gone. Nothing while stopping.
  void begin_stop(std::function<void()> on_stopped);
  // Whether a stop begun by begin_stop() still runs.
  bool is_stopping() const;
  bool is_alive() const;
  quellin::OPCCollector* collector() const { return collector_.get(); }
  // How far the running collector's history backfill has come; nothing runs without a live
  // collector (also while one is being stopped).
  quellin::BackfillProgress backfill_progress() const;

  // When the collector's thread has ended without a stop: releases it and returns the last
  // status it reported (its reason, as far as it told one). Otherwise nullopt.
  std::optional<QString> take_ended_collector();

  // One timer tick: takes every queued batch and merges them into the rows, oldest first,
  // then refreshes the shown page in place. A tick without batches changes nothing.
  void process_queue();
  // results: [(tag, val, qual, ts), ...]
  void merge_results(const quellin::ResultList& results, TableRows& all_data);
  // The tag names of the rows, in table order; the collector thread calls it every cycle.
  std::vector<std::string> current_tags();
  void clear_queue();

  quellin::ResultQueue& data_deque() { return data_deque_; }
  std::mutex& deque_lock() { return deque_lock_; }
  std::recursive_mutex& data_lock() { return data_lock_; }
  OPCStatusBridge* status_bridge() const { return status_bridge_.get(); }
  DBStatusBridge* db_status_bridge() const { return db_status_bridge_.get(); }
  // Where the tags' units and ranges arrive; its notify_func() is the metadata reader's hook.
  MetadataBridge* metadata_bridge() const { return metadata_bridge_.get(); }

 private:
  PaginatedTableWidget* table_;
  pyqar::SourceFactory source_factory_;
  quellin::ResultQueue data_deque_{300};
  std::mutex deque_lock_;           // guards data_deque_ only
  std::recursive_mutex data_lock_;  // guards the table rows (table_->all_data()) only
  ResultMerger merger_;             // used under data_lock_

  std::unique_ptr<OPCStatusBridge> status_bridge_;
  std::unique_ptr<DBStatusBridge> db_status_bridge_;
  std::unique_ptr<MetadataBridge> metadata_bridge_;
  quellin::EventsNotify events_notify_;
  // The collector thread reports into last_status_; the GUI thread reads it when that
  // thread has ended, possibly before the queued status signal has arrived.
  std::mutex status_mutex_;
  std::string last_status_;  // guarded by status_mutex_
  // Declared after everything it borrows (queue, locks, bridges), so it goes first.
  std::unique_ptr<quellin::OPCCollector> collector_;
  // Runs a stop (and the collector's destruction); waited for before anything it borrows goes.
  std::unique_ptr<BackgroundJob> stop_job_;
  std::function<void()> on_stopped_;  // for the stop under way
};
