// Rows per second of write_tsdata, 10,000 rows per call, against what the database can take
// through its own client: raw COPY of pre-formatted rows and multi-row INSERTs on
// PostgreSQL, a raw prepared-insert loop on SQLite. Every variant writes into the same
// table with the same index, emptied before each variant.
// Then one batch of 200,000 rows (and one of 100, where the round trips show) written with
// its identity, against the same rows through the write without one, and the replay of a
// batch stored already, on both drivers.
// Then the price of syncing SQLite's log at every commit: write_tsdata with a batch identity,
// as the writer calls it, at 50, 1,000 and 10,000 rows per cycle, with the driver's
// synchronous = FULL and with the driver's handle put back to NORMAL (which a power cut could
// cost committed rows).
// Then registration of a plant-sized tag list (200,000 tags) on both drivers: into a fresh
// database, the same list again (a restart), the list with every description changed, the
// list with one tag the database refuses, and get_tag_ids of every name.
//   KESTRANE_TEST_PG_HOST=... KESTRANE_TEST_PG_PORT=... bin/tidewell_bench
//   (--benchmark_filter=Register|TagIds for the registration part alone, =Batch for the batches)

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "copy_binary_writer.h"
#include "opened_sqlite_handles.h"
#include "pg_handles.h"
#include "scratch_postgres_database.h"
#include "sqlite_handles.h"
#include "tidewell/tidewell.h"

namespace {

constexpr std::size_t kRowsPerCall = 10000;
constexpr std::size_t kRowsPerInsert = 1000;
constexpr int kCalls = 30;

using PgConn = kestrane_test::PgConnection;
using PgResult = tidewell::PgResultPtr;

// One cycle's rows: 10,000 tags, values and the usual quality words.
struct Rows {
  std::vector<std::int64_t> ids;
  std::vector<double> values;
  std::vector<std::string> qualities;
};

// A cycle of `count` tags, made once per size.
const Rows& rows(std::size_t count = kRowsPerCall) {
  static std::map<std::size_t, Rows> made;
  auto [at, added] = made.try_emplace(count);
  if (added) {
    const char* words[] = {"Good", "Good", "Good", "Uncertain", "Bad"};
    for (std::size_t i = 0; i < count; ++i) {
      at->second.ids.push_back(static_cast<std::int64_t>(i + 1));
      at->second.values.push_back(static_cast<double>(i) * 0.731 + 1e-3);
      at->second.qualities.emplace_back(words[i % 5]);
    }
  }
  return at->second;
}

std::int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void pg_exec(PGconn* conn, const std::string& sql) {
  PgResult result(PQexec(conn, sql.c_str()));
  const auto status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(PQresultErrorMessage(result.get()));
  }
}

// The benchmark's own database on the test server, with tidewell's schema.
class PgBenchDatabase {
 public:
  explicit PgBenchDatabase(const tidewell::TsdbSettings& server)
      : database_(server, "tidewell_bench") {
    if (!tidewell::get_conn(settings())) {
      throw std::runtime_error("no connection to " + settings().dbname);
    }
  }
  const tidewell::TsdbSettings& settings() const { return database_.settings(); }
  PgConn raw() const {
    auto conn = kestrane_test::connect_postgres(settings());
    pg_exec(conn.get(), "TRUNCATE tsdata, write_batches");
    return conn;
  }

 private:
  kestrane_test::ScratchPostgresDatabase database_;
};

PgBenchDatabase* pg_database(benchmark::State& state) {
  const auto server = kestrane_test::postgres_server_settings();
  if (!server) {
    state.SkipWithError("KESTRANE_TEST_PG_HOST/_PORT not set: no server");
    return nullptr;
  }
  static PgBenchDatabase database(*server);
  return &database;
}

