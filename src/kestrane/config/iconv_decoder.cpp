#include "config/iconv_decoder.h"

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace kestrane_config {

namespace {
const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);
}

IconvDecoder::IconvDecoder(const std::string& from_encoding)
    : cd_(iconv_open("UTF-8", from_encoding.c_str())) {
  if (cd_ == kInvalid) {
    throw std::runtime_error("Text encoding '" + from_encoding + "' is not available");
  }
}

IconvDecoder::~IconvDecoder() { iconv_close(cd_); }

std::optional<std::string> IconvDecoder::decode(std::string_view bytes) {
  iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // start from the initial shift state
  std::string out;
  // GBK never needs more than 3 UTF-8 bytes per input byte pair; grow on E2BIG anyway.
  std::vector<char> buffer(bytes.size() * 2 + 16);
  // iconv's interface is not const-correct; it never writes through the input pointer.
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  while (in_left > 0) {
    char* dst = buffer.data();
    std::size_t dst_left = buffer.size();
    const std::size_t rc = iconv(cd_, &in, &in_left, &dst, &dst_left);
    out.append(buffer.data(), buffer.size() - dst_left);
    if (rc == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      return std::nullopt;  // EILSEQ: invalid sequence; EINVAL: truncated at the end
    }
  }
  char* dst = buffer.data();
  std::size_t dst_left = buffer.size();
  if (iconv(cd_, nullptr, nullptr, &dst, &dst_left) == static_cast<std::size_t>(-1)) {
    return std::nullopt;
  }
  out.append(buffer.data(), buffer.size() - dst_left);
  return out;
}

}  // namespace kestrane_config
