#pragma once
// ResultMerger: copies value, quality and source time of one batch of readings into the tag
// table's rows. It remembers which reading feeds which row, so a batch with the same tags as
// the last one (the normal case while collecting) costs one pass without any lookup, and
// without allocation for values and qualities it has seen before.
// Owned by MainWidget; used on the GUI thread under the window's row lock.

#include <QString>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "Kestrane/tablemodel.h"
#include "quellin/result_tuple.h"

class ResultMerger {
 public:
  // Cells of a table row the merge reads and writes.
  static constexpr int kTagNameColumn = 1;
  static constexpr int kValueColumn = 3;
  static constexpr int kQualityColumn = 4;
  static constexpr int kSourceTimeColumn = 5;

  // For every row: the value, quality and source time of the last reading of its tag in
  // `results`, or not-a-number, "uncertain" and no time when the batch lacks the tag. The
  // quality of a reading that is not Good names its status when it has one,
  // "Bad (BadSensorFailure)"; a source time shows as a QDateTime in UTC.
  // With `keep`, a row whose tag the batch lacks keeps its cells instead: batches of a
  // subscribing collector carry only the tags that changed.
  void merge(const quellin::ResultList& results, TableRows& rows);
  void set_keep_missing(bool keep) { keep_missing_ = keep; }

 private:
  // "Bad (BadSensorFailure)" for the quality word at `word` in the shared list and a status.
  const QString& status_text(int word, std::uint32_t status);

  bool plan_fits(const quellin::ResultList& results, const TableRows& rows) const;
  void build_plan(const quellin::ResultList& results, const TableRows& rows);

  std::vector<std::string> plan_result_tags_;
  std::vector<QString> plan_row_tags_;
  std::vector<int> row_source_;  // per row: index of its reading in the batch, or -1
  bool keep_missing_ = false;
  // Quality texts with a status name, by quality word and status code.
  std::unordered_map<std::uint64_t, QString> status_texts_;
};
