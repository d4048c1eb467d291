#pragma once
// ScriptedTsdb: a TSDB for tests of the collector. Knows a fixed set of tags, records every
// call, and fails writes, pings, lookups and reconnects on request. One thread at a time,
// except abort(), which calls on_abort from the aborting thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quellin/collector_hooks.h"
#include "tidewell/connection.h"

namespace quellin_test {

struct WrittenRow {
  std::int64_t tag_id;
  double value;
  std::string quality;
  std::int64_t time_us = 0;  // 0: written without a time of its own
  std::optional<std::string> text{};
  std::optional<std::uint32_t> status{};
  std::optional<std::int64_t> source_time_us{};
};

struct ScriptedTsdb {
  std::map<std::string, std::int64_t> tags;  // tag name -> id
  bool write_throws = false;
  // The rows are stored and the batch recorded, then the acknowledgement is lost.
  bool write_commits_then_throws = false;
  // The database refuses the rows themselves (a value it cannot store).
  bool write_rejected = false;
  // Runs at the start of every batch write (a slow or hanging database in thread tests).
  std::function<void()> before_write;
  // Runs when a connection is aborted, on the aborting thread (to release a hanging write).
  std::function<void()> on_abort;
  // abort() does nothing: a request that cannot be cancelled (it commits once released).
  bool ignore_abort = false;
  // Throws from every batch write a std::logic_error, an error the writer does not expect.
  bool write_throws_unexpected = false;
  bool write_success = true;
  bool ping_answer = true;
  bool ping_throws = false;
  bool get_tag_throws = false;
  bool close_throws = false;
  std::vector<bool> connect_results;  // consumed front first; true when empty
  bool connect_throws = false;

  int connects = 0;  // attempts
  int closes = 0;
  int pings = 0;
  int get_tag_calls = 0;
  int write_calls = 0;
  std::size_t last_stored_asked = 0;                        // tags asked what they stored last
  std::vector<std::vector<WrittenRow>> writes;              // rows of each successful write call
  std::vector<tidewell::EventRow> events;                   // events of every stored batch
  std::set<std::pair<std::string, std::uint64_t>> batches;  // identities stored
  int duplicates = 0;
  std::vector<std::int64_t> prune_cutoffs;  // older_than_us of each prune_write_batches chunk
  bool used_after_close = false;

  quellin::TsdbConnectFunc connect_func(std::shared_ptr<ScriptedTsdb> self);
};

class ScriptedConnection : public tidewell::Connection {
 public:
  explicit ScriptedConnection(std::shared_ptr<ScriptedTsdb> db) : db_(std::move(db)) {}

