#pragma once
// How a collector's write stage keeps rows that the TSDB cannot take yet, and how it readies
// each new TSDB connection. Plain settings: the owner fills them in before building the
// collector; nothing here is shared between threads.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "tidewell/connection.h"

namespace quellin {

class SpoolEnv;

// A preparation that failed on a connection that still answers is tried again this often.
inline constexpr double kPrepareRetrySeconds = 10.0;

// Where rows that cannot be written wait, and how much of them.
struct SpoolSettings {
  std::filesystem::path dir;
  std::uint64_t max_bytes = 0;  // 0: no spool; such rows are dropped
  // The file system under the spool and the rejected-rows file; null: the real one. A seam
  // for tests.
  std::shared_ptr<SpoolEnv> env{};
};

// Readies a new connection before anything is written on it (registers the source and the
// tags) and returns the tag ids to cache; nullopt (or an exception) when it could not.
using PrepareConnectionFunc =
    std::function<std::optional<std::unordered_map<std::string, std::int64_t>>(
        tidewell::Connection&)>;

}  // namespace quellin
