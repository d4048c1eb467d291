#include "Kestrane/configfilewriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

// Another writer picking the same random name sixteen times in a row is no coincidence.
constexpr int kNameAttempts = 16;
constexpr mode_t kOwnerOnly = 0600;
constexpr mode_t kEveryone = 0666;

[[noreturn]] void fail(const std::string& path, int error) {
  throw std::runtime_error("Cannot write " + path + ": " + std::generic_category().message(error));
}

// The new file until it has replaced the old one: its descriptor is closed and the file is
// removed on every way out but the rename.
class PendingFile {
 public:
  PendingFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_) ::unlink(path_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  // Some file systems report a failed write only here, so its outcome counts.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }
  void renamed() { renamed_ = true; }

 private:
  std::string path_;
  int fd_;
  bool renamed_ = false;
};

// Made with the given mode from the start: there is no moment at which another user could
// open it with wider rights and keep the descriptor.
PendingFile create_beside(const std::string& target, mode_t mode) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = target + ".tmp-" + std::to_string(random() % 1000000000ULL);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return PendingFile(name, fd);
    if (errno != EEXIST) fail(target, errno);
  }
  fail(target, EEXIST);
}

void write_all(const PendingFile& file, const std::string& target, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(file.fd(), data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(target, errno);
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void write_config_file(const QString& path, const std::string& text, bool owner_only) {
  std::filesystem::path target(QFile::encodeName(path).toStdString());
  std::error_code ec;
  // An operator who links config.ini elsewhere means that file; the link stays.
  if (std::filesystem::is_symlink(target, ec)) {
    const std::filesystem::path resolved = std::filesystem::canonical(target, ec);
    if (!ec) target = resolved;
  }
  const std::string target_name = target.string();

  std::optional<mode_t> old_mode;
  struct stat old_status {};
  if (::stat(target_name.c_str(), &old_status) == 0) old_mode = old_status.st_mode & 07777;

  PendingFile file = create_beside(target_name, owner_only ? kOwnerOnly : kEveryone);
  // The umask may have taken more than wanted from a private file; an old file's mode is kept.
  if (owner_only || old_mode) {
    if (::fchmod(file.fd(), owner_only ? kOwnerOnly : *old_mode) != 0) fail(target_name, errno);
  }
  write_all(file, target_name, text);
  if (::fsync(file.fd()) != 0) fail(target_name, errno);
  if (file.close() != 0) fail(target_name, errno);
  if (::rename(file.path().c_str(), target_name.c_str()) != 0) fail(target_name, errno);
  file.renamed();
}
