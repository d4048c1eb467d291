#include "Kestrane/collectioncontrol.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "Kestrane/backgroundjob.h"
#include "Kestrane/dbstatusbridge.h"
#include "Kestrane/metadatabridge.h"
#include "Kestrane/opcstatusbridge.h"
#include "Kestrane/paginatedtablewidget.h"
#include "quellin/opc_collector.h"

CollectionControl::CollectionControl(PaginatedTableWidget* table,
                                     pyqar::SourceFactory source_factory)
    : table_(table),
      source_factory_(std::move(source_factory)),
      status_bridge_(std::make_unique<OPCStatusBridge>()),
      db_status_bridge_(std::make_unique<DBStatusBridge>()),
      metadata_bridge_(std::make_unique<MetadataBridge>()),
      stop_job_(std::make_unique<BackgroundJob>()) {
  // The job's object lives on the GUI thread, so this runs there, queued after the stop.
  QObject::connect(stop_job_.get(), &BackgroundJob::finished, stop_job_.get(), [this] {
    if (auto done = std::exchange(on_stopped_, nullptr)) done();
  });
}

CollectionControl::~CollectionControl() {
  stop_job_->wait();
  if (collector_) {
    collector_->stop();
    collector_->join();
  }
}

void CollectionControl::start(const QString& opc_schema, quellin::TagsFunc get_tags_func,
                              const tidewell::TsdbSettings& tsdb_cfg,
                              std::unordered_map<std::string, std::int64_t> tag_ids,
                              std::optional<quellin::SpoolSettings> spool,
                              const pyqar::UaSecurity& ua_security,
                              quellin::PrepareConnectionFunc prepare_connection,
                              quellin::AcquisitionOptions acquisition) {
  {
    const std::lock_guard<std::mutex> lock(status_mutex_);
    last_status_.clear();
  }
  {
    // A subscribing collector hands over only what changed: the others keep their values.
    const std::lock_guard<std::recursive_mutex> lock(data_lock_);
    merger_.set_keep_missing(acquisition.mode == pyqar::Acquisition::subscribe);
  }
  // Without notifiers there are no events to show, and the collector need not look for any.
  quellin::EventsNotify events_notify =
      acquisition.events.enabled() ? events_notify_ : quellin::EventsNotify{};
  OPCStatusBridge* status_bridge = status_bridge_.get();
  DBStatusBridge* db_status_bridge = db_status_bridge_.get();
  auto collector = std::make_unique<quellin::OPCCollector>(quellin::OPCCollector::Options{
      .opc_schema = opc_schema.toStdString(),
      .get_tags_func = std::move(get_tags_func),
      .data_deque = &data_deque_,
      .deque_lock = &deque_lock_,
      .tsdb_cfg = tsdb_cfg,
      .sample_interval = kSampleInterval,
      .batch_size = kBatchSize,
      .status_notify =
          [this, status_bridge](const std::string& text) {
            {
              const std::lock_guard<std::mutex> lock(status_mutex_);
              last_status_ = text;
            }
            emit status_bridge->status_changed(QString::fromStdString(text));
          },
      .db_status_notify =
          [db_status_bridge](bool success, std::size_t count) {
            emit db_status_bridge->db_write_status(
                success, static_cast<int>(std::min<std::size_t>(count, INT_MAX)));
          },
      .spool_notify = [db_status_bridge](
                          std::uint64_t rows,
                          bool replaying) { emit db_status_bridge->spool_status(rows, replaying); },
      .events_notify = std::move(events_notify),
      .metadata_notify = metadata_bridge_->notify_func(),
      .tag_ids = std::move(tag_ids),
      .prepare_connection = std::move(prepare_connection),
      .spool = std::move(spool),
      .ua_security = ua_security,
      .acquisition = std::move(acquisition),
      .source_factory = source_factory_,
  });
  collector_ = std::move(collector);
  collector_->start();
}

void CollectionControl::set_events_notify(quellin::EventsNotify events_notify) {
  events_notify_ = std::move(events_notify);
}

void CollectionControl::stop() {
  if (is_stopping()) {
    // At exit: the stop under way ends here, and nobody is told any more.
    stop_job_->wait();
    on_stopped_ = nullptr;
  }
  if (!collector_) return;
  collector_->stop();
  collector_->join();
  collector_.reset();
}

void CollectionControl::begin_stop(std::function<void()> on_stopped) {
  if (!collector_ || is_stopping()) return;
  // The job owns the collector from here: its stop (bounded, see OPCCollector::stop()) and its
  // destruction, which waits for a writer left behind, both stay off the GUI thread.
  std::shared_ptr<quellin::OPCCollector> collector(std::move(collector_));
  on_stopped_ = std::move(on_stopped);
  stop_job_->start([collector](const JobContext&) mutable {
    collector->stop();
    collector->join();
    collector.reset();
  });
}

bool CollectionControl::is_stopping() const { return stop_job_->is_running(); }

bool CollectionControl::is_alive() const { return collector_ && collector_->is_alive(); }

quellin::BackfillProgress CollectionControl::backfill_progress() const {
  if (!is_alive()) return {};
  return collector_->backfill_progress();
}

std::optional<QString> CollectionControl::take_ended_collector() {
  if (!collector_ || collector_->is_alive()) return std::nullopt;
  collector_->join();
  collector_.reset();
  const std::lock_guard<std::mutex> lock(status_mutex_);
  return QString::fromStdString(last_status_);
}

void CollectionControl::process_queue() {
  std::vector<quellin::ResultList> batches;
  {
    const std::lock_guard<std::mutex> lock(deque_lock_);
    batches = data_deque_.take_all();
  }
  if (batches.empty()) return;
  const std::lock_guard<std::recursive_mutex> lock(data_lock_);
  TableRows& all_data = table_->all_data();
  for (const quellin::ResultList& batch : batches) merge_results(batch, all_data);
  table_->set_data(all_data, true, true);
}

void CollectionControl::merge_results(const quellin::ResultList& results, TableRows& all_data) {
  merger_.merge(results, all_data);
}

std::vector<std::string> CollectionControl::current_tags() {
  const std::lock_guard<std::recursive_mutex> lock(data_lock_);
  const TableRows& rows = table_->all_data();
  std::vector<std::string> tags;
  tags.reserve(static_cast<std::size_t>(rows.size()));
  for (const TableRow& row : rows) {
    tags.push_back(row.size() > ResultMerger::kTagNameColumn
                       ? row[ResultMerger::kTagNameColumn].toString().toStdString()
                       : std::string());
  }
  return tags;
}

void CollectionControl::clear_queue() {
  const std::lock_guard<std::mutex> lock(deque_lock_);
  data_deque_.clear();
}
