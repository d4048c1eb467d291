#include "openssl_handles.h"

#include <openssl/err.h>

namespace pyqar::ua {

std::string openssl_error(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace pyqar::ua
