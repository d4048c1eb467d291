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
// Then schema version 3: write_rows of numeric rows (status and source time set) against a raw
// binary COPY of the same rows and six columns into the same table, and the version 2 write
// against a raw COPY of its four columns, alternating round by round (=V3|V2|Migrate); text
// rows into tsdata_text; the same on SQLite against raw prepared inserts; and the move of a
// version 2 database of 3,000,000 rows to version 3 on both drivers.
// Then registration of a plant-sized tag list (200,000 tags) on both drivers: into a fresh
// database, the same list again (a restart), the list with every description changed, the
// list with one tag the database refuses, and get_tag_ids of every name.
//   KESTRANE_TEST_PG_HOST=... KESTRANE_TEST_PG_PORT=... bin/tidewell_bench
//   (--benchmark_filter=Register|TagIds for the registration part alone, =Batch for the batches)

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "copy_binary_writer.h"
#include "opened_sqlite_handles.h"
#include "pg_handles.h"
#include "schema_migrations.h"
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

// --- Schema version 3 -------------------------------------------------------------------------

// The rows of a version 3 cycle: numbers with a status code and the source's time, as OPC UA
// readings arrive; or texts of the usual lengths (names, dates, short JSON arrays).
std::vector<tidewell::TsdataRow> v3_rows(bool texts, std::int64_t time_us) {
  const Rows& r = rows();
  const char* samples[] = {"running", "2025-06-07T08:09:10.123Z", "[1.5,2.5,3.5]",
                           "Pump 7 \"north\", manual", "b2f0c3de-5d0e-4f43-9a1e-0d3c2b8f1a77"};
  std::vector<tidewell::TsdataRow> out;
  out.reserve(kRowsPerCall);
  for (std::size_t i = 0; i < kRowsPerCall; ++i) {
    tidewell::TsdataRow row{time_us,        r.ids[i], r.values[i],     {},
                            r.qualities[i], 0u,       time_us - 250000};
    if (r.qualities[i] == "Bad") row.status = 0x808B0000u;
    if (texts) row.text = samples[i % 5];
    out.push_back(std::move(row));
  }
  return out;
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// One call of tidewell and one raw COPY of the same rows per round, alternating which goes
// first, so that both meet the same table size and the same load of a shared machine. Each
// round is a new cycle: prepare(round) makes both sides' rows, with times of their own (as a
// collector's cycles have: rows of equal key would let the index fold them together), outside
// the timed part. Counters: the median time of each, and raw_vs_ours_pct, the share of the raw
// COPY's rate that tidewell reaches (100 = as fast).
template <class Prepare, class Ours, class Raw>
void paired(benchmark::State& state, Prepare prepare, Ours ours, Raw raw) {
  using Seconds = std::chrono::duration<double>;
  std::vector<double> our_times, raw_times;
  std::int64_t round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    prepare(round);
    state.ResumeTiming();
    const bool raw_first = round % 2 == 1;
    const auto start = std::chrono::steady_clock::now();
    if (raw_first) {
      raw();
    } else {
      ours();
    }
    const auto middle = std::chrono::steady_clock::now();
    if (raw_first) {
      ours();
    } else {
      raw();
    }
    const auto end = std::chrono::steady_clock::now();
    const double first = Seconds(middle - start).count();
    const double second = Seconds(end - middle).count();
    our_times.push_back(raw_first ? second : first);
    raw_times.push_back(raw_first ? first : second);
    ++round;
  }
  const double our_median = median(our_times);
  const double raw_median = median(raw_times);
  state.counters["ours_ms"] = our_median * 1e3;
  state.counters["raw_ms"] = raw_median * 1e3;
  state.counters["raw_vs_ours_pct"] = our_median > 0 ? 100.0 * raw_median / our_median : 0;
  state.counters["ours_rows_per_s"] = our_median > 0 ? kRowsPerCall / our_median : 0;
}

void copy_checked(benchmark::State& state, PGconn* conn, const char* sql, const std::string& data) {
  PgResult start(PQexec(conn, sql));
  if (PQresultStatus(start.get()) != PGRES_COPY_IN) state.SkipWithError("COPY did not start");
  PQputCopyData(conn, data.data(), static_cast<int>(data.size()));
  PQputCopyEnd(conn, nullptr);
  PgResult done(PQgetResult(conn));
  if (PQresultStatus(done.get()) != PGRES_COMMAND_OK) state.SkipWithError("COPY failed");
  while (PgResult(PQgetResult(conn))) {
  }
}

// Cycle `round` of a run: one second after the one before; the raw side half a second later.
std::int64_t cycle_time(std::int64_t start, std::int64_t round, bool raw) {
  return start + round * 1000000 + (raw ? 500000 : 0);
}

