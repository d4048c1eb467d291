#pragma once
// TempDir: a fresh folder under the system's temporary folder, removed with everything in it
// when the object goes. Owned by the test that made it; one thread at a time.

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrane_test {

class TempDir {
 public:
  // The folder's name starts with `prefix`; throws std::runtime_error when it cannot be made.
  explicit TempDir(const std::string& prefix = "kestrane-test-");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // Writes `bytes` to the file `name` (folders made as needed) and returns its path.
  std::filesystem::path write(const std::string& name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

}  // namespace kestrane_test
