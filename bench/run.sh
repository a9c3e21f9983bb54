#!/usr/bin/env bash
# Vellox benchmark: one command that builds a release Vellox, generates the
# six workloads with libtiff, and prints per workload the median wall time
# of `cat INPUTS > OUT` (the I/O floor), `vellox merge --format auto`,
# `tiffcp` (`tiffcp -8` for W5, whose output passes 4 GiB; `tiffcp -L -c
# zip:2` for W7) and tifftools `concat` (from a source copy, when given),
# each one's ratio to cat, their peak RSS (/usr/bin/time -v), the format
# Vellox wrote, and the result of a page-by-page libtiff check of Vellox's
# output against its inputs and of `tiffinfo -D` reading it. For W7, whose
# big-endian 16-bit Deflate page Vellox transcodes into the little-endian
# output, it also prints the MB/s of decoded 16-bit samples that Vellox and
# tiffcp (encoding with libdeflate, its default, and with zlib, as Vellox
# does) carry through decoding and encoding again.
#
#   bench/run.sh                 full run: W3 is two ~540 MB pages, W5 three ~1.6 GB pages merged into
#                                one ~4.8 GB BigTIFF (needs ~15 GB in the scratch dir; left out with
#                                a note when the room is not there); about 25 minutes on 2 cores
#   bench/run.sh --quick         small W3, W5 and W7 (--scale 0.05), fewer runs: a few minutes once generated
#   bench/run.sh --only W7 --tiffcp-runs 3     the transcoding row alone: about a minute
#
# Options:
#   --quick           W3, W5 and W7 at scale 0.05, 3 timed runs, 1 run of each peer
#   --runs N          timed runs of cat and vellox per workload (default 9; W5 too: its times
#                     vary most, as writing 4.8 GB meets the kernel's write-back pacing)
#   --tiffcp-runs N   timed runs of tiffcp and of tifftools per workload (default 3; 0 skips both)
#   --tifftools DIR   a tifftools source copy (the folder that holds its `tifftools` package); also
#                     TIFFTOOLS_SRC; without one the tifftools columns show "-"
#   --scale F         W3, W5 and W7 height scale, 0 < F <= 1 (default 1)
#   --only LIST       workloads to run, e.g. W1,W3 (default W1,W2,W3,W4,W5,W7)
#   --dir DIR         scratch folder for workloads and outputs (default ${TMPDIR:-/tmp}/vellox-bench)
#   --build DIR       build folder (default build/bench)
#
# Workloads are generated once per scratch folder and kept (a stamp file
# records the generator's hash, scale and seed); outputs are removed before
# every run and the page cache is warm (one untimed warm-up run of each
# command first). Every timed run is preceded by `sync`, so no run pays for
# the write-back of another's output. Benchmarks print figures and never fail
# on time; the script exits non-zero only when something breaks or the
# verification finds a page that differs or tiffinfo -D complains.
#
# Debian packages: cmake ninja-build g++ libtiff-dev libtiff-tools time libcli11-dev (python3 for tifftools)
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=9
TIFFCP_RUNS=3
SCALE=1
ONLY=W1,W2,W3,W4,W5,W7
TIFFTOOLS=${TIFFTOOLS_SRC:-}
SCRATCH=${TMPDIR:-/tmp}/vellox-bench
BUILD=$ROOT/build/bench
SEED=20240611
. "$ROOT/bench/common.sh"

while [[ $# -gt 0 ]]; do
  case $1 in
    --quick) RUNS=3; TIFFCP_RUNS=1; SCALE=0.05; shift ;;
    --runs) RUNS=$2; shift 2 ;;
    --tiffcp-runs) TIFFCP_RUNS=$2; shift 2 ;;
    --scale) SCALE=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --tifftools) TIFFTOOLS=$(cd "$2" && pwd); shift 2 ;;
    --dir) SCRATCH=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    -h|--help) sed -n '2,/^# Debian packages/p' "$0"; exit 0 ;;
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
  [[ -z $TIFFTOOLS ]] || command -v python3 >/dev/null || missing+=(python3)
  if [[ ${#missing[@]} -gt 0 ]]; then
    if [[ $(id -u) -ne 0 ]]; then
      echo "missing Debian packages: ${missing[*]}" >&2
      exit 1
    fi
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# The contenders: cat and vellox, each writing $OUT/<name>.tif from INPUTS;
# and the peers, whose command peer_command NAME puts in PEER. tiffcp needs
# -8 for an output past 4 GiB (W5); tifftools chooses by itself. tifftools
# runs from a source copy, whose missing package metadata (read for its
# version) is stood in for.
run_cat() { cat "${INPUTS[@]}" >"$OUT/cat.tif"; }
run_vellox() { "$BUILD/cli/vellox" merge --format auto -o "$OUT/vellox.tif" "${INPUTS[@]}" >/dev/null; }
peer_command() {
  case $1 in
    tiffcp) PEER=(tiffcp $TIFFCP_FLAGS "${INPUTS[@]}" "$OUT/tiffcp.tif") ;;
    tifftools) PEER=(python3 -c "$TIFFTOOLS_MAIN" "$TIFFTOOLS" concat -y "${INPUTS[@]}" "$OUT/tifftools.tif") ;;
  esac
}

# Wall time of one run of contender $1 in seconds, printed.
time_once() {
  rm -f "$OUT/$1.tif"
  sync
  local start=$EPOCHREALTIME
  "run_$1"
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }'
}


