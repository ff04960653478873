#!/usr/bin/env bash
# Fails, naming each place, when clang-format would change a C++ source: the
# tracked .cpp, .h and .inc files in a git checkout, the source folders'
# files otherwise. The `format-check` build target runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format > /dev/null; then
    echo "format-check: clang-format is not installed (scripts/install-deps.sh test)" >&2
    exit 1
fi
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    git ls-files -z '*.cpp' '*.h' '*.inc'
else
    find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.inc' \) -print0
fi | xargs -0 clang-format --dry-run -Werror
