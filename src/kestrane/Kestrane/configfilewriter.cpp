#include "Kestrane/configfilewriter.h"

#include <QFile>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "journel/atomic_file_write.h"

namespace {

namespace fs = std::filesystem;

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;
constexpr fs::perms kEveryone = kOwnerOnly | fs::perms::group_read | fs::perms::group_write |
                                fs::perms::others_read | fs::perms::others_write;

}  // namespace

void write_config_file(const QString& path, const std::string& text, bool owner_only) {
  fs::path target(QFile::encodeName(path).toStdString());
  std::error_code ec;
  // An operator who links config.ini elsewhere means that file; the link stays.
  if (fs::is_symlink(target, ec)) {
    const fs::path resolved = fs::canonical(target, ec);
    if (!ec) target = resolved;
  }

  std::optional<fs::perms> old_mode;
  const fs::file_status old_status = fs::status(target, ec);
  if (!ec && fs::exists(old_status)) old_mode = old_status.permissions() & fs::perms::mask;

  // Made with the given mode from the start: there is no moment at which another user could
  // open it with wider rights and keep the descriptor. The umask may have taken more than
  // wanted from a private file; an old file's mode is kept.
  const journel::AtomicWriteOptions options{
      .create_mode = owner_only ? kOwnerOnly : kEveryone,
      .exact_mode = owner_only ? std::optional<fs::perms>(kOwnerOnly) : old_mode};
  try {
    journel::write_file_atomically(target, text, options);
  } catch (const journel::AtomicWriteError& e) {
    throw std::runtime_error("Cannot write " + target.string() + ": " + e.code().message());
  }
}