# Peak RSS in KiB of one run of contender $1, from /usr/bin/time -v.
peak_rss() {
  rm -f "$OUT/$1.tif"
  local report=$OUT/$1.time
  case $1 in
    cat) /usr/bin/time -v -o "$report" bash -c 'out=$1; shift; exec cat "$@" >"$out"' _ "$OUT/cat.tif" "${INPUTS[@]}" ;;
    vellox) /usr/bin/time -v -o "$report" "$BUILD/cli/vellox" merge --format auto -o "$OUT/vellox.tif" "${INPUTS[@]}" >/dev/null ;;
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

# The peers (tiffcp, tifftools) take seconds per run, so their runs are not
# repeated for memory: each timed run goes through /usr/bin/time -v, whose
# own cost is lost in the noise. Their inputs are already cached by the cat
# and vellox runs, so they get no warm-up. measure_peer NAME RUNS sets
# T_PEER (median seconds), RSS_PEER (KiB) and BYTES_PEER (the output's
# size), and removes the output.
measure_peer() {
  local name=$1 runs=$2 times=() rss=0 start end r
  for ((i = 0; i < runs; i++)); do
    rm -f "$OUT/$name.tif"
    sync
    start=$EPOCHREALTIME
    peer_command "$name"
    /usr/bin/time -v -o "$OUT/$name.time" "${PEER[@]}" >/dev/null
    end=$EPOCHREALTIME
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }')")
    r=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$OUT/$name.time")
    ((r > rss)) && rss=$r
  done
  BYTES_PEER=$(stat -c %s "$OUT/$name.tif")
  rm -f "$OUT/$name.tif"
  T_PEER=$(printf '%s\n' "${times[@]}" | median)
  RSS_PEER=$rss
}

ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
# MB (10^6 bytes) per second: $1 bytes in $2 seconds.
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f", b / s / 1e6; else print "-" }'; }

# Decoded bytes of the 16-bit pages of the files given: width x length x
# samples x 2 of every page with 16 bits a sample, from tiffinfo.
decoded16_bytes() {
  tiffinfo "$@" 2>/dev/null | awk '
    function page() { if (bits == 16) total += w * h * spp * 2; w = h = bits = 0; spp = 1 }
    /TIFF Directory at/ { page() }
    /Image Width:/ { w = $3; h = $6 }
    /Bits\/Sample:/ { bits = $2 }
    /Samples\/Pixel:/ { spp = $2 }
    END { page(); printf "%d\n", total }'
}

install_missing
echo "building release Vellox and the bench tools in $BUILD" >&2
build_bench_tools
mkdir -p "$SCRATCH/out"
OUT=$SCRATCH/out

# Free bytes in the scratch folder.
free_bytes() { df --output=avail -B1 "$SCRATCH" | tail -1; }

