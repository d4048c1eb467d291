#pragma once
// PosixSpoolEnv: the spool's file-system calls on the real file system (POSIX calls, flock for
// the lock). Stateless: one instance may serve any number of spools on any thread.

#include "spool/spool_env.h"

namespace quellin {

class PosixSpoolEnv final : public SpoolEnv {
 public:
  std::unique_ptr<SpoolFile> open_file(const std::filesystem::path& path,
                                       SpoolFile::Mode mode) override;
  void create_folder(const std::filesystem::path& folder) override;
  std::vector<std::string> list_folder(const std::filesystem::path& folder) override;
  void sync_folder(const std::filesystem::path& folder) override;
  void rename_file(const std::filesystem::path& from, const std::filesystem::path& to) override;
  void remove_file(const std::filesystem::path& path) override;
  std::unique_ptr<Lock> lock_file(const std::filesystem::path& path) override;
};

}  // namespace quellin
