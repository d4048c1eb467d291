#pragma once
// ResultTuple and ResultList: one reading and one cycle's readings, as the collector hands
// them to its owner. Plain values; safe to copy and move between threads.

#include <string>
#include <vector>

#include "pyqar/qar_types.h"

namespace quellin {

struct ResultTuple {
  std::string tag;             // exactly as in the tag list (an OPC UA "2:" prefix included)
  pyqar::Value value;          // as read
  std::string quality;         // "Good", "Uncertain", "Bad" or "Invalid"
  pyqar::Timestamp timestamp;  // as the OPC library gave it
};

// One cycle's results in tag-list order.
using ResultList = std::vector<ResultTuple>;

}  // namespace quellin
