// Browsing the node-opcua test server's plant namespace: the library calls, the
// kestrane-browse program run as a user runs it, and its list fed to KestraneConsole.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "config/tag_csv.h"
#include "console_process.h"
#include "database_readback.h"
#include "pyqar/address_space_walk.h"
#include "pyqar/ua_browser.h"
#include "refusing_port.h"
#include "temp_dir.h"
#include "ua_test_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using kestrane_test::TempDir;
using kestrane_test::UaTestServer;

constexpr char kPlant[] = "nsu=urn:kestrane:plant;s=Plant";
constexpr int kWide = 1200;
constexpr int kMaxNodesPerBrowse = 50;
// Upper bound for anything that normally takes a few seconds.
constexpr auto kDeadline = std::chrono::seconds(60);

std::string plant(const std::string& id) { return "nsu=urn:kestrane:plant;s=" + id; }

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The numeric and Boolean variables below Plant, as the walk must find them.
std::set<std::string> expected_plant_variables() {
  std::set<std::string> names;
  for (const char* t : {"Boolean", "SByte", "Byte", "Int16", "UInt16", "Int32", "UInt32", "Int64",
                        "UInt64", "Float", "Double", "Duration"}) {
    names.insert(plant(std::string("Plant.Types.") + t));
  }
  for (int n = 1; n <= kWide; ++n) names.insert(plant("Plant.Wide." + std::to_string(n)));
  names.insert(plant("Plant.Loop.Inner.Value"));
  names.insert(plant("Plant.Odd"));
  names.insert(plant("Demo.Double"));
  return names;
}

