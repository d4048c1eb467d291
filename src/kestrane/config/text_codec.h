#pragma once
// Text helpers shared by the configuration reader and the tag list: strict UTF-8 checking,
// decoding a tag file's bytes, and trimming. Pure functions; safe from any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrane_config {

// The whole content of a file. Throws journel::FileNotFoundError, naming the file and the
// reason, when it cannot be opened or read.
std::string read_file_bytes(const std::filesystem::path& path);

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut short.
bool is_valid_utf8(std::string_view bytes);

struct DecodedText {
  std::string text;      // UTF-8
  std::string encoding;  // "utf-8" or "gbk"
};

// Decodes a whole file: strict UTF-8 first (a leading byte-order mark dropped), then GBK.
// UTF-8 goes first because most UTF-8 Chinese text is also well-formed GBK and would
// silently turn into other characters. nullopt when neither decodes the whole input.
std::optional<DecodedText> decode_utf8_or_gbk(std::string_view bytes);

// Drops leading and trailing white space: ASCII blanks and the Unicode space characters.
std::string trim_unicode(std::string_view text);

}  // namespace kestrane_config
