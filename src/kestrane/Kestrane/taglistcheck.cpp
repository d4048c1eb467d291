#include "Kestrane/taglistcheck.h"

#include <unordered_map>
#include <unordered_set>

#include "config/text_codec.h"

namespace {

// One CSV record as it stands in the file: where it starts and its text without the line
// break that ends it.
struct RawRecord {
  std::size_t line = 0;
  std::string_view text;
};

bool is_line_break(char c) { return c == '\n' || c == '\r'; }

// Length of the line break at `pos`: 2 for \r\n, else 1.
std::size_t break_length(std::string_view text, std::size_t pos) {
  return text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n' ? 2 : 1;
}

// Cuts the text into records the way the loader reads them: a line break inside a field that
// opened with a double quote belongs to the field; completely empty lines are no records.
// Only the boundaries matter here; the loader itself says what each record holds.
std::vector<RawRecord> split_records(std::string_view text) {
  std::vector<RawRecord> records;
  std::size_t pos = 0;
  std::size_t line = 1;
  while (pos < text.size()) {
    if (is_line_break(text[pos])) {
      pos += break_length(text, pos);
      ++line;
      continue;
    }
    const std::size_t start = pos;
    const std::size_t start_line = line;
    bool in_quotes = false;
    bool field_start = true;
    while (pos < text.size()) {
      const char c = text[pos];
      if (in_quotes) {
        if (c == '"') {
          if (pos + 1 < text.size() && text[pos + 1] == '"') {
            pos += 2;
            continue;
          }
          in_quotes = false;
        } else if (is_line_break(c)) {
          pos += break_length(text, pos);
          ++line;
          continue;
        }
        ++pos;
        continue;
      }
      if (is_line_break(c)) break;
      if (c == '"' && field_start) in_quotes = true;
      field_start = c == ',';
      ++pos;
    }
    records.push_back({start_line, text.substr(start, pos - start)});
    if (pos < text.size()) {
      pos += break_length(text, pos);
      ++line;
    }
  }
  return records;
}

// Whether some name is listed twice; most lists list each once, and then the lines need not
// be located at all.
bool has_repeated_name(const std::vector<kestrane_config::TagEntry>& tags) {
  std::unordered_set<std::string_view> names;
  names.reserve(tags.size());
  for (const kestrane_config::TagEntry& tag : tags) {
    if (!names.insert(tag.name).second) return true;
  }
  return false;
}

}  // namespace

std::vector<TagListProblem> find_repeated_names(
    std::string_view text, const std::vector<kestrane_config::TagEntry>& tags) {
  if (!has_repeated_name(tags)) return {};
  const std::vector<RawRecord> records = split_records(text);
  if (records.empty()) return {};

  // Each row parsed on its own below the header, so that the loader's own rules (quoting,
  // trimming, the place of the column) decide what the row holds.
  const std::string header(records.front().text);
  std::vector<TagListProblem> problems;
  std::unordered_map<std::string, std::size_t> first_line;
  std::string one_row;
  for (std::size_t i = 1; i < records.size(); ++i) {
    const RawRecord& record = records[i];
    one_row.assign(header);
    one_row += '\n';
    one_row += record.text;
    std::vector<kestrane_config::TagEntry> row;
    kestrane_config::parse_tag_csv(one_row, row);
    if (row.empty()) continue;  // no name: the loader skips the row without a word
    const std::string& name = row.front().name;
    const auto [seen, inserted] = first_line.emplace(name, record.line);
    if (!inserted) {
      problems.push_back({record.line, "'" + name + "' is listed again (first on line " +
                                           std::to_string(seen->second) + ")"});
    }
  }
  return problems;
}

std::vector<TagListProblem> find_undecodable_lines(std::string_view bytes) {
  std::vector<TagListProblem> problems;
  std::size_t line = 1;
  std::size_t start = 0;
  for (std::size_t pos = 0; pos <= bytes.size(); ++pos) {
    if (pos < bytes.size() && !is_line_break(bytes[pos])) continue;
    if (!kestrane_config::is_valid_utf8(bytes.substr(start, pos - start))) {
      problems.push_back({line, "not UTF-8 text (and the file is no GBK text either)"});
    }
    if (pos == bytes.size()) break;
    pos += break_length(bytes, pos) - 1;
    start = pos + 1;
    ++line;
  }
  if (problems.empty()) problems.push_back({0, "the file is neither UTF-8 nor GBK text"});
  return problems;
}

std::string describe_tag_list_problems(const std::vector<TagListProblem>& problems,
                                       std::size_t max_listed, std::string_view separator) {
  std::string text;
  const std::size_t listed = std::min(problems.size(), max_listed);
  for (std::size_t i = 0; i < listed; ++i) {
    if (i) text += separator;
    if (problems[i].line > 0) text += "line " + std::to_string(problems[i].line) + ": ";
    text += problems[i].what;
  }
  if (problems.size() > listed) {
    text += separator;
    text += "... and " + std::to_string(problems.size() - listed) + " more";
  }
  return text;
}
