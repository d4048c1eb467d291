// The server stops under an open connection and comes back: the client notices, fails
// cleanly, and a new connection works after the restart. Stops the shared test server, so
// CTest runs it alone.

#include <gtest/gtest.h>

#include <cstdlib>

#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

std::string env(const char* name) {
  const char* text = std::getenv(name);
  return text ? text : "";
}

// Stops the test server; starts it again when it goes out of scope, whatever happened.
class StoppedServer {
 public:
  StoppedServer(std::string ctl, std::string data, std::string port)
      : ctl_(std::move(ctl)), data_(std::move(data)), port_(std::move(port)) {
    stopped_ = std::system(("bash '" + ctl_ + "' stop '" + data_ + "'").c_str()) == 0;
  }
  ~StoppedServer() { start(); }
  StoppedServer(const StoppedServer&) = delete;
  StoppedServer& operator=(const StoppedServer&) = delete;

  bool stopped() const { return stopped_; }
  bool start() {
    if (!stopped_) return true;
    stopped_ = std::system(("bash '" + ctl_ + "' start '" + data_ + "' " + port_).c_str()) != 0;
    return !stopped_;
  }

 private:
  std::string ctl_, data_, port_;
  bool stopped_ = false;
};

class ServerRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("KESTRANE_TEST_PG_CTL").empty() || env("KESTRANE_TEST_PG_DATA").empty()) {
      GTEST_SKIP() << "KESTRANE_TEST_PG_CTL/_DATA not set: cannot stop the test server";
    }
    db_ = std::make_unique<testing::TestDatabase>("postgresql");
    if (!db_->available()) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
  }

  WriteResult write_one(Connection& conn) {
    const std::vector<std::int64_t> ids{1};
    const std::vector<double> values{42.0};
    const std::vector<std::string> qualities{"Good"};
    return write_tsdata(conn, ids, values, qualities);
  }

  std::unique_ptr<testing::TestDatabase> db_;
};

TEST_F(ServerRestart, OpenConnectionFailsCleanlyAndANewOneWritesAfterRestart) {
  auto conn = get_conn(db_->settings());
  ASSERT_NE(conn, nullptr);
  ASSERT_EQ(write_one(*conn).count, 1u);
  {
    StoppedServer server(env("KESTRANE_TEST_PG_CTL"), env("KESTRANE_TEST_PG_DATA"),
                         env("KESTRANE_TEST_PG_PORT"));
    ASSERT_TRUE(server.stopped());

    EXPECT_FALSE(ping(*conn));
    EXPECT_THROW(write_one(*conn), DatabaseError);
    EXPECT_THROW(get_tag(*conn, "Demo.Tag1"), DatabaseError);
    EXPECT_EQ(get_conn(db_->settings()), nullptr);

    ASSERT_TRUE(server.start());
  }
  EXPECT_FALSE(ping(*conn)) << "a lost connection stays lost";
  auto fresh = get_conn(db_->settings());
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(ping(*fresh));
  EXPECT_EQ(write_one(*fresh).count, 1u);
  EXPECT_EQ(db_->query("SELECT count(*) FROM tsdata"), (std::vector<testing::Row>{{"2"}}));
}

}  // namespace
}  // namespace tidewell
