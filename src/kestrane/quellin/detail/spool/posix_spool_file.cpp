#include "spool/posix_spool_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace quellin {
namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const char* what, int error) {
  throw std::system_error(error, std::generic_category(),
                          std::string("Spool: cannot ") + what + " " + path.string());
}

int open_flags(SpoolFile::Mode mode) {
  switch (mode) {
    case SpoolFile::Mode::kRead:
      return O_RDONLY;
    case SpoolFile::Mode::kReadWrite:
      return O_RDWR;
    case SpoolFile::Mode::kCreate:
      return O_WRONLY | O_CREAT | O_EXCL | O_APPEND;
    case SpoolFile::Mode::kReplace:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case SpoolFile::Mode::kAppend:
      return O_WRONLY | O_CREAT | O_APPEND;
  }
  return O_RDONLY;
}

}  // namespace

PosixSpoolFile::PosixSpoolFile(std::filesystem::path path, Mode mode) : path_(std::move(path)) {
  do {
    fd_.reset(::open(path_.c_str(), open_flags(mode) | O_CLOEXEC, 0644));
  } while (!fd_.valid() && errno == EINTR);
  if (!fd_.valid()) fail(path_, "open", errno);
}

std::uint64_t PosixSpoolFile::size() const {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) fail(path_, "fstat", errno);
  return static_cast<std::uint64_t>(st.st_size);
}

void PosixSpoolFile::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(path_, "write", errno);
    }
    if (n == 0) fail(path_, "write", EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool PosixSpoolFile::read_at(std::uint64_t offset, std::size_t count, char* out) const {
  while (count > 0) {
    const ssize_t n = ::pread(fd_.get(), out, count, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(path_, "read", errno);
    }
    if (n == 0) return false;
    out += n;
    count -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

void PosixSpoolFile::truncate(std::uint64_t size) {
  int rc = 0;
  do {
    rc = ::ftruncate(fd_.get(), static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) fail(path_, "truncate", errno);
}

void PosixSpoolFile::datasync() {
  int rc = 0;
  do {
    rc = ::fdatasync(fd_.get());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) fail(path_, "sync", errno);
}

}  // namespace quellin
