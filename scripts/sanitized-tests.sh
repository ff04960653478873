#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer (the
# asan preset, in build-asan) and runs the unit, conformance and window tests
# there; CMakePresets.json holds the sanitizer options and the tests it leaves
# out (X servers, a tray and the installed layout check no memory handling of
# ours). Leaks are checked too; scripts/lsan.supp names the system libraries
# whose own leaks are suppressed.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

cmake --preset asan > /dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"
