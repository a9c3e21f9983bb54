#!/usr/bin/env bash
# Vellox in pipelines: the W6 benchmark (many small merges) and the Python
# package against tifftools, same inputs, same run.
#
#   W6: DOCS documents (default 2000), each merged from 5 single-page CCITT
#   G4 files (copies of the W1 files of bench/run.sh). Prints documents per
#   second and peak RSS of
#     vellox batch -j 1, vellox batch -j 2          (wall time of the process)
#     vellox.merge_many, workers=1 and workers=2    (time of the call)
#     a Python loop of vellox.merge                 (time of the loop)
#     a Python loop of tifftools.tiff_concat        (time of the loop)
#   and the CPU time of each (user and system; a busy machine stretches wall
#   time, much less CPU time), and checks the first, middle and last
#   document of every contender against its inputs page by page with libtiff.
#
#   Then one merge of whole workloads of bench/run.sh (default W1, W2, W4)
#   with vellox.merge and tifftools.tiff_concat: median seconds of each.
#
#   bench/batch.sh --tifftools DIR     DIR holds a tifftools source copy (its
#                                      `tifftools` package folder); without it
#                                      the tifftools rows are left out
#   bench/batch.sh --quick             500 documents, 3 runs, W1 only
#
# Options:
#   --docs N            W6 documents (default 2000)
#   --runs N            timed runs of each Vellox contender (default 5; median)
#   --tifftools-runs N  timed runs of the tifftools loop (default 1)
#   --concat LIST       workloads of the second table (default W1,W2,W4; none: skip)
#   --tifftools DIR     the tifftools source copy
#   --dir DIR           scratch folder (default ${TMPDIR:-/tmp}/vellox-bench, shared with bench/run.sh)
#   --build DIR         build folder (default build/bench, shared with bench/run.sh)
#
# Each run writes into an empty folder, the disk synced first; earlier runs'
# outputs are moved aside and deleted at the end (about 0.4 GB a run, 12 GB
# for the default 31 runs), so no run pays for deleting another's. The page
# cache is warm (one untimed run of each contender first); the contenders
# take turns, one run each per round. Benchmarks print figures and never
# fail on time; the script exits non-zero only when something breaks or a
# checked page differs.
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DOCS=2000
RUNS=5
TT_RUNS=1
CONCAT=W1,W2,W4
TIFFTOOLS=${TIFFTOOLS_SRC:-}
SCRATCH=${TMPDIR:-/tmp}/vellox-bench
BUILD=$ROOT/build/bench
SEED=20240611
. "$ROOT/bench/common.sh"
PYTHON=/usr/bin/python3

while [[ $# -gt 0 ]]; do
  case $1 in
    --quick) DOCS=500; RUNS=3; CONCAT=W1; shift ;;
    --docs) DOCS=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --tifftools-runs) TT_RUNS=$2; shift 2 ;;
    --concat) CONCAT=$2; shift 2 ;;
    --tifftools) TIFFTOOLS=$(cd "$2" && pwd); shift 2 ;;
    --dir) SCRATCH=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    -h|--help) sed -n '2,37p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
[[ $CONCAT == none ]] && CONCAT=
if [[ -n $TIFFTOOLS && ! -f $TIFFTOOLS/tifftools/__init__.py ]]; then
  echo "no tifftools package in $TIFFTOOLS" >&2
  exit 2
fi
export TIFFTOOLS_SRC=$TIFFTOOLS

"$ROOT/scripts/install-deps.sh" build checks python >&2

echo "building release Vellox, the bench tools and the Python package in $BUILD" >&2
build_bench_tools
VENV=$BUILD/venv
[[ -x $VENV/bin/python ]] || "$PYTHON" -m venv --system-site-packages "$VENV"
(cd "$ROOT" && "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall . >&2)
VELLOX=$BUILD/cli/vellox
VERIFY=$BUILD/bench/vellox_bench_verify
BENCH_PY=("$VENV/bin/python" "$ROOT/bench/python_bench.py")

# Runs contender $1 once with W6's outputs cleared; prints "seconds peak_KiB
# cpu_seconds" (the process's user and system time, start-up included).
w6_once() {
  local out=$SCRATCH/w6/out start end seconds
  # The last run's outputs are moved aside, not deleted, until the end:
  # ext4 without a journal (as on these VMs) does not reuse an inode freed
  # less than a minute ago, so after 2,000 deletions every file created
  # scans past them, and the run would time the clean-up of the one before.
  [[ -d $out ]] && mv "$out" "$SCRATCH/w6/old-${EPOCHREALTIME/./}"
  mkdir -p "$out" && sync
  start=$EPOCHREALTIME
  case $1 in
    batch-j1) /usr/bin/time -f "%M %U %S" -o "$SCRATCH/w6/rss" "$VELLOX" batch -j 1 "$SCRATCH/w6/jobs.tsv" >/dev/null ;;
    batch-j2) /usr/bin/time -f "%M %U %S" -o "$SCRATCH/w6/rss" "$VELLOX" batch -j 2 "$SCRATCH/w6/jobs.tsv" >/dev/null ;;
    merge_many-w1 | merge_many-w2)
      seconds=$(/usr/bin/time -f "%M %U %S" -o "$SCRATCH/w6/rss" "${BENCH_PY[@]}" jobs merge_many --workers "${1: -1}" \
        "$SCRATCH/w6/jobs.tsv") ;;
    merge-loop | tifftools)
      seconds=$(/usr/bin/time -f "%M %U %S" -o "$SCRATCH/w6/rss" "${BENCH_PY[@]}" jobs "${1/merge-loop/merge_loop}" \
        "$SCRATCH/w6/jobs.tsv") ;;
  esac
  end=$EPOCHREALTIME
  if [[ -n ${seconds:-} ]]; then
    seconds=${seconds#seconds=}
  else
    seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
  fi
  awk -v s="$seconds" 'END { printf "%s %d %.3f\n", s, $1, $2 + $3 }' "$SCRATCH/w6/rss"
}

