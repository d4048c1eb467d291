#include "config/tag_registration.h"

#include <algorithm>
#include <exception>

namespace kestrane_config {

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

SourceProfile make_console_profile() {
  SourceProfile profile;
  profile.source_name = kConsoleSourceName;
  profile.created_by = "KestraneConsole";
  profile.protocol_as_stored_value = false;
  profile.created_message = "Created new source with ID: {}";
  profile.create_failed_message = "Failed to create tag: {}";
  profile.create_failed_level = spdlog::level::warn;
  profile.update_failed_message = "Failed to update tag: {}";
  profile.tag_created_message = "Created tag: {}";
  profile.tag_updated_message = "Updated tag: {}";
  profile.tag_registered_level = spdlog::level::debug;
  return profile;
}

SourceProfile make_desktop_profile() {
  SourceProfile profile;
  profile.source_name = kDesktopSourceName;
  profile.created_by = "Kestrane4";
  profile.source_type = "OPC_Collector";
  profile.protocol_as_stored_value = true;
  profile.created_message = "Inserted new source with ID: {}";
  profile.create_failed_message = "Failed to insert tag '{}'";
  profile.create_failed_level = spdlog::level::err;
  profile.update_failed_message = "Failed to update source info for tag '{}'";
  profile.tag_created_message = "Inserted tag '{}' with source_id: {}";
  profile.tag_updated_message = "Updated tag '{}' with source_id: {}";
  profile.tag_registered_level = spdlog::level::info;
  return profile;
}

}  // namespace

const SourceProfile& console_profile() {
  static const SourceProfile profile = make_console_profile();
  return profile;
}

const SourceProfile& desktop_profile() {
  static const SourceProfile profile = make_desktop_profile();
  return profile;
}

tidewell::SourceInfo make_source(const SourceProfile& profile, const std::string& opc_schema,
                                 const std::string& opc_type) {
  tidewell::SourceInfo source;
  source.source_name = profile.source_name;
  source.endpoint = opc_schema;
  source.status = tidewell::SourceStatus::ACTIVE;
  source.protocol =
      opc_type == "OPC UA" ? tidewell::SourceProtocol::OPC_UA : tidewell::SourceProtocol::OPC_DA;
  // Fixed: the stored interval does not follow collection_interval.
  source.interval_msec = 1000;
  if (profile.source_type) source.source_type = *profile.source_type;
  source.description = {
      {"created_by", profile.created_by},
      {"endpoint", opc_schema},
      {"protocol", profile.protocol_as_stored_value ? tidewell::value(source.protocol) : opc_type}};
  return source;
}

tidewell::SourceInfo make_console_source(const std::string& opc_schema,
                                         const std::string& opc_type) {
  return make_source(console_profile(), opc_schema, opc_type);
}

tidewell::Description tag_description(const std::string& text) {
  if (text.empty()) return {};
  return {{"desc", text}};
}

std::optional<std::int64_t> find_or_create_source(tidewell::Connection& conn,
                                                  const SourceProfile& profile,
                                                  const std::string& opc_schema,
                                                  const std::string& opc_type,
                                                  spdlog::logger& log) {
  tidewell::SourceInfo source = make_source(profile, opc_schema, opc_type);
  tidewell::SourceFilter filter;
  filter.names = {source.source_name};
  filter.status = {source.status};
  filter.protocol = {source.protocol};
  for (const tidewell::SourceInfo& existing : tidewell::get_sources(conn, filter)) {
    if (existing.endpoint == source.endpoint && existing.source_id) {
      log.info("Found existing source with ID: {}", *existing.source_id);
      return existing.source_id;
    }
  }
  const auto inserted = tidewell::insert_new_source(conn, source);
  if (!inserted.ok || !source.source_id) return std::nullopt;
  log.info(fmt::runtime(profile.created_message), *source.source_id);
  return source.source_id;
}

