#!/usr/bin/env bash
# Builds the Debian package (scripts/build-package.sh) and checks what it
# holds: the files, the dependencies, the AppStream metadata and lintian.
#   check-package.sh [OUT_DIR]     (default build-deb/)
# With SORVANO_DEB=FILE it checks that package instead of building one.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out="${1:-$root/build-deb}"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

deb="${SORVANO_DEB:-}"
if [ -z "$deb" ]; then
    log=$(mktemp "${TMPDIR:-/tmp}/sorvano-package.XXXXXX")
    if ! "$root/scripts/build-package.sh" "$out" >"$log" 2>&1; then
        tail -n 40 "$log" >&2; rm -f "$log"
        echo "FAIL: the package does not build" >&2
        exit 1
    fi
    rm -f "$log"
    deb=$(ls "$out"/sorvano_*.deb)
fi

stage=$(mktemp -d "${TMPDIR:-/tmp}/sorvano-deb.XXXXXX")
trap 'rm -rf "$stage"' EXIT
dpkg-deb -x "$deb" "$stage" || { echo "FAIL: dpkg-deb -x $deb" >&2; exit 1; }

metainfo=usr/share/metainfo/org.sorvano.Sorvano.metainfo.xml
for f in usr/bin/sorvano usr/share/applications/sorvano.desktop \
    usr/share/icons/hicolor/scalable/apps/sorvano.svg "$metainfo" \
    usr/share/man/man1/sorvano.1.gz usr/share/doc/sorvano/copyright; do
    [ -f "$stage/$f" ] || fail "the package lacks /$f"
done
[ -x "$stage/usr/bin/sorvano" ] || fail "/usr/bin/sorvano is not executable"
# The program alone: no tests, benchmarks or libraries of ours.
extra=$(cd "$stage" && find . -type f | grep -v -e '^./usr/share/' -e '^./usr/bin/sorvano$')
[ -z "$extra" ] || fail "files beyond the program and its data: $extra"

# shlibdeps filled in the libraries the program links, besides the SVG
# plugins Qt loads at run time, which no linker sees.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6svg6 libqt6widgets6 libqt6dbus6 libavformat libsdl2 libc6; do
    case "$depends" in *"$lib"*) ;; *) fail "Depends lacks $lib: $depends" ;; esac
done
case "$(dpkg-deb -f "$deb" Recommends)" in *qt6-wayland*) ;; *) fail "does not recommend qt6-wayland" ;; esac

# One version everywhere: the package's (debian/changelog), the project's,
# the newest release in the metainfo.
version=$(dpkg-deb -f "$deb" Version)
project=$(sed -n 's/^project(Sorvano VERSION \([^ )]*\).*/\1/p' "$root/CMakeLists.txt")
[ "$version" = "$project" ] || fail "package version $version, project version $project"
if [ -f "$stage/$metainfo" ]; then
    grep -q "<release version=\"$version\"" "$stage/$metainfo" || fail "the metainfo has no release $version"
    out_as=$(appstreamcli validate --no-net "$stage/$metainfo" 2>&1) || fail "appstreamcli validate: $out_as"
    launchable=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$stage/$metainfo")
    [ -f "$stage/usr/share/applications/$launchable" ] ||
        fail "the metainfo's launchable '$launchable' is not a desktop entry of the package"
fi
if [ -f "$stage/usr/share/man/man1/sorvano.1.gz" ]; then
    warnings=$(zcat "$stage/usr/share/man/man1/sorvano.1.gz" | LC_ALL=C.UTF-8 MANWIDTH=80 \
        man --warnings -E UTF-8 -l - 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the manual page: $warnings"
fi

# The packaged program runs, says the package's version, and its manual page
# names every option its --help gives. Neither needs a display.
bin="$stage/usr/bin/sorvano"
if [ -x "$bin" ]; then
    said=$(timeout 10 "$bin" --version 2>&1) || fail "sorvano --version: status $?: $said"
    [ "$said" = "sorvano $version" ] || fail "sorvano --version says '$said', the package is $version"
    man=$(zcat "$stage/usr/share/man/man1/sorvano.1.gz" 2>/dev/null | sed 's/\\-/-/g')
    for option in $(timeout 10 "$bin" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -q -- "$option" <<<"$man" || fail "the manual page lacks $option, which --help gives"
    done
fi

# lintian: errors fail, anything else is shown.
lintian --fail-on error "$deb" >"$stage.lintian" 2>&1
status=$?
grep -v '^running with root privileges' "$stage.lintian"
rm -f "$stage.lintian"
[ "$status" -eq 0 ] || fail "lintian reports errors"

[ $failures -eq 0 ] && echo "package: $(basename "$deb"): files, Depends, metainfo, manual page and lintian checked"
exit $((failures > 0))
