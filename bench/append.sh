#!/usr/bin/env bash
# Appending in place against merging again, and against tifffile's append.
#
#   A1: one ~50 KB CCITT G4 page (the largest W1 file) appended with
#       `vellox append` to targets of 10 MB, 100 MB and 1 GB, of two kinds:
#         fax    documents of W1's G4 pages (about 230, 2,300 and 23,000 pages)
#         large  documents of 10 MB uncompressed grey pages (1, 10 and 100 pages)
#       median wall time per target (the runs alternate between the three
#       sizes), each one's ratio to the 10 MB target's, the same appends by
#       vellox.append within one Python process (no process start), and `vellox merge
#       --format auto` of the same result (the 1 GB target and the page into
#       a new file; median of 3), without and with --sync (an append always
#       flushes its pages to the disk), with the append's share of each.
#   A2: a 2,000-page document built one page at a time from a ~50 KB
#       Deflate grey page (bench/append_bench.py), by
#         vellox append      a process per page (`vellox merge` makes the first)
#         vellox.append      a Python loop in one process
#         tifffile           a Python loop of tifffile.imwrite(..., append=True), handed the
#                            page's compressed strips (neither side decodes a pixel); and the
#                            same with os.fsync after each page, as durable as an append
#         re-merge           `vellox merge -o doc.tif doc.tif page.tif` per page, stopped after
#                            --budget seconds and extrapolated: each step's time grows linearly
#                            with the document, so a least-squares line through the measured
#                            steps gives the rest
#       total seconds, per page, and each against `vellox append`; every
#       document is checked: 2,000 pages, the first and last page by page with
#       libtiff, the vellox ones whole.
#   Prints `uptime` before and after: other builds on the machine stretch
#   the times.
#
#   bench/append.sh                  A1 with 9 rounds, A2 with a 300 s re-merge budget (~15 min)
#   bench/append.sh --quick          3 rounds, 200-page A2, 30 s budget
#
# Options: --runs N (A1 rounds, default 9), --pages N (A2 document, default 2000),
# --budget S (re-merge seconds, default 300), --only A1|A2, --dir DIR (scratch,
# default ${TMPDIR:-/tmp}/vellox-bench; needs ~2.3 GB), --build DIR (default build/bench).
#
# Every timed run of A1 is preceded by `sync`; targets grow by a page a run,
# which is lost in their size. Benchmarks print figures and never fail on
# time; the script exits non-zero only when something breaks or a check
# fails.
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=9
PAGES=2000
BUDGET=300
ONLY=A1,A2
SCRATCH=${TMPDIR:-/tmp}/vellox-bench
BUILD=$ROOT/build/bench
SEED=20240611
. "$ROOT/bench/common.sh"
PYTHON=/usr/bin/python3

while [[ $# -gt 0 ]]; do
  case $1 in
    --quick) RUNS=3; PAGES=200; BUDGET=30; shift ;;
    --runs) RUNS=$2; shift 2 ;;
    --pages) PAGES=$2; shift 2 ;;
    --budget) BUDGET=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --dir) SCRATCH=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

