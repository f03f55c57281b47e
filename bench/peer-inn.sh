#!/usr/bin/env bash
# Runs W1 (one client posting articles one after another) against Debian's
# INN (package inn2) for comparison with our server. INN runs as a private
# instance: its own inn.conf (through INNCONF), spool, database, logs and
# run directory in a temporary directory, listening on a free loopback port,
# as the user news. Nothing under /etc/news or /var is used or changed.
#
#   bench/peer-inn.sh [--posts N] [--keep]
#   bench/peer-inn.sh --tls [--posts N] [--keep]
#
# With --tls it runs W3 instead: the N articles posted first, then W3 in
# clear against innd (which hands each reader to an nnrpd of its own) and
# W3 over TLS against nnrpd run as a TLS daemon on a port of its own (-D -S),
# with a self-signed ECDSA P-256 certificate; results as inn.w3.* and
# inn.w3tls.*.
#
# Needs root (to hand the instance to the user news), setpriv and the inn2
# package;
# the default system instance may stay stopped.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
BENCH=$BUILD/bench/nntp_bench
POSTS=2000
KEEP=0
TLS=0
while [ $# -gt 0 ]; do
  case "$1" in
    --posts) POSTS=$2; shift 2 ;;
    --keep) KEEP=1; shift ;;
    --tls) TLS=1; shift ;;
    *) echo "usage: $0 [--tls] [--posts N] [--keep]" >&2; exit 2 ;;
  esac
done

log() { echo "peer-inn.sh: $*" >&2; }

INNBIN=/usr/lib/news/bin
if [ ! -x "$INNBIN/innd" ]; then
  log "inn2 is not installed (apt-get install inn2)"
  exit 2
fi
if [ "$(id -u)" != 0 ]; then
  log "must run as root, to start INN as the user news"
  exit 2
fi
[ -x "$BENCH" ] || cmake --build "$BUILD" -j2 --target nntp_bench >/dev/null

SERVER_PIN=()
GEN_PIN=()
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
  SERVER_PIN=(taskset -c 0)
  GEN_PIN=(taskset -c 1)
fi

