#!/usr/bin/env bash
# Runs a VBScript with Wine's cscript and passes only when the script
# printed its success marker (cscript exits 0 even when a script fails).
#   run_vbscript.sh SCRIPT.vbs MARKER [UNIX-PATH-ARGUMENT...]
# Arguments are handed to the script as Windows paths.
set -euo pipefail
wine=${WINE:-wine}
script=$1
marker=$2
shift 2
arguments=()
for path in "$@"; do arguments+=("$(winepath -w "$path" 2>/dev/null)"); done
output=$("$wine" cscript //nologo "$(winepath -w "$script" 2>/dev/null)" "${arguments[@]}" </dev/null 2>&1 | tr -d '\r') || true
printf '%s\n' "$output"
grep -qxF "$marker" <<<"$output"
