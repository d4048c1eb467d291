#include "KestraneBrowse/tag_list_writer.h"

#include <cstdint>

#include "config/tag_csv.h"
#include "config/text_codec.h"

namespace kestrane_browse {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at `at` and its code point, or 0 when it is invalid
// (overlong forms, surrogates and values above U+10FFFF included).
std::size_t utf8_sequence(std::string_view s, std::size_t at, std::uint32_t& cp) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(at);
  std::size_t len = 0;
  std::uint32_t min = 0;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    len = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (at + len > s.size()) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(at + i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool is_control(std::uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

}  // namespace

TagListWriter::TagListWriter(std::ostream& out) : out_(out) {
  out_ << kestrane_config::kTagNameColumn << ',' << kestrane_config::kDescriptionColumn << ','
       << kestrane_config::kDataTypeColumn << '\n';
}

std::string TagListWriter::clean(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t cp = 0;
    const std::size_t len = utf8_sequence(text, at, cp);
    if (len == 0) {
      out += kReplacement;
      ++at;
    } else if (is_control(cp)) {
      out.push_back(' ');
      at += len;
    } else {
      out.append(text.substr(at, len));
      at += len;
    }
  }
  return out;
}

bool TagListWriter::writable_name(std::string_view name) {
  return !name.empty() && clean(name) == name && kestrane_config::trim_unicode(name) == name;
}

void TagListWriter::field(std::string_view text) {
  const std::string clean_text = clean(text);
  if (clean_text.find_first_of(",\"") == std::string::npos) {
    out_ << clean_text;
    return;
  }
  out_ << '"';
  for (const char c : clean_text) {
    if (c == '"') out_ << '"';
    out_ << c;
  }
  out_ << '"';
}

bool TagListWriter::write(std::string_view full_tag_name, std::string_view description,
                          std::string_view data_type) {
  if (!writable_name(full_tag_name)) return false;
  field(full_tag_name);
  out_ << ',';
  field(description);
  out_ << ',';
  field(data_type);
  out_ << '\n';
  return static_cast<bool>(out_);
}

}  // namespace kestrane_browse
