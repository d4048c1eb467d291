#pragma once
// IconvDecoder: converts whole texts from one encoding into UTF-8 through glibc iconv.
// Owns its iconv descriptor; not synchronised, one thread at a time (make one per thread).

#include <iconv.h>

#include <optional>
#include <string>
#include <string_view>

namespace kestrane_config {

class IconvDecoder {
 public:
  // Throws std::runtime_error when the C library does not know `from_encoding`.
  explicit IconvDecoder(const std::string& from_encoding);
  ~IconvDecoder();
  IconvDecoder(const IconvDecoder&) = delete;
  IconvDecoder& operator=(const IconvDecoder&) = delete;

  // The UTF-8 text, or nullopt when any byte sequence is invalid or cut short.
  std::optional<std::string> decode(std::string_view bytes);

 private:
  iconv_t cd_;
};

}  // namespace kestrane_config
