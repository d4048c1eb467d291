#pragma once
// Connection: one open TSDB connection, of one driver. Owned by whoever called get_conn;
// not synchronised: one thread at a time (callers never share a connection between threads),
// except abort(), which another thread may call while a request runs.
// Drivers derive from it; callers use the free functions of tidewell.h.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "tidewell/types.h"

namespace tidewell {

// A database operation failed; the message names host and database, never the password.
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The database refused the request itself (a duplicate name, a value or text it cannot store)
// and the connection stays usable: sending the same request again would fail again. Any other
// DatabaseError may pass (a lost connection, a timeout, a locked file).
class RequestRejected : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

class Connection {
 public:
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Closes the connection; later calls other than close() and ping() throw DatabaseError.
  virtual void close() = 0;
  // True while the server answers; never throws.
  virtual bool ping() = 0;
  // Makes the request under way fail at once with DatabaseError, and every later one too: the
  // connection is done for (close it and connect again). A request that reached the server may
  // still commit there. Safe from any thread while another uses the connection, as long as the
  // object lives; never throws, never waits on the server. The base class does nothing.
  virtual void abort() noexcept {}

  virtual std::vector<SourceInfo> get_sources(const SourceFilter& flt) = 0;
  virtual OperationResult<SourceInfo> insert_new_source(SourceInfo& source) = 0;
  virtual std::optional<TagInfo> get_tag(const std::string& tag_name) = 0;
  virtual OperationResult<TagInfo> insert_new_tag(const TagInfo& tag) = 0;
  virtual OperationResult<TagInfo> update_tag_fields(const std::string& tag_name,
                                                     const TagFields& fields) = 0;
  // The base class looks each name up with get_tag and walks the list tag by tag with
  // get_tag, insert_new_tag and update_tag_fields; the drivers answer in a few statements and
  // walk only what the database refuses. Semantics: tidewell.h.
  virtual std::unordered_map<std::string, std::int64_t> get_tag_ids(
      std::span<const std::string> names);
  virtual TagRegistrationResult register_tags(std::int64_t source_id,
                                              std::span<const TagRegistration> tags);
  // One row per index, all or none, sent as one stream; the rows' time is the client's clock
  // at the call. Throws DatabaseError on any failure, so success is true whenever it returns.
  virtual WriteResult write_tsdata(std::span<const std::int64_t> tag_ids,
                                   std::span<const double> values,
                                   std::span<const std::string> qualities) = 0;
  // As write_tsdata, with every row at `time_us` and the batch's identity stored in the same
  // transaction; an identity stored already writes nothing and reports duplicate. The base
  // class keeps no identities, so it throws DatabaseError; the drivers implement it.
  // Semantics: tidewell.h.
  virtual WriteResult write_batch(const BatchId& batch, std::int64_t time_us,
                                  std::span<const std::int64_t> tag_ids,
                                  std::span<const double> values,
                                  std::span<const std::string> qualities);
  // One batch of rows, each with its own time, numbers to tsdata and texts to tsdata_text, its
  // events to events, and the batch's identity, all in one transaction; semantics: tidewell.h.
  // The base class passes rows of one time and no text to write_batch and throws DatabaseError
  // for any other, and for any event.
  virtual WriteResult write_rows(const BatchId& batch, std::span<const TsdataRow> rows,
                                 std::span<const EventRow> events);
  // Deletes at most `max_rows` records of batches written before `older_than_us`, in one short
  // transaction, oldest first; returns how many. The base class keeps no identities, so it has
  // none to delete. Semantics: tidewell.h.
  virtual std::size_t prune_write_batches(std::int64_t older_than_us, std::size_t max_rows);
  // What each of `tag_ids` has stored last; semantics: tidewell.h. The base class cannot read
  // rows back, so it throws DatabaseError; the drivers implement it.
  virtual std::vector<LastStored> last_stored(std::span<const LastStoredQuery> queries);
  // The newest stored event of each condition of `source_id` (of those listed, when the list
  // is not empty); semantics: tidewell.h. The base class stores no events, so it has none.
  virtual std::vector<ConditionEvent> latest_condition_events(
      std::int64_t source_id, std::span<const std::string> condition_ids);
  // Stores each listed tag's metadata and reads it back; semantics: tidewell.h. The base
  // class keeps no metadata, so both throw DatabaseError; the drivers implement them.
  virtual TagMetadataUpdate update_tag_metadata(std::span<const TagMetadata> metadata);
  virtual std::vector<TagMetadata> tag_metadata(std::span<const std::int64_t> tag_ids);

 protected:
  Connection() = default;
};

}  // namespace tidewell