// A run of the program: its exit status (-1 when killed at the deadline) and what it wrote.
struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Starts kestrane-browse with stdout and stderr into files of `dir`.
class ToolProcess {
 public:
  ToolProcess(const TempDir& dir, std::vector<std::string> args) : dir_(dir) {
    args.insert(args.begin(), KESTRANE_BROWSE_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const int rc =
        ::posix_spawn(&pid_, KESTRANE_BROWSE_EXE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start kestrane-browse");
  }
  ~ToolProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  std::string err() const { return read_file(err_path()); }
  void signal(int sig) const { ::kill(pid_, sig); }
  bool wait_for_err(const std::string& text) const {
    for (const auto end = Clock::now() + kDeadline; Clock::now() < end;) {
      if (err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  ToolRun finish() {
    ToolRun run;
    for (const auto end = Clock::now() + kDeadline; Clock::now() < end;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.out = read_file(out_path());
    run.err = err();
    return run;
  }

 private:
  std::string out_path() const { return (dir_.path() / "tool.out").string(); }
  std::string err_path() const { return (dir_.path() / "tool.err").string(); }

  const TempDir& dir_;
  pid_t pid_ = -1;
};

std::vector<kestrane_config::TagEntry> parse(const std::string& csv) {
  std::vector<kestrane_config::TagEntry> tags;
  kestrane_config::parse_tag_csv(csv, tags);
  return tags;
}

std::set<std::string> names_of(const std::vector<kestrane_config::TagEntry>& tags) {
  std::set<std::string> names;
  for (const auto& t : tags) names.insert(t.name);
  return names;
}

// One plant server for the whole suite: starting node-opcua takes seconds.
class BrowsesPlantServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (UaTestServer::unavailable_reason()) return;
    UaTestServer::Options options;
    options.tags = 2;
    options.browse_tree = true;
    options.wide = kWide;
    options.max_nodes_per_browse = kMaxNodesPerBrowse;
    server_ = std::make_unique<UaTestServer>(options);
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override {
    if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  }

  ToolRun run_tool(std::vector<std::string> args) {
    ToolProcess tool(dir_, std::move(args));
    return tool.finish();
  }
  std::vector<kestrane_config::TagEntry> list(std::vector<std::string> extra) {
    extra.insert(extra.begin(), server_->url());
    const ToolRun run = run_tool(extra);
    EXPECT_EQ(run.status, 0) << run.err;
    return parse(run.out);
  }

  static inline std::unique_ptr<UaTestServer> server_;
  TempDir dir_;
};

TEST_F(BrowsesPlantServer, ContinuationPointsAreFollowedInOrderAndRequestsSplitToTheLimit) {
  pyqar::UaBrowser browser(server_->url());
  const auto wide = browser.children(plant("Plant.Wide"));
  ASSERT_EQ(wide.size(), static_cast<std::size_t>(kWide));
  for (int n = 1; n <= kWide; ++n) ASSERT_EQ(wide[n - 1].browse_name, "W" + std::to_string(n));
  EXPECT_GE(browser.call_counts().browse_next, 1u);

  // Browsing all of them at once is more nodes than one Browse may carry.
  std::vector<std::string> ids;
  for (const auto& node : wide) ids.push_back(node.node_id);
  const auto before = browser.call_counts().browse;
  const auto each = browser.children_of_each(ids);
  ASSERT_EQ(each.size(), ids.size());
  for (const auto& c : each) EXPECT_TRUE(c.error.empty() && c.nodes.empty()) << c.error;
  EXPECT_EQ(browser.call_counts().browse - before, kWide / kMaxNodesPerBrowse);
}

TEST_F(BrowsesPlantServer, NodeDescribesVariablesAndRefusesUnknownOnes) {
  pyqar::UaBrowser browser(server_->url());
  const auto dbl = browser.node(plant("Plant.Types.Double"));
  EXPECT_TRUE(dbl.is_variable && dbl.numeric);
  EXPECT_EQ(dbl.description, "A double");
  EXPECT_EQ(dbl.index_node_id, "ns=3;s=Plant.Types.Double");
  EXPECT_EQ(dbl.data_type, "Double");
  const auto text = browser.node(plant("Plant.Types.String"));
  EXPECT_FALSE(text.numeric);
  EXPECT_EQ(text.data_type, "String");
  EXPECT_EQ(browser.node(plant("Plant.Types")).data_type, "");  // no variable, no type
  EXPECT_EQ(browser.node("").node_id, "i=85");
  EXPECT_THROW(browser.node("nsu=urn:nowhere;s=x"), std::invalid_argument);
  EXPECT_THROW(browser.node("x=1"), std::invalid_argument);
  EXPECT_THROW(browser.node("ns=3;s=Plant.Nope"), std::runtime_error);
  EXPECT_TRUE(browser.usable());
}

TEST_F(BrowsesPlantServer, WalkVisitsEachNodeOnceThroughLoopsAndSelfReferences) {
  pyqar::UaBrowser browser(server_->url());
  // A walk that loops forever would be stopped here and fail below, not hang.
  std::stop_source deadline;
  std::jthread watchdog([&](std::stop_token done) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    cv.wait_for(lock, done, kDeadline, [] { return false; });
    if (!done.stop_requested()) deadline.request_stop();
  });
  pyqar::WalkOptions options;
  options.root = kPlant;
  options.stop = deadline.get_token();
  const auto result = pyqar::walk_address_space(browser, options);
  watchdog.request_stop();
  EXPECT_FALSE(result.stopped);
  EXPECT_TRUE(result.errors.empty());
  std::set<std::string> found;
  for (const auto& v : result.variables) EXPECT_TRUE(found.insert(v.node.node_id).second);
  EXPECT_EQ(found, expected_plant_variables());
  // Plant, Types, Wide, Loop, Inner and every variable, Plant reached again through Inner.
  EXPECT_EQ(result.progress.nodes_visited, 5 + 17 + kWide + 3);
}

TEST_F(BrowsesPlantServer, WalkStopsAtTheNextBatchWhenAsked) {
  pyqar::UaBrowser browser(server_->url());
  std::stop_source stop;
  int calls = 0;
  pyqar::WalkOptions options;
  options.root = kPlant;
  options.stop = stop.get_token();
  options.progress = [&](const pyqar::WalkProgress& p) {
    ++calls;
    EXPECT_GT(p.nodes_visited, 1u);
    stop.request_stop();
  };
  const auto result = pyqar::walk_address_space(browser, options);
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(calls, 1);
  EXPECT_LT(result.variables.size(), expected_plant_variables().size());
}

TEST_F(BrowsesPlantServer, ToolListsExactlyTheNumericVariablesWithDescriptionsOrPaths) {
  const auto path = dir_.path() / "plant.csv";
  const ToolRun run = run_tool({server_->url(), "--root", kPlant, "-o", path.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.empty());
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".tmp"));
  const auto tags = kestrane_config::load_tag_csv_file(path).tags;
  EXPECT_EQ(tags.size(), expected_plant_variables().size());
  EXPECT_EQ(names_of(tags), expected_plant_variables());
  std::map<std::string, std::string> descriptions;
  for (const auto& t : tags) descriptions[t.name] = t.description;
  EXPECT_EQ(descriptions[plant("Plant.Types.Double")], "A double");
  EXPECT_EQ(descriptions[plant("Plant.Types.Int32")], "Plant/Types/Int32");
  EXPECT_EQ(descriptions[plant("Plant.Odd")], "Plant/Odd \"name\", x");
  // Each variable's data type, for people; the reader above ignored it.
  const std::string csv = read_file(path.string());
  EXPECT_EQ(csv.rfind("FullTagName,Description,DataType\n", 0), 0u) << csv;
  EXPECT_NE(csv.find(plant("Plant.Types.Double") + ",A double,Double\n"), std::string::npos) << csv;
  EXPECT_NE(run.err.find("variables listed"), std::string::npos) << run.err;
}

TEST_F(BrowsesPlantServer, ToolOptionsSelectTypesDepthRootAndIndexForm) {
  const auto all = names_of(list({"--root", plant("Plant.Types"), "--all-types"}));
  EXPECT_EQ(all.size(), 17u);
  for (const char* t : {"String", "DateTime", "Guid", "ByteString", "LocalizedText", "Int64"}) {
    EXPECT_TRUE(all.count(plant(std::string("Plant.Types.") + t))) << t;
  }
  EXPECT_EQ(names_of(list({"--root", kPlant, "--depth", "1", "--index"})),
            (std::set<std::string>{"ns=3;s=Plant.Odd", "ns=3;s=Demo.Double"}));
  // The demo server's folder of every kind of value: numbers and Booleans (arrays of them
  // too: the DataType decides) by default, texts and structures (now collected) with
  // --all-types.
  const std::string types = "nsu=urn:kestrane:demo;s=Types";
  const auto numeric = names_of(list({"--root", types}));
  EXPECT_EQ(numeric.size(), 17u);
  EXPECT_TRUE(numeric.count(types + ".UInt64"));
  EXPECT_TRUE(numeric.count(types + ".Matrix"));
  EXPECT_FALSE(numeric.count(types + ".Huge"));
  const auto every = names_of(list({"--root", types, "--all-types"}));
  EXPECT_EQ(every.size(), 32u);
  for (const char* t : {".Huge", ".Million", ".Matrix", ".Opaque", ".Nul", ".DateTime"}) {
    EXPECT_TRUE(every.count(types + t)) << t;
  }
  // From the Objects folder: the demo namespace too, by its URI.
  const auto everything = names_of(list({}));
  EXPECT_TRUE(everything.count("nsu=urn:kestrane:demo;s=Demo.Tag1"));
  EXPECT_FALSE(everything.count("nsu=urn:kestrane:demo;s=Demo.String"));
  EXPECT_TRUE(everything.count(plant("Plant.Wide.1200")));
}

TEST_F(BrowsesPlantServer, BadInputEndsWithStatusOneNamingItAndLeavesNoFile) {
  const auto path = dir_.path() / "never.csv";
  const kestrane_test::RefusingPort closed;
  const std::string unreachable = "opc.tcp://127.0.0.1:" + std::to_string(closed.port());
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{unreachable}, unreachable},
      {{server_->url(), "--root", "x=1"}, "x=1"},
      {{server_->url(), "--root", "ns=3;s=Plant.Nope"}, "ns=3;s=Plant.Nope"},
      {{server_->url(), "--root", "nsu=urn:nowhere;s=A"}, "urn:nowhere"},
      {{server_->url(), "--depth", "0"}, "--depth '0'"},
      {{server_->url(), "--verbose"}, "--verbose"},
  };
  for (auto [args, named] : cases) {
    args.push_back("-o");
    args.push_back(path.string());
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.status, 1) << named << ": " << run.err;
    EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("walking"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(path)) << named;
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".tmp")) << named;
  }
}

