#!/usr/bin/env bash
# Real newsreaders against the server in the standard reader mode
# (UseRfc3977 1), each driven through its screen in tmux as a user would: list
# the groups, open local.test, see its article list, read an article and post
# a follow-up to it. A follow-up counts only when it has arrived on the
# server: a new article file and index entry that refer to the article read.
# The screens are checked with `tmux capture-pane -p`.
#
# In clear: tin and slrn. Through TLS, against a certificate authority made
# here: tin -T and slrn snews:// on the TLS port, NeoMutt's nntps:// (its
# snews:// URLs) on it too, and NeoMutt with STARTTLS on the plain port. Each
# of these must have posted on a connection whose log shows its handshake.
# NeoMutt's nntps:// always goes to port 563, so the TLS port is 563 when
# this runs as root and the port is free; otherwise that one run is skipped
# with a message.
#
# The server runs headless on free loopback ports from a copy of
# $MARROWBY_BIN in a temporary directory. Every process started here (the
# server, the tmux server on a socket of its own) is stopped on exit.
# Prints one line per check and "N passed, N failed" last; exits 0 when every
# check passed, and 0 with a message when tmux or every reader is missing.
set -u

here="$(cd "$(dirname "$0")" && pwd)"
BIN="${MARROWBY_BIN:-$here/../../build/marrowby}"
WAIT=20  # seconds any one screen or file may take

for tool in tmux python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "newsreaders: $tool is not installed; skipped"
        exit 0
    fi
done
readers=()
for reader in tin slrn neomutt; do
    if command -v "$reader" >/dev/null 2>&1; then
        readers+=("$reader")
    else
        echo "newsreaders: $reader is not installed; its checks are skipped"
    fi
