#!/usr/bin/env bash
# Builds the Debian binary package from debian/ in a copy of the tree, so
# neither the tree nor the folder beside it gets dpkg-buildpackage's output.
#   build-package.sh [OUT_DIR]     (default build-deb/; the .deb lands there)
# JOBS sets the parallel build (default: the core count). ccache, when it is
# installed, keeps the compiled objects from one package build to the next,
# from any clone: paths are made relative to the copy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build-deb}" && cd "${1:-$root/build-deb}" && pwd)
jobs=${JOBS:-$(nproc)}
work="$out/tree"
src="$work/sorvano"

rm -rf "$work"
mkdir -p "$src"
# The files the repository holds (uncommitted changes included), without the
# test fixtures: the package builds neither tests nor benchmarks.
if git -C "$root" rev-parse --show-toplevel >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard -- ':!:tests/data' |
        tar -C "$root" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$src" -xf -
else
    tar -C "$root" --exclude='./build*' --exclude=./.git --exclude=./tests/data -cf - . |
        tar -C "$src" -xf -
fi

if command -v ccache >/dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
    # debhelper gives the build a HOME of its own; the cache stays the user's.
    CCACHE_DIR=$(ccache -k cache_dir)
    export CCACHE_DIR CCACHE_BASEDIR="$src" CCACHE_NOHASHDIR=1
fi

(cd "$src" && DEB_BUILD_OPTIONS="noautodbgsym ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -us -uc -j"$jobs")

rm -f "$out"/sorvano_*.deb "$out"/sorvano_*.buildinfo "$out"/sorvano_*.changes
mv "$work"/sorvano_*.deb "$work"/sorvano_*.buildinfo "$work"/sorvano_*.changes "$out"/
rm -rf "$work"
echo "package: $(ls "$out"/sorvano_*.deb)"
