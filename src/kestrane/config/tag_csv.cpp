#include "config/tag_csv.h"

#include <charconv>
#include <cmath>
#include <optional>

#include <fmt/format.h>

#include "config/console_config.h"
#include "journel/ini_lines.h"

namespace kestrane_config {

namespace {

struct CsvRecord {
  std::vector<std::string> fields;
  std::size_t line = 0;  // physical line on which the record starts, from 1
};

// Reads records with the common CSV rules: a field that starts with a double quote may hold
// commas and line breaks, and "" inside it stands for one quote; text after a closing quote
// is kept, as is a quote inside an unquoted field. \r\n, \n and \r all end a line.
class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}

  std::optional<CsvRecord> next() {
    if (pos_ >= text_.size()) return std::nullopt;
    CsvRecord record;
    record.line = line_;
    if (at_line_break()) {  // a completely empty line: a record without fields
      skip_line_break();
      return record;
    }
    std::string field;
    for (;;) {
      if (pos_ >= text_.size()) {
        record.fields.push_back(std::move(field));
        return record;
      }
      const char c = text_[pos_];
      if (c == '\0') throw TagCsvFormatError(line_text() + " contains a NUL character");
      if (c == ',') {
        ++pos_;
        record.fields.push_back(std::move(field));
        field.clear();
      } else if (at_line_break()) {
        skip_line_break();
        record.fields.push_back(std::move(field));
        return record;
      } else if (c == '"' && field.empty() && starts_field()) {
        read_quoted(field);
      } else {
        field.push_back(c);
        ++pos_;
      }
    }
  }

 private:
  bool at_line_break() const { return text_[pos_] == '\n' || text_[pos_] == '\r'; }
  void skip_line_break() {
    if (text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') ++pos_;
    ++pos_;
    ++line_;
  }
  // Whether the cursor is at the first character of a field.
  bool starts_field() const {
    return pos_ == 0 || text_[pos_ - 1] == ',' || text_[pos_ - 1] == '\n' ||
           text_[pos_ - 1] == '\r';
  }
  std::string line_text() const { return "line " + std::to_string(line_); }

  void read_quoted(std::string& field) {
    const std::size_t opened_on = line_;
    ++pos_;  // the opening quote
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\0') throw TagCsvFormatError(line_text() + " contains a NUL character");
      if (c == '"') {
        if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
          field.push_back('"');
          pos_ += 2;
          continue;
        }
        ++pos_;  // the closing quote
        return;
      }
      if (c == '\r' || c == '\n') {
        // Inside quotes every line-break convention becomes one \n.
        skip_line_break();
        field.push_back('\n');
        continue;
      }
      field.push_back(c);
      ++pos_;
    }
    throw TagCsvFormatError("line " + std::to_string(opened_on) +
                            ": quoted field is not closed before the end of the file");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
};

std::optional<std::size_t> column_index(const std::vector<std::string>& header,
                                        std::string_view name) {
  // When a name appears twice the later column wins, as a header-keyed row would have it.
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (header[i] == name) found = i;
  }
  return found;
}

const std::string& field_or_throw(const CsvRecord& record, std::size_t index,
                                  std::string_view column, std::size_t header_size) {
  if (index >= record.fields.size()) {
    throw TagCsvFormatError("line " + std::to_string(record.line) + " has no value for column '" +
                            std::string(column) + "' (" + std::to_string(record.fields.size()) +
                            " of " + std::to_string(header_size) + " fields)");
  }
  return record.fields[index];
}

// An optional number column: empty or missing is unset; otherwise a decimal number of 0 or
// more (up to `max` when given), nothing else in the cell. Any other cell leaves the value
// unset and its description in `problem` (the first one of the row), since only subscriptions
// use these columns: a list that already had such a column of its own still polls.
std::optional<double> number_cell(const CsvRecord& record, std::optional<std::size_t> index,
                                  std::string_view column, std::optional<double> max,
                                  std::string& problem) {
  if (!index || *index >= record.fields.size()) return std::nullopt;
  const std::string text = trim_unicode(record.fields[*index]);
  if (text.empty()) return std::nullopt;
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
      value < 0.0 || (max && value > *max)) {
    if (problem.empty()) {
      problem = fmt::format("line {}, column '{}': '{}' is no number {}", record.line, column,
                            journel::ini_excerpt(text),
                            max ? fmt::format("between 0 and {}", *max) : "of 0 or more");
    }
    return std::nullopt;
  }
  return value;
}

}  // namespace

DecodedText read_tag_file(const std::filesystem::path& path) {
  const std::string bytes = read_file_bytes(path);
  auto decoded = decode_utf8_or_gbk(bytes);
  if (!decoded) throw TagFileDecodeError("Failed to decode CSV file: " + path.string());
  return std::move(*decoded);
}

void parse_tag_csv(std::string_view text, std::vector<TagEntry>& tags) {
  CsvReader reader(text);
  const auto header = reader.next();
  if (!header) throw TagCsvFormatError("the file is empty: no header row");
  const auto name_index = column_index(header->fields, kTagNameColumn);
  const auto desc_index = column_index(header->fields, kDescriptionColumn);
  if (!name_index || !desc_index) throw TagCsvColumnsError();
  const auto sampling_index = column_index(header->fields, kSamplingIntervalColumn);
  const auto deadband_index = column_index(header->fields, kDeadbandColumn);
  const std::size_t header_size = header->fields.size();
  while (auto record = reader.next()) {
    if (record->fields.empty()) continue;
    std::string name =
        trim_unicode(field_or_throw(*record, *name_index, kTagNameColumn, header_size));
    std::string description =
        trim_unicode(field_or_throw(*record, *desc_index, kDescriptionColumn, header_size));
    if (name.empty()) continue;
    TagEntry entry{std::move(name), std::move(description)};
    entry.sampling_interval = number_cell(*record, sampling_index, kSamplingIntervalColumn,
                                          kMaxSamplingInterval, entry.monitor_problem);
    entry.deadband =
        number_cell(*record, deadband_index, kDeadbandColumn, std::nullopt, entry.monitor_problem);
    tags.push_back(std::move(entry));
  }
}

TagCsvFile load_tag_csv_file(const std::filesystem::path& path) {
  DecodedText decoded = read_tag_file(path);
  TagCsvFile file;
  file.encoding = std::move(decoded.encoding);
  parse_tag_csv(decoded.text, file.tags);
  return file;
}

}  // namespace kestrane_config
