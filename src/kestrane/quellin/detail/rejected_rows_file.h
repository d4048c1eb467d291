#pragma once
// RejectedRowsFile: where rows go that the database refused while it was up (a request error,
// not a lost connection). Such rows are never retried; they are appended, with the server's
// error text, to a daily text file in the spool folder for an operator to inspect:
//   rejected-YYYY-MM-DD.csv, one "# <UTC time> <error>" line per batch, then one
//   "<UTC read time>,<tag>,<value>,<quality>,<text>,<status>,<source time>" line per row
//   (texts quoted as in a CSV file; the read time is the row's own when it has one; value
//   empty for a text; status as 0x%08X; source time to the microsecond; each of the last three
//   empty when the row has none). The first four columns are those of older files.
// Owned by the writer; one thread at a time.

#include <filesystem>
#include <string>

#include "spool/spool.h"
// Kept reachable from here: the writer names batch times in its log lines the same way.
#include "utc_text.h"

namespace quellin {

class RejectedRowsFile {
 public:
  explicit RejectedRowsFile(std::filesystem::path dir);
  // Appends the batch; returns false (and the reason in `error`) when the file cannot be written.
  bool append(const SpoolBatch& batch, const std::string& reason, std::string& error);

 private:
  std::filesystem::path dir_;
};

}  // namespace quellin