// write_rows of 10,000 numeric rows with their batch identity, as the writer calls it, against
// a raw binary COPY of the same rows into the same six columns of the same indexed table.
void BM_PgV3NumbersVsRawCopy(benchmark::State& state) {
  auto* database = pg_database(state);
  if (!database) return;
  auto raw = database->raw();
  auto conn = tidewell::get_conn(database->settings());
  const auto start = now_us();
  std::vector<tidewell::TsdataRow> batch;
  std::string data;
  std::uint64_t seq = 0;
  paired(
      state,
      [&](std::int64_t round) {
        batch = v3_rows(false, cycle_time(start, round, false));
        tidewell::CopyBinaryWriter writer;
        for (const auto& row : v3_rows(false, cycle_time(start, round, true))) {
          writer.add_row(row.time_us, row.tag_id, row.value, row.quality, row.status,
                         row.source_time_us);
        }
        data = writer.finish();
      },
      [&] {
        if (tidewell::write_tsdata(*conn, {"bench", ++seq}, batch).count != kRowsPerCall) {
          state.SkipWithError("unexpected write result");
        }
      },
      [&] {
        copy_checked(state, raw.get(),
                     "COPY tsdata (time, tag_id, value, quality, status, source_time)"
                     " FROM STDIN (FORMAT binary)",
                     data);
      });
}

// The same for the write of schema version 2 (write_batch: four columns, one time per batch)
// against a raw binary COPY of those four columns.
void BM_PgV2NumbersVsRawCopy(benchmark::State& state) {
  auto* database = pg_database(state);
  if (!database) return;
  auto raw = database->raw();
  auto conn = tidewell::get_conn(database->settings());
  const Rows& r = rows();
  const auto start = now_us();
  std::string data;
  std::int64_t time = 0;
  std::uint64_t seq = 0;
  paired(
      state,
      [&](std::int64_t round) {
        time = cycle_time(start, round, false);
        tidewell::CopyBinaryWriter writer;
        for (std::size_t i = 0; i < kRowsPerCall; ++i) {
          writer.add_row(cycle_time(start, round, true), r.ids[i], r.values[i], r.qualities[i]);
        }
        data = writer.finish();
      },
      [&] {
        const auto result =
            tidewell::write_tsdata(*conn, {"bench", ++seq}, time, r.ids, r.values, r.qualities);
        if (result.count != kRowsPerCall) state.SkipWithError("unexpected write result");
      },
      [&] {
        copy_checked(state, raw.get(),
                     "COPY tsdata (time, tag_id, value, quality) FROM STDIN (FORMAT binary)", data);
      });
}

// Batches of 10,000 text rows, each a second after the one before, into tsdata_text.
void write_text_batches(benchmark::State& state, tidewell::Connection& conn) {
  auto batch = v3_rows(true, now_us());
  std::uint64_t seq = 0;
  for (auto _ : state) {
    for (auto& row : batch) row.time_us += 1000000;
    if (tidewell::write_tsdata(conn, {"bench", ++seq}, batch).text_count != kRowsPerCall) {
      state.SkipWithError("unexpected write result");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kRowsPerCall));
}

// 10,000 text rows per batch into tsdata_text.
void BM_PgV3Texts(benchmark::State& state) {
  auto* database = pg_database(state);
  if (!database) return;
  auto raw = database->raw();
  pg_exec(raw.get(), "TRUNCATE tsdata_text");
  auto conn = tidewell::get_conn(database->settings());
  write_text_batches(state, *conn);
}

