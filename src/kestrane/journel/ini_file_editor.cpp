#include "journel/ini_file_editor.h"

#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "journel/ini_file.h"
#include "journel/ini_lines.h"

namespace journel {

namespace {

constexpr std::string_view kDefaultSection = "DEFAULT";

std::vector<std::string_view> split_on_newline(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t pos = text.find('\n'); pos != std::string_view::npos;
       pos = text.find('\n', start)) {
    pieces.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// The value as the reader gives it back: blanks around every line dropped, and no empty
// lines at the end (the reader cannot tell those from the blank lines after an entry).
std::vector<std::string> readable_lines(std::string_view value) {
  std::vector<std::string> lines;
  for (const std::string_view piece : split_on_newline(value)) lines.emplace_back(ini_strip(piece));
  while (lines.size() > 1 && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  return out;
}

std::string escape_percent(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

// New lines take the break the file already uses.
std::string_view file_line_break(const IniLines& scan) {
  for (const IniLine& line : scan.lines) {
    if (!line.line_break.empty()) return line.line_break;
  }
  return "\n";
}

bool ends_in_blank(std::string_view text) {
  return !text.empty() && (text.back() == ' ' || text.back() == '\t');
}

struct Place {
  std::optional<std::size_t> section;  // index of the header line
  std::optional<std::size_t> entry;    // index of the key's entry line
  std::size_t entry_end = 0;           // last line of the entry's value
  std::size_t section_end = 0;         // last entry or continuation line of the section
};

Place find_place(const IniLines& scan, const std::string& section, const std::string& key) {
  Place place;
  bool in_wanted_entry = false;
  for (std::size_t i = 0; i < scan.lines.size(); ++i) {
    const IniLine& line = scan.lines[i];
    if (line.kind == IniLineKind::kSection) {
      if (place.section) break;
      if (line.name == section) {
        place.section = i;
        place.section_end = i;
      }
      continue;
    }
    if (!place.section) continue;
    if (line.kind == IniLineKind::kEntry) {
      place.section_end = i;
      in_wanted_entry = line.name == key;
      if (in_wanted_entry) {
        place.entry = i;
        place.entry_end = i;
      }
    } else if (line.kind == IniLineKind::kContinuation) {
      place.section_end = i;
      if (in_wanted_entry) place.entry_end = i;
    }
  }
  return place;
}

// Writes `lines`, each but the last followed by `eol`, the last by `last_break`.
void write_lines(std::string& out, const std::vector<std::string>& lines, std::string_view eol,
                 std::string_view last_break) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out += lines[i];
    out += i + 1 < lines.size() ? eol : last_break;
  }
}

}  // namespace

IniFileEditor::IniFileEditor(std::string text, std::string source_name)
    : text_(std::move(text)), source_name_(std::move(source_name)) {
  IniFile::parse(text_, source_name_);
}

IniFileEditor IniFileEditor::read_file(const std::filesystem::path& path) {
  return IniFileEditor(read_ini_text(path), path.string());
}

bool IniFileEditor::set(const std::string& section, const std::string& key,
                        std::string_view value) {
  const std::string stored_key = ini_key(key);
  if (section.empty() || section.find_first_of("\r\n") != std::string::npos ||
      ini_strip(section) != section) {
    throw IniError(fmt::format("{}: invalid section name {}", source_name_, ini_quote(section)));
  }
  if (stored_key.empty() || ini_strip(stored_key) != stored_key ||
      stored_key.find_first_of("=:\r\n") != std::string::npos || stored_key.front() == '[' ||
      stored_key.front() == '#' || stored_key.front() == ';') {
    throw IniError(fmt::format("{}: [{}] invalid key name {}", source_name_, ini_excerpt(section),
                               ini_quote(key)));
  }
  // A password is never quoted, whatever is wrong with it.
  const bool secret = ini_is_secret_key(stored_key);
  if (value.find('\r') != std::string_view::npos) {
    throw IniError(fmt::format("{}: [{}] {}: invalid value: carriage return in {}", source_name_,
                               ini_excerpt(section), stored_key, IniFile::shown(value, secret)));
  }
  const std::vector<std::string> lines = readable_lines(value);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (!lines[i].empty() && (lines[i].front() == '#' || lines[i].front() == ';')) {
      throw IniError(fmt::format("{}: [{}] {}: invalid value: line {} would read as a comment",
                                 source_name_, ini_excerpt(section), stored_key,
                                 IniFile::shown(lines[i], secret)));
    }
  }
  const std::string wanted = join_lines(lines);

