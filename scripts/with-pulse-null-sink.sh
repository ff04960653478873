#!/usr/bin/env bash
# Runs a command against a private PulseAudio server whose only sink is a null
# sink, then stops the server.   with-pulse-null-sink.sh COMMAND [ARG...]
# The server's runtime folder, home and socket are in a fresh temporary
# folder, so it neither meets nor disturbs any other sound server.
set -euo pipefail

if ! command -v pulseaudio > /dev/null; then
    echo "with-pulse-null-sink: pulseaudio is not installed" >&2
    exit 1
fi

root=$(mktemp -d /tmp/sorvano-pulse.XXXXXX)
mkdir -m 700 "$root/runtime" "$root/home"
socket="$root/runtime/native"
pid=""

cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2> /dev/null; then
        kill "$pid" 2> /dev/null || true
        for _ in $(seq 50); do
            kill -0 "$pid" 2> /dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2> /dev/null || true
    fi
    rm -rf "$root"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR="$root/runtime"
export HOME="$root/home"
export PULSE_SERVER="unix:$socket"
unset PULSE_COOKIE DBUS_SESSION_BUS_ADDRESS

pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disallow-exit \
    --disable-shm=yes --log-target=stderr --log-level=error \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$socket" \
    -L "module-null-sink sink_name=sorvano_null rate=44100 channels=2" \
    -L "module-always-sink" > "$root/pulse.log" 2>&1 &
pid=$!

for _ in $(seq 100); do
    [ -S "$socket" ] && break
    if ! kill -0 "$pid" 2> /dev/null; then
        echo "with-pulse-null-sink: pulseaudio did not start:" >&2
        cat "$root/pulse.log" >&2
        exit 1
    fi
    sleep 0.1
done
if [ ! -S "$socket" ]; then
    echo "with-pulse-null-sink: no socket at $socket" >&2
    exit 1
fi

export SDL_AUDIODRIVER=pulseaudio
status=0
"$@" || status=$?
exit $status
