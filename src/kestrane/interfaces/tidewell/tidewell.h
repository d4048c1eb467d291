#pragma once
// The TSDB client's entry points. Each call commits its own work; a failed call leaves
// nothing half-written. Thread-safety is that of the connection passed in.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "tidewell/connection.h"
#include "tidewell/types.h"

namespace tidewell {

// A new connection (schema created or migrated when missing), or nullptr when the server
// cannot be reached or refuses: unreachable host, wrong password, missing database, a file
// that is no database (the reason, naming host, port and database, is logged at ERROR under
// "tidewell"). Throws DatabaseError for settings that can never work: an unknown driver, a
// port out of range, a sqlite dbname that is no plain file name, a data_dir that cannot be
// created, a schema this program cannot use. Connects within about 5 s per server address.
std::unique_ptr<Connection> get_conn(const TsdbSettings& settings);
// Opens a connection in place of get_conn (tests pass a fake or a failing server); nullptr
// means "no connection", as from get_conn.
using ConnectFunc = std::function<std::unique_ptr<Connection>(const TsdbSettings&)>;
// `connect` when it is set, else get_conn.
std::unique_ptr<Connection> connect_with(const ConnectFunc& connect, const TsdbSettings& settings);
// True while the server answers a query, within 5 s; never throws.
bool ping(Connection& conn);
// Databases the user may connect to, sorted (templates and the maintenance database
// "postgres", through which the list is read, left out); for sqlite the database files in
// data_dir, named as dbname takes them. Throws DatabaseError when the server cannot be reached.
std::vector<std::string> fetch_available_tsdbs(const TsdbSettings& settings);

// Operations below throw DatabaseError when the connection is closed or lost; a request the
// database refuses (a duplicate tag name, an unknown source id, text it cannot store) gives
// ok == false with the reason in `error`.
std::vector<SourceInfo> get_sources(Connection& conn, const SourceFilter& flt);
// When ok, source.source_id holds the new id.
OperationResult<SourceInfo> insert_new_source(Connection& conn, SourceInfo& source);
std::optional<TagInfo> get_tag(Connection& conn, const std::string& tag_name);
OperationResult<TagInfo> insert_new_tag(Connection& conn, const TagInfo& tag);
// ok == false when no tag has that name; data is the tag as stored afterwards.
OperationResult<TagInfo> update_tag_fields(Connection& conn, const std::string& tag_name,
                                           const TagFields& fields);
// The ids of those of `names` that are stored, by name; names not stored are absent.
std::unordered_map<std::string, std::int64_t> get_tag_ids(Connection& conn,
                                                          std::span<const std::string> names);
// Creates every listed tag that is new and points every listed tag to `source_id`
// (source_tagname = its name, description as listed; the last listing of a name wins), in a
// few statements rather than a round trip per tag. A listing the database refuses (a name or
// description it cannot store, an unknown source) becomes one entry of `failed`, as a walk of
// the list tag by tag would report it, and the rest still register. Such a list is registered
// in parts, each committed on its own, so a connection lost meanwhile keeps the parts before.
TagRegistrationResult register_tags(Connection& conn, std::int64_t source_id,
                                    std::span<const TagRegistration> tags);
// All rows or none, each stamped with the client's clock at the call. Returns
// {true, rows written}; throws DatabaseError on any failure (sequences of unequal length, a
// lost connection, a value the database refuses).
WriteResult write_tsdata(Connection& conn, std::span<const std::int64_t> tag_ids,
                         std::span<const double> values, std::span<const std::string> qualities);
// One batch, exactly once: all rows, each stamped `time_us` (microseconds since 1970-01-01
// UTC, the time the cycle was read), and `batch` recorded in the same transaction. Returns
// {true, rows written}; when `batch` is recorded already (a replay of a batch whose
// acknowledgement was lost) nothing is written and {true, 0, duplicate = true} comes back. An
// empty batch records its identity too. Throws DatabaseError as write_tsdata does, and for a
// seq above 2^63 - 1 or a writer id the database cannot store; a batch that threw left no
// record, so writing it again stores it.
WriteResult write_tsdata(Connection& conn, const BatchId& batch, std::int64_t time_us,
                         std::span<const std::int64_t> tag_ids, std::span<const double> values,
                         std::span<const std::string> qualities);
// One batch, exactly once, as above, with each row's own time, status and source time:
// numbers and Booleans go to tsdata, texts (rows with `text` set) to tsdata_text, both in the
// batch's one transaction. {true, rows written, duplicate, rows of them in tsdata_text}. A row
// the database cannot store (a time outside its range, a NUL in a text) throws
// RequestRejected, and then nothing of the batch is stored.
WriteResult write_tsdata(Connection& conn, const BatchId& batch, std::span<const TsdataRow> rows);
// The same batch with its events, stored in `events` in the same transaction: a batch stored
// already writes neither rows nor events. event_count says how many events were stored. An
// event the database cannot store (a time outside its range, a NUL in a text, fields that are
// no JSON object) throws RequestRejected, and then nothing of the batch is stored.
WriteResult write_rows_and_events(Connection& conn, const BatchId& batch,
                                  std::span<const TsdataRow> rows,
                                  std::span<const EventRow> events);

// The newest stored event (by event time, then receive time) of each condition of the source
// `source_id`, sorted by condition id: of every condition it has events of when
// `condition_ids` is empty, else of those listed (a condition without stored events gives no
// entry). What a collector compares a condition's state with at start, so that a state it has
// stored already is not stored again. Found through an index on (source_id, condition_id,
// time). Throws DatabaseError as the writes do.
std::vector<ConditionEvent> latest_condition_events(
    Connection& conn, std::int64_t source_id, std::span<const std::string> condition_ids = {});

// Stores what a server says of each listed tag (by tag id) in its `tags` row, NULL for what
// is unset, in one transaction and, on PostgreSQL, one round trip: every field is replaced,
// metadata_time included. A tag listed twice gets its last listing; a NaN range limit is
// stored as NULL (not known). Returns how many tags were written, the listed ids of no stored
// tag (left alone), and each tag whose content (everything but metadata_time) differs from
// what was stored, old beside new, so that the caller can report it; a tag whose metadata had
// never been stored is among them, marked first_read(). A text with a NUL byte or a time the
// database cannot store throws RequestRejected naming the tag before anything is written; a
// text the database refuses (no valid UTF-8, on PostgreSQL) throws RequestRejected and writes
// nothing. Throws DatabaseError as the writes do.
TagMetadataUpdate update_tag_metadata(Connection& conn, std::span<const TagMetadata> metadata);
// The stored metadata of those of `tag_ids` that are stored, in the order of their first
// listing (a tag never described has only tag_id set). Throws DatabaseError as the writes do.
std::vector<TagMetadata> tag_metadata(Connection& conn, std::span<const std::int64_t> tag_ids);

// Deletes the records of batches written (committed) before `older_than_us` (microseconds
// since 1970-01-01 UTC) from write_batches, which otherwise grows by one row per batch. A
// batch whose record is gone is no longer recognised: written again, it would be stored twice,
// so only records older than any batch a spool may still hold should go. Works a chunk at a
// time, each chunk its own short transaction, so writers of other connections wait at most for
// one chunk; stops after about two seconds and reports finished == false when older records
// remain (the next call goes on). Throws DatabaseError as the writes do.
PruneResult prune_write_batches(Connection& conn, std::int64_t older_than_us);

// What each of `tag_ids` has stored last, for the tags with any row in tsdata or tsdata_text,
// in the order of their first listing (a tag without rows, or listed again, gives no entry):
// time_us is the tag's latest row time over both tables; source_time_us the source time of a
// row at that time (the greatest when they differ, unset when none has one); rows_at_edge every
// row of the tag, in either table, at that time with that source time, as stored (a NULL status
// unset, NaN for a number stored as such). Each tag is found through the (tag_id, time) index,
// never by reading its history, one statement per tag that touches only that tag's rows (a
// single-tag query, which engines that distribute tsdata by tag send to one node), sent a
// thousand at a time in one round trip. Throws DatabaseError as the writes do.
std::vector<LastStored> last_stored(Connection& conn, std::span<const std::int64_t> tag_ids);
// The same, each tag's rows taken only from before its query's time (when set): what a tag had
// stored before a run's first value of it.
std::vector<LastStored> last_stored(Connection& conn, std::span<const LastStoredQuery> queries);

}  // namespace tidewell
