#pragma once
// Records of the TSDB client: settings, sources, tags and operation results.
// Plain values; safe to copy between threads.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tidewell {

// Connection settings, as read from [TSDBConnection]. `driver` is "postgresql" (the
// default) or "sqlite"; for "sqlite" the database is the file `dbname` (".db" appended when it
// has no extension) in the folder `data_dir`, relative to the working directory.
struct TsdbSettings {
  std::string host = "localhost";
  int port = 5432;
  std::string user = "postgres";
  std::string password;
  std::string dbname = "tsdb_default";
  bool autocommit = false;  // accepted; every call commits its own work either way
  std::string driver = "postgresql";
  std::string data_dir = "data";
  // Records of stored batches (write_batches) are kept this many days, then pruned by the
  // writer; a batch replayed later than that after a lost acknowledgement may be stored twice.
  int batch_retention_days = 30;
};

// A JSON object of text values, such as {"desc": "..."}; stored as JSON.
using Description = std::map<std::string, std::string>;

enum class SourceStatus { ACTIVE, INACTIVE };
enum class SourceProtocol { OPC_DA, OPC_UA };
// The stored texts: "active"/"inactive", "OPC_DA"/"OPC_UA".
std::string value(SourceStatus status);
std::string value(SourceProtocol protocol);

struct SourceInfo {
  std::string source_name;
  std::string endpoint;
  SourceStatus status = SourceStatus::ACTIVE;
  SourceProtocol protocol = SourceProtocol::OPC_DA;
  std::int64_t interval_msec = 1000;
  Description description;
  std::string source_type = "opc";
  std::optional<std::int64_t> source_id;  // set by insert_new_source
};

// Empty lists match everything; several entries in one list match any of them.
struct SourceFilter {
  std::vector<std::string> names;
  std::vector<SourceStatus> status;
  std::vector<SourceProtocol> protocol;
};

struct TagInfo {
  std::string tag_name;
  Description description;
  std::optional<std::int64_t> source_id;
  std::string source_tagname;
  std::optional<std::int64_t> tag_id;  // set for stored tags
};

// Fields of a stored tag to change; unset fields stay as they are.
struct TagFields {
  std::optional<std::int64_t> source_id;
  std::optional<std::string> source_tagname;
  std::optional<Description> description;
};

template <class T>
struct OperationResult {
  bool ok = false;
  std::optional<T> data;  // the stored record when ok
  std::string error;      // why not, when !ok
};

// One tag of a list to register under a source: created when new, else moved to the source
// with this description.
struct TagRegistration {
  std::string tag_name;
  Description description;
};

// A tag that register_tags could not create (existed == false) or update.
struct TagRegistrationFailure {
  std::string tag_name;
  bool existed = false;
  std::string error;
};

// What register_tags did with one listing of the list.
enum class TagOutcome : std::uint8_t { created, updated, create_failed, update_failed };

// What register_tags did, counted as a walk of the list in order counts it: a name listed
// twice is created once and updated once. tag_ids holds the id of every registered tag.
struct TagRegistrationResult {
  std::size_t created = 0;
  std::size_t updated = 0;
  std::vector<TagRegistrationFailure> failed;
  // One per listing, in list order, so that callers can report each tag.
  std::vector<TagOutcome> outcomes;
  std::unordered_map<std::string, std::int64_t> tag_ids;
};

// Identity of one batch of rows: who made it and its number among that writer's batches. A
// batch that is written again (replayed after its acknowledgement was lost) carries the same
// identity, so the database can tell it stored that batch already.
struct BatchId {
  std::string writer_id;
  std::uint64_t seq = 0;
};

// What prune_write_batches did: records deleted, and whether none older is left.
struct PruneResult {
  std::size_t deleted = 0;
  bool finished = true;
};

// One row to store. A number or Boolean (as 0/1) goes to tsdata; a value with `text` set goes
// to tsdata_text. Unset status and source time are stored as NULL.
struct TsdataRow {
  std::int64_t time_us = 0;  // microseconds since 1970-01-01 UTC
  std::int64_t tag_id = 0;
  double value = 0.0;  // unused when text is set
  std::optional<std::string> text{};
  std::string quality;
  std::optional<std::uint32_t> status{};
  std::optional<std::int64_t> source_time_us{};
};

