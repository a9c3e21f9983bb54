#!/usr/bin/env bash
# Page-operation benchmarks: prints per case the median wall time of
# alternating runs of Vellox and its peers, and their ratios.
#
#   P1  split a 1,000-page G4 fax file into single pages: `vellox split`
#       against libtiff's `tiffsplit` and tifftools `split` (with --tifftools)
#   P2  5 pages of a 2 GB, 400-page uncompressed file: `vellox merge
#       IN:PAGES` against `vellox merge` of the whole file (goal: at most
#       1/20), `tiffcp IN,PAGES`, and tifftools `concat` of the selected
#       pages (with --tifftools)
#   P3  `vellox merge -o -` of W2 into a pipe against `vellox merge -o FILE`
#       of W2 (goal: at most 1.2x)
#
#   bench/pages.sh [--runs N] [--only P1,P2,P3] [--tifftools DIR] [--dir DIR] [--build DIR]
#
# Needs about 6 GB in the scratch folder (the 2 GB input, a 2 GB merge of it,
# W2). Inputs are made once per scratch folder; every timed run is preceded by
# `sync`, and outputs are removed before each. The page cache is warm.
set -euo pipefail
export LC_ALL=C

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=5
ONLY=P1,P2,P3
TIFFTOOLS=${TIFFTOOLS_SRC:-}
SCRATCH=${TMPDIR:-/tmp}/vellox-bench
BUILD=$ROOT/build/bench
SEED=7
while (($#)); do
  case $1 in
    --runs) RUNS=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --tifftools) TIFFTOOLS=$2; shift 2 ;;
    --dir) SCRATCH=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    *) echo "usage: bench/pages.sh [--runs N] [--only P1,P2,P3] [--tifftools DIR] [--dir DIR] [--build DIR]" >&2; exit 2 ;;
  esac
done
source "$ROOT/bench/common.sh"
mkdir -p "$SCRATCH/pages"
P=$SCRATCH/pages
build_bench_tools
V=$BUILD/cli/vellox
wants() { [[ ,$ONLY, == *,$1,* ]]; }
printf '%s\n' "$TIFFTOOLS_MAIN" >"$P/tifftools.py"
TT="python3 $P/tifftools.py $TIFFTOOLS"

# Milliseconds of one run of "$@" after a sync, with its output folder emptied.
timed() {
  local out=$1 start end
  shift
  rm -rf "$out" && mkdir -p "$out" && sync
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

# Alternating runs of each named command (NAME=COMMAND, NAME without spaces,
# run with bash -c in an output folder $O of its own); prints each one's
# median and its ratio to the first.
compare() {
  local title=$1 first="" name
  shift
  declare -A times=()
  for name_command in "$@"; do bash -c "O=$P/out-warm; rm -rf \$O; mkdir -p \$O; ${name_command#*=}" >/dev/null 2>&1 || true; done
  for ((run = 0; run < RUNS; run++)); do
    for name_command in "$@"; do
      name=${name_command%%=*}
      times[$name]+="$(timed "$P/out-$name" bash -c "O='$P/out-$name'; set -u; ${name_command#*=}") "
    done
  done
  echo "$title"
  for name_command in "$@"; do
    name=${name_command%%=*}
    local median
    median=$(tr ' ' '\n' <<<"${times[$name]}" | grep . | median)
    [[ -z $first ]] && first=$median
    printf '  %-28s %10s ms   %6.2fx\n' "$name" "$median" "$(awk -v a="$median" -v b="$first" 'BEGIN { print a / b }')"
  done
}

if wants P1; then
  if [[ ! -f $P/fax1000.tif ]]; then
    args=()
    for ((i = 0; i < 1000; i++)); do args+=("$ROOT/samples/fax-g4-le.tif"); done
    "$V" merge -o "$P/fax1000.tif" "${args[@]}" >/dev/null
  fi
  cases=("vellox-split=$V split $P/fax1000.tif -o \$O/p-%04d.tif" "tiffsplit=tiffsplit $P/fax1000.tif \$O/p-")
  [[ -n $TIFFTOOLS ]] && cases+=("tifftools-split=cd \$O && $TT split $P/fax1000.tif p-")
  compare "P1: split a 1,000-page G4 file into single pages ($RUNS alternating runs, medians)" "${cases[@]}"
  [[ $(ls "$P/out-vellox-split" | wc -l) == 1000 ]] || { echo "vellox split wrote the wrong number of files" >&2; exit 1; }
fi

if wants P2; then
  if [[ ! -f $P/big400.tif ]]; then
    # One uncompressed 2500x2000 grey page (5 MB), listed 400 times: 2 GB.
    python3 - "$P/page.tif" <<'PY'
import struct, sys
w, h = 2500, 2000
entries = [(256, 3, 1, w), (257, 3, 1, h), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
           (273, 4, 1, 8 + 2 + 12 * 8 + 4), (278, 3, 1, h), (279, 4, 1, w * h)]
ifd = struct.pack("<H", len(entries)) + b"".join(
    struct.pack("<HHII", t, ty, c, v) if ty == 4 else struct.pack("<HHIHH", t, ty, c, v, 0) for t, ty, c, v in entries)
with open(sys.argv[1], "wb") as f:
    f.write(b"II*\0" + struct.pack("<I", 8) + ifd + struct.pack("<I", 0))
    f.write(bytes(range(256)) * (w * h // 256) + bytes(w * h % 256))
PY
    args=()
    for ((i = 0; i < 400; i++)); do args+=("$P/page.tif"); done
    "$V" merge -o "$P/big400.tif" "${args[@]}" >/dev/null
  fi
  cases=("vellox-whole-file=$V merge -o \$O/all.tif $P/big400.tif"
         "vellox-5-pages=$V merge -o \$O/sel.tif $P/big400.tif:1,100,200,300,400"
         "tiffcp-5-pages=tiffcp $P/big400.tif,0,99,199,299,399 \$O/sel.tif")
  [[ -n $TIFFTOOLS ]] && cases+=("tifftools-5-pages=$TT concat $P/big400.tif,0 $P/big400.tif,99 $P/big400.tif,199 $P/big400.tif,299 $P/big400.tif,399 \$O/sel.tif")
  compare "P2: 5 pages of a 2 GB, 400-page uncompressed file ($RUNS alternating runs, medians)" "${cases[@]}"
fi

if wants P3; then
  generate W2
  cases=("merge-to-file=$V merge -o \$O/out.tif $SCRATCH/w2/*.tif"
         "merge-to-pipe=$V merge -o - $SCRATCH/w2/*.tif | cat > /dev/null")
  compare "P3: W2 into a pipe against into a file ($RUNS alternating runs, medians; goal: at most 1.2x)" "${cases[@]}"
fi
