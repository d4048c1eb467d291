#include "journel/atomic_file_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "journel/unique_fd.h"

namespace journel {
namespace {

namespace fs = std::filesystem;
using Step = AtomicWriteError::Step;

// Another writer picking the same random name sixteen times in a row is no coincidence.
constexpr int kNameAttempts = 16;

// The new file until it has replaced the target: closed and removed on every way out but the
// rename.
class PendingFile {
 public:
  explicit PendingFile(fs::path target) : target_(std::move(target)) {}
  ~PendingFile() {
    fd_.reset();
    if (created_ && !renamed_) ::unlink(path_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  void create(const AtomicWriteOptions& options) {
    const fs::path folder = target_.parent_path();
    std::random_device seed;
    std::mt19937_64 random((std::uint64_t{seed()} << 32) | seed());
    for (int attempt = 0; !created_; ++attempt) {
      path_ = folder / fmt::format(".{}.tmp-{:012x}", target_.filename().string(),
                                   random() & 0xffff'ffff'ffffULL);
      fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                       static_cast<mode_t>(options.create_mode & fs::perms::mask)));
      created_ = fd_.valid();
      if (!created_ && (errno != EEXIST || attempt + 1 == kNameAttempts)) {
        fail(Step::kCreate, errno);
      }
    }
    if (options.exact_mode &&
        ::fchmod(fd_.get(), static_cast<mode_t>(*options.exact_mode & fs::perms::mask)) != 0) {
      fail(Step::kChmod, errno);
    }
  }

  void write_all(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail(Step::kWrite, errno);
      // No progress and no error: a device that takes nothing would otherwise loop for ever.
      if (n == 0) fail(Step::kWrite, EIO);
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  void sync_and_close() {
    int rc = 0;
    while ((rc = ::fsync(fd_.get())) != 0 && errno == EINTR) {
    }
    if (rc != 0) fail(Step::kSync, errno);
    if (const int error = fd_.close(); error != 0) fail(Step::kClose, error);
  }

  void rename_over_target() {
    if (::rename(path_.c_str(), target_.c_str()) != 0) fail(Step::kRename, errno);
    renamed_ = true;
  }

 private:
  [[noreturn]] void fail(Step step, int error) const {
    throw AtomicWriteError(step, target_, path_, error);
  }

  fs::path target_;
  fs::path path_;
  UniqueFd fd_;
  bool created_ = false;
  bool renamed_ = false;
};

void sync_folder(const fs::path& folder) {
  const UniqueFd dir(
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

AtomicWriteError::AtomicWriteError(Step step, const fs::path& target, const fs::path& temporary,
                                   int error)
    : std::system_error(error, std::generic_category(),
                        fmt::format("cannot write '{}'", target.string())),
      step_(step),
      paths_(std::make_shared<const Paths>(Paths{target, temporary})) {}

void write_file_atomically(const fs::path& target, std::string_view bytes,
                           const AtomicWriteOptions& options) {
  PendingFile file(target);
  file.create(options);
  file.write_all(bytes);
  file.sync_and_close();
  file.rename_over_target();
  sync_folder(target.parent_path());
}

}  // namespace journel
