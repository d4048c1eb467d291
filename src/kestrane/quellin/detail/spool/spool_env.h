#pragma once
// SpoolEnv: every file-system call the spool and the rejected-rows file make (open, list, sync a
// folder, rename, remove, lock), so that tests can fail any of them or cut the power under it.
// PosixSpoolEnv is the real one. Shared by a Spool, the writer's rejected-rows file and their
// owner: the Spool calls it from any thread with its own mutex held, the rejected-rows file from
// the writer's thread, so an implementation must be safe from two threads at once.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "spool/spool_file.h"

namespace quellin {

class SpoolEnv {
 public:
  // An exclusive advisory lock on a file, held until destroyed. A process that dies releases
  // its locks, so a lock file left behind never blocks.
  class Lock {
   public:
    virtual ~Lock() = default;
  };

  virtual ~SpoolEnv() = default;

  // Every member throws std::system_error naming the path; its code is the errno.
  virtual std::unique_ptr<SpoolFile> open_file(const std::filesystem::path& path,
                                               SpoolFile::Mode mode) = 0;
  // Creates the folder and its parents when missing; ENOTDIR when a file is in the way.
  virtual void create_folder(const std::filesystem::path& folder) = 0;
  // The names of the regular files in the folder.
  virtual std::vector<std::string> list_folder(const std::filesystem::path& folder) = 0;
  // Makes the folder's entries (new files, renames) durable.
  virtual void sync_folder(const std::filesystem::path& folder) = 0;
  virtual void rename_file(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // ENOENT when there is no such file.
  virtual void remove_file(const std::filesystem::path& path) = 0;
  // Creates the file when missing and locks it; EWOULDBLOCK when another open holds the lock.
  virtual std::unique_ptr<Lock> lock_file(const std::filesystem::path& path) = 0;
};

}  // namespace quellin
