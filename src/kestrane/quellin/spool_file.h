#pragma once
// SpoolFile: one open file of the spool (a segment, or the read-position file being replaced),
// owning its descriptor from open to destruction. Owned by the Spool; not synchronised: the
// Spool holds its mutex around every call. Movable, not copyable; the destructor never throws.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace quellin {

class SpoolFile {
 public:
  enum class Mode {
    kRead,       // an existing file, read only
    kReadWrite,  // an existing file, to be read and cut back
    kCreate,     // a new file that must not exist yet, appended to
    kReplace,    // a file created or emptied, written from the start
    kFolder,     // a folder, opened only to sync its entries
  };

  // Throws std::system_error (a std::runtime_error) naming the file; its code is the errno.
  SpoolFile(std::filesystem::path path, Mode mode);
  ~SpoolFile();
  SpoolFile(SpoolFile&& other) noexcept;
  SpoolFile& operator=(SpoolFile&& other) noexcept;
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::uint64_t size() const;
  // One write(2) for the whole buffer; only a short write (a signal, a nearly full disk) makes
  // it write the rest. Throws std::system_error naming the file; part of the buffer may then
  // be in the file, which the caller cuts back.
  void write_all(std::string_view bytes);
  // Reads `count` bytes at `offset` into `out`; false when the file ends first.
  bool read_at(std::uint64_t offset, std::size_t count, char* out) const;
  void truncate(std::uint64_t size);
  void datasync();
  // Makes the folder's entries (new files, renames) durable.
  static void sync_folder(const std::filesystem::path& folder);

 private:
  void sync(bool data_only);
  void close() noexcept;

  std::filesystem::path path_;
  int fd_ = -1;
};

}  // namespace quellin
