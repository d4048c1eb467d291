#include "journel/ini_file.h"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

#include "journel/errors.h"
#include "journel/ini_lines.h"

namespace journel {

namespace {

constexpr std::string_view kDefaultSection = "DEFAULT";
constexpr std::string_view kBlanks = " \t\r\n\f\v";
// A reference that leads back to itself would otherwise recurse without end.
constexpr int kMaxInterpolationDepth = 10;
// Stands in for a password, or text drawn from one, in messages.
constexpr std::string_view kHidden = "(hidden)";

std::string_view rstrip(std::string_view s) {
  const auto last = s.find_last_not_of(kBlanks);
  return last == std::string_view::npos ? std::string_view{} : s.substr(0, last + 1);
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
        return fmt::format("bad interpolation variable reference {}", ini_quote(rest));
      }
      pos += close + 2;
    } else {
      return fmt::format("'%' must be followed by '%' or '(', found: {}", ini_quote(rest));
    }
  }
  return {};
}

}  // namespace

IniFile IniFile::read_file(const std::filesystem::path& path) {
  return parse(read_ini_text(path), path.string());
}

IniFile IniFile::parse(std::string_view text, const std::string& source_name) {
  IniFile ini;
  ini.source_name_ = source_name;
  const IniLines scan = scan_ini_lines(text, source_name);
  auto fail = [&](int line, const std::string& what) -> IniError {
    return IniError(fmt::format("{}, line {}: {}", source_name, line, what));
  };

  Section* current = nullptr;
  Entry* entry = nullptr;           // the entry a continuation line would extend
  std::vector<std::string> pieces;  // lines of `entry`'s value so far
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

  for (const IniLine& line : scan.lines) {
    switch (line.kind) {
      case IniLineKind::kComment:
        break;
      case IniLineKind::kBlank:
        // A blank line inside a value is kept when an indented line follows it.
        if (entry != nullptr) pieces.emplace_back();
        break;
      case IniLineKind::kContinuation:
        pieces.emplace_back(line.value);
        break;
      case IniLineKind::kSection: {
        finish_entry();
        for (const auto& seen : seen_sections) {
          if (seen == line.name) {
            throw fail(line.number,
                       fmt::format("section [{}] already exists", ini_excerpt(line.name)));
          }
        }
        seen_sections.push_back(line.name);
        if (line.name == kDefaultSection) {
          current = &ini.defaults_;
        } else {
          ini.sections_.push_back(Section{line.name, {}, line.number});
          current = &ini.sections_.back();
        }
        current->line = line.number;
        break;
      }
      case IniLineKind::kEntry:
        finish_entry();
        for (const auto& existing : current->entries) {
          if (existing.key == line.name) {
            throw fail(line.number, fmt::format("key {} already exists in section [{}] (line {})",
                                                ini_quote(line.name), ini_excerpt(current->name),
                                                existing.line));
          }
        }
        current->entries.push_back(Entry{line.name, {}, line.number});
        entry = &current->entries.back();
        pieces.emplace_back(line.value);
        break;
    }
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
  const std::string wanted = ini_key(key);
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
    return fmt::format("{}, line {}: [{}] {}", source_name_, entry.line, ini_excerpt(section.name),
                       ini_excerpt(entry.key));
  }
  return fmt::format("{}: [{}] {}", source_name_, ini_excerpt(section.name),
                     ini_excerpt(entry.key));
}

std::string IniFile::interpolate(const Section& section, const Entry& entry,
                                 bool* drew_on_secret) const {
  std::string out;
  // Each pending piece of text carries the depth of the reference it came from and whether it
  // is (part of) a password, which no message may quote.
  struct Pending {
    std::string_view text;
    int depth;
    bool secret;
  };
  const bool entry_secret = ini_is_secret_key(entry.key);
  if (drew_on_secret != nullptr) *drew_on_secret = entry_secret;
  std::vector<Pending> stack{{entry.value, 1, entry_secret}};
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
      throw IniError(fmt::format("{}: '%' must be followed by '%' or '(', found: {}",
                                 where(section, entry), shown(rest, top.secret)));
    }
    const auto close = rest.find(')');
    if (close == std::string_view::npos || close == 2 || close + 1 >= rest.size() ||
        rest[close + 1] != 's') {
      throw IniError(fmt::format("{}: bad interpolation variable reference {}",
                                 where(section, entry), shown(rest, top.secret)));
    }
    const std::string name = ini_key(rest.substr(2, close - 2));
    const int depth = top.depth;
    const bool from_secret = top.secret;
    top.text = rest.substr(close + 2);
    if (depth >= kMaxInterpolationDepth) {
      throw IniError(fmt::format(
          "{}: value references nested more than {} deep (circular reference?) in {}",
          where(section, entry), kMaxInterpolationDepth, shown(entry.value, entry_secret)));
    }
    const Entry* referenced = find_entry(section, name);
    if (referenced == nullptr) {
      throw IniError(fmt::format(
          "{}: bad value substitution: {} refers to {}, which is not set in [{}] or [DEFAULT]",
          where(section, entry), shown(entry.value, entry_secret), shown(name, from_secret),
          ini_excerpt(section.name)));
    }
    const bool secret = from_secret || ini_is_secret_key(referenced->key);
    if (secret && drew_on_secret != nullptr) *drew_on_secret = true;
    stack.push_back(Pending{referenced->value, depth + 1, secret});
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

