#pragma once
// GapTracker: watches, tag by tag, the values a collector stores, and finds the spans it never
// saw: from a tag's last stored value to its first after a start (once the database has said
// what it stored last), after reads lost to a broken connection, or after values the source
// reports missing. Each span runs from the source time of the last value before it to the
// first after it, both included, with the stored rows at each end (so that history values
// repeating them are left out). Values without a source time have no edge: their tags are
// never filled. One thread (the collector's).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "history_span.h"
#include "pyqar/qar_types.h"

namespace quellin {

class GapTracker {
 public:
  // What the database stored last for a tag, before the first value of this run.
  struct StoredEdge {
    std::string tag;
    std::optional<std::int64_t> source_time_us;  // empty: the row carries no source time
    std::vector<RowFingerprint> rows;            // the rows at that source time
  };
  // A tag whose first value of this run arrived: the database is asked what it stored last
  // before `before_us` (the first value's row time).
  struct EdgeRequest {
    std::string tag;
    std::int64_t before_us = 0;
  };

  // `polling`: a value read again and again keeps one row per read, all alike; an edge keeps
  // one of each. `initial_us`: a tag without any stored row gets this much history before
  // its first value (0: none).
  GapTracker(bool polling, std::int64_t initial_us);

  // A value about to be stored at row time `row_time_us`; `after_gap`: values of the tag
  // before it may be missing.
  void saw(const std::string& tag, const pyqar::ValueObject& value, std::int64_t row_time_us,
           bool after_gap);
  // Reads were lost (the server did not answer, the connection broke): each tag's next value
  // closes a gap.
  void lost_all();
  // What the database stored last before each requested tag's first value; a tag missing
  // from `edges` has no row before it.
  void edges_known(const std::vector<EdgeRequest>& asked, const std::vector<StoredEdge>& edges);

  // What was found since the last call.
  std::vector<HistorySpan> take_spans();
  std::vector<EdgeRequest> take_edge_requests();
  // Tags whose values carry no source time, since the last call (each once per run).
  std::vector<std::string> take_untimed();
  // A value stored live at a source time before its tag's latest: it may lie in a span found
  // earlier (changes the server had queued before the value that closed the gap).
  struct StoredInside {
    std::string tag;
    std::int64_t time_us;
    RowFingerprint fingerprint;
  };
  std::vector<StoredInside> take_inside();

 private:
  struct TagState {
    bool has_last = false;
    std::int64_t last_us = 0;
    std::vector<RowFingerprint> last_edge;
    bool gap_open = false;
    // The first value of this run, until the database has told its start edge.
    bool awaiting_edge = false;
    bool started = false;
    std::int64_t first_us = 0;
    std::vector<RowFingerprint> first_edge;
    // A span taken from here still gathers the rows at its upper end until the turn ends.
    std::optional<std::size_t> forming;
    bool untimed_reported = false;
  };
  void add_to_edge(std::vector<RowFingerprint>& edge, RowFingerprint fingerprint) const;
  void open_span(const std::string& tag, TagState& state, std::int64_t low_us,
                 std::vector<RowFingerprint> low_edge, std::int64_t high_us,
                 std::vector<RowFingerprint> high_edge);

  const bool polling_;
  const std::int64_t initial_us_;
  std::unordered_map<std::string, TagState> tags_;
  std::vector<HistorySpan> spans_;
  std::vector<EdgeRequest> edge_requests_;
  std::vector<std::string> untimed_;
  std::vector<StoredInside> inside_;
};

}  // namespace quellin
