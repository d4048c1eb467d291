#include "journel/ini_lines.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

#include <fmt/format.h>

#include "journel/errors.h"
#include "journel/ini_file.h"

namespace journel {

namespace {

constexpr std::string_view kBlanks = " \t\r\n\f\v";
// Editors on some platforms put a byte order mark at the start of UTF-8 files.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view rstrip(std::string_view s) {
  const auto last = s.find_last_not_of(kBlanks);
  return last == std::string_view::npos ? std::string_view{} : s.substr(0, last + 1);
}

std::size_t indent_of(std::string_view line) {
  const auto first = line.find_first_not_of(kBlanks);
  return first == std::string_view::npos ? line.size() : first;
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

// Splits on "\n", "\r\n" and a lone "\r", the way text files from any platform end their
// lines, keeping each line's break so that an editor can write it back unchanged.
std::vector<IniLine> split_lines(std::string_view text) {
  std::vector<IniLine> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    const std::size_t break_length =
        (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    IniLine line;
    line.text = text.substr(start, i - start);
    line.line_break = text.substr(i, break_length);
    lines.push_back(line);
    i += break_length - 1;
    start = i + 1;
  }
  if (start < text.size()) {
    IniLine line;
    line.text = text.substr(start);
    lines.push_back(line);
  }
  return lines;
}

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

// The first kIniQuoteLimit bytes of `text` at most, never splitting a character.
std::string_view quoted_part(std::string_view text) {
  std::size_t cut = std::min(text.size(), kIniQuoteLimit);
  while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return text.substr(0, cut);
}

// Names a line that may hold a password without showing any of it: "a line for opc_password"
// when its first word looks like such a key (letters and underscores ending in "password"),
// "a line that mentions a password" otherwise, since the word could be the password itself.
std::string secret_line(std::string_view value) {
  const std::string_view word = value.substr(0, value.find_first_of(" \t=:"));
  const bool key_like = !word.empty() && word.find_first_not_of(
                                             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                             "_") == std::string_view::npos;
  const std::string key = ini_key(word);
  constexpr std::string_view kSecret = "password";
  if (key_like && key.size() >= kSecret.size() &&
      key.compare(key.size() - kSecret.size(), kSecret.size(), kSecret) == 0) {
    return "a line for " + key;
  }
  return "a line that mentions a password";
}

}  // namespace

bool ini_is_secret_key(std::string_view key) {
  return ini_key(key).find("password") != std::string::npos;
}

std::string ini_excerpt(std::string_view text) {
  if (text.size() <= kIniQuoteLimit) return std::string(text);
  return fmt::format("{}{} ({} bytes in all)", quoted_part(text), kEllipsis, text.size());
}

std::string ini_quote(std::string_view text) {
  if (text.size() <= kIniQuoteLimit) return fmt::format("'{}'", text);
  return fmt::format("'{}{}' ({} bytes in all)", quoted_part(text), kEllipsis, text.size());
}

std::string_view ini_strip(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

std::string ini_key(std::string_view key) {
  std::string out(key);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

IniLines scan_ini_lines(std::string_view text, const std::string& source_name) {
  IniLines scan;
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    scan.byte_order_mark = text.substr(0, kByteOrderMark.size());
    text.remove_prefix(kByteOrderMark.size());
  }
  scan.lines = split_lines(text);

  auto fail = [&](int line, const std::string& what) -> IniError {
    return IniError(fmt::format("{}, line {}: {}", source_name, line, what));
  };
  bool in_section = false;
  bool entry_open = false;  // whether an indented line would continue the entry above
  std::size_t entry_indent = 0;

  for (std::size_t index = 0; index < scan.lines.size(); ++index) {
    IniLine& line = scan.lines[index];
    line.number = static_cast<int>(index) + 1;
    if (const auto bad = invalid_utf8_at(line.text); bad != std::string_view::npos) {
      throw fail(line.number, fmt::format("invalid UTF-8 byte 0x{:02X} at column {}",
                                          static_cast<unsigned char>(line.text[bad]), bad + 1));
    }
    const std::string_view value = ini_strip(line.text);
    if (value.empty()) {
      line.kind = IniLineKind::kBlank;
      continue;
    }
    // A comment never ends a value: an indented line after it still continues the entry.
    if (value.front() == '#' || value.front() == ';') {
      line.kind = IniLineKind::kComment;
      continue;
    }
    const std::size_t indent = indent_of(line.text);
    if (entry_open && indent > entry_indent) {
      line.kind = IniLineKind::kContinuation;
      line.value_offset = indent;
      line.value = value;
      continue;
    }

    if (value.front() == '[') {
      if (value.back() != ']' || value.size() < 3) {
        throw fail(line.number,
                   ini_is_secret_key(value)
                       ? std::string("malformed section header in a line that mentions a "
                                     "password (its text is not shown)")
                       : "malformed section header " + ini_quote(value));
      }
      line.kind = IniLineKind::kSection;
      line.name = std::string(value.substr(1, value.size() - 2));
      in_section = true;
      entry_open = false;
      continue;
    }

    // A line that mentions a password is never quoted: it may be one, written wrongly.
    const bool secret = ini_is_secret_key(value);
    if (!in_section) {
      throw fail(line.number,
                 secret ? secret_line(value) +
                              " before the first section header (its text is not "
                              "shown)"
                        : "entry " + ini_quote(value) + " before the first section header");
    }
    const auto sep = value.find_first_of("=:");
    if (sep == std::string_view::npos) {
      throw fail(line.number,
                 secret ? secret_line(value) + " without '=' or ':' (its text is not shown)"
                        : "expected 'key = value' or 'key: value', found " + ini_quote(value));
    }
    line.name = ini_key(rstrip(value.substr(0, sep)));
    if (line.name.empty()) {
      throw fail(line.number,
                 secret
                     ? fmt::format("missing key before '{}' in {} (its text is not shown)",
                                   value[sep], secret_line(value))
                     : fmt::format("missing key before '{}' in {}", value[sep], ini_quote(value)));
    }
    line.kind = IniLineKind::kEntry;
    line.indent = indent;
    const std::size_t after_sep = indent + sep + 1;
    const std::string_view rest = line.text.substr(after_sep);
    const std::size_t value_start = rest.find_first_not_of(kBlanks);
    line.value_offset =
        value_start == std::string_view::npos ? line.text.size() : after_sep + value_start;
    line.value = ini_strip(rest);
    entry_open = true;
    entry_indent = indent;
  }
  return scan;
}

std::string read_ini_text(const std::filesystem::path& path) {
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
  return text;
}

}  // namespace journel
