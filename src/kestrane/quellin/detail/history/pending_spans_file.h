#pragma once
// PendingSpansFile: the spans of history a collector has still to read, on disk, so that a
// backfill cut short by a stop, a crash or a broken connection goes on at the next start where
// it stood (and not from the last stored time, which live values have moved on). One text file,
// backfill.pending, replaced whole with journel's atomic write (synced), beside the spool or in
// the state folder. The first line names the server; each further line is one span:
//   <low> <high> <done above> <low edge> <high edge> <stored inside> <tag>
// (times in UTC microseconds; edges as comma-separated hex fingerprints, "-" for none; rows
// stored live inside the span as comma-separated <time>:<hex fingerprint>, "-" for none; the tag
// with every byte outside printable ASCII, a space or '%' written as %XX). One thread.

#include <filesystem>
#include <string>
#include <vector>

#include "history_span.h"

namespace quellin {

class PendingSpansFile {
 public:
  static constexpr const char* kName = "backfill.pending";

  // The folder is created on the first save.
  PendingSpansFile(std::filesystem::path dir, std::string endpoint);

  // What the previous run left; nothing without a file, and nothing with a WARNING naming the
  // file and the reason when it does not parse or belongs to another server.
  std::vector<HistorySpan> load() const;
  // Throws journel::AtomicWriteError (a std::system_error) naming the file, or
  // std::filesystem::filesystem_error when the folder cannot be made. No span left: the file
  // is removed.
  void save(const std::vector<HistorySpan>& spans) const;

  std::filesystem::path path() const { return dir_ / kName; }

 private:
  std::filesystem::path dir_;
  std::string endpoint_;
};

}  // namespace quellin
