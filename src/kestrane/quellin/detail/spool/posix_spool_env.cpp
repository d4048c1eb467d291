#include "spool/posix_spool_env.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "journel/unique_fd.h"
#include "spool/posix_spool_file.h"

namespace quellin {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const fs::path& path, const char* what, int error) {
  throw std::system_error(error, std::generic_category(),
                          std::string("Spool: cannot ") + what + " " + path.string());
}

// A descriptor opened only to be closed when its owner goes: a folder being synced, or the
// lock file, whose flock lasts as long as the descriptor.
class Descriptor final : public SpoolEnv::Lock {
 public:
  Descriptor(const fs::path& path, int flags, const char* what) {
    do {
      fd_.reset(::open(path.c_str(), flags | O_CLOEXEC, 0644));
    } while (!fd_.valid() && errno == EINTR);
    if (!fd_.valid()) fail(path, what, errno);
  }
  int fd() const { return fd_.get(); }

 private:
  journel::UniqueFd fd_;
};

}  // namespace

std::unique_ptr<SpoolFile> PosixSpoolEnv::open_file(const fs::path& path, SpoolFile::Mode mode) {
  return std::make_unique<PosixSpoolFile>(path, mode);
}

void PosixSpoolEnv::create_folder(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) fail(folder, "create", ec.value());
  if (!fs::is_directory(folder, ec)) fail(folder, "create", ec ? ec.value() : ENOTDIR);
}

std::vector<std::string> PosixSpoolEnv::list_folder(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) names.push_back(it->path().filename().string());
  }
  if (ec) fail(folder, "list", ec.value());
  return names;
}

void PosixSpoolEnv::sync_folder(const fs::path& folder) {
  const Descriptor dir(folder, O_RDONLY | O_DIRECTORY, "open");
  int rc = 0;
  do {
    rc = ::fsync(dir.fd());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) fail(folder, "sync", errno);
}

void PosixSpoolEnv::rename_file(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) fail(to, "rename to", errno);
}

void PosixSpoolEnv::remove_file(const fs::path& path) {
  if (::unlink(path.c_str()) != 0) fail(path, "delete", errno);
}

std::unique_ptr<SpoolEnv::Lock> PosixSpoolEnv::lock_file(const fs::path& path) {
  auto lock = std::make_unique<Descriptor>(path, O_RDWR | O_CREAT, "open");
  int rc = 0;
  do {
    rc = ::flock(lock->fd(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) fail(path, "lock", errno);
  return lock;
}

}  // namespace quellin
