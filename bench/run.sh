#!/usr/bin/env bash
# Vellox benchmark: one command that builds a release Vellox, generates the
# four workloads with libtiff, and prints per workload the median wall time
# of `cat INPUTS > OUT` (the I/O floor), `vellox merge` and `tiffcp`, each
# one's ratio to cat, their peak RSS (/usr/bin/time -v), and the result of a
# page-by-page libtiff check of Vellox's output against its inputs.
#
#   bench/run.sh                 full run (W3 is two ~540 MB pages; needs ~5 GB in the scratch dir)
#   bench/run.sh --quick         small W3 (--scale 0.05), fewer runs: a minute or two once generated
#
# Options:
#   --quick           W3 at scale 0.05, 3 timed runs, 1 tiffcp run
#   --runs N          timed runs of cat and vellox per workload (default 9)
#   --tiffcp-runs N   timed runs of tiffcp per workload (default 3; 0 skips tiffcp)
#   --scale F         W3 height scale, 0 < F <= 1 (default 1)
#   --only LIST       workloads to run, e.g. W1,W3 (default W1,W2,W3,W4)
#   --dir DIR         scratch folder for workloads and outputs (default ${TMPDIR:-/tmp}/vellox-bench)
#   --build DIR       build folder (default build/bench)
#
# Workloads are generated once per scratch folder and kept (a stamp file
# records the generator's hash, scale and seed); outputs are removed before
# every run and the page cache is warm (one untimed warm-up run of each
# command first). Every timed run is preceded by `sync`, so no run pays for
# the write-back of another's output. Benchmarks print figures and never fail
# on time; the script exits non-zero only when something breaks or the
# verification finds a page that differs.
#
# Debian packages: cmake ninja-build g++ libtiff-dev libtiff-tools time libcli11-dev
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=9
TIFFCP_RUNS=3
SCALE=1
ONLY=W1,W2,W3,W4
SCRATCH=${TMPDIR:-/tmp}/vellox-bench
BUILD=$ROOT/build/bench
SEED=20240611

while [[ $# -gt 0 ]]; do
  case $1 in
    --quick) RUNS=3; TIFFCP_RUNS=1; SCALE=0.05; shift ;;
    --runs) RUNS=$2; shift 2 ;;
    --tiffcp-runs) TIFFCP_RUNS=$2; shift 2 ;;
    --scale) SCALE=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --dir) SCRATCH=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    -h|--help) sed -n '2,30p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

