#!/usr/bin/env bash
# The Windows release ZIP, unpacked, with its x64 parts run under Wine (the
# x86 ones cannot run here; scripts/check-windows-x86.sh checks them):
# its exact contents, vellox.exe merging like the native vellox, and
# register.cmd / unregister.cmd making Vellox.KWVellox creatable and not.
# Skipped (77) when the ZIP has not been built (scripts/package-windows.sh).
#   package_wine.sh ZIP NATIVE_VELLOX WORK_FOLDER
set -uo pipefail
zip=$1 native=$2 work=$3
wine=${WINE:-wine}
here=$(cd "$(dirname "$0")" && pwd)
[[ -f $zip ]] || { echo "skipped: $zip not built (scripts/package-windows.sh)"; exit 77; }
status=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; status=1; fi; }
win() { local path=${1//\//\\}; echo "Z:$path"; }

rm -rf "$work" && mkdir -p "$work/pkg" "$work/in"
(cd "$work/pkg" && cmake -E tar xf "$zip")
check "the ZIP holds exactly the two DLLs, the two programs, the scripts, README and licence" \
  '[[ $(cd "$work/pkg" && find . -type f | sort | paste -sd" ") == "./LICENSE.txt ./README.txt ./register.cmd ./unregister.cmd ./x64/KWVellox.dll ./x64/vellox.exe ./x86/KWVellox.dll ./x86/vellox.exe" ]]'
check "scripts and texts have Windows line ends" \
  '! grep -lv $'\''\r$'\'' "$work/pkg"/*.cmd "$work/pkg"/*.txt'
pkg=$(win "$work/pkg")

perl -e 'print map { chr(($_ * 7) % 251) } 0 .. 4095' >"$work/page.raw"
raw2tiff -w 64 -l 64 -b 1 -d byte -p minisblack -c none "$work/page.raw" "$work/in/a.tif"
tiffcp -B "$work/in/a.tif" "$work/in/b.tif"
"$native" merge -o "$work/native.tif" "$work/in/a.tif" "$work/in/b.tif" >/dev/null
"$wine" "$work/pkg/x64/vellox.exe" merge -o "$(win "$work/merged.tif")" "$(win "$work/in/a.tif")" \
  "$(win "$work/in/b.tif")" </dev/null >/dev/null 2>&1
check "x64\\vellox.exe merges byte for byte like the native vellox" 'cmp -s "$work/merged.tif" "$work/native.tif"'

"$wine" cmd /c "$pkg\\register.cmd" </dev/null >"$work/register.txt" 2>&1
tr -d '\r' <"$work/register.txt" | sed 's/^/  | /'
check "register.cmd registers x64\\KWVellox.dll (the x86 one needs 32-bit Wine, which cannot run here)" \
  'grep -q "^registered x64.KWVellox.dll for 64-bit programs" <(tr -d "\r" <"$work/register.txt")'
check "the class now names the package's x64 DLL" \
  '"$wine" reg query "HKCR\\CLSID\\{77A29C4C-F883-4D14-A52E-9CA78E610ABA}\\InprocServer32" </dev/null 2>/dev/null | tr -d "\r" | grep -qiF "$pkg\\x64\\KWVellox.dll"'
check "a script creates Vellox.KWVellox from it" \
  '"$here/run_vbscript.sh" "$here/version.vbs" "VELLOX VERSION 1.0.4" >/dev/null'
"$wine" cmd /c "$pkg\\unregister.cmd" </dev/null >"$work/unregister.txt" 2>&1
check "after unregister.cmd nothing creates it" \
  '"$here/run_vbscript.sh" "$here/unregistered.vbs" "VBSCRIPT UNREGISTERED PASSED" >/dev/null'
exit $status