// write_rows on SQLite against a raw prepared insert of the same six columns in one
// transaction, synced as the driver syncs.
void BM_SqliteV3NumbersVsRawInsert(benchmark::State& state) {
  const auto settings = sqlite_settings("v3");
  auto conn = tidewell::get_conn(settings);
  sqlite3* handle = nullptr;
  sqlite3_open((std::filesystem::path(settings.data_dir) / "v3.db").c_str(), &handle);
  tidewell::SqliteDbPtr db(handle);
  sqlite3_busy_timeout(db.get(), 5000);
  sqlite3_exec(db.get(), "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
  sqlite3_stmt* raw_stmt = nullptr;
  sqlite3_prepare_v2(db.get(),
                     "INSERT INTO tsdata (time, tag_id, value, quality, status, source_time)"
                     " VALUES (?, ?, ?, ?, ?, ?)",
                     -1, &raw_stmt, nullptr);
  tidewell::SqliteStmtPtr stmt(raw_stmt);
  const auto start = now_us();
  std::vector<tidewell::TsdataRow> batch;
  std::vector<tidewell::TsdataRow> raw_batch;
  std::uint64_t seq = 0;
  paired(
      state,
      [&](std::int64_t round) {
        batch = v3_rows(false, cycle_time(start, round, false));
        raw_batch = v3_rows(false, cycle_time(start, round, true));
      },
      [&] {
        if (tidewell::write_tsdata(*conn, {"bench", ++seq}, batch).count != kRowsPerCall) {
          state.SkipWithError("unexpected write result");
        }
      },
      [&] {
        sqlite3_exec(db.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (const auto& row : raw_batch) {
          sqlite3_bind_int64(stmt.get(), 1, row.time_us);
          sqlite3_bind_int64(stmt.get(), 2, row.tag_id);
          sqlite3_bind_double(stmt.get(), 3, row.value);
          sqlite3_bind_text(stmt.get(), 4, row.quality.c_str(), -1, SQLITE_STATIC);
          sqlite3_bind_int64(stmt.get(), 5, *row.status);
          sqlite3_bind_int64(stmt.get(), 6, *row.source_time_us);
          sqlite3_step(stmt.get());
          sqlite3_reset(stmt.get());
        }
        sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
      });
}

void BM_SqliteV3Texts(benchmark::State& state) {
  auto conn = tidewell::get_conn(sqlite_settings("v3_texts"));
  write_text_batches(state, *conn);
}

// The move from schema version 2 to 3 of a database whose tsdata holds state.range(0) rows:
// the time of the first connect, which makes it (manual time: building the table is left out).
constexpr int kV2Version = 2;

void build_v2_schema(const std::function<void(const std::string&)>& execute,
                     tidewell::SqlDialect dialect) {
  execute(tidewell::schema_version_table(dialect));
  for (int version = 1; version <= kV2Version; ++version) {
    for (const char* statement : tidewell::schema_migrations(dialect).at(version - 1)) {
      execute(statement);
    }
    execute("INSERT INTO schema_version (version) VALUES (" + std::to_string(version) + ")");
  }
}

void BM_PgMigrateV2ToV3(benchmark::State& state) {
  const auto server = kestrane_test::postgres_server_settings();
  if (!server) {
    state.SkipWithError("KESTRANE_TEST_PG_HOST/_PORT not set: no server");
    return;
  }
  const auto count = state.range(0);
  for (auto _ : state) {
    kestrane_test::ScratchPostgresDatabase database(*server, "tidewell_bench_migrate");
    {
      auto raw = kestrane_test::connect_postgres(database.settings());
      build_v2_schema([&](const std::string& sql) { pg_exec(raw.get(), sql); },
                      tidewell::SqlDialect::postgres);
      pg_exec(raw.get(),
              "INSERT INTO tsdata (time, tag_id, value, quality)"
              " SELECT 'epoch'::timestamptz + (1700000000 + g / 10000) * interval '1 second',"
              " g % 10000, g * 0.5, 'Good' FROM generate_series(1, " +
                  std::to_string(count) + ") AS g");
      pg_exec(raw.get(), "CHECKPOINT");
    }
    const auto start = std::chrono::steady_clock::now();
    auto conn = tidewell::get_conn(database.settings());
    const auto end = std::chrono::steady_clock::now();
    if (!conn) state.SkipWithError("no connection");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}

void BM_SqliteMigrateV2ToV3(benchmark::State& state) {
  const auto count = state.range(0);
  for (auto _ : state) {
    const auto settings = sqlite_settings("migrate");
    {
      std::filesystem::create_directories(settings.data_dir);
      sqlite3* handle = nullptr;
      sqlite3_open((std::filesystem::path(settings.data_dir) / "migrate.db").c_str(), &handle);
      tidewell::SqliteDbPtr db(handle);
      const auto execute = [&](const std::string& sql) {
        if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
          throw std::runtime_error(sqlite3_errmsg(db.get()));
        }
      };
      execute("PRAGMA journal_mode = WAL");
      build_v2_schema(execute, tidewell::SqlDialect::sqlite);
      execute(
          "INSERT INTO tsdata (time, tag_id, value, quality)"
          " WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < " +
          std::to_string(count) +
          ") SELECT 1700000000000000 + n / 10000 * 1000000, n % 10000, n * 0.5, 'Good' FROM g");
      execute("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    const auto start = std::chrono::steady_clock::now();
    auto conn = tidewell::get_conn(settings);
    const auto end = std::chrono::steady_clock::now();
    if (!conn) state.SkipWithError("no connection");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}

// The client's share of a version 3 write: encoding 10,000 numeric rows for COPY.
void BM_EncodeV3Numbers(benchmark::State& state) {
  const auto batch = v3_rows(false, now_us());
  for (auto _ : state) {
    tidewell::CopyBinaryWriter writer;
    writer.reserve(batch.size() * 80);
    for (const auto& row : batch) {
      writer.add_row(row.time_us, row.tag_id, row.value, row.quality, row.status,
                     row.source_time_us);
    }
    benchmark::DoNotOptimize(writer.finish());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
}
BENCHMARK(BM_EncodeV3Numbers)->Unit(benchmark::kMicrosecond);

void paired_rounds(benchmark::internal::Benchmark* b) {
  b->Iterations(60)->Unit(benchmark::kMillisecond)->UseRealTime();
}
BENCHMARK(BM_PgV3NumbersVsRawCopy)->Apply(paired_rounds);
BENCHMARK(BM_PgV2NumbersVsRawCopy)->Apply(paired_rounds);
BENCHMARK(BM_PgV3Texts)->Iterations(kCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteV3NumbersVsRawInsert)->Apply(paired_rounds);
BENCHMARK(BM_SqliteV3Texts)->Iterations(kCalls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PgMigrateV2ToV3)
    ->Arg(3000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteMigrateV2ToV3)
    ->Arg(3000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