# Checks the outputs of the last run: all there, three of them page by page.
w6_verify() {
  local count d line
  count=$(find "$SCRATCH/w6/out" -name '*.tif' | wc -l)
  [[ $count == "$DOCS" ]] || { echo "$count of $DOCS outputs"; return 1; }
  for d in 1 $((DOCS / 2 + 1)) "$DOCS"; do
    line=$(sed -n "${d}p" "$SCRATCH/w6/jobs.tsv")
    IFS=$'\t' read -r -a fields <<<"$line"
    "$VERIFY" "${fields[@]}" >/dev/null 2>&1 || { echo "document $d differs"; return 1; }
  done
  echo "ok"
}

STATUS=0
generate_w6 "$DOCS"
contenders=(batch-j1 batch-j2 merge_many-w1 merge_many-w2 merge-loop)
[[ -n $TIFFTOOLS ]] && contenders+=(tifftools)
declare -A T RSS CHECK TIMES CPUS CPU
# Rounds of one run of each contender, so that load that comes and goes
# falls on all of them alike; one untimed round first.
echo "W6: 1 warm-up round, $RUNS timed rounds (tifftools in the first $TT_RUNS)" >&2
for c in "${contenders[@]}"; do
  [[ $c == tifftools ]] || w6_once "$c" >/dev/null
done
for ((i = 0; i < RUNS; i++)); do
  for c in "${contenders[@]}"; do
    [[ $c == tifftools && $i -ge $TT_RUNS ]] && continue
    read -r s r u < <(w6_once "$c")
    TIMES[$c]+="$s "
    CPUS[$c]+="$u "
    ((r > ${RSS[$c]:-0})) && RSS[$c]=$r
    if [[ $i == 0 ]]; then CHECK[$c]=$(w6_verify) || STATUS=1; fi
  done
done
for c in "${contenders[@]}"; do
  T[$c]=$(printf '%s\n' ${TIMES[$c]} | median)
  CPU[$c]=$(printf '%s\n' ${CPUS[$c]} | median)
done
rm -rf "$SCRATCH/w6/out" "$SCRATCH"/w6/old-*

echo
echo "W6, $(date -u +%Y-%m-%d), $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), page cache warm"
echo "$DOCS documents x 5 single-page G4 files; medians of $RUNS runs (tifftools: $TT_RUNS)"
{
  echo "contender seconds docs/s vs_batch-j1 vs_tifftools cpu_seconds docs/cpu_s peak_RSS_MiB check"
  for c in "${contenders[@]}"; do
    awk -v c="$c" -v t="${T[$c]}" -v d="$DOCS" -v j1="${T[batch-j1]}" -v tt="${T[tifftools]:-}" \
      -v u="${CPU[$c]}" -v r="${RSS[$c]}" -v k="${CHECK[$c]}" 'BEGIN { printf "%s %.3f %.0f %.2f %s %.2f %.0f %.1f %s\n",
        c, t, d / t, j1 / t, (tt == "" ? "-" : sprintf("%.1f", tt / t)), u, d / u, r / 1024, k }'
  done
} | column -t

if [[ -n $CONCAT ]]; then
  echo
  echo "one merge of a whole workload: median seconds of $RUNS runs (tifftools: $TT_RUNS)"
  rows=("workload files MiB vellox.merge_s tifftools_s tifftools/vellox verify_vellox verify_tifftools")
  for w in ${CONCAT//,/ }; do
    generate "$w"
    inputs=("$SCRATCH/${w,,}"/*.tif)
    mib=$(($(cat "${inputs[@]}" | wc -c) / 1048576))
    echo "$w: vellox.merge and tifftools.tiff_concat" >&2
    out=$SCRATCH/out-python
    mkdir -p "$out"
    tv=$("${BENCH_PY[@]}" concat vellox --runs "$RUNS" "$out/vellox.tif" "${inputs[@]}")
    tv=${tv#seconds=}
    vv=$("$VERIFY" "$out/vellox.tif" "${inputs[@]}" 2>&1 | tail -1) || { STATUS=1; vv="FAILED: $vv"; }
    tt=- ratio=- vt=-
    if [[ -n $TIFFTOOLS ]]; then
      tt=$("${BENCH_PY[@]}" concat tifftools --runs "$TT_RUNS" "$out/tifftools.tif" "${inputs[@]}")
      tt=${tt#seconds=}
      ratio=$(awk -v a="$tt" -v b="$tv" 'BEGIN { printf "%.1f", a / b }')
      # tifftools' output is checked, not trusted: a mismatch is reported, not fatal.
      vt=$("$VERIFY" "$out/tifftools.tif" "${inputs[@]}" 2>&1 | tail -1) || vt="differs: $vt"
    fi
    rm -rf "$out"
    rows+=("$w ${#inputs[@]} $mib $tv $tt $ratio ${vv// /_} ${vt// /_}")
  done
  printf '%s\n' "${rows[@]}" | column -t
fi
exit $STATUS
