#!/bin/bash
# Runs quellin-demo against the simulated server, waits for Good values, sends Ctrl+C (SIGINT)
# and checks that the program ends within a second with status 0.
set -u
demo="$1"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT

"$demo" >"$out" 2>/dev/null &
pid=$!
for _ in $(seq 1 100); do
  grep -q "'Good'" "$out" && break
  sleep 0.1
done
if ! grep -q "'Good'" "$out"; then
  echo "no Good values printed within 10 s"; cat "$out"; kill -9 "$pid"; exit 1
fi
if [ "$(head -n 1 "$out")" != "使用协议: DA, Schema: opc.da://localhost/OstrevoV2.1.0" ]; then
  echo "unexpected first line: $(head -n 1 "$out")"; kill -9 "$pid"; exit 1
fi
if ! grep -q "^\[('Demo.Tag1', [-0-9.e]*, 'Good', " "$out"; then
  echo "no Demo.Tag1 reading in:"; head -n 3 "$out"; kill -9 "$pid"; exit 1
fi
kill -INT "$pid"
for _ in $(seq 1 10); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "still running 1 s after Ctrl+C"; kill -9 "$pid"; exit 1
fi
wait "$pid"
rc=$?
[ "$rc" -eq 0 ] || { echo "exit status $rc"; exit 1; }
echo "demo printed Good values and ended on Ctrl+C"
