#include "journel/ini_file.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

#include "journel/errors.h"

namespace journel {

namespace {

constexpr std::string_view kDefaultSection = "DEFAULT";
constexpr std::string_view kBlanks = " \t\r\n\f\v";
// A reference that leads back to itself would otherwise recurse without end.
constexpr int kMaxInterpolationDepth = 10;

std::string_view strip(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

std::string_view rstrip(std::string_view s) {
  const auto last = s.find_last_not_of(kBlanks);
  return last == std::string_view::npos ? std::string_view{} : s.substr(0, last + 1);
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Offset of the first byte that does not belong to a well-formed UTF-8 sequence, or npos.
std::size_t invalid_utf8_at(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    unsigned min_second = 0x80;
    unsigned max_second = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) min_second = 0xA0;  // overlong
      if (c == 0xED) max_second = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) min_second = 0x90;  // overlong
      if (c == 0xF4) max_second = 0x8F;  // above U+10FFFF
    } else {
      return i;
    }
    if (i + len > s.size()) return i;
    const auto second = static_cast<unsigned char>(s[i + 1]);
    if (second < min_second || second > max_second) return i;
    for (std::size_t k = 2; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if (b < 0x80 || b > 0xBF) return i;
    }
    i += len;
  }
  return std::string_view::npos;
}

// Splits on "\n", "\r\n" and a lone "\r", the way text files from any platform end their lines.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || text[i] == '\r') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::size_t indent_of(std::string_view line) {
  const auto first = line.find_first_not_of(kBlanks);
  return first == std::string_view::npos ? line.size() : first;
}

// Checks the `%` uses of a raw value without resolving references; returns the problem or "".
std::string percent_problem(std::string_view raw) {
  std::size_t pos = 0;
  while ((pos = raw.find('%', pos)) != std::string_view::npos) {
    const std::string_view rest = raw.substr(pos);
    if (rest.size() >= 2 && rest[1] == '%') {
      pos += 2;
    } else if (rest.size() >= 2 && rest[1] == '(') {
      const auto close = rest.find(')');
      if (close == std::string_view::npos || close == 2 || close + 1 >= rest.size() ||
          rest[close + 1] != 's') {
        return fmt::format("bad interpolation variable reference '{}'", rest);
      }
      pos += close + 2;
    } else {
      return fmt::format("'%' must be followed by '%' or '(', found: '{}'", rest);
    }
  }
  return {};
}

}  // namespace

IniFile IniFile::read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  if (!in || std::filesystem::is_directory(path, ec)) {
    throw FileNotFoundError(fmt::format("cannot read '{}': {}", path.string(),
                                        std::generic_category().message(errno ? errno : ENOENT)));
  }
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    throw FileNotFoundError(fmt::format("cannot read '{}': read error", path.string()));
  }
  return parse(text, path.string());
}

IniFile IniFile::parse(std::string_view text, const std::string& source_name) {
  IniFile ini;
  ini.source_name_ = source_name;

  // Editors on some platforms put a byte order mark at the start of UTF-8 files.
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());

  const auto lines = split_lines(text);
  auto fail = [&](int line, const std::string& what) -> IniError {
    return IniError(fmt::format("{}, line {}: {}", source_name, line, what));
  };

  Section* current = nullptr;
  Entry* entry = nullptr;           // the entry a continuation line would extend
  std::vector<std::string> pieces;  // lines of `entry`'s value so far
  std::size_t entry_indent = 0;
  std::vector<std::string> seen_sections;

  auto finish_entry = [&] {
    if (entry == nullptr) return;
    std::string value;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i) value += '\n';
      value += pieces[i];
    }
    entry->value = std::string(rstrip(value));
    entry = nullptr;
    pieces.clear();
  };

  for (std::size_t index = 0; index < lines.size(); ++index) {
    const int lineno = static_cast<int>(index) + 1;
    const std::string_view line = lines[index];
    if (const auto bad = invalid_utf8_at(line); bad != std::string_view::npos) {
      throw fail(lineno, fmt::format("invalid UTF-8 byte 0x{:02X} at column {}",
                                     static_cast<unsigned char>(line[bad]), bad + 1));
    }
    const std::string_view value = strip(line);
    if (!value.empty() && (value.front() == '#' || value.front() == ';')) continue;
    if (value.empty()) {
      // A blank line inside a value is kept when an indented line follows it.
      if (entry != nullptr) pieces.emplace_back();
      continue;
    }

    const std::size_t indent = indent_of(line);
    if (entry != nullptr && indent > entry_indent) {
      pieces.emplace_back(value);
      continue;
    }
    finish_entry();

    if (value.front() == '[') {
      if (value.back() != ']' || value.size() < 3) {
        throw fail(lineno, fmt::format("malformed section header '{}'", value));
      }
      const std::string name(value.substr(1, value.size() - 2));
      for (const auto& seen : seen_sections) {
        if (seen == name) {
          throw fail(lineno, fmt::format("section [{}] already exists", name));
        }
      }
      seen_sections.push_back(name);
      if (name == kDefaultSection) {
        current = &ini.defaults_;
      } else {
        ini.sections_.push_back(Section{name, {}, lineno});
        current = &ini.sections_.back();
      }
      current->line = lineno;
      continue;
    }

    if (current == nullptr) {
      throw fail(lineno, fmt::format("entry '{}' before the first section header", value));
    }
    const auto sep = value.find_first_of("=:");
    if (sep == std::string_view::npos) {
      throw fail(lineno, fmt::format("expected 'key = value' or 'key: value', found '{}'", value));
    }
    const std::string key = lower(rstrip(value.substr(0, sep)));
    if (key.empty()) {
      throw fail(lineno, fmt::format("missing key before '{}' in '{}'", value[sep], value));
    }
    for (const auto& existing : current->entries) {
      if (existing.key == key) {
        throw fail(lineno, fmt::format("key '{}' already exists in section [{}] (line {})", key,
                                       current->name, existing.line));
      }
    }
    current->entries.push_back(Entry{key, {}, lineno});
    entry = &current->entries.back();
    entry_indent = indent;
    pieces.emplace_back(strip(value.substr(sep + 1)));
  }
  finish_entry();
  return ini;
}

