#include "Kestrane/collectioncontrol.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "Kestrane/dbstatusbridge.h"
#include "Kestrane/opcstatusbridge.h"
#include "Kestrane/paginatedtablewidget.h"
#include "quellin/opc_collector.h"

CollectionControl::CollectionControl(PaginatedTableWidget* table,
                                     pyqar::SourceFactory source_factory)
    : table_(table),
      source_factory_(std::move(source_factory)),
      status_bridge_(std::make_unique<OPCStatusBridge>()),
      db_status_bridge_(std::make_unique<DBStatusBridge>()) {}

CollectionControl::~CollectionControl() {
  if (collector_) {
    collector_->stop();
    collector_->join();
  }
}

void CollectionControl::start(const QString& opc_schema, quellin::TagsFunc get_tags_func,
                              const tidewell::TsdbSettings& tsdb_cfg,
                              std::unordered_map<std::string, std::int64_t> tag_ids,
                              std::optional<quellin::SpoolSettings> spool,
                              const pyqar::UaSecurity& ua_security) {
  {
    const std::lock_guard<std::mutex> lock(status_mutex_);
    last_status_.clear();
  }
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
      .tag_ids = std::move(tag_ids),
      .spool = std::move(spool),
      .ua_security = ua_security,
      .source_factory = source_factory_,
  });
  collector_ = std::move(collector);
  collector_->start();
}

void CollectionControl::stop() {
  if (!collector_) return;
  collector_->stop();
  collector_->join();
  collector_.reset();
}

bool CollectionControl::is_alive() const { return collector_ && collector_->is_alive(); }

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
