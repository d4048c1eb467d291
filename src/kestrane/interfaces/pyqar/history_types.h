#pragma once
// What a collector asks of an OPC source that keeps the history of its variables (HistoryRead
// of raw values), and what the source hands back. Plain values; safe to copy between threads.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pyqar/qar_types.h"

namespace pyqar {

// One node's part of a HistoryRead: the span from `newest` back to `oldest`, both included,
// read newest first.
struct HistoryQuery {
  TagDescriptor tag;
  Timestamp newest{};
  Timestamp oldest{};
  // Empty: the first call for this span; else the point the previous answer gave, which the
  // call continues with the same details as the first.
  std::string continuation_point{};
};

// The answer for one query.
struct HistoryPage {
  std::uint32_t status = QAR_STATUS::QAR_STATUS_GOOD;  // the node's status code
  // Newest first, as the server sent them; status, source and server times as for a Read.
  std::vector<ValueObject> values;
  // Empty: the span has no more values; else where the next call goes on.
  std::string continuation_point;
};

// What the server states of its history service; 0 where it states nothing.
struct HistoryLimits {
  std::uint32_t max_nodes_per_call = 0;  // MaxNodesPerHistoryReadData
  std::uint32_t max_return_values = 0;   // MaxReturnDataValues (per node and call)
};

// The server refused a whole HistoryRead call (BadTooManyOperations, BadHistoryOperationInvalid,
// BadTimeout...); the source stays usable.
class HistoryServiceError : public std::runtime_error {
 public:
  HistoryServiceError(std::uint32_t status, const std::string& what)
      : std::runtime_error(what), status_(status) {}
  std::uint32_t status() const { return status_; }

 private:
  std::uint32_t status_;
};

}  // namespace pyqar