void BM_PgWriteTsdata(benchmark::State& state) {
  auto* database = pg_database(state);
  if (!database) return;
  database->raw();
  auto conn = tidewell::get_conn(database->settings());
  const auto& r = rows();
  for (auto _ : state) {
    const auto result = tidewell::write_tsdata(*conn, r.ids, r.values, r.qualities);
    benchmark::DoNotOptimize(result.count);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kRowsPerCall));
}

void raw_copy(benchmark::State& state, PGconn* conn, const char* sql, const std::string& data);

void BM_PgRawCopy(benchmark::State& state) {
  auto* database = pg_database(state);
  if (!database) return;
  auto conn = database->raw();
  const auto& r = rows();
  // The quality words need no escaping.
  std::string text;
  for (std::size_t i = 0; i < kRowsPerCall; ++i) {
    char number[32];
    text += "2024-03-05 06:07:08.123457+00\t";
    text.append(number, std::to_chars(number, number + sizeof number, r.ids[i]).ptr);
    text += '\t';
    text.append(number, std::to_chars(number, number + sizeof number, r.values[i]).ptr);
    text += '\t' + r.qualities[i] + '\n';
  }
  raw_copy(state, conn.get(), "COPY tsdata (time, tag_id, value, quality) FROM STDIN", text);
}

void BM_PgRawCopyBinary(benchmark::State& state) {
  auto* database = pg_database(state);
  if (!database) return;
  auto conn = database->raw();
  const auto& r = rows();
  tidewell::CopyBinaryWriter writer;
  const auto time = now_us();
  for (std::size_t i = 0; i < kRowsPerCall; ++i)
    writer.add_row(time, r.ids[i], r.values[i], r.qualities[i]);
  raw_copy(state, conn.get(),
           "COPY tsdata (time, tag_id, value, quality) FROM STDIN (FORMAT binary)",
           writer.finish());
}

void raw_copy(benchmark::State& state, PGconn* conn, const char* sql, const std::string& data) {
  for (auto _ : state) {
    PgResult start(PQexec(conn, sql));
    PQputCopyData(conn, data.data(), static_cast<int>(data.size()));
    PQputCopyEnd(conn, nullptr);
    PgResult done(PQgetResult(conn));
    if (PQresultStatus(done.get()) != PGRES_COMMAND_OK) state.SkipWithError("COPY failed");
    while (PgResult(PQgetResult(conn))) {
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kRowsPerCall));
}

void BM_PgMultiRowInsert(benchmark::State& state) {
  auto* database = pg_database(state);
  if (!database) return;
  auto conn = database->raw();
  std::string sql = "INSERT INTO tsdata (time, tag_id, value, quality) VALUES ";
  for (std::size_t i = 0; i < kRowsPerInsert; ++i) {
    const auto p = std::to_string(3 * i + 1);
    sql += (i ? ", (CURRENT_TIMESTAMP, $" : "(CURRENT_TIMESTAMP, $") + p + "::bigint, $" +
           std::to_string(3 * i + 2) + "::float8, $" + std::to_string(3 * i + 3) + ")";
  }
  const auto& r = rows();
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < kRowsPerCall; ++i) {
    texts.push_back(std::to_string(r.ids[i]));
    char number[32];
    texts.emplace_back(number, std::to_chars(number, number + sizeof number, r.values[i]).ptr);
    texts.push_back(r.qualities[i]);
  }
  for (auto _ : state) {
    for (std::size_t first = 0; first < kRowsPerCall; first += kRowsPerInsert) {
      std::vector<const char*> values;
      for (std::size_t i = 3 * first; i < 3 * (first + kRowsPerInsert); ++i)
        values.push_back(texts[i].c_str());
      PgResult result(PQexecParams(conn.get(), sql.c_str(), static_cast<int>(values.size()),
                                   nullptr, values.data(), nullptr, nullptr, 0));
      if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) state.SkipWithError("INSERT failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kRowsPerCall));
}

// A fresh SQLite database with tidewell's schema, in a temporary folder.
tidewell::TsdbSettings sqlite_settings(const char* name) {
  tidewell::TsdbSettings settings;
  settings.driver = "sqlite";
  settings.data_dir =
      (std::filesystem::temp_directory_path() / ("tidewell-bench-" + std::to_string(getpid())))
          .string();
  settings.dbname = name;
  std::filesystem::remove(std::filesystem::path(settings.data_dir) / (std::string(name) + ".db"));
  return settings;
}

void BM_SqliteWriteTsdata(benchmark::State& state) {
  auto conn = tidewell::get_conn(sqlite_settings("write"));
  const auto& r = rows();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tidewell::write_tsdata(*conn, r.ids, r.values, r.qualities).count);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kRowsPerCall));
}

