#pragma once
// IniFile: the configuration file dialect (sections, `key = value` or `key: value`,
// case-insensitive keys kept in lower case, `#`/`;` comments, indented continuation lines,
// a DEFAULT section, `%(key)s` interpolation and `%%`).
// A value type: not synchronised; one thread at a time.

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace journel {

// Any problem reading the dialect: the message names the file, the line and what is wrong.
class IniError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class IniFile {
 public:
  // Reads a UTF-8 file. Throws FileNotFoundError when it cannot be read, IniError when it
  // cannot be parsed (duplicate section, duplicate key, malformed line).
  static IniFile read_file(const std::filesystem::path& path);
  // Parses text; `source_name` is used in error messages in place of a file name.
  static IniFile parse(std::string_view text, const std::string& source_name = "<string>");

  bool has_section(const std::string& section) const;
  // Section names in file order (the default section is not listed).
  std::vector<std::string> sections() const;
  // Keys of one section in stored order (lower case), without the default section's keys.
  std::vector<std::string> keys(const std::string& section) const;

  // The interpolated value, or nullopt when neither the section nor the default section has
  // the key. Throws IniError on a bad `%` use.
  std::optional<std::string> get(const std::string& section, const std::string& key) const;
  // Whether the key's value must not appear in a message: its name contains "password" (any
  // case), or its value draws on such a key through `%(name)s`.
  bool is_secret(const std::string& section, const std::string& key) const;
  // `text` quoted for a message (at most kIniQuoteLimit bytes of it, see ini_quote), or
  // "(hidden)" when `secret`.
  static std::string shown(std::string_view text, bool secret);
  // Typed readers: the default when the key is absent (or the section is missing); IniError
  // naming the file, section, key and value when present but unparsable. No message quotes
  // more than kIniQuoteLimit bytes of a value, nor any of a password's (see is_secret).
  std::string get_string(const std::string& section, const std::string& key,
                         const std::string& fallback) const;
  long long get_int(const std::string& section, const std::string& key, long long fallback) const;
  double get_real(const std::string& section, const std::string& key, double fallback) const;
  bool get_bool(const std::string& section, const std::string& key, bool fallback) const;

  // Writing: sections and keys keep their order; keys are stored in lower case.
  // "DEFAULT" names the default section, which always exists.
  void add_section(const std::string& section);  // no-op when present
  // Creates the section when missing. Throws IniError when the value uses `%` other than as
  // `%%` or `%(name)s`, or when the key or section name could not be read back.
  void set(const std::string& section, const std::string& key, const std::string& value);
  // "[name]" then "key = value" lines then a blank line, per section; raw (uninterpolated)
  // values; comments are not kept.
  std::string to_string() const;

 private:
  struct Entry {
    std::string key;
    std::string value;  // raw, uninterpolated
    int line = 0;       // where it was read; 0 when set by the program
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
    int line = 0;
  };
  const Entry* find_entry(const Section& section, const std::string& key) const;
  const std::string* find_raw(const std::string& section, const std::string& key) const;
  Section* find_section(const std::string& section);
  const Section* find_section(const std::string& section) const;
  // Sets *drew_on_secret, when given, to whether a password's text went into the result.
  std::string interpolate(const Section& section, const Entry& entry,
                          bool* drew_on_secret = nullptr) const;
  // "file, line N: [section] key" for messages about one value.
  std::string where(const Section& section, const Entry& entry) const;
  // A present value for a typed reader, nullptr when the key (or the section) is absent.
  const Entry* typed_entry(const std::string& section, const std::string& key,
                           const Section** owner) const;

  std::string source_name_;
  Section defaults_{"DEFAULT", {}};
  std::vector<Section> sections_;
};

}  // namespace journel