  void close() override {
    ++db_->closes;
    closed_ = true;
    if (db_->close_throws) throw tidewell::DatabaseError("close failed");
  }
  void abort() noexcept override {
    if (db_->ignore_abort) return;
    aborted_ = true;
    if (db_->on_abort) db_->on_abort();
  }
  bool ping() override {
    ++db_->pings;
    if (db_->ping_throws) throw tidewell::DatabaseError("ping exploded");
    return !closed_ && db_->ping_answer;
  }
  std::vector<tidewell::SourceInfo> get_sources(const tidewell::SourceFilter&) override {
    throw std::logic_error("not used by the collector");
  }
  tidewell::OperationResult<tidewell::SourceInfo> insert_new_source(
      tidewell::SourceInfo&) override {
    throw std::logic_error("not used by the collector");
  }
  std::optional<tidewell::TagInfo> get_tag(const std::string& tag_name) override {
    check_open();
    ++db_->get_tag_calls;
    if (db_->get_tag_throws) throw tidewell::DatabaseError("tag lookup failed");
    const auto it = db_->tags.find(tag_name);
    if (it == db_->tags.end()) return std::nullopt;
    tidewell::TagInfo info;
    info.tag_name = tag_name;
    info.tag_id = it->second;
    return info;
  }
  tidewell::OperationResult<tidewell::TagInfo> insert_new_tag(const tidewell::TagInfo&) override {
    throw std::logic_error("not used by the collector");
  }
  tidewell::OperationResult<tidewell::TagInfo> update_tag_fields(
      const std::string&, const tidewell::TagFields&) override {
    throw std::logic_error("not used by the collector");
  }
  tidewell::WriteResult write_tsdata(std::span<const std::int64_t> tag_ids,
                                     std::span<const double> values,
                                     std::span<const std::string> qualities) override {
    if (db_->before_write) db_->before_write();
    check_open();
    ++db_->write_calls;
    if (db_->write_throws) throw tidewell::DatabaseError("server closed the connection");
    if (!db_->write_success) return {false, 0};
    std::vector<WrittenRow> rows;
    for (std::size_t i = 0; i < tag_ids.size(); ++i) {
      rows.push_back({tag_ids[i], values[i], qualities[i]});
    }
    db_->writes.push_back(rows);
    return {true, rows.size()};
  }
  tidewell::WriteResult write_batch(const tidewell::BatchId& batch, std::int64_t time_us,
                                    std::span<const std::int64_t> tag_ids,
                                    std::span<const double> values,
                                    std::span<const std::string> qualities) override {
    std::vector<tidewell::TsdataRow> rows;
    for (std::size_t i = 0; i < tag_ids.size(); ++i) {
      rows.push_back({.time_us = time_us,
                      .tag_id = tag_ids[i],
                      .value = values[i],
                      .text = std::nullopt,
                      .quality = qualities[i],
                      .status = std::nullopt,
                      .source_time_us = std::nullopt});
    }
    return write_rows(batch, rows, {});
  }
  // Texts and per-row times, as the drivers store them; one call per batch.
  tidewell::WriteResult write_rows(const tidewell::BatchId& batch,
                                   std::span<const tidewell::TsdataRow> rows,
                                   std::span<const tidewell::EventRow> events) override {
    if (db_->before_write) db_->before_write();
    check_open();
    ++db_->write_calls;
    if (db_->write_throws_unexpected) throw std::logic_error("the writer's own fault");
    if (db_->write_throws) throw tidewell::DatabaseError("server closed the connection");
    if (db_->write_rejected) {
      throw tidewell::RequestRejected("value out of range for type double precision");
    }
    if (!db_->write_success) return {false, 0};
    if (!db_->batches.insert({batch.writer_id, batch.seq}).second) {
      ++db_->duplicates;
      return {true, 0, true};
    }
    std::vector<WrittenRow> written;
    std::size_t texts = 0;
    for (const tidewell::TsdataRow& row : rows) {
      written.push_back({row.tag_id, row.value, row.quality, row.time_us, row.text, row.status,
                         row.source_time_us});
      if (row.text) ++texts;
    }
    db_->writes.push_back(written);
    db_->events.insert(db_->events.end(), events.begin(), events.end());
    if (db_->write_commits_then_throws) {
      throw tidewell::DatabaseError("server closed the connection unexpectedly");
    }
    return {true, written.size(), false, texts, events.size()};
  }
  // Nothing stored before: every tag starts without a row.
  std::vector<tidewell::LastStored> last_stored(
      std::span<const tidewell::LastStoredQuery> queries) override {
    check_open();
    db_->last_stored_asked += queries.size();
    return {};
  }
  std::size_t prune_write_batches(std::int64_t older_than_us, std::size_t) override {
    check_open();
    db_->prune_cutoffs.push_back(older_than_us);
    return 0;
  }

 private:
  void check_open() {
    if (aborted_) {
      closed_ = true;
      throw tidewell::DatabaseError("the request was aborted");
    }
    if (closed_) {
      db_->used_after_close = true;
      throw tidewell::DatabaseError("connection is closed");
    }
  }

  std::shared_ptr<ScriptedTsdb> db_;
  bool closed_ = false;
  std::atomic<bool> aborted_{false};
};

inline quellin::TsdbConnectFunc ScriptedTsdb::connect_func(std::shared_ptr<ScriptedTsdb> self) {
  return [self](const tidewell::TsdbSettings&) -> std::unique_ptr<tidewell::Connection> {
    ++self->connects;
    if (self->connect_throws) throw tidewell::DatabaseError("cannot reach 127.0.0.1:5432");
    bool ok = true;
    if (!self->connect_results.empty()) {
      ok = self->connect_results.front();
      self->connect_results.erase(self->connect_results.begin());
    }
    if (!ok) return nullptr;
    return std::make_unique<ScriptedConnection>(self);
  };
}

}  // namespace quellin_test
