#!/usr/bin/env bash
# End-to-end harness: one KestraneConsole collecting TAGS simulated OPC DA tags every second
# into a throwaway PostgreSQL for SECONDS seconds. Reports the registration time, the cycle
# period (from the write times stored with the rows), the write time per cycle (the server's
# COPY durations), rows per cycle and the program's memory (RSS) over time; then starts the
# program a second time on the same database (every tag already registered) and reports its
# registration time and its time to the first stored cycle.
#   bash bench/KestraneConsole/run_e2e.sh [TAGS=50000] [SECONDS=120]
# Environment: BUILD_DIR (default build/default), BATCH (tags per read, default 200),
# INTERVAL (seconds, default 1.0), RSS_EVERY (seconds between memory samples, default 10).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
tags=${1:-50000}
seconds=${2:-120}
build=${BUILD_DIR:-$top/build/default}
batch=${BATCH:-200}
interval=${INTERVAL:-1.0}
rss_every=${RSS_EVERY:-10}
exe="$build/bin/KestraneConsole"
[ -x "$exe" ] || { echo "e2e: $exe not built (cmake --build --preset default)" >&2; exit 2; }

work=$(mktemp -d /tmp/kestrane-e2e.XXXXXX)
chmod 755 "$work"
pgdata="$work/pgdata"
password=${KESTRANE_PG_PASSWORD:-kestrane-test}
pid=""
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
  bash "$top/scripts/pg" stop "$pgdata" || true
  [ "${KEEP:-0}" = 1 ] && echo "e2e: kept $work" || rm -rf "$work"
}
trap cleanup EXIT

port=$(bash "$top/scripts/pg" start "$pgdata" auto)
export PGPASSWORD=$password
sql() { psql -X -q -At -h 127.0.0.1 -p "$port" -U postgres -d "${DB:-kestrane_bench}" -c "$1"; }
DB=postgres sql "CREATE DATABASE kestrane_bench"

base="$work/console"
mkdir -p "$base/bin"
cp "$exe" "$base/bin/KestraneConsole"
{
  echo "FullTagName,Description"
  for ((i = 1; i <= tags; i++)); do
    case $((i % 3)) in
      0) echo "Demo.Tag$i,sine $i" ;;
      1) echo "Demo.Count$i,counter $i" ;;
      2) echo "Demo.Random$i," ;;
    esac
  done
} >"$base/tags.csv"
cat >"$base/config.ini" <<INI
[TSDBConnection]
host = 127.0.0.1
port = $port
user = postgres
password = $password
dbname = kestrane_bench

[Kestrane]
tag_csv_path = tags.csv
opc_schema = opc.da://localhost/OstrevoV2.1.0
opc_type = OPC DA
collection_interval = $interval
batch_size = $batch

[KestraneLogging]
log_dir = log
prefix = e2e
level = INFO
console = true
INI

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.1f\", $1 }"; }
wait_line() {  # wait_line TEXT LIMIT_SECONDS
  local limit=$(( $(date +%s) + $2 ))
  until grep -q "$1" "$base/output.txt" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null; then echo "e2e: program ended early" >&2; tail -20 "$base/output.txt" >&2; exit 1; fi
    [ "$(date +%s)" -lt "$limit" ] || { echo "e2e: no '$1' within $2 s" >&2; exit 1; }
    sleep 0.1
  done
}
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0; }

# wait_rows SINCE_EPOCH LIMIT_SECONDS: until a row written after SINCE_EPOCH is stored.
wait_rows() {
  local limit=$(( $(date +%s) + $2 ))
  # One tag's rows through the (tag_id, time) index: a scan of the whole table would take
  # seconds once it holds millions of rows.
  until [ "$(sql "SELECT EXISTS (SELECT 1 FROM tsdata WHERE tag_id = (SELECT min(tag_id) FROM tags)
                   AND time > to_timestamp($1))")" = t ]; do
    [ "$(date +%s)" -lt "$limit" ] || { echo "e2e: no stored row within $2 s" >&2; exit 1; }
    sleep 0.05
  done
}

