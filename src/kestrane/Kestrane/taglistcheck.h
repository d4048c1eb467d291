#pragma once
// The check of a tag list before the desktop imports it: the lines whose tags the collector
// could not use as listed, found with the CSV loader's own reading of each row.
// Pure functions; safe from any thread.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/tag_csv.h"

// Longest tag name, in characters, that the desktop accepts.
inline constexpr std::size_t kMaxTagNameLength = 255;

struct TagListProblem {
  std::size_t line = 0;  // physical line of the file, from 1; 0 for the file as a whole
  std::string what;

  friend bool operator==(const TagListProblem&, const TagListProblem&) = default;
};

// Rows without a FullTagName, names listed a second time and names longer than
// kMaxTagNameLength, in file order. `text` is the decoded file and `tags` what
// kestrane_config::parse_tag_csv made of it (it must have parsed without error).
std::vector<TagListProblem> find_tag_list_problems(
    std::string_view text, const std::vector<kestrane_config::TagEntry>& tags);

// For a file that decodes under no encoding: the lines that are not UTF-8 text.
std::vector<TagListProblem> find_undecodable_lines(std::string_view bytes);

// "line 3: ...", one line per problem, the first `max_listed` of them, then how many more.
std::string describe_tag_list_problems(const std::vector<TagListProblem>& problems,
                                       std::size_t max_listed);
