#pragma once
// DriverTest: a test fixture run once per driver (the parameter, "postgresql" or "sqlite"),
// with a fresh database and an open connection to it; skipped without a test server.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "test_database.h"
#include "tidewell/tidewell.h"

namespace tidewell::testing {

class DriverTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    db_ = std::make_unique<TestDatabase>(GetParam());
    if (!db_->available()) GTEST_SKIP() << "KESTRANE_TEST_PG_HOST/_PORT not set: no test server";
    conn_ = get_conn(db_->settings());
    ASSERT_NE(conn_, nullptr);
  }

  bool sqlite() const { return GetParam() == "sqlite"; }

  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<Connection> conn_;
};

}  // namespace tidewell::testing