// What a tag has stored last, over tsdata and tsdata_text: its latest row time, the source
// time of a row at that time (the greatest, when several differ; unset when none has one), and
// every row of the tag at that time with that source time (numbers and texts alike, each as it
// would be written, status and source time unset where NULL is stored).
// A tag whose last stored rows are wanted, and optionally a time they must be before.
struct LastStoredQuery {
  std::int64_t tag_id = 0;
  std::optional<std::int64_t> before_us{};  // rows at or after it are passed over
};

struct LastStored {
  std::int64_t tag_id = 0;
  std::int64_t time_us = 0;  // microseconds since 1970-01-01 UTC
  std::optional<std::int64_t> source_time_us{};
  std::vector<TsdataRow> rows_at_edge{};
};

// One event to store in `events`, as a source reported it. Times in microseconds since
// 1970-01-01 UTC; unset optionals are stored as NULL (a condition field of an event that is no
// condition, a receive time the source did not give).
struct EventRow {
  std::int64_t time_us = 0;
  std::optional<std::int64_t> receive_time_us{};
  std::int64_t source_id = 0;  // the `sources` row of the source that reported it
  std::string event_id;        // the event's identity, as raw bytes (zero bytes included)
  std::string event_type;      // NodeId text
  std::string source_node;     // NodeId text
  std::string source_name;
  std::int32_t severity = 0;
  std::string message;
  std::optional<std::string> condition_id{};  // NodeId text
  std::optional<std::string> condition_name{};
  std::optional<std::string> branch_id{};
  std::optional<bool> retain{};
  std::optional<bool> active{};
  std::optional<bool> acked{};
  std::optional<bool> confirmed{};
  bool refresh = false;            // a condition's state sent again on request, not a new event
  std::string fields_json = "{}";  // a JSON object
};

// The newest stored event of one condition of a source: the greatest event time, and of
// several at that time the greatest receive time.
struct ConditionEvent {
  std::string condition_id;
  std::string event_id;  // raw bytes
  std::int64_t time_us = 0;
  friend bool operator==(const ConditionEvent&, const ConditionEvent&) = default;
};

// What a server says of one tag's variable, as stored in its `tags` row. Unset fields are
// stored as NULL: not known (not read yet, or the server does not publish it).
struct TagMetadata {
  std::int64_t tag_id = 0;
  // The value's data type: a standard type's name ("Double"), else NodeId text with the
  // namespace URI ("nsu=urn:example;i=3001").
  std::optional<std::string> data_type{};
  std::optional<std::string> unit{};            // the engineering unit's display name, e.g. "°C"
  std::optional<std::int32_t> unit_id{};        // the engineering unit's numeric code (unitId)
  std::optional<double> eu_low{};               // the range a value normally stays in; NaN is
  std::optional<double> eu_high{};              // taken as not known, so it is stored as NULL
  std::optional<std::uint32_t> access_level{};  // bits: 1 readable, 2 writable, 4 history
                                                // readable, 8 history writable, ...
  std::optional<std::string> server_description{};
  // An enumeration's value names, as a JSON object by value: {"0":"Off","1":"Manual"}.
  std::optional<std::string> enum_names{};
  std::optional<std::int64_t> metadata_time_us{};  // when it was read, µs since 1970 UTC
  // Equal in everything the server says; the time of the read is left out.
  bool same_content(const TagMetadata& other) const;
  friend bool operator==(const TagMetadata&, const TagMetadata&) = default;
};

// One tag whose stored metadata update_tag_metadata changed: what was stored and what is now.
// `before` has no metadata_time_us when the tag's metadata had never been stored.
struct TagMetadataChange {
  TagMetadata before;
  TagMetadata after;
  bool first_read() const { return !before.metadata_time_us; }
};

// What update_tag_metadata did.
struct TagMetadataUpdate {
  std::size_t updated = 0;                 // tags written, changed or not
  std::vector<TagMetadataChange> changed;  // in the order of the list
  std::vector<std::int64_t> unknown_tags;  // listed ids of no stored tag, in list order
};

struct WriteResult {
  bool success = false;
  std::size_t count = 0;
  bool duplicate = false;       // the batch was already stored; nothing written
  std::size_t text_count = 0;   // of count, the rows stored in tsdata_text
  std::size_t event_count = 0;  // events stored beside the rows (not in count)
};

}  // namespace tidewell
