#!/usr/bin/env bash
# `vellox info` on a 10,000-page file against the peers that read a whole
# file's directories: libtiff's `tiffinfo` and tifftools `dump` (pure
# Python, from a source copy). The file is the 200 CCITT G4 pages of W1
# (bench/run.sh) written 50 times over by `tiffcp` into one classic TIFF
# (libtiff's layout: each page's directory after its strips), made once and
# kept in the scratch folder.
#
# Prints the median wall time of each contender, its CPU time (user +
# system, median), its ratio to `vellox info --json`, and its output's size.
# The contenders take turns, one run each per round, after one untimed run
# each (the page cache is warm); standard output goes to a file, which is
# then measured and removed. It never fails on time; the exit status is
# non-zero only when something breaks, or when `vellox info` disagrees with
# tiffinfo on the page count.
#
#   bench/info.sh --tifftools DIR      DIR holds a tifftools source copy (the folder with its
#                                      `tifftools` package); without it its rows are left out
#   bench/info.sh --runs 3             fewer rounds (default 9; tifftools: --tifftools-runs, default 3)
#
# Options: --runs N, --tifftools-runs N, --tifftools DIR (also TIFFTOOLS_SRC),
# --dir DIR (scratch folder, default ${TMPDIR:-/tmp}/vellox-bench, shared with
# bench/run.sh), --build DIR (default build/bench).
#
# Debian packages: cmake ninja-build g++ libtiff-dev libtiff-tools time libcli11-dev (python3 for tifftools)
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=9
TT_RUNS=3
TIFFTOOLS=${TIFFTOOLS_SRC:-}
SCRATCH=${TMPDIR:-/tmp}/vellox-bench
BUILD=$ROOT/build/bench
SEED=20240611
COPIES=50
. "$ROOT/bench/common.sh"

while [[ $# -gt 0 ]]; do
  case $1 in
    --runs) RUNS=$2; shift 2 ;;
    --tifftools-runs) TT_RUNS=$2; shift 2 ;;
    --tifftools) TIFFTOOLS=$(cd "$2" && pwd); shift 2 ;;
    --dir) SCRATCH=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    -h|--help) sed -n '2,/^# Debian packages/p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
if [[ -n $TIFFTOOLS && ! -f $TIFFTOOLS/tifftools/__init__.py ]]; then
  echo "no tifftools package in $TIFFTOOLS" >&2
  exit 2
fi
for tool in cmake tiffcp tiffinfo /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (see the Debian packages in --help)" >&2; exit 1; }
done

echo "building release Vellox and the bench tools in $BUILD" >&2
build_bench_tools
VELLOX=$BUILD/cli/vellox

# The 10,000-page file, unless the scratch folder holds it from the same W1.
generate W1
FILE=$SCRATCH/info/pages-$((200 * COPIES)).tif
stamp="$(cat "$SCRATCH/w1/.stamp") copies=$COPIES"
if [[ ! -f $SCRATCH/info/.stamp || $(cat "$SCRATCH/info/.stamp") != "$stamp" ]]; then
  echo "making $FILE: the W1 pages $COPIES times over, with tiffcp" >&2
  mkdir -p "$SCRATCH/info"
  inputs=()
  for ((i = 0; i < COPIES; i++)); do inputs+=("$SCRATCH"/w1/*.tif); done
  rm -f "$FILE"
  tiffcp "${inputs[@]}" "$FILE"
  echo "$stamp" >"$SCRATCH/info/.stamp"
fi
PAGES=$(tiffinfo "$FILE" 2>/dev/null | grep -c '^TIFF Directory at')
if [[ $("$VELLOX" info "$FILE" | grep -c '^  page ') != "$PAGES" ]]; then
  echo "vellox info does not find the $PAGES pages tiffinfo finds" >&2
  exit 1
fi

# The contenders, each run as `contender NAME` with its output in $OUT.
command_of() {
  case $1 in
    vellox-json) CMD=("$VELLOX" info --json "$FILE") ;;
    vellox-text) CMD=("$VELLOX" info "$FILE") ;;
    tiffinfo) CMD=(tiffinfo "$FILE") ;;
    tifftools) CMD=(python3 -c "$TIFFTOOLS_MAIN" "$TIFFTOOLS" dump "$FILE") ;;
    tifftools-json) CMD=(python3 -c "$TIFFTOOLS_MAIN" "$TIFFTOOLS" dump --json "$FILE") ;;
  esac
}
NAMES=(vellox-json vellox-text tiffinfo)
[[ -n $TIFFTOOLS ]] && NAMES+=(tifftools tifftools-json)
OUT=$SCRATCH/info/out.txt
REPORT=$SCRATCH/info/time.txt

# One timed run of $1, its standard output into a file: appends its wall and
# CPU seconds to WALL[$1] and CPU[$1], and sets SIZE[$1] to its output's size.
time_once() {
  local start end
  command_of "$1"
  start=$EPOCHREALTIME
  /usr/bin/time -f '%U %S' -o "$REPORT" "${CMD[@]}" >"$OUT" 2>/dev/null
  end=$EPOCHREALTIME
  SIZE[$1]=$(stat -c %s "$OUT")
  rm -f "$OUT"
  WALL[$1]+="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }') "
  CPU[$1]+="$(awk '{ printf "%.6f", $1 + $2 }' "$REPORT") "
}

declare -A WALL CPU SIZE
for name in "${NAMES[@]}"; do
  command_of "$name"
  "${CMD[@]}" >/dev/null 2>&1  # warm-up
done
echo "timing ${NAMES[*]}: $RUNS rounds (tifftools $TT_RUNS)" >&2
for ((round = 0; round < RUNS; round++)); do
  for name in "${NAMES[@]}"; do
    [[ $name == tifftools* && $round -ge $TT_RUNS ]] && continue
    time_once "$name"
  done
done

med() { tr ' ' '\n' <<<"$1" | grep . | median; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
base=$(med "${WALL[vellox-json]}")
echo
echo "vellox info benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$FILE: $PAGES pages, $(($(stat -c %s "$FILE") / 1048576)) MiB; medians of $RUNS runs ($TT_RUNS of tifftools), page cache warm"
{
  echo "command median_ms cpu_ms ratio_to_vellox_json output_bytes"
  for name in "${NAMES[@]}"; do
    case $name in
      vellox-json) label="vellox_info_--json" ;;
      vellox-text) label="vellox_info" ;;
      tiffinfo) label="tiffinfo" ;;
      tifftools) label="tifftools_dump" ;;
      tifftools-json) label="tifftools_dump_--json" ;;
    esac
    wall=$(med "${WALL[$name]}")
    echo "$label $(ms "$wall") $(ms "$(med "${CPU[$name]}")") $(ratio "$wall" "$base") ${SIZE[$name]}"
  done
} | column -t
[[ -n $TIFFTOOLS ]] || echo "tifftools: no source copy given (--tifftools DIR), so no tifftools rows"
