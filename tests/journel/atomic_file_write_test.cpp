#include "journel/atomic_file_write.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace journel {
namespace {

namespace fs = std::filesystem;
using test::list_names;
using test::read_text;
using test::TempDir;
using test::write_text;
using Step = AtomicWriteError::Step;

unsigned mode_of(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : saved_(::umask(mask)) {}
  ~UmaskGuard() { ::umask(saved_); }
  UmaskGuard(const UmaskGuard&) = delete;
  UmaskGuard& operator=(const UmaskGuard&) = delete;

 private:
  mode_t saved_;
};

// Files this process writes may not grow past `bytes`: a full disk without filling one. The
// signal such a write raises is ignored, so the write fails with EFBIG instead.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, saved_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*saved_handler_)(int) = nullptr;
};

class AtomicFileWriteTest : public ::testing::Test {
 protected:
  // Runs the write and returns what it threw.
  AtomicWriteError failure_of(const fs::path& target, const std::string& bytes,
                              const AtomicWriteOptions& options = {}) {
    try {
      write_file_atomically(target, bytes, options);
    } catch (const AtomicWriteError& e) {
      return e;
    }
    ADD_FAILURE() << "no AtomicWriteError for " << target;
    return AtomicWriteError(Step::kCreate, target, {}, 0);
  }

  TempDir dir_;
};

TEST_F(AtomicFileWriteTest, ReplacesTheFileAndLeavesNothingBesideIt) {
  const fs::path target = dir_.write("settings.ini", "old and longer\n");
  write_file_atomically(target, "new\n");
  EXPECT_EQ(read_text(target), "new\n");
  EXPECT_EQ(list_names(dir_.path()), std::vector<std::string>{"settings.ini"});

  write_file_atomically(dir_ / "empty", "");
  EXPECT_EQ(read_text(dir_ / "empty"), "");
}

TEST_F(AtomicFileWriteTest, ANewFileHasTheCreateModeLessTheUmaskUnlessAnExactModeIsAsked) {
  const UmaskGuard umask(077);
  write_file_atomically(dir_ / "default", "x");
  EXPECT_EQ(mode_of(dir_ / "default"), 0600u);
  write_file_atomically(dir_ / "exact", "x",
                        {.create_mode = fs::perms::owner_read | fs::perms::owner_write,
                         .exact_mode = fs::perms::owner_read | fs::perms::group_read});
  EXPECT_EQ(mode_of(dir_ / "exact"), 0440u);
}

TEST_F(AtomicFileWriteTest, AMissingFolderIsReportedNamingTheTargetAndTheReason) {
  const fs::path target = dir_ / "gone" / "settings.ini";
  const AtomicWriteError error = failure_of(target, "x");
  EXPECT_EQ(error.step(), Step::kCreate);
  EXPECT_EQ(error.code().value(), ENOENT);
  EXPECT_EQ(std::string(error.what()),
            "cannot write '" + target.string() + "': No such file or directory");
  EXPECT_EQ(error.target(), target);
  EXPECT_EQ(error.temporary().parent_path(), target.parent_path());
  EXPECT_TRUE(list_names(dir_.path()).empty());
}

TEST_F(AtomicFileWriteTest, AFolderThatCannotBeWrittenToKeepsItsOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into any folder";
  const fs::path target = dir_.write("locked/settings.ini", "old\n");
  fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  const AtomicWriteError error = failure_of(target, "new\n");
  fs::permissions(dir_ / "locked", fs::perms::owner_all);
  EXPECT_EQ(error.step(), Step::kCreate);
  EXPECT_EQ(error.code().value(), EACCES);
  EXPECT_EQ(read_text(target), "old\n");
}

TEST_F(AtomicFileWriteTest, AFailedWriteKeepsTheOldFileAndRemovesTheNewOne) {
  const fs::path target = dir_.write("settings.ini", "old\n");
  const std::string big(64 * 1024, 'n');
  std::optional<AtomicWriteError> error;
  {
    const FileSizeLimit limit(1024);
    error.emplace(failure_of(target, big));
  }
  EXPECT_EQ(error->step(), Step::kWrite);
  EXPECT_EQ(error->code().value(), EFBIG);
  EXPECT_EQ(read_text(target), "old\n");
  EXPECT_EQ(list_names(dir_.path()), std::vector<std::string>{"settings.ini"});
}

TEST_F(AtomicFileWriteTest, AFailedRenameKeepsWhatIsThereAndRemovesTheNewFile) {
  // A folder of that name cannot be replaced by a file.
  dir_.write("settings.ini/kept", "old\n");
  const AtomicWriteError error = failure_of(dir_ / "settings.ini", "new\n");
  EXPECT_EQ(error.step(), Step::kRename);
  EXPECT_EQ(error.code().value(), EISDIR);
  EXPECT_EQ(read_text(dir_ / "settings.ini/kept"), "old\n");
  EXPECT_EQ(list_names(dir_.path()), std::vector<std::string>{"settings.ini"});
}

TEST_F(AtomicFileWriteTest, ARelativeTargetIsWrittenBesideItInTheWorkingFolder) {
  struct WorkingFolder {
    fs::path saved = fs::current_path();
    explicit WorkingFolder(const fs::path& to) { fs::current_path(to); }
    ~WorkingFolder() { fs::current_path(saved); }
  } cwd(dir_.path());
  write_file_atomically("plain", "text");
  EXPECT_EQ(read_text(dir_ / "plain"), "text");
  EXPECT_EQ(list_names(dir_.path()), std::vector<std::string>{"plain"});
}

}  // namespace
}  // namespace journel
