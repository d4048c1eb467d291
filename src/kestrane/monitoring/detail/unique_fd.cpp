#include "monitoring/detail/unique_fd.h"

#include <unistd.h>

#include <utility>

namespace kestrane_monitoring {

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset(std::exchange(other.fd_, -1));
  }
  return *this;
}

UniqueFd::~UniqueFd() { reset(); }

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0) {
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    ::close(fd_);
  }
  fd_ = fd;
}

}  // namespace kestrane_monitoring
