#!/usr/bin/env bash
# The cost of a large archive: one group of 1,000,000 articles, and then
# 10,000,000 articles over 100 groups. Measures start-up to the first
# greeting, the process's own (anonymous) memory at rest, shutdown, XOVER of
# the newest 100, W3 and W3 by Message-ID against a group of 20,000 in the
# same run, and posting into the large group against posting into an empty
# one. Only the newest 20,000 articles of the large group exist as files:
# the index is what is measured, and a million files would only measure the
# disk. Prints one table.
#
#   bench/scale.sh [--big N] [--groups G] [--per-group N] [--keep]
#
# Environment: BUILD (default build-bench beside this directory).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
BIG=1000000
NGROUPS=100
PER_GROUP=100000
SMALL=20000
KEEP=0
while [ $# -gt 0 ]; do
  case "$1" in
    --big) BIG=$2; shift 2 ;;
    --groups) NGROUPS=$2; shift 2 ;;
    --per-group) PER_GROUP=$2; shift 2 ;;
    --keep) KEEP=1; shift ;;
    *) echo "usage: $0 [--big N] [--groups G] [--per-group N] [--keep]" >&2; exit 2 ;;
  esac
done

log() { echo "scale.sh: $*" >&2; }

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DMARROWBY_BENCH=ON -DMARROWBY_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" -j2 >"$BUILD/bench-build.log" 2>&1 || { tail -30 "$BUILD/bench-build.log" >&2; exit 1; }
SERVER_BIN=$BUILD/marrowby
BENCH=$BUILD/bench/nntp_bench

SERVER_PIN=()
GEN_PIN=()
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
  SERVER_PIN=(taskset -c 0)
  GEN_PIN=(taskset -c 1)
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/marrowby-scale.XXXXXX")
RESULTS=$WORK/results.txt
: >"$RESULTS"
SERVER_PID=""
SHUTDOWN_MS=0

stop_server() {
  [ -n "$SERVER_PID" ] || return 0
  local t0
  t0=$(date +%s%N)
  kill -TERM "$SERVER_PID" 2>/dev/null || true
  for _ in $(seq 1 300); do
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.01
  done
  if kill -0 "$SERVER_PID" 2>/dev/null; then
    log "server $SERVER_PID ignored SIGTERM for 3 s; killing it"
    kill -KILL "$SERVER_PID" 2>/dev/null || true
  fi
  wait "$SERVER_PID" 2>/dev/null || true
  SHUTDOWN_MS=$(( ($(date +%s%N) - t0) / 1000000 ))
  SERVER_PID=""
}

