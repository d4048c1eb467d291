#pragma once
// HistoryReader: the history calls of the OPC UA source over one session: which variables keep
// history (their AccessLevel), HistoryRead of raw values newest first for a list of queries,
// and the release of continuation points. Tags become nodes through the source's resolver.
// Made for one call and dropped after it; borrows the session; one thread at a time.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "node_id.h"
#include "pyqar/history_types.h"
#include "pyqar/qar_types.h"
#include "ua_session.h"

namespace pyqar::ua {

class StructureCatalog;

class HistoryReader {
 public:
  // The node a tag stands for in this session; nothing when it does not resolve.
  using Resolve = std::function<std::optional<NodeId>(const TagDescriptor&)>;

  // With `structures`, structured values are written by field name as live ones are.
  HistoryReader(UaSession& session, Resolve resolve, StructureCatalog* structures = nullptr)
      : session_(session), resolve_(std::move(resolve)), structures_(structures) {}

  // As RtSource::keeps_history. Throws as UaSession::read does.
  std::vector<std::optional<bool>> keeps_history(const std::vector<TagDescriptor>& tags);
  // As RtSource::read_history: a query whose tag does not resolve gets BadNodeIdUnknown
  // without asking the server; queries of one span share a call. Throws ServiceError when the
  // server refuses a call (the points of calls made before it are given back first) and
  // std::runtime_error when the connection fails.
  std::vector<HistoryPage> read(const std::vector<HistoryQuery>& queries,
                                std::uint32_t values_per_node);
  // Gives the queries' continuation points back; throws as read() does.
  void release(const std::vector<HistoryQuery>& queries);

 private:
  // Queries of one span (newest, oldest), with their slots among all queries.
  struct Span {
    Timestamp newest;
    Timestamp oldest;
    std::vector<HistoryNodeToRead> nodes;
    std::vector<std::size_t> slots;
  };
  // The resolved queries grouped by span, in the order each span first appears; with
  // `points_only`, only those holding a continuation point. Unresolved slots are listed in
  // `unresolved`.
  std::vector<Span> spans_of(const std::vector<HistoryQuery>& queries, bool points_only,
                             std::vector<std::size_t>* unresolved);
  std::vector<HistoryReadResult> call(const Span& span, std::uint32_t values_per_node,
                                      bool release);

  UaSession& session_;
  Resolve resolve_;
  StructureCatalog* structures_;
};

}  // namespace pyqar::ua
