// Aborting a PostgreSQL request from another thread: a write held up by the server (here by a
// lock another session holds) fails at once, instead of after the 30 s statement timeout.

#include <libpq-fe.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell {
namespace {

using Clock = std::chrono::steady_clock;

// A session of its own that holds a lock on write_batches until it is destroyed.
class LockHolder {
 public:
  explicit LockHolder(const TsdbSettings& s) {
    const std::string port = std::to_string(s.port);
    const char* keys[] = {"host", "port", "user", "password", "dbname", nullptr};
    const char* values[] = {s.host.c_str(),     port.c_str(),     s.user.c_str(),
                            s.password.c_str(), s.dbname.c_str(), nullptr};
    conn_.reset(PQconnectdbParams(keys, values, 0));
  }
  bool lock() {
    if (PQstatus(conn_.get()) != CONNECTION_OK) return false;
    std::unique_ptr<PGresult, decltype(&PQclear)> result(
        PQexec(conn_.get(), "BEGIN; LOCK TABLE write_batches IN ACCESS EXCLUSIVE MODE"), PQclear);
    return PQresultStatus(result.get()) == PGRES_COMMAND_OK;
  }

 private:
  std::unique_ptr<PGconn, decltype(&PQfinish)> conn_{nullptr, PQfinish};
};

TEST(TidewellAbort, AWriteHeldUpByTheServerFailsAtOnceWhenAbortedFromAnotherThread) {
  testing::TestDatabase db("postgresql");
  if (!db.available()) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
  auto conn = get_conn(db.settings());
  ASSERT_NE(conn, nullptr);
  LockHolder holder(db.settings());
  ASSERT_TRUE(holder.lock());

  const std::vector<std::int64_t> ids{1, 2};
  const std::vector<double> values{1.5, 2.5};
  const std::vector<std::string> qualities{"Good", "Good"};
  auto write = std::async(std::launch::async, [&] {
    try {
      write_tsdata(*conn, BatchId{"abort-test", 1}, 1'800'000'000'000'000, ids, values, qualities);
      return std::string("written");
    } catch (const DatabaseError& e) {
      return std::string(e.what());
    }
  });
  // The write waits for the lock; nothing ends it for 30 s but the abort.
  ASSERT_EQ(write.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  const auto aborted = Clock::now();
  conn->abort();
  ASSERT_EQ(write.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - aborted).count(), 10.0);
  const std::string error = write.get();
  EXPECT_NE(error.find("Lost the connection to TSDB"), std::string::npos) << error;
  // The connection is done for; a ping says so at once and a new one works.
  EXPECT_FALSE(conn->ping());
  conn->abort();  // again, on a connection already gone: harmless
  conn->close();
}

}  // namespace
}  // namespace tidewell
