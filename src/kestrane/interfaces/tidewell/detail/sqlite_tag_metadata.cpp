// SqliteConnection's tag metadata requests.

#include <string>
#include <unordered_map>
#include <vector>

#include "sqlite_connection.h"
#include "tag_metadata_list.h"

namespace tidewell {

namespace {

constexpr const char* kSelectMetadata =
    "SELECT tag_id, data_type, unit, unit_id, eu_low, eu_high, access_level, server_description,"
    " metadata_time, enum_names FROM tags WHERE tag_id = ?1";
constexpr const char* kUpdateMetadata =
    "UPDATE tags SET data_type = ?2, unit = ?3, unit_id = ?4, eu_low = ?5, eu_high = ?6,"
    " access_level = ?7, server_description = ?8, metadata_time = ?9,"
    " enum_names = ?10 WHERE tag_id = ?1";

std::optional<std::string> optional_text(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return std::string(text ? text : "",
                     static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

std::optional<std::int64_t> optional_int(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(stmt, column);
}

std::optional<double> optional_double(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(stmt, column);
}

TagMetadata metadata_at(sqlite3_stmt* stmt) {
  TagMetadata m;
  m.tag_id = sqlite3_column_int64(stmt, 0);
  m.data_type = optional_text(stmt, 1);
  m.unit = optional_text(stmt, 2);
  if (const auto id = optional_int(stmt, 3)) m.unit_id = static_cast<std::int32_t>(*id);
  m.eu_low = optional_double(stmt, 4);
  m.eu_high = optional_double(stmt, 5);
  if (const auto bits = optional_int(stmt, 6)) m.access_level = static_cast<std::uint32_t>(*bits);
  m.server_description = optional_text(stmt, 7);
  m.metadata_time_us = optional_int(stmt, 8);
  m.enum_names = optional_text(stmt, 9);
  return m;
}

void bind_optional_int(sqlite3_stmt* stmt, int index, std::optional<std::int64_t> value) {
  if (value) {
    sqlite3_bind_int64(stmt, index, *value);
  } else {
    sqlite3_bind_null(stmt, index);
  }
}

}  // namespace

TagMetadataUpdate SqliteConnection::update_tag_metadata(std::span<const TagMetadata> metadata) {
  live();
  const std::vector<TagMetadata> written = storable_metadata(metadata);
  if (written.empty()) return {};
  std::unordered_map<std::int64_t, TagMetadata> stored;
  stored.reserve(written.size());
  run("BEGIN IMMEDIATE");
  try {
    auto select = prepare(std::string(kSelectMetadata));
    auto update = prepare(std::string(kUpdateMetadata));
    for (const TagMetadata& m : written) {
      sqlite3_bind_int64(select.get(), 1, m.tag_id);
      run(select.get(), [&](sqlite3_stmt* row) { stored.emplace(m.tag_id, metadata_at(row)); });
      if (!stored.contains(m.tag_id)) continue;
      sqlite3_bind_int64(update.get(), 1, m.tag_id);
      const auto bind_text_or_null = [&](int index, const std::optional<std::string>& text) {
        if (text) {
          bind_text(update.get(), index, *text);
        } else {
          sqlite3_bind_null(update.get(), index);
        }
      };
      const auto bind_double_or_null = [&](int index, std::optional<double> value) {
        if (value) {
          sqlite3_bind_double(update.get(), index, *value);
        } else {
          sqlite3_bind_null(update.get(), index);
        }
      };
      bind_text_or_null(2, m.data_type);
      bind_text_or_null(3, m.unit);
      bind_optional_int(update.get(), 4, m.unit_id);
      bind_double_or_null(5, m.eu_low);
      bind_double_or_null(6, m.eu_high);
      std::optional<std::int64_t> access;
      if (m.access_level) access = *m.access_level;
      bind_optional_int(update.get(), 7, access);
      bind_text_or_null(8, m.server_description);
      bind_optional_int(update.get(), 9, m.metadata_time_us);
      bind_text_or_null(10, m.enum_names);
      run(update.get());
      sqlite3_clear_bindings(update.get());
    }
    select.reset();
    update.reset();
    run("COMMIT");
  } catch (...) {
    rollback_open_transaction();
    throw;
  }
  return metadata_update(written, stored);
}

std::vector<TagMetadata> SqliteConnection::tag_metadata(std::span<const std::int64_t> tag_ids) {
  live();
  std::unordered_map<std::int64_t, TagMetadata> found;
  found.reserve(tag_ids.size());
  auto select = prepare(std::string(kSelectMetadata));
  for (const std::int64_t id : tag_ids) {
    sqlite3_bind_int64(select.get(), 1, id);
    run(select.get(), [&](sqlite3_stmt* row) { found.emplace(id, metadata_at(row)); });
  }
  return in_listed_order(tag_ids, found);
}

}  // namespace tidewell
