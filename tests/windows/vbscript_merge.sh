#!/usr/bin/env bash
# The script client against the registered DLL, checked on the Linux side:
# two real TIFFs made with libtiff's tools are merged by the VBScript
# client (client.vbs) and by the native command-line tool; the outputs must
# be byte-identical and read back cleanly with libtiff.
#   vbscript_merge.sh NATIVE_VELLOX WORK_FOLDER
set -euo pipefail
native=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$work"
mkdir -p "$work/raw" "$work/in" "$work/out" "$work/native"

# Pixel data with a pattern, so every strip differs.
perl -e 'print map { chr(($_ * 7 + int($_ / 64)) % 256) } 0 .. 64 * 40 - 1' >"$work/raw/grey.raw"
perl -e 'print map { chr(($_ * 13) % 251) } 0 .. 32 * 20 * 3 - 1' >"$work/raw/rgb.raw"
raw2tiff -w 64 -l 40 -b 1 -d byte -p minisblack -c none -r 16 "$work/raw/grey.raw" "$work/raw/grey.tif"
raw2tiff -w 32 -l 20 -b 3 -d byte -p rgb -c lzw -r 8 "$work/raw/rgb.raw" "$work/raw/rgb.tif"
# first.tif: little-endian, two pages; second.tif: big-endian, PackBits.
tiffcp -L "$work/raw/grey.tif" "$work/raw/rgb.tif" "$work/in/first.tif"
tiffcp -B -c packbits "$work/raw/grey.tif" "$work/in/second.tif"
printf 'plain text, not a TIFF file\n' >"$work/in/not-a-tiff.txt"

echo "== native merge"
"$native" tiff-merge "$work/in/first.tif,$work/in/second.tif" "$work/native/" expected.tif | tee "$work/native.txt"
[[ $(head -n 1 "$work/native.txt") == 1 ]] || { echo "FAIL: the native merge did not return 1"; exit 1; }

echo "== VBScript client"
"$here/run_vbscript.sh" "$here/client.vbs" "VBSCRIPT CLIENT PASSED" "$work"

status=0
for output in byvariable byliteral byvalue; do
  if cmp "$work/out/$output.tif" "$work/native/expected.tif"; then
    echo "ok: $output.tif is byte-identical to the native output"
  else
    echo "FAIL: $output.tif differs from the native output"
    status=1
  fi
done

echo "== libtiff reads the output"
if ! tiffinfo -D "$work/out/byvariable.tif" >"$work/tiffinfo.txt" 2>"$work/tiffinfo.err"; then
  echo "FAIL: tiffinfo -D failed"
  status=1
fi
cat "$work/tiffinfo.err"
pages=$(grep -c '^TIFF Directory at offset' "$work/tiffinfo.txt" || true)
if [[ $pages == 3 && ! -s $work/tiffinfo.err ]]; then
  echo "ok: tiffinfo -D reads 3 pages without a warning"
else
  echo "FAIL: tiffinfo -D read $pages pages (want 3) or warned"
  status=1
fi
# The pages decode to the same pixels as the inputs' pages.
tiffcp "$work/in/first.tif" "$work/in/second.tif" "$work/joined.tif"
if tiffcmp "$work/joined.tif" "$work/out/byvariable.tif" >"$work/tiffcmp.txt" 2>&1; then
  echo "ok: every page matches its input page (tiffcmp)"
else
  cat "$work/tiffcmp.txt"
  echo "FAIL: tiffcmp found a difference"
  status=1
fi
exit $status
