#!/usr/bin/env bash
# Checks the x86 (32-bit) Windows build without running it: this kernel
# refuses 32-bit programs, so neither 32-bit Wine nor the DLL can start here.
#
#   scripts/check-windows-x86.sh [X86_DLL X64_DLL [X86_EXE]]
#   (default: build/windows-x86/com/KWVellox.dll build/windows-x64/com/KWVellox.dll
#             build/windows-x86/cli/vellox.exe)
#
# The x86 DLL must be PE32 for i386, export exactly DllCanUnloadNow,
# DllGetClassObject, DllRegisterServer and DllUnregisterServer at ordinals
# 1-4, import only DLLs that come with Windows (so no MinGW runtime DLL),
# carry a type library (resource TYPELIB 1) built for SYS_WIN32 that is the
# x64 DLL's one in everything but the platform (same GUIDs, names, DISPIDs,
# parameter types and flags; vtable offsets of 4-byte pointers), and the
# same version resource as the x64 DLL. The x86 vellox.exe must be PE32
# for i386 and import only system DLLs. The type library and the version
# resource are read back with winedump (wine64-tools).
set -uo pipefail
cd "$(dirname "$0")/.."
x86=${1:-build/windows-x86/com/KWVellox.dll}
x64=${2:-build/windows-x64/com/KWVellox.dll}
exe=${3:-build/windows-x86/cli/vellox.exe}
objdump=i686-w64-mingw32-objdump
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0 failed=0
check() {
  if eval "$2"; then echo "ok: $1"; passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi
}

# The bytes of resource TYPE (as winedump names it: L"TYPELIB", VERSION) of
# a PE file, from winedump's hex dump.
resource() {
  winedump dump -j resource "$1" 2>/dev/null | perl -ne '
    BEGIN { $want = shift @ARGV }
    if (/^  (\S+) Name=0001 /) { $in = ($1 eq $want); next }
    if ($in && /^    [0-9a-f]{8}: (.{47})/) {
      ($hex = $1) =~ tr/-/ /;
      print map { chr hex } grep { /^[0-9a-f]{2}$/ } split / +/, $hex;
    }' "$2"
}

# What of a type library must agree between the platforms, one fact a line.
typelib_facts() {
  winedump dump "$1" 2>/dev/null | perl -ne '
    s/\s+$//;
    if (/syskind = (\S+)/) { print "syskind $1\n" }
    if (/^\s+guid = (\{[0-9a-f-]+\})/) { print "guid $1\n" }
    if (/^\s+name = "([^"]*)"/) { print "name $1\n" }
    if (/^\s+impfile = \d+ "([^"]*)"/) { print "imports $1\n" }
    if (/^\s+version = ([0-9.]+)$/) { print "version $1\n" }
    if (/^\s+typekind = (\S+),/) { print "typekind $1\n" }
    if (/^\s+flags = ([0-9a-f]+)h$/ && $prev =~ /posguid/) { print "typeflags $1\n" }
    if (/^\s+(retval type|datatype|paramflags|nrargs|noptargs|FKCCIC) = (.*)/) { print "$1 $2\n" }
    if (/^\s+VtableOffset = (\S+)/) { print "vtable $1\n" }
    if (/^\s+func (\d+) id = (\S+)/) { print "dispid $1 $2\n" }
    $prev = $_;'
}

for dll in "$x86" "$x64"; do
  [[ -f $dll ]] || { echo "FAIL: $dll is missing (build the windows-x86 and windows-x64 presets)"; exit 1; }
done

echo "== $x86: the file"
header=$("$objdump" -f "$x86")
private=$("$objdump" -p "$x86")
check "PE32 for i386" '[[ $header == *"file format pei-i386"* && $header == *"architecture: i386,"* ]] &&
  grep -qE "^Magic[[:space:]]+010b[[:space:]]+\(PE32\)" <<<"$private"'
exports=$(awk '
  /Ordinal Base/ { base = $NF }
  /^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
  table && /^\t\[/ { gsub(/[][]/, " "); print $1 + base, $2; next }
  table { table = 0 }' <<<"$private")
check "exports exactly: 1 DllCanUnloadNow, 2 DllGetClassObject, 3 DllRegisterServer, 4 DllUnregisterServer" \
  '[[ $exports == $'\''1 DllCanUnloadNow\n2 DllGetClassObject\n3 DllRegisterServer\n4 DllUnregisterServer'\'' ]]'
