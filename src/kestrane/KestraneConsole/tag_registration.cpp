#include "KestraneConsole/tag_registration.h"

#include <exception>

#include "tidewell/tidewell.h"

namespace kestrane_console {

namespace {

// Closes the registration connection on every way out, also after an exception.
class ConnectionCloser {
 public:
  explicit ConnectionCloser(tidewell::Connection& conn) : conn_(conn) {}
  ~ConnectionCloser() {
    try {
      conn_.close();
    } catch (...) {
      // The registration's own result already stands; a failing close changes nothing.
    }
  }
  ConnectionCloser(const ConnectionCloser&) = delete;
  ConnectionCloser& operator=(const ConnectionCloser&) = delete;

 private:
  tidewell::Connection& conn_;
};

// How often the walk asks whether it should stop; asking costs a system call.
constexpr std::size_t kCancelCheckEvery = 256;

}  // namespace

tidewell::SourceInfo make_console_source(const std::string& opc_schema,
                                         const std::string& opc_type) {
  tidewell::SourceInfo source;
  source.source_name = kConsoleSourceName;
  source.endpoint = opc_schema;
  source.status = tidewell::SourceStatus::ACTIVE;
  source.protocol =
      opc_type == "OPC UA" ? tidewell::SourceProtocol::OPC_UA : tidewell::SourceProtocol::OPC_DA;
  // Fixed: the stored interval does not follow collection_interval.
  source.interval_msec = 1000;
  source.description = {
      {"created_by", "KestraneConsole"}, {"endpoint", opc_schema}, {"protocol", opc_type}};
  return source;
}

tidewell::Description tag_description(const std::string& text) {
  if (text.empty()) return {};
  return {{"desc", text}};
}

RegistrationOutcome register_source_and_tags(const RegistrationRequest& request,
                                             const std::vector<TagEntry>& tags, spdlog::logger& log,
                                             const ConnectFunc& connect,
                                             const CancelFunc& cancelled) {
  RegistrationOutcome outcome;
  try {
    std::unique_ptr<tidewell::Connection> conn =
        connect ? connect(request.tsdb_cfg) : tidewell::get_conn(request.tsdb_cfg);
    if (!conn) {
      log.error("Failed to connect to TSDB");
      return outcome;
    }
    ConnectionCloser closer(*conn);

    tidewell::SourceInfo source = make_console_source(request.opc_schema, request.opc_type);
    tidewell::SourceFilter filter;
    filter.names = {source.source_name};
    filter.status = {source.status};
    filter.protocol = {source.protocol};
    for (const tidewell::SourceInfo& existing : tidewell::get_sources(*conn, filter)) {
      if (existing.endpoint == source.endpoint && existing.source_id) {
        outcome.source_id = existing.source_id;
        log.info("Found existing source with ID: {}", *outcome.source_id);
        break;
      }
    }
    if (!outcome.source_id) {
      const auto inserted = tidewell::insert_new_source(*conn, source);
      if (!inserted.ok || !source.source_id) {
        log.error("Failed to create data source");
        return outcome;
      }
      outcome.source_id = source.source_id;
      log.info("Created new source with ID: {}", *outcome.source_id);
    }

    for (std::size_t i = 0; i < tags.size(); ++i) {
      if (cancelled && i % kCancelCheckEvery == 0 && cancelled()) {
        outcome.cancelled = true;
        return outcome;
      }
      const TagEntry& tag = tags[i];
      const tidewell::Description description = tag_description(tag.description);
      if (tidewell::get_tag(*conn, tag.name)) {
        tidewell::TagFields fields;
        fields.source_id = outcome.source_id;
        fields.source_tagname = tag.name;
        fields.description = description;
        if (tidewell::update_tag_fields(*conn, tag.name, fields).ok) {
          ++outcome.updated;
          log.debug("Updated tag: {}", tag.name);
        } else {
          log.warn("Failed to update tag: {}", tag.name);
        }
      } else {
        tidewell::TagInfo info;
        info.tag_name = tag.name;
        info.description = description;
        info.source_id = outcome.source_id;
        info.source_tagname = tag.name;
        if (tidewell::insert_new_tag(*conn, info).ok) {
          ++outcome.created;
          log.debug("Created tag: {}", tag.name);
        } else {
          log.warn("Failed to create tag: {}", tag.name);
        }
      }
    }
    log.info("Database setup complete: {} tags created, {} tags updated", outcome.created,
             outcome.updated);
    outcome.ok = true;
    return outcome;
  } catch (const std::exception& e) {
    log.error("Failed to setup database objects: {}", e.what());
    outcome.ok = false;
    return outcome;
  }
}

}  // namespace kestrane_console
