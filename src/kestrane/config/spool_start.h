#pragma once
// SpoolStart: how both programs start a collector with the spool of [Kestrane]: the collector's
// spool settings worked out from spool_dir and spool_max_mb, the build of the collector that
// goes on without the spool when another program holds the default folder, and the warnings
// said on the way. Made from what the configuration readers gave, at each start; one thread.

#include <optional>
#include <utility>

#include <spdlog/logger.h>

#include "config/console_config.h"
#include "quellin/spool_in_use_error.h"
#include "quellin/write_settings.h"

namespace kestrane_config {

class SpoolStart {
 public:
  // `spool` as read_spool_settings() gave it, `start_without_tsdb` as read_start_without_tsdb()
  // did.
  SpoolStart(SpoolConfig spool, bool start_without_tsdb);

  // The collector's spool: the folder and its size in bytes; nothing while the spool is off.
  std::optional<quellin::SpoolSettings> settings() const;

  // Returns build(settings()). When that throws quellin::SpoolInUseError for the default folder
  // (no spool_dir) and start_without_tsdb does not need the spool, warns once on `log` and
  // returns build(nullopt): a configuration that never asked for a spool still starts, as it
  // does when the default folder cannot be made. Every other error goes to the caller, the lock
  // of a spool_dir the user named or of a spool start_without_tsdb needs included.
  template <typename Build>
  auto build_collector(Build&& build, spdlog::logger& log) const {
    try {
      return build(settings());
    } catch (const quellin::SpoolInUseError& error) {
      if (!may_go_without(error, log)) throw;
    }
    return build(std::optional<quellin::SpoolSettings>{});
  }

  // The warning of a start that collects while the TSDB cannot be reached (start_without_tsdb):
  // rows wait in the spool until the source and tags are registered.
  void warn_collecting_without_tsdb(spdlog::logger& log) const;

 private:
  // Whether the collector may go on without the spool `error` refused; warns when it may.
  bool may_go_without(const quellin::SpoolInUseError& error, spdlog::logger& log) const;

  SpoolConfig spool_;
  bool start_without_tsdb_;
};

}  // namespace kestrane_config
