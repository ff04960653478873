#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, in build-fuzz) and
# runs them.
#   fuzz-engine.sh [SECONDS]     (default: 60)
# Without FUZZ_TARGET, the engine's target has three quarters of SECONDS and
# the CUE sheet reader's (cue_fuzz) the rest; FUZZ_TARGET=engine_fuzz,
# ape_fuzz (the native decoder alone) or cue_fuzz runs that one for all of it.
# Seeds: the APE fixtures, the damaged set and the regression files of past
# findings (tests/data/fuzz/); for cue_fuzz the album fixtures' sheets and
# tests/data/fuzz-cue/. New inputs go to build-fuzz/corpus-TARGET, kept
# between runs; a crash is written to build-fuzz/crashes/ and ends the run
# with a failure. Such a file belongs in the target's regression folder once
# the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

if ! command -v clang++ > /dev/null; then
    echo "fuzz-engine: clang++ is not installed (scripts/install-deps.sh test)" >&2
    exit 1
fi
cmake --preset fuzz > /dev/null

# run TARGET SECONDS
run() {
    local target=$1 time=$2 regressions seeds max_len
    cmake --build --preset fuzz --target "$target" -j "${JOBS:-2}"
    local fuzzer="$build/fuzz/$target"
    mkdir -p "$build/corpus-$target" "$build/crashes"
    if [ "$target" = cue_fuzz ]; then
        regressions=tests/data/fuzz-cue
        # The sheets alone: libFuzzer takes folders, and the images beside
        # them are no sheets.
        seeds=("$build/seeds-cue_fuzz")
        mkdir -p "${seeds[0]}"
        cp tests/data/cue/*.cue "${seeds[0]}/"
        max_len=16384
    else
        regressions=tests/data/fuzz
        seeds=(tests/data/ape)
        max_len=65536
    fi
    [ -d "$regressions" ] && seeds+=("$regressions")

    # The regression files first, each once: a finding that is back fails at
    # once and by name.
    if [ -d "$regressions" ] && ls "$regressions"/* > /dev/null 2>&1; then
        SDL_AUDIODRIVER=dummy "$fuzzer" -runs=1 "$regressions"/*
    fi

    SDL_AUDIODRIVER=dummy "$fuzzer" -max_len="$max_len" -max_total_time="$time" -timeout=25 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/crashes/" \
        "$build/corpus-$target" "${seeds[@]}"
}

if [ -n "${FUZZ_TARGET:-}" ]; then
    run "$FUZZ_TARGET" "$seconds"
else
    cue_seconds=$((seconds / 4))
    run engine_fuzz $((seconds - cue_seconds))
    run cue_fuzz "$cue_seconds"
fi
