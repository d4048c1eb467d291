#pragma once
// ResultTuple and ResultList: one reading and one cycle's readings, as the collector hands
// them to its owner. Plain values; safe to copy and move between threads.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pyqar/qar_types.h"

namespace quellin {

struct ResultTuple {
  std::string tag;             // exactly as in the tag list (an OPC UA "2:" prefix included)
  pyqar::Value value;          // as read
  std::string quality;         // "Good", "Uncertain", "Bad" or "Invalid"
  pyqar::Timestamp timestamp;  // as the OPC library gave it
  // As the server gave it; absent when it sent none.
  std::optional<pyqar::Timestamp> source_time{};
  // The full status code; absent when the source gave none.
  std::optional<std::uint32_t> status{};
};

// One cycle's results in tag-list order.
using ResultList = std::vector<ResultTuple>;

}  // namespace quellin
