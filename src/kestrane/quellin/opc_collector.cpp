#include "quellin/opc_collector.h"

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <spdlog/spdlog.h>

#include "history/backfill_runner.h"
#include "quellin/tag_metadata_job.h"
#include "tsdb_writer.h"

namespace quellin {

namespace {

namespace fs = std::filesystem;

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
          .get_tags_func = o.get_tags_func,
          .tags = std::nullopt,
          .sample_interval = o.sample_interval,
          .batch_size = o.batch_size,
          .status_notify = std::move(o.status_notify),
          .metrics = o.metrics,
          .ua_security = o.ua_security,
          .acquisition = std::move(o.acquisition),
          // With the spool, beside the rows it keeps; else in the working directory.
          .subscription_state_dir =
              o.spool && o.spool->max_bytes > 0 ? o.spool->dir : fs::path("state"),
          .source_factory = o.source_factory,
          .clock = o.clock,
          .sleep = std::move(o.sleep)};
}

}  // namespace

OPCCollector::OPCCollector(Options options)
    : BasePyQARCollectorThread(base_options(options)),
      data_deque_(options.data_deque),
      deque_lock_(options.deque_lock),
      wall_clock_(std::move(options.wall_clock)),
      events_notify_(std::move(options.events_notify)) {
  const bool ua = std::string_view(options.opc_schema).starts_with("opc.tcp://");
  if (ua && options.tsdb_cfg && options.acquisition.read_metadata) {
    metadata_job_ = std::make_unique<TagMetadataJob>(
        TagMetadataJob::Options{.server_schema = options.opc_schema,
                                .ua_security = options.ua_security,
                                .tsdb_cfg = *options.tsdb_cfg,
                                .get_tags_func = options.get_tags_func,
                                .tag_ids = options.tag_ids,
                                .metrics = options.metrics,
                                .metadata_notify = std::move(options.metadata_notify),
                                .restart_check_seconds = 30.0,
                                .source_factory = options.source_factory,
                                .tsdb_connect = options.tsdb_connect});
    // The writer reports each cycle written, spooled or refused: the first one ends the wait.
    options.db_status_notify = [job = metadata_job_.get(),
                                notify = std::move(options.db_status_notify)](bool ok,
                                                                              std::size_t n) {
      job->first_cycle_stored();
      if (notify) notify(ok, n);
    };
  }
  if (options.tsdb_cfg) {
    writer_ = std::make_unique<TsdbWriter>(TsdbWriter::Options{
        .tsdb_cfg = std::move(*options.tsdb_cfg),
        .tsdb_connect = std::move(options.tsdb_connect),
        .db_status_notify = std::move(options.db_status_notify),
        .spool_notify = std::move(options.spool_notify),
        .tag_ids = std::move(options.tag_ids),
        .spool = std::move(options.spool),
        .clock = std::move(options.clock),
        .log = {},
        .metrics = std::move(options.metrics),
        .prepare_connection = std::move(options.prepare_connection),
        // On whichever thread finds a cycle durable, before it counts
        // as kept.
        .record_kept = [this](const std::vector<pyqar::KeptSequence>& k) { record_kept(k); },
        // Events are stored under the sources row of the server read.
        .event_source = {.endpoint = options.opc_schema}});
  }
}

OPCCollector::~OPCCollector() {
  shutdown();
  if (metadata_job_) metadata_job_->stop();
  writer_.reset();
  metadata_job_.reset();
}

void OPCCollector::start() {
  threaded_ = true;
  if (writer_) writer_->start();
  BasePyQARCollectorThread::start();
  if (metadata_job_) metadata_job_->start();
}

void OPCCollector::collection_step() { _process_collection_cycle(); }

void OPCCollector::stop() {
  BasePyQARCollectorThread::stop();
  // The collector thread ends first, so that its last cycle reaches the writer while the
  // writer still writes (or spools) it. A read that hangs is not waited for beyond the bound:
  // a cycle it hands over later goes to the spool.
  if (writer_ && !on_collector_thread() && !join(kCollectorStopSeconds)) {
    log().warn(
        "Stopping: the OPC collector thread has not ended after {:.0f} s; stopping the "
        "writer anyway",
        kCollectorStopSeconds);
  }
  // Before the writer, whose thread may still tell it of a stored cycle (harmless once stopped).
  if (metadata_job_) metadata_job_->stop();
  if (writer_) writer_->stop();
  // What the writer kept while stopping (written, or spooled and synced) is history the next
  // start need not read again; only once the collector thread, the backfill's owner, is gone.
  if (writer_ && backfill() && !is_alive()) {
    backfill()->kept(writer_->kept_through());
    backfill()->stop(nullptr);
  }
}

