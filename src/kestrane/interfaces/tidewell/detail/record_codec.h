#pragma once
// Conversions between the client's records and the texts stored in the database, shared
// by both drivers. Pure functions; safe from any thread.

#include <string>
#include <string_view>

#include "tidewell/types.h"

namespace tidewell {

// A JSON object text; throws RequestRejected when a key or value is not valid UTF-8.
std::string description_to_json(const Description& description);
// Non-text values of a stored object are kept as their JSON text; a stored text that is not
// a JSON object reads as an empty description.
Description description_from_json(std::string_view json);

// Whether two JSON texts hold the same value as PostgreSQL's jsonb compares them (object keys in
// any order, escapes decoded); a text that is no JSON equals nothing.
bool same_description(std::string_view stored_json, std::string_view listed_json);

SourceStatus status_from_text(std::string_view text);
SourceProtocol protocol_from_text(std::string_view text);

// Throws RequestRejected naming `what` when `text` holds a NUL byte: neither database keeps
// text past one, so it would be cut short silently.
void require_no_nul(std::string_view text, std::string_view what);

}  // namespace tidewell