void BM_SqliteRawPreparedInsert(benchmark::State& state) {
  const auto settings = sqlite_settings("raw");
  tidewell::get_conn(settings);  // the same schema and index
  sqlite3* raw = nullptr;
  sqlite3_open((std::filesystem::path(settings.data_dir) / "raw.db").c_str(), &raw);
  tidewell::SqliteDbPtr db(raw);
  sqlite3_exec(db.get(), "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL", nullptr, nullptr,
               nullptr);
  sqlite3_stmt* raw_stmt = nullptr;
  sqlite3_prepare_v2(db.get(),
                     "INSERT INTO tsdata (time, tag_id, value, quality) VALUES (?, ?, ?, ?)", -1,
                     &raw_stmt, nullptr);
  tidewell::SqliteStmtPtr stmt(raw_stmt);
  const auto& r = rows();
  for (auto _ : state) {
    const auto now = now_us();
    sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
    for (std::size_t i = 0; i < kRowsPerCall; ++i) {
      sqlite3_bind_int64(stmt.get(), 1, now);
      sqlite3_bind_int64(stmt.get(), 2, r.ids[i]);
      sqlite3_bind_double(stmt.get(), 3, r.values[i]);
      sqlite3_bind_text(stmt.get(), 4, r.qualities[i].c_str(), -1, SQLITE_STATIC);
      sqlite3_step(stmt.get());
      sqlite3_reset(stmt.get());
    }
    sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kRowsPerCall));
}

using kestrane_test::OpenedSqliteHandles;

