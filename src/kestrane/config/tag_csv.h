#pragma once
// The CSV tag list: a header row naming `FullTagName` and `Description` (any order, other
// columns ignored), then one tag per row, with the usual double-quote quoting. The optional
// columns `SamplingInterval` (seconds) and `Deadband` give a tag its own subscription settings.
// Shared by the console program and the desktop import. Pure functions; safe from any thread.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "config/text_codec.h"

namespace kestrane_config {

inline constexpr std::string_view kTagNameColumn = "FullTagName";
inline constexpr std::string_view kDescriptionColumn = "Description";
inline constexpr std::string_view kSamplingIntervalColumn = "SamplingInterval";
inline constexpr std::string_view kDeadbandColumn = "Deadband";
// Written by the browse tool for the reader's eyes; the tag list takes it as any other column
// it does not know, and ignores it.
inline constexpr std::string_view kDataTypeColumn = "DataType";

struct TagEntry {
  std::string name;         // trimmed, never empty
  std::string description;  // trimmed, may be empty
  // The tag's own sampling interval in seconds (0: the server's fastest) and deadband (>= 0);
  // unset (no such column, or an empty cell): the configured ones.
  std::optional<double> sampling_interval{};
  std::optional<double> deadband{};
  // A cell of those columns that is no such number, naming line and column; empty when none.
  // Only subscriptions refuse it (see acquisition_for_tags).
  std::string monitor_problem{};

  friend bool operator==(const TagEntry&, const TagEntry&) = default;
};

// The file's bytes are neither UTF-8 nor GBK.
class TagFileDecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The header lacks `FullTagName` or `Description`.
class TagCsvColumnsError : public std::runtime_error {
 public:
  TagCsvColumnsError()
      : std::runtime_error("CSV file missing required columns: FullTagName, Description") {}
};

// A malformed file; the message names the line and what is wrong with it.
class TagCsvFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the whole file and decodes it (UTF-8 first, then GBK). Throws
// journel::FileNotFoundError when it cannot be read and TagFileDecodeError when it decodes
// under neither encoding.
DecodedText read_tag_file(const std::filesystem::path& path);

// Parses decoded text and appends one entry per row with a non-blank name, in file order;
// duplicates are kept. Entries parsed before an error stay appended. Throws
// TagCsvFormatError (no header row, a short row, an unclosed quote, a NUL character) and
// TagCsvColumnsError. A row too short for an optional column has an empty cell there; a
// SamplingInterval or Deadband cell that is no number of 0 or more is kept in monitor_problem.
void parse_tag_csv(std::string_view text, std::vector<TagEntry>& tags);

struct TagCsvFile {
  std::vector<TagEntry> tags;
  std::string encoding;  // "utf-8" or "gbk"
};

// read_tag_file and parse_tag_csv in one call, with the same errors.
TagCsvFile load_tag_csv_file(const std::filesystem::path& path);

}  // namespace kestrane_config
