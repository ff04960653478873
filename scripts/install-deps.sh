#!/usr/bin/env bash
# Installs the Debian packages Sorvano needs, only when some are missing.
#   install-deps.sh build   what building and running needs
#   install-deps.sh test    that, plus what the test suite needs
set -euo pipefail

build_pkgs=(cmake make g++ pkg-config qt6-base-dev libavformat-dev libavcodec-dev
            libavutil-dev libswresample-dev libsdl2-dev libqt6svg6
            qt6-base-private-dev libtag1-dev libuchardet-dev)
test_pkgs=(xvfb xauth xdotool trayer openbox x11-utils desktop-file-utils dbus playerctl pulseaudio pulseaudio-utils imagemagick ffmpeg sox
           clang libclang-rt-14-dev clang-format valgrind wmctrl)

pkgs=("${build_pkgs[@]}")
if [ "${1:-build}" = test ]; then
    pkgs+=("${test_pkgs[@]}")
fi

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