// state.range(0) rows per cycle; state.range(1): 1 for the driver as it is (FULL), 0 for its
// connection put back to synchronous = NORMAL.
void BM_SqliteCycleSync(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const bool full = state.range(1) != 0;
  std::unique_ptr<tidewell::Connection> conn;
  {
    const OpenedSqliteHandles opened;
    conn = tidewell::get_conn(sqlite_settings(full ? "sync_full" : "sync_normal"));
    if (!conn || opened.handles().size() != 1) {
      state.SkipWithError("no connection");
      return;
    }
    if (!full) {
      sqlite3_exec(opened.handles().front(), "PRAGMA synchronous = NORMAL", nullptr, nullptr,
                   nullptr);
    }
  }
  const Rows& r = rows(count);
  std::uint64_t seq = 0;
  for (auto _ : state) {
    const auto result =
        tidewell::write_tsdata(*conn, {"bench", ++seq}, now_us(), r.ids, r.values, r.qualities);
    if (result.count != count) {
      state.SkipWithError("unexpected write result");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

// One batch per iteration, of state.range(0) rows: with its identity (write_batch), without
// (the three-sequence write), or the replay of a batch stored already (nothing written).
enum class BatchWrite { with_identity, without_identity, replayed };

void write_batches(benchmark::State& state, tidewell::Connection& conn, BatchWrite how) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const Rows& r = rows(count);
  std::uint64_t seq = 0;
  if (how == BatchWrite::replayed) {
    tidewell::write_tsdata(conn, {"bench", seq}, now_us(), r.ids, r.values, r.qualities);
  }
  for (auto _ : state) {
    tidewell::WriteResult result;
    if (how == BatchWrite::without_identity) {
      result = tidewell::write_tsdata(conn, r.ids, r.values, r.qualities);
    } else {
      const tidewell::BatchId id{"bench", how == BatchWrite::replayed ? 0 : ++seq};
      result = tidewell::write_tsdata(conn, id, now_us(), r.ids, r.values, r.qualities);
    }
    const std::size_t expected = how == BatchWrite::replayed ? 0 : count;
    if (result.count != expected || result.duplicate != (how == BatchWrite::replayed)) {
      state.SkipWithError("unexpected write result");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}

void pg_batches(benchmark::State& state, BatchWrite how) {
  auto* database = pg_database(state);
  if (!database) return;
  database->raw();
  auto conn = tidewell::get_conn(database->settings());
  write_batches(state, *conn, how);
}

void sqlite_batches(benchmark::State& state, BatchWrite how, const char* name) {
  auto conn = tidewell::get_conn(sqlite_settings(name));
  write_batches(state, *conn, how);
}

void BM_PgBatchWithIdentity(benchmark::State& state) {
  pg_batches(state, BatchWrite::with_identity);
}
void BM_PgBatchWithoutIdentity(benchmark::State& state) {
  pg_batches(state, BatchWrite::without_identity);
}
void BM_PgBatchReplayed(benchmark::State& state) { pg_batches(state, BatchWrite::replayed); }
void BM_SqliteBatchWithIdentity(benchmark::State& state) {
  sqlite_batches(state, BatchWrite::with_identity, "batch_identity");
}
void BM_SqliteBatchWithoutIdentity(benchmark::State& state) {
  sqlite_batches(state, BatchWrite::without_identity, "batch_plain");
}
void BM_SqliteBatchReplayed(benchmark::State& state) {
  sqlite_batches(state, BatchWrite::replayed, "batch_replayed");
}

constexpr std::size_t kPlantTags = 200000;
constexpr int kRegistrations = 3;

// A plant's tag list: names grouped by area and unit, most with a description, some without.
std::vector<tidewell::TagRegistration> plant_tags(const std::string& revision = "") {
  std::vector<tidewell::TagRegistration> tags;
  tags.reserve(kPlantTags);
  for (std::size_t i = 0; i < kPlantTags; ++i) {
    std::string name = "Plant.Area" + std::to_string(i / 10000) + ".Unit" +
                       std::to_string(i / 100 % 100) + ".Tag" + std::to_string(i);
    tidewell::Description description;
    if (i % 5 != 0)
      description["desc"] = "Boiler " + std::to_string(i % 97) + " temperature" + revision;
    tags.push_back({std::move(name), std::move(description)});
  }
  return tags;
}

const std::vector<tidewell::TagRegistration>& plant() {
  static const auto tags = plant_tags();
  return tags;
}

// A database of the driver with one source to register under, ready to use.
class RegistrationTarget {
 public:
  RegistrationTarget(benchmark::State& state, bool postgres, const std::string& name) {
    if (postgres) {
      const auto server = kestrane_test::postgres_server_settings();
      if (!server) {
        state.SkipWithError("KESTRANE_TEST_PG_HOST/_PORT not set: no server");
        return;
      }
      database_.emplace(*server, "tidewell_bench_reg");
      settings_ = database_->settings();
    } else {
      settings_ = sqlite_settings(name.c_str());
    }
    conn_ = tidewell::get_conn(settings_);
    if (!conn_) {
      state.SkipWithError("no connection");
      return;
    }
    tidewell::SourceInfo source;
    source.source_name = "bench";
    source.endpoint = "opc.da://localhost/OstrevoV2.1.0";
    if (!tidewell::insert_new_source(*conn_, source).ok) state.SkipWithError("no source");
    source_id_ = source.source_id.value_or(-1);
  }

  bool ready() const { return conn_ && source_id_ > 0; }
  tidewell::Connection& conn() { return *conn_; }
  std::int64_t source_id() const { return source_id_; }

 private:
  std::optional<kestrane_test::ScratchPostgresDatabase> database_;
  tidewell::TsdbSettings settings_;
  std::unique_ptr<tidewell::Connection> conn_;
  std::int64_t source_id_ = -1;
};

// Registers `tags` and checks the counts; false (with the benchmark marked) when they are off.
bool register_checked(benchmark::State& state, RegistrationTarget& target,
                      const std::vector<tidewell::TagRegistration>& tags, std::size_t created,
                      std::size_t failed = 0) {
  const auto result = tidewell::register_tags(target.conn(), target.source_id(), tags);
  if (result.created != created || result.failed.size() != failed ||
      result.created + result.updated + result.failed.size() != tags.size()) {
    state.SkipWithError(("unexpected counts: " + std::to_string(result.created) + " created, " +
                         std::to_string(result.updated) + " updated, " +
                         std::to_string(result.failed.size()) + " failed")
                            .c_str());
    return false;
  }
  return true;
}

void register_fresh(benchmark::State& state, bool postgres,
                    const std::vector<tidewell::TagRegistration>& tags, std::size_t failed) {
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto target = std::make_unique<RegistrationTarget>(state, postgres,
                                                       "register_fresh_" + std::to_string(++round));
    if (!target->ready()) break;
    state.ResumeTiming();
    if (!register_checked(state, *target, tags, tags.size() - failed, failed)) break;
    state.PauseTiming();
    target.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(tags.size()));
}

void BM_PgRegisterTagsFresh(benchmark::State& state) { register_fresh(state, true, plant(), 0); }
void BM_SqliteRegisterTagsFresh(benchmark::State& state) {
  register_fresh(state, false, plant(), 0);
}

// One name in the middle that cannot be stored, caught before anything is sent (a NUL byte)
// or refused by the server (bytes that are no UTF-8): the list is registered in parts.
void BM_PgRegisterTagsOneRefusedByClient(benchmark::State& state) {
  auto tags = plant();
  tags[kPlantTags / 2 + 17].tag_name += std::string("\0", 1);
  register_fresh(state, true, tags, 1);
}

void BM_PgRegisterTagsOneRefusedByServer(benchmark::State& state) {
  auto tags = plant();
  tags[kPlantTags / 2 + 17].tag_name += "\xff";
  register_fresh(state, true, tags, 1);
}

// The same list again, as after a restart of the service.
void register_again(benchmark::State& state, bool postgres) {
  RegistrationTarget target(state, postgres, "register_again");
  if (!target.ready() || !register_checked(state, target, plant(), kPlantTags)) return;
  for (auto _ : state) {
    if (!register_checked(state, target, plant(), 0)) break;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPlantTags));
}

void BM_PgRegisterTagsAgain(benchmark::State& state) { register_again(state, true); }
void BM_SqliteRegisterTagsAgain(benchmark::State& state) { register_again(state, false); }

// The list again with every description changed: each stored tag is rewritten.
void register_changed(benchmark::State& state, bool postgres) {
  RegistrationTarget target(state, postgres, "register_changed");
  if (!target.ready() || !register_checked(state, target, plant(), kPlantTags)) return;
  std::vector<std::vector<tidewell::TagRegistration>> revisions;
  for (int i = 0; i < kRegistrations; ++i)
    revisions.push_back(plant_tags(" r" + std::to_string(i)));
  std::size_t next = 0;
  for (auto _ : state) {
    if (!register_checked(state, target, revisions[next++ % revisions.size()], 0)) break;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPlantTags));
}

void BM_PgRegisterTagsChanged(benchmark::State& state) { register_changed(state, true); }
void BM_SqliteRegisterTagsChanged(benchmark::State& state) { register_changed(state, false); }

void get_ids(benchmark::State& state, bool postgres) {
  RegistrationTarget target(state, postgres, "get_tag_ids");
  if (!target.ready() || !register_checked(state, target, plant(), kPlantTags)) return;
  std::vector<std::string> names;
  for (const auto& tag : plant()) names.push_back(tag.tag_name);
  for (auto _ : state) {
    if (tidewell::get_tag_ids(target.conn(), names).size() != kPlantTags) {
      state.SkipWithError("ids missing");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPlantTags));
}

void BM_PgGetTagIds(benchmark::State& state) { get_ids(state, true); }
void BM_SqliteGetTagIds(benchmark::State& state) { get_ids(state, false); }

BENCHMARK(BM_PgRawCopy)->Iterations(kCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PgRawCopyBinary)->Iterations(kCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PgWriteTsdata)->Iterations(kCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PgMultiRowInsert)->Iterations(kCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteRawPreparedInsert)
    ->Iterations(kCalls)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SqliteWriteTsdata)->Iterations(kCalls)->Unit(benchmark::kMillisecond)->UseRealTime();

