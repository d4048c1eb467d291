#include "journel/unique_fd.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace journel {

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(std::exchange(other.fd_, -1));
  return *this;
}

UniqueFd::~UniqueFd() { reset(); }

int UniqueFd::release() noexcept { return std::exchange(fd_, -1); }

void UniqueFd::reset(int fd) noexcept {
  // The outcome of this close is not wanted: whoever needs it calls close() first.
  if (fd_ >= 0) (void)close();
  fd_ = fd;
}

int UniqueFd::close() noexcept {
  if (fd_ < 0) return 0;
  // Linux releases the descriptor even when close reports an error (EINTR included), so it is
  // never retried: a retry could close a descriptor another thread has just been given.
  const int rc = ::close(std::exchange(fd_, -1));
  return rc == 0 ? 0 : errno;
}

}  // namespace journel
