#include "Kestrane/tagsyncjob.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Kestrane/resultmerger.h"
#include "config/tag_registration.h"
#include "journel/log.h"

namespace {

constexpr int kDbIdColumn = 0;
constexpr int kDescriptionColumn = 2;

QString cell_text(const TableRow& row, int column) {
  return row.size() > column ? row[column].toString() : QString();
}

}  // namespace

TagSyncJob::TagSyncJob(tidewell::TsdbSettings settings, std::int64_t source_id, TableRows rows,
                       tidewell::ConnectFunc connect)
    : settings_(std::move(settings)), source_id_(source_id), connect_(std::move(connect)) {
  result_.rows = std::move(rows);
}

void TagSyncJob::run(const JobContext& context) {
  const auto log = journel::get_logger("Kestrane");
  std::vector<kestrane_config::TagEntry> tags;
  tags.reserve(static_cast<std::size_t>(result_.rows.size()));
  for (const TableRow& row : std::as_const(result_.rows)) {
    tags.push_back({cell_text(row, ResultMerger::kTagNameColumn).toStdString(),
                    cell_text(row, kDescriptionColumn).toStdString()});
  }

  const std::unique_ptr<tidewell::Connection> conn = tidewell::connect_with(connect_, settings_);
  if (!conn) throw std::runtime_error("Failed to create TSDB connection object.");
  const auto total = static_cast<qint64>(tags.size());
  context.progress(0, total);
  // In list order, chunk after chunk, so counts and the surviving description are those of
  // one walk of the whole list.
  for (std::size_t start = 0; start < tags.size(); start += kRegistrationChunk) {
    if (context.cancelled()) {
      result_.cancelled = true;
      return;
    }
    const std::size_t count = std::min(kRegistrationChunk, tags.size() - start);
    const std::vector<kestrane_config::TagEntry> chunk(
        tags.begin() + static_cast<std::ptrdiff_t>(start),
        tags.begin() + static_cast<std::ptrdiff_t>(start + count));
    tidewell::TagRegistrationResult done = kestrane_config::register_tags(
        *conn, source_id_, chunk, kestrane_config::desktop_profile(), *log);
    result_.created += done.created;
    result_.updated += done.updated;
    result_.failed += done.failed.size();
    for (auto& [name, id] : done.tag_ids) result_.tag_ids.insert_or_assign(name, id);
    context.progress(static_cast<qint64>(start + count), total);
  }

  // A tag that could not be registered keeps the id the import found for it, if any.
  for (qsizetype i = 0; i < result_.rows.size(); ++i) {
    const auto id = result_.tag_ids.find(tags[static_cast<std::size_t>(i)].name);
    if (id == result_.tag_ids.end()) continue;
    TableRow& row = result_.rows[i];
    if (row.isEmpty()) row.append(QVariant());
    row[kDbIdColumn] = static_cast<qlonglong>(id->second);
  }
  log->info("Synchronised {} tags with source_id {}: {} created, {} updated, {} failed",
            tags.size(), source_id_, result_.created, result_.updated, result_.failed);
}
