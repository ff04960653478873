#!/usr/bin/env bash
# Builds the engine's libFuzzer target (the fuzz preset: clang, in build-fuzz)
# and runs it.
#   fuzz-engine.sh [SECONDS]     (default: 60)
# FUZZ_TARGET=ape_fuzz runs the native decoder's own target instead.
# Seeds: the APE fixtures, the damaged set and the regression files of past
# findings. New inputs go to build-fuzz/corpus-TARGET, kept between runs; a crash is
# written to build-fuzz/crashes/ and ends the run with a failure. Such a file
# belongs in tests/data/fuzz/ once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
target=${FUZZ_TARGET:-engine_fuzz}

if ! command -v clang++ > /dev/null; then
    echo "fuzz-engine: clang++ is not installed (scripts/install-deps.sh test)" >&2
    exit 1
fi
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz --target "$target" -j "${JOBS:-2}"
fuzzer="$build/fuzz/$target"

mkdir -p "$build/corpus-$target" "$build/crashes"
seeds=(tests/data/ape)
[ -d tests/data/fuzz ] && seeds+=(tests/data/fuzz)

# The regression files first, each once: a finding that is back fails at once
# and by name.
if [ -d tests/data/fuzz ] && ls tests/data/fuzz/* > /dev/null 2>&1; then
    SDL_AUDIODRIVER=dummy "$fuzzer" -runs=1 tests/data/fuzz/*
fi

export SDL_AUDIODRIVER=dummy
"$fuzzer" -max_len=65536 -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/crashes/" "$build/corpus-$target" "${seeds[@]}"