bool IniFile::is_secret(const std::string& section, const std::string& key) const {
  if (ini_is_secret_key(key)) return true;
  const Section* s = find_section(section);
  const Entry* e = s == nullptr ? nullptr : find_entry(*s, key);
  if (e == nullptr) return false;
  bool secret = false;
  try {
    interpolate(*s, *e, &secret);
  } catch (const IniError&) {
    // The references that were followed before the failure are the ones known.
  }
  return secret;
}

std::string IniFile::shown(std::string_view text, bool secret) {
  return secret ? std::string(kHidden) : ini_quote(text);
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
  bool secret = false;
  const std::string text = interpolate(*s, *e, &secret);
  std::string_view digits = ini_strip(text);
  if (digits.size() > 1 && digits.front() == '+' && digits[1] != '-') digits.remove_prefix(1);
  long long value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) {
    throw IniError(fmt::format("{}: invalid integer value {}{}", where(*s, *e), shown(text, secret),
                               ec == std::errc::result_out_of_range ? " (out of range)" : ""));
  }
  return value;
}

double IniFile::get_real(const std::string& section, const std::string& key,
                         double fallback) const {
  const Section* s = nullptr;
  const Entry* e = typed_entry(section, key, &s);
  if (e == nullptr) return fallback;
  bool secret = false;
  const std::string text = interpolate(*s, *e, &secret);
  std::string_view number = ini_strip(text);
  if (number.size() > 1 && number.front() == '+' && number[1] != '-') number.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                         std::chars_format::general);
  if (number.empty() || ec != std::errc{} || end != number.data() + number.size() ||
      !std::isfinite(value)) {
    throw IniError(fmt::format("{}: invalid real value {}", where(*s, *e), shown(text, secret)));
  }
  return value;
}

bool IniFile::get_bool(const std::string& section, const std::string& key, bool fallback) const {
  const Section* s = nullptr;
  const Entry* e = typed_entry(section, key, &s);
  if (e == nullptr) return fallback;
  bool secret = false;
  const std::string text = interpolate(*s, *e, &secret);
  const std::string word = ini_key(ini_strip(text));
  if (word == "1" || word == "yes" || word == "true" || word == "on") return true;
  if (word == "0" || word == "no" || word == "false" || word == "off") return false;
  throw IniError(
      fmt::format("{}: invalid boolean value {} (expected 1/yes/true/on or 0/no/false/off)",
                  where(*s, *e), shown(text, secret)));
}

void IniFile::add_section(const std::string& section) {
  if (find_section(section) != nullptr) return;
  if (section.empty() || section.find_first_of("]\r\n") != std::string::npos) {
    throw IniError(fmt::format("{}: invalid section name {}", source_name_, ini_quote(section)));
  }
  sections_.push_back(Section{section, {}, 0});
}

void IniFile::set(const std::string& section, const std::string& key, const std::string& value) {
  const std::string stored_key = ini_key(key);
  if (stored_key.empty() || ini_strip(stored_key) != stored_key ||
      stored_key.find_first_of("=:\r\n") != std::string::npos || stored_key.front() == '[' ||
      stored_key.front() == '#' || stored_key.front() == ';') {
    throw IniError(fmt::format("{}: [{}] invalid key name {}", source_name_, ini_excerpt(section),
                               ini_quote(key)));
  }
  const bool secret = ini_is_secret_key(stored_key);
  if (value.find('\r') != std::string::npos) {
    throw IniError(fmt::format("{}: [{}] {}: invalid value: carriage return in {}", source_name_,
                               ini_excerpt(section), stored_key, shown(value, secret)));
  }
  if (const std::string problem = percent_problem(value); !problem.empty()) {
    throw IniError(fmt::format("{}: [{}] {}: invalid value {}: {}", source_name_,
                               ini_excerpt(section), ini_excerpt(stored_key), shown(value, secret),
                               secret ? "'%' must be followed by '%' or '('" : problem));
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
