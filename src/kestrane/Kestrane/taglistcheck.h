#pragma once
// What the desktop says about a tag list beside importing it: the lines that list a name a
// second time (each listing still becomes a row), found with the CSV loader's own reading of
// each row, and the lines of a file that is no text. Pure functions; safe from any thread.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/tag_csv.h"

// Longest name, in characters, of a variable offered by browsing a server. A tag list from a
// file has no limit of its own.
inline constexpr std::size_t kMaxTagNameLength = 255;

struct TagListProblem {
  std::size_t line = 0;  // physical line of the file, from 1; 0 for the file as a whole
  std::string what;

  friend bool operator==(const TagListProblem&, const TagListProblem&) = default;
};

// The rows whose name was listed on an earlier row, in file order. Rows without a name are
// skipped as the loader skips them. `text` is the decoded file and `tags` what
// kestrane_config::parse_tag_csv made of it (it must have parsed without error).
std::vector<TagListProblem> find_repeated_names(std::string_view text,
                                                const std::vector<kestrane_config::TagEntry>& tags);

// For a file that decodes under no encoding: the lines that are not UTF-8 text.
std::vector<TagListProblem> find_undecodable_lines(std::string_view bytes);

// "line 3: ...", one per problem joined by `separator`, the first `max_listed` of them, then
// how many more.
std::string describe_tag_list_problems(const std::vector<TagListProblem>& problems,
                                       std::size_t max_listed, std::string_view separator = "\n");
