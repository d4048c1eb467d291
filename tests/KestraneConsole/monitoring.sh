#!/usr/bin/env bash
# The console's metrics and health as an operator's tools see them: curl reads /metrics and
# promtool accepts it, the counters move, /health turns 503 while PostgreSQL is down and 200
# once it is back, hostile clients do not hold up collection, and a bad or busy listen
# address stops the start with exit status 1.
#   monitoring.sh KESTRANE_CONSOLE
# Needs PostgreSQL installed (scripts/pg starts a cluster of its own), curl and promtool.
set -euo pipefail
exe=${1:?KestraneConsole program}
top=$(cd "$(dirname "$0")/../.." && pwd)
tags=40

command -v promtool >/dev/null || { echo "monitoring: promtool is missing (package prometheus)"; exit 1; }
work=$(mktemp -d /tmp/kestrane-monitoring.XXXXXX)
chmod 755 "$work"
pgdata="$work/pgdata"
base="$work/console"
pid=""
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
  [ -f "$pgdata/postmaster.pid" ] && bash "$top/scripts/pg" stop "$pgdata" >/dev/null 2>&1 || true
  if [ "${KEEP:-0}" = 1 ]; then echo "monitoring: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() {
  echo "monitoring: FAILED: $*" >&2
  for f in "$base"/output*.txt; do
    [ -f "$f" ] && { echo "--- $f (last lines)" >&2; grep -avE "DEBUG" "$f" | tail -25 >&2; }
  done
  exit 1
}
step() { echo "monitoring $(date +%T): $*"; }

mkdir -p "$base/bin"
cp "$exe" "$base/bin/KestraneConsole"
{
  echo "FullTagName,Description"
  for ((i = 1; i <= tags - 4; i++)); do echo "Demo.Tag$i,sine $i"; done
  for ((i = 1; i <= 4; i++)); do echo "Demo.Missing$i,reads Bad"; done
} >"$base/tags.csv"

port=$(bash "$top/scripts/pg" start "$pgdata" auto)
export PGPASSWORD=${KESTRANE_PG_PASSWORD:-kestrane-test}
psql -X -q -h 127.0.0.1 -p "$port" -U postgres -d postgres -c "CREATE DATABASE monitoring"
sql() { psql -X -q -At -F ' ' -h 127.0.0.1 -p "$port" -U postgres -d monitoring -c "$1"; }

# The listener takes a port the system picks (port 0); the program logs which.
mport=""
url=""
# The spool is off, so that rows the database cannot take are dropped and the health says so.
write_config() {
  cat >"$1/config.ini" <<INI
[TSDBConnection]
host = 127.0.0.1
port = $port
user = postgres
password = $PGPASSWORD
dbname = monitoring

[Kestrane]
tag_csv_path = tags.csv
opc_schema = opc.da://localhost/OstrevoV2.1.0
opc_type = OPC DA
collection_interval = 1.0
spool_max_mb = 0

[KestraneMetrics]
listen = $2

[KestraneLogging]
log_dir = log
prefix = monitoring
level = INFO
console = true
INI
}
write_config "$base" "127.0.0.1:0"

run=0
start_console() {
  run=$(( run + 1 ))
  (cd "$base" && exec ./bin/KestraneConsole >"output$run.txt" 2>&1) &
  pid=$!
}
wait_for() {
  local deadline=$(( SECONDS + $2 ))
  until grep -aq "$1" "$base/output$run.txt" 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || fail "the program ended while waiting for '$1'"
    [ $SECONDS -lt $deadline ] || fail "no '$1' within $2 s"
    sleep 0.2
  done
}
metric() { grep -E "^$1 " "$work/metrics.txt" | awk '{print $2}' | head -1; }
# Rows written to both tables: the sum over `table` counts every row the TSDB took.
written() {
  local numbers texts
  numbers=$(metric 'kestrane_rows_written_total\{table="tsdata"\}')
  texts=$(metric 'kestrane_rows_written_total\{table="tsdata_text"\}')
  [ -n "$numbers" ] && [ -n "$texts" ] || fail "kestrane_rows_written_total lacks a table series"
  echo $(( numbers + texts ))
}
scrape() {
  curl -sf --max-time 5 "$url/metrics" >"$work/metrics.txt" || fail "curl could not read /metrics"
}
health() { curl -s --max-time 5 -o "$work/health.txt" -w '%{http_code}' "$url/health" || true; }
# wait_health CODE SECONDS: until /health answers CODE.
wait_health() {
  local deadline=$(( SECONDS + $2 )) code=""
  while [ $SECONDS -lt $deadline ]; do
    code=$(health)
    [ "$code" = "$1" ] && return 0
    sleep 0.25
  done
  fail "/health did not answer $1 within $2 s (last: $code $(cat "$work/health.txt" 2>/dev/null))"
}
# stored_cycles_since EPOCH: cycles stored from that time on.
stored_cycles_since() {
  sql "SELECT count(DISTINCT time) FROM tsdata WHERE time >= to_timestamp($1)"
}

start_console
wait_for "Data collection started successfully" 60
mport=$(grep -ao "Metrics listening on 127\.0\.0\.1:[0-9]*" "$base/output$run.txt" | tail -1 | sed 's/.*://')
[ -n "$mport" ] && [ "$mport" != 0 ] || fail "no 'Metrics listening on 127.0.0.1:<port>' line"
url="http://127.0.0.1:$mport"
step "metrics listening on port $mport"
sleep 3

