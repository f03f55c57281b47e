#!/usr/bin/env bash
# Runs the whole benchmark: builds the Release server and the tools when
# needed, starts the server in a temporary directory with its own settings
# file on a free loopback port, fills the groups, runs every workload, and
# prints one table. Then measures posting with SyncWrites 0 and 1, start-up
# with a 100,000-article index, the same workloads against a server that does
# no work (bench/null_server), TLS: W3 over TLS beside W3 in clear, full
# handshakes, `openssl speed`, and INN's reader over TLS where inn2 is
# installed, and, where INN can run, peering beside it (bench/peering.py).
#
#   bench/run.sh [--connections N] [--w5-size N] [--keep] [--no-tls]
#
#   --connections N  connections held by W4 (default 1000; 10000 works)
#   --w5-size N      articles already in the group W5 posts to (default 20000)
#   --keep           leave the temporary directories for inspection
#   --no-tls         leave out the TLS workloads (and INN over TLS)
#
# Environment: BUILD (default build-bench beside this directory).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
CONNECTIONS=1000
W5_SIZE=20000
READ_SIZE=20000
STARTUP_SIZE=100000
STARTUP_RUNS=3
KEEP=0
SKIP_TLS=0

while [ $# -gt 0 ]; do
  case "$1" in
    --connections) CONNECTIONS=$2; shift 2 ;;
    --w5-size) W5_SIZE=$2; shift 2 ;;
    --keep) KEEP=1; shift ;;
    --no-tls) SKIP_TLS=1; shift ;;
    *) echo "usage: $0 [--connections N] [--w5-size N] [--keep] [--no-tls]" >&2; exit 2 ;;
  esac
done

log() { echo "run.sh: $*" >&2; }

# --- build ----------------------------------------------------------------
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DMARROWBY_BENCH=ON -DMARROWBY_TESTS=OFF >/dev/null
fi
# The machine is shared: never more than two compile jobs.
if ! cmake --build "$BUILD" -j2 >"$BUILD/bench-build.log" 2>&1; then
  tail -30 "$BUILD/bench-build.log" >&2
  exit 1
fi
SERVER_BIN=$BUILD/marrowby
BENCH=$BUILD/bench/nntp_bench
MICRO=$BUILD/bench/micro_bench
NULL_SERVER=$BUILD/bench/null_server

# --- placement --------------------------------------------------------------
# Server and generator on different CPUs, so that the generator's threads do
# not steal the server's only thread.
SERVER_PIN=()
GEN_PIN=()
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
  SERVER_PIN=(taskset -c 0)
  GEN_PIN=(taskset -c 1)
fi

# Enough descriptors for W4 on both sides.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

WORK=$(mktemp -d "${TMPDIR:-/tmp}/marrowby-bench.XXXXXX")
RESULTS=$WORK/results.txt
: >"$RESULTS"
SERVER_PID=""

