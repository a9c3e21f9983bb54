#!/usr/bin/env bash
# A long list through COM under Wine against the native command line on the
# same files: ENTRIES copies of a one-page TIFF are merged by list_speed.exe
# through the DLL's vtable (under Wine) and by the native `vellox merge`.
# Passes when both outputs are byte-identical; the times and their ratio are
# printed as figures (the target is at most 10x), never asserted, as a busy
# machine would make such a check flaky.
#   com_speed.sh LIST_SPEED.exe KWVellox.dll NATIVE_VELLOX WORK_FOLDER [ENTRIES]
set -euo pipefail
speed=$1 dll=$2 native=$3 work=$4 entries=${5:-10000}
wine=${WINE:-wine}
win() { local path=${1//\//\\}; echo "Z:$path"; }

rm -rf "$work"
mkdir -p "$work/native" "$work/in"
perl -e 'print map { chr(($_ * 7) % 251) } 0 .. 127' >"$work/page.raw"
raw2tiff -w 16 -l 8 -b 1 -d byte -p minisblack -c none "$work/page.raw" "$work/page.tif"
perl -e 'local $/; open my $in, "<", $ARGV[0] or die; my $page = <$in>;
  for my $i (0 .. $ARGV[2] - 1) { open my $out, ">", "$ARGV[1]/$i.tif" or die; print $out $page }' \
  "$work/page.tif" "$work/in" "$entries"
"$wine" "$speed" "$(win "$dll")" "$(win "$work")" "$entries" </dev/null 2>/dev/null | tr -d '\r' | tee "$work/wine.txt"
com=$(awk '$1 == "com" {print $2}' "$work/wine.txt")
[[ -n $com ]] || { echo "FAIL: list_speed did not run"; exit 1; }

mapfile -t inputs < <(seq 0 $((entries - 1)) | sed "s|.*|$work/in/&.tif|")
best=
for _ in 1 2 3; do
  start=$(date +%s%N)
  "$native" merge -o "$work/native/native.tif" "${inputs[@]}" >/dev/null ||
    { echo "FAIL: the native merge failed"; exit 1; }
  took=$(( ($(date +%s%N) - start) / 1000000 ))
  [[ -z $best || $took -lt $best ]] && best=$took
done
native_s=$(awk -v ms="$best" 'BEGIN {printf "%.3f", ms / 1000}')
echo "native $native_s"
cmp "$work/native/native.tif" "$work/com.tif" || { echo "FAIL: the COM output differs from the native one"; exit 1; }
echo "ok: the COM output is byte-identical to the native one"
ratio=$(awk -v c="$com" -v n="$native_s" 'BEGIN {printf "%.1f", c / (n > 0 ? n : 0.001)}')
echo "$entries entries: COM under Wine ${com} s, native ${native_s} s: ${ratio}x (target: at most 10x)"
