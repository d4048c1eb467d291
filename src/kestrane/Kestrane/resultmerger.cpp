#include "resultmerger.h"

#include <QDateTime>
#include <QVariant>
#include <chrono>
#include <limits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "pyqar/status_names.h"

namespace {

// The words the collector sends, as shared strings so that a merge allocates nothing for them.
enum QualityWord : int { kGood, kUncertain, kBad, kInvalid, kOtherWord };
const QString kQualityWords[] = {QStringLiteral("Good"), QStringLiteral("Uncertain"),
                                 QStringLiteral("Bad"), QStringLiteral("Invalid")};

QualityWord quality_word(const std::string& quality) {
  if (quality == "Good") return kGood;
  if (quality == "Bad") return kBad;
  if (quality == "Uncertain") return kUncertain;
  if (quality == "Invalid") return kInvalid;
  return kOtherWord;
}

// Status codes are few (the named codes and some more); a source sending ever new codes
// must not grow the cache without end.
constexpr std::size_t kMaxStatusNames = 1024;

QVariant source_time_cell(pyqar::Timestamp time) {
  const auto msecs = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch());
  return QVariant(QDateTime::fromMSecsSinceEpoch(msecs.count(), Qt::UTC));
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
    if (keep_missing_ && row_source_[static_cast<std::size_t>(i)] < 0) continue;
    if (row.size() <= kQualityColumn) {
      row.resize(kQualityColumn + 1);
    }
    const int source = row_source_[static_cast<std::size_t>(i)];
    const quellin::ResultTuple* result =
        source < 0 ? nullptr : &results[static_cast<std::size_t>(source)];
    const QString* status = nullptr;
    if (result == nullptr) {
      row[kValueColumn] = missing_value;
      row[kQualityColumn] = missing_quality;
    } else {
      row[kValueColumn] = to_variant(result->value);
      const QualityWord word = quality_word(result->quality);
      row[kQualityColumn] =
          word == kOtherWord ? QString::fromStdString(result->quality) : kQualityWords[word];
      if (result->status) {
        const QString& name = status_name(*result->status);
        // A bare severity ("Good", "Bad") says nothing the quality word does not.
        if (word == kOtherWord || name != kQualityWords[word]) status = &name;
      }
    }
    const bool timed = result != nullptr && result->source_time.has_value();
    // The detail cells are added by the first reading that has a detail: rows of a source that
    // sends none stay shorter, which keeps the merge of a large table as fast.
    if ((status != nullptr || timed) && row.size() <= kSourceTimeColumn) {
      row.resize(kSourceTimeColumn + 1);
    }
    if (row.size() > kSourceTimeColumn) {
      row[kStatusColumn] = status != nullptr ? QVariant(*status) : QVariant();
      row[kSourceTimeColumn] = timed ? source_time_cell(*result->source_time) : QVariant();
    }
  }
}

QStringList ResultMerger::detail_titles() {
  return {QStringLiteral("Status"), QStringLiteral("Source time")};
}

const QString& ResultMerger::status_name(std::uint32_t status) {
  const auto cached = status_names_.find(status);
  if (cached != status_names_.end()) return cached->second;
  if (status_names_.size() >= kMaxStatusNames) status_names_.clear();
  return status_names_.emplace(status, QString::fromStdString(pyqar::status_name(status)))
      .first->second;
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
