#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer in
# a second build folder and runs the unit, conformance and window tests there.
#   sanitized-tests.sh [BUILD_DIR]     (default: build-asan)
# Leaks are checked too; scripts/lsan.supp names the one system library
# whose own leaks are suppressed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
jobs=${JOBS:-2}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANO_SANITIZE=ON > /dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The desktop and install tests check X servers, a tray and the installed
# layout, not our memory handling; they stay in the plain build.
cd "$build"
ctest --output-on-failure -j "$jobs" -E '^(tst_tray_xvfb|tst_tray_xvfb_notray|e2e_desktop|install_layout)$'