  const IniFile current = IniFile::parse(text_, source_name_);
  if (section == kDefaultSection || current.has_section(section)) {
    try {
      if (current.get(section, stored_key) == wanted) return false;
    } catch (const IniError&) {
      // A value that cannot be read now is replaced like any other.
    }
  }

  const IniLines scan = scan_ini_lines(text_, source_name_);
  const Place place = find_place(scan, section, stored_key);
  const std::string_view eol = file_line_break(scan);

  // The entry's lines: `head` is the text before the value on its first line.
  auto entry_lines = [&lines](std::string head, std::string_view indent) {
    std::vector<std::string> out;
    if (!lines.front().empty()) {
      if (!ends_in_blank(head)) head += ' ';
    } else {
      while (ends_in_blank(head)) head.pop_back();
    }
    out.push_back(head + escape_percent(lines.front()));
    for (std::size_t i = 1; i < lines.size(); ++i) {
      // An empty line inside a value reads as blank; indenting it would only add blanks.
      out.push_back(lines[i].empty() ? std::string()
                                     : std::string(indent) + '\t' + escape_percent(lines[i]));
    }
    return out;
  };

  std::string out(scan.byte_order_mark);
  for (std::size_t i = 0; i < scan.lines.size(); ++i) {
    const IniLine& line = scan.lines[i];
    if (place.entry && i == *place.entry) {
      std::vector<std::string> block = entry_lines(
          std::string(line.text.substr(0, line.value_offset)), line.text.substr(0, line.indent));
      // Comments between the old value's lines stay, after the new value; its blank lines
      // were part of the value and go with it.
      for (std::size_t k = i + 1; k <= place.entry_end; ++k) {
        if (scan.lines[k].kind == IniLineKind::kComment) block.emplace_back(scan.lines[k].text);
      }
      // A file without a final line break keeps ending without one.
      write_lines(out, block, eol, scan.lines[place.entry_end].line_break.empty() ? "" : eol);
      i = place.entry_end;
      continue;
    }
    out += line.text;
    if (!place.entry && place.section && i == place.section_end) {
      out += line.line_break.empty() ? eol : line.line_break;
      write_lines(out, entry_lines(stored_key + " =", ""), eol, line.line_break.empty() ? "" : eol);
      continue;
    }
    out += line.line_break;
  }

  if (!place.section) {
    if (!scan.lines.empty()) {
      if (scan.lines.back().line_break.empty()) out += eol;
      if (scan.lines.back().kind != IniLineKind::kBlank) out += eol;
    }
    std::vector<std::string> block{"[" + section + "]"};
    for (std::string& line : entry_lines(stored_key + " =", "")) block.push_back(std::move(line));
    write_lines(out, block, eol, eol);
  }

  // The promise is that the file reads back as asked; never hand out text that does not.
  const IniFile written = IniFile::parse(out, source_name_);
  std::optional<std::string> read_back;
  try {
    read_back = written.get(section, stored_key);
  } catch (const IniError&) {
  }
  if (read_back != wanted) {
    throw IniError(fmt::format("{}: [{}] {}: the value {} cannot be written so that it reads back",
                               source_name_, ini_excerpt(section), stored_key,
                               IniFile::shown(value, secret)));
  }
  text_ = std::move(out);
  return true;
}

}  // namespace journel