stop_server() {
  [ -n "$SERVER_PID" ] || return 0
  if kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$SERVER_PID" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$SERVER_PID" 2>/dev/null; then
      log "server $SERVER_PID ignored SIGTERM for 10 s; killing it"
      kill -KILL "$SERVER_PID" 2>/dev/null || true
    fi
  fi
  wait "$SERVER_PID" 2>/dev/null || true
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

now_ns() { date +%s%N; }

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
# The part of it that is the process's own memory; the rest is pages of
# mapped files (the shared libraries), shared with any other process using them.
rss_anon_kb() { awk '/^RssAnon:/ {print $2}' "/proc/$1/status"; }

result() { echo "$1 $2 $3" >>"$RESULTS"; }

# Writes the settings file for port $2 and the groups $3... into directory $1,
# with the setting "KEY VALUE" of EXTRA_SETTING, if any, in [Settings].
write_ini() {
  local dir=$1 port=$2
  shift 2
  {
    printf '[Settings]\r\nPortNo\t%s\r\n' "$port"
    [ -z "${EXTRA_SETTING:-}" ] || printf '%s\r\n' "$EXTRA_SETTING"
    printf '[Group]\r\n'
    for g in "$@"; do printf '%s\t0\tbench\r\n' "$g"; done
  } >"$dir/Marrowby.ini"
}

# Starts the server copied into $1 and waits until it greets. Sets SERVER_PID
# and STARTUP_MS (from the launch to the first greeting received).
start_server() {
  local dir=$1 port=$2
  local t0 t1
  t0=$(now_ns)
  (cd "$dir" && exec env -u DISPLAY -u WAYLAND_DISPLAY "${SERVER_PIN[@]}" ./marrowby \
      >"$dir/server.log" 2>"$dir/server.err") &
  SERVER_PID=$!
  if ! "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$port" none ready --time-limit 60 >/dev/null; then
    log "server did not come up; its stderr:"
    cat "$dir/server.err" >&2
    exit 1
  fi
  t1=$(now_ns)
  STARTUP_MS=$(( (t1 - t0) / 1000000 ))
  local first
  first=$(grep -av '^Create TLS Listen Port' "$dir/server.log" | head -n 1 | tr -d '\r')
  if [ "$first" != "Create Listen Port[$port] !!" ]; then
    log "unexpected first log line: $first"
    exit 1
  fi
}

# Runs the generator against the running server; its results join the table.
# A workload that fails is marked in the table and fails the run at the end,
# but the others still run. With LABEL set, the metrics of w4 are renamed.
FAILED=0
run_bench() {
  if ! kill -0 "$SERVER_PID" 2>/dev/null; then
    log "the server is gone before: $*"
    exit 1
  fi
  local out status=0
  out=$(timeout 900 "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" bench.post "$@" \
    --server-pid "$SERVER_PID") || status=$?
  [ -z "${LABEL:-}" ] || out=$(sed "s/^w4\./$LABEL./" <<<"$out")
  echo "$out" >&2
  [ -z "$out" ] || echo "$out" >>"$RESULTS"
  if [ "$status" != 0 ]; then
    log "generator failed ($status): $*"
    result "FAILED:${LABEL:-$1}" "$status" exit-status
    FAILED=1
  fi
}

# --- the main server: three groups ------------------------------------------
MAIN=$WORK/main
mkdir -p "$MAIN"
cp "$SERVER_BIN" "$MAIN/marrowby"
PORT=$(free_port)
write_ini "$MAIN" "$PORT" bench.post bench.read bench.w5
log "filling bench.read with $READ_SIZE articles and bench.w5 with $W5_SIZE index lines"
"$BENCH" --fill "$MAIN/bench.read" "$READ_SIZE"
# Posting never reads the older articles' files, so W5's group needs only its index.
"$BENCH" --fill "$MAIN/bench.w5" "$W5_SIZE" --index-only
sync

start_server "$MAIN" "$PORT"
log "server pid $SERVER_PID on port $PORT, up in $STARTUP_MS ms"
result startup.main_ms "$STARTUP_MS" ms
sleep 1
result rss.rest_kb "$(rss_kb "$SERVER_PID")" kB

log "W1: 2000 posts into an empty group"
run_bench w1 --w1-group bench.post
log "W2: XOVER over $READ_SIZE articles"
run_bench w2 --read-group bench.read
log "W3: 8 clients x 500 ARTICLE by number, then by Message-ID"
run_bench w3 w3id --read-group bench.read
log "W4: $CONNECTIONS connections, 100 at a time, held 5 s"
run_bench w4 --read-group bench.read --connections "$CONNECTIONS" --time-limit 120
# The same with batches no larger than the server's listen backlog, so that
# what the idle connections cost is measured even when bursts lose some.
sleep 2
log "W4 again, 4 at a time"
LABEL=w4b4 run_bench w4 --read-group bench.read --connections "$CONNECTIONS" --batch 4 \
  --time-limit 120
log "W5: 500 posts into a group of $W5_SIZE"
run_bench w5 --w5-group bench.w5
# Let the maintenance pass reap the closed connections before looking again.
sleep 2
result rss.after_kb "$(rss_kb "$SERVER_PID")" kB
t0=$(now_ns)
stop_server
result shutdown.main_ms $(( ($(now_ns) - t0) / 1000000 )) ms
LOG_LINES=$(wc -l <"$MAIN/server.log")
result server.log_lines "$LOG_LINES" lines

# --- posting with and without SyncWrites -------------------------------------
# W1 (one poster) and W6 (eight at once) on a fresh server and group per run,
# SyncWrites 0 and 1 alternately for SYNC_ROUNDS rounds: the machine's other
# load drifts over minutes, and alternating spreads it over both. The table
# gets the median of each metric.
SYNC_ROUNDS=3
SYNC_W1_POSTS=500
declare -A SYNC_VALUES
for round in $(seq 1 "$SYNC_ROUNDS"); do
  for sync in 0 1; do
    DIR=$WORK/sync$sync.$round
    mkdir -p "$DIR"
    cp "$SERVER_BIN" "$DIR/marrowby"
    PORT=$(free_port)
    EXTRA_SETTING="SyncWrites $sync" write_ini "$DIR" "$PORT" bench.post
    start_server "$DIR" "$PORT"
    log "SyncWrites $sync, round $round: W1 ($SYNC_W1_POSTS posts) and W6 (8 x 250 posts)"
    out=$(timeout 900 "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" bench.post w1 w6 \
      --w1-posts "$SYNC_W1_POSTS" --server-pid "$SERVER_PID") || {
      log "generator failed: SyncWrites $sync, round $round"
      result "FAILED:sync$sync" 1 exit-status
      FAILED=1
    }
    echo "$out" | sed "s/^/  sync$sync.r$round: /" >&2
    while read -r name value _; do
      case "$name" in
        w1.posts_per_s | w1.p50_ms | w1.p99_ms | w6.posts_per_s | w6.p50_ms | w6.p99_ms | \
          w6.server_cpu_us_per_op)
          SYNC_VALUES[sync$sync.$name]+="$value " ;;
      esac
    done <<<"$out"
    stop_server
  done
