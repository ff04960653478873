#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks what lands where.
#   check-install.sh BUILD_DIR
set -uo pipefail
build="$1"
stage=$(mktemp -d "${TMPDIR:-/tmp}/sorvano-install.XXXXXX")
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if ! DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage.log" 2>&1; then
    cat "$stage.log" >&2; rm -f "$stage.log"
    echo "FAIL: cmake --install" >&2
    exit 1
fi
rm -f "$stage.log"

root="$stage/usr"
bin="$root/bin/sorvano"
desktop="$root/share/applications/sorvano.desktop"
icon="$root/share/icons/hicolor/scalable/apps/sorvano.svg"
metainfo="$root/share/metainfo/org.sorvano.Sorvano.metainfo.xml"
manpage="$root/share/man/man1/sorvano.1"

[ -x "$bin" ] || fail "no executable $bin"
[ -f "$desktop" ] || fail "no desktop entry $desktop"
[ -f "$icon" ] || fail "no icon $icon"
[ -f "$manpage" ] || fail "no manual page $manpage"
# Software centres find the desktop entry through the metainfo's launchable.
[ -f "$metainfo" ] || fail "no AppStream metainfo $metainfo"
[ -f "$metainfo" ] && ! grep -q '<launchable type="desktop-id">sorvano.desktop</launchable>' "$metainfo" &&
    fail "the metainfo does not name sorvano.desktop"

if [ -f "$desktop" ]; then
    if command -v desktop-file-validate >/dev/null; then
        out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
        case "$out" in *error*) fail "desktop-file-validate: $out" ;; esac
    fi
    grep -qx 'MimeType=audio/x-ape;application/x-cue;' "$desktop" || fail "desktop entry lacks MimeType=audio/x-ape;application/x-cue;"
    grep -qx 'Type=Application' "$desktop" || fail "desktop entry is not an application"
    # Files opened with it from a file manager reach the program as paths.
    grep -qx 'Exec=sorvano %F' "$desktop" || fail "desktop entry does not pass the files (Exec=sorvano %F)"
    # The entry starts the binary that was installed, by the icon installed.
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$root/bin/$exec_name" ] || fail "Exec=$exec_name is not in $root/bin"
    icon_name=$(sed -n 's/^Icon=//p' "$desktop")
    [ -f "$root/share/icons/hicolor/scalable/apps/$icon_name.svg" ] || fail "Icon=$icon_name not installed"
fi
if [ -f "$icon" ]; then
    grep -q '<svg' "$icon" || fail "icon is not an SVG image"
    cmp -s "$icon" "$(dirname "$0")/../../resources/sorvano.svg" || fail "installed icon differs from the one built in"
fi

# The installed program starts: still running after two seconds, on a
# headless screen with no sound device.
if [ -x "$bin" ]; then
    QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy "$bin" >"$stage/run.log" 2>&1 &
    pid=$!
    sleep 2
    if kill -0 "$pid" 2>/dev/null; then
        # The sound library takes SIGTERM for itself; this is only a smoke run.
        kill -9 "$pid"; wait "$pid" 2>/dev/null
    else
        wait "$pid"; fail "installed sorvano ended at once (status $?): $(cat "$stage/run.log")"
    fi
fi

[ $failures -eq 0 ] && echo "installed: bin/sorvano, applications/sorvano.desktop, hicolor scalable icon, metainfo, man1/sorvano.1"
exit $((failures > 0))
