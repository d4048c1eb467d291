#pragma once
// SpoolFile: one open file of the spool folder (a segment, the read-position file being
// replaced, or the rejected-rows file), as handed out by a SpoolEnv, owning its handle until
// destroyed. Owned by the Spool or the rejected-rows file; not synchronised: one thread at a
// time (the Spool holds its mutex around every call). Destructors never throw.

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
    kAppend,     // a file created when missing, appended to
  };

  virtual ~SpoolFile() = default;

  virtual const std::filesystem::path& path() const = 0;
  // Every member below throws std::system_error (a std::runtime_error) naming the file; its
  // code is the errno.
  virtual std::uint64_t size() const = 0;
  // The whole buffer at the end of the file; a short write goes on with the rest. When it
  // throws, part of the buffer may be in the file, which the caller cuts back.
  virtual void write_all(std::string_view bytes) = 0;
  // Reads `count` bytes at `offset` into `out`; false when the file ends first.
  virtual bool read_at(std::uint64_t offset, std::size_t count, char* out) const = 0;
  virtual void truncate(std::uint64_t size) = 0;
  // Makes the file's data durable (not its folder entry: SpoolEnv::sync_folder does that).
  virtual void datasync() = 0;
};

}  // namespace quellin
