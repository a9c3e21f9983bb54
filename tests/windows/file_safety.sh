#!/usr/bin/env bash
# What merges under Wine leave behind, checked from the Linux side: a
# replaced target keeps its read-only flag, its privacy and its links; an
# empty input that another program holds open for writing is kept, and so
# is the file behind a link to an empty input; a merge that fails (a folder
# in the way, a first input that is not a TIFF, a target held open, a full
# disk, a kill in the middle) leaves the old target as it was and no
# hidden .vellox-* file.
#   file_safety.sh SAFETY_MERGE.exe WORK_FOLDER
set -uo pipefail
tool=$1
work=$2
wine=${WINE:-wine}
status=0
win() { local path=${1//\//\\}; echo "Z:$path"; }  # no realpath: links stay links
merge() { "$wine" "$tool" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
code() { merge "$@" | head -n 1; }  # the result code alone
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; status=1; fi; }
mode() { stat -c %a "$1"; }
tiff() { tiffinfo "$1" >/dev/null 2>&1; }
hidden() { compgen -G "$out/.vellox-*" >/dev/null || compgen -G "$in/.vellox-*" >/dev/null; }

umount "$work/full" 2>/dev/null
rm -rf "$work"
mkdir -p "$work/in" "$work/out" "$work/full"
in=$work/in out=$work/out
head -c 1048576 /dev/urandom >"$work/pixels.raw"
for name in a b c; do
  raw2tiff -w 1024 -l 1024 -b 1 -d byte -p minisblack -c none "$work/pixels.raw" "$in/$name.tif"
done
list="$(win "$in/a.tif"),$(win "$in/b.tif")" to=$(win "$out")
: >"$in/held.tif" && : >"$in/empty.tif" && : >"$in/behind-link.tif"
ln -s behind-link.tif "$in/link-to-empty.tif"
for name in read-only private real old; do echo old >"$out/$name.tif"; done
chmod 444 "$out/read-only.tif" && chmod 600 "$out/private.tif" && ln -s real.tif "$out/link.tif"
mkdir "$out/folder.tif" && echo "plain text" >"$in/text.tif"

echo "== replacing"
check "read-only target: result 1" '[[ $(code "$list" "$to" read-only.tif) == 1 ]]'
check "it is new and still read-only" 'tiff "$out/read-only.tif" && (( (8#$(mode "$out/read-only.tif") & 8#222) == 0 ))'
merge "$list" "$to" private.tif >/dev/null
check "a private target gives others no access" 'tiff "$out/private.tif" && (( (8#$(mode "$out/private.tif") & 7) == 0 ))'
merge --sync "$list" "$to" link.tif >/dev/null
check "a linked target (--sync): the link stays, its file is replaced" '[[ -L $out/link.tif ]] && tiff "$out/real.tif"'

echo "== empty inputs"
check "an empty input held open for writing: merged without it" \
  '[[ $(code --hold "$(win "$in/held.tif")" "$(win "$in/held.tif"),$(win "$in/empty.tif"),$list" "$to" held.tif) == 1 ]]'
check "it is kept, the other empty input deleted" '[[ -e $in/held.tif && ! -e $in/empty.tif ]]'
check "a link to an empty input: Wine cannot delete the link alone, so -1" \
  '[[ $(code "$(win "$in/link-to-empty.tif"),$list" "$to" x.tif) == -1 ]]'
check "the link and its file are kept" '[[ -L $in/link-to-empty.tif && -e $in/behind-link.tif ]]'

echo "== failed merges"
result=$(merge "$list" "$to" folder.tif)
check "a folder as the output: -1, saying why" '[[ $result == "-1"$'\''\n'\''"cannot replace the folder "* ]]'
check "a first input that is not a TIFF: -2" '[[ $(code "$(win "$in/text.tif"),$list" "$to" old.tif) == -2 ]]'
check "a target held open by another program: -1" '[[ $(code --hold "$(win "$out/old.tif")" "$list" "$to" old.tif) == -1 ]]'
"$wine" "$tool" --stall "$list" "$to" old.tif </dev/null >"$work/stall.txt" 2>/dev/null &
pid=$!
trap 'kill -KILL $pid 2>/dev/null; umount "$work/full" 2>/dev/null' EXIT
for _ in $(seq 1 300); do grep -q MERGING "$work/stall.txt" && break; sleep 0.1; done
check "killed in the middle of a merge: its hidden file existed" 'hidden'
kill -KILL $pid
wait $pid 2>/dev/null
for _ in $(seq 1 50); do hidden || break; sleep 0.1; done  # Wine closes the dead process's handles
if mount -t tmpfs -o size=2m vellox-full "$work/full" 2>/dev/null; then
  echo old >"$work/full/old.tif"
  result=$(merge "$list,$(win "$in/c.tif")" "$(win "$work/full")" old.tif)
  check "a full disk: -1, saying why" '[[ $result == "-1"$'\''\n'\''"cannot write "* ]]'
  check "nothing on the full disk but the old target" \
    '[[ $(ls -A "$work/full") == old.tif && $(cat "$work/full/old.tif") == old ]]'
  umount "$work/full"
else
  echo "skipped: the full-disk case (mounting a 2 MB tmpfs needs root)"
fi
check "the old target is untouched" '[[ $(cat "$out/old.tif") == old && -d $out/folder.tif ]]'
check "no hidden file left" '! hidden'
exit $status
