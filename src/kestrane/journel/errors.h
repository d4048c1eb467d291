#pragma once
// Error types shared by every Kestrane module.

#include <stdexcept>
#include <string>

namespace journel {

// A file that should be read is missing or cannot be opened.
class FileNotFoundError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace journel
