#pragma once
// FaultInjectionEnv: a SpoolEnv over the real file system that fails chosen calls (ENOSPC, EIO,
// ENOENT, a short write, a failed sync) and simulates a power cut: it records per file the
// length at the last sync and the files created or renamed since the last folder sync. Owned
// by a test and shared with the Spool under test; safe from any thread (mutex_).

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "spool/spool_env.h"

namespace kestrane_test {

class FaultInjectionEnv final : public quellin::SpoolEnv {
 public:
  enum class Op {
    kAny,
    kOpen,
    kWrite,
    kRead,
    kTruncate,
    kSync,        // a file's data
    kSyncFolder,  // the folder's entries
    kList,
    kRename,
    kRemove,
    kLock,
  };
  struct Fault {
    Op op = Op::kAny;
    int error = EIO;
    std::string path_part{};      // only paths whose file name holds this; empty: any path
    int skip = 0;                 // matching calls that pass first
    int times = 1;                // matching calls that fail then; -1: every one
    std::size_t write_bytes = 0;  // kWrite: bytes that reach the file first (a short write)
  };

  explicit FaultInjectionEnv(std::shared_ptr<quellin::SpoolEnv> target = nullptr);

  void inject(Fault fault);
  void clear_faults();
  int calls() const;       // file-system calls made through this env
  int calls(Op op) const;  // of them, calls of one kind (kAny counts none)
  int failures() const;    // calls it failed on purpose

  // What a power cut leaves: files created or renamed since the last folder sync are gone,
  // every other file written through this env is cut to its synced length (plus
  // keep_unsynced_bytes, what happened to reach the disk anyway: a torn last record). Every
  // call fails with EIO until restore_power().
  void cut_power(std::uint64_t keep_unsynced_bytes = 0);
  void restore_power();

  std::unique_ptr<quellin::SpoolFile> open_file(const std::filesystem::path& path,
                                                quellin::SpoolFile::Mode mode) override;
  void create_folder(const std::filesystem::path& folder) override;
  std::vector<std::string> list_folder(const std::filesystem::path& folder) override;
  void sync_folder(const std::filesystem::path& folder) override;
  void rename_file(const std::filesystem::path& from, const std::filesystem::path& to) override;
  void remove_file(const std::filesystem::path& path) override;
  std::unique_ptr<Lock> lock_file(const std::filesystem::path& path) override;

 private:
  class File;
  struct FileState {
    std::uint64_t size = 0;
    std::uint64_t synced = 0;  // length at the last sync
  };
  struct ArmedFault {
    Fault fault;
    int skipped = 0;
    int failed = 0;
  };

  // Counts the call and throws when a fault matches it; a short write reports its byte count
  // instead, and the caller writes that much before throwing.
  void check_locked(Op op, const std::filesystem::path& path, std::size_t* write_bytes = nullptr,
                    int* error = nullptr);
  [[noreturn]] static void fail(int error, const std::filesystem::path& path);

  const std::shared_ptr<quellin::SpoolEnv> target_;
  mutable std::mutex mutex_;
  // Guarded by mutex_: the armed faults, the counters, what each written file holds and has
  // synced, the entries not synced in their folder yet, and whether the power is off.
  std::vector<ArmedFault> faults_;
  int calls_ = 0;
  std::map<Op, int> op_calls_;
  int failures_ = 0;
  std::map<std::filesystem::path, FileState> files_;
  std::set<std::filesystem::path> unsynced_entries_;
  bool power_off_ = false;
};

}  // namespace kestrane_test
