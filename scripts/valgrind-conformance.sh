#!/usr/bin/env bash
# Runs the conformance test once under Valgrind's memcheck: any memory error
# or definite leak fails it.   valgrind-conformance.sh [BUILD_DIR]
# It needs no suppressions: the system libraries it loads (FFmpeg, SDL with
# its dummy driver, Qt Core) report nothing under this check.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
exe="$build/tests/audio/ape_conformance"
[ -x "$exe" ] || { echo "valgrind-conformance: build $exe first" >&2; exit 1; }
QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy \
    valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=30 \
    --fair-sched=yes -q "$exe" -silent