done
for key in $(printf '%s\n' "${!SYNC_VALUES[@]}" | sort); do
  median=$(printf '%s\n' ${SYNC_VALUES[$key]} | sort -g | sed -n "$(( (SYNC_ROUNDS + 1) / 2 ))p")
  case "$key" in *posts_per_s) unit=posts/s ;; *cpu_us_per_op) unit=us ;; *) unit=ms ;; esac
  result "$key" "$median" "$unit"
done

# --- start-up with a large index -------------------------------------------
BIG=$WORK/big
mkdir -p "$BIG"
cp "$SERVER_BIN" "$BIG/marrowby"
PORT=$(free_port)
write_ini "$BIG" "$PORT" bench.big
log "start-up with a $STARTUP_SIZE-line index, $STARTUP_RUNS runs"
"$BENCH" --fill "$BIG/bench.big" "$STARTUP_SIZE" --index-only
result startup.index_bytes "$(stat -c %s "$BIG/bench.big/Message.lst")" bytes
times=()
for run in $(seq 1 "$STARTUP_RUNS"); do
  # The page cache holds the index from the previous run; the first run
  # reads it right after it was written, so all runs see a warm cache.
  start_server "$BIG" "$PORT"
  times+=("$STARTUP_MS")
  if [ "$run" = 1 ]; then
    sleep 1
    result rss.rest_100k_kb "$(rss_kb "$SERVER_PID")" kB
    result rss.rest_100k_anon_kb "$(rss_anon_kb "$SERVER_PID")" kB
  fi
  stop_server
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (STARTUP_RUNS + 1) / 2 ))p")
result startup.100k_ms "$median" ms

