#pragma once
// Thrown when a spool folder is locked by another process (or another Spool in this one):
// "spool folder '<dir>' is in use by another process".

#include <stdexcept>

namespace quellin {

class SpoolInUseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quellin
