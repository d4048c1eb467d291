#pragma once
// TagSyncJob: registers the table's tags under a source on a TSDB connection of its own and
// fills their ids into a copy of the rows. Made and read on the GUI thread by TagTasks, run
// once on a BackgroundJob's thread in between.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <unordered_map>

#include "Kestrane/backgroundjob.h"
#include "Kestrane/tablemodel.h"
#include "tidewell/tidewell.h"

struct TagSyncResult {
  bool cancelled = false;
  TableRows rows;  // the rows given, DBID filled for every registered tag
  std::size_t created = 0;
  std::size_t updated = 0;
  std::size_t failed = 0;
  // Every registered tag's id, by name: the collector starts with them.
  std::unordered_map<std::string, std::int64_t> tag_ids;
};

class TagSyncJob {
 public:
  // Tags registered per request; between requests a cancel is seen and progress reported.
  static constexpr std::size_t kRegistrationChunk = 10000;

  TagSyncJob(tidewell::TsdbSettings settings, std::int64_t source_id, TableRows rows,
             tidewell::ConnectFunc connect = {});

  // On the job's thread. Throws what the TSDB client throws (the BackgroundJob keeps it);
  // a tag the database refuses is logged and counted, and the others still register.
  void run(const JobContext& context);
  const TagSyncResult& result() const { return result_; }

 private:
  tidewell::TsdbSettings settings_;
  std::int64_t source_id_;
  tidewell::ConnectFunc connect_;
  TagSyncResult result_;
};
