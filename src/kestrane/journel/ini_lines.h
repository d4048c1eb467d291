#pragma once
// The line structure of the configuration dialect (comment, section, entry, continuation):
// IniFile reads its values from it and IniFileEditor finds the lines it rewrites, so both
// read a file alike. Plain values and free functions; safe from any thread.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace journel {

enum class IniLineKind { kBlank, kComment, kSection, kEntry, kContinuation };

struct IniLine {
  IniLineKind kind = IniLineKind::kBlank;
  std::string_view text;        // the line without its line break
  std::string_view line_break;  // "\n", "\r\n", "\r", or empty on a last line without one
  int number = 0;               // counted from 1
  // kSection: the section name as written; kEntry: the key in lower case.
  std::string name;
  // kEntry: where the value starts in `text` (its length when the value is empty);
  // kContinuation: where the line's text starts.
  std::size_t value_offset = 0;
  // kEntry, kContinuation: the value text of this line, blanks around it dropped.
  std::string_view value;
  // kEntry: the indentation of the line; continuation lines are indented deeper.
  std::size_t indent = 0;
};

struct IniLines {
  std::string_view byte_order_mark;  // kept by editors, skipped by readers
  std::vector<IniLine> lines;
};

// Splits `text` (which must outlive the result) into classified lines. Throws IniError,
// naming `source_name` and the line, for invalid UTF-8, a malformed section header, an entry
// before the first section, a line that is neither, and an empty key. Duplicate sections and
// keys are the reader's business.
IniLines scan_ini_lines(std::string_view text, const std::string& source_name);

// The key as the dialect stores it: ASCII letters in lower case.
std::string ini_key(std::string_view key);
// `text` without the blanks (space, tab, line breaks, form feed) around it.
std::string_view ini_strip(std::string_view text);

// Whether a key holds a secret: its name contains "password" in any case. Messages never
// quote such a key's value, nor a line that might be one.
bool ini_is_secret_key(std::string_view key);
// Text for a message: `text` itself when it is at most kIniQuoteLimit bytes long, else its
// first bytes (cut at a character boundary), an ellipsis and the full length, so that a
// runaway line cannot flood a log.
inline constexpr std::size_t kIniQuoteLimit = 200;
std::string ini_excerpt(std::string_view text);
// The same in single quotes: 'text', or 'first bytes…' (N bytes in all).
std::string ini_quote(std::string_view text);

// The whole content of a configuration file. Throws FileNotFoundError when it cannot be read.
std::string read_ini_text(const std::filesystem::path& path);

}  // namespace journel