tidewell::TagRegistrationResult register_tags(tidewell::Connection& conn, std::int64_t source_id,
                                              const std::vector<TagEntry>& tags,
                                              const SourceProfile& profile, spdlog::logger& log) {
  std::vector<tidewell::TagRegistration> list;
  list.reserve(tags.size());
  for (const TagEntry& tag : tags) list.push_back({tag.name, tag_description(tag.description)});
  tidewell::TagRegistrationResult result = tidewell::register_tags(conn, source_id, list);
  // Every tag gets its line, in list order. Lines below the logger's level are skipped before
  // any formatting, so a quiet logger costs one pass over the outcomes.
  const bool log_registered = log.should_log(profile.tag_registered_level);
  const std::size_t count = std::min(result.outcomes.size(), tags.size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& name = tags[i].name;
    switch (result.outcomes[i]) {
      case tidewell::TagOutcome::created:
        if (log_registered) {
          log.log(profile.tag_registered_level, fmt::runtime(profile.tag_created_message), name,
                  source_id);
        }
        break;
      case tidewell::TagOutcome::updated:
        if (log_registered) {
          log.log(profile.tag_registered_level, fmt::runtime(profile.tag_updated_message), name,
                  source_id);
        }
        break;
      case tidewell::TagOutcome::create_failed:
        log.log(profile.create_failed_level, fmt::runtime(profile.create_failed_message), name);
        break;
      case tidewell::TagOutcome::update_failed:
        log.warn(fmt::runtime(profile.update_failed_message), name);
        break;
    }
  }
  log.debug("Registered {} tags under source {}: {} created, {} updated, {} refused", tags.size(),
            source_id, result.created, result.updated, result.failed.size());
  return result;
}

RegistrationOutcome register_source_and_tags(const RegistrationRequest& request,
                                             const std::vector<TagEntry>& tags, spdlog::logger& log,
                                             const ConnectFunc& connect,
                                             const CancelFunc& cancelled) {
  std::unique_ptr<tidewell::Connection> conn;
  try {
    conn = tidewell::connect_with(connect, request.tsdb_cfg);
  } catch (const std::exception& e) {
    log.error("Failed to setup database objects: {}", e.what());
    return {};
  }
  if (!conn) {
    log.error("Failed to connect to TSDB");
    RegistrationOutcome outcome;
    outcome.unreachable = true;
    return outcome;
  }
  ConnectionCloser closer(*conn);
  return register_source_and_tags(*conn, request, tags, log, cancelled);
}

RegistrationOutcome register_source_and_tags(tidewell::Connection& conn,
                                             const RegistrationRequest& request,
                                             const std::vector<TagEntry>& tags, spdlog::logger& log,
                                             const CancelFunc& cancelled) {
  RegistrationOutcome outcome;
  try {
    outcome.source_id =
        find_or_create_source(conn, console_profile(), request.opc_schema, request.opc_type, log);
    if (!outcome.source_id) {
      log.error("Failed to create data source");
      return outcome;
    }
    if (cancelled && cancelled()) {
      outcome.cancelled = true;
      return outcome;
    }
    tidewell::TagRegistrationResult result =
        register_tags(conn, *outcome.source_id, tags, console_profile(), log);
    outcome.created = result.created;
    outcome.updated = result.updated;
    outcome.tag_ids = std::move(result.tag_ids);
    log.info("Database setup complete: {} tags created, {} tags updated", outcome.created,
             outcome.updated);
    if (!tags.empty() && outcome.created + outcome.updated == 0) {
      // Collecting would only log a missing tag for every tag, every cycle.
      log.error("No tag of the list could be registered in the TSDB ({} refused)", tags.size());
      return outcome;
    }
    outcome.ok = true;
    return outcome;
  } catch (const std::exception& e) {
    log.error("Failed to setup database objects: {}", e.what());
    outcome.ok = false;
    return outcome;
  }
}

}  // namespace kestrane_config
