#include "tidewell/connection.h"

namespace tidewell {

std::unordered_map<std::string, std::int64_t> Connection::get_tag_ids(
    std::span<const std::string> names) {
  std::unordered_map<std::string, std::int64_t> ids;
  for (const std::string& name : names) {
    try {
      const std::optional<TagInfo> tag = get_tag(name);
      if (tag && tag->tag_id) ids.emplace(name, *tag->tag_id);
    } catch (const RequestRejected&) {
      // A name the database cannot hold is not stored.
    }
  }
  return ids;
}

TagRegistrationResult Connection::register_tags(std::int64_t source_id,
                                                std::span<const TagRegistration> tags) {
  TagRegistrationResult result;
  result.outcomes.reserve(tags.size());
  for (const TagRegistration& tag : tags) {
    std::optional<TagInfo> found;
    try {
      found = get_tag(tag.tag_name);
    } catch (const RequestRejected& e) {
      // A name the database cannot hold was never stored and cannot be created either.
      result.failed.push_back({tag.tag_name, false, e.what()});
      result.outcomes.push_back(TagOutcome::create_failed);
      continue;
    }
    if (found) {
      TagFields fields;
      fields.source_id = source_id;
      fields.source_tagname = tag.tag_name;
      fields.description = tag.description;
      const OperationResult<TagInfo> updated = update_tag_fields(tag.tag_name, fields);
      if (updated.ok) {
        ++result.updated;
        result.outcomes.push_back(TagOutcome::updated);
        if (found->tag_id) result.tag_ids[tag.tag_name] = *found->tag_id;
      } else {
        result.failed.push_back({tag.tag_name, true, updated.error});
        result.outcomes.push_back(TagOutcome::update_failed);
      }
    } else {
      TagInfo info;
      info.tag_name = tag.tag_name;
      info.description = tag.description;
      info.source_id = source_id;
      info.source_tagname = tag.tag_name;
      const OperationResult<TagInfo> inserted = insert_new_tag(info);
      if (inserted.ok && inserted.data && inserted.data->tag_id) {
        ++result.created;
        result.outcomes.push_back(TagOutcome::created);
        result.tag_ids[tag.tag_name] = *inserted.data->tag_id;
      } else {
        result.failed.push_back({tag.tag_name, false, inserted.error});
        result.outcomes.push_back(TagOutcome::create_failed);
      }
    }
  }
  return result;
}

WriteResult Connection::write_batch(const BatchId& batch, std::int64_t,
                                    std::span<const std::int64_t>, std::span<const double>,
                                    std::span<const std::string>) {
  // Writing the rows without their identity would break the promise that a replayed batch is
  // stored once, so a connection that cannot keep identities refuses the batch outright.
  throw DatabaseError("This TSDB connection cannot record batch identities; batch " +
                      batch.writer_id + "/" + std::to_string(batch.seq) + " not written");
}

WriteResult Connection::write_rows(const BatchId& batch, std::span<const TsdataRow> rows,
                                   std::span<const EventRow> events) {
  if (!events.empty()) {
    throw DatabaseError("This TSDB connection cannot store events; batch " + batch.writer_id + "/" +
                        std::to_string(batch.seq) + " not written");
  }
  const std::int64_t time_us = rows.empty() ? 0 : rows.front().time_us;
  std::vector<std::int64_t> tag_ids;
  std::vector<double> values;
  std::vector<std::string> qualities;
  tag_ids.reserve(rows.size());
  values.reserve(rows.size());
  qualities.reserve(rows.size());
  for (const TsdataRow& row : rows) {
    if (row.text || row.time_us != time_us) {
      throw DatabaseError("This TSDB connection stores only numbers at one time per batch; batch " +
                          batch.writer_id + "/" + std::to_string(batch.seq) + " not written");
    }
    tag_ids.push_back(row.tag_id);
    values.push_back(row.value);
    qualities.push_back(row.quality);
  }
  return write_batch(batch, time_us, tag_ids, values, qualities);
}

std::vector<ConditionEvent> Connection::latest_condition_events(std::int64_t,
                                                                std::span<const std::string>) {
  return {};
}

std::size_t Connection::prune_write_batches(std::int64_t, std::size_t) { return 0; }

std::vector<LastStored> Connection::last_stored(std::span<const LastStoredQuery> queries) {
  throw DatabaseError(
      "This TSDB connection cannot read back what is stored; the last stored rows of " +
      std::to_string(queries.size()) + " tags not read");
}

TagMetadataUpdate Connection::update_tag_metadata(std::span<const TagMetadata> metadata) {
  throw DatabaseError("This TSDB connection keeps no tag metadata; the metadata of " +
                      std::to_string(metadata.size()) + " tags not stored");
}

std::vector<TagMetadata> Connection::tag_metadata(std::span<const std::int64_t> tag_ids) {
  throw DatabaseError("This TSDB connection keeps no tag metadata; the metadata of " +
                      std::to_string(tag_ids.size()) + " tags not read");
}

}  // namespace tidewell