install_missing() {
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  command -v g++ >/dev/null || missing+=(g++)
  command -v tiffcp >/dev/null || missing+=(libtiff-tools)
  [[ -x /usr/bin/time ]] || missing+=(time)
  [[ -f /usr/include/x86_64-linux-gnu/tiffio.h || -f /usr/include/tiffio.h ]] || missing+=(libtiff-dev)
  [[ -f /usr/include/CLI/CLI.hpp ]] || missing+=(libcli11-dev)
  if [[ ${#missing[@]} -gt 0 ]]; then
    if [[ $(id -u) -ne 0 ]]; then
      echo "missing Debian packages: ${missing[*]}" >&2
      exit 1
    fi
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

build() {
  cmake --preset release -B "$BUILD" -DVELLOX_BUILD_BENCH=ON -DVELLOX_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target vellox_cli vellox_bench_gen vellox_bench_verify >/dev/null
}

# Generates workload $1 unless the scratch folder already holds the same one.
generate() {
  local w=$1 dir=$SCRATCH/${1,,}
  local scale=1
  [[ $w == W3 ]] && scale=$SCALE
  local stamp
  stamp="$(sha256sum "$ROOT/bench/gen_workloads.cpp" | cut -c1-16) scale=$scale seed=$SEED"
  if [[ -f $dir/.stamp && $(cat "$dir/.stamp") == "$stamp" ]]; then return; fi
  "$BUILD/bench/vellox_bench_gen" "$SCRATCH" --only "$w" --scale "$scale" --seed "$SEED"
  echo "$stamp" >"$dir/.stamp"
}

# The three contenders; each writes $OUT/<name>.tif from INPUTS.
run_cat() { cat "${INPUTS[@]}" >"$OUT/cat.tif"; }
run_vellox() { "$BUILD/cli/vellox" merge -o "$OUT/vellox.tif" "${INPUTS[@]}" >/dev/null; }
run_tiffcp() { tiffcp "${INPUTS[@]}" "$OUT/tiffcp.tif"; }

# Wall time of one run of contender $1 in seconds, printed.
time_once() {
  rm -f "$OUT/$1.tif"
  sync
  local start=$EPOCHREALTIME
  "run_$1"
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Peak RSS in KiB of one run of contender $1, from /usr/bin/time -v.
peak_rss() {
  rm -f "$OUT/$1.tif"
  local report=$OUT/$1.time
  case $1 in
    cat) /usr/bin/time -v -o "$report" bash -c 'out=$1; shift; exec cat "$@" >"$out"' _ "$OUT/cat.tif" "${INPUTS[@]}" ;;
    vellox) /usr/bin/time -v -o "$report" "$BUILD/cli/vellox" merge -o "$OUT/vellox.tif" "${INPUTS[@]}" >/dev/null ;;
  esac
  awk -F': ' '/Maximum resident set size/ { print $2 }' "$report"
}

# cat and vellox: one warm-up each, then $1 timed runs in alternation, so
# that both see the same machine (other load drifts over a run). Sets T_CAT
# and T_VELLOX (median seconds).
measure_pair() {
  local runs=$1 cats=() vels=()
  run_cat
  run_vellox
  for ((i = 0; i < runs; i++)); do
    cats+=("$(time_once cat)")
    vels+=("$(time_once vellox)")
  done
  T_CAT=$(printf '%s\n' "${cats[@]}" | median)
  T_VELLOX=$(printf '%s\n' "${vels[@]}" | median)
}

# tiffcp takes seconds per run, so its runs are not repeated for memory: each
# timed run goes through /usr/bin/time -v, whose own cost is lost in the
# noise. Its inputs are already cached by the cat and vellox runs, so it
# gets no warm-up. Sets T_TIFFCP (median seconds) and RSS_TIFFCP (KiB).
measure_tiffcp() {
  local runs=$1 times=() rss=0 start end r
  for ((i = 0; i < runs; i++)); do
    rm -f "$OUT/tiffcp.tif"
    sync
    start=$EPOCHREALTIME
    /usr/bin/time -v -o "$OUT/tiffcp.time" tiffcp "${INPUTS[@]}" "$OUT/tiffcp.tif"
    end=$EPOCHREALTIME
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }')")
    r=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$OUT/tiffcp.time")
    ((r > rss)) && rss=$r
  done
  T_TIFFCP=$(printf '%s\n' "${times[@]}" | median)
  RSS_TIFFCP=$rss
}

ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

install_missing
echo "building release Vellox and the bench tools in $BUILD" >&2
build
mkdir -p "$SCRATCH/out"
OUT=$SCRATCH/out

ROWS=()
STATUS=0
for w in ${ONLY//,/ }; do
  generate "$w"
  INPUTS=("$SCRATCH/${w,,}"/*.tif)
  bytes=$(cat "${INPUTS[@]}" | wc -c)
  echo "$w: ${#INPUTS[@]} files, $((bytes / 1048576)) MiB: timing cat and vellox ($RUNS runs), tiffcp ($TIFFCP_RUNS runs)" >&2
  measure_pair "$RUNS"
  t_cat=$T_CAT t_vel=$T_VELLOX
  rss_cat=$(peak_rss cat)
  rss_vel=$(peak_rss vellox)
  if ! verdict=$("$BUILD/bench/vellox_bench_verify" "$OUT/vellox.tif" "${INPUTS[@]}" 2>&1); then
    STATUS=1
    verdict="FAILED: $verdict"
  fi
  tcp_times="- - -" tcp_rss="-"
  if [[ $TIFFCP_RUNS -gt 0 ]]; then
    measure_tiffcp "$TIFFCP_RUNS"
    tcp_times="$(ms "$T_TIFFCP") $(ratio "$T_TIFFCP" "$t_cat") $(ratio "$T_TIFFCP" "$t_vel")"
    tcp_rss=$(mib "$RSS_TIFFCP")
  fi
  rm -f "$OUT"/*.tif
  ROWS+=("$w ${#INPUTS[@]} $((bytes / 1048576)) $(ms "$t_cat") $(ms "$t_vel") $(ratio "$t_vel" "$t_cat") $tcp_times $(mib "$rss_cat") $(mib "$rss_vel") $tcp_rss ${verdict// /_}")
done

echo
echo "Vellox benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), page cache warm"
echo "medians of $RUNS runs (tiffcp: $TIFFCP_RUNS), W3 scale $SCALE"
{
  echo "workload files MiB cat_ms vellox_ms vellox/cat tiffcp_ms tiffcp/cat tiffcp/vellox RSS_cat_MiB RSS_vellox_MiB RSS_tiffcp_MiB verify"
  printf '%s\n' "${ROWS[@]}"
} | column -t
exit $STATUS
