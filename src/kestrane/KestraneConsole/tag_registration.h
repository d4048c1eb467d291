#pragma once
// Registration of the console's data source and of every listed tag in the TSDB, before
// collection starts. Free functions; each call opens, uses and closes its own connection,
// on the caller's thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/logger.h>

#include "KestraneConsole/tag_csv.h"
#include "tidewell/connection.h"
#include "tidewell/types.h"

namespace kestrane_console {

inline constexpr char kConsoleSourceName[] = "console_kestrane";

// Opens a TSDB connection; nullptr means the server could not be reached.
using ConnectFunc =
    std::function<std::unique_ptr<tidewell::Connection>(const tidewell::TsdbSettings&)>;
// Asked between tags; true ends the registration early (a stop was requested).
using CancelFunc = std::function<bool()>;

struct RegistrationRequest {
  tidewell::TsdbSettings tsdb_cfg;
  std::string opc_schema;
  std::string opc_type;
};

struct RegistrationOutcome {
  bool ok = false;
  bool cancelled = false;
  std::optional<std::int64_t> source_id;
  std::size_t created = 0;
  std::size_t updated = 0;
};

// The console's source record for an OPC server: "OPC UA" exactly selects the UA protocol,
// any other type text the DA protocol.
tidewell::SourceInfo make_console_source(const std::string& opc_schema,
                                         const std::string& opc_type);

// A tag description as stored: {"desc": text}, or an empty mapping for an empty text.
tidewell::Description tag_description(const std::string& text);

// Finds or creates the source, then creates each tag or moves it to the source, logging the
// outcome of each step to `log`. Never throws: every failure is one logged line and ok false.
// A failed single tag is a warning and does not stop the walk.
RegistrationOutcome register_source_and_tags(const RegistrationRequest& request,
                                             const std::vector<TagEntry>& tags, spdlog::logger& log,
                                             const ConnectFunc& connect = {},
                                             const CancelFunc& cancelled = {});

}  // namespace kestrane_console