# --- the floor ----------------------------------------------------------------
# The same workloads against a server that does no work: what this machine
# allows at best, for reading the numbers above.
PORT=$(free_port)
log "the floor: the workloads against a server that does no work"
"${SERVER_PIN[@]}" "$NULL_SERVER" "$PORT" "$READ_SIZE" &
SERVER_PID=$!
"${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" none ready --time-limit 10 >/dev/null
out=$("${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" bench.read w1 w2 w3 w3id \
  --w1-group bench.null --server-pid "$SERVER_PID" 2>&1) || true
grep -E '^w(1\.posts_per_s|2\.xover_ms|3\.articles_per_s|3\.p50_ms|3id\.articles_per_s) ' \
  <<<"$out" | sed 's/^/floor./' >>"$RESULTS"
kill -TERM "$SERVER_PID" 2>/dev/null || true
wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=""
# W3 once more, with every article opened, read and closed from the filled
# group: the floor of a server that reads each article from disk.
PORT=$(free_port)
"${SERVER_PIN[@]}" "$NULL_SERVER" "$PORT" "$READ_SIZE" "$MAIN/bench.read" &
SERVER_PID=$!
"${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" none ready --time-limit 10 >/dev/null
out=$("${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" bench.read w3 --server-pid "$SERVER_PID" 2>&1) ||
  true
grep -E '^w3\.articles_per_s ' <<<"$out" | sed 's/^/floor_files./' >>"$RESULTS"
kill -TERM "$SERVER_PID" 2>/dev/null || true
wait "$SERVER_PID" 2>/dev/null || true
SERVER_PID=""

