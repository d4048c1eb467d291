#include "Kestrane/tagimportjob.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Kestrane/taglistcheck.h"
#include "config/tag_csv.h"
#include "config/text_codec.h"
#include "journel/log.h"

TagImportJob::TagImportJob(std::filesystem::path path, tidewell::TsdbSettings settings,
                           tidewell::ConnectFunc connect)
    : path_(std::move(path)), settings_(std::move(settings)), connect_(std::move(connect)) {}

TagImportJob::TagImportJob(std::vector<kestrane_config::TagEntry> tags,
                           tidewell::TsdbSettings settings, tidewell::ConnectFunc connect)
    : given_(std::move(tags)), settings_(std::move(settings)), connect_(std::move(connect)) {}

void TagImportJob::run(const JobContext& context) {
  try {
    import(context);
  } catch (const kestrane_config::TagCsvColumnsError&) {
    result_ = {.outcome = TagImportResult::Outcome::kMissingColumns};
  } catch (const std::exception& e) {
    result_ = {.outcome = TagImportResult::Outcome::kFailed,
               .message = QString::fromUtf8(e.what())};
  }
}

void TagImportJob::import(const JobContext& context) {
  using Outcome = TagImportResult::Outcome;
  std::vector<kestrane_config::TagEntry> tags;
  if (given_) {
    tags = std::move(*given_);
    given_.reset();
    if (tags.empty()) {
      result_ = {.outcome = Outcome::kNoTags};
      return;
    }
  } else if (!read_file(tags)) {
    return;
  }

  std::vector<std::string> names;
  names.reserve(tags.size());
  for (const kestrane_config::TagEntry& tag : tags) names.push_back(tag.name);
  std::unordered_map<std::string, std::int64_t> ids;
  if (!look_up_ids(names, context, ids)) {
    result_ = {.outcome = Outcome::kCancelled};
    return;
  }

  TableRows rows;
  rows.reserve(static_cast<qsizetype>(tags.size()));
  for (const kestrane_config::TagEntry& tag : tags) {
    const auto id = ids.find(tag.name);
    const QVariant db_id =
        id == ids.end() ? QVariant(QString()) : QVariant(static_cast<qlonglong>(id->second));
    rows.append(TableRow{db_id, QString::fromStdString(tag.name),
                         QString::fromStdString(tag.description), QString(), QString()});
  }
  std::erase_if(tags, [](const kestrane_config::TagEntry& tag) {
    return !tag.sampling_interval && !tag.deadband && tag.monitor_problem.empty();
  });
  result_ = {.outcome = Outcome::kImported,
             .rows = std::move(rows),
             .ids_pending = ids_pending_,
             .tuned_tags = std::move(tags)};
}

bool TagImportJob::read_file(std::vector<kestrane_config::TagEntry>& tags) {
  using Outcome = TagImportResult::Outcome;
  const std::string bytes = kestrane_config::read_file_bytes(path_);
  const std::optional<kestrane_config::DecodedText> decoded =
      kestrane_config::decode_utf8_or_gbk(bytes);
  if (!decoded) {
    // An unreadable file like any other, its error naming the lines that are no text.
    result_ = {.outcome = Outcome::kFailed,
               .message = QString::fromStdString(
                   describe_tag_list_problems(find_undecodable_lines(bytes), kListedProblems))};
    return false;
  }
  kestrane_config::parse_tag_csv(decoded->text, tags);
  if (tags.empty()) {
    result_ = {.outcome = Outcome::kNoTags};
    return false;
  }
  // A name listed twice is imported twice, as the collector is given it; the log says where,
  // since it is rarely meant.
  if (const auto repeated = find_repeated_names(decoded->text, tags); !repeated.empty()) {
    journel::get_logger("Kestrane")
        ->warn("Tag list {} repeats tag names; each listing is imported as a row of its own: {}",
               path_.string(), describe_tag_list_problems(repeated, kListedProblems, "; "));
  }
  return true;
}

bool TagImportJob::look_up_ids(const std::vector<std::string>& names, const JobContext& context,
                               std::unordered_map<std::string, std::int64_t>& ids) {
  if (context.cancelled()) return false;
  const std::unique_ptr<tidewell::Connection> conn = tidewell::connect_with(connect_, settings_);
  if (!conn && tolerate_unreachable_) {
    journel::get_logger("Kestrane")
        ->warn(
            "The TSDB cannot be reached: {} tags imported without their ids, which are "
            "filled in once the database answers and the tags are registered",
            names.size());
    ids_pending_ = true;
    return true;
  }
  if (!conn) throw std::runtime_error("Failed to create TSDB connection object.");
  const auto total = static_cast<qint64>(names.size());
  context.progress(0, total);
  for (std::size_t start = 0; start < names.size(); start += kLookupChunk) {
    if (context.cancelled()) return false;
    const std::size_t count = std::min(kLookupChunk, names.size() - start);
    auto found = tidewell::get_tag_ids(*conn, std::span<const std::string>(&names[start], count));
    ids.merge(found);
    context.progress(static_cast<qint64>(start + count), total);
  }
  return true;
}
