#include "Kestrane/lateregistration.h"

#include <utility>

#include "Kestrane/resultmerger.h"
#include "config/tag_registration.h"
#include "journel/log.h"

namespace {

constexpr int kDescriptionColumn = 2;

std::string cell_text(const TableRow& row, int column) {
  return row.size() > column ? row[column].toString().toStdString() : std::string();
}

}  // namespace

LateRegistration::LateRegistration(std::string opc_schema, std::string opc_type,
                                   const TableRows& rows, RegisteredFunc on_registered) {
  State state{std::move(opc_schema), std::move(opc_type), {}, std::move(on_registered)};
  state.tags.reserve(static_cast<std::size_t>(rows.size()));
  for (const TableRow& row : rows) {
    state.tags.push_back(
        {cell_text(row, ResultMerger::kTagNameColumn), cell_text(row, kDescriptionColumn)});
  }
  state_ = std::make_shared<const State>(std::move(state));
}

std::optional<LateRegistration::TagIds> LateRegistration::operator()(
    tidewell::Connection& conn) const {
  const auto log = journel::get_logger("Kestrane");
  log->info("The TSDB answers: registering the source and tags");
  const kestrane_config::SourceProfile& profile = kestrane_config::desktop_profile();
  const std::optional<std::int64_t> source_id = kestrane_config::find_or_create_source(
      conn, profile, state_->opc_schema, state_->opc_type, *log);
  if (!source_id || *source_id == 0) {
    log->error("Failed to insert source information.");
    return std::nullopt;
  }
  tidewell::TagRegistrationResult done =
      kestrane_config::register_tags(conn, *source_id, state_->tags, profile, *log);
  log->info("Synchronised {} tags with source_id {}: {} created, {} updated, {} failed",
            state_->tags.size(), *source_id, done.created, done.updated, done.failed.size());
  if (!state_->tags.empty() && done.tag_ids.empty()) {
    // Writing would only find every tag missing, cycle after cycle: try again later.
    log->error("No tag of the list could be registered in the TSDB ({} refused)",
               state_->tags.size());
    return std::nullopt;
  }
  if (state_->on_registered) state_->on_registered(done.tag_ids);
  return std::move(done.tag_ids);
}
