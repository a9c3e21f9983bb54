#!/usr/bin/env bash
# vellox.exe under Wine against the native vellox on the same inputs: the
# same output bytes, the same report (text and --json) with Windows paths,
# the same exit codes, `tiff-merge`, Unicode paths, and `append` (the same
# bytes, refusals, two processes appending at once under the file's lock).
#   cli_wine.sh VELLOX.exe NATIVE_VELLOX WORK_FOLDER
set -uo pipefail
exe=$1 native=$2 work=$3
wine=${WINE:-wine}
status=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; status=1; fi; }
win() { local path=${1//\//\\}; echo "Z:$path"; }
# Runs vellox.exe; its standard output in $work/out.txt, the exit code returned.
run() { "$wine" "$exe" "$@" </dev/null >"$work/out.txt" 2>"$work/err.txt"; }
# The native report with every path under WORK in its Windows form (JSON
# escapes the backslashes when $1 is json).
windows_paths() {
  perl -pe 'BEGIN { ($w, $json) = (shift, shift) }
    s{\Q$w\E(/[^",\s]*)?}{ my $p = "Z:$w" . ($1 // ""); $p =~ s{/}{\\}g; $json ? $p =~ s{\\}{\\\\}gr : $p }ge' \
    "$work" "$1"
}

rm -rf "$work"
mkdir -p "$work/in" "$work/out" "$work/native" "$work/Ünïcødé 日本"
raw() { perl -e 'print map { chr(($_ * $ARGV[0]) % 251) } 0 .. $ARGV[1] - 1' "$@"; }
raw 7 2560 >"$work/grey.raw" && raw 13 1920 >"$work/rgb.raw"
raw2tiff -w 64 -l 40 -b 1 -d byte -p minisblack -c none -r 16 "$work/grey.raw" "$work/in/a.tif"
raw2tiff -w 32 -l 20 -b 3 -d byte -p rgb -c lzw -r 8 "$work/rgb.raw" "$work/rgb.tif"
tiffcp -B -c packbits "$work/rgb.tif" "$work/in/a.tif" "$work/in/b.tif"
cp "$work/in/b.tif" "$work/Ünïcødé 日本/é 頁.tif"
echo "plain text" >"$work/in/text.tif"
a=$(win "$work/in/a.tif") b=$(win "$work/in/b.tif")

check "version: 1.0.4" 'run version && [[ $(tr -d "\r" <"$work/out.txt") == 1.0.4 ]]'

run merge -o "$(win "$work/out/merged.tif")" "$a" "$b"
code=$?
"$native" merge -o "$work/native/merged.tif" "$work/in/a.tif" "$work/in/b.tif" >"$work/native.txt"
check "merge: exit 0" '[[ $code == 0 ]]'
check "merge: byte-identical to the native output" 'cmp -s "$work/out/merged.tif" "$work/native/merged.tif"'
sed "s|$work/native/|$work/out/|" "$work/native.txt" | windows_paths 0 >"$work/expected.txt"
check "merge: the native report, with Windows paths and \\n line ends" 'cmp "$work/out.txt" "$work/expected.txt"'

run merge --json -o "$(win "$work/out/json.tif")" "$a" "$b"
code=$?
"$native" merge --json -o "$work/out/json.tif" "$work/in/a.tif" "$work/in/b.tif" | windows_paths 1 >"$work/expected.json"
check "merge --json: exit 0, the native JSON with Windows paths" '[[ $code == 0 ]] && cmp "$work/out.txt" "$work/expected.json"'

run merge -o "$(win "$work/out/partial.tif")" "$a" "$(win "$work/in/absent.tif")"
check "an input missing: exit 3" '[[ $? == 3 ]]'
run merge -o "$(win "$work/out/none.tif")" "$(win "$work/in/text.tif")" "$a"
code=$?
check "a first input that is not a TIFF: exit 1, the reason on standard error" \
  '[[ $code == 1 && $(cat "$work/err.txt") == *"is not a TIFF file"* && ! -e $work/out/none.tif ]]'
run merge "$a"
check "no output named: exit 2" '[[ $? == 2 ]]'

folder=$(win "$work/Ünïcødé 日本")
run merge -o "$folder\\résultat 出力.tif" "$folder\\é 頁.tif" "$a"
code=$?
"$native" merge -o "$work/native/unicode.tif" "$work/in/b.tif" "$work/in/a.tif" >/dev/null
check "Unicode paths: exit 0, the output under its Unicode name, byte-identical" \
  '[[ $code == 0 ]] && cmp -s "$work/Ünïcødé 日本/résultat 出力.tif" "$work/native/unicode.tif"'
check "Unicode paths: printed as UTF-8" 'grep -qF "résultat 出力.tif" "$work/out.txt"'

run tiff-merge "$a,$b" "$(win "$work/out")" literal.tif
check "tiff-merge: exit 0, the code, then the list with its \",\"" \
  '[[ $? == 0 && $(cat "$work/out.txt") == "1"$'\''\n'\''"$a,$b," ]] && cmp -s "$work/out/literal.tif" "$work/native/merged.tif"'
pages() { tiffinfo "$1" 2>/dev/null | grep -c '^TIFF Directory'; }
cp "$work/out/merged.tif" "$work/out/grown.tif" && cp "$work/native/merged.tif" "$work/native/grown.tif"
run append "$(win "$work/out/grown.tif")" "$b" "$a"
code=$?
"$native" append "$work/native/grown.tif" "$work/in/b.tif" "$work/in/a.tif" >/dev/null
check "append: exit 0, byte-identical to the native append" \
  '[[ $code == 0 ]] && cmp -s "$work/out/grown.tif" "$work/native/grown.tif"'
run append "$(win "$work/in/text.tif")" "$a"
code=$?
check "append to a file that is not a TIFF: exit 1, the reason, the file as it was" \
  '[[ $code == 1 && $(cat "$work/err.txt") == *"is not a TIFF file"* && $(cat "$work/in/text.tif") == "plain text" ]]'
run append "$(win "$work/out/grown.tif")" "$(win "$work/out/grown.tif")"
code=$?
check "append of the target to itself: exit 2 (an invalid request), the target as it was" \
  '[[ $code == 2 ]] && cmp -s "$work/out/grown.tif" "$work/native/grown.tif"'
before=$(pages "$work/out/grown.tif")
for process in 1 2; do
  (for k in $(seq 10); do "$wine" "$exe" append "$(win "$work/out/grown.tif")" "$a" </dev/null >/dev/null 2>&1; done) &
done
wait
check "two processes appending 10 pages each: 20 pages more" '[[ $(pages "$work/out/grown.tif") == $((before + 20)) ]]'
exit $status
