#pragma once
// write_file_atomically: replaces a file whole. The bytes go to a new file beside the target,
// which is synced and then renamed over it, so a crash, a full disk or a failed write leaves
// the old file or the new one, never half of one. A free function; any thread, one writer per
// target at a time.

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

namespace journel {

struct AtomicWriteOptions {
  // The mode the new file is created with, less the umask: it is never wider, not even for the
  // moment before a chmod, so no other user can open it and keep the descriptor.
  std::filesystem::perms create_mode =
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
      std::filesystem::perms::group_read | std::filesystem::perms::others_read;
  // When set, the new file gets exactly this mode, whatever the umask, before a byte is written.
  std::optional<std::filesystem::perms> exact_mode;
};

// Why write_file_atomically failed. what() is "cannot write '<target>': <errno text>"; code()
// holds the errno. The new file is already removed when this is thrown.
class AtomicWriteError : public std::system_error {
 public:
  enum class Step { kCreate, kChmod, kWrite, kSync, kClose, kRename };

  AtomicWriteError(Step step, const std::filesystem::path& target,
                   const std::filesystem::path& temporary, int error);

  Step step() const noexcept { return step_; }
  const std::filesystem::path& target() const noexcept { return paths_->target; }
  // The new file beside the target (for kCreate, the last name tried).
  const std::filesystem::path& temporary() const noexcept { return paths_->temporary; }

 private:
  struct Paths {
    std::filesystem::path target;
    std::filesystem::path temporary;
  };
  Step step_;
  // Shared, so that copying the exception (as throwing does) never throws.
  std::shared_ptr<const Paths> paths_;
};

// Writes `bytes` to a new file ".<name>.tmp-<random>" beside `target`, syncs it, renames it
// over `target` and syncs the folder, so that the rename outlives a crash too (a failure of that
// last sync is not reported: the file is complete either way). Throws AtomicWriteError; the
// old file, if any, is then untouched.
void write_file_atomically(const std::filesystem::path& target, std::string_view bytes,
                           const AtomicWriteOptions& options = {});

}  // namespace journel
