#!/usr/bin/env bash
# Speed of the working tree's Vellox against another git revision's, on the
# same inputs in the same run, so that a change can show whether merge times
# move or stay within noise. Builds both (the working tree in build/bench,
# the other revision from a temporary git worktree, release, the vellox CLI
# only), then per workload times both builds in rounds, one run of each per
# round, the order swapped every round so that load that drifts over the run
# falls on both alike, and prints medians, new/old ratios, the spread
# (min..max) of each, the output sizes and page counts and a page-by-page
# libtiff check of the working tree's output.
#
#   bench/compare.sh REV [options]    REV: the revision to compare against (default HEAD)
#   bench/compare.sh 2132390          all defaults: about 3 minutes on a busy 2-core machine once
#                                     the workloads exist (generating them first: a few more)
#   bench/compare.sh 2132390 --scale 0.05 --runs 3 --docs 100     quick: about 2 minutes
#
# Options:
#   --runs N      timed rounds per workload (default 21 for W1 and W4, which take
#                 milliseconds, 9 for the others)
#   --scale F     W3 (and W5, W7) height scale, 0 < F <= 1 (default 1)
#   --only LIST   workloads, e.g. W1,W6 (default W1,W2,W3,W4,W6; W5, a 4.8 GB BigTIFF
#                 that needs ~15 GB free, and W7, a 16-bit page to transcode, only when
#                 asked for); W6 always runs last
#   --docs N      W6 documents of 5 single-page inputs each (default 500)
#   --dir DIR     scratch folder (default ${TMPDIR:-/tmp}/vellox-bench, shared with
#                 bench/run.sh and bench/batch.sh: workloads are generated once)
#   --build DIR   build folder of the working tree (default build/bench)
#
# W1-W5 and W7 are the workloads of bench/run.sh, each timed as one `vellox
# merge --format auto -o OUT INPUTS...`; W6 those of bench/batch.sh, timed as
# one `vellox batch -j 1 JOBS`. A merge that exits with status 3 (output
# written, but an input not copied whole: a revision from before transcoding
# leaves W7's 16-bit page out) is timed all the same and noted under the
# table; the page counts of both outputs show what it left out. Every timed run starts with the outputs of
# earlier runs gone (W6's moved aside and deleted at the end, as ext4 makes
# file creation slow for a minute after many deletions) and a `sync`; the
# page cache is warm (one untimed run of each build first, whose outputs
# give the sizes and page counts and are checked). Times are wall times of the command alone
# (bash's $EPOCHREALTIME, microseconds). The script never fails on time: it
# exits non-zero only when a build fails, a merge fails (status 3 excepted,
# as above) or the check finds a page that differs.
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REV=
RUNS=
SCALE=1
ONLY=W1,W2,W3,W4,W6
DOCS=500
SCRATCH=${TMPDIR:-/tmp}/vellox-bench
BUILD=$ROOT/build/bench
SEED=20240611
. "$ROOT/bench/common.sh"

while [[ $# -gt 0 ]]; do
  case $1 in
    --runs) RUNS=$2; shift 2 ;;
    --scale) SCALE=$2; shift 2 ;;
    --only) ONLY=${2^^}; shift 2 ;;
    --docs) DOCS=$2; shift 2 ;;
    --dir) SCRATCH=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
    -*) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    *)
      [[ -z $REV ]] || { echo "one revision only: $REV, $1" >&2; exit 2; }
      REV=$1
      shift
      ;;
  esac
done
REV=${REV:-HEAD}
[[ -z $RUNS || $RUNS =~ ^[1-9][0-9]*$ ]] || { echo "--runs: a positive number, not $RUNS" >&2; exit 2; }
[[ $DOCS =~ ^[1-9][0-9]*$ ]] || { echo "--docs: a positive number, not $DOCS" >&2; exit 2; }
awk -v s="$SCALE" 'BEGIN { exit !(s > 0 && s <= 1) }' || { echo "--scale: 0 < F <= 1, not $SCALE" >&2; exit 2; }
MERGES=() W6=false
for w in ${ONLY//,/ }; do
  case $w in
    W[1-57]) MERGES+=("$w") ;;
    W6) W6=true ;;
    *) echo "--only: W1 to W7, not $w" >&2; exit 2 ;;
  esac
done
OLD_SHA=$(git -C "$ROOT" rev-parse --verify --quiet "$REV^{commit}") || { echo "not a revision: $REV" >&2; exit 2; }
OLD_NAME="$(git -C "$ROOT" log -1 --format='%h (%s)' "$OLD_SHA")"
NEW_NAME="working tree at $(git -C "$ROOT" log -1 --format=%h HEAD)"
changed=$(git -C "$ROOT" status --porcelain --untracked-files=no | wc -l)
((changed == 0)) || NEW_NAME+=" + $changed changed files"
LOAD_START=$(uptime)

