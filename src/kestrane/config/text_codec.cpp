#include "config/text_codec.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "config/iconv_decoder.h"
#include "journel/errors.h"

namespace kestrane_config {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Length of the UTF-8 sequence at `pos` that encodes one white-space character, or 0.
std::size_t space_length_at(std::string_view s, std::size_t pos) {
  const auto c = static_cast<unsigned char>(s[pos]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) return 1;
  static constexpr std::array<std::string_view, 19> kSpaces = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
      "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
      "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (std::string_view space : kSpaces) {
    if (s.substr(pos, space.size()) == space) return space.size();
  }
  return 0;
}

// Start of the last character ending at `end` (exclusive).
std::size_t char_start_before(std::string_view s, std::size_t end) {
  std::size_t pos = end - 1;
  while (pos > 0 && (static_cast<unsigned char>(s[pos]) & 0xC0) == 0x80) --pos;
  return pos;
}

}  // namespace

std::string read_file_bytes(const std::filesystem::path& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    throw journel::FileNotFoundError("Cannot open '" + path.string() +
                                     "': " + std::strerror(errno));
  }
  std::string bytes;
  char chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) bytes.append(chunk, got);
  if (std::ferror(file.get())) {
    throw journel::FileNotFoundError("Cannot read '" + path.string() +
                                     "': " + std::strerror(errno));
  }
  return bytes;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      code = c & 0x07;
    } else {
      return false;  // stray continuation byte, overlong lead (C0, C1) or beyond U+10FFFF
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      code = (code << 6) | (cc & 0x3F);
    }
    if ((len == 3 && code < 0x800) || (len == 4 && code < 0x10000)) return false;  // overlong
    if (code >= 0xD800 && code <= 0xDFFF) return false;                            // surrogate
    if (code > 0x10FFFF) return false;
    i += len;
  }
  return true;
}

std::optional<DecodedText> decode_utf8_or_gbk(std::string_view bytes) {
  if (is_valid_utf8(bytes)) {
    if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) bytes.remove_prefix(kUtf8Bom.size());
    return DecodedText{std::string(bytes), "utf-8"};
  }
  IconvDecoder gbk("GBK");
  if (auto text = gbk.decode(bytes)) return DecodedText{std::move(*text), "gbk"};
  return std::nullopt;
}

std::string trim_unicode(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t len = space_length_at(text, begin);
    if (len == 0) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t start = char_start_before(text, end);
    if (start < begin || space_length_at(text, start) != end - start) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace kestrane_config