// Batches: a plant's cycle in a few long rounds, a small cycle in many short ones. Each variant
// starts from an empty table, so all of them write into tables of the same size.
void large_batches(benchmark::internal::Benchmark* b) {
  b->Arg(200000)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
}
void small_batches(benchmark::internal::Benchmark* b) {
  b->Arg(100)->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();
}
BENCHMARK(BM_PgBatchWithoutIdentity)->Apply(large_batches);
BENCHMARK(BM_PgBatchWithIdentity)->Apply(large_batches);
BENCHMARK(BM_PgBatchReplayed)->Apply(large_batches);
BENCHMARK(BM_PgBatchWithoutIdentity)->Apply(small_batches);
BENCHMARK(BM_PgBatchWithIdentity)->Apply(small_batches);
BENCHMARK(BM_PgBatchReplayed)->Apply(small_batches);
BENCHMARK(BM_SqliteBatchWithoutIdentity)->Apply(large_batches);
BENCHMARK(BM_SqliteBatchWithIdentity)->Apply(large_batches);
BENCHMARK(BM_SqliteBatchReplayed)->Apply(large_batches);
BENCHMARK(BM_SqliteBatchWithoutIdentity)->Apply(small_batches);
BENCHMARK(BM_SqliteBatchWithIdentity)->Apply(small_batches);
BENCHMARK(BM_SqliteBatchReplayed)->Apply(small_batches);