"$ROOT/scripts/install-deps.sh" build checks >&2
if $W6 && ! command -v python3 >/dev/null; then
  echo "W6 needs python3 to make its inputs" >&2
  exit 1
fi

# Everything of this run (the other revision's source and build, outputs)
# lives in WORK, removed on every exit, the worktree unregistered with it.
mkdir -p "$SCRATCH"
WORK=$(mktemp -d "$SCRATCH/compare.XXXXXX")
WT=$WORK/src
cleanup() {
  if [[ -e $WT ]] && ! git -C "$ROOT" worktree remove --force "$WT" 2>/dev/null; then
    rm -rf "$WT"
    git -C "$ROOT" worktree prune
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "building $OLD_NAME from a worktree in $WORK (release, vellox CLI only)" >&2
git -C "$ROOT" worktree add --detach --quiet "$WT" "$OLD_SHA"
if ! { cmake --preset release -S "$WT" -B "$WORK/build" && cmake --build "$WORK/build" -j2 --target vellox_cli; } \
  >"$WORK/build.log" 2>&1; then
  tail -40 "$WORK/build.log" >&2
  echo "building $OLD_NAME failed" >&2
  exit 1
fi
echo "building the working tree in $BUILD" >&2
# build_bench_tools sends the compiler's messages to /dev/null: on failure
# the build runs once more to show them.
set +e
(set -e; build_bench_tools)
rc=$?
set -e
if ((rc != 0)); then
  cmake --build "$BUILD" -j2 --target vellox_cli vellox_bench_verify 2>&1 | tail -40 >&2
  echo "building the working tree failed" >&2
  exit 1
fi
declare -A BIN=([old]=$WORK/build/cli/vellox [new]=$BUILD/cli/vellox)
VERIFY=$BUILD/bench/vellox_bench_verify
OUT=$WORK/out
mkdir -p "$OUT" "$WORK/aside"

# The workload's command for build $1 (old or new), writing its outputs:
# KIND merge writes $OUT/$1.tif from INPUTS, KIND batch the documents of
# $WORK/jobs-$1.tsv into $WORK/w6-$1. A merge's exit status 3 (the output
# written, an input not copied whole) counts as done; PARTIAL_EXIT notes it
# (in the shell that ran it: the untimed first run).
declare -A PARTIAL_EXIT=()
run_build() {
  local rc=0
  case $KIND in
    merge) "${BIN[$1]}" merge --format auto -o "$OUT/$1.tif" "${INPUTS[@]}" >/dev/null || rc=$? ;;
    batch) "${BIN[$1]}" batch -j 1 "$WORK/jobs-$1.tsv" >/dev/null || rc=$? ;;
  esac
  if [[ $KIND == merge && $rc -eq 3 ]]; then
    PARTIAL_EXIT[$1]=1
    return 0
  fi
  return $rc
}

# Pages in the last output of build $1 (merges; "-" for W6).
output_pages() {
  case $KIND in
    merge) tiffinfo "$OUT/$1.tif" 2>/dev/null | grep -c '^TIFF Directory at' || true ;;
    batch) echo - ;;
  esac
}

