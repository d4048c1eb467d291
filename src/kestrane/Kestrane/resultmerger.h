#pragma once
// ResultMerger: copies value and quality of one batch of readings into the tag table's rows.
// It remembers which reading feeds which row, so a batch with the same tags as the last one
// (the normal case while collecting) costs one pass without any lookup or allocation.
// Owned by MainWidget; used on the GUI thread under the window's row lock.

#include <QString>
#include <string>
#include <vector>

#include "Kestrane/tablemodel.h"
#include "quellin/result_tuple.h"

class ResultMerger {
 public:
  // Cells of a table row the merge reads and writes.
  static constexpr int kTagNameColumn = 1;
  static constexpr int kValueColumn = 3;
  static constexpr int kQualityColumn = 4;

  // For every row: the value and quality of the last reading of its tag in `results`, or
  // not-a-number and "uncertain" when the batch lacks the tag.
  void merge(const quellin::ResultList& results, TableRows& rows);

 private:
  bool plan_fits(const quellin::ResultList& results, const TableRows& rows) const;
  void build_plan(const quellin::ResultList& results, const TableRows& rows);

  std::vector<std::string> plan_result_tags_;
  std::vector<QString> plan_row_tags_;
  std::vector<int> row_source_;  // per row: index of its reading in the batch, or -1
};
