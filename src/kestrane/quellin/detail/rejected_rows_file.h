#pragma once
// RejectedRowsFile: where rows go that the database refused while it was up (a request error,
// not a lost connection). Such rows are never retried; they are appended, with the server's
// error text, to a daily text file in the spool folder for an operator to inspect:
//   rejected-YYYY-MM-DD.csv, one "# <UTC time> <error>" line per batch, then one
//   "<UTC read time>,<tag>,<value>,<quality>,<text>,<status>,<source time>" line per row
//   (texts quoted as in a CSV file; the read time is the row's own when it has one; value
//   empty for a text; status as 0x%08X; source time to the microsecond; each of the last three
//   empty when the row has none). The first four columns are those of older files. Then one
//   "event,<UTC event time>,<source name>,<event id in hex>,<severity>,<message>,<fields>" line
//   per event of the batch (the fields the JSON object stored in `events`; texts quoted as in
//   a CSV file; the time to the microsecond).
// Each batch is synced (and a new day's file its folder entry) before append() returns, so
// that a cycle counts as kept only once its rows would survive a power cut. Every file-system
// call goes through the spool's SpoolEnv. Owned by the writer; one thread at a time.

#include <filesystem>
#include <memory>
#include <string>

#include "spool/spool.h"
#include "spool/spool_env.h"
#include "spool/spool_file.h"
// Kept reachable from here: the writer names batch times in its log lines the same way.
#include "utc_text.h"

namespace quellin {

class RejectedRowsFile {
 public:
  // env null: the real file system.
  RejectedRowsFile(std::filesystem::path dir, std::shared_ptr<SpoolEnv> env);
  // Appends the batch and syncs it; returns false (and the reason in `error`) when the file
  // cannot be written or synced.
  bool append(const SpoolBatch& batch, const std::string& reason, std::string& error);

 private:
  std::filesystem::path dir_;
  std::shared_ptr<SpoolEnv> env_;
  // The day's file, kept open between batches; dropped after a failure, so that the next
  // batch opens it again (a second sync of a file whose sync failed proves nothing).
  std::unique_ptr<SpoolFile> file_;
  std::filesystem::path file_path_;
  bool folder_synced_ = false;  // the open file's folder entry is durable
};

}  // namespace quellin
