#!/usr/bin/env bash
# The server on a real X display (Xvfb), driven through the mouse and the
# keyboard as an operator would:
#   - a start-up failure shows a message box titled "Marrowby", and the
#     process ends once it is answered;
#   - without a tray host the window is shown at once;
#   - with a tray host (trayer, an XEmbed tray) the server starts as an icon
#     only; a right click opens the tray menu and Escape closes it; a double
#     click brings up the 300x300 window titled "Marrowby [port]" and takes
#     the icon away; SIGTERM ends the server with status 0.
# Screenshots go to $ARTIFACT_DIR: desktop_tray_menu.png with the tray menu
# open, desktop_tray.png with the shown window and a few log lines.
set -u

here="$(cd "$(dirname "$0")" && pwd)"
BIN="${MARROWBY_BIN:-$here/../../build/marrowby}"
ARTIFACT_DIR="${ARTIFACT_DIR:-$PWD}"

for tool in Xvfb trayer xdotool xwininfo import python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "desktop_tray: $tool is not installed; skipped"
        exit 0
    fi
done
if [ ! -x "$BIN" ]; then
    echo "desktop_tray: no server binary at $BIN"
    exit 1
fi

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; }
check() {  # check NAME COMMAND...: passes when COMMAND succeeds
    local name="$1"
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

work="$(mktemp -d /tmp/marrowby-desktop.XXXXXX)"
xvfb_pid=""
trayer_pid=""
server_pid=""

stop_pid() {  # stop_pid PID: TERM, then KILL if it lingers; reaps it
    local pid="$1" i
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for i in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

cleanup() {
    stop_pid "$server_pid"
    stop_pid "$trayer_pid"
    stop_pid "$xvfb_pid"
    rm -rf "$work"
}
trap cleanup EXIT

# wait_for TENTHS COMMAND...: retries COMMAND every 0.1 s, at most TENTHS times.
wait_for() {
    local tries="$1" i
    shift
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# new_server_dir NAME [PORT]: a directory holding a copy of the binary and,
# when PORT is given, a Marrowby.ini for one group on that port.
new_server_dir() {
    local dir="$work/$1"
    mkdir -p "$dir"
    cp "$BIN" "$dir/marrowby"
    if [ $# -ge 2 ]; then
        printf '[Settings]\r\nPortNo\t%d\r\n[Group]\r\nlocal.test\t0\ttest\r\n[Users]\r\n' "$2" \
            >"$dir/Marrowby.ini"
    fi
    echo "$dir"
}

# start_server DIR: runs the server there on the test display; sets server_pid.
start_server() {
    local dir="$1"
    (cd "$dir" && exec env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
        DISPLAY="$DISPLAY" XDG_RUNTIME_DIR="$work/runtime" \
        LSAN_OPTIONS="suppressions=$here/../lsan.supp" \
        ./marrowby >"$dir/stdout" 2>"$dir/stderr") &
    server_pid=$!
}

# end_server: waits (bounded) for the server to end by itself and sets
# server_status to its exit status, or to "running" when it did not end.
server_status=""
server_ended() { ! kill -0 "$server_pid" 2>/dev/null; }
end_server() {
    server_status=running
    wait_for 100 server_ended || return 0
    wait "$server_pid"
    server_status=$?
    server_pid=""
}

# pointer_to X Y: puts the pointer there and waits until it is. It is moved
# off the spot first: a synced move to where the pointer already is waits
# for motion that never comes.
pointer_to() {
    xdotool mousemove --sync $(($1 > 100 ? $1 - 50 : $1 + 50)) $(($2 > 100 ? $2 - 50 : $2 + 50))
    xdotool mousemove --sync "$1" "$2"
}

visible_window() {  # visible_window NAME-REGEX: the first mapped window so named
    xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1
}
has_visible_window() { [ -n "$(visible_window "$1")" ]; }
map_state() { xwininfo -id "$1" 2>/dev/null | sed -n 's/^ *Map State: //p'; }
window_size() { xwininfo -id "$1" 2>/dev/null | sed -n 's/^ *-geometry \([0-9]*x[0-9]*\).*/\1/p'; }

# The tray icon as embedded in trayer's panel: "WIDTHxHEIGHT ABSX ABSY", or
# nothing while the server has no icon there.
tray_icon() {
    local panel
    panel="$(xdotool search --classname '^panel$' 2>/dev/null | head -1)"
    [ -n "$panel" ] || return 0
    xwininfo -tree -id "$panel" 2>/dev/null |
        sed -n 's/.*("marrowby" "Marrowby") *\([0-9]*x[0-9]*\)+[-0-9]*+[-0-9]* *+\([-0-9]*\)+\([-0-9]*\).*/\1 \2 \3/p' |
        head -1
}
has_tray_icon() { [ -n "$(tray_icon)" ]; }
no_tray_icon() { [ -z "$(tray_icon)" ]; }

# Whether some client owns the tray selection of screen 0, which is what the
# server looks for when it decides between the icon and the window.
tray_owned() {
    python3 - <<'PY'
import ctypes, sys
x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XGetSelectionOwner.restype = ctypes.c_ulong
x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
display = x11.XOpenDisplay(None)
if not display:
    sys.exit(2)
owner = x11.XGetSelectionOwner(display, x11.XInternAtom(display, b"_NET_SYSTEM_TRAY_S0", 0))
x11.XCloseDisplay(display)
sys.exit(0 if owner else 1)
PY
}
no_tray_owner() { ! tray_owned; }

# The server's mapped windows (icon, menus, main window), one id a line.
server_windows() { xdotool search --onlyvisible --class '^Marrowby$' 2>/dev/null | sort; }
# Mapped server windows that were not in the list $before_popup.
new_windows() { comm -13 <(echo "$before_popup") <(server_windows); }
has_popup() { [ -n "$(new_windows)" ]; }
no_popup() { [ -z "$(new_windows)" ]; }

mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
mkdir -p "$ARTIFACT_DIR"

# --- an X server on a display number nobody uses --------------------------
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
if ! wait_for 100 test -s "$work/display"; then
    echo "desktop_tray: Xvfb did not start"
    cat "$work/xvfb.log"
    echo "0 passed, 1 failed"
    exit 1
fi
export DISPLAY=":$(head -1 "$work/display")"
unset WAYLAND_DISPLAY
echo "# display $DISPLAY"

# --- a start-up failure: message box, then the process ends -----------------
dir="$(new_server_dir missing-settings)"
start_server "$dir"
check "a missing settings file shows a box titled Marrowby" \
    wait_for 150 has_visible_window '^Marrowby$'
box="$(visible_window '^Marrowby$')"
check "the server waits while the box is up" kill -0 "$server_pid"
# Return presses OK, the default button; tried again should the key arrive
# before the box has the focus.
for attempt in 1 2 3; do
    [ -n "$box" ] || break
    xdotool windowfocus --sync "$box" key Return 2>/dev/null
    wait_for 30 server_ended && break
done
end_server
check "answering the box ends the process with status 1" test "$server_status" = 1
check "nothing was listening or logged" test ! -s "$dir/stdout"

# --- no tray host: the window stands in for the icon ------------------------
check "no tray host yet" no_tray_owner
port="$(free_port)"
dir="$(new_server_dir no-tray "$port")"
start_server "$dir"
check "without a tray the window is shown at once" \
    wait_for 150 has_visible_window "^Marrowby \[$port\]\$"
kill -TERM "$server_pid" 2>/dev/null
end_server
check "SIGTERM ends the trayless server with status 0" test "$server_status" = 0

# --- with a tray host -------------------------------------------------------
trayer --edge top --align right --widthtype request --height 32 --SetDockType false \
    --transparent false >"$work/trayer.log" 2>&1 &
trayer_pid=$!
check "trayer owns the tray selection" wait_for 100 tray_owned

port="$(free_port)"
dir="$(new_server_dir tray "$port")"
start_server "$dir"
window_hidden() { ! has_visible_window "^Marrowby \[$port\]\$"; }
check "the icon is embedded in the tray" wait_for 150 has_tray_icon
check "the window starts hidden" window_hidden

read -r icon_size icon_x icon_y <<<"$(tray_icon)"
icon_w="${icon_size%x*}"
icon_h="${icon_size#*x}"
cx=$((${icon_x:-0} + ${icon_w:-2} / 2))
cy=$((${icon_y:-0} + ${icon_h:-2} / 2))

# A right click opens the tray menu; Escape closes it and nothing else changes.
before_popup="$(server_windows)"
pointer_to "$cx" "$cy"
xdotool click 3
check "a right click on the icon opens the tray menu" wait_for 50 has_popup
sleep 0.3  # let the menu paint before the picture
import -window root "$ARTIFACT_DIR/desktop_tray_menu.png" 2>/dev/null
xdotool key Escape
check "Escape closes the menu" wait_for 50 no_popup
check "the window is still hidden after the menu" window_hidden
check "the icon is still there after the menu" has_tray_icon

# A double click shows the window. On a loaded machine the two clicks can
# arrive too far apart to count as one double click, so it is tried a few
# times; the single clicks in between do nothing.
for attempt in 1 2 3; do
    pointer_to "$cx" "$cy"
    sleep 0.2
    xdotool click --repeat 2 --delay 80 1
    wait_for 30 has_visible_window "^Marrowby \[$port\]\$" && break
done
check "a double click on the icon shows the window" \
    wait_for 20 has_visible_window "^Marrowby \[$port\]\$"
win="$(visible_window "^Marrowby \[$port\]\$")"
check "the window is mapped" test "$(map_state "$win")" = IsViewable
check "the window is 300x300 when first shown" test "$(window_size "$win")" = 300x300
check "the icon leaves the tray while the window is shown" wait_for 30 no_tray_icon

# A client's commands, in ASCII, UTF-8 and Shift-JIS, give the log a few lines.
python3 - "$port" >"$work/client.log" 2>&1 <<'EOF'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
s.recv(100)
for line in (b"GROUP local.test\r\n", "GROUP 日本語\r\n".encode("utf-8"),
             b"GROUP " + "表示".encode("shift_jis") + b"\r\n", b"QUIT\r\n"):
    s.sendall(line)
    s.recv(200)
s.close()
EOF
check "a client talked to the server" test $? = 0
check "the connection was logged" wait_for 50 grep -q "Closed!!" "$dir/stdout"
sleep 0.5  # let the view catch up before the picture
shot="$ARTIFACT_DIR/desktop_tray.png"
rm -f "$shot"
import -window root "$shot" 2>/dev/null
check "a screenshot was written to $shot" test -s "$shot"

kill -TERM "$server_pid" 2>/dev/null
end_server
check "SIGTERM ends the server with status 0" test "$server_status" = 0
check "the icon does not outlive the server" no_tray_icon

if [ "$failed" -gt 0 ]; then
    for log in "$work"/*/stdout "$work"/*/stderr "$work/trayer.log"; do
        [ -s "$log" ] || continue
        echo "--- ${log#"$work"/} (last lines)"
        tail -n 15 "$log"
    done
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
