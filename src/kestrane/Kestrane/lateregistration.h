#pragma once
// LateRegistration: the desktop's registration of its source and of the table's tags for a
// collection started while the database could not be reached (start_without_tsdb). Made on the
// GUI thread by MainWidget for one start and given to the collector as its writer's
// prepare_connection; called on the writer's thread, on its first connection that answers.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Kestrane/tablemodel.h"
#include "config/tag_csv.h"
#include "tidewell/connection.h"

class LateRegistration {
 public:
  using TagIds = std::unordered_map<std::string, std::int64_t>;
  // Told (on the writer's thread) the ids of the registered tags, by name.
  using RegisteredFunc = std::function<void(const TagIds& ids)>;

  // `rows` are the table's rows at the start (the tag list cannot change while collecting).
  LateRegistration(std::string opc_schema, std::string opc_type, const TableRows& rows,
                   RegisteredFunc on_registered);

  // Finds or creates the desktop's source for the server and registers every tag under it on
  // `conn`, as a start with the database answering does. Returns the ids to write with, or
  // nullopt when the source could not be made or no tag registered (the writer tries again).
  // Throws what the TSDB client throws.
  std::optional<TagIds> operator()(tidewell::Connection& conn) const;

 private:
  struct State {
    std::string opc_schema;
    std::string opc_type;
    std::vector<kestrane_config::TagEntry> tags;
    RegisteredFunc on_registered;
  };
  // Shared, so the function object the collector keeps stays cheap to copy.
  std::shared_ptr<const State> state_;
};