bool IniFile::has_section(const std::string& section) const {
  for (const auto& s : sections_) {
    if (s.name == section) return true;
  }
  return false;
}

std::vector<std::string> IniFile::sections() const {
  std::vector<std::string> names;
  names.reserve(sections_.size());
  for (const auto& s : sections_) names.push_back(s.name);
  return names;
}

std::vector<std::string> IniFile::keys(const std::string& section) const {
  std::vector<std::string> names;
  if (const Section* s = find_section(section)) {
    for (const auto& e : s->entries) names.push_back(e.key);
  }
  return names;
}

const IniFile::Entry* IniFile::find_entry(const Section& section, const std::string& key) const {
  const std::string wanted = lower(key);
  for (const auto& e : section.entries) {
    if (e.key == wanted) return &e;
  }
  if (&section != &defaults_) {
    for (const auto& e : defaults_.entries) {
      if (e.key == wanted) return &e;
    }
  }
  return nullptr;
}

const std::string* IniFile::find_raw(const std::string& section, const std::string& key) const {
  const Section* s = find_section(section);
  if (s == nullptr) return nullptr;
  const Entry* e = find_entry(*s, key);
  return e ? &e->value : nullptr;
}

IniFile::Section* IniFile::find_section(const std::string& section) {
  if (section == kDefaultSection) return &defaults_;
  for (auto& s : sections_) {
    if (s.name == section) return &s;
  }
  return nullptr;
}

const IniFile::Section* IniFile::find_section(const std::string& section) const {
  return const_cast<IniFile*>(this)->find_section(section);
}

std::string IniFile::where(const Section& section, const Entry& entry) const {
  if (entry.line > 0) {
    return fmt::format("{}, line {}: [{}] {}", source_name_, entry.line, section.name, entry.key);
  }
  return fmt::format("{}: [{}] {}", source_name_, section.name, entry.key);
}

std::string IniFile::interpolate(const Section& section, const Entry& entry) const {
  std::string out;
  // Each pending piece of text carries the depth of the reference it came from.
  struct Pending {
    std::string_view text;
    int depth;
  };
  std::vector<Pending> stack{{entry.value, 1}};
  while (!stack.empty()) {
    Pending& top = stack.back();
    const auto pos = top.text.find('%');
    if (pos == std::string_view::npos) {
      out += top.text;
      stack.pop_back();
      continue;
    }
    out += top.text.substr(0, pos);
    const std::string_view rest = top.text.substr(pos);
    if (rest.size() >= 2 && rest[1] == '%') {
      out += '%';
      top.text = rest.substr(2);
      continue;
    }
    if (rest.size() < 2 || rest[1] != '(') {
      throw IniError(fmt::format("{}: '%' must be followed by '%' or '(', found: '{}'",
                                 where(section, entry), rest));
    }
    const auto close = rest.find(')');
    if (close == std::string_view::npos || close == 2 || close + 1 >= rest.size() ||
        rest[close + 1] != 's') {
      throw IniError(fmt::format("{}: bad interpolation variable reference '{}'",
                                 where(section, entry), rest));
    }
    const std::string name = lower(rest.substr(2, close - 2));
    const int depth = top.depth;
    top.text = rest.substr(close + 2);
    if (depth >= kMaxInterpolationDepth) {
      throw IniError(
          fmt::format("{}: value references nested more than {} deep (circular reference?) in '{}'",
                      where(section, entry), kMaxInterpolationDepth, entry.value));
    }
    const Entry* referenced = find_entry(section, name);
    if (referenced == nullptr) {
      throw IniError(
          fmt::format("{}: bad value substitution: '{}' refers to '{}', which is not "
                      "set in [{}] or [DEFAULT]",
                      where(section, entry), entry.value, name, section.name));
    }
    stack.push_back(Pending{referenced->value, depth + 1});
  }
  return out;
}