cleanup() {
  stop_server
  if [ "$KEEP" = 1 ]; then log "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
result() { echo "$1 $2 $3" >>"$RESULTS"; }
anon_kb() { awk '/^RssAnon:/ {print $2}' "/proc/$1/status"; }

# Writes the settings file of directory $1 for port $2 and the groups after.
write_ini() {
  local dir=$1 port=$2
  shift 2
  {
    printf '[Settings]\r\nPortNo\t%s\r\n[Group]\r\n' "$port"
    for g in "$@"; do printf '%s\t0\tbench\r\n' "$g"; done
  } >"$dir/Marrowby.ini"
}

# Starts the server in $1 on port $2; sets SERVER_PID and STARTUP_MS.
start_server() {
  local dir=$1 port=$2 t0
  t0=$(date +%s%N)
  (cd "$dir" && exec env -u DISPLAY -u WAYLAND_DISPLAY "${SERVER_PIN[@]}" ./marrowby \
      >"$dir/server.log" 2>"$dir/server.err") &
  SERVER_PID=$!
  if ! "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$port" none ready --time-limit 120 >/dev/null; then
    log "server did not come up"; cat "$dir/server.err" >&2; exit 1
  fi
  STARTUP_MS=$(( ($(date +%s%N) - t0) / 1000000 ))
}

# The median of three starts (after one that may write the sidecars), with
# the memory at rest and the shutdown of the last; results under $3.
measure_starts() {
  local dir=$1 port=$2 name=$3 times=() downs=()
  start_server "$dir" "$port"
  result "$name.first_start_ms" "$STARTUP_MS" ms
  stop_server
  for _ in 1 2 3; do
    start_server "$dir" "$port"
    times+=("$STARTUP_MS")
    sleep 1
    ANON=$(anon_kb "$SERVER_PID")
    stop_server
    downs+=("$SHUTDOWN_MS")
  done
  result "$name.startup_ms" "$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)" ms
  result "$name.shutdown_ms" "$(printf '%s\n' "${downs[@]}" | sort -n | sed -n 2p)" ms
  result "$name.anon_kb" "$ANON" kB
}

run() {
  local out
  out=$("${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" "$@" --server-pid "$SERVER_PID")
  echo "$out" >&2
  echo "$out"
}

value() { awk -v m="$1" '$1 == m {print $2}'; }

# --- one large group ----------------------------------------------------------
ONE=$WORK/one
mkdir -p "$ONE"
cp "$SERVER_BIN" "$ONE/marrowby"
PORT=$(free_port)
# bench.small first: its Message-IDs (the fill numbers them alike) are found
# there, not among the large group's entries that have no files.
write_ini "$ONE" "$PORT" bench.small bench.big bench.empty
log "filling bench.big with $BIG index lines (the newest $SMALL as files), bench.small with $SMALL"
"$BENCH" --fill "$ONE/bench.big" "$BIG" --files-from $((BIG - SMALL + 1))
"$BENCH" --fill "$ONE/bench.small" "$SMALL"
"$BENCH" --fill "$ONE/bench.empty" 0
result one.index_bytes "$(stat -c %s "$ONE/bench.big/Message.lst")" bytes
measure_starts "$ONE" "$PORT" one
result one.anon_bytes_per_article "$(( ANON * 1024 / BIG ))" bytes

start_server "$ONE" "$PORT"
log "XOVER of the newest 100"
run bench.big xnew --read-group bench.big | grep '^xnew\.' | sed 's/^/one./' >>"$RESULTS"
log "W3 and W3 by Message-ID: the group of $SMALL, then the newest $SMALL of the large one"
small=$(run bench.small w3 w3id --read-group bench.small)
large=$(run bench.big w3 w3id --read-group bench.big --newest "$SMALL")
for m in w3.articles_per_s w3id.articles_per_s; do
  result "small.$m" "$(value "$m" <<<"$small")" articles/s
  result "one.$m" "$(value "$m" <<<"$large")" articles/s
done
log "posting: into the large group and into an empty one, alternately"
for round in 1 2; do
  for g in bench.big bench.empty; do
    out=$(run "$g" w5 --w5-group "$g" --w5-posts 1000)
    result "post.$g.round$round" "$(value w5.posts_per_s <<<"$out")" posts/s
  done
done
stop_server
rm -rf "$ONE"

# --- many groups ----------------------------------------------------------------
MANY=$WORK/many
mkdir -p "$MANY"
cp "$SERVER_BIN" "$MANY/marrowby"
PORT=$(free_port)
names=()
for i in $(seq 1 "$NGROUPS"); do names+=("bench.g$i"); done
write_ini "$MANY" "$PORT" "${names[@]}"
log "filling $NGROUPS groups of $PER_GROUP index lines"
for name in "${names[@]}"; do "$BENCH" --fill "$MANY/$name" "$PER_GROUP" --index-only; done
measure_starts "$MANY" "$PORT" many
TOTAL=$((NGROUPS * PER_GROUP))
result many.articles "$TOTAL" articles
result many.anon_bytes_per_article "$(( ANON * 1024 / TOTAL ))" bytes

echo
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
printf '%-34s %14s  %s\n' metric value unit
while read -r name v unit; do printf '%-34s %14s  %s\n' "$name" "$v" "$unit"; done <"$RESULTS"