# Removes the outputs of earlier runs of both builds (W6's moved aside).
clear_outputs() {
  rm -f "$OUT"/*.tif
  if [[ $KIND == batch ]]; then
    local which
    for which in old new; do
      [[ -d $WORK/w6-$which ]] && mv "$WORK/w6-$which" "$WORK/aside/${EPOCHREALTIME/./}-$which"
      mkdir "$WORK/w6-$which"
    done
  fi
  return 0
}

# Bytes written by the last run of build $1.
output_bytes() {
  case $KIND in
    merge) stat -c %s "$OUT/$1.tif" ;;
    batch) find "$WORK/w6-$1" -name '*.tif' -printf '%s\n' | awk '{ s += $1 } END { printf "%d\n", s }' ;;
  esac
}

# One timed run of build $1: outputs cleared, disk synced; prints milliseconds.
timed_run() {
  clear_outputs
  sync
  local start=$EPOCHREALTIME
  run_build "$1" || return 1
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", (b - a) * 1000 }'
}

# Checks the working tree's last output against its inputs page by page.
# Sets VERDICT and PAGES (pages in the output); returns 1 when a page differs.
check_new() {
  local out
  case $KIND in
    merge)
      if out=$("$VERIFY" "$OUT/new.tif" "${INPUTS[@]}" 2>&1); then
        PAGES=${out%% *}
        VERDICT=$out
      else
        VERDICT="FAILED: $(tail -1 <<<"$out")"
        return 1
      fi
      ;;
    batch)
      # Every document there; the first, middle and last page by page.
      local count d fields checked=0
      PAGES=$((DOCS * 5))
      count=$(find "$WORK/w6-new" -name '*.tif' | wc -l)
      if ((count != DOCS)); then
        VERDICT="FAILED: $count of $DOCS documents written"
        return 1
      fi
      for d in $(printf '%s\n' 1 $((DOCS / 2 + 1)) "$DOCS" | sort -nu); do
        IFS=$'\t' read -r -a fields < <(sed -n "${d}p" "$WORK/jobs-new.tsv")
        if ! out=$("$VERIFY" "${fields[@]}" 2>&1); then
          VERDICT="FAILED: document $d: $(tail -1 <<<"$out")"
          return 1
        fi
        checked=$((checked + ${out%% *}))
      done
      VERDICT="$count documents, $checked pages of $(printf '%s\n' 1 $((DOCS / 2 + 1)) "$DOCS" | sort -nu | wc -l) verified"
      ;;
  esac
}

# Median, min and max of the numbers on standard input (one a line), in ms.
stats() {
  local values
  values=$(sort -n)
  printf '%s %s %s\n' "$(median <<<"$values")" "$(head -1 <<<"$values")" "$(tail -1 <<<"$values")"
}

STATUS=0
ROWS=()
NOTES=()
# Times workload $1 (KIND and INPUTS or the job lists set) in $2 rounds and
# adds its row to ROWS.
measure() {
  local w=$1 runs=$2 i which t old_bytes new_bytes old_pages new_pages
  local -A times=([old]= [new]=)
  echo "$w: warm-up, check, $runs rounds of old and new" >&2
  clear_outputs
  PARTIAL_EXIT=()
  for which in old new; do
    run_build "$which" || { echo "$w: the $which build's run failed" >&2; exit 1; }
  done
  old_bytes=$(output_bytes old)
  new_bytes=$(output_bytes new)
  old_pages=$(output_pages old)
  new_pages=$(output_pages new)
  for which in old new; do
    [[ -z ${PARTIAL_EXIT[$which]:-} ]] ||
      NOTES+=("$w: the $which build exited with status 3 (output written, an input not copied whole); pages in its output: $(output_pages "$which")")
  done
  check_new || STATUS=1
  for ((i = 0; i < runs; i++)); do
    for which in $( ((i % 2 == 0)) && echo old new || echo new old); do
      t=$(timed_run "$which") || { echo "$w: the $which build's run failed" >&2; exit 1; }
      times[$which]+="$t"$'\n'
    done
  done
  clear_outputs
  read -r om omin omax <<<"$(printf '%s' "${times[old]}" | stats)"
  read -r nm nmin nmax <<<"$(printf '%s' "${times[new]}" | stats)"
  ROWS+=("$(awk -v w="$w" -v r="$runs" -v om="$om" -v omin="$omin" -v omax="$omax" -v nm="$nm" -v nmin="$nmin" \
    -v nmax="$nmax" -v ob="$old_bytes" -v nb="$new_bytes" -v p="$PAGES" -v pg="$old_pages/$new_pages" \
    -v v="${VERDICT// /_}" 'BEGIN {
      printf "%s %d %.1f %.1f %.3f %.1f..%.1f %.1f..%.1f %s %d %d %+d %+.1f %s %s\n", w, r, om, nm, nm / om,
        omin, omax, nmin, nmax, (nm >= omin && nm <= omax ? "yes" : "no"), ob, nb, nb - ob, (nb - ob) / p, pg, v }')")
}

KIND=merge
for w in "${MERGES[@]}"; do
  scale=1
  [[ $w == W3 || $w == W5 || $w == W7 ]] && scale=$SCALE
  generate "$w" "$scale"
  INPUTS=("$SCRATCH/${w,,}"/*.tif)
  runs=$RUNS
  [[ -n $runs ]] || { [[ $w == W1 || $w == W4 ]] && runs=21 || runs=9; }
  measure "$w" "$runs"
done
if $W6; then
  KIND=batch
  generate_w6 "$DOCS"
  # The shared job list with each build's outputs in a folder of its own.
  for which in old new; do
    awk -v dir="$WORK/w6-$which" 'BEGIN { FS = OFS = "\t" } { n = split($1, p, "/"); $1 = dir "/" p[n]; print }' \
      "$SCRATCH/w6/jobs.tsv" >"$WORK/jobs-$which.tsv"
  done
  measure W6 "${RUNS:-9}"
  echo "deleting W6's outputs" >&2
  rm -rf "$WORK/aside"
fi

echo
echo "Vellox, new: $NEW_NAME; old: $OLD_NAME"
echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), page cache warm"
echo "rounds of one run of each build, order swapped every round, sync before every run; W3/W5/W7 scale $SCALE; W6 $DOCS documents, batch -j 1"
echo "load at start: ${LOAD_START#*load average: }; at end: $(uptime | sed 's/.*load average: //')"
{
  echo "workload rounds old_ms new_ms new/old old_min..max new_min..max new_in_old_range old_bytes new_bytes new-old_bytes per_page pages_old/new verify_new"
  printf '%s\n' "${ROWS[@]}"
} | column -t
[[ ${#NOTES[@]} -eq 0 ]] || printf '%s\n' "${NOTES[@]}"
exit $STATUS
