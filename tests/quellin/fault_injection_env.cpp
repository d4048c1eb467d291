#include "fault_injection_env.h"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <utility>

#include "spool/posix_spool_env.h"

namespace kestrane_test {

namespace fs = std::filesystem;
using quellin::SpoolFile;

// A file of the target env; every call passes through the env's faults and bookkeeping.
class FaultInjectionEnv::File final : public SpoolFile {
 public:
  File(FaultInjectionEnv& env, std::unique_ptr<SpoolFile> target)
      : env_(env), target_(std::move(target)) {}

  const fs::path& path() const override { return target_->path(); }
  std::uint64_t size() const override { return target_->size(); }

  void write_all(std::string_view bytes) override {
    const std::lock_guard lock(env_.mutex_);
    std::size_t short_bytes = 0;
    int error = 0;
    env_.check_locked(Op::kWrite, path(), &short_bytes, &error);
    const std::string_view written = error != 0 ? bytes.substr(0, short_bytes) : bytes;
    if (!written.empty()) target_->write_all(written);
    env_.files_[path()].size = target_->size();
    if (error != 0) fail(error, path());
  }

  bool read_at(std::uint64_t offset, std::size_t count, char* out) const override {
    {
      const std::lock_guard lock(env_.mutex_);
      env_.check_locked(Op::kRead, path());
    }
    return target_->read_at(offset, count, out);
  }

  void truncate(std::uint64_t size) override {
    const std::lock_guard lock(env_.mutex_);
    env_.check_locked(Op::kTruncate, path());
    target_->truncate(size);
    FileState& state = env_.files_[path()];
    state.size = size;
    state.synced = std::min(state.synced, size);
  }

  void datasync() override {
    const std::lock_guard lock(env_.mutex_);
    env_.check_locked(Op::kSync, path());
    target_->datasync();
    FileState& state = env_.files_[path()];
    state.size = target_->size();
    state.synced = state.size;
  }

 private:
  FaultInjectionEnv& env_;
  std::unique_ptr<SpoolFile> target_;
};

FaultInjectionEnv::FaultInjectionEnv(std::shared_ptr<quellin::SpoolEnv> target)
    : target_(target ? std::move(target) : std::make_shared<quellin::PosixSpoolEnv>()) {}

void FaultInjectionEnv::inject(Fault fault) {
  const std::lock_guard lock(mutex_);
  faults_.push_back({.fault = std::move(fault), .skipped = 0, .failed = 0});
}

void FaultInjectionEnv::clear_faults() {
  const std::lock_guard lock(mutex_);
  faults_.clear();
}

int FaultInjectionEnv::calls() const {
  const std::lock_guard lock(mutex_);
  return calls_;
}

int FaultInjectionEnv::calls(Op op) const {
  const std::lock_guard lock(mutex_);
  const auto it = op_calls_.find(op);
  return it == op_calls_.end() ? 0 : it->second;
}

int FaultInjectionEnv::failures() const {
  const std::lock_guard lock(mutex_);
  return failures_;
}

void FaultInjectionEnv::cut_power(std::uint64_t keep_unsynced_bytes) {
  const std::lock_guard lock(mutex_);
  for (const auto& [path, state] : files_) {
    std::error_code ignored;
    if (unsynced_entries_.contains(path)) {
      fs::remove(path, ignored);
    } else if (state.size > state.synced) {
      fs::resize_file(path, state.synced + std::min(keep_unsynced_bytes, state.size - state.synced),
                      ignored);
    }
  }
  files_.clear();
  unsynced_entries_.clear();
  power_off_ = true;
}

void FaultInjectionEnv::restore_power() {
  const std::lock_guard lock(mutex_);
  power_off_ = false;
}

std::unique_ptr<SpoolFile> FaultInjectionEnv::open_file(const fs::path& path,
                                                        SpoolFile::Mode mode) {
  const std::lock_guard lock(mutex_);
  check_locked(Op::kOpen, path);
  std::error_code ec;
  const bool existed = fs::exists(path, ec);
  auto file = std::make_unique<File>(*this, target_->open_file(path, mode));
  if (mode == SpoolFile::Mode::kCreate || mode == SpoolFile::Mode::kReplace ||
      (mode == SpoolFile::Mode::kAppend && !existed)) {
    FileState& state = files_[path];
    state.size = 0;
    if (!existed) {
      state.synced = 0;
      unsynced_entries_.insert(path);
    }
  } else if ((mode == SpoolFile::Mode::kReadWrite || mode == SpoolFile::Mode::kAppend) &&
             !files_.contains(path)) {
    const std::uint64_t size = fs::file_size(path, ec);
    files_[path] = FileState{.size = size, .synced = size};
  }
  return file;
}

void FaultInjectionEnv::create_folder(const fs::path& folder) {
  const std::lock_guard lock(mutex_);
  check_locked(Op::kOpen, folder);
  target_->create_folder(folder);
}

std::vector<std::string> FaultInjectionEnv::list_folder(const fs::path& folder) {
  const std::lock_guard lock(mutex_);
  check_locked(Op::kList, folder);
  return target_->list_folder(folder);
}

void FaultInjectionEnv::sync_folder(const fs::path& folder) {
  const std::lock_guard lock(mutex_);
  check_locked(Op::kSyncFolder, folder);
  target_->sync_folder(folder);
  std::erase_if(unsynced_entries_, [&](const fs::path& p) { return p.parent_path() == folder; });
}

void FaultInjectionEnv::rename_file(const fs::path& from, const fs::path& to) {
  const std::lock_guard lock(mutex_);
  check_locked(Op::kRename, to);
  target_->rename_file(from, to);
  const auto it = files_.find(from);
  FileState state = it != files_.end() ? it->second : FileState{};
  if (it != files_.end()) files_.erase(it);
  files_[to] = state;
  unsynced_entries_.erase(from);
  unsynced_entries_.insert(to);
}

void FaultInjectionEnv::remove_file(const fs::path& path) {
  const std::lock_guard lock(mutex_);
  check_locked(Op::kRemove, path);
  target_->remove_file(path);
  files_.erase(path);
  unsynced_entries_.erase(path);
}

std::unique_ptr<quellin::SpoolEnv::Lock> FaultInjectionEnv::lock_file(const fs::path& path) {
  const std::lock_guard lock(mutex_);
  check_locked(Op::kLock, path);
  return target_->lock_file(path);
}

void FaultInjectionEnv::check_locked(Op op, const fs::path& path, std::size_t* write_bytes,
                                     int* error) {
  ++calls_;
  ++op_calls_[op];
  if (power_off_) fail(EIO, path);
  const std::string name = path.filename().string();
  for (ArmedFault& armed : faults_) {
    const Fault& fault = armed.fault;
    if (fault.op != Op::kAny && fault.op != op) continue;
    if (!fault.path_part.empty() && name.find(fault.path_part) == std::string::npos) continue;
    if (armed.skipped < fault.skip) {
      ++armed.skipped;
      continue;
    }
    if (fault.times >= 0 && armed.failed >= fault.times) continue;
    ++armed.failed;
    ++failures_;
    if (op == Op::kWrite && write_bytes != nullptr && error != nullptr) {
      *write_bytes = fault.write_bytes;
      *error = fault.error;
      return;
    }
    fail(fault.error, path);
  }
}

void FaultInjectionEnv::fail(int error, const fs::path& path) {
  throw std::system_error(error, std::generic_category(), "injected fault on " + path.string());
}

}  // namespace kestrane_test