check "the export table starts at ordinal 1" 'grep -q "Export Address Table -- Ordinal Base 1" <<<"$private"'
check "imports only system DLLs, no MinGW runtime DLL" \
  'tests/windows/check_imports.sh "$objdump" "$x86" >"$work/imports.txt"'
sed 's/^/  /' "$work/imports.txt"

echo "== $x86: type library (TYPELIB 1)"
resource "$x86" 'L"TYPELIB"' >"$work/x86.tlb"
resource "$x64" 'L"TYPELIB"' >"$work/x64.tlb"
check "TYPELIB 1 is present (an MSFT type library)" '[[ $(head -c 4 "$work/x86.tlb") == MSFT ]]'
typelib_facts "$work/x86.tlb" >"$work/x86.facts"
typelib_facts "$work/x64.tlb" >"$work/x64.facts"
check "built for SYS_WIN32 (the x64 one for SYS_WIN64)" \
  'grep -qx "syskind SYS_WIN32" "$work/x86.facts" && grep -qx "syskind SYS_WIN64" "$work/x64.facts"'
for guid in bc1b84fa-68a0-4019-a46c-8bc89ff6b8e5 0b0cae57-1823-4532-bf53-f9f7c1397a0b \
            77a29c4c-f883-4d14-a52e-9ca78e610aba; do
  check "holds {$guid}" 'grep -qx "guid {$guid}" "$work/x86.facts"'
done
check "DISPIDs 0x60030000 (Version) and 0x60030001 (Tiff_Merge)" \
  'grep -qx "dispid 0 60030000h" "$work/x86.facts" && grep -qx "dispid 1 60030001h" "$work/x86.facts"'
check "Tiff_Merge takes three BSTR* in/out and a long* retval" \
  '[[ $(grep -c "datatype 00000000, VT_PTR -> VT_BSTR" "$work/x86.facts") == 4 &&
     $(grep -c "paramflags 00000003h" "$work/x86.facts") == 3 ]] &&
   grep -q "datatype 00000008, VT_PTR -> VT_I4" "$work/x86.facts"'
check "vtable offsets for 4-byte pointers: after the seven IDispatch methods (0x1c, 0x20)" \
  '[[ $(grep "^vtable" "$work/x86.facts" | paste -sd" ") == "vtable 001ch vtable 0020h" ]]'
# Everything else is the same on both platforms.
sed -e '/^syskind/d' -e '/^vtable/d' "$work/x86.facts" >"$work/x86.same"
sed -e '/^syskind/d' -e '/^vtable/d' "$work/x64.facts" >"$work/x64.same"
check "the same as the x64 type library in all else ($(wc -l <"$work/x86.same") facts)" \
  '[[ -s $work/x86.same ]] && diff "$work/x64.same" "$work/x86.same"'

echo "== $x86: version resource"
resource "$x86" VERSION >"$work/x86.version"
resource "$x64" VERSION >"$work/x64.version"
strings=$(perl -0777 -ne 'print join("\n", map { s/\0//gr } /((?:[\x20-\x7e]\0){2,})/g)' "$work/x86.version")
check "file and product version 1.0.0.4" \
  'perl -0777 -ne "exit !/\xbd\x04\xef\xfe\x00\x00\x01\x00\x00\x00\x01\x00\x04\x00\x00\x00\x00\x00\x01\x00\x04\x00\x00\x00/" "$work/x86.version"'
for text in "1.00.0004" "KWVellox.dll" "OLESelfRegister" "040904B0"; do
  check "holds \"$text\"" 'grep -qxF "$text" <<<"$strings"'
done
check "byte for byte the x64 DLL's version resource" '[[ -s $work/x86.version ]] && cmp -s "$work/x86.version" "$work/x64.version"'

if [[ -f $exe ]]; then
  echo "== $exe"
  check "PE32 for i386" '[[ $("$objdump" -f "$exe") == *"file format pei-i386"* ]]'
  check "imports only system DLLs" \
    'VELLOX_EXTRA_SYSTEM_DLLS=shell32.dll tests/windows/check_imports.sh "$objdump" "$exe" >"$work/exe-imports.txt"'
  sed 's/^/  /' "$work/exe-imports.txt"
fi

echo "check-windows-x86: $passed passed, $failed failed"
[[ $failed == 0 ]]
