#!/usr/bin/env bash
# W3 on copy-on-write file systems: the two ~540 MB uncompressed RGB pages of
# W3, merged on a loop-mounted XFS (reflink on) and on a loop-mounted btrfs.
# Per file system, the median wall time of `cat INPUTS > OUT` (copies every
# byte), `vellox merge` (clones the strips' blocks), `cp --reflink=always` of
# the larger input (the physical floor: one clone) and tiffcp; the extra
# disk space each takes (df before and after, after sync); peak RSS; and a
# libtiff page-by-page check of Vellox's output. As root (mkfs, mount).
#
#   bench/cow.sh [--runs N] [--scale F] [--dir DIR]
#
# Debian packages: xfsprogs btrfs-progs, and those of bench/run.sh.
set -euo pipefail
export LC_ALL=C
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=5
SCALE=1
SCRATCH=${TMPDIR:-/tmp}/vellox-cow
BUILD=$ROOT/build/bench
SEED=20240611
. "$ROOT/bench/common.sh"
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --scale) SCALE=$2; shift 2 ;;
    --dir) SCRATCH=$2; shift 2 ;;
    *) echo "usage: $0 [--runs N] [--scale F] [--dir DIR]" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "bench/cow.sh needs root (mkfs and mount)" >&2; exit 2; }
"$ROOT/scripts/install-deps.sh" build checks >/dev/null
build_bench_tools
VELLOX=$BUILD/cli/vellox

mkdir -p "$SCRATCH"
used() { sync; df -B1 --output=used "$1" | tail -1; }
# Runs a command RUNS times after one untimed run; prints "median_s rss_kib extra_bytes".
measure() {
  local mnt=$1 out=$2; shift 2
  local times=() rss=0 before after
  rm -f "$out"; "$@" >/dev/null; rm -f "$out"
  for _ in $(seq "$RUNS"); do
    sync
    before=$(used "$mnt")
    /usr/bin/time -f "%e %M" -o "$SCRATCH/time.txt" "$@" >/dev/null
    after=$(used "$mnt")
    read -r t r <"$SCRATCH/time.txt"
    times+=("$t"); rss=$r
    rm -f "$out"
  done
  echo "$(printf '%s\n' "${times[@]}" | median) $rss $((after - before))"
}

echo "W3 at scale $SCALE on copy-on-write file systems, medians of $RUNS runs"
echo "fs cat_s vellox_s vellox/cat cp-reflink_s tiffcp_s extra_MiB_cat extra_MiB_vellox extra_MiB_reflink RSS_vellox_MiB output_MiB verify"
for fs in xfs btrfs; do
  img=$SCRATCH/$fs.img mnt=$SCRATCH/$fs
  mkdir -p "$mnt"
  mountpoint -q "$mnt" && umount "$mnt"
  rm -f "$img"; truncate -s 8G "$img"
  if [ $fs = xfs ]; then mkfs.xfs -q -m reflink=1 "$img"; else mkfs.btrfs -q -f "$img" >/dev/null; fi
  mount -o loop "$img" "$mnt"
  "$BUILD/bench/vellox_bench_gen" "$mnt" --only W3 --scale "$SCALE" --seed "$SEED" >/dev/null
  mapfile -t inputs < <(ls "$mnt"/w3/*.tif | sort)
  largest=$(ls -S "${inputs[@]}" | head -1)
  read -r t_cat _ x_cat < <(measure "$mnt" "$mnt/cat.out" sh -c 'cat "$@" > "$0"' "$mnt/cat.out" "${inputs[@]}")
  read -r t_vel rss_vel x_vel < <(measure "$mnt" "$mnt/vellox.tif" "$VELLOX" merge -o "$mnt/vellox.tif" "${inputs[@]}")
  read -r t_ref _ x_ref < <(measure "$mnt" "$mnt/copy.tif" cp --reflink=always "$largest" "$mnt/copy.tif")
  read -r t_cp _ _ < <(RUNS=1 measure "$mnt" "$mnt/tiffcp.tif" tiffcp "${inputs[@]}" "$mnt/tiffcp.tif")
  "$VELLOX" merge -o "$mnt/vellox.tif" "${inputs[@]}" >/dev/null
  out_mib=$(( $(stat -c %s "$mnt/vellox.tif") >> 20 ))
  verdict=$("$BUILD/bench/vellox_bench_verify" "$mnt/vellox.tif" "${inputs[@]}" 2>&1 | tail -1)
  awk -v fs=$fs -v c="$t_cat" -v v="$t_vel" -v r="$t_ref" -v t="$t_cp" -v xc="$x_cat" -v xv="$x_vel" -v xr="$x_ref" \
    -v rss="$rss_vel" -v o="$out_mib" -v ver="$verdict" 'BEGIN {
      printf "%s %.3f %.3f %.3f %.3f %.3f %.1f %.1f %.1f %.1f %d %s\n", fs, c, v, (c > 0 ? v / c : 0), r, t,
        xc / 1048576, xv / 1048576, xr / 1048576, rss / 1024, o, ver }'
  umount "$mnt"; rm -f "$img"
done