echo "e2e: $tags tags, interval ${interval}s, batch $batch, ${seconds}s of collection"
t0=$(now)
(cd "$base" && exec ./bin/KestraneConsole >output.txt 2>&1) &
pid=$!
wait_line "Database setup complete" 3600
t_reg=$(now)
wait_line "Data collection started successfully" 60
wait_rows "$t0" 600
t_first=$(now)
echo "e2e: first start: registration $(calc "$t_reg - $t0") s, first stored cycle after $(calc "$t_first - $t0") s"
# From here on the server logs each statement's duration; COPY lines give the write time.
sql "ALTER SYSTEM SET log_min_duration_statement = 0" >/dev/null
sql "SELECT pg_reload_conf()" >/dev/null
t_start=$(now)
echo "e2e: registration (start to 'Database setup complete'): $(calc "$t_reg - $t0") s"

echo "e2e: RSS over time (s since collection started: MiB)"
elapsed=0
while [ "$elapsed" -lt "$seconds" ]; do
  printf '  %4d: %s\n' "$elapsed" "$(calc "$(rss_kb) / 1024")"
  sleep "$rss_every"
  elapsed=$(( elapsed + rss_every ))
done
printf '  %4d: %s\n' "$elapsed" "$(calc "$(rss_kb) / 1024")"
cpu_ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")

kill -INT "$pid"
status=0
wait "$pid" || status=$?
pid=""
echo "e2e: exit status after SIGINT: $status"
hz=$(getconf CLK_TCK)
run_s=$(calc "$(now) - $t0")
echo "e2e: CPU time of the program: $(calc "$cpu_ticks / $hz") s over $(printf '%.0f' "$run_s") s"

echo "e2e: cycles as stored (one write per cycle, its rows share one write time)"
sql "
WITH cycles AS (
  SELECT time, count(*) AS n FROM tsdata GROUP BY time),
periods AS (
  SELECT n, extract(epoch FROM time - lag(time) OVER (ORDER BY time)) AS p FROM cycles)
SELECT format('  cycles %s, rows per cycle median %s (min %s, max %s)',
              count(*), percentile_disc(0.5) WITHIN GROUP (ORDER BY n), min(n), max(n))
  FROM cycles
UNION ALL
SELECT format('  cycle period: median %s s, p95 %s s, worst %s s (first cycle excluded)',
              round(percentile_cont(0.5) WITHIN GROUP (ORDER BY p)::numeric, 3),
              round(percentile_cont(0.95) WITHIN GROUP (ORDER BY p)::numeric, 3),
              round(max(p)::numeric, 3))
  FROM (SELECT p FROM periods WHERE p IS NOT NULL OFFSET 1) later;"

echo "e2e: write time per cycle (server-side COPY duration)"
{ grep -hE "(execute|statement).*COPY tsdata" "$pgdata"/log/*.log "$pgdata"/server.log 2>/dev/null || true; } |
  sed -n 's/.*duration: \([0-9.]*\) ms.*/\1/p' | sort -n |
  awk '{ v[NR] = $1 } END {
         if (NR == 0) { print "  no COPY durations logged"; exit }
         p95 = int(NR * 0.95 + 0.5); if (p95 < 1) p95 = 1
         printf "  %d writes: median %.1f ms, p95 %.1f ms, worst %.1f ms\n",
                NR, v[int((NR + 1) / 2)], v[p95], v[NR] }'
{ grep -aE "Status - |WARNING|ERROR" "$base/output.txt" || true; } | tail -5 | sed 's/^/  log: /'

# A second start on the same database: every tag is registered already.
sql "ALTER SYSTEM RESET log_min_duration_statement" >/dev/null
sql "SELECT pg_reload_conf()" >/dev/null
t1=$(now)
(cd "$base" && exec ./bin/KestraneConsole >output2.txt 2>&1) &
pid=$!
until grep -q "Database setup complete" "$base/output2.txt" 2>/dev/null; do
  kill -0 "$pid" 2>/dev/null || { echo "e2e: second start ended early" >&2; tail -20 "$base/output2.txt" >&2; exit 1; }
  sleep 0.05
done
t1_reg=$(now)
wait_rows "$t1" 600
t1_first=$(now)
grep -a "Database setup complete" "$base/output2.txt" | sed 's/^/  log: /'
echo "e2e: second start: registration $(calc "$t1_reg - $t1") s, first stored cycle after $(calc "$t1_first - $t1") s"
kill -INT "$pid"
wait "$pid" || true
pid=""
