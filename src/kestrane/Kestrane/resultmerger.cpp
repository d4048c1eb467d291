#include "resultmerger.h"

#include <QVariant>
#include <limits>
#include <unordered_map>
#include <variant>

namespace {

QString quality_text(const std::string& quality) {
  // Shared strings for the words the collector sends, so a merge allocates nothing for them.
  static const QString good = QStringLiteral("Good");
  static const QString uncertain = QStringLiteral("Uncertain");
  static const QString bad = QStringLiteral("Bad");
  static const QString invalid = QStringLiteral("Invalid");
  if (quality == "Good") return good;
  if (quality == "Bad") return bad;
  if (quality == "Uncertain") return uncertain;
  if (quality == "Invalid") return invalid;
  return QString::fromStdString(quality);
}

QVariant to_variant(const pyqar::Value& value) {
  struct Visitor {
    QVariant operator()(std::monostate) const { return QVariant(); }
    QVariant operator()(double v) const { return QVariant(v); }
    QVariant operator()(std::int64_t v) const { return QVariant(static_cast<qlonglong>(v)); }
    QVariant operator()(std::uint64_t v) const { return QVariant(static_cast<qulonglong>(v)); }
    QVariant operator()(bool v) const { return QVariant(v); }
    QVariant operator()(const std::string& v) const { return QVariant(QString::fromStdString(v)); }
  };
  return std::visit(Visitor{}, value);
}

QString tag_of(const TableRow& row) {
  return row.size() > ResultMerger::kTagNameColumn ? row[ResultMerger::kTagNameColumn].toString()
                                                   : QString();
}

}  // namespace

void ResultMerger::merge(const quellin::ResultList& results, TableRows& rows) {
  if (!plan_fits(results, rows)) {
    build_plan(results, rows);
  }
  static const QString missing_quality = QStringLiteral("uncertain");
  const QVariant missing_value(std::numeric_limits<double>::quiet_NaN());
  for (qsizetype i = 0; i < rows.size(); ++i) {
    TableRow& row = rows[i];
    if (row.size() <= kQualityColumn) {
      row.resize(kQualityColumn + 1);
    }
    const int source = row_source_[static_cast<std::size_t>(i)];
    if (source < 0) {
      row[kValueColumn] = missing_value;
      row[kQualityColumn] = missing_quality;
    } else {
      const quellin::ResultTuple& result = results[static_cast<std::size_t>(source)];
      row[kValueColumn] = to_variant(result.value);
      row[kQualityColumn] = quality_text(result.quality);
    }
  }
}

bool ResultMerger::plan_fits(const quellin::ResultList& results, const TableRows& rows) const {
  if (results.size() != plan_result_tags_.size() ||
      static_cast<std::size_t>(rows.size()) != plan_row_tags_.size()) {
    return false;
  }
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (results[i].tag != plan_result_tags_[i]) {
      return false;
    }
  }
  for (qsizetype i = 0; i < rows.size(); ++i) {
    const TableRow& row = rows[i];
    const QString& planned = plan_row_tags_[static_cast<std::size_t>(i)];
    if (row.size() <= kTagNameColumn) {
      if (!planned.isNull()) return false;
      continue;
    }
    const QVariant& cell = row[kTagNameColumn];
    if (cell.typeId() == QMetaType::QString) {
      if (*static_cast<const QString*>(cell.constData()) != planned) return false;
    } else if (cell.toString() != planned) {
      return false;
    }
  }
  return true;
}

void ResultMerger::build_plan(const quellin::ResultList& results, const TableRows& rows) {
  std::unordered_map<std::string, int> last_index;
  last_index.reserve(results.size());
  plan_result_tags_.clear();
  plan_result_tags_.reserve(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    last_index[results[i].tag] = static_cast<int>(i);
    plan_result_tags_.push_back(results[i].tag);
  }
  plan_row_tags_.clear();
  plan_row_tags_.reserve(static_cast<std::size_t>(rows.size()));
  row_source_.assign(static_cast<std::size_t>(rows.size()), -1);
  for (qsizetype i = 0; i < rows.size(); ++i) {
    QString tag = rows[i].size() > kTagNameColumn ? tag_of(rows[i]) : QString();
    if (!tag.isNull()) {
      const auto found = last_index.find(tag.toStdString());
      if (found != last_index.end()) {
        row_source_[static_cast<std::size_t>(i)] = found->second;
      }
    }
    plan_row_tags_.push_back(std::move(tag));
  }
}