# --- TLS ----------------------------------------------------------------------
# The filled groups once more, served in clear and on a TLS port. W3 in clear
# and W3 over TLS (every client resuming one earlier session) alternate,
# three rounds after one pass that brings the articles into memory, so both
# read the same kept articles; medians. Then full handshakes with an ECDSA
# P-256 certificate and with an RSA 2048 one, and what `openssl speed`
# gives for those signatures and for the key exchange on the server's CPU.
if [ "$SKIP_TLS" = 0 ]; then
  TLS_DIR=$WORK/tls
  mkdir -p "$TLS_DIR"
  (
    cd "$TLS_DIR" && umask 077 &&
      openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj /CN=localhost -keyout ecdsa.key -out ecdsa.pem 2>/dev/null &&
      openssl req -x509 -newkey rsa:2048 -nodes -days 2 \
        -subj /CN=localhost -keyout rsa.key -out rsa.pem 2>/dev/null
  )
  median_of() {  # median_of METRIC FILE: the median of that metric's values
    awk -v m="$1" '$1 == m {print $2}' "$2" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
  }
  start_tls_server() {  # start_tls_server CERT KEY: the main server with TLS
    write_ini "$MAIN" "$PORT" bench.post bench.read bench.w5
    printf 'TlsPortNo\t%s\r\nTlsCertificate\t%s\r\nTlsKey\t%s\r\n' "$TLS_PORT" "$1" "$2" |
      sed -i '/^PortNo/r /dev/stdin' "$MAIN/Marrowby.ini"
    start_server "$MAIN" "$PORT"
  }
  tls_bench() {  # tls_bench PORT WORKLOAD...: the generator against the server
    local port=$1
    shift
    timeout 900 "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$port" bench.read "$@" \
      --server-pid "$SERVER_PID"
  }
  PORT=$(free_port)
  TLS_PORT=$(free_port)
  start_tls_server "$TLS_DIR/ecdsa.pem" "$TLS_DIR/ecdsa.key"
  log "TLS: W3 in clear and over TLS, alternately, 3 rounds"
  ROUNDS=$TLS_DIR/rounds.txt
  : >"$ROUNDS"
  if tls_bench "$PORT" w3 >/dev/null; then
    for round in 1 2 3; do
      tls_bench "$PORT" w3 >>"$ROUNDS" || FAILED=1
      tls_bench "$TLS_PORT" w3tls >>"$ROUNDS" || FAILED=1
    done
  else
    FAILED=1
  fi
  plain=$(median_of w3.articles_per_s "$ROUNDS")
  tls=$(median_of w3tls.articles_per_s "$ROUNDS")
  result tls.w3_plain_articles_per_s "$plain" articles/s
  result tls.w3_articles_per_s "$tls" articles/s
  result tls.w3_ratio "$(awk -v a="$tls" -v b="$plain" 'BEGIN {printf "%.2f", a / b}')" x
  result tls.w3_plain_cpu_us_per_op "$(median_of w3.server_cpu_us_per_op "$ROUNDS")" us
  result tls.w3_cpu_us_per_op "$(median_of w3tls.server_cpu_us_per_op "$ROUNDS")" us
  result tls.w3_p99_ms "$(median_of w3tls.p99_ms "$ROUNDS")" ms
  result tls.w3_resumed_clients "$(median_of w3tls.resumed_clients "$ROUNDS")" clients
  for key in ecdsa rsa; do
    if [ "$key" = rsa ]; then
      stop_server
      start_tls_server "$TLS_DIR/rsa.pem" "$TLS_DIR/rsa.key"
    fi
    log "TLS: full handshakes with the $key certificate"
    out=$(tls_bench "$TLS_PORT" handshakes) || FAILED=1
    echo "$out" >&2
    grep -E '^handshakes\.(per_s|server_cpu_us_per_op|server_busy_pct|p50_ms) ' <<<"$out" |
      sed "s/^handshakes\./tls.handshakes_${key}./" >>"$RESULTS"
  done
  stop_server
  # The machine's limits for the same work, on the server's CPU.
  SPEED=$("${SERVER_PIN[@]}" openssl speed -seconds 3 ecdsap256 rsa2048 ecdhx25519 2>/dev/null)
  result tls.speed_ecdsap256_sign_per_s \
    "$(awk '/ecdsa \(nistp256\)/ {print $(NF-1)}' <<<"$SPEED")" signs/s
  result tls.speed_rsa2048_sign_per_s "$(awk '/^rsa 2048 bits/ {print $(NF-1)}' <<<"$SPEED")" signs/s
  result tls.speed_x25519_per_s "$(awk '/ecdh \(X25519\)/ {print $NF}' <<<"$SPEED")" ops/s

  # INN's reader over TLS, where inn2 is installed and this runs as root.
  if [ -x /usr/lib/news/bin/nnrpd ] && [ "$(id -u)" = 0 ]; then
    log "TLS: W3 against INN in clear and over TLS"
    out=$(BUILD=$BUILD bash "$ROOT/bench/peer-inn.sh" --tls) || FAILED=1
    echo "$out" >&2
    grep -E '^inn\.w3(tls)?\.(articles_per_s|p50_ms) ' <<<"$out" >>"$RESULTS" || true
  else
    log "TLS: INN left out (needs the inn2 package and root)"
  fi
fi

# --- peering, beside INN -----------------------------------------------------
# Streaming feeds into ours and into a private INN, alternately; needs root
# and inn2, and says so when they are missing (exit status 2).
log "peering: streaming feeds into ours and into INN (bench/peering.py)"
status=0
BUILD=$BUILD python3 "$ROOT/bench/peering.py" >>"$RESULTS" || status=$?
if [ "$status" = 2 ]; then
  log "peering: skipped"
elif [ "$status" != 0 ]; then
  result FAILED:peering "$status" exit-status
  FAILED=1
fi

# --- micro-benchmarks ---------------------------------------------------------
log "micro-benchmarks"
"${GEN_PIN[@]}" "$MICRO" --benchmark_min_time=0.2 2>/dev/null | tee "$WORK/micro.txt" >&2

# --- table -----------------------------------------------------------------
echo
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "pinning: server ${SERVER_PIN[*]:-none}, generator ${GEN_PIN[*]:-none}"
printf '%-28s %14s  %s\n' metric value unit
printf '%-28s %14s  %s\n' ---------------------------- -------------- -----
while read -r name value unit; do
  printf '%-28s %14s  %s\n' "$name" "$value" "$unit"
done <"$RESULTS"
exit "$FAILED"
