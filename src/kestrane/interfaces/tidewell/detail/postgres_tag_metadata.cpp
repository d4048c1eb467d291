// PostgresConnection's tag metadata requests.

#include <cmath>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "pg_text_array.h"
#include "postgres_connection.h"
#include "tag_metadata_list.h"

namespace tidewell {

namespace {

constexpr const char* kMetadataColumns =
    "tag_id, data_type, unit, unit_id, eu_low, eu_high, access_level, server_description,"
    " enum_names, (extract(epoch FROM metadata_time) * 1000000)::bigint";

// One statement, so one round trip and its own transaction: the list arrives as arrays, one per
// column, and every statement of it reads the rows as they were before it, so `old` holds what
// the update replaces. No temporary table and no join of tags with one, so that it runs where
// tags is replicated to every node of a distributed engine. The time goes in as whole seconds
// and microseconds, as an interval's multiplier is a double, exact only to 2^53.
constexpr const char* kUpdateMetadata =
    "WITH r AS (SELECT * FROM unnest($1::bigint[], $2::text[], $3::text[], $4::integer[],"
    " $5::float8[], $6::float8[], $7::bigint[], $8::text[], $9::bigint[],"
    " $10::text[])"
    " AS r (tag_id, data_type, unit, unit_id, eu_low, eu_high, access_level,"
    " server_description, metadata_us, enum_names)),"
    " old AS (SELECT tag_id, data_type, unit, unit_id, eu_low, eu_high, access_level,"
    " server_description, enum_names, (extract(epoch FROM metadata_time) * 1000000)::bigint"
    " FROM tags WHERE tag_id = ANY ($1::bigint[])),"
    " written AS (UPDATE tags t SET data_type = r.data_type, unit = r.unit, unit_id = r.unit_id,"
    " eu_low = r.eu_low, eu_high = r.eu_high, access_level = r.access_level,"
    " server_description = r.server_description, enum_names = r.enum_names,"
    " metadata_time = timestamptz 'epoch' + r.metadata_us / 1000000 * interval '1 second'"
    " + r.metadata_us % 1000000 * interval '1 microsecond'"
    " FROM r WHERE t.tag_id = r.tag_id)"
    " SELECT * FROM old";

std::optional<std::string> optional_text(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return std::nullopt;
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}

std::optional<std::int64_t> optional_int(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return std::nullopt;
  return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

// The server writes the shortest text that reads back as the same double.
std::optional<double> optional_double(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return std::nullopt;
  const double value = std::strtod(PQgetvalue(result, row, column), nullptr);
  if (std::isnan(value)) return std::nullopt;
  return value;
}

// A row of kMetadataColumns (or of the update's `old`, which has the same columns).
TagMetadata metadata_at(const PGresult* result, int row) {
  TagMetadata m;
  m.tag_id = *optional_int(result, row, 0);
  m.data_type = optional_text(result, row, 1);
  m.unit = optional_text(result, row, 2);
  if (const auto id = optional_int(result, row, 3)) m.unit_id = static_cast<std::int32_t>(*id);
  m.eu_low = optional_double(result, row, 4);
  m.eu_high = optional_double(result, row, 5);
  if (const auto bits = optional_int(result, row, 6)) {
    m.access_level = static_cast<std::uint32_t>(*bits);
  }
  m.server_description = optional_text(result, row, 7);
  m.enum_names = optional_text(result, row, 8);
  m.metadata_time_us = optional_int(result, row, 9);
  return m;
}

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

}  // namespace

TagMetadataUpdate PostgresConnection::update_tag_metadata(std::span<const TagMetadata> metadata) {
  live();
  const std::vector<TagMetadata> written = storable_metadata(metadata);
  if (written.empty()) return {};
  const std::size_t count = written.size();
  std::vector<std::optional<std::int64_t>> ids(count), access(count), times(count);
  std::vector<std::optional<std::string_view>> types(count), units(count), descriptions(count),
      enums(count);
  std::vector<std::optional<std::int32_t>> unit_ids(count);
  std::vector<std::optional<double>> lows(count), highs(count);
  for (std::size_t i = 0; i < count; ++i) {
    const TagMetadata& m = written[i];
    ids[i] = m.tag_id;
    types[i] = view_of(m.data_type);
    units[i] = view_of(m.unit);
    unit_ids[i] = m.unit_id;
    lows[i] = m.eu_low;
    highs[i] = m.eu_high;
    if (m.access_level) access[i] = static_cast<std::int64_t>(*m.access_level);
    descriptions[i] = view_of(m.server_description);
    times[i] = m.metadata_time_us;
    enums[i] = view_of(m.enum_names);
  }
  const std::vector<std::string> arrays = {
      binary_bigint_array(ids),       binary_text_array(types),        binary_text_array(units),
      binary_integer_array(unit_ids), binary_double_array(lows),       binary_double_array(highs),
      binary_bigint_array(access),    binary_text_array(descriptions), binary_bigint_array(times),
      binary_text_array(enums)};
  std::vector<const char*> values;
  std::vector<int> lengths;
  for (const std::string& array : arrays) {
    values.push_back(array.data());
    lengths.push_back(static_cast<int>(array.size()));
  }
  const auto result =
      send(kUpdateMetadata, values, lengths, std::vector<int>(arrays.size(), 1), kRequestTimeout);
  check(result, PGRES_TUPLES_OK);
  const int rows = PQntuples(result.get());
  std::unordered_map<std::int64_t, TagMetadata> stored;
  stored.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    TagMetadata old = metadata_at(result.get(), row);
    const std::int64_t id = old.tag_id;
    stored.emplace(id, std::move(old));
  }
  return metadata_update(written, stored);
}

std::vector<TagMetadata> PostgresConnection::tag_metadata(std::span<const std::int64_t> tag_ids) {
  live();
  if (tag_ids.empty()) return {};
  const std::vector<std::optional<std::int64_t>> ids(tag_ids.begin(), tag_ids.end());
  const std::string array = binary_bigint_array(ids);
  const auto result = run_binary(
      std::string("SELECT ") + kMetadataColumns + " FROM tags WHERE tag_id = ANY ($1::bigint[])",
      array);
  check(result, PGRES_TUPLES_OK);
  const int rows = PQntuples(result.get());
  std::unordered_map<std::int64_t, TagMetadata> found;
  found.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    TagMetadata m = metadata_at(result.get(), row);
    const std::int64_t id = m.tag_id;
    found.emplace(id, std::move(m));
  }
  return in_listed_order(tag_ids, found);
}

}  // namespace tidewell
