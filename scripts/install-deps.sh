#!/usr/bin/env bash
# Installs the Debian packages Sorvano needs, only when some are missing.
#   install-deps.sh build   what building and running needs
#   install-deps.sh package that, plus what make package needs
#   install-deps.sh test    all of these, plus what the test suite needs
set -euo pipefail

build_pkgs=(cmake make g++ pkg-config qt6-base-dev libavformat-dev libavcodec-dev
            libavutil-dev libswresample-dev libsdl2-dev libqt6svg6
            qt6-base-private-dev libtag1-dev libuchardet-dev)
# The window's own X calls; Qt's Wayland plugin for Wayland sessions.
build_pkgs+=(libxcb1-dev qt6-wayland)
test_pkgs=(xvfb xauth xdotool x11-xkb-utils trayer openbox x11-utils desktop-file-utils dbus playerctl pulseaudio pulseaudio-utils imagemagick ffmpeg sox
           clang libclang-rt-14-dev clang-format valgrind wmctrl weston)

# debian/control's Build-Depends beyond the build's own, and the tools that
# build and check the package.
package_pkgs=(build-essential debhelper dpkg-dev lintian appstream libtag1-dev libuchardet-dev)

pkgs=("${build_pkgs[@]}")
case "${1:-build}" in
    package) pkgs+=("${package_pkgs[@]}") ;;
    test) pkgs+=("${package_pkgs[@]}" "${test_pkgs[@]}") ;;
esac

missing=()
for p in "${pkgs[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
