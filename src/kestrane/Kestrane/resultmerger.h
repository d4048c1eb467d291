#pragma once
// ResultMerger: copies value, quality, status name and source time of one batch of readings
// into the tag table's rows. It remembers which reading feeds which row, so a batch with the same
// tags as the last one (the normal case while collecting) costs one pass without any lookup, and
// without allocation for values and qualities it has seen before.
// Owned by MainWidget; used on the GUI thread under the window's row lock.

#include <QString>
#include <QStringList>
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
  // Details of the reading after the shown cells, for the row's tooltip.
  static constexpr int kStatusColumn = 5;
  static constexpr int kSourceTimeColumn = 6;

  // Titles of the detail cells, from kStatusColumn on; the table model's detail titles.
  static QStringList detail_titles();

  // For every row: the value, quality word ("Good", "Bad", "Uncertain" as the collector sends
  // it), status name and source time of the last reading of its tag in `results`, or
  // not-a-number, "uncertain" and no details when the batch lacks the tag. The status cell
  // holds the status's name ("BadSensorFailure") when it says more than the quality word, the
  // time cell a QDateTime in UTC; both are empty when the reading has none.
  // With `keep`, a row whose tag the batch lacks keeps its cells instead: batches of a
  // subscribing collector carry only the tags that changed.
  void merge(const quellin::ResultList& results, TableRows& rows);
  void set_keep_missing(bool keep) { keep_missing_ = keep; }

 private:
  // The name of a status code, shared between rows.
  const QString& status_name(std::uint32_t status);

  bool plan_fits(const quellin::ResultList& results, const TableRows& rows) const;
  void build_plan(const quellin::ResultList& results, const TableRows& rows);

  std::vector<std::string> plan_result_tags_;
  std::vector<QString> plan_row_tags_;
  std::vector<int> row_source_;  // per row: index of its reading in the batch, or -1
  bool keep_missing_ = false;
  // Status names by status code.
  std::unordered_map<std::uint32_t, QString> status_names_;
};
