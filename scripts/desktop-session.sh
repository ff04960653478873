#!/usr/bin/env bash
# Runs one command inside a private, throw-away desktop: an Xvfb server on a
# free display, optionally a window manager (openbox), a system tray (trayer)
# a PulseAudio server with a null sink and a D-Bus session bus; or, with
# --weston, a headless Wayland compositor (weston) in place of the X server
# and its programs. Everything it starts is stopped
# again when the command ends, fails or the script is interrupted.
#
#   desktop-session.sh [--wm] [--tray] [--pulse] [--dbus] [--weston] [--timeout SECONDS] -- COMMAND [ARGS...]
#
# The command sees DISPLAY (WAYLAND_DISPLAY with --weston), XAUTHORITY, HOME, TMPDIR, XDG_RUNTIME_DIR (and
# PULSE_SERVER with --pulse, DBUS_SESSION_BUS_ADDRESS with --dbus) pointing
# into a private folder, and
# SORVANO_SESSION_DIR naming that folder. Its exit status is the script's.
set -uo pipefail

want_wm=0 want_tray=0 want_pulse=0 want_dbus=0 want_weston=0 limit=120
while [ $# -gt 0 ]; do
    case "$1" in
    --wm) want_wm=1 ;;
    --tray) want_tray=1 ;;
    --pulse) want_pulse=1 ;;
    --dbus) want_dbus=1 ;;
    --weston) want_weston=1 ;;
    --timeout) limit="$2"; shift ;;
    --) shift; break ;;
    *) echo "desktop-session: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
[ $# -gt 0 ] || { echo "desktop-session: no command given" >&2; exit 2; }

need() {
    command -v "$1" >/dev/null || { echo "desktop-session: $1 is missing (run: make test-deps)" >&2; exit 2; }
}
if [ $want_weston = 1 ]; then
    need weston
else
    need Xvfb; need xauth; need xdpyinfo; need mcookie
fi
[ $want_wm = 1 ] && need openbox
[ $want_tray = 1 ] && { need trayer; need xdotool; }
[ $want_pulse = 1 ] && { need pulseaudio; need pactl; }
[ $want_dbus = 1 ] && { need dbus-daemon; need dbus-send; }

session=$(mktemp -d "${TMPDIR:-/tmp}/sorvano-desktop.XXXXXX")
mkdir -p "$session/home" "$session/tmp" "$session/run" "$session/log"
chmod 700 "$session/run"
pids=()

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    # Newest first: the tray and the window manager before the X server.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if [ "${SORVANO_KEEP_SESSION:-0}" = 1 ]; then
        echo "desktop-session: kept $session" >&2
    else
        rm -rf "$session"
    fi
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Waits up to $2 tenths of a second for the command $1 to succeed.
wait_for() {
    local tries=$2
    while ! eval "$1" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || return 1
        sleep 0.1
    done
}

export HOME="$session/home" TMPDIR="$session/tmp" XDG_RUNTIME_DIR="$session/run"
export XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache" XDG_DATA_HOME="$HOME/.local/share"
export XAUTHORITY="$session/Xauthority" SORVANO_SESSION_DIR="$session"
# Nothing of the caller's desktop may leak in: no session bus (Qt would look
# for a notification watcher there), no Wayland, no sound server.
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY PULSE_SERVER SESSION_MANAGER
unset QT_QPA_PLATFORMTHEME XDG_CURRENT_DESKTOP DESKTOP_SESSION
export QT_QPA_PLATFORM=xcb
touch "$XAUTHORITY"

if [ $want_weston = 1 ]; then
    # The socket lives in the private runtime folder, so its name is free.
    weston --backend=headless-backend.so --socket=wayland-sorvano --idle-time=0 \
        --width=1280 --height=800 --use-pixman --debug >"$session/log/weston.log" 2>&1 &
    pids+=($!)
    if ! wait_for "[ -S '$XDG_RUNTIME_DIR/wayland-sorvano' ]" 200; then
        echo "desktop-session: weston did not start" >&2
        cat "$session/log/weston.log" >&2
        exit 1
    fi
    export WAYLAND_DISPLAY=wayland-sorvano QT_QPA_PLATFORM=wayland
    unset DISPLAY
fi

# A free display number: another test may take the same one between the
# check and the start, so a failed start tries the next number.
started=0
[ $want_weston = 1 ] && started=2
for display in $([ $started = 0 ] && seq $((100 + RANDOM % 300)) 499); do
    [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ] && continue
    xauth -q add ":$display" . "$(mcookie)" 2>/dev/null
    Xvfb ":$display" -screen 0 1280x800x24 -dpi 120 -nolisten tcp -noreset -auth "$XAUTHORITY" \
        >"$session/log/xvfb.log" 2>&1 &
    xvfb=$!
    if wait_for "xdpyinfo -display :$display" 150 && kill -0 "$xvfb" 2>/dev/null; then
        pids+=("$xvfb")
        started=1
        break
    fi
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
done
if [ $started = 0 ]; then
    echo "desktop-session: Xvfb did not start" >&2
    cat "$session/log/xvfb.log" >&2
    exit 1
fi
[ $started = 1 ] && export DISPLAY=":$display"

if [ $want_wm = 1 ]; then
    openbox >"$session/log/openbox.log" 2>&1 &
    pids+=($!)
    # openbox takes the window manager selection and announces EWMH support.
    if ! wait_for "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" 200; then
        echo "desktop-session: openbox did not start" >&2
        cat "$session/log/openbox.log" >&2
        exit 1
    fi
fi

if [ $want_tray = 1 ]; then
    trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
        --transparent false --tint 0xc0c0c0 >"$session/log/trayer.log" 2>&1 &
    pids+=($!)
    if ! wait_for "xdotool search --classname trayer" 200; then
        echo "desktop-session: trayer did not start" >&2
        exit 1
    fi
fi

if [ $want_pulse = 1 ]; then
    export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse" PULSE_STATE_PATH="$session/pulse-state"
    socket="$XDG_RUNTIME_DIR/pulse/native"
    mkdir -p "$PULSE_RUNTIME_PATH"
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit \
        --load="module-null-sink sink_name=sorvano_null" \
        --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
        --load="module-always-sink" \
        >"$session/log/pulseaudio.log" 2>&1 &
    pids+=($!)
    export PULSE_SERVER="unix:$socket"
    if ! wait_for "pactl info" 200; then
        echo "desktop-session: pulseaudio did not start" >&2
        cat "$session/log/pulseaudio.log" >&2
        exit 1
    fi
    pactl set-default-sink sorvano_null >/dev/null
fi

if [ $want_dbus = 1 ]; then
    # A bus of its own on a Unix socket in the private folder; it starts no
    # services of the machine's.
    cat >"$session/dbus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:path=$XDG_RUNTIME_DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
    dbus-daemon --config-file="$session/dbus.conf" --nofork --nopidfile --nosyslog \
        >"$session/log/dbus.log" 2>&1 &
    pids+=($!)
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
    if ! wait_for "dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.GetId" 200; then
        echo "desktop-session: dbus-daemon did not start" >&2
        cat "$session/log/dbus.log" >&2
        exit 1
    fi
fi

timeout --kill-after=5 "$limit" "$@"
status=$?
if [ $status -ne 0 ] && [ "${SORVANO_SESSION_LOGS:-1}" = 1 ]; then
    [ $status -eq 124 ] && echo "desktop-session: command timed out after ${limit}s" >&2
    for f in "$session"/log/*.log; do
        [ -s "$f" ] || continue
        echo "--- $(basename "$f")" >&2
        tail -n 20 "$f" >&2
    done
fi
exit $status
