#pragma once
// IniFileEditor: changes values in a configuration file's text where they stand; comments,
// blank lines, key order and spelling, other keys and line breaks stay byte for byte.
// A value type owned by its caller, not synchronised: one thread at a time.

#include <filesystem>
#include <string>
#include <string_view>

namespace journel {

class IniFileEditor {
 public:
  // Throws IniError when `text` is not a well-formed file of the dialect (the same errors as
  // IniFile::parse), so that an edit never starts from a file the programs cannot read.
  explicit IniFileEditor(std::string text, std::string source_name = "<string>");
  // Throws FileNotFoundError when the file cannot be read, IniError as above.
  static IniFileEditor read_file(const std::filesystem::path& path);

  // Makes `key` of `section` read back as `value`, given as plain text: a `%` is written as
  // `%%`, a line break starts an indented continuation line, and blanks around each line are
  // dropped as the reader drops them. An entry that already reads as the value is left
  // untouched; another is rewritten on its own lines (its continuation lines replaced); a
  // missing key goes after the last entry of its section, a missing section at the end.
  // Returns whether the text changed. Throws IniError for a key or section name that could
  // not be read back, a carriage return in the value, or a value line that would read as a
  // comment.
  bool set(const std::string& section, const std::string& key, std::string_view value);

  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::string source_name_;
};

}  // namespace journel
