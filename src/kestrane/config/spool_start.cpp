#include "config/spool_start.h"

namespace kestrane_config {

SpoolStart::SpoolStart(SpoolConfig spool, bool start_without_tsdb)
    : spool_(std::move(spool)), start_without_tsdb_(start_without_tsdb) {}

std::optional<quellin::SpoolSettings> SpoolStart::settings() const {
  if (spool_.max_mb == 0) return std::nullopt;
  return quellin::SpoolSettings{spool_.dir, spool_.max_mb << 20};
}

bool SpoolStart::may_go_without(const quellin::SpoolInUseError& error, spdlog::logger& log) const {
  // A folder the user named is meant to be this program's alone, and start_without_tsdb cannot
  // keep its rows without one: both stay failures the operator has to settle.
  if (spool_.dir_configured || start_without_tsdb_) return false;
  log.warn(
      "{}: another program holds its lock; running without the spool: rows that cannot be "
      "written are dropped (set spool_dir in [{}] to a folder of this program's own to keep them)",
      error.what(), kConsoleSection);
  return true;
}

void SpoolStart::warn_collecting_without_tsdb(spdlog::logger& log) const {
  log.warn(
      "The TSDB cannot be reached; collecting anyway (start_without_tsdb = true): rows wait "
      "in the spool ({}) and are written once the database answers and the source and tags "
      "are registered",
      spool_.dir);
}

}  // namespace kestrane_config