step "reading /metrics"
scrape
promtool check metrics <"$work/metrics.txt" || fail "promtool refused the metrics"
c1=$(metric kestrane_cycles_total)
g1=$(metric 'kestrane_values_total\{quality="Good"\}')
b1=$(metric 'kestrane_values_total\{quality="Bad"\}')
w1=$(written)
[ "$(metric kestrane_tags)" = "$tags" ] || fail "kestrane_tags is $(metric kestrane_tags), not $tags"
[ "$(metric kestrane_tsdb_connected)" = 1 ] || fail "kestrane_tsdb_connected is not 1"
grep -q '^kestrane_build_info{version="' "$work/metrics.txt" || fail "no kestrane_build_info"
[ "$(health)" = 200 ] || fail "/health is not 200: $(cat "$work/health.txt")"
sleep 3
scrape
c2=$(metric kestrane_cycles_total)
g2=$(metric 'kestrane_values_total\{quality="Good"\}')
b2=$(metric 'kestrane_values_total\{quality="Bad"\}')
w2=$(written)
step "cycles $c1 -> $c2, Good $g1 -> $g2, Bad $b1 -> $b2, rows written $w1 -> $w2"
[ $(( c2 - c1 )) -ge 2 ] || fail "cycles moved from $c1 to $c2 in 3 s"
[ $(( g2 - g1 )) -eq $(( (c2 - c1) * (tags - 4) )) ] || fail "Good values moved by $(( g2 - g1 ))"
[ $(( b2 - b1 )) -eq $(( (c2 - c1) * 4 )) ] || fail "Bad values moved by $(( b2 - b1 ))"
[ "$w2" -gt "$w1" ] || fail "rows written did not move"

step "hostile clients: 500 idle connections and a 1 MiB header, for 6 s"
t0=$(date +%s)
idle=()
for ((i = 0; i < 500; i++)); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$mport" || fail "connection $i was refused"
  idle+=("$fd")
done
big=$(exec {fd}<>"/dev/tcp/127.0.0.1/$mport"
      { printf 'GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: '; head -c 1048576 /dev/zero | tr '\0' a
        printf '\r\n\r\n'; } >&"$fd" 2>/dev/null || true
      timeout 5 head -c 12 <&"$fd" || true)
step "the 1 MiB header was answered with: '${big:-nothing (closed)}'"
case "$big" in "" | "HTTP/1.1 431" | "HTTP/1.1 400") ;; *) fail "the 1 MiB header got '$big'" ;; esac
code=$(health)
[ "$code" = 200 ] || fail "/health answered '$code' among 500 idle connections"
sleep 6
for fd in "${idle[@]}"; do exec {fd}>&-; done
t1=$(date +%s)
scrape
held=$(sql "SELECT count(DISTINCT time) FROM tsdata WHERE time >= to_timestamp($t0) AND time < to_timestamp($t1)")
step "$held cycles stored in the $(( t1 - t0 )) s of hostile clients"
[ "$held" -ge $(( t1 - t0 - 1 )) ] || fail "only $held cycles in $(( t1 - t0 )) s"

step "a second program on the same listen address, and bad listen values"
other="$work/other"
mkdir -p "$other/bin"
cp "$base/bin/KestraneConsole" "$other/bin/" && cp "$base/tags.csv" "$other/"
write_config "$other" "127.0.0.1:$mport"
status=0
(cd "$other" && timeout 60 ./bin/KestraneConsole >out.txt 2>&1) || status=$?
[ "$status" = 1 ] || fail "a busy listen address gave exit status $status"
grep -aq "cannot listen on 127.0.0.1:$mport" "$other/out.txt" || fail "no error naming the busy address: $(tail -3 "$other/out.txt")"
for bad in "127.0.0.1" "127.0.0.1:70000" "[::1:9464"; do
  write_config "$other" "$bad"
  status=0
  (cd "$other" && timeout 60 ./bin/KestraneConsole >out.txt 2>&1) || status=$?
  [ "$status" = 1 ] || fail "listen = $bad gave exit status $status"
  grep -aq "Error loading config: \[KestraneMetrics\] listen" "$other/out.txt" ||
    fail "listen = $bad: $(tail -2 "$other/out.txt")"
done

step "stopping PostgreSQL"
bash "$top/scripts/pg" stop "$pgdata" >/dev/null
t_stop=$SECONDS
wait_health 503 6
step "/health: 503 $(cat "$work/health.txt") after $(( SECONDS - t_stop )) s"
grep -q "TSDB unreachable, rows dropped" "$work/health.txt" || fail "503 without its reason"
scrape
[ "$(metric 'kestrane_rows_dropped_total\{reason="tsdb_unreachable"\}')" -gt 0 ] ||
  fail "no rows counted as dropped"
step "starting PostgreSQL again"
bash "$top/scripts/pg" start "$pgdata" "$port"
t_start=$SECONDS
wait_health 200 20
step "/health: 200 after $(( SECONDS - t_start )) s"
scrape
[ "$(metric kestrane_tsdb_reconnects_total)" -ge 1 ] || fail "the reconnect was not counted"

kill -INT "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "the program ended with status $status"
step "passed"
