#pragma once
// TagImportJob: reads, checks and looks up a tag list (on a TSDB connection of its own) and
// builds the table rows, off the GUI thread. The list comes from a CSV file or, already
// checked, from browsing a server. Made and read on the GUI thread by TagTasks,
// run once on a BackgroundJob's thread in between.

#include <QString>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Kestrane/backgroundjob.h"
#include "Kestrane/tablemodel.h"
#include "config/tag_csv.h"
#include "tidewell/tidewell.h"

struct TagImportResult {
  enum class Outcome {
    kImported,        // rows holds one row per tag
    kCancelled,       // the operator cancelled; nothing to apply
    kMissingColumns,  // the header lacks FullTagName or Description
    kNoTags,          // no row with a tag name
    kFailed,          // message holds the error (unreadable file, database error, ...)
  };
  Outcome outcome = Outcome::kFailed;
  TableRows rows{};
  QString message{};
  // The database could not be reached and the job was allowed to go on without it: every
  // id is empty until the tags are registered.
  bool ids_pending = false;
  // The entries that carry their own subscription settings (SamplingInterval, Deadband).
  std::vector<kestrane_config::TagEntry> tuned_tags{};
};

class TagImportJob {
 public:
  // Names looked up per request: large enough to cost few round trips, small enough that a
  // cancel and the progress bar answer within a fraction of a second.
  static constexpr std::size_t kLookupChunk = 5000;
  // Lines named in a message or warning; the rest are counted.
  static constexpr std::size_t kListedProblems = 5;

  TagImportJob(std::filesystem::path path, tidewell::TsdbSettings settings,
               tidewell::ConnectFunc connect = {});
  // Entries found by browsing: distinct names, each short enough for a tag name.
  TagImportJob(std::vector<kestrane_config::TagEntry> tags, tidewell::TsdbSettings settings,
               tidewell::ConnectFunc connect = {});

  // With it set (start_without_tsdb), a database that cannot be reached leaves every id
  // empty (ids_pending) instead of failing the import.
  void set_tolerate_unreachable(bool tolerate) { tolerate_unreachable_ = tolerate; }

  // On the job's thread; never throws: every failure becomes the result.
  void run(const JobContext& context);
  const TagImportResult& result() const { return result_; }

 private:
  void import(const JobContext& context);
  // The file's entries, one per row with a name, repeated names included; false when they
  // cannot be imported (result_ then says why).
  bool read_file(std::vector<kestrane_config::TagEntry>& tags);
  // Tag ids of the stored ones among `names`, by name; empty when cancelled half-way.
  bool look_up_ids(const std::vector<std::string>& names, const JobContext& context,
                   std::unordered_map<std::string, std::int64_t>& ids);

  std::filesystem::path path_;
  std::optional<std::vector<kestrane_config::TagEntry>> given_;
  tidewell::TsdbSettings settings_;
  tidewell::ConnectFunc connect_;
  bool tolerate_unreachable_ = false;
  bool ids_pending_ = false;
  TagImportResult result_;
};