AS_NEWS=(setpriv --reuid=news --regid=news --init-groups --)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/inn-bench.XXXXXX")
INND_PID=""
NNRPD_PID=""
cleanup() {
  if [ -n "$NNRPD_PID" ] && kill -0 "$NNRPD_PID" 2>/dev/null; then
    kill -TERM "$NNRPD_PID" 2>/dev/null || true
    wait "$NNRPD_PID" 2>/dev/null || true
  fi
  if [ -n "$INND_PID" ] && kill -0 "$INND_PID" 2>/dev/null; then
    INNCONF=$WORK/etc/inn.conf "${AS_NEWS[@]}" \
      "$INNBIN/ctlinnd" -t 10 shutdown bench >/dev/null 2>&1 || true
    for _ in $(seq 1 100); do
      kill -0 "$INND_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$INND_PID" 2>/dev/null && kill -TERM "$INND_PID" 2>/dev/null || true
  fi
  if [ "$KEEP" = 1 ]; then log "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
mkdir -p "$WORK"/{etc,db,run,log,tmp} \
  "$WORK"/spool/{articles,overview,incoming/bad,outgoing,archive}
cp -r /etc/news/. "$WORK/etc/"

# Every path of the instance points into the temporary directory.
sed -i -E \
  -e '/^(port|bindaddress|domain|pathhost|path(etc|db|run|log|tmp|spool|articles|overview|incoming|outgoing|archive|filter)):/d' \
  "$WORK/etc/inn.conf"
cat >>"$WORK/etc/inn.conf" <<EOF
port:                        $PORT
bindaddress:                 127.0.0.1
domain:                      bench.invalid
pathhost:                    bench.invalid
pathetc:                     $WORK/etc
pathfilter:                  $WORK/etc/filter
pathdb:                      $WORK/db
pathrun:                     $WORK/run
pathlog:                     $WORK/log
pathtmp:                     $WORK/tmp
pathspool:                   $WORK/spool
patharticles:                $WORK/spool/articles
pathoverview:                $WORK/spool/overview
pathincoming:                $WORK/spool/incoming
pathoutgoing:                $WORK/spool/outgoing
patharchive:                 $WORK/spool/archive
EOF
# No peers: nothing is fed anywhere, and a loopback client is a reader that
# innd hands to nnrpd at once (as a listed peer it would have to say MODE
# READER first, which our server does not know).
printf 'ME:*::\n' >"$WORK/etc/newsfeeds"
printf 'streaming: true\n' >"$WORK/etc/incoming.conf"
cat >"$WORK/db/active" <<EOF
control 0000000000 0000000001 n
control.cancel 0000000000 0000000001 n
junk 0000000000 0000000001 y
bench.post 0000000000 0000000001 y
EOF
: >"$WORK/db/active.times"
printf 'bench.post\tBenchmark posts.\n' >"$WORK/db/newsgroups"
: >"$WORK/db/history"
chown -R news:news "$WORK"
export INNCONF=$WORK/etc/inn.conf
"${AS_NEWS[@]}" "$INNBIN/makedbz" -i -o -f "$WORK/db/history" >/dev/null

# In the foreground (-f), so that its pid is ours to stop.
"${AS_NEWS[@]}" "${SERVER_PIN[@]}" "$INNBIN/innd" -f >"$WORK/innd.out" 2>&1 &
INND_PID=$!
if ! "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" none ready --time-limit 30 >/dev/null; then
  log "innd did not come up:"
  cat "$WORK/innd.out" "$WORK/log/"* 2>/dev/null | tail -20 >&2
  exit 1
fi
log "innd pid $INND_PID on port $PORT"

if [ "$TLS" = 1 ]; then
  # The articles W3 reads, then W3 in clear through innd and over TLS
  # through nnrpd's own daemon, which reads the same inn.conf.
  TLS_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
  (umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj /CN=localhost -keyout "$WORK/etc/key.pem" -out "$WORK/etc/cert.pem" 2>/dev/null)
  chown news:news "$WORK/etc/key.pem" "$WORK/etc/cert.pem"
  sed -i -E '/^tls(certfile|keyfile|capath):/d' "$WORK/etc/inn.conf"
  printf 'tlscapath: %s\ntlscertfile: %s\ntlskeyfile: %s\n' \
    "$WORK/etc" "$WORK/etc/cert.pem" "$WORK/etc/key.pem" >>"$WORK/etc/inn.conf"
  if ! timeout 600 "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" bench.post w1 \
      --w1-posts "$POSTS" >/dev/null; then
    log "posting the articles to INN failed"
    exit 1
  fi
  "${AS_NEWS[@]}" "${SERVER_PIN[@]}" "$INNBIN/nnrpd" -D -f -n -S -p "$TLS_PORT" -b 127.0.0.1 \
    >"$WORK/nnrpd.out" 2>&1 &
  NNRPD_PID=$!
  for _ in $(seq 1 100); do
    python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' \
      "$TLS_PORT" 2>/dev/null && break
    sleep 0.1
  done
  status=0
  for workload in w3 w3tls; do
    port=$PORT
    [ "$workload" = w3tls ] && port=$TLS_PORT
    timeout 600 "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$port" bench.post "$workload" \
      | sed 's/^/inn./' || status=$?
  done
  if [ "$status" != 0 ]; then
    log "W3 against INN failed ($status); its logs:"
    tail -5 "$WORK/nnrpd.out" "$WORK/log/news.notice" "$WORK/log/errlog" 2>/dev/null >&2 || true
  fi
  exit "$status"
fi

# INN hands each reader to an nnrpd of its own, so the per-server CPU
# figures of our generator would only see innd; they are left out here.
status=0
timeout 600 "${GEN_PIN[@]}" "$BENCH" 127.0.0.1 "$PORT" bench.post w1 --w1-posts "$POSTS" \
  | sed 's/^w1\./inn.w1./' || status=$?
if [ "$status" != 0 ]; then
  log "W1 against INN failed ($status); its logs:"
  tail -5 "$WORK/log/news.notice" "$WORK/log/errlog" 2>/dev/null >&2 || true
fi
exit "$status"