"$ROOT/scripts/install-deps.sh" build checks python >&2
echo "building release Vellox, the bench tools and the Python package in $BUILD" >&2
build_bench_tools
VENV=$BUILD/venv
[[ -x $VENV/bin/python ]] || "$PYTHON" -m venv --system-site-packages "$VENV"
(cd "$ROOT" && "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall . >&2)
VELLOX=$BUILD/cli/vellox
VERIFY=$BUILD/bench/vellox_bench_verify
WORK=$SCRATCH/append
mkdir -p "$WORK"

seconds_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.6f\n", b - a }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
pages_of() { tiffinfo "$1" 2>/dev/null | grep -c '^TIFF Directory'; }
# A document of $2 pages, each page $1, checked with libtiff page by page.
verify_repeated() {
  local page=$1 count=$2 doc=$3 inputs=()
  for ((i = 0; i < count; i++)); do inputs+=("$page"); done
  "$VERIFY" "$doc" "${inputs[@]}" >/dev/null 2>&1
}

echo "load before: $(uptime)"
STATUS=0

if [[ $ONLY == *A1* ]]; then
  generate W1
  PAGE=$(ls -S "$SCRATCH"/w1/*.tif | head -1)  # the largest W1 page
  # A 10 MB uncompressed page: W3 at 1/54 of its height, generated apart from W3 itself.
  LARGE=$WORK/large-page.tif
  if [[ ! -f $LARGE ]]; then
    "$BUILD/bench/vellox_bench_gen" "$WORK/gen" --only W3 --scale 0.0185 --seed "$SEED" >/dev/null
    mv "$WORK/gen/w3/000.tif" "$LARGE"
    rm -rf "$WORK/gen"
  fi
  # The targets: fax (W1's 200 pages merged, then that file repeated) and large.
  "$VELLOX" merge --format auto -o "$WORK/w1-all.tif" "$SCRATCH"/w1/*.tif >/dev/null
  w1_bytes=$(stat -c %s "$WORK/w1-all.tif")
  declare -A TARGET_PAGES
  for kind in fax large; do
    for size in 10 100 1000; do
      target=$WORK/a1-$kind-$size.tif
      if [[ $kind == fax ]]; then
        copies=$(( (size * 1000000 + w1_bytes - 1) / w1_bytes ))
        parts=(); for ((i = 0; i < copies; i++)); do parts+=("$WORK/w1-all.tif"); done
      else
        parts=(); for ((i = 0; i < size / 10; i++)); do parts+=("$LARGE"); done
      fi
      "$VELLOX" merge --format auto -o "$target" "${parts[@]}" >/dev/null
      TARGET_PAGES[$kind-$size]=$(pages_of "$target")
    done
  done
  echo
  echo "A1: one $(( $(stat -c %s "$PAGE") / 1000 )) KB G4 page appended ($(basename "$PAGE") of W1), median of $RUNS alternating rounds"
  printf '| target | MB | pages | append ms | min..max | vs 10 MB | vellox.append ms | merge of the 1 GB result ms | append / merge | merge --sync ms | append / merge --sync |\n'
  printf '|---|---|---|---|---|---|---|---|---|---|---|\n'
  for kind in fax large; do
    declare -A T=()
    for ((r = 0; r < RUNS; r++)); do
      for size in 10 100 1000; do
        sync
        start=$EPOCHREALTIME
        "$VELLOX" append "$WORK/a1-$kind-$size.tif" "$PAGE" >/dev/null
        T[$size]+="$(seconds_since "$start") "
      done
    done
    mapfile -t inside < <("$VENV/bin/python" "$ROOT/bench/append_bench.py" a1 "$RUNS" "$PAGE" \
      "$WORK/a1-$kind-10.tif" "$WORK/a1-$kind-100.tif" "$WORK/a1-$kind-1000.tif")
    declare -A INSIDE=([10]=${inside[0]} [100]=${inside[1]} [1000]=${inside[2]})
    merges=() synced=()
    for ((r = 0; r < 3; r++)); do
      for flag in "" --sync; do
        rm -f "$WORK/merged.tif"
        sync
        start=$EPOCHREALTIME
        "$VELLOX" merge --format auto $flag -o "$WORK/merged.tif" "$WORK/a1-$kind-1000.tif" "$PAGE" >/dev/null
        if [[ -z $flag ]]; then merges+=("$(seconds_since "$start")"); else synced+=("$(seconds_since "$start")"); fi
      done
    done
    merge=$(printf '%s\n' "${merges[@]}" | median)
    merge_sync=$(printf '%s\n' "${synced[@]}" | median)
    rm -f "$WORK/merged.tif"
    base=$(tr ' ' '\n' <<<"${T[10]}" | sed '/^$/d' | median)
    for size in 10 100 1000; do
      values=$(tr ' ' '\n' <<<"${T[$size]}" | sed '/^$/d')
      med=$(median <<<"$values")
      printf '| %s | %s | %s | %s | %s..%s | %.2f | %s | %s | %s | %s | %s |\n' "$kind" "$size" "${TARGET_PAGES[$kind-$size]}" \
        "$(ms "$med")" "$(ms "$(sort -n <<<"$values" | head -1)")" "$(ms "$(sort -n <<<"$values" | tail -1)")" \
        "$(awk -v a="$med" -v b="$base" 'BEGIN { print a / b }')" "${INSIDE[$size]}" \
        "$([[ $size == 1000 ]] && ms "$merge" || echo -)" \
        "$([[ $size == 1000 ]] && awk -v a="$med" -v b="$merge" 'BEGIN { printf "%.2f %%", 100 * a / b }' || echo -)" \
        "$([[ $size == 1000 ]] && ms "$merge_sync" || echo -)" \
        "$([[ $size == 1000 ]] && awk -v a="$med" -v b="$merge_sync" 'BEGIN { printf "%.2f %%", 100 * a / b }' || echo -)"
    done
    for size in 10 100 1000; do
      got=$(pages_of "$WORK/a1-$kind-$size.tif")
      if [[ $got != "$(( TARGET_PAGES[$kind-$size] + 2 * RUNS ))" ]]; then
        echo "check: the $kind $size MB target has $got pages, not $(( TARGET_PAGES[$kind-$size] + 2 * RUNS ))" >&2
        STATUS=1
      fi
    done
  done
  rm -f "$WORK"/a1-*.tif
fi

if [[ $ONLY == *A2* ]]; then
  PAGE2=$WORK/a2-page.tif
  "$VENV/bin/python" "$ROOT/bench/append_bench.py" page "$PAGE2"
  A2=$WORK/a2
  rm -rf "$A2" && mkdir -p "$A2"
  declare -A TOTAL
  # vellox append, a process per page.
  sync
  start=$EPOCHREALTIME
  "$VELLOX" merge -o "$A2/cli.tif" "$PAGE2" >/dev/null
  for ((i = 1; i < PAGES; i++)); do "$VELLOX" append "$A2/cli.tif" "$PAGE2" >/dev/null; done
  TOTAL[cli]=$(seconds_since "$start")
  # vellox.append in one Python process.
  "$VELLOX" merge -o "$A2/python.tif" "$PAGE2" >/dev/null
  sync
  TOTAL[python]=$("$VENV/bin/python" "$ROOT/bench/append_bench.py" vellox "$A2/python.tif" "$PAGE2" "$PAGES")
  TOTAL[python]=${TOTAL[python]#seconds=}
  # tifffile's append mode, as it is and flushed after every page.
  for mode in tifffile tifffile-fsync; do
    sync
    TOTAL[$mode]=$("$VENV/bin/python" "$ROOT/bench/append_bench.py" $mode "$A2/$mode.tif" "$PAGE2" "$PAGES")
    TOTAL[$mode]=${TOTAL[$mode]#seconds=}
  done
  # Merging again for every page, within the budget.
  sync
  "$VELLOX" merge -o "$A2/remerge.tif" "$PAGE2" >/dev/null
  steps=$A2/remerge-steps
  : >"$steps"
  begun=$EPOCHREALTIME
  for ((i = 1; i < PAGES; i++)); do
    start=$EPOCHREALTIME
    "$VELLOX" merge -o "$A2/remerge.tif" "$A2/remerge.tif" "$PAGE2" >/dev/null
    echo "$i $(seconds_since "$start")" >>"$steps"
    [[ $(awk -v a="$begun" -v b="$EPOCHREALTIME" -v l="$BUDGET" 'BEGIN { print (b - a > l) }') == 1 ]] && break
  done
  done_steps=$(wc -l <"$steps")
  # Step i merges a document of i pages: time = a + b * i, fitted by least squares.
  read -r measured fitted <<<"$(awk -v n="$PAGES" '
    { x[NR] = $1; y[NR] = $2; sx += $1; sy += $2; sxx += $1 * $1; sxy += $1 * $2; total += $2 }
    END {
      b = (NR * sxy - sx * sy) / (NR * sxx - sx * sx); a = (sy - b * sx) / NR
      rest = 0; for (i = NR + 1; i < n; i++) rest += a + b * i
      printf "%.6f %.6f\n", total, total + rest }' "$steps")"
  TOTAL[remerge]=$fitted

  echo
  echo "A2: a $PAGES-page document built a page at a time from one $(( $(stat -c %s "$PAGE2") / 1000 )) KB Deflate grey page"
  printf '| contender | s | ms per page | vs vellox append | document MB | check |\n'
  printf '|---|---|---|---|---|---|\n'
  for who in cli python tifffile tifffile-fsync remerge; do
    doc=$A2/$who.tif
    case $who in
      cli) name='`vellox append` (a process per page)' ;;
      python) name='`vellox.append` (one Python process)' ;;
      tifffile) name='tifffile `imwrite(append=True)`' ;;
      tifffile-fsync) name='tifffile `imwrite(append=True)`, `os.fsync` after each page' ;;
      remerge)
        name="re-merge per page ($done_steps steps in $(printf '%.0f' "$measured") s"
        if [[ $done_steps -lt $((PAGES - 1)) ]]; then name+=", the rest extrapolated)"; else name+=", all measured)"; fi ;;
    esac
    if [[ $who == remerge ]]; then
      check="$(pages_of "$doc") pages after $done_steps steps"
      verify_repeated "$PAGE2" "$((done_steps + 1))" "$doc" || { check+=", DIFFERS"; STATUS=1; }
    else
      got=$(pages_of "$doc")
      check="$got pages"
      [[ $got == "$PAGES" ]] || STATUS=1
      verify_repeated "$PAGE2" "$PAGES" "$doc" && check+=", all equal" || { check+=", DIFFERS"; STATUS=1; }
    fi
    printf '| %s | %.1f | %.2f | %.2fx | %.1f | %s |\n' "$name" "${TOTAL[$who]}" \
      "$(awk -v s="${TOTAL[$who]}" -v n="$PAGES" 'BEGIN { print 1000 * s / n }')" \
      "$(awk -v s="${TOTAL[$who]}" -v c="${TOTAL[cli]}" 'BEGIN { print s / c }')" \
      "$(awk -v b="$(stat -c %s "$doc")" 'BEGIN { print b / 1e6 }')" "$check"
  done
  rm -rf "$A2"
fi

echo
echo "load after: $(uptime)"
exit $STATUS
