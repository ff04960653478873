#!/usr/bin/env bash
# Fails when a layer includes a layer above it: the engine (src/audio) knows
# nothing of Qt or the rest, the logic (src/logic) nothing of the window.
# The libraries' links keep Qt Widgets and Gui out of the lower layers; this
# catches what a shared include root would let through.
set -euo pipefail
cd "$(dirname "$0")/../src"
status=0
check() {
    local folder=$1 pattern=$2
    if grep -rnE "^\s*#\s*include\s*[<\"]($pattern)" "$folder"; then
        echo "check-layers: $folder includes a higher layer (above)" >&2
        status=1
    fi
}
check audio 'Q|logic/|window/|app/'
check logic 'window/|app/'
check window 'app/'
exit $status