// About 2 s of cycles of each size, into a table that grows as it would.
BENCHMARK(BM_SqliteCycleSync)
    ->ArgsProduct({{50, 1000, 10000}, {0, 1}})
    ->ArgNames({"rows", "full"})
    ->MinTime(2.0)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Registrations: a few long rounds each.
void registration_rounds(benchmark::internal::Benchmark* b) {
  b->Iterations(kRegistrations)->Unit(benchmark::kMillisecond)->UseRealTime();
}
BENCHMARK(BM_PgRegisterTagsFresh)->Apply(registration_rounds);
BENCHMARK(BM_PgRegisterTagsAgain)->Apply(registration_rounds);
BENCHMARK(BM_PgRegisterTagsChanged)->Apply(registration_rounds);
BENCHMARK(BM_PgRegisterTagsOneRefusedByClient)->Apply(registration_rounds);
BENCHMARK(BM_PgRegisterTagsOneRefusedByServer)->Apply(registration_rounds);
BENCHMARK(BM_PgGetTagIds)->Apply(registration_rounds);
BENCHMARK(BM_SqliteRegisterTagsFresh)->Apply(registration_rounds);
BENCHMARK(BM_SqliteRegisterTagsAgain)->Apply(registration_rounds);
BENCHMARK(BM_SqliteRegisterTagsChanged)->Apply(registration_rounds);
BENCHMARK(BM_SqliteGetTagIds)->Apply(registration_rounds);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                              ("tidewell-bench-" + std::to_string(getpid())));
  return 0;
}
