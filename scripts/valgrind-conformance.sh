#!/usr/bin/env bash
# Runs the conformance test of the plain preset (build/) once under Valgrind's
# memcheck: any memory error or definite leak fails it.
# It needs no suppressions: the system libraries it loads (FFmpeg, SDL with
# its dummy driver, Qt Core) report nothing under this check.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset plain > /dev/null
cmake --build --preset plain --target ape_conformance -j "${JOBS:-2}" > /dev/null
QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy \
    valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=30 \
    --fair-sched=yes -q build/tests/audio/ape_conformance -silent
