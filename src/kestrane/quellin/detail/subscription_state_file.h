#pragma once
// SubscriptionStateFile: what a subscribing collector keeps on disk so that the next process,
// after a crash, can take its subscriptions over on the server and ask again for what it had
// not kept. Two text files in one folder, each replaced whole with journel's atomic write
// (synced): subscriptions.state, written when the subscriptions or their items change (the
// server and user they belong to, the publishing interval, each subscription with its
// monitored items), and subscriptions.kept, written when acknowledgements go out (per
// subscription, the last notification message whose rows were kept). Owned by the
// SubscriptionFeed; one thread at a time.

#include <filesystem>
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
  void save(const pyqar::ReclaimableSubscriptions& state);
  void save_kept(const std::vector<pyqar::KeptSequence>& kept);
  // The subscriptions were deleted: nothing is left to take over. Never throws.
  void remove() noexcept;

  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  Owner owner_;
};

}  // namespace quellin