done
if [ ${#readers[@]} -eq 0 ]; then
    echo "newsreaders: none of tin, slrn and neomutt is installed; skipped"
    exit 0
fi
if ! command -v openssl >/dev/null 2>&1; then
    echo "newsreaders: openssl is not installed; skipped"
    exit 0
fi
if [ ! -x "$BIN" ]; then
    echo "newsreaders: no server binary at $BIN (set MARROWBY_BIN)"
    exit 1
fi

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; }

work="$(mktemp -d /tmp/marrowby-interop.XXXXXX)"
srv="$work/server"
sock="$work/tmux.sock"
server_pid=""

tm() { tmux -S "$sock" "$@"; }

cleanup() {
    # Only the tmux server on our own socket is ended, and the server by pid.
    if [ -S "$sock" ]; then tm kill-server 2>/dev/null; fi
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 2' INT TERM

# --- the server ---------------------------------------------------------------

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port="$(free_port)"
# NeoMutt's nntps:// knows no other port than 563.
tls_port="$(free_port)"
if [ "$(id -u)" = 0 ] &&
    python3 -c 'import socket; socket.socket().bind(("0.0.0.0", 563))' 2>/dev/null; then
    tls_port=563
fi
mkdir -p "$srv"
cp "$BIN" "$srv/marrowby"

# A certificate authority for this run, and the server's certificate for
# 127.0.0.1 and localhost signed by it; the readers trust the authority.
pki="$work/pki"
mkdir -p "$pki"
if ! (
    cd "$pki" &&
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
            -subj "/CN=Marrowby Interop CA" -addext basicConstraints=critical,CA:TRUE \
            -addext keyUsage=critical,keyCertSign,cRLSign -keyout ca.key -out ca.pem &&
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
            -keyout server.key -out server.csr &&
        printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n' \
            >server.ext &&
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile server.ext -out server.pem
) >"$work/pki.log" 2>&1; then
    echo "newsreaders: could not make the test certificates:"
    cat "$work/pki.log"
    echo "0 passed, 1 failed"
    exit 1
fi

printf '[Settings]\r\nPortNo\t%s\r\nUseRfc3977\t1\r\nTlsPortNo\t%s\r\nTlsCertificate\t%s\r\nTlsKey\t%s\r\n[Group]\r\nlocal.general\t0\tGeneral-talk\r\nlocal.test\t0\tTesting-ground\r\n[Users]\r\n' \
    "$port" "$tls_port" "$pki/server.pem" "$pki/server.key" >"$srv/Marrowby.ini"
(
    cd / || exit 1
    exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}" "$srv/marrowby"
) >"$work/server.out" 2>"$work/server.err" &
server_pid=$!

# Waits for the listening port, then posts the two articles the readers see.
if ! python3 - "$port" <<'EOF'
import socket, sys, time
port = int(sys.argv[1])
deadline = time.time() + 20
while True:
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        break
    except OSError:
        if time.time() > deadline:
            sys.exit("server did not listen on port %d" % port)
        time.sleep(0.1)
f = s.makefile("rb")
assert f.readline() == b"200 connected!!\r\n"
for n, subject, body in ((1, "Welcome to the test group", "This is fixture article one."),
                         (2, "A second topic", "This is fixture article two.")):
    s.sendall(b"POST\r\n")
    assert f.readline() == b"340 continue posting!!\r\n"
    s.sendall(("From: Fixture Poster <fixture@example.invalid>\r\nNewsgroups: local.test\r\n"
               "Subject: %s\r\nMessage-ID: <fixture%d@example.invalid>\r\n\r\n%s\r\n.\r\n"
               % (subject, n, body)).encode())
    reply = f.readline()
    assert reply == b"240 article posted successfully!!\r\n", reply
s.sendall(b"QUIT\r\n")
f.readline()
EOF
then
    echo "newsreaders: could not set up the server; its output:"
    cat "$work/server.out" "$work/server.err"
    echo "0 passed, 1 failed"
    exit 1
fi

# --- helpers ------------------------------------------------------------------

# The editor every reader calls: drops the quoted lines, adds one line of new
# text, rewrites the file in place (a reader may hold it open) and moves its
# time on, so that the change is seen even within the same second.
cat >"$work/editor.sh" <<'EOF'
#!/bin/sh
for f in "$@"; do :; done
tmp="$f.new"
grep -v '^>' "$f" >"$tmp"
printf 'A follow-up written by the %s test.\n' "$READER_NAME" >>"$tmp"
cat "$tmp" >"$f"
rm -f "$tmp"
touch -d "@$(($(date +%s) + 2))" "$f"
EOF
chmod +x "$work/editor.sh"

printf 'set -g remain-on-exit on\nset -g default-terminal screen\nset -g history-limit 2000\n' \
    >"$work/tmux.conf"

screen() { tm capture-pane -p -t "$1" 2>/dev/null; }

# wait_screen SESSION REGEX...: until the screen matches every extended regex.
wait_screen() {
    local session="$1" deadline=$((SECONDS + WAIT)) shot pattern ok
    shift
    while [ $SECONDS -le $deadline ]; do
        shot="$(screen "$session")"
        ok=1
        for pattern in "$@"; do
            grep -Eq -- "$pattern" <<<"$shot" || { ok=0; break; }
        done
        [ $ok -eq 1 ] && return 0
        sleep 0.2
    done
    return 1
}

# wait_gone SESSION REGEX: until no line of the screen matches.
wait_gone() {
    local deadline=$((SECONDS + WAIT))
    while [ $SECONDS -le $deadline ]; do
        screen "$1" | grep -Eq -- "$2" || return 0
        sleep 0.2
    done
    return 1
}

keys() { tm send-keys -t "$@"; }

article_count() { tail -n +2 "$srv/local.test/Message.lst" 2>/dev/null | grep -c .; }

# wait_followup COUNT READER: until the group's index holds COUNT articles and
# article COUNT, file and index entry, is READER's follow-up to one of the
# fixture articles.
wait_followup() {
    local want="$1" reader="$2" deadline=$((SECONDS + WAIT)) file
    while [ $SECONDS -le $deadline ]; do
        if [ "$(article_count)" -ge "$want" ]; then
            file="$srv/local.test/$want"
            [ -f "$file" ] &&
                grep -Eq '^References: .*<fixture[12]@example\.invalid>' "$file" &&
                grep -q '^Subject: Re: ' "$file" &&
                grep -q "A follow-up written by the $reader test\." "$file" &&
                awk -F '\t' -v n="$want" '$1 == n && $2 ~ /^Re: / &&
                    $8 ~ /<fixture[12]@example\.invalid>/ { found = 1 } END { exit !found }' \
                    "$srv/local.test/Message.lst" &&
                return 0
        fi
        sleep 0.2
    done
    return 1
}

# posted_over_tls: the connection that took the last post had done its TLS
# handshake first.
posted_over_tls() {
    local prefix
    prefix="$(grep -a '340 continue posting' "$work/server.out" | tail -n 1 | sed 's/\] .*/]/')"
    [ -n "$prefix" ] && grep -aqF "$prefix TLS established [" "$work/server.out"
}

wait_exit() {  # wait_exit SESSION: until the reader's process has ended
    local deadline=$((SECONDS + WAIT))
    while [ $SECONDS -le $deadline ]; do
        [ "$(tm display -p -t "$1" '#{pane_dead}' 2>/dev/null)" = 1 ] && return 0
        sleep 0.2
    done
    return 1
}

# quit_reader SESSION: q until the reader asks whether to quit, then y; true
# once its process has ended. A q typed while the reader is still busy may be
# lost, so each one waits for the screen to change before the next.
quit_reader() {
    local session="$1" shot
    for _ in $(seq 8); do
        shot="$(screen "$session")"
        if grep -q 'really want to quit' <<<"$shot"; then
            keys "$session" y
            break
        fi
        keys "$session" q
        for _ in $(seq 15); do
            sleep 0.2
            [ "$(screen "$session")" != "$shot" ] && break
        done
    done
    wait_exit "$session"
}

# step SESSION NAME COMMAND...: one check; on failure shows the screen and
# returns 1 so that the reader's remaining steps are left out.
step() {
    local session="$1" name="$2"
    shift 2
    if "$@"; then
        pass "$session: $name"
    else
        fail "$session: $name"
        echo "---- $session screen ----"
        screen "$session" | sed -e 's/[[:space:]]*$//' | grep -v '^$'
        echo "-------------------------"
        return 1
    fi
}

start_reader() {  # start_reader SESSION HOME COMMAND...
    local session="$1" home="$2"
    shift 2
    tm -f "$work/tmux.conf" new-session -d -s "$session" -x 132 -y 40 \
        env HOME="$home" NNTPSERVER=127.0.0.1 NNTPPORT="$port" READER_NAME="$session" \
        EDITOR="$work/editor.sh" VISUAL="$work/editor.sh" "$@"
}

# --- tin ----------------------------------------------------------------------

run_tin() {  # run_tin SESSION [-T]: in clear, or with -T on the TLS port
    local session="$1" home="$work/$1-home" port_here="$port" tls=""
    if [ "${2:-}" = -T ]; then
        tls=-T
        port_here="$tls_port"
    fi
    mkdir -p "$home/.tin"
    # A tinrc of our own skips the first-start welcome and trusts the test's
    # authority; local.test is subscribed, local.general known but not.
    printf 'mail_address=tester@example.invalid\neditor_format=%s %%F\ntls_ca_cert_file=%s\n' \
        "$work/editor.sh" "$pki/ca.pem" >"$home/.tin/tinrc"
    printf 'local.test: \nlocal.general! \n' >"$home/.newsrc"
    local before
    before="$(article_count)"
    start_reader "$session" "$home" tin $tls -r -g 127.0.0.1 -p "$port_here"

    step "$session" "shows the subscribed group with its unread count" \
        wait_screen "$session" 'Group Selection' " $before +local\\.test +Testing-ground" || return
    keys "$session" y  # yank in every group of the server
    step "$session" "lists all groups of the server" \
        wait_screen "$session" 'local\.general +General-talk' 'local\.test +Testing-ground' || return
    keys "$session" y
    step "$session" "goes back to the subscribed group" wait_gone "$session" 'local\.general' || return
    keys "$session" Enter
    step "$session" "opens local.test and lists its articles" \
        wait_screen "$session" 'local\.test \(' 'Welcome to the test group' 'A second topic' || return
    keys "$session" Enter
    step "$session" "reads an article" \
        wait_screen "$session" 'Newsgroups: local\.test' 'This is fixture article (one|two)\.' || return
    keys "$session" f
    step "$session" "prepares the follow-up" wait_screen "$session" 'p=post' || return
    keys "$session" p
    step "$session" "posts the follow-up, which arrives on the server" \
        wait_followup $((before + 1)) "$session" || return
    if [ -n "$tls" ]; then
        step "$session" "posted through TLS" posted_over_tls || return
    fi
    step "$session" "quits" quit_reader "$session"
}

# --- slrn ---------------------------------------------------------------------

run_slrn() {  # run_slrn SESSION [snews]: in clear, or snews:// on the TLS port
    local session="$1" home="$work/$1-home" server="127.0.0.1:$port"
    [ "${2:-}" = snews ] && server="snews://127.0.0.1:$tls_port"
    mkdir -p "$home"
    cat >"$home/.slrnrc" <<EOF
set username "tester"
set hostname "example.invalid"
set realname "Slrn Tester"
set editor_command "$work/editor.sh '%s'"
EOF
    local before
    before="$(article_count)"
    # --create makes the newsrc from the server's group list. slrn does not
    # check certificates at all.
    start_reader "$session" "$home" slrn -f "$home/newsrc" --create -h "$server"

    step "$session" "lists all groups of the server" \
        wait_screen "$session" 'News Groups: (snews://)?127\.0\.0\.1' 'local\.general' \
        'local\.test' || return
    keys "$session" Down
    keys "$session" Space
    step "$session" "opens local.test and lists its articles" \
        wait_screen "$session" 'Group: local\.test' 'Welcome to the test group' 'A second topic' || return
    keys "$session" Space
    step "$session" "reads an article" \
        wait_screen "$session" 'Newsgroups: local\.test' 'This is fixture article (one|two)\.' || return
    keys "$session" f
    step "$session" "asks whether to follow up" wait_screen "$session" 'want to followup' || return
    keys "$session" y
    step "$session" "offers to post the edited follow-up" \
        wait_screen "$session" 'Post the message\?' || return
    keys "$session" y
    step "$session" "posts the follow-up, which arrives on the server" \
        wait_followup $((before + 1)) "$session" || return
    if [ "${2:-}" = snews ]; then
        step "$session" "posted through TLS" posted_over_tls || return
    fi
    step "$session" "reports the posting done" wait_screen "$session" 'Posting\.\.\.done' || return
    step "$session" "quits" quit_reader "$session"
}

# --- NeoMutt ------------------------------------------------------------------

# wait_neomutt_sent COUNT SESSION: answers NeoMutt's question whether to
# update an edited attachment's encoding, when it asks, until the follow-up
# has arrived.
wait_neomutt_sent() {
    local deadline=$((SECONDS + WAIT))
    while [ $SECONDS -le $deadline ]; do
        if screen "$2" | grep -q 'Update encoding'; then keys "$2" y; fi
        WAIT=1 wait_followup "$1" "$2" && return 0
    done
    return 1
}

# quit_neomutt SESSION: q from the pager to the index and from the index out,
# each once the screen has settled; true once the process has ended.
quit_neomutt() {
    for _ in $(seq 5); do
        keys "$1" q
        WAIT=2 wait_exit "$1" && return 0
    done
    return 1
}

run_neomutt() {  # run_neomutt SESSION URL: the server as news:// or snews://
    local session="$1" url="$2" home="$work/$1-home"
    mkdir -p "$home/mail" "$home/cache"
    # Only the authority made here is trusted, and nothing goes in clear:
    # on news:// NeoMutt must use STARTTLS or give up.
    cat >"$home/neomuttrc" <<EOF
set ssl_ca_certificates_file = "$pki/ca.pem"
set ssl_starttls = yes
set ssl_force_tls = yes
set newsrc = "$home/newsrc-%s"
set news_cache_dir = "$home/cache"
set folder = "$home/mail"
set spoolfile = ""
set record = ""
set postponed = "$home/postponed"
set header_cache = ""
set from = "tester@example.invalid"
set realname = "NeoMutt Tester"
set editor = "$work/editor.sh"
set followup_to_poster = no
set fast_reply = yes
set quit = yes
bind index,pager F followup-message
EOF
    local before
    before="$(article_count)"
    start_reader "$session" "$home" neomutt -n -F "$home/neomuttrc" -g "$url"

    step "$session" "lists all groups of the server" \
        wait_screen "$session" 'local\.general +General-talk' 'local\.test +Testing-ground' || return
    keys "$session" Down
    keys "$session" Enter
    step "$session" "opens local.test and lists its articles" \
        wait_screen "$session" 'local\.test' 'Welcome to the test group' 'A second topic' || return
    keys "$session" Enter
    step "$session" "reads an article" \
        wait_screen "$session" 'This is fixture article (one|two)\.' || return
    keys "$session" F
    step "$session" "asks whether to quote the article" \
        wait_screen "$session" 'Include message in reply\?' || return
    keys "$session" y
    step "$session" "composes the follow-up" \
        wait_screen "$session" 'Newsgroups: local\.test' 'Subject: Re: ' || return
    keys "$session" y
    step "$session" "posts the follow-up, which arrives on the server" \
        wait_neomutt_sent $((before + 1)) "$session" || return
    step "$session" "posted through TLS" posted_over_tls || return
    step "$session" "quits" quit_neomutt "$session"
}

for reader in "${readers[@]}"; do
    case "$reader" in
        tin)
            run_tin tin
            run_tin tin-tls -T
            ;;
        slrn)
            run_slrn slrn
            run_slrn slrn-tls snews
            ;;
        neomutt)
            if [ "$tls_port" = 563 ]; then
                run_neomutt neomutt-nntps "snews://127.0.0.1"
            else
                echo "newsreaders: NeoMutt's nntps:// goes to port 563 only, which needs root" \
                    "and the port free; its check is skipped"
            fi
            run_neomutt neomutt-starttls "news://127.0.0.1:$port"
            ;;
    esac
done

# --- the server's side --------------------------------------------------------

# The readers probe with commands the server may lack; none should have met
# a command the reader mode does not know.
unknown="$(grep -B1 -a '500 command not recognized' "$work/server.out" | grep -av '500 command')"
if [ -z "$unknown" ]; then
    pass "server: every command of the readers was recognised"
else
    fail "server: commands answered 500:"
    echo "$unknown"
fi

kill -TERM "$server_pid" 2>/dev/null
status="still running"
for _ in $(seq 100); do
    if ! kill -0 "$server_pid" 2>/dev/null; then
        wait "$server_pid"
        status=$?
        server_pid=""
        break
    fi
    sleep 0.1
done
if [ "$status" = 0 ] && ! grep -Eq 'Sanitizer|runtime error' "$work/server.err"; then
    pass "server: ends cleanly on SIGTERM"
else
    fail "server: status after SIGTERM: $status"
    cat "$work/server.err"
fi

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
