// The console's command line: what it accepts, and the one-line errors for what it refuses.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "KestraneConsole/console_options.h"
#include "KestraneConsole/kestrane_console.h"
#include "temp_dir.h"

namespace kestrane_console {
namespace {

using kestrane_test::TempDir;

ConsoleOptions parse(std::vector<std::string> args) {
  args.insert(args.begin(), "KestraneConsole");
  std::vector<const char*> argv;
  for (const auto& arg : args) argv.push_back(arg.c_str());
  return ConsoleOptions::parse(static_cast<int>(argv.size()), argv.data());
}

class ConsoleCommandLine : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(ConsoleCommandLine, NoArgumentsKeepTheBaseDirectoryRule) {
  const auto options = parse({});
  EXPECT_EQ(options.error, "");
  EXPECT_FALSE(options.config_file);
  EXPECT_FALSE(options.help);
}

TEST_F(ConsoleCommandLine, ConfigTakesTheNextArgumentOrTheTextAfterTheEqualsSign) {
  const auto file = dir_.write("plant one.ini", "");
  for (const auto& args : std::vector<std::vector<std::string>>{{"--config", file.string()},
                                                                {"--config=" + file.string()}}) {
    const auto options = parse(args);
    EXPECT_EQ(options.error, "") << args[0];
    ASSERT_TRUE(options.config_file) << args[0];
    EXPECT_EQ(*options.config_file, file);
  }
}

TEST_F(ConsoleCommandLine, ConfigThroughALinkIsAccepted) {
  const auto file = dir_.write("etc/config.ini", "");
  std::filesystem::create_symlink(file, dir_ / "config.ini");
  EXPECT_EQ(parse({"--config", (dir_ / "config.ini").string()}).error, "");
}

TEST_F(ConsoleCommandLine, RefusalsNameTheArgumentAndTheProblem) {
  const auto file = dir_.write("config.ini", "");
  std::filesystem::create_symlink(dir_ / "gone.ini", dir_ / "dangling.ini");
  const std::string missing = (dir_ / "missing.ini").string();
  const std::string folder = dir_.path().string();
  const std::string dangling = (dir_ / "dangling.ini").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--config", missing}, "--config " + missing + ": no such file"},
      {{"--config=" + missing}, "--config " + missing + ": no such file"},
      {{"--config", dangling}, "--config " + dangling + ": no such file"},
      {{"--config", folder}, "--config " + folder + ": is a folder, not a configuration file"},
      {{"--config"}, "--config needs a file name"},
      {{"--config="}, "--config: the file name is empty"},
      {{"--config", file.string(), "--config", file.string()}, "--config given more than once"},
      {{"--conf", file.string()}, "unknown argument '--conf'"},
      {{"--configx"}, "unknown argument '--configx'"},
      {{file.string()}, "unknown argument '" + file.string() + "'"},
      {{"-c", file.string()}, "unknown argument '-c'"},
  };
  for (const auto& [args, error] : cases) {
    const auto options = parse(args);
    EXPECT_EQ(options.error, error) << args[0];
    EXPECT_FALSE(options.config_file) << args[0];
  }
}

TEST_F(ConsoleCommandLine, HelpIsRecognisedInBothSpellings) {
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"-h"}).help);
  EXPECT_NE(ConsoleOptions::usage().find("--config FILE"), std::string::npos);
}

// --config: the file's folder stands in for the base directory and the file keeps its own name.
TEST_F(ConsoleCommandLine, AConfigFileSetsTheBaseDirectoryToItsFolder) {
  const auto file = dir_.write("site/plant1.ini", "[KestraneLogging]\nconsole = false\n");
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  KestraneConsole console(std::nullopt, {}, std::filesystem::path("site/plant1.ini"));
  std::filesystem::current_path(old_cwd);
  EXPECT_EQ(console.base_dir(), dir_ / "site");
  EXPECT_EQ(console.config_path(), file);
}

}  // namespace
}  // namespace kestrane_console