TEST_F(BrowsesPlantServer, InterruptedToolLeavesAValidList) {
  const auto path = dir_.path() / "partial.csv";
  ToolProcess tool(dir_, {server_->url(), "-o", path.string()});
  ASSERT_TRUE(tool.wait_for_err("walking")) << tool.err();
  tool.signal(SIGINT);
  const ToolRun run = tool.finish();
  // The walk may end before the signal arrives; either way the file is whole.
  ASSERT_TRUE(run.status == 130 || run.status == 0) << run.status << run.err;
  const auto tags = kestrane_config::load_tag_csv_file(path).tags;
  for (const auto& t : tags) EXPECT_TRUE(t.name.starts_with("nsu=") || t.name.starts_with("i="));
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".tmp"));
}

// What the desktop's browse dialog shows beside each variable: its value now and its unit,
// read from the EngineeringUnits property where the variable has one.
TEST(BrowsesLiveValues, ValuesAndUnitsOfEachVariableInOneCall) {
  if (auto reason = UaTestServer::unavailable_reason()) GTEST_SKIP() << *reason;
  UaTestServer::Options options;
  options.tags = 1;
  options.structures = true;
  UaTestServer server(options);
  pyqar::UaBrowser browser(server.url());
  const std::string demo = "nsu=urn:kestrane:demo;s=";
  const auto details =
      browser.details({demo + "Demo.Double", demo + "Demo.Tag1", demo + "Demo.Boolean",
                       demo + "Demo.String", demo + "Demo.Nowhere", "x=1", demo + "Types.Huge"});
  ASSERT_EQ(details.size(), 7u);
  EXPECT_EQ(details[0].value, "3.25");
  EXPECT_EQ(details[0].unit, "\u00b0C");
  EXPECT_TRUE(details[0].status.empty() && details[0].error.empty());
  EXPECT_EQ(details[1].unit, "bar");
  EXPECT_FALSE(details[1].value.empty());
  EXPECT_EQ(details[2].value, "true");
  EXPECT_EQ(details[2].unit, "");
  EXPECT_EQ(details[3].value, "hello");
  // A node the server does not have reads Bad, text that names no node fails alone.
  EXPECT_TRUE(details[4].value.empty());
  EXPECT_EQ(details[4].status.rfind("Bad", 0), 0u) << details[4].status;
  EXPECT_FALSE(details[5].error.empty());
  // A 10 MB string is shown cut, never whole.
  EXPECT_LE(details[6].value.size(), 210u);
  EXPECT_TRUE(browser.usable());
  EXPECT_EQ(browser.node(demo + "Demo.Double").data_type, "Double");
}

