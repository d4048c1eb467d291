#pragma once
// SubscriptionStateFile: what a subscribing collector keeps on disk so that the next process,
// after a crash, can take its subscriptions over on the server and ask again for what it had
// not kept. Two text files in one folder, each replaced whole with journel's atomic write
// (synced): subscriptions.state, written when the subscriptions or their items change (the
// server and user they belong to, the publishing interval, each subscription with its
// monitored items), and subscriptions.kept (per subscription, the last notification message
// whose rows were kept), written by the write stage once a batch's rows are durable and before
// its notifications may be acknowledged. Shared by the SubscriptionFeed (collector thread) and
// the TsdbWriter (whichever thread finds a batch durable); thread-safe.

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pyqar/reclaimable_subscriptions.h"

namespace quellin {

class SubscriptionStateFile {
 public:
  // Whose subscriptions: another server's or user's are never offered to this one.
  struct Owner {
    std::string endpoint;
    std::string user;  // empty: anonymous
  };

  static constexpr const char* kStateName = "subscriptions.state";
  static constexpr const char* kKeptName = "subscriptions.kept";

  // The folder is created on the first save.
  SubscriptionStateFile(std::filesystem::path dir, Owner owner);

  // What the previous process left; nothing when there is no file, and nothing with a WARNING
  // naming the file and the reason when it does not parse or belongs to another owner.
  std::optional<pyqar::ReclaimableSubscriptions> load() const;
  // Throw journel::AtomicWriteError (a std::system_error) naming the file that failed, or
  // std::filesystem::filesystem_error when the folder cannot be made.
  // The numbers already recorded win over older ones of `state` (the engine learns of a kept
  // message only once it may acknowledge it, after it was recorded).
  void save(const pyqar::ReclaimableSubscriptions& state);
  // Records the numbers of `kept`; a number never goes back. Ignored between remove() and the
  // next save(): a batch kept after the subscriptions were deleted has nothing to record.
  void save_kept(const std::vector<pyqar::KeptSequence>& kept);
  // The same for the write stage, which goes on whatever the disk does: a failure is logged
  // (once, until a write succeeds) and then costs only this: after a crash the batches since
  // may be stored twice.
  void record_kept(const std::vector<pyqar::KeptSequence>& kept) noexcept;
  // The subscriptions were deleted: nothing is left to take over. Never throws.
  void remove() noexcept;

  const std::filesystem::path& dir() const { return dir_; }
  const Owner& owner() const { return owner_; }

 private:
  // With mutex_ held.
  void write_kept(const std::map<std::uint32_t, std::uint32_t>& kept) const;

  const std::filesystem::path dir_;
  const Owner owner_;
  std::mutex mutex_;
  // What subscriptions.kept holds: subscription id -> last kept message.
  std::map<std::uint32_t, std::uint32_t> kept_;  // guarded by mutex_
  bool removed_ = false;                         // guarded by mutex_
  bool record_failure_reported_ = false;         // guarded by mutex_
};

}  // namespace quellin