std::optional<std::string> IniFile::get(const std::string& section, const std::string& key) const {
  const Section* s = find_section(section);
  if (s == nullptr) return std::nullopt;
  const Entry* e = find_entry(*s, key);
  if (e == nullptr) return std::nullopt;
  return interpolate(*s, *e);
}

const IniFile::Entry* IniFile::typed_entry(const std::string& section, const std::string& key,
                                           const Section** owner) const {
  const Section* s = find_section(section);
  if (s == nullptr) return nullptr;
  *owner = s;
  return find_entry(*s, key);
}

std::string IniFile::get_string(const std::string& section, const std::string& key,
                                const std::string& fallback) const {
  return get(section, key).value_or(fallback);
}

long long IniFile::get_int(const std::string& section, const std::string& key,
                           long long fallback) const {
  const Section* s = nullptr;
  const Entry* e = typed_entry(section, key, &s);
  if (e == nullptr) return fallback;
  const std::string text = interpolate(*s, *e);
  std::string_view digits = strip(text);
  if (digits.size() > 1 && digits.front() == '+' && digits[1] != '-') digits.remove_prefix(1);
  long long value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) {
    throw IniError(fmt::format("{}: invalid integer value '{}'{}", where(*s, *e), text,
                               ec == std::errc::result_out_of_range ? " (out of range)" : ""));
  }
  return value;
}

double IniFile::get_real(const std::string& section, const std::string& key,
                         double fallback) const {
  const Section* s = nullptr;
  const Entry* e = typed_entry(section, key, &s);
  if (e == nullptr) return fallback;
  const std::string text = interpolate(*s, *e);
  std::string_view number = strip(text);
  if (number.size() > 1 && number.front() == '+' && number[1] != '-') number.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                         std::chars_format::general);
  if (number.empty() || ec != std::errc{} || end != number.data() + number.size() ||
      !std::isfinite(value)) {
    throw IniError(fmt::format("{}: invalid real value '{}'", where(*s, *e), text));
  }
  return value;
}

bool IniFile::get_bool(const std::string& section, const std::string& key, bool fallback) const {
  const Section* s = nullptr;
  const Entry* e = typed_entry(section, key, &s);
  if (e == nullptr) return fallback;
  const std::string text = interpolate(*s, *e);
  const std::string word = lower(strip(text));
  if (word == "1" || word == "yes" || word == "true" || word == "on") return true;
  if (word == "0" || word == "no" || word == "false" || word == "off") return false;
  throw IniError(
      fmt::format("{}: invalid boolean value '{}' (expected 1/yes/true/on or 0/no/false/off)",
                  where(*s, *e), text));
}

void IniFile::add_section(const std::string& section) {
  if (find_section(section) != nullptr) return;
  if (section.empty() || section.find_first_of("]\r\n") != std::string::npos) {
    throw IniError(fmt::format("{}: invalid section name '{}'", source_name_, section));
  }
  sections_.push_back(Section{section, {}, 0});
}

void IniFile::set(const std::string& section, const std::string& key, const std::string& value) {
  const std::string stored_key = lower(key);
  if (stored_key.empty() || strip(stored_key) != stored_key ||
      stored_key.find_first_of("=:\r\n") != std::string::npos || stored_key.front() == '[' ||
      stored_key.front() == '#' || stored_key.front() == ';') {
    throw IniError(fmt::format("{}: [{}] invalid key name '{}'", source_name_, section, key));
  }
  if (value.find('\r') != std::string::npos) {
    throw IniError(fmt::format("{}: [{}] {}: invalid value: carriage return in '{}'", source_name_,
                               section, stored_key, value));
  }
  if (const std::string problem = percent_problem(value); !problem.empty()) {
    throw IniError(fmt::format("{}: [{}] {}: invalid value '{}': {}", source_name_, section,
                               stored_key, value, problem));
  }
  add_section(section);
  Section* s = find_section(section);
  for (auto& e : s->entries) {
    if (e.key == stored_key) {
      e.value = value;
      return;
    }
  }
  s->entries.push_back(Entry{stored_key, value, 0});
}

std::string IniFile::to_string() const {
  std::string out;
  auto write_section = [&out](const Section& s) {
    out += '[';
    out += s.name;
    out += "]\n";
    for (const auto& e : s.entries) {
      out += e.key;
      out += " = ";
      // Continuation lines are indented so that reading the file back yields the same value.
      for (char c : e.value) {
        out += c;
        if (c == '\n') out += '\t';
      }
      out += '\n';
    }
    out += '\n';
  };
  if (!defaults_.entries.empty()) write_section(defaults_);
  for (const auto& s : sections_) write_section(s);
  return out;
}

}  // namespace journel