// The list the tool writes, fed unchanged to the console program, reads Good for every tag.
TEST_F(BrowsesPlantServer, ConsoleCollectsGoodValuesForEveryListedTag) {
#ifndef KESTRANE_CONSOLE_EXE
  GTEST_SKIP() << "KestraneConsole is not built here";
#else
  const auto base = dir_.path() / "console";
  kestrane_test::ConsoleProcess console(base, KESTRANE_CONSOLE_EXE);
  const ToolRun listed =
      run_tool({server_->url(), "--root", kPlant, "-o", (base / "tags.csv").string()});
  ASSERT_EQ(listed.status, 0) << listed.err;
  const std::size_t count = expected_plant_variables().size();
  std::ofstream(base / "config.ini")
      << "[TSDBConnection]\ndriver = sqlite\ndata_dir = data\ndbname = e2e\n"
      << "[Kestrane]\ntag_csv_path = tags.csv\nopc_schema = " << server_->url()
      << "\nopc_type = OPC UA\ncollection_interval = 0.5\nbatch_size = 500\n"
      << "[KestraneLogging]\nlog_dir = log\nprefix = console\nlevel = DEBUG\n";

  ASSERT_TRUE(console.start());
  // Two whole cycles.
  const bool written = console.wait_for_output(
      "Successfully wrote " + std::to_string(count) + " records", 2, kDeadline);
  console.signal(SIGTERM);
  const int status = console.wait_exit(kDeadline);
  ASSERT_TRUE(written) << console.output().substr(0, 4000);
  EXPECT_EQ(status, 0);
  const auto db = base / "data" / "e2e.db";
  EXPECT_EQ(kestrane_test::query_sqlite(db,
                                        "SELECT count(DISTINCT tag_id) FROM tsdata WHERE "
                                        "quality = 'Good'")
                .at(0),
            std::to_string(count));
  EXPECT_EQ(
      kestrane_test::query_sqlite(db, "SELECT count(*) FROM tsdata WHERE quality <> 'Good'").at(0),
      "0");
#endif
}

}  // namespace