ROWS=()
STATUS=0
NOTES=()
TRANSCODE=()
for w in ${ONLY//,/ }; do
  runs=$RUNS TIFFCP_FLAGS=
  if [[ $w == W5 ]]; then
    # Inputs (unless generated before) and the outputs of cat and vellox, which exist side by side.
    need=$(awk -v s="$SCALE" 'BEGIN { printf "%.0f", 3 * 1600800000 * s * 3 + 2^30 }')
    [[ -f $SCRATCH/w5/.stamp ]] && need=$((need - $(cat "$SCRATCH"/w5/*.tif | wc -c)))
    if (($(free_bytes) < need)); then
      NOTES+=("W5 left out: it needs $((need >> 30)) GiB free in $SCRATCH, which has $(($(free_bytes) >> 30)) GiB")
      continue
    fi
    TIFFCP_FLAGS=-8
  fi
  # W7: tiffcp decodes and encodes every page; -L gives the little-endian
  # output Vellox writes (the first input's order), zip:2 Deflate with
  # horizontal differencing at libtiff's default level, 6, as Vellox's.
  [[ $w == W7 ]] && TIFFCP_FLAGS="-L -c zip:2"
  scale=1
  [[ $w == W3 || $w == W5 || $w == W7 ]] && scale=$SCALE
  generate "$w" "$scale"
  INPUTS=("$SCRATCH/${w,,}"/*.tif)
  bytes=$(cat "${INPUTS[@]}" | wc -c)
  echo "$w: ${#INPUTS[@]} files, $((bytes / 1048576)) MiB: timing cat and vellox ($runs runs), peers ($TIFFCP_RUNS runs)" >&2
  measure_pair "$runs"
  t_cat=$T_CAT t_vel=$T_VELLOX
  rss_cat=$(peak_rss cat)
  rm -f "$OUT/cat.tif"
  rss_vel=$(peak_rss vellox)
  if ! verdict=$("$BUILD/bench/vellox_bench_verify" "$OUT/vellox.tif" "${INPUTS[@]}" 2>&1); then
    STATUS=1
    verdict="FAILED: $verdict"
  elif ! tiffinfo -D "$OUT/vellox.tif" 2>&1 >/dev/null | cmp -s - /dev/null; then
    STATUS=1
    verdict="$verdict, but tiffinfo -D complains"
  else
    verdict="$verdict, tiffinfo -D clean"
  fi
  format=classic
  [[ $(head -c 4 "$OUT/vellox.tif" | od -An -c | tr -d ' ') == *+* ]] && format=BigTIFF
  bytes_vel=$(stat -c %s "$OUT/vellox.tif")
  rm -f "$OUT"/*.tif
  peers=""
  for peer in tiffcp tifftools; do
    # tifftools copies strips as they are: it cannot put W7's big-endian
    # compressed 16-bit samples into a little-endian file.
    if [[ $TIFFCP_RUNS -gt 0 && ($peer == tiffcp || (-n $TIFFTOOLS && $w != W7)) ]]; then
      echo "$w: timing $peer" >&2
      measure_peer "$peer" "$TIFFCP_RUNS"
      peers+=" $(ms "$T_PEER") $(ratio "$T_PEER" "$t_cat") $(ratio "$T_PEER" "$t_vel") $(mib "$RSS_PEER")"
      if [[ $w == W7 && $peer == tiffcp ]]; then
        decoded=$(decoded16_bytes "${INPUTS[@]}")
        TRANSCODE+=("vellox merge --format auto (zlib)"$'\t'"$(ms "$t_vel")"$'\t'"$(mbps "$decoded" "$t_vel")"$'\t'"-"$'\t'"$bytes_vel")
        TRANSCODE+=("tiffcp $TIFFCP_FLAGS (libdeflate encoder)"$'\t'"$(ms "$T_PEER")"$'\t'"$(mbps "$decoded" "$T_PEER")"$'\t'"$(ratio "$T_PEER" "$t_vel")"$'\t'"$BYTES_PEER")
        # The same with s0: libtiff encodes with zlib, the library Vellox
        # encodes and decodes with (s0 leaves libtiff's decoding as it is).
        TIFFCP_FLAGS+=":s0"
        echo "$w: timing tiffcp $TIFFCP_FLAGS" >&2
        measure_peer tiffcp "$TIFFCP_RUNS"
        TRANSCODE+=("tiffcp $TIFFCP_FLAGS (zlib encoder)"$'\t'"$(ms "$T_PEER")"$'\t'"$(mbps "$decoded" "$T_PEER")"$'\t'"$(ratio "$T_PEER" "$t_vel")"$'\t'"$BYTES_PEER")
        W7_PAGE=$(tiffinfo "${INPUTS[-1]}" 2>/dev/null | awk '/Image Width:/ { print $3 "x" $6; exit }')
        W7_DECODED=$decoded
      fi
    elif [[ $peer == tifftools && -n $TIFFTOOLS && $w == W7 ]]; then
      peers+=" - - - -"
      NOTES+=("W7: no tifftools figures: it copies strips as they are and cannot write the big-endian 16-bit Deflate page into a little-endian file")
    else
      peers+=" - - - -"
    fi
  done
  ROWS+=("$w ${#INPUTS[@]} $((bytes / 1048576)) $(ms "$t_cat") $(ms "$t_vel") $(ratio "$t_vel" "$t_cat") $(mib "$rss_cat") $(mib "$rss_vel")$peers $format ${verdict// /_}")
done

echo
echo "Vellox benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), page cache warm"
echo "medians of $RUNS runs of cat and vellox, $TIFFCP_RUNS of tiffcp and tifftools; W3, W5 and W7 scale $SCALE"
{
  echo "workload files MiB cat_ms vellox_ms vellox/cat RSS_cat_MiB RSS_vellox_MiB tiffcp_ms tiffcp/cat tiffcp/vellox RSS_tiffcp_MiB tifftools_ms tifftools/cat tifftools/vellox RSS_tifftools_MiB vellox_output verify"
  printf '%s\n' "${ROWS[@]}"
} | column -t
[[ -n $TIFFTOOLS ]] || echo "tifftools: no source copy given (--tifftools DIR), so no tifftools columns"
if [[ ${#TRANSCODE[@]} -gt 0 ]]; then
  echo
  echo "W7 transcoding: $(mbps "$W7_DECODED" 1) MB of decoded 16-bit samples (one ${W7_PAGE} big-endian page, Deflate, predictor 2) into a little-endian output; MB/s = decoded bytes / median seconds"
  {
    printf 'command\tmedian_ms\tMB/s\ttiffcp/vellox\toutput_bytes\n'
    printf '%s\n' "${TRANSCODE[@]}"
  } | column -t -s $'\t'
fi
[[ ${#NOTES[@]} -eq 0 ]] || printf '%s\n' "${NOTES[@]}"
exit $STATUS
