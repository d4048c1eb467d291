#pragma once
// PosixSpoolFile: a SpoolFile over a POSIX file descriptor, owned from open to destruction.
// Made by PosixSpoolEnv; used by one Spool under its mutex. Movable, not copyable.

#include <filesystem>

#include "journel/unique_fd.h"
#include "spool/spool_file.h"

namespace quellin {

class PosixSpoolFile final : public SpoolFile {
 public:
  // Throws std::system_error naming the file; its code is the errno.
  PosixSpoolFile(std::filesystem::path path, Mode mode);
  // A failed close of a file that was synced (or need not be) loses nothing worth reporting.
  ~PosixSpoolFile() override = default;
  PosixSpoolFile(PosixSpoolFile&& other) noexcept = default;
  PosixSpoolFile& operator=(PosixSpoolFile&& other) noexcept = default;
  PosixSpoolFile(const PosixSpoolFile&) = delete;
  PosixSpoolFile& operator=(const PosixSpoolFile&) = delete;

  const std::filesystem::path& path() const override { return path_; }
  std::uint64_t size() const override;
  // One write(2) for the whole buffer; only a short write (a signal, a nearly full disk) makes
  // it write the rest.
  void write_all(std::string_view bytes) override;
  bool read_at(std::uint64_t offset, std::size_t count, char* out) const override;
  void truncate(std::uint64_t size) override;
  void datasync() override;

 private:
  std::filesystem::path path_;
  journel::UniqueFd fd_;
};

}  // namespace quellin