bool OPCCollector::writer_alive() const { return writer_ && writer_->thread_alive(); }

bool OPCCollector::has_tsdb_conn() const { return writer_ && writer_->has_tsdb_conn(); }

std::uint64_t OPCCollector::spooled_rows() const { return writer_ ? writer_->spooled_rows() : 0; }

bool OPCCollector::_handle_db_error() {
  if (!writer_) {
    log().error("tsdb_cfg not provided; cannot perform database reconnection");
    return false;
  }
  return writer_->_handle_db_error();
}

std::int64_t OPCCollector::wall_now() const {
  if (wall_clock_) return wall_clock_();
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void OPCCollector::handle_data(ResultList& results) { hand_over(results, {}); }

std::uint64_t OPCCollector::handle_changes(ResultList& results,
                                           std::vector<std::int64_t> row_time_us,
                                           std::vector<pyqar::KeptSequence> covers,
                                           std::vector<pyqar::EventRecord> events) {
  return hand_over(results, std::move(row_time_us), std::move(covers), std::move(events));
}

std::uint64_t OPCCollector::kept_through() const {
  // Asked right before acknowledging: what only the spool holds is synced first.
  return writer_ ? writer_->sync_kept() : BasePyQARCollectorThread::kept_through();
}

std::uint64_t OPCCollector::store_history(const std::string& tag,
                                          std::vector<pyqar::ValueObject>& values,
                                          std::vector<std::int64_t> time_us, std::uint64_t seq) {
  if (!writer_)
    return BasePyQARCollectorThread::store_history(tag, values, std::move(time_us), seq);
  WriteCycle cycle{.time_us = wall_now(),
                   .results = _history_results(tag, values),
                   .row_time_us = std::move(time_us),
                   .covers = {},
                   .batch_writer_id = std::string(kHistoryWriterId),
                   .batch_seq = seq};
  if (threaded_) return writer_->submit(std::move(cycle));
  return writer_->write_now(std::move(cycle));
}

bool OPCCollector::history_room() const {
  return !writer_ || !threaded_ || writer_->waiting_cycles() == 0;
}

std::uint64_t OPCCollector::history_kept_through() const {
  return writer_ ? writer_->kept_through() : BasePyQARCollectorThread::history_kept_through();
}

void OPCCollector::exchange_start_edges() {
  if (!writer_ || !backfill()) return;
  std::vector<GapTracker::EdgeRequest> asked = backfill()->take_edge_requests();
  if (!asked.empty()) writer_->ask_edges(std::move(asked));
  for (const TsdbWriter::EdgeAnswer& answer : writer_->take_edge_answers()) {
    backfill()->edges_known(answer.asked, answer.edges);
  }
}

std::uint64_t OPCCollector::hand_over(ResultList& results, std::vector<std::int64_t> row_time_us,
                                      std::vector<pyqar::KeptSequence> covers,
                                      std::vector<pyqar::EventRecord> events) {
  const std::int64_t read_time = wall_now();
  if (!events.empty() && events_notify_) events_notify_(events);
  // A pass that brought events alone has no values for the owner's queue.
  if (!results.empty() || events.empty()) {
    // The write below still needs the results; without it the queue may take them over.
    ResultList item = writer_ ? results : std::move(results);
    if (deque_lock_ != nullptr) {
      std::lock_guard lock(*deque_lock_);
      data_deque_->push_back(std::move(item));
    } else {
      data_deque_->push_back(std::move(item));
    }
  }
  if (!writer_) {
    // Kept once queued.
    record_kept(covers);
    return 0;
  }
  WriteCycle cycle{.time_us = read_time,
                   .results = std::move(results),
                   .row_time_us = std::move(row_time_us),
                   .covers = std::move(covers),
                   .events = std::move(events)};
  const std::uint64_t ticket =
      threaded_ ? writer_->submit(std::move(cycle)) : writer_->write_now(std::move(cycle));
  tell_first_stored(ticket);
  return ticket;
}

void OPCCollector::tell_first_stored(std::uint64_t ticket) {
  if (!metadata_job_ || first_stored_told_) return;
  // A cycle spooled without a write attempt reports no outcome; kept it counts all the same.
  if (first_ticket_ == 0) first_ticket_ = ticket;
  if (writer_->kept_through() >= first_ticket_) {
    first_stored_told_ = true;
    metadata_job_->first_cycle_stored();
  }
}

}  // namespace quellin
