#pragma once
// Callback types through which a collector talks to its owner, and the seams through which
// tests replace the OPC server, the TSDB server and the passing of time.
// Every hook is called on the collector thread (or the caller's thread in single-step use)
// unless its comment says otherwise.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pyqar/event_types.h"
#include "pyqar/qar_library.h"
#include "pyqar/variable_metadata.h"
#include "tidewell/connection.h"
#include "tidewell/tidewell.h"
#include "tidewell/types.h"

namespace quellin {

// Receives status texts ("Read 25 tags, 0 bad.", ...).
using StatusNotify = std::function<void(const std::string& text)>;
// Receives each database write outcome: success flag and rows written.
using DbStatusNotify = std::function<void(bool success, std::size_t count)>;
// Receives, after each cycle while rows wait on disk, how many rows wait and whether they are
// being written back now.
using SpoolNotify = std::function<void(std::uint64_t rows_waiting, bool replaying)>;
// Receives the events of a cycle, in the order the server reported them.
using EventsNotify = std::function<void(const std::vector<pyqar::EventRecord>& events)>;
// Receives what the server says of tags (by tag name), each time it is read and stored;
// called on the metadata thread.
using MetadataNotify =
    std::function<void(const std::vector<std::pair<std::string, pyqar::VariableMetadata>>& tags)>;
// Returns the tag names to read; asked once per cycle, so the owner may change the list.
using TagsFunc = std::function<std::vector<std::string>()>;

// Opens a TSDB connection; nullptr means "no connection". Default: tidewell::get_conn.
using TsdbConnectFunc = tidewell::ConnectFunc;
// Seconds on a monotonic clock. Default: std::chrono::steady_clock.
using ClockFunc = std::function<double()>;
// Waits the given number of seconds. Default: a wait that ends early when stop() is called.
using SleepFunc = std::function<void(double seconds)>;

}  // namespace quellin
